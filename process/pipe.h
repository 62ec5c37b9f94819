// pipe.h - run a program or a chain of programs, feeding input and collecting output.
#ifndef OSTRA_PROCESS_PIPE_H
#define OSTRA_PROCESS_PIPE_H

#include <signal.h>
#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/function.hpp>

#include "process/fd_owner.h"
#include "process/process_launch.h"

namespace ostra {
namespace process {

// OutputCallback - receives each chunk read from a program's output.
typedef boost::function<void(const std::vector<char>&)> OutputCallback;
// InputCallback - fills the emptied buffer with the next chunk; false with the last one.
typedef boost::function<bool(std::vector<char>&)> InputCallback;
// StatusHandler - told the pipeline position and raw wait status of a finished program.
typedef boost::function<void(unsigned int, int)> StatusHandler;

// Channel - a descriptor mode (-1 unset, a descriptor, or a stream mode) and its callback.
template <class Callback> struct Channel {
    Channel() : mode(-1) {}
    // set - choose the mode and the callback together.
    void set(int m, const Callback& cb = Callback())
    {
        mode = m;
        callback = cb;
    }

    int mode;
    Callback callback; // used only with StreamPipe
};

typedef Channel<OutputCallback> OutputChannel;
typedef Channel<InputCallback> InputChannel;

// CommonFlags - settings shared by a whole pipeline and each of its programs.
struct CommonFlags {
    CommonFlags() : environment(nullptr), closeDescriptors(false) {}

    std::string workingDirectory;       // empty: unchanged
    char** environment;                 // null: inherited
    bool closeDescriptors;              // close non-standard descriptors in the child
    boost::function<void()> childSetup; // run in the child just before exec
    OutputChannel stderrChannel;        // mode -1 by default
    StatusHandler statusHandler;        // (process index, raw wait status)
};

// PipeProcessFlags - the common flags plus the program to run (empty: argument 0).
struct PipeProcessFlags : CommonFlags {
    std::string path;
};

// Parameters - flags plus the argument vector, argument 0 included.
template <class Flags> struct Parameters : Flags {
    // Stores a0, then each following argument up to the first empty one.
    explicit Parameters(
        const std::string& a0, const std::string& a1 = std::string(),
        const std::string& a2 = std::string(), const std::string& a3 = std::string(),
        const std::string& a4 = std::string(), const std::string& a5 = std::string(),
        const std::string& a6 = std::string(), const std::string& a7 = std::string(),
        const std::string& a8 = std::string(), const std::string& a9 = std::string())
    {
        arguments.reserve(10);
        arguments.push_back(a0);
        const std::string* rest[] = {&a1, &a2, &a3, &a4, &a5, &a6, &a7, &a8, &a9};
        for (const std::string* a : rest) {
            if (a->empty())
                break;
            arguments.push_back(*a);
        }
    }

    std::vector<std::string> arguments;
};

// PipeFlags - pipeline-wide defaults plus the two ends of the chain.
struct PipeFlags : CommonFlags {
    InputChannel stdinChannel;   // mode -1 by default (inherit)
    OutputChannel stdoutChannel; // mode -1 by default (inherit)
};

// ProcessStatus - whether a program has terminated, and its raw wait status.
struct ProcessStatus {
    ProcessStatus() : finished(0), status(-1) {}
    ProcessStatus(int f, int s) : finished(f), status(s) {}

    int finished; // 0 or 1
    int status;   // raw wait status, -1 while unknown
};

// Pipe - runs its processes once, chained stdout to stdin.
class Pipe : public PipeFlags {
public:
    explicit Pipe(const Parameters<PipeProcessFlags>& p);
    virtual ~Pipe();

    // run - run the pipeline to completion; the raw wait status of the last program.
    int run();

    std::vector<Parameters<PipeProcessFlags>> processes;
    std::vector<ProcessStatus> statuses;
};

// collectOutput - append a chunk's bytes to target.
void collectOutput(std::string& target, const std::vector<char>& chunk);

// makeStringReceiver - an output callback that appends every chunk to target.
OutputCallback makeStringReceiver(std::string& target);

// launchOne - start one process of a pipeline with the given stdin and stdout modes.
std::unique_ptr<ProcessLaunch> launchOne(const Parameters<PipeProcessFlags>& p, int stdinMode,
                                         int stdoutMode);

// nonblock_write - write what a non-blocking descriptor accepts; bytes written.
unsigned int nonblock_write(int fd, const void* data, unsigned int length);

// ProcessSetCatcher - owns SIGCHLD while a pipeline runs and records its children's exits.
class ProcessSetCatcher {
public:
    ProcessSetCatcher();
    // Removes itself with force when still installed.
    ~ProcessSetCatcher() noexcept(false);
    ProcessSetCatcher(const ProcessSetCatcher&) = delete;
    ProcessSetCatcher& operator=(const ProcessSetCatcher&) = delete;

    // install - take over SIGCHLD and open the self-pipe; one catcher per process.
    void install();
    // remove - close the self-pipe and restore SIGCHLD; without force, all children must be done.
    void remove(bool force = false);
    // registerChild - watch pid; call with SIGCHLD blocked.
    void registerChild(pid_t pid);
    // entry - the recorded state of a registered child; std::out_of_range "no such pid".
    const ProcessStatus& entry(pid_t pid) const;
    // status - the recorded raw status of a registered child; std::out_of_range "no such pid".
    int status(int pid) const;
    // clear_control - discard what is pending in the self-pipe; the number of bytes.
    int clear_control();
    // controlFd - the self-pipe's read end, readable after a child terminated.
    int controlFd() const { return control_.readEnd.get(); }
    // installed - whether this catcher owns SIGCHLD now.
    bool installed() const;

    int registered() const { return registered_; }
    int terminated() const { return terminated_; }
    int events() const { return events_; }

    // childHandler - the SIGCHLD action: reap, record, wake the loop.
    static void childHandler(int sig, siginfo_t* info, void* context);

private:
    struct sigaction saved_;
    std::map<pid_t, ProcessStatus> children_;
    volatile sig_atomic_t registered_;
    volatile sig_atomic_t terminated_;
    volatile sig_atomic_t events_;
    PipeOwner control_;

    static ProcessSetCatcher* volatile installed_;
};

// SigBlocker - blocks signals for its lifetime.
class SigBlocker {
public:
    SigBlocker() : blocked_(false) {}
    // Restores the saved mask; "restore sigprocmask" on failure unless unwinding.
    ~SigBlocker() noexcept(false);
    SigBlocker(const SigBlocker&) = delete;
    SigBlocker& operator=(const SigBlocker&) = delete;

    // block - add signal to the blocked set; the first call saves the previous mask.
    void block(int signal);

private:
    sigset_t saved_;
    bool blocked_;
};

} // namespace process
} // namespace ostra

#endif
