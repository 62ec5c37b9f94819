// fd_owner.cc - closing owned descriptors and pipes, EINTR retried.
#include "process/fd_owner.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <exception>

#include "ostra/eintr.h"
#include "ostra/errors.h"

namespace ostra {

// FdOwner::~FdOwner - close; silently (errno kept) while an exception propagates.
FdOwner::~FdOwner() noexcept(false)
{
    if (std::uncaught_exceptions() > 0) {
        int saved = errno;
        close_nothrow();
        errno = saved;
        return;
    }
    close();
}

// FdOwner::release - hand the descriptor to the caller.
int FdOwner::release()
{
    int fd = fd_;
    fd_ = -1;
    return fd;
}

// FdOwner::close_nothrow - close the held descriptor; the last close result.
int FdOwner::close_nothrow()
{
    if (fd_ < 0)
        return 0;
    int rc = retry_eintr([this] { return ::close(fd_); });
    fd_ = -1;
    return rc;
}

// FdOwner::close - close the held descriptor; SystemError "close" on failure.
void FdOwner::close()
{
    if (close_nothrow() == -1)
        throwSystemError("close", errno);
}

// FdOwner::seize - close what is held, then own fd.
void FdOwner::seize(int fd)
{
    close();
    fd_ = fd;
}

// PipeOwner::~PipeOwner - close both ends; a read-end failure is reported after both.
PipeOwner::~PipeOwner() noexcept(false)
{
    if (std::uncaught_exceptions() > 0) {
        int saved = errno;
        readEnd.close_nothrow();
        writeEnd.close_nothrow();
        errno = saved;
        return;
    }
    int rc = readEnd.close_nothrow();
    int readError = errno;
    writeEnd.close();
    if (rc == -1)
        throwSystemError("pipe read-end close", readError);
}

// PipeOwner::open - a new close-on-exec pipe, replacing the ends held so far.
void PipeOwner::open(const char* message)
{
    readEnd.close();
    writeEnd.close();
    int fds[2];
    // Close-on-exec keeps this pipe out of every other child this process starts.
    if (retry_eintr([&fds] { return ::pipe2(fds, O_CLOEXEC); }) == -1)
        throwSystemError(message, errno);
    readEnd.seize(fds[0]);
    writeEnd.seize(fds[1]);
}

} // namespace ostra
