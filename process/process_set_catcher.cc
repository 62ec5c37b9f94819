// process_set_catcher.cc - SIGCHLD ownership while a pipeline runs, and signal blocking.
#include "process/pipe.h"

#include <errno.h>
#include <sys/wait.h>
#include <unistd.h>

#include <exception>
#include <stdexcept>

#include "ostra/eintr.h"
#include "ostra/errors.h"
#include "process/output_channels.h"

namespace ostra {
namespace process {

ProcessSetCatcher* volatile ProcessSetCatcher::installed_ = nullptr;

// ProcessSetCatcher::ProcessSetCatcher - an idle catcher; install() takes over SIGCHLD.
ProcessSetCatcher::ProcessSetCatcher() : registered_(0), terminated_(0), events_(0)
{
    sigemptyset(&saved_.sa_mask);
    saved_.sa_handler = SIG_DFL;
    saved_.sa_flags = 0;
}

// ProcessSetCatcher::~ProcessSetCatcher - give SIGCHLD back if still installed.
ProcessSetCatcher::~ProcessSetCatcher() noexcept(false)
{
    if (installed())
        remove(true);
}

// ProcessSetCatcher::installed - whether this catcher is the installed one.
bool ProcessSetCatcher::installed() const
{
    return installed_ == this;
}

// ProcessSetCatcher::install - set the SIGCHLD action and open the non-blocking self-pipe.
void ProcessSetCatcher::install()
{
    if (installed_ != nullptr)
        throw std::logic_error("ProcessSetCatcher instance has been installed already");

    struct sigaction action;
    action.sa_sigaction = &ProcessSetCatcher::childHandler;
    action.sa_flags = SA_SIGINFO | SA_NOCLDSTOP;
    if (sigprocmask(SIG_BLOCK, nullptr, &action.sa_mask) == -1)
        throwSystemError("sigaction", errno);
    if (sigaction(SIGCHLD, &action, &saved_) == -1)
        throwSystemError("sigaction", errno);

    try {
        control_.open("process set catcher control pipe");
        for (int fd : {control_.readEnd.get(), control_.writeEnd.get()})
            setNonblocking(fd, "control pipe fcntl");
    } catch (...) {
        // Nothing half done: the old action comes back before the failure travels on.
        sigaction(SIGCHLD, &saved_, nullptr);
        throw;
    }
    installed_ = this;
}

// ProcessSetCatcher::remove - restore SIGCHLD and close the self-pipe.
void ProcessSetCatcher::remove(bool force)
{
    if (!force && terminated_ < registered_)
        throw std::logic_error("there're some child processes still running");
    // The handler does nothing once no catcher is published.
    if (installed_ == this)
        installed_ = nullptr;
    int rc = sigaction(SIGCHLD, &saved_, nullptr);
    int error = errno;
    control_.readEnd.close_nothrow();
    control_.writeEnd.close_nothrow();
    if (rc == -1 && std::uncaught_exceptions() == 0)
        throwSystemError("restore sigaction", error);
}

// ProcessSetCatcher::registerChild - watch pid, not finished yet.
void ProcessSetCatcher::registerChild(pid_t pid)
{
    children_[pid] = ProcessStatus(0, -1);
    ++registered_;
}

// ProcessSetCatcher::entry - the recorded state of a registered child.
const ProcessStatus& ProcessSetCatcher::entry(pid_t pid) const
{
    std::map<pid_t, ProcessStatus>::const_iterator it = children_.find(pid);
    if (it == children_.end())
        throw std::out_of_range("no such pid");
    return it->second;
}

// ProcessSetCatcher::status - the recorded raw status of a registered child.
int ProcessSetCatcher::status(int pid) const
{
    return entry(pid).status;
}

// ProcessSetCatcher::clear_control - discard the pending wake-up bytes; how many there were.
int ProcessSetCatcher::clear_control()
{
    int saved = errno;
    int total = 0;
    char buf[256];
    for (;;) {
        ssize_t n = read(control_.readEnd.get(), buf, sizeof buf);
        if (n == -1 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        total += static_cast<int>(n);
    }
    errno = saved;
    return total;
}

// ProcessSetCatcher::childHandler - reap every finished child and wake the loop.
void ProcessSetCatcher::childHandler(int, siginfo_t*, void*)
{
    ProcessSetCatcher* catcher = installed_;
    if (catcher == nullptr)
        return;
    int saved = errno;
    for (;;) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid == -1 && errno == EINTR)
            continue;
        if (pid <= 0)
            break;
        std::map<pid_t, ProcessStatus>::iterator it = catcher->children_.find(pid);
        if (it == catcher->children_.end())
            continue;
        it->second.finished = 1;
        it->second.status = status;
        ++catcher->events_;
        if (WIFSTOPPED(status))
            continue;
        ++catcher->terminated_;
        retry_eintr([catcher] { return write(catcher->control_.writeEnd.get(), "t", 1); });
    }
    errno = saved;
}

// SigBlocker::block - add signal to the blocked set; the first call keeps the old mask.
void SigBlocker::block(int signal)
{
    sigset_t mask;
    if (sigprocmask(SIG_BLOCK, nullptr, &mask) == -1)
        throwSystemError("set sigprocmask", errno);
    sigset_t previous = mask;
    if (sigaddset(&mask, signal) == -1)
        throwSystemError("sigaddset", errno);
    if (sigprocmask(SIG_SETMASK, &mask, nullptr) == -1)
        throwSystemError("set sigprocmask", errno);
    if (!blocked_) {
        saved_ = previous;
        blocked_ = true;
    }
}

// SigBlocker::~SigBlocker - restore the mask saved by the first block().
SigBlocker::~SigBlocker() noexcept(false)
{
    if (!blocked_)
        return;
    if (sigprocmask(SIG_SETMASK, &saved_, nullptr) == -1 && std::uncaught_exceptions() == 0)
        throwSystemError("restore sigprocmask", errno);
}

} // namespace process
} // namespace ostra
