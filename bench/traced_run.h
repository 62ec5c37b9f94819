// traced_run.h - run one command and measure it and every process it starts.
//
// A traced run follows the command's process tree with ptrace, stopping only
// at fork, exec and exit and at timer sleeps (a seccomp filter picks those
// out), so that the figures split into the command's own share and that of
// its children, and the sleeps of each side are known. Tracing adds to the
// time of every process it stops, which matters for small commands; a plain
// run only waits for the command and reads its resource usage, and can count
// the first process's own CPU time with a task-clock counter.
#ifndef MX_BENCH_TRACED_RUN_H
#define MX_BENCH_TRACED_RUN_H

#include <string>
#include <vector>

namespace mxbench {

// Launch - what to run: the argument vector (path first, no PATH search) and
// where its standard streams go ("" for /dev/null; output is truncated, errors
// appended, and both share one descriptor when they name the same file).
struct Launch {
    std::vector<std::string> argv;
    std::string input;
    std::string output;
    std::string errors;
    bool ownEnvironment = false;          // true: exactly environment, not this process's
    std::vector<std::string> environment; // NAME=value entries
};

// Figures - what one run cost. "Own" is the command's first process, "tools"
// every process it started, directly or not.
struct Figures {
    int status = -1;         // exit status, or 128 + signal number
    double wallMs = 0;       // start to end of the first process
    double cpuMs = 0;        // user + system time of the whole tree (wait4)
    long maxRssKiB = 0;      // largest peak RSS in the tree (wait4)
    double ownCpuMs = 0;     // on-CPU time of the first process (traced or counted)
    double toolsCpuMs = 0;   // the same, summed over all others (traced or counted)
    long ownRssKiB = 0;      // traced only: peak RSS of the first process
    long toolsRssKiB = 0;    // traced only: largest peak RSS of the others
    int processes = 0;       // traced only: processes started by the command
    double ownSleepMs = 0;   // traced only: timer sleeps of the first process
    double toolsSleepMs = 0; // traced only: timer sleeps of all the others
    std::string command;     // traced only: the first process's command line
    // Traced only: the command lines (/proc/PID/cmdline, blank-separated) of
    // the first process's direct children, in the order they ran exec.
    std::vector<std::string> childCommands;
};

// tracedRun - run and trace; throws std::runtime_error when tracing fails.
Figures tracedRun(const Launch& launch);

// plainRun - run without tracing; throws std::runtime_error on failure. With
// countOwn, ownCpuMs is the first process's own on-CPU time from exec to exit
// (a task-clock counter of that process alone) and toolsCpuMs the rest of
// cpuMs.
Figures plainRun(const Launch& launch, bool countOwn = false);

} // namespace mxbench

#endif
