// scoped_fd.h - a descriptor closed at scope exit.
#ifndef OSTRA_SCOPED_FD_H
#define OSTRA_SCOPED_FD_H

#include <errno.h>
#include <unistd.h>

namespace ostra {

// ScopedFd - a descriptor closed at scope exit unless released or closed.
class ScopedFd {
public:
    explicit ScopedFd(int fd = -1) : fd_(fd) {}
    ~ScopedFd()
    {
        if (fd_ >= 0) {
            int saved = errno;
            ::close(fd_);
            errno = saved;
        }
    }
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;

    int get() const { return fd_; }
    // release - give the descriptor up without closing it.
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // close - close now; the close(2) result (errno set on failure).
    int close()
    {
        int fd = fd_;
        fd_ = -1;
        return fd >= 0 ? ::close(fd) : 0;
    }

private:
    int fd_;
};

} // namespace ostra

#endif
