// cmd_bench.cc - the cost of one command next to the cost of the tool runs it must make.
//
// Usage:
//   cmd_bench --header | --plain-header
//   cmd_bench [--runs N] [--before SHELL] [--floor PLAN] [--log FILE] LABEL SIZE -- CMD ARGS...
//   cmd_bench --plain [--runs N] [--before SHELL] [--log FILE] LABEL -- CMD ARGS...
//
// The traced form runs CMD once traced (its processes, their command lines,
// peak RSS and timer sleeps), then N times untraced, each run preceded by
// SHELL (untimed, for instance restoring the tables), and the plan's tool runs
// N times the same way, alternating, and prints one table row of medians; the
// program's own CPU time comes from a task-clock counter of its process. A plan file holds one
// tool command line per line: words separated by blanks, '...' quoting a word,
// "<FILE" and ">FILE" redirecting the standard streams, leading NAME=value
// words making up the whole environment of the run, "#" starting a comment.
// The row says whether CMD's direct children ran exactly the plan's command
// lines; if not, both lists go to standard error.
//
// The plain form runs CMD N times untraced and prints its mean and best CPU
// time: start-up costs too small to trace, and the tracing's own overhead.
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "traced_run.h"

using mxbench::Figures;
using mxbench::Launch;

namespace {

// Options - the command line of this program.
struct Options {
    int runs = 5;
    std::string before;
    std::string floorPlan;
    std::string log;
    bool plain = false;
    std::string label;
    std::string size;
    std::vector<std::string> command;
};

// usage - the synopsis, as a failure.
[[noreturn]] void usage()
{
    std::cerr << "usage: cmd_bench --header | --plain-header\n"
                 "       cmd_bench [--runs N] [--before SHELL] [--floor PLAN] [--log FILE] "
                 "LABEL SIZE -- CMD ARGS...\n"
                 "       cmd_bench --plain [--runs N] [--before SHELL] [--log FILE] LABEL -- CMD "
                 "ARGS...\n";
    std::exit(2);
}

// parseOptions - read the command line; prints a header and exits when asked.
Options parseOptions(int argc, char** argv)
{
    Options o;
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--header" || a == "--plain-header") {
            if (a == "--header") {
                std::printf("%-18s %7s %3s %9s %8s %8s %8s %7s %7s %5s | %9s %8s %5s %6s | "
                            "%8s %8s %5s\n",
                            "command", "names", "st", "wall_ms", "cpu_ms", "own_cpu", "tool_cpu",
                            "own_MiB", "tool_MiB", "procs", "floor_wall", "floor_cpu", "runs",
                            "x_floor", "pf_wait", "own_wait", "same");
            } else {
                std::printf("%-30s %5s %9s %9s %9s %9s %8s\n", "command", "runs", "cpu_mean",
                            "cpu_best", "wall_mean", "wall_best", "rss_MiB");
            }
            std::exit(0);
        } else if (a == "--plain") {
            o.plain = true;
        } else if (a == "--runs" && hasValue) {
            o.runs = std::atoi(argv[++i]);
        } else if (a == "--before" && hasValue) {
            o.before = argv[++i];
        } else if (a == "--floor" && hasValue) {
            o.floorPlan = argv[++i];
        } else if (a == "--log" && hasValue) {
            o.log = argv[++i];
        } else if (a.compare(0, 2, "--") == 0) {
            usage();
        } else if (o.label.empty()) {
            o.label = a;
        } else if (o.size.empty()) {
            o.size = a;
        } else {
            usage();
        }
    }
    for (++i; i < argc; ++i)
        o.command.push_back(argv[i]);
    if (o.label.empty() || o.command.empty() || o.runs < 1 || (!o.plain && o.size.empty()))
        usage();
    return o;
}

// words - split a plan line into words; '...' quotes, a "#" word ends the line.
std::vector<std::string> words(const std::string& line)
{
    std::vector<std::string> out;
    size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t') {
            ++i;
            continue;
        }
        if (line[i] == '#')
            break;
        std::string word;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
            if (line[i] == '\'') {
                const size_t close = line.find('\'', i + 1);
                if (close == std::string::npos)
                    throw std::runtime_error("unterminated quote in plan line: " + line);
                word += line.substr(i + 1, close - i - 1);
                i = close + 1;
            } else {
                word += line[i++];
            }
        }
        out.push_back(word);
    }
    return out;
}

// readPlan - the tool runs of a plan file, in order.
std::vector<Launch> readPlan(const std::string& path)
{
    std::ifstream in(path.c_str());
    if (!in)
        throw std::runtime_error("cannot read plan " + path);
    std::vector<Launch> plan;
    std::string line;
    while (std::getline(in, line)) {
        Launch step;
        for (const std::string& w : words(line)) {
            if (w[0] == '<') {
                step.input = w.substr(1);
            } else if (w[0] == '>') {
                step.output = w.substr(1);
            } else if (step.argv.empty() && w.find('=') != std::string::npos) {
                step.ownEnvironment = true;
                step.environment.push_back(w);
            } else {
                step.argv.push_back(w);
            }
        }
        if (!step.argv.empty())
            plan.push_back(step);
    }
    return plan;
}

// shell - run a preparation step; it must succeed.
void shell(const std::string& command)
{
    if (command.empty())
        return;
    const int status = std::system(command.c_str());
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("preparation failed: " + command);
}

// runFloor - the plan's tool runs one after the other, added up as one run;
// traced, it also has their command lines as the kernel saw them (a script
// shows its interpreter first).
Figures runFloor(const std::vector<Launch>& plan, const std::string& log, bool traced)
{
    Figures sum;
    sum.status = 0;
    for (Launch step : plan) {
        step.errors = log;
        const Figures f = traced ? mxbench::tracedRun(step) : mxbench::plainRun(step);
        if (f.status != 0 && sum.status == 0)
            sum.status = f.status;
        sum.wallMs += f.wallMs;
        sum.cpuMs += f.cpuMs;
        sum.maxRssKiB = std::max(sum.maxRssKiB, f.maxRssKiB);
        sum.childCommands.push_back(f.command);
    }
    return sum;
}

// median - the middle value (the mean of the two middle ones for an even count).
double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Series - one figure across runs.
template <typename Get> double medianOf(const std::vector<Figures>& runs, Get get)
{
    std::vector<double> values;
    for (const Figures& f : runs)
        values.push_back(get(f));
    return median(values);
}

// showLog - the end of the commands' log, after a failed run.
void showLog(const std::string& log)
{
    std::ifstream in(log.c_str());
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    const size_t from = lines.size() > 10 ? lines.size() - 10 : 0;
    for (size_t i = from; i < lines.size(); ++i)
        std::cerr << "  | " << lines[i] << "\n";
}

// listCommands - one command line per line, for a plan mismatch.
void listCommands(const char* title, const std::vector<std::string>& commands)
{
    std::cerr << "  " << title << ":\n";
    for (const std::string& c : commands)
        std::cerr << "    " << c << "\n";
}

// benchTraced - one traced run of the command for its processes, their
// command lines, peak RSS and sleeps; then untraced command and floor runs,
// alternating, for the times, since tracing adds to the time of every process
// it stops. Prints one row of medians.
int benchTraced(const Options& o)
{
    const std::vector<Launch> plan =
        o.floorPlan.empty() ? std::vector<Launch>() : readPlan(o.floorPlan);
    Launch command;
    command.argv = o.command;
    command.errors = o.log;
    command.output = o.log;
    shell(o.before);
    const Figures traced = mxbench::tracedRun(command);
    if (traced.status != 0) {
        std::cerr << "cmd_bench: " << o.label << " exited with " << traced.status << "\n";
        showLog(o.log);
        return 1;
    }
    std::vector<std::string> planLines;
    if (!plan.empty()) {
        shell(o.before);
        planLines = runFloor(plan, o.log, true).childCommands;
    }
    std::vector<Figures> own, floor;
    for (int r = 0; r < o.runs; ++r) {
        shell(o.before);
        own.push_back(mxbench::plainRun(command, true));
        if (own.back().status != 0) {
            std::cerr << "cmd_bench: " << o.label << " exited with " << own.back().status << "\n";
            showLog(o.log);
            break;
        }
        if (!plan.empty()) {
            shell(o.before);
            floor.push_back(runFloor(plan, o.log, false));
            if (floor.back().status != 0) {
                std::cerr << "cmd_bench: a tool run of the floor of " << o.label << " exited with "
                          << floor.back().status << "\n";
                showLog(o.log);
            }
        }
    }
    const Figures& last = own.back();
    const bool same = !plan.empty() && traced.childCommands == planLines;
    if (!plan.empty() && !same) {
        std::cerr << "cmd_bench: " << o.label << " ran other tool command lines than its floor\n";
        listCommands("command", traced.childCommands);
        listCommands("floor", planLines);
    }
    const double cpu = medianOf(own, [](const Figures& f) { return f.cpuMs; });
    double floorWall = 0, floorCpu = 0;
    int floorRuns = 0;
    if (!floor.empty()) {
        floorWall = medianOf(floor, [](const Figures& f) { return f.wallMs; });
        floorCpu = medianOf(floor, [](const Figures& f) { return f.cpuMs; });
        floorRuns = static_cast<int>(plan.size());
    }
    char ratio[16] = "-";
    if (floorCpu > 0)
        std::snprintf(ratio, sizeof ratio, "%.2f", cpu / floorCpu);
    std::printf("%-18s %7s %3d %9.1f %8.1f %8.1f %8.1f %7.1f %7.1f %5d | %9.1f %8.1f %5d %6s | "
                "%8.1f %8.1f %5s\n",
                o.label.c_str(), o.size.c_str(), last.status,
                medianOf(own, [](const Figures& f) { return f.wallMs; }), cpu,
                medianOf(own, [](const Figures& f) { return f.ownCpuMs; }),
                medianOf(own, [](const Figures& f) { return f.toolsCpuMs; }),
                traced.ownRssKiB / 1024.0, traced.toolsRssKiB / 1024.0, traced.processes, floorWall,
                floorCpu, floorRuns, ratio, traced.toolsSleepMs, traced.ownSleepMs,
                plan.empty() ? "-"
                : same       ? "yes"
                             : "NO");
    std::fflush(stdout);
    return last.status == 0 && (plan.empty() || same) ? 0 : 1;
}

// benchPlain - untraced runs; mean and best CPU and wall time.
int benchPlain(const Options& o)
{
    Launch command;
    command.argv = o.command;
    command.errors = o.log;
    command.output = o.log;
    double cpuSum = 0, wallSum = 0, cpuBest = 0, wallBest = 0;
    long rss = 0;
    for (int r = 0; r < o.runs; ++r) {
        shell(o.before);
        const Figures f = mxbench::plainRun(command);
        cpuSum += f.cpuMs;
        wallSum += f.wallMs;
        cpuBest = r == 0 ? f.cpuMs : std::min(cpuBest, f.cpuMs);
        wallBest = r == 0 ? f.wallMs : std::min(wallBest, f.wallMs);
        rss = std::max(rss, f.maxRssKiB);
    }
    std::printf("%-30s %5d %9.3f %9.3f %9.3f %9.3f %8.1f\n", o.label.c_str(), o.runs,
                cpuSum / o.runs, cpuBest, wallSum / o.runs, wallBest, rss / 1024.0);
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    Options o = parseOptions(argc, argv);
    if (o.log.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        o.log = std::string(tmp && *tmp ? tmp : "/tmp") + "/cmd_bench.log";
    }
    try {
        return o.plain ? benchPlain(o) : benchTraced(o);
    } catch (const std::exception& e) {
        std::cerr << "cmd_bench: " << e.what() << std::endl;
        return 1;
    }
}
