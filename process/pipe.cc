// pipe.cc - run a chain of programs: feed the first, collect outputs, record exits.
#include "process/pipe.h"

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <stdexcept>

#include <boost/bind/bind.hpp>

#include "ostra/errors.h"
#include "process/output_channels.h"

namespace ostra {
namespace process {

namespace {

// SignalIgnorer - ignores one signal for its lifetime, then restores the old action.
class SignalIgnorer {
public:
    explicit SignalIgnorer(int signal) : signal_(signal)
    {
        struct sigaction ignore;
        ignore.sa_handler = SIG_IGN;
        ignore.sa_flags = 0;
        sigemptyset(&ignore.sa_mask);
        if (sigaction(signal_, &ignore, &saved_) == -1)
            throwSystemError("sigaction", errno);
    }
    ~SignalIgnorer() { sigaction(signal_, &saved_, nullptr); }
    SignalIgnorer(const SignalIgnorer&) = delete;
    SignalIgnorer& operator=(const SignalIgnorer&) = delete;

private:
    int signal_;
    struct sigaction saved_;
};

// childPrelude - in the child: the caller's signal mask back, then the caller's set-up.
void childPrelude(sigset_t mask, const boost::function<void()>& setup)
{
    if (sigprocmask(SIG_SETMASK, &mask, nullptr) == -1)
        throwSystemError("set sigprocmask", errno);
    if (setup)
        setup();
}

// selectWait - wait until a watched descriptor is ready, SIGCHLD let through meanwhile.
void selectWait(const SelectSet& reads, const SelectSet* writes, SelectSet& readyReads,
                SelectSet& readyWrites, const sigset_t& waitMask)
{
    for (;;) {
        readyReads = reads;
        if (writes)
            readyWrites = *writes;
        int rc = pselect(SelectSet::Size, readyReads.get(), writes ? readyWrites.get() : nullptr,
                         nullptr, nullptr, &waitMask);
        if (rc >= 0)
            return;
        if (errno != EINTR)
            throwSystemError("select", errno);
    }
}

// orInherit - a channel mode with "unset" turned into inherit.
int orInherit(int mode)
{
    return mode == -1 ? StreamInherit : mode;
}

} // namespace

// Pipe::Pipe - a pipeline of the one given process.
Pipe::Pipe(const Parameters<PipeProcessFlags>& p)
{
    processes.push_back(p);
}

// Pipe::~Pipe - nothing beyond the members.
Pipe::~Pipe()
{
}

// Pipe::run - launch the chain, feed it, collect its outputs and statuses.
int Pipe::run()
{
    if (!statuses.empty())
        throw std::logic_error("the pipe has been launched already");
    if (processes.empty())
        throw std::logic_error("No processes to launch were assigned so far");

    for (Parameters<PipeProcessFlags>& p : processes) {
        if (p.workingDirectory.empty())
            p.workingDirectory = workingDirectory;
        if (!p.environment)
            p.environment = environment;
        if (!p.closeDescriptors)
            p.closeDescriptors = closeDescriptors;
        if (!p.childSetup)
            p.childSetup = childSetup;
        if (p.stderrChannel.mode == -1)
            p.stderrChannel = stderrChannel;
        if (!p.statusHandler)
            p.statusHandler = statusHandler;
    }
    int stdinMode = orInherit(stdinChannel.mode);
    int stdoutMode = orInherit(stdoutChannel.mode);

    sigset_t callerMask;
    if (sigprocmask(SIG_BLOCK, nullptr, &callerMask) == -1)
        throwSystemError("set sigprocmask", errno);
    sigset_t waitMask = callerMask;
    sigdelset(&waitMask, SIGCHLD);

    ProcessSetCatcher catcher;
    std::vector<std::unique_ptr<ProcessLaunch>> launches;
    {
        // Blocked until every pid is registered, so no exit is reaped unrecorded.
        SigBlocker blocker;
        blocker.block(SIGCHLD);
        catcher.install();
        for (size_t i = 0; i < processes.size(); ++i) {
            Parameters<PipeProcessFlags> p = processes[i];
            p.childSetup = boost::bind(childPrelude, callerMask, processes[i].childSetup);
            int in = i == 0 ? stdinMode : launches[i - 1]->stdoutRead.get();
            int out = i + 1 == processes.size() ? stdoutMode : StreamPipe;
            launches.push_back(launchOne(p, in, out));
            ProcessLaunch& launch = *launches.back();
            try {
                launch.waitExec();
            } catch (...) {
                // The child reported its failure and is exiting: reap it, leave no zombie.
                try {
                    launch.waitExit();
                } catch (...) {
                }
                throw;
            }
            catcher.registerChild(launch.pid);
            statuses.push_back(ProcessStatus(0, -1));
            if (i > 0)
                launches[i - 1]->stdoutRead.close();
        }
    }
    // A reader that quits early must not kill this process; its write fails instead.
    SignalIgnorer pipeGuard(SIGPIPE);

    ProcessLaunch& first = *launches.front();
    bool feeding = false;
    if (stdinMode == StreamPipe) {
        if (stdinChannel.callback) {
            setNonblocking(first.stdinWrite.get());
            feeding = true;
        } else {
            first.stdinWrite.close();
        }
    }

    SelectSet reads;
    reads.add(catcher.controlFd());
    OutputChannelsHandler outputs(reads);
    if (stdoutChannel.mode == StreamPipe)
        outputs.registerChannel(launches.back()->stdoutRead, stdoutChannel.callback);
    for (size_t i = 0; i < processes.size(); ++i)
        if (processes[i].stderrChannel.mode == StreamPipe)
            outputs.registerChannel(launches[i]->stderrRead, processes[i].stderrChannel.callback);

    std::vector<char> buffer;
    size_t offset = 0;
    bool more = true;
    size_t accounted = 0;
    SelectSet readyReads, readyWrites;
    while (accounted < launches.size()) {
        SelectSet writes;
        bool watchWrite = false;
        if (feeding) {
            while (offset >= buffer.size() && more) {
                buffer.clear();
                offset = 0;
                more = stdinChannel.callback(buffer);
            }
            if (offset < buffer.size()) {
                writes.add(first.stdinWrite.get());
                watchWrite = true;
            } else {
                first.stdinWrite.close();
                feeding = false;
            }
        }

        selectWait(reads, watchWrite ? &writes : nullptr, readyReads, readyWrites, waitMask);

        if (readyReads.has(catcher.controlFd())) {
            catcher.clear_control();
            for (size_t i = 0; i < launches.size(); ++i) {
                if (statuses[i].finished)
                    continue;
                const ProcessStatus& e = catcher.entry(launches[i]->pid);
                if (!e.finished)
                    continue;
                statuses[i] = e;
                ++accounted;
                if (processes[i].statusHandler)
                    processes[i].statusHandler(static_cast<unsigned int>(i), e.status);
            }
            if (feeding && statuses[0].finished) {
                first.stdinWrite.close_nothrow();
                feeding = false;
            }
        }

        if (feeding && watchWrite && readyWrites.has(first.stdinWrite.get())) {
            unsigned int written = 0;
            try {
                written = nonblock_write(first.stdinWrite.get(), buffer.data() + offset,
                                         static_cast<unsigned int>(buffer.size() - offset));
            } catch (const SystemError& e) {
                // The first program stopped reading; what it did is told by its status.
                if (e.errorNumber() != EPIPE)
                    throw;
            }
            if (written == 0) {
                first.stdinWrite.close();
                feeding = false;
            }
            offset += written;
        }

        outputs.handleReady(readyReads);
    }
    outputs.drain();

    launches.clear();
    catcher.remove(false);
    return statuses.back().status;
}

// collectOutput - append the chunk's bytes.
void collectOutput(std::string& target, const std::vector<char>& chunk)
{
    target.append(chunk.begin(), chunk.end());
}

// makeStringReceiver - an output callback appending to target.
OutputCallback makeStringReceiver(std::string& target)
{
    using boost::placeholders::_1;
    return boost::bind(collectOutput, boost::ref(target), _1);
}

// launchOne - one pipeline process as a ProcessLaunch with the given stdin and stdout.
std::unique_ptr<ProcessLaunch> launchOne(const Parameters<PipeProcessFlags>& p, int stdinMode,
                                         int stdoutMode)
{
    if (p.arguments.empty())
        throw std::invalid_argument("no program to launch");
    std::vector<const char*> argv;
    argv.reserve(p.arguments.size() + 1);
    for (const std::string& a : p.arguments)
        argv.push_back(a.c_str());
    argv.push_back(nullptr);
    const std::string& path = p.path.empty() ? p.arguments[0] : p.path;
    bool searchPath = path.empty() || (path[0] != '.' && path[0] != '/');
    const char* cwd = p.workingDirectory.empty() ? nullptr : p.workingDirectory.c_str();
    return std::unique_ptr<ProcessLaunch>(new ProcessLaunch(
        argv.data(), path.c_str(), cwd, p.environment, p.closeDescriptors, searchPath, false,
        p.childSetup, stdinMode, stdoutMode, orInherit(p.stderrChannel.mode)));
}

// nonblock_write - write what fd takes now, halving the length while it is full.
unsigned int nonblock_write(int fd, const void* data, unsigned int length)
{
    if (length == 0)
        return 0;
    int saved = errno;
    for (;;) {
        ssize_t n = write(fd, data, length);
        if (n >= 0) {
            errno = saved;
            return static_cast<unsigned int>(n);
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN && length > 1) {
            length /= 2;
            continue;
        }
        throwSystemError("write", errno);
    }
}

} // namespace process
} // namespace ostra
