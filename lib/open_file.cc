// open_file.cc - opening a file that a caller names, without trusting the name.
#include "ostra/open_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

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

// open_regular_file_error - the two refusals by name, else the system's text.
const char* open_regular_file_error(int error)
{
    if (error == ELOOP)
        return "a symbolic link";
    if (error == EINVAL)
        return "not a regular file";
    return strerror(error);
}
