// process_launch.h - start one child with controlled descriptors, exec errors re-thrown.
#ifndef OSTRA_PROCESS_PROCESS_LAUNCH_H
#define OSTRA_PROCESS_PROCESS_LAUNCH_H

#include <sys/types.h>

#include <boost/function.hpp>

#include "process/fd_owner.h"

namespace ostra {
namespace process {

// Standard-descriptor modes; values 0 and above name a descriptor of the parent.
enum StreamMode {
    StreamInherit = -2,      // the child keeps the parent's descriptor
    StreamNull = -3,         // "/dev/null"
    StreamPipe = -4,         // a new pipe; the parent keeps the other end
    StreamSameAsStdout = -5, // stderr only: wherever stdout goes
};

// ProcessLaunch - one child process between fork and reaping.
class ProcessLaunch {
public:
    // Mode constants, also reachable as ProcessLaunch::StreamPipe and so on.
    static const int StreamInherit = process::StreamInherit;
    static const int StreamNull = process::StreamNull;
    static const int StreamPipe = process::StreamPipe;
    static const int StreamSameAsStdout = process::StreamSameAsStdout;

    // ProcessLaunch - fork the child and return in the parent once it exists.
    ProcessLaunch(const char* const* argv, const char* path, const char* cwd,
                  const char* const* envp, bool closeDescriptors, bool searchPath, bool newSession,
                  const boost::function<void()>& childSetup, int stdinMode, int stdoutMode,
                  int stderrMode);
    // Closes every descriptor still owned; never waits for or signals the child.
    ~ProcessLaunch() noexcept(false);
    ProcessLaunch(const ProcessLaunch&) = delete;
    ProcessLaunch& operator=(const ProcessLaunch&) = delete;

    // waitExec - return once the program runs; throw the child's set-up failure otherwise.
    void waitExec();
    // waitExit - reap the child; the raw wait status.
    int waitExit();

    // Child-side reporting between fork and exec; none of them returns.
    [[noreturn]] static void writeException(int fd, const char* type, const char* message);
    [[noreturn]] static void throwSystemError(int fd, const char* type, const char* message,
                                              int errorNumber);
    [[noreturn]] static void throwStdException(int fd, const char* type, const char* message);

    pid_t pid;          // -1 when fork failed
    FdOwner stdinWrite; // parent's end of the child's stdin pipe
    FdOwner stdoutRead; // parent's end of the child's stdout pipe
    FdOwner stderrRead; // parent's end of the child's stderr pipe
    PipeOwner control;  // exec-status pipe; the parent keeps the read end
};

} // namespace process
} // namespace ostra

#endif
