// process_launch.cc - fork a child with controlled descriptors; its set-up failure travels back.
#include "process/process_launch.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ostra/eintr.h"
#include "ostra/errors.h"

namespace ostra {
namespace process {

namespace {

// ChildEnd - the descriptor one standard stream of the child receives.
struct ChildEnd {
    ChildEnd() : fd(-1) {}
    int fd;         // -1: the stream is inherited
    FdOwner opened; // the descriptor when it was opened here for the child
};

// checkMode - reject negative values that name no stream mode.
void checkMode(int mode, bool allowSameAsStdout, const char* text)
{
    if (mode >= 0 || mode == StreamInherit || mode == StreamNull || mode == StreamPipe)
        return;
    if (allowSameAsStdout && mode == StreamSameAsStdout)
        return;
    throw std::invalid_argument(text);
}

// openNull - "/dev/null" with the given access, close-on-exec in the parent.
int openNull(int flags, const char* message)
{
    int fd = retry_eintr([flags] { return ::open("/dev/null", flags | O_CLOEXEC); });
    if (fd == -1)
        throwSystemError(message, errno);
    return fd;
}

// prepareStream - the child's descriptor for one stream, and the parent's pipe end.
void prepareStream(int mode, bool input, ChildEnd& child, FdOwner& parentEnd, const char* nullText,
                   const char* pipeText)
{
    if (mode >= 0) {
        child.fd = mode;
    } else if (mode == StreamNull) {
        child.opened.seize(openNull(input ? O_RDONLY : O_WRONLY, nullText));
        child.fd = child.opened.get();
    } else if (mode == StreamPipe) {
        PipeOwner p;
        p.open(pipeText);
        FdOwner& childSide = input ? p.readEnd : p.writeEnd;
        FdOwner& parentSide = input ? p.writeEnd : p.readEnd;
        child.opened.seize(childSide.release());
        parentEnd.seize(parentSide.release());
        child.fd = child.opened.get();
    }
}

// writeAll - write every byte to the control pipe; failures cannot be reported further.
void writeAll(int fd, const char* data, size_t length)
{
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n == -1 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        length -= static_cast<size_t>(n);
    }
}

// writeRecord - one control record: the tag and the text with its NUL.
void writeRecord(int fd, const char* tag, const char* text)
{
    writeAll(fd, tag, 4);
    writeAll(fd, text, strlen(text) + 1);
}

// writeTypeAndMessage - the ET and EM records.
void writeTypeAndMessage(int fd, const char* type, const char* message)
{
    writeRecord(fd, "ET: ", type ? type : "");
    writeRecord(fd, "EM: ", message ? message : "");
}

// childExit - end the child; _exit leaves the parent's buffers and static objects alone.
[[noreturn]] void childExit(int status)
{
    ::_exit(status);
}

// liftAbove2 - a close-on-exec copy of fd numbered 3 or above.
int liftAbove2(int fd, const char* message)
{
    int copy = retry_eintr([fd] { return ::fcntl(fd, F_DUPFD_CLOEXEC, 3); });
    if (copy == -1)
        throwSystemError(message, errno);
    return copy;
}

// placeStream - put src at target (dup2), or make it survive exec when already there.
void placeStream(int src, int target, const char* message)
{
    if (src == target) {
        int flags = retry_eintr([src] { return ::fcntl(src, F_GETFD); });
        if (flags == -1 ||
            retry_eintr([src, flags] { return ::fcntl(src, F_SETFD, flags & ~FD_CLOEXEC); }) == -1)
            throwSystemError(message, errno);
        return;
    }
    if (retry_eintr([src, target] { return ::dup2(src, target); }) == -1)
        throwSystemError(message, errno);
}

// closeSpan - close the descriptors from..to; failures do not matter here.
void closeSpan(long from, long to)
{
    if (from > to)
        return;
    // One close_range call does what the loop does one descriptor at a time.
    if (::close_range(static_cast<unsigned>(from), static_cast<unsigned>(to), 0) == 0)
        return;
    for (long fd = from; fd <= to && fd < 65536; ++fd)
        ::close(static_cast<int>(fd));
}

// closeFrom3 - close every descriptor from 3 below the open-files limit except keep.
void closeFrom3(int keep)
{
    int saved = errno;
    struct rlimit rl;
    long limit = 20;
    if (retry_eintr([&rl] { return ::getrlimit(RLIMIT_NOFILE, &rl); }) == 0)
        limit = rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur > INT_MAX
                    ? static_cast<long>(INT_MAX)
                    : static_cast<long>(rl.rlim_cur);
    if (keep >= 3 && keep < limit) {
        closeSpan(3, keep - 1);
        closeSpan(keep + 1, limit - 1);
    } else {
        closeSpan(3, limit - 1);
    }
    errno = saved;
}

// LaunchRequest - what the child needs between fork and exec.
struct LaunchRequest {
    const char* const* argv;
    const char* path;
    const char* cwd;
    const char* const* envp;
    bool closeDescriptors;
    bool searchPath;
    bool newSession;
    const boost::function<void()>* childSetup;
    ChildEnd* ends[3];
    bool stderrSameAsStdout;
};

// execProgram - replace the child by the program; throws on failure.
[[noreturn]] void execProgram(const LaunchRequest& s)
{
    char* const* argv = const_cast<char* const*>(s.argv);
    if (s.envp) {
        char* const* envp = const_cast<char* const*>(s.envp);
        retry_eintr([&] { return ::execve(s.path, argv, envp); });
        throwSystemError("execve", errno);
    }
    if (s.searchPath) {
        retry_eintr([&] { return ::execvp(s.path, argv); });
        throwSystemError("execvp", errno);
    }
    retry_eintr([&] { return ::execv(s.path, argv); });
    throwSystemError("execv", errno);
}

// childSteps - everything the child does up to the exec.
[[noreturn]] void childSteps(ProcessLaunch& self, const LaunchRequest& s)
{
    static const char* const dupTexts[3] = {"stdin dup2", "stdout dup2", "stderr dup2"};

    self.control.readEnd.close();
    if (self.control.writeEnd.get() <= 2)
        self.control.writeEnd.seize(
            liftAbove2(self.control.writeEnd.get(), "control pipe close-on-exec fcntl"));
    int ctl = self.control.writeEnd.get();
    if (retry_eintr([ctl] { return ::fcntl(ctl, F_SETFD, FD_CLOEXEC); }) == -1)
        throwSystemError("control pipe close-on-exec fcntl", errno);

    self.stdinWrite.close();
    self.stdoutRead.close();
    self.stderrRead.close();

    // A source sitting on another stream's number would be overwritten by that stream's dup2.
    int src[3];
    for (int i = 0; i < 3; ++i) {
        src[i] = s.ends[i]->fd;
        if (src[i] >= 0 && src[i] <= 2 && src[i] != i)
            src[i] = liftAbove2(src[i], dupTexts[i]);
    }
    for (int i = 0; i < 3; ++i) {
        if (i == 2 && s.stderrSameAsStdout) {
            if (src[1] >= 0)
                placeStream(1, 2, dupTexts[2]);
            continue;
        }
        if (src[i] < 0)
            continue;
        placeStream(src[i], i, dupTexts[i]);
        if (src[i] != i && (src[i] != s.ends[i]->fd || s.ends[i]->opened.valid()))
            ::close(src[i]);
    }

    if (s.cwd && retry_eintr([&s] { return ::chdir(s.cwd); }) == -1)
        throwSystemError("cwd chdir", errno);
    if (s.closeDescriptors)
        closeFrom3(ctl);
    if (s.newSession && ::setsid() == -1)
        throwSystemError("setsid", errno);
    if (!s.childSetup->empty())
        (*s.childSetup)();
    execProgram(s);
}

// runChild - the child's whole life: set up and exec, or report why not and exit.
[[noreturn]] void runChild(ProcessLaunch& self, const LaunchRequest& s)
{
    try {
        childSteps(self, s);
    } catch (const SystemError& e) {
        ProcessLaunch::throwSystemError(self.control.writeEnd.get(), "SystemError", e.what(),
                                        e.errorNumber());
    } catch (const std::runtime_error& e) {
        ProcessLaunch::throwStdException(self.control.writeEnd.get(), "std::runtime_error",
                                         e.what());
    } catch (const std::exception& e) {
        ProcessLaunch::throwStdException(self.control.writeEnd.get(), "std::exception", e.what());
    } catch (...) {
        ProcessLaunch::writeException(self.control.writeEnd.get(), "std::runtime_error",
                                      "unknown error");
    }
}

// splitRecords - the NUL-separated records; a non-empty unterminated tail counts too.
std::vector<std::string> splitRecords(const std::string& data)
{
    std::vector<std::string> records;
    size_t start = 0;
    while (start < data.size()) {
        size_t nul = data.find('\0', start);
        if (nul == std::string::npos) {
            records.push_back(data.substr(start));
            break;
        }
        records.push_back(data.substr(start, nul - start));
        start = nul + 1;
    }
    return records;
}

// parseErrorNumber - the decimal number of an EC record; EINVAL when it does not parse.
int parseErrorNumber(const std::string& text)
{
    if (text.empty())
        return EINVAL;
    char* end = nullptr;
    errno = 0;
    long n = strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || n < INT_MIN || n > INT_MAX)
        return EINVAL;
    return static_cast<int>(n);
}

} // namespace

// ProcessLaunch::ProcessLaunch - prepare the streams and the control pipe, then fork.
ProcessLaunch::ProcessLaunch(const char* const* argv, const char* path, const char* cwd,
                             const char* const* envp, bool closeDescriptors, bool searchPath,
                             bool newSession, const boost::function<void()>& childSetup,
                             int stdinMode, int stdoutMode, int stderrMode)
    : pid(-1)
{
    checkMode(stdinMode, false, "invalid FD for stdin");
    checkMode(stdoutMode, false, "invalid FD for stdout");
    checkMode(stderrMode, true, "invalid FD for stderr");
    if (!argv || !argv[0] || !path)
        throw std::invalid_argument("no program to launch");

    ChildEnd in, out, err;
    prepareStream(stdinMode, true, in, stdinWrite, "stdin /dev/null open", "stdin pipe");
    prepareStream(stdoutMode, false, out, stdoutRead, "stdout /dev/null open", "stdout pipe");
    bool sameAsStdout = stderrMode == StreamSameAsStdout;
    if (!sameAsStdout)
        prepareStream(stderrMode, false, err, stderrRead, "stderr /dev/null open", "stderr pipe");
    control.open("pipe");

    LaunchRequest request = {argv,
                             path,
                             cwd,
                             envp,
                             closeDescriptors,
                             searchPath,
                             newSession,
                             &childSetup,
                             {&in, &out, &err},
                             sameAsStdout};
    pid_t child = ::fork();
    if (child == -1)
        ostra::throwSystemError("fork", errno);
    if (child == 0)
        runChild(*this, request);

    pid = child;
    control.writeEnd.close();
    in.opened.close();
    out.opened.close();
    err.opened.close();
}

// ProcessLaunch::~ProcessLaunch - the members close what is still owned.
ProcessLaunch::~ProcessLaunch() noexcept(false)
{
}

// ProcessLaunch::waitExec - read the control pipe to its end; rebuild a reported failure.
void ProcessLaunch::waitExec()
{
    if (!control.readEnd.valid())
        throw std::logic_error("the exec status has been read already");
    std::string data;
    char buf[1024];
    for (;;) {
        ssize_t n = ::read(control.readEnd.get(), buf, sizeof buf);
        if (n == -1 && errno == EINTR)
            continue;
        if (n == -1)
            ostra::throwSystemError("control pipe read", errno);
        if (n == 0)
            break;
        data.append(buf, static_cast<size_t>(n));
    }
    control.readEnd.close();

    std::vector<std::string> records = splitRecords(data);
    if (records.empty())
        return;

    std::string type, message;
    int errorNumber = 0;
    bool haveType = false;
    for (const std::string& r : records) {
        std::string tag = r.substr(0, 4);
        if (tag == "ET: ") {
            type = r.substr(4);
            haveType = true;
        } else if (tag == "EM: ") {
            message = r.substr(4);
        } else if (tag == "EC: ") {
            errorNumber = parseErrorNumber(r.substr(4));
        } else {
            std::clog << "child output: " << r << std::endl;
        }
    }
    if (message.empty())
        message = "an error in child process";

    if (haveType && type == "SystemError")
        throw SystemError(message, errorNumber);
    if (haveType && type == "std::runtime_error")
        throw std::runtime_error(message);
    if (haveType && type == "std::exception")
        throw std::exception();
    throw std::bad_exception();
}

// ProcessLaunch::waitExit - reap the child; its raw wait status.
int ProcessLaunch::waitExit()
{
    if (pid <= 0)
        throw std::logic_error("no child process to wait for");
    int status = 0;
    pid_t rc = retry_eintr([&] { return ::waitpid(pid, &status, 0); });
    if (rc == -1)
        ostra::throwSystemError("unable to wait for child process exit", errno);
    return status;
}

// ProcessLaunch::writeException - report a failure of unknown kind; exit status 65.
void ProcessLaunch::writeException(int fd, const char* type, const char* message)
{
    writeTypeAndMessage(fd, type, message);
    childExit(65);
}

// ProcessLaunch::throwSystemError - report a failed system call; exit status 67.
void ProcessLaunch::throwSystemError(int fd, const char* type, const char* message, int errorNumber)
{
    writeTypeAndMessage(fd, type, message);
    char buf[47];
    snprintf(buf, sizeof buf, "EC: %d", errorNumber);
    writeAll(fd, buf, strlen(buf) + 1);
    childExit(67);
}

// ProcessLaunch::throwStdException - report a standard exception; exit status 66.
void ProcessLaunch::throwStdException(int fd, const char* type, const char* message)
{
    writeTypeAndMessage(fd, type, message);
    childExit(66);
}

} // namespace process
} // namespace ostra
