// traced_run.cc - run one command and measure it and every process it starts.
#include "traced_run.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/perf_event.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <stddef.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

namespace mxbench {

namespace {

// nowNs - the monotonic clock in nanoseconds.
long long nowNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// fail - throw the failed call's name with the system's reason.
[[noreturn]] void fail(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// cpuMs - user plus system time of a resource usage, in milliseconds.
double cpuMs(const struct rusage& usage)
{
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// ArgvArray - a null-terminated string vector (arguments or environment)
// built before fork, so that the child never allocates.
class ArgvArray {
public:
    explicit ArgvArray(const std::vector<std::string>& args)
    {
        for (const std::string& a : args)
            pointers_.push_back(const_cast<char*>(a.c_str()));
        pointers_.push_back(nullptr);
    }
    char* const* get() const { return pointers_.data(); }
    bool empty() const { return pointers_.size() == 1; }

private:
    std::vector<char*> pointers_;
};

// redirect - in the child: put path ("" for /dev/null) on descriptor fd.
void redirect(const std::string& path, int fd, int flags)
{
    const int opened = ::open(path.empty() ? "/dev/null" : path.c_str(), flags | O_CLOEXEC, 0644);
    if (opened < 0 || ::dup2(opened, fd) < 0)
        _exit(126);
    ::close(opened);
}

// installSleepFilter - in the child: stop the tracer at every timer sleep,
// that is nanosleep, clock_nanosleep, and select, pselect6, poll and ppoll
// without descriptors. Inherited by every process the command starts.
bool installSleepFilter()
{
    const unsigned arg0 = offsetof(struct seccomp_data, args[0]);
    const unsigned arg1 = offsetof(struct seccomp_data, args[1]);
    struct sock_filter code[] = {
        /* 0 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        /* 1 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0, 12),
        /* 2 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        /* 3 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_nanosleep, 11, 0),
        /* 4 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clock_nanosleep, 10, 0),
        /* 5 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_select, 4, 0),
        /* 6 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_pselect6, 3, 0),
        /* 7 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_poll, 4, 0),
        /* 8 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_ppoll, 3, 0),
        /* 9 */ BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        /* 10 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arg0),
        /* 11 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 3, 2),
        /* 12 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arg1),
        /* 13 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 1, 0),
        /* 14 */ BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        /* 15 */ BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRACE),
    };
    struct sock_fprog program;
    program.len = sizeof code / sizeof code[0];
    program.filter = code;
    return syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0;
}

// runChild - in the child: (gate given) wait until the parent closes it,
// streams, then (traced) a stop for the tracer and the sleep filter, then the
// command.
[[noreturn]] void runChild(const Launch& launch, const ArgvArray& argv, const ArgvArray& envp,
                           bool traced, int gate = -1)
{
    if (gate >= 0) {
        char byte;
        while (::read(gate, &byte, 1) < 0 && errno == EINTR) {
        }
    }
    redirect(launch.input, 0, O_RDONLY);
    redirect(launch.output, 1, O_WRONLY | O_CREAT | O_TRUNC);
    if (!launch.errors.empty() && launch.errors == launch.output) {
        if (::dup2(1, 2) < 0)
            _exit(126);
    } else {
        redirect(launch.errors, 2, O_WRONLY | O_CREAT | O_APPEND);
    }
    if (traced) {
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
            _exit(126);
        raise(SIGSTOP);
        if (!installSleepFilter())
            _exit(126);
    }
    if (launch.ownEnvironment)
        execve(argv.get()[0], argv.get(), envp.get());
    else
        execv(argv.get()[0], argv.get());
    _exit(127);
}

// procText - the contents of /proc/PID/NAME; "" when it cannot be read.
std::string procText(pid_t pid, const char* name)
{
    std::ifstream in(("/proc/" + std::to_string(pid) + "/" + name).c_str());
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// commandLine - a process's arguments joined by blanks.
std::string commandLine(pid_t pid)
{
    std::string text = procText(pid, "cmdline");
    while (!text.empty() && text.back() == '\0')
        text.pop_back();
    for (char& c : text) {
        if (c == '\0')
            c = ' ';
    }
    return text;
}

// onCpuMs - the time a task has spent on a CPU (first field of schedstat).
double onCpuMs(pid_t pid)
{
    return std::atof(procText(pid, "schedstat").c_str()) / 1e6;
}

// peakRssKiB - a process's VmHWM; 0 when it has no memory map left.
long peakRssKiB(pid_t pid)
{
    const std::string status = procText(pid, "status");
    const size_t at = status.find("VmHWM:");
    return at == std::string::npos ? 0 : std::atol(status.c_str() + at + 6);
}

// readTimespec - a struct timespec in a stopped task's memory, in nanoseconds; -1 if unreadable.
long long readTimespec(pid_t pid, unsigned long long address)
{
    struct timespec ts;
    struct iovec local = {&ts, sizeof ts};
    struct iovec remote = {reinterpret_cast<void*>(address), sizeof ts};
    if (address == 0 || process_vm_readv(pid, &local, 1, &remote, 1, 0) != sizeof ts)
        return -1;
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// requestedSleepNs - how long the timer sleep a task is entering asked for;
// -1 when unknown (no timeout, an absolute time, unreadable memory).
long long requestedSleepNs(pid_t pid)
{
    struct user_regs_struct regs;
    if (ptrace(PTRACE_GETREGS, pid, nullptr, &regs) != 0)
        return -1;
    switch (regs.orig_rax) {
    case __NR_nanosleep:
        return readTimespec(pid, regs.rdi);
    case __NR_clock_nanosleep:
        return (regs.rsi & TIMER_ABSTIME) ? -1 : readTimespec(pid, regs.rdx);
    case __NR_pselect6:
        return readTimespec(pid, regs.r8);
    case __NR_ppoll:
        return readTimespec(pid, regs.rdx);
    case __NR_poll:
        return static_cast<int>(regs.rdx) < 0 ? -1 : static_cast<long long>(regs.rdx) * 1000000;
    case __NR_select: {
        struct timeval tv;
        struct iovec local = {&tv, sizeof tv};
        struct iovec remote = {reinterpret_cast<void*>(regs.r8), sizeof tv};
        if (regs.r8 == 0 || process_vm_readv(pid, &local, 1, &remote, 1, 0) != sizeof tv)
            return -1;
        return tv.tv_sec * 1000000000LL + tv.tv_usec * 1000LL;
    }
    default:
        return -1;
    }
}

// isThread - whether a new task shares its creator's process.
bool isThread(pid_t pid)
{
    const std::string status = procText(pid, "status");
    const size_t at = status.find("Tgid:");
    return at != std::string::npos && std::atol(status.c_str() + at + 5) != pid;
}

// Task - what the tracer keeps about one traced task.
struct Task {
    pid_t parent = -1;
    bool fresh = true;         // its first stop, a SIGSTOP, is still to come
    long long sleepSince = -1; // inside a timer sleep since then
    long long sleepAsked = -1; // nanoseconds the sleep asked for; -1 unknown
};

// Tracer - follows one process tree and adds up its figures.
class Tracer {
public:
    explicit Tracer(pid_t root) : root_(root)
    {
        Task& first = tasks_[root];
        first.fresh = false;
    }

    // run - resume the root and follow its tree until every task has gone.
    Figures run()
    {
        const long options = PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK | PTRACE_O_TRACECLONE |
                             PTRACE_O_TRACEEXEC | PTRACE_O_TRACEEXIT | PTRACE_O_TRACESECCOMP |
                             PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL;
        if (ptrace(PTRACE_SETOPTIONS, root_, nullptr, reinterpret_cast<void*>(options)) != 0)
            fail("ptrace(PTRACE_SETOPTIONS)");
        start_ = nowNs();
        resume(root_, PTRACE_CONT, 0);
        while (!tasks_.empty()) {
            int status;
            struct rusage usage;
            const pid_t pid = wait4(-1, &status, __WALL, &usage);
            if (pid < 0) {
                if (errno == EINTR)
                    continue;
                if (errno == ECHILD)
                    break;
                fail("wait4");
            }
            if (WIFEXITED(status) || WIFSIGNALED(status))
                ended(pid, status, usage);
            else if (WIFSTOPPED(status))
                stopped(pid, status);
        }
        return figures_;
    }

private:
    // resume - let a stopped task go on; it may have been killed meanwhile.
    static void resume(pid_t pid, enum __ptrace_request how, int signal)
    {
        if (ptrace(how, pid, nullptr, reinterpret_cast<void*>(static_cast<long>(signal))) != 0 &&
            errno != ESRCH)
            fail("ptrace(resume)");
    }

    // ended - a task is gone; the root's end is the end of the measurement.
    void ended(pid_t pid, int status, const struct rusage& usage)
    {
        if (pid == root_) {
            figures_.wallMs = (nowNs() - start_) / 1e6;
            figures_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            figures_.cpuMs = cpuMs(usage);
            figures_.maxRssKiB = usage.ru_maxrss;
        }
        tasks_.erase(pid);
    }

    // stopped - one ptrace stop: note what it tells, then resume the task.
    void stopped(pid_t pid, int status)
    {
        Task& task = tasks_[pid]; // a new task may stop before its creator's event
        const int signal = WSTOPSIG(status);
        const int event = static_cast<unsigned>(status) >> 16;
        enum __ptrace_request how = PTRACE_CONT;
        int deliver = 0;
        if (event == PTRACE_EVENT_FORK || event == PTRACE_EVENT_VFORK ||
            event == PTRACE_EVENT_CLONE) {
            unsigned long child = 0;
            if (ptrace(PTRACE_GETEVENTMSG, pid, nullptr, &child) != 0)
                fail("ptrace(PTRACE_GETEVENTMSG)");
            tasks_[static_cast<pid_t>(child)].parent = pid;
            if (event != PTRACE_EVENT_CLONE || !isThread(static_cast<pid_t>(child)))
                ++figures_.processes;
        } else if (event == PTRACE_EVENT_EXEC) {
            if (pid == root_)
                figures_.command = commandLine(pid);
            else if (task.parent == root_)
                figures_.childCommands.push_back(commandLine(pid));
        } else if (event == PTRACE_EVENT_EXIT) {
            exiting(pid);
        } else if (event == PTRACE_EVENT_SECCOMP) {
            // Stop again when the sleep returns.
            task.sleepSince = nowNs();
            task.sleepAsked = requestedSleepNs(pid);
            how = PTRACE_SYSCALL;
        } else if (signal == (SIGTRAP | 0x80)) {
            if (task.sleepSince >= 0) {
                // The tracer's own wake-up delays must not count as the task's sleep.
                long long ns = nowNs() - task.sleepSince;
                if (task.sleepAsked >= 0 && task.sleepAsked < ns)
                    ns = task.sleepAsked;
                const double ms = ns / 1e6;
                (pid == root_ ? figures_.ownSleepMs : figures_.toolsSleepMs) += ms;
                task.sleepSince = -1;
            }
        } else if (signal == SIGSTOP && task.fresh) {
            task.fresh = false;
        } else {
            deliver = signal;
        }
        resume(pid, how, deliver);
    }

    // exiting - a task about to exit still has its memory map: read its figures.
    void exiting(pid_t pid)
    {
        const double cpu = onCpuMs(pid);
        const long rss = peakRssKiB(pid);
        if (pid == root_) {
            figures_.ownCpuMs = cpu;
            figures_.ownRssKiB = rss;
        } else {
            figures_.toolsCpuMs += cpu;
            if (rss > figures_.toolsRssKiB)
                figures_.toolsRssKiB = rss;
        }
    }

    pid_t root_;
    long long start_ = 0;
    std::map<pid_t, Task> tasks_;
    Figures figures_;
};

} // namespace

// tracedRun - start the command stopped, then follow it to the end.
Figures tracedRun(const Launch& launch)
{
    const ArgvArray argv(launch.argv), envp(launch.environment);
    if (argv.empty())
        throw std::runtime_error("empty command");
    const pid_t pid = fork();
    if (pid < 0)
        fail("fork");
    if (pid == 0)
        runChild(launch, argv, envp, true);
    int status;
    if (waitpid(pid, &status, 0) != pid)
        fail("waitpid");
    if (!WIFSTOPPED(status))
        throw std::runtime_error("the command did not stop for tracing: " + launch.argv[0]);
    return Tracer(pid).run();
}

namespace {

// OwnClock - a task-clock counter of one process alone, not its children,
// started when the process runs exec; none when not wanted.
class OwnClock {
public:
    OwnClock(pid_t pid, bool wanted)
    {
        if (!wanted)
            return;
        struct perf_event_attr attr;
        std::memset(&attr, 0, sizeof attr);
        attr.size = sizeof attr;
        attr.type = PERF_TYPE_SOFTWARE;
        attr.config = PERF_COUNT_SW_TASK_CLOCK;
        attr.disabled = 1;
        attr.enable_on_exec = 1;
        attr.inherit = 0;
        fd_ = static_cast<int>(
            syscall(SYS_perf_event_open, &attr, pid, -1, -1, PERF_FLAG_FD_CLOEXEC));
    }
    ~OwnClock()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    OwnClock(const OwnClock&) = delete;
    OwnClock& operator=(const OwnClock&) = delete;

    bool open() const { return fd_ >= 0; }

    // ms - the time counted so far, in milliseconds; -1 when unreadable.
    double ms() const
    {
        unsigned long long ns = 0;
        return ::read(fd_, &ns, sizeof ns) == sizeof ns ? ns / 1e6 : -1;
    }

private:
    int fd_ = -1;
};

// Gate - a pipe the child waits on until the parent closes it.
struct Gate {
    int fds[2] = {-1, -1};
    Gate()
    {
        if (pipe2(fds, O_CLOEXEC) != 0)
            fail("pipe2");
    }
    ~Gate() { release(); }
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;
    void release()
    {
        for (int& fd : fds) {
            if (fd >= 0)
                ::close(fd);
            fd = -1;
        }
    }
};

// reap - wait for pid to end; its status and resource usage.
int reap(pid_t pid, struct rusage* usage)
{
    int status;
    while (wait4(pid, &status, 0, usage) != pid) {
        if (errno != EINTR)
            fail("wait4");
    }
    return status;
}

} // namespace

// plainRun - fork, exec, and read wait4's figures; with countOwn, a
// task-clock counter on the first process gives its own share.
Figures plainRun(const Launch& launch, bool countOwn)
{
    const ArgvArray argv(launch.argv), envp(launch.environment);
    if (argv.empty())
        throw std::runtime_error("empty command");
    Gate gate;
    const long long start = nowNs();
    const pid_t pid = fork();
    if (pid < 0)
        fail("fork");
    if (pid == 0) {
        ::close(gate.fds[1]);
        runChild(launch, argv, envp, false, gate.fds[0]);
    }
    OwnClock clock(pid, countOwn);
    const int openErrno = errno;
    gate.release();
    struct rusage usage;
    const int status = reap(pid, &usage);
    Figures figures;
    figures.wallMs = (nowNs() - start) / 1e6;
    figures.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    figures.cpuMs = cpuMs(usage);
    figures.maxRssKiB = usage.ru_maxrss;
    if (countOwn) {
        if (!clock.open()) {
            errno = openErrno;
            fail("perf_event_open (own CPU time)");
        }
        figures.ownCpuMs = clock.ms();
        figures.toolsCpuMs = std::max(0.0, figures.cpuMs - figures.ownCpuMs);
    }
    return figures;
}

} // namespace mxbench
