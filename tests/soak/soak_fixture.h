// soak_fixture.h - the world of the reliability tests (concurrent runs, runs
// killed at random points, hostile names) inside one sandbox: the panel
// database, the mail authentication database, empty lookup tables, one mail
// domain, stand-in init scripts and Courier files; runs of the program started
// in the background and reaped by pid; and the readers that judge what the
// runs left: tables, main.cf, master.cf and its set-aside file, lock files and
// left-over temporary files.
//
// Header only: the test programs are built one source file each.
#ifndef MX_TESTS_SOAK_SOAK_FIXTURE_H
#define MX_TESTS_SOAK_SOAK_FIXTURE_H

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "mail/lib/mail_authenticate.h"
#include "mail/postfix/mastercf.h"
#include "mail/postfix/module_manager.h"
#include "ostra/lock.h"
#include "systest.h"
#include "testsupport.h"

namespace soak {

typedef std::map<std::string, std::string> Records;
typedef std::chrono::steady_clock Clock;

const char DOMAIN[] = "example.com";
const char TABLE_DIR[] = "/var/spool/postfix/ostra";
const char* const TABLES[] = {"virtual_domains", "vmailbox", "virtual", "aliases", "blacklists"};
const char AUTH_DB[] = "/var/spool/postfix/ostra/passwd.db";
const char MAIL_ROOT[] = "/var/qmail/mailnames";
const char POSTFIX_DIR[] = "/etc/postfix";
const char MAIN_CF[] = "/etc/postfix/main.cf";
const char MASTER_CF[] = "/etc/postfix/master.cf";
const char DISABLED_CF[] = "/var/spool/postfix/ostra/master.cf.disabled";
const char COURIER_DIR[] = "/etc/courier-imap";
const char* const COURIER_FILES[] = {"imapd", "imapd-ssl", "pop3d", "pop3d-ssl"};
const char HANDLERS_INFO[] = "/usr/local/hsp/handlers/info";
const char HANDLERS_QUEUE[] = "/usr/local/hsp/handlers";
const char LOCK_DIR[] = "/var/lock/files";
const char POSTFIX_INIT[] = "/etc/init.d/postfix";
const char COURIER_INIT[] = "/etc/init.d/courier-imap";

// The panel knows the one domain, without limits or alias domains.
const char PANEL[] = "INSERT INTO domains (id, name, limits_id) VALUES (1, 'example.com', NULL);";

// envNumber - a positive whole number from the environment, or fallback.
inline long envNumber(const char* name, long fallback)
{
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0')
        return fallback;
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value <= 0)
        throw std::runtime_error(std::string(name) + ": not a positive number: " + text);
    return value;
}

// seconds - a duration as a floating number of seconds.
inline double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// tableId - the identifier of a table by its short name.
inline std::string tableId(const std::string& name)
{
    return "hash:" + std::string(TABLE_DIR) + "/" + name;
}

// must - run a shell command that has to succeed.
inline mxtest::RunResult must(const std::string& command)
{
    mxtest::RunResult r = mxtest::run(command);
    if (r.status != 0)
        throw std::runtime_error(command + ": exit " + std::to_string(r.status) + ": " + r.err);
    return r;
}

// seedTable - make records a table's whole content, leaving no source file.
inline void seedTable(const std::string& name, const Records& records)
{
    std::string lines;
    for (const auto& r : records)
        lines += r.first + " " + r.second + "\n";
    const std::string source = std::string(TABLE_DIR) + "/" + name;
    mxtest::writeFile(source, lines);
    must("/usr/sbin/postmap " + mxtest::shellQuote(tableId(name)) + " && rm " +
         mxtest::shellQuote(source));
}

// setUpWorld - everything a run of the program needs: the panel database
// with the domain, the authentication database, the empty tables, the domain
// itself (added by the program), quiet init scripts and Courier files.
inline void setUpWorld()
{
    mxtest::startMariaDB();
    mxtest::sql(PANEL);
    mxtest::makeDirs(TABLE_DIR);
    for (const char* table : TABLES)
        seedTable(table, Records());
    if (mailAuthDBCreate(AUTH_DB) != 0)
        throw std::runtime_error("cannot create the mail authentication database");
    // Stand-ins: no daemon runs in the sandbox; a reload only has to answer.
    mxtest::installScript(POSTFIX_INIT, "exit 0\n");
    mxtest::installScript(COURIER_INIT, "exit 0\n");
    mxtest::makeDirs(COURIER_DIR);
    for (const char* file : COURIER_FILES)
        mxtest::writeFile(
            std::string(COURIER_DIR) + "/" + file,
            "# " + std::string(file) + "\nSHORTNAMES=1\nIMAP_CAPABILITY=\"IMAP4rev1\"\n", 0600);
    mxtest::RunResult r = mxtest::mxadmin(std::string("--add-domain --domain-name=") + DOMAIN);
    if (r.status != 0)
        throw std::runtime_error("--add-domain failed: " + r.err);
    mxtest::backdate(MAIN_CF);
}

// Job - one run of the program in the background, in a process group of its
// own (so that it can be killed with its children), output to a file.
class Job {
public:
    Job() = default;

    // start - fork and exec the program with args, after env assignments.
    void start(const std::vector<std::string>& args, const std::vector<std::string>& env,
               const std::string& outputFile)
    {
        args_ = args;
        output_ = outputFile;
        begin_ = Clock::now();
        pid_ = fork();
        if (pid_ < 0)
            throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            setpgid(0, 0);
            int fd = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int null = open("/dev/null", O_RDONLY);
            if (fd < 0 || null < 0)
                _exit(126);
            dup2(null, 0);
            dup2(fd, 1);
            dup2(fd, 2);
            for (const std::string& e : env)
                putenv(const_cast<char*>(e.c_str()));
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(MXADMIN_BIN));
            for (const std::string& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(MXADMIN_BIN, argv.data());
            _exit(127);
        }
        // Both sides set the group, so that a kill right after fork finds it.
        setpgid(pid_, pid_);
    }

    // finish - note how a reaped run ended.
    void finish(int waitStatus)
    {
        end_ = Clock::now();
        status_ = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
        pid_ = -1;
    }

    // wait - reap this run.
    void wait()
    {
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0)
            if (errno != EINTR)
                throw std::runtime_error("waitpid failed");
        finish(status);
    }

    // kill - SIGKILL the program alone, or its whole process group.
    void kill(bool group) const
    {
        if (pid_ > 0)
            ::kill(group ? -pid_ : pid_, SIGKILL);
    }

    pid_t pid() const { return pid_; }
    int status() const { return status_; }
    Clock::time_point begin() const { return begin_; }
    Clock::time_point end() const { return end_; }
    double duration() const { return seconds(end_ - begin_); }
    std::string output() const { return mxtest::readFile(output_); }
    // command - the arguments as one line, for messages.
    std::string command() const
    {
        std::string line;
        for (const std::string& a : args_)
            line += (line.empty() ? "" : " ") + a;
        return line;
    }

private:
    std::vector<std::string> args_;
    std::string output_;
    pid_t pid_ = -1;
    int status_ = -1;
    Clock::time_point begin_, end_;
};

// runNow - one run in the foreground.
inline Job runNow(const std::vector<std::string>& args, const std::vector<std::string>& env = {})
{
    Job job;
    job.start(args, env, std::string(std::getenv("TMPDIR")) + "/foreground.out");
    job.wait();
    return job;
}

// ProcStat - the fields of /proc/PID/stat the fixture reads.
struct ProcStat {
    long pid = 0;
    std::string comm;
    std::string state;
    long ppid = 0;
    long pgrp = 0;
};

// processes - every process but init, as /proc lists them; ones that end
// meanwhile are left out.
inline std::vector<ProcStat> processes()
{
    std::vector<ProcStat> all;
    for (const std::string& name : mxtest::entries("/proc")) {
        char* end = nullptr;
        const long pid = std::strtol(name.c_str(), &end, 10);
        if (*end != '\0' || pid <= 1)
            continue;
        std::ifstream stat("/proc/" + name + "/stat");
        std::string line;
        if (!std::getline(stat, line))
            continue;
        const size_t open = line.find('('), close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos)
            continue;
        ProcStat p;
        p.pid = pid;
        p.comm = line.substr(open + 1, close - open - 1);
        std::istringstream rest(line.substr(close + 2));
        rest >> p.state >> p.ppid >> p.pgrp;
        all.push_back(p);
    }
    return all;
}

// waitForStrays - wait until no process of the sandbox but this one and the
// database server is left (children of killed runs go on: postmap, scripts).
inline bool waitForStrays(double limitSeconds = 20)
{
    const pid_t self = getpid();
    const Clock::time_point until =
        Clock::now() + std::chrono::milliseconds(static_cast<long>(limitSeconds * 1000));
    for (;;) {
        bool found = false;
        for (const ProcStat& p : processes()) {
            if (p.pid == self)
                continue;
            if (p.state == "Z" && p.ppid == self)
                continue; // a zombie of ours is reaped by the caller
            if (p.comm == "mariadbd")
                continue;
            found = true;
        }
        if (!found)
            return true;
        if (Clock::now() > until)
            return false;
        usleep(10000);
    }
}

// opensTable - whether a process has a compiled table (a ".db" file of the
// table directory) open.
inline bool opensTable(long pid)
{
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    bool found = false;
    for (const std::string& fd : mxtest::entries(fds)) {
        char target[4096];
        ssize_t n = readlink((fds + "/" + fd).c_str(), target, sizeof target - 1);
        if (n <= 0)
            continue;
        std::string t(target, static_cast<size_t>(n));
        if (t.compare(0, std::strlen(TABLE_DIR), TABLE_DIR) == 0 && t.size() > 3 &&
            t.compare(t.size() - 3, 3, ".db") == 0 && t.find("passwd") == std::string::npos)
            found = true;
    }
    return found;
}

// groupRuns - whether a process of the process group runs a program whose
// arguments (after the program name) and pid satisfy the test.
template <class Test> bool groupRuns(pid_t group, const std::string& program, Test test)
{
    for (const ProcStat& p : processes()) {
        if (p.comm != program || p.pgrp != group)
            continue;
        std::ifstream cmd("/proc/" + std::to_string(p.pid) + "/cmdline");
        std::vector<std::string> args;
        std::string arg;
        while (std::getline(cmd, arg, '\0'))
            args.push_back(arg);
        if (!args.empty() && test(std::vector<std::string>(args.begin() + 1, args.end()), p.pid))
            return true;
    }
    return false;
}

// dumpTable - records of a table by its short name; ok false when postmap
// cannot read it (message in error).
struct TableDump {
    bool ok = false;
    Records records;
    std::string error;
};

inline TableDump dumpTable(const std::string& name)
{
    TableDump dump;
    try {
        dump.records = mxtest::postmapDump(tableId(name));
        dump.ok = true;
    } catch (const std::exception& e) {
        dump.error = e.what();
    }
    return dump;
}

// mainCfValues - name to value of every parameter written in main.cf,
// continuation lines joined; throws on a line that is no parameter.
inline Records mainCfValues(const std::string& text)
{
    Records values;
    std::istringstream in(text);
    std::string line, current;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        if (line[0] == ' ' || line[0] == '\t') {
            if (current.empty())
                throw std::runtime_error("main.cf: continuation without parameter: " + line);
            values[current] += " " + line.substr(line.find_first_not_of(" \t"));
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            throw std::runtime_error("main.cf: not a parameter: " + line);
        std::string name = line.substr(0, eq);
        name.erase(name.find_last_not_of(" \t") + 1);
        std::string value = line.substr(eq + 1);
        size_t first = value.find_first_not_of(" \t");
        value = first == std::string::npos ? "" : value.substr(first);
        if (name.empty() || name.find_first_of(" \t") != std::string::npos)
            throw std::runtime_error("main.cf: bad parameter name: " + line);
        values[name] = value;
        current = name;
    }
    if (!text.empty() && text.back() != '\n')
        throw std::runtime_error("main.cf: last line without line end");
    return values;
}

// listElements - the elements of a Postfix list value (commas and blanks).
inline std::vector<std::string> listElements(const std::string& value)
{
    std::vector<std::string> elements;
    std::string piece;
    for (char c : value + ",") {
        if (c == ',' || c == ' ' || c == '\t' || c == '\n') {
            if (!piece.empty())
                elements.push_back(piece);
            piece.clear();
        } else {
            piece += c;
        }
    }
    return elements;
}

// Services - for each inet service name ("smtp" is also a unix service),
// in how many entries it appears in master.cf and in the set-aside file; ok
// false when a file does not load.
struct Services {
    bool ok = false;
    std::string error;
    std::map<std::string, int> live, aside;
};

// loadServices - read both files through the program's own loader.
inline Services loadServices()
{
    Services s;
    try {
        ostra::mail::postfix::MasterCfContent live;
        ostra::mail::postfix::ModuleManager::loadMasterCf(MASTER_CF, live);
        for (const auto& m : live.modules())
            if (m.first.second == ostra::mail::postfix::ModuleType::inet)
                s.live[m.first.first]++;
        if (mxtest::fileExists(DISABLED_CF)) {
            ostra::mail::postfix::MasterCfContent aside;
            ostra::mail::postfix::ModuleManager::loadMasterCf(DISABLED_CF, aside);
            for (const auto& m : aside.modules())
                if (m.first.second == ostra::mail::postfix::ModuleType::inet)
                    s.aside[m.first.first]++;
        }
        s.ok = true;
    } catch (const std::exception& e) {
        s.error = e.what();
    }
    return s;
}

// heldLocks - lock files under the lock directory that someone still holds,
// tried with the program's own non-blocking lock on the exact file.
inline std::vector<std::string> heldLocks()
{
    std::vector<std::string> held;
    for (const std::string& name : mxtest::entries(LOCK_DIR)) {
        std::string path = std::string(LOCK_DIR) + "/" + name;
        lock_struct_t* lock = mk_nonblock_lock(path.c_str(), 0);
        if (!is_locked(lock))
            held.push_back(path);
        if (lock != nullptr)
            rm_lock(lock);
    }
    return held;
}

// Leftover - a file in one of the program's trees that no finished run leaves.
struct Leftover {
    std::string path;
    std::string kind; // the documented name pattern, or "unknown"
};

// endsWithRandom - name is prefix followed by exactly six name characters.
inline bool endsWithRandom(const std::string& name, const std::string& prefix)
{
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0)
        return false;
    for (size_t i = prefix.size(); i < name.size(); ++i)
        if (!isalnum(static_cast<unsigned char>(name[i])))
            return false;
    return true;
}

// classifyLeftover - the documented kind of a temporary name in dir, or "".
inline std::string classifyLeftover(const std::string& dir, const std::string& name)
{
    if (dir == POSTFIX_DIR) {
        if (endsWithRandom(name, "master.cf"))
            return "master.cf temporary (master.cfXXXXXX)";
        if (name == "main.cf.tmp")
            return "postconf temporary (main.cf.tmp)";
    }
    if (dir == TABLE_DIR) {
        if (endsWithRandom(name, "master.cf.disabled"))
            return "set-aside temporary (master.cf.disabledXXXXXX)";
        if (name == "passwd.db-journal")
            return "SQLite rollback journal (passwd.db-journal)";
        for (const char* table : TABLES) {
            if (name == table)
                return "table source file (<table>)";
            if (name == std::string("__db.") + table + ".db")
                return "postmap build file (__db.<table>.db)";
        }
    }
    if (dir == COURIER_DIR) {
        for (const char* file : COURIER_FILES)
            if (endsWithRandom(name, std::string(file) + "."))
                return "Courier temporary (<file>.XXXXXX)";
    }
    if (name == ".qmail.tmp")
        return "line-edit temporary (.qmail.tmp)";
    if (dir.size() > 12 && dir.compare(dir.size() - 12, 12, "/Maildir/tmp") == 0 &&
        name.size() > 12 && name.compare(name.size() - 12, 12, "-maildirsize") == 0)
        return "quota temporary (Maildir/tmp/<time>.<pid>.<host>-maildirsize)";
    return "";
}

// scanLeftovers - every temporary name below the program's trees.
inline void scanDir(const std::string& dir, std::vector<Leftover>& found, int depth)
{
    std::vector<std::string> subdirs;
    for (const std::string& name : mxtest::entries(dir)) {
        std::string path = dir + "/" + name;
        std::string kind = classifyLeftover(dir, name);
        if (!kind.empty())
            found.push_back({path, kind});
        struct stat st;
        if (depth > 0 && lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            subdirs.push_back(path);
    }
    for (const std::string& s : subdirs)
        scanDir(s, found, depth - 1);
}

inline std::vector<Leftover> scanLeftovers()
{
    std::vector<Leftover> found;
    scanDir(POSTFIX_DIR, found, 0);
    scanDir(TABLE_DIR, found, 0);
    scanDir(COURIER_DIR, found, 0);
    scanDir(MAIL_ROOT, found, 4);
    return found;
}

// listTree - every path below dir, down to depth levels of directories.
inline void listTree(const std::string& dir, std::set<std::string>& paths, int depth)
{
    std::vector<std::string> subdirs;
    for (const std::string& name : mxtest::entries(dir)) {
        std::string path = dir + "/" + name;
        paths.insert(path);
        struct stat st;
        if (depth > 0 && lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            subdirs.push_back(path);
    }
    for (const std::string& s : subdirs)
        listTree(s, paths, depth - 1);
}

// treeListing - the paths of the program's trees, for finding what a killed
// run left that neither the old state nor a full run has.
inline std::set<std::string> treeListing()
{
    std::set<std::string> paths;
    listTree(POSTFIX_DIR, paths, 0);
    listTree(TABLE_DIR, paths, 0);
    listTree(COURIER_DIR, paths, 0);
    listTree(MAIL_ROOT, paths, 4);
    listTree(HANDLERS_QUEUE, paths, 5);
    listTree(LOCK_DIR, paths, 0);
    return paths;
}

// partialHandlers - registry directories that lack one of the entries every
// complete handler has.
inline std::vector<std::string> partialHandlers()
{
    std::vector<std::string> partial;
    for (const std::string& name : mxtest::entries(HANDLERS_INFO)) {
        std::string base = std::string(HANDLERS_INFO) + "/" + name + "/";
        bool complete = true;
        for (const char* entry : {"hook", "handler-type", "context", "executable"}) {
            struct stat st;
            if (lstat((base + entry).c_str(), &st) != 0 || (S_ISREG(st.st_mode) && st.st_size == 0))
                complete = false;
        }
        if (!complete)
            partial.push_back(base);
    }
    return partial;
}

// Report - figures of a reliability run, printed and, when MX_SOAK_REPORT
// names a file, appended to it for the long form's summary.
class Report {
public:
    explicit Report(const std::string& title) : title_(title) {}
    void add(const std::string& name, const std::string& value) { lines_.push_back({name, value}); }
    void add(const std::string& name, long value) { add(name, std::to_string(value)); }
    ~Report()
    {
        std::ostringstream text;
        text << "== " << title_ << "\n";
        for (const auto& l : lines_)
            text << "  " << l.first << ": " << l.second << "\n";
        std::fputs(text.str().c_str(), stdout);
        const char* file = std::getenv("MX_SOAK_REPORT");
        if (file != nullptr && *file != '\0') {
            std::ofstream out(file, std::ios::app);
            out << text.str();
        }
    }

private:
    std::string title_;
    std::vector<std::pair<std::string, std::string>> lines_;
};

} // namespace soak

#endif
