// fd_owner.h - scoped ownership of file descriptors and pipes.
#ifndef OSTRA_PROCESS_FD_OWNER_H
#define OSTRA_PROCESS_FD_OWNER_H

namespace ostra {

// FdOwner - holds at most one descriptor (-1: none) and closes it at scope exit.
class FdOwner {
public:
    explicit FdOwner(int fd = -1) : fd_(fd) {}
    // Closing can fail; outside of stack unwinding that failure is thrown.
    ~FdOwner() noexcept(false);
    FdOwner(const FdOwner&) = delete;
    FdOwner& operator=(const FdOwner&) = delete;

    // get - the held descriptor, -1 when none.
    int get() const { return fd_; }
    // valid - whether a descriptor is held.
    bool valid() const { return fd_ >= 0; }
    // release - give up ownership without closing; returns the descriptor.
    int release();
    // close - close the held descriptor (EINTR retried); SystemError "close" on failure.
    void close();
    // close_nothrow - close without throwing; the result of the last close call.
    int close_nothrow();
    // seize - close the held descriptor (as close()), then own fd.
    void seize(int fd);

private:
    int fd_;
};

// PipeOwner - the two ends of one pipe, both closed at scope exit.
class PipeOwner {
public:
    PipeOwner() {}
    // A failure to close the read end is reported as "pipe read-end close".
    ~PipeOwner() noexcept(false);
    PipeOwner(const PipeOwner&) = delete;
    PipeOwner& operator=(const PipeOwner&) = delete;

    // open - create the pipe (EINTR retried); SystemError with message on failure.
    void open(const char* message = "pipe");

    FdOwner readEnd;
    FdOwner writeEnd;
};

} // namespace ostra

#endif
