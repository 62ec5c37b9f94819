// open_file.cc - opening a file that a caller names, without trusting the name.
#include "ostra/open_file.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "sys_util.h"

using ostra::detail::retry_eintr;
using ostra::detail::ScopedFd;

// open_regular_file - open once, then judge what was opened, not the name.
int open_regular_file(const char* path)
{
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    // O_NONBLOCK: opening a FIFO for reading would wait for a writer.
    ScopedFd fd(retry_eintr(
        [&] { return open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); }));
    if (fd.get() < 0)
        return -1;
    struct stat st;
    if (fstat(fd.get(), &st) != 0)
        return -1;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    const int flags = fcntl(fd.get(), F_GETFL);
    if (flags == -1 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) == -1)
        return -1;
    return fd.release();
}

// readableBy - whether the permission bits let the account read the file.
static bool readableBy(const struct stat& st, const struct passwd& pw)
{
    if (st.st_uid == pw.pw_uid)
        return (st.st_mode & S_IRUSR) != 0;
    if (st.st_gid == pw.pw_gid)
        return (st.st_mode & S_IRGRP) != 0;
    return (st.st_mode & S_IROTH) != 0;
}

// open_upload - a regular file with one link that popuser may already read.
int open_upload(const char* path)
{
    ScopedFd fd(open_regular_file(path));
    if (fd.get() < 0)
        return -1;
    struct stat st;
    if (fstat(fd.get(), &st) != 0)
        return -1;
    if (st.st_nlink != 1) {
        errno = EMLINK;
        return -1;
    }
    errno = 0;
    const struct passwd* pw = getpwnam("popuser");
    if (pw == nullptr || !readableBy(st, *pw)) {
        errno = EACCES;
        return -1;
    }
    return fd.release();
}

// upload_removable - the same file, and not root's own outside /tmp-like places.
bool upload_removable(const char* path, int fd)
{
    struct stat named, opened;
    if (path == nullptr || lstat(path, &named) != 0 || fstat(fd, &opened) != 0 ||
        named.st_dev != opened.st_dev || named.st_ino != opened.st_ino)
        return false;
    if (opened.st_uid != 0)
        return true;
    const char* slash = strrchr(path, '/');
    const std::string dir = slash == nullptr ? "." : slash == path ? "/" : std::string(path, slash);
    struct stat parent;
    return stat(dir.c_str(), &parent) == 0 && (parent.st_mode & S_ISVTX) != 0 &&
           (parent.st_mode & S_IWOTH) != 0;
}

// open_regular_file_error - the refusals by name, else the system's text.
const char* open_regular_file_error(int error)
{
    if (error == ELOOP)
        return "a symbolic link";
    if (error == EINVAL)
        return "not a regular file";
    if (error == EMLINK)
        return "a file with several links";
    if (error == EACCES)
        return "not readable by popuser, who could read the copy";
    return strerror(error);
}
