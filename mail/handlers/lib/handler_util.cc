// handler_util.cc - bounded paths, value files, registry listing, directory
// creation and removal, and the tmpfs sync of the handler store.
#include "mail/handlers/lib/handler_util.h"

#include <dirent.h>
#include <errno.h>
#include <ftw.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mail/handlers/lib/handlers.h"
#include "ostra/fork_exec.h"
#include "ostra/log.h"
#include "ostra/str_util.h"

namespace ostra {
namespace handlers {

// path_format - bounded snprintf into a path buffer.
bool path_format(char* buf, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, PATH_SIZE, fmt, ap);
    va_end(ap);
    return n >= 0 && static_cast<size_t>(n) < PATH_SIZE;
}

// read_value - first line, trimmed; VALUE_UNREADABLE with EFBIG when too long.
ReadValueStatus read_value(const char* path, char** value)
{
    *value = nullptr;
    FILE* f = fopen(path, "re");
    if (f == nullptr)
        return errno == ENOENT ? VALUE_MISSING : VALUE_UNREADABLE;
    char* line = nullptr;
    size_t capacity = 0;
    errno = 0;
    ssize_t n = getline(&line, &capacity, f);
    int saved = errno;
    bool failed = n < 0 && (ferror(f) || saved != 0);
    fclose(f);
    if (failed) {
        free(line);
        errno = saved != 0 ? saved : EIO;
        return VALUE_UNREADABLE;
    }
    const char* trimmed = n < 0 ? "" : ostra_trim(line);
    if (strlen(trimmed) >= VALUE_LIMIT) {
        free(line);
        errno = EFBIG;
        return VALUE_UNREADABLE;
    }
    *value = strdup(trimmed);
    free(line);
    if (*value == nullptr)
        messlog2(1, 0, "Unable to allocate sufficient memory: %s", strerror(ENOMEM));
    return VALUE_OK;
}

// read_link - readlink into a buffer, terminated at the returned length.
char* read_link(const char* path)
{
    char buf[PATH_SIZE];
    ssize_t n = readlink(path, buf, sizeof buf);
    if (n < 0)
        return nullptr;
    if (static_cast<size_t>(n) >= sizeof buf) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    buf[n] = '\0';
    char* copy = strdup(buf);
    if (copy == nullptr)
        messlog2(1, 0, "Insufficient memory");
    return copy;
}

// list_registry - take the whole listing first, so that entries added or
// removed by the actions that follow cannot disturb the walk.
int list_registry(std::vector<std::string>& names)
{
    names.clear();
    DIR* dir = opendir(HANDLERS_INFO_ROOT);
    if (dir == nullptr) {
        // No registry yet means no handlers, not a failure.
        if (errno == ENOENT)
            return 0;
        ostra_log(3, "Unable to open directory %s: %s", HANDLERS_INFO_ROOT, strerror(errno));
        return -1;
    }
    for (;;) {
        errno = 0;
        struct dirent* entry = readdir(dir);
        if (entry == nullptr)
            break;
        // "." and "..", and the dot-named drafts of adds not yet complete.
        if (entry->d_name[0] == '.')
            continue;
        names.push_back(entry->d_name);
    }
    int saved = errno;
    closedir(dir);
    if (saved != 0) {
        ostra_log(3, "Unable to read directory %s: %s", HANDLERS_INFO_ROOT, strerror(saved));
        return -1;
    }
    return 0;
}

// make_one_dir - mkdir with the store's mode and owner; an existing directory is fine.
static int make_one_dir(const char* path)
{
    if (mkdir(path, 0755) != 0) {
        int saved = errno;
        struct stat st;
        if (saved == EEXIST && stat(path, &st) == 0 && S_ISDIR(st.st_mode))
            return 0;
        errno = saved;
        return -1;
    }
    // mkdir's mode is reduced by the umask; the store's directories are 0755.
    if (chmod(path, 0755) != 0 || chown(path, 0, 0) != 0)
        return -1;
    return 0;
}

// ensure_dir - create each missing component of path in turn.
int ensure_dir(const char* path)
{
    char buf[PATH_SIZE];
    if (!path_format(buf, "%s", path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    for (char* p = buf + 1; *p != '\0'; ++p) {
        if (*p != '/')
            continue;
        *p = '\0';
        int r = make_one_dir(buf);
        *p = '/';
        if (r != 0)
            return -1;
    }
    return make_one_dir(buf);
}

// remove_entry - one nftw step of remove_tree.
static int remove_entry(const char* path, const struct stat*, int type, struct FTW*)
{
    int r = type == FTW_DP ? rmdir(path) : unlink(path);
    if (r != 0 && errno != ENOENT)
        messlog2(1, 0, "Unable to remove %s: %s", path, strerror(errno));
    return 0;
}

// remove_tree - depth-first removal, links removed as links.
void remove_tree(const char* path)
{
    if (nftw(path, remove_entry, 16, FTW_DEPTH | FTW_PHYS) != 0 && errno != ENOENT)
        messlog2(1, 0, "Unable to remove %s: %s", path, strerror(errno));
}

// queue_dir_cleanup - rmdir succeeds only on an empty directory.
void queue_dir_cleanup(const char* dir)
{
    int saved = errno;
    struct stat st;
    if (lstat(dir, &st) == 0 && S_ISDIR(st.st_mode))
        rmdir(dir);
    errno = saved;
}

// handlers_refresh - a failed sync is reported but changes no result.
void handlers_refresh()
{
    struct stat st;
    if (stat(HANDLERS_TMPFS_SYNC, &st) != 0 || !S_ISREG(st.st_mode) || !(st.st_mode & S_IXUSR))
        return;
    char path[] = HANDLERS_TMPFS_SYNC;
    char refresh[] = "refresh";
    char* const args[] = {path, refresh, nullptr};
    int saved = errno;
    if (fork_execv_log(path, args, 0) != 0)
        ostra_log(3, "Cannot sync tmps storage to fs");
    errno = saved;
}

} // namespace handlers
} // namespace ostra
