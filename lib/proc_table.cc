// proc_table.cc - the /proc process table: walking it and signalling by executable.
#include "ostra/init_script.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ostra/log.h"
#include "sys_util.h"

using ostra::detail::retry_eintr;

namespace {

const char PROC_ROOT[] = "/proc";

// DirCloser - a directory stream closed at scope exit.
class DirCloser {
public:
    explicit DirCloser(DIR* dir) : dir_(dir) {}
    ~DirCloser()
    {
        if (dir_ != nullptr)
            closedir(dir_);
    }
    DirCloser(const DirCloser&) = delete;
    DirCloser& operator=(const DirCloser&) = delete;

private:
    DIR* dir_;
};

// parse_pid_name - the pid a /proc entry name stands for; 0 when it is no positive number.
pid_t parse_pid_name(const char* name)
{
    if (*name < '0' || *name > '9')
        return 0;
    char* end = nullptr;
    errno = 0;
    long value = strtol(name, &end, 10);
    if (errno != 0 || *end != '\0' || value <= 0 || value > INT_MAX)
        return 0;
    return static_cast<pid_t>(value);
}

// is_directory - whether a /proc entry is a directory, asking stat when readdir cannot tell.
bool is_directory(const struct dirent* entry)
{
    if (entry->d_type != DT_UNKNOWN)
        return entry->d_type == DT_DIR;
    std::string path = std::string(PROC_ROOT) + "/" + entry->d_name;
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// read_small_file - the first bytes of a file as a string; false when it cannot be read.
bool read_small_file(const std::string& path, std::string* text)
{
    ostra::detail::ScopedFd fd(
        retry_eintr([&] { return open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
    if (fd.get() < 0)
        return false;
    char buffer[4096];
    text->clear();
    for (;;) {
        ssize_t n = retry_eintr([&] { return read(fd.get(), buffer, sizeof buffer); });
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        text->append(buffer, static_cast<size_t>(n));
        if (text->size() >= 65536) // the fields wanted are at the start
            return true;
    }
}

// executable_is - whether the executable of process pid is exactly path.
bool executable_is(pid_t pid, const char* path)
{
    std::string link = std::string(PROC_ROOT) + "/" + std::to_string(pid) + "/exe";
    char target[PATH_MAX + 1];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n < 0)
        return false;
    target[n] = '\0';
    return strcmp(target, path) == 0;
}

} // namespace

// parse_proc_stat - "pid (comm) state ppid ...": comm may itself hold ")" and blanks.
int parse_proc_stat(const char* text, std::string* comm, pid_t* ppid)
{
    if (text == nullptr || comm == nullptr || ppid == nullptr)
        return -1;
    const char* open = strchr(text, '(');
    const char* close = strrchr(text, ')');
    if (open == nullptr || close == nullptr || close < open)
        return -1;
    const char* p = close + 1;
    // One blank, the one-letter state, one blank, then the parent pid.
    if (p[0] != ' ' || p[1] == '\0' || p[1] == ' ' || p[2] != ' ')
        return -1;
    p += 3;
    char* end = nullptr;
    errno = 0;
    long value = strtol(p, &end, 10);
    if (end == p || errno != 0 || value < 0 || value > INT_MAX ||
        (*end != ' ' && *end != '\n' && *end != '\0'))
        return -1;
    comm->assign(open + 1, close);
    *ppid = static_cast<pid_t>(value);
    return 0;
}

namespace ostra {

// iterateProcesses - the first process of /proc for which match is true.
pid_t iterateProcesses(const ProcessPredicate& match)
{
    DIR* dir = opendir(PROC_ROOT);
    if (dir == nullptr) {
        ostra_log(3, "unable to open /proc filesystem: %s\n", strerror(errno));
        return 0;
    }
    DirCloser closer(dir);
    std::string text;
    std::string comm;
    for (;;) {
        errno = 0;
        struct dirent* entry = readdir(dir);
        if (entry == nullptr)
            break;
        pid_t pid = parse_pid_name(entry->d_name);
        if (pid <= 0 || !is_directory(entry))
            continue;
        // A process that ended while we walk has no stat file any more.
        pid_t ppid = 0;
        if (!read_small_file(std::string(PROC_ROOT) + "/" + entry->d_name + "/stat", &text) ||
            parse_proc_stat(text.c_str(), &comm, &ppid) != 0)
            continue;
        if (match(pid, ppid, comm))
            return pid;
    }
    return 0;
}

} // namespace ostra

// killproc - SIGINT to the first process running the executable path.
int killproc(const char* path)
{
    if (path == nullptr || *path != '/') {
        ostra_log(3, "killproc: an absolute executable path is required");
        return -1;
    }
    pid_t pid = ostra::iterateProcesses([path](pid_t candidate, pid_t, const std::string&) {
        return executable_is(candidate, path);
    });
    if (pid <= 0)
        return 0;
    // A process that ended in the meantime needs no signal.
    if (kill(pid, SIGINT) != 0 && errno != ESRCH) {
        messlog2(0, 0, "Unable to send SIGINT to process %d (%s)", static_cast<int>(pid), path);
        return -1;
    }
    return 0;
}
