// filter_bench.cc - time and memory of a whole-table rewrite against a bare shell pipeline.
//
// Usage (inside tests/support/sandbox.sh, since the table lives at a fixed path):
//   filter_bench COUNT...          one line per count: records, best wall and CPU seconds of
//                                  the rewrite and of the bare pipeline, their ratios, peak RSS
//   filter_bench --filter OLD NEW  the bare pipeline's filter: record lines from stdin to stdout
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>

#include "mail/postfix/record_filters.h"

using namespace ostra::mail::postfix;
using namespace ostra::mail::postfix::database;

namespace {

const char TABLE[] = "hash:/var/spool/postfix/ostra/bench";
const char POSTMAP[] = "/usr/sbin/postmap";
typedef ElementsFilter<ReplaceDomainPart> Rename;
const int ROUNDS = 3;

// seconds - monotonic time.
double seconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// cpuSeconds - user and system time of this process and its waited-for children.
double cpuSeconds()
{
    double total = 0;
    for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        struct rusage usage;
        getrusage(who, &usage);
        total += usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                 (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    return total;
}

// Cost - wall and CPU seconds of one rewrite.
struct Cost {
    double wall;
    double cpu;
};

// Meter - the cost since construction.
class Meter {
public:
    Meter() : wall_(seconds()), cpu_(cpuSeconds()) {}
    Cost cost() const { return Cost{seconds() - wall_, cpuSeconds() - cpu_}; }

private:
    double wall_;
    double cpu_;
};

// shell - run a command line; throws when it fails.
void shell(const std::string& command)
{
    const int status = std::system(command.c_str());
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("command failed: " + command);
}

// buildTable - a table of count records, written line by line and compiled.
void buildTable(long count)
{
    const std::string source = tableSourcePath(TABLE);
    shell("mkdir -p /var/spool/postfix/ostra");
    {
        std::ofstream out(source.c_str(), std::ios_base::out | std::ios_base::trunc);
        for (long i = 0; i < count; ++i) {
            out << "user" << i << "@old.example user" << i << "@old.example, alias" << i
                << "@other.example\n";
        }
        if (!out.flush())
            throw std::runtime_error("cannot write " + source);
    }
    shell(std::string(POSTMAP) + " " + TABLE);
    std::remove(source.c_str());
}

// countRecords - the number of records of the table, as postmap dumps it.
long countRecords()
{
    FILE* in = popen((std::string(POSTMAP) + " -s " + TABLE + " | wc -l").c_str(), "r");
    long n = -1;
    if (!in || std::fscanf(in, "%ld", &n) != 1)
        n = -1;
    if (in)
        pclose(in);
    return n;
}

// timeRewrite - the system's own rewrite of the table.
Cost timeRewrite(const std::string& from, const std::string& to)
{
    const Meter meter;
    DatabaseHelper::filterRecords(TABLE, Rename(ReplaceDomainPart(from, to)));
    return meter.cost();
}

// timeBare - the same rewrite as a plain shell pipeline with this program as its filter.
Cost timeBare(const char* self, const std::string& from, const std::string& to)
{
    const std::string source = tableSourcePath(TABLE);
    const Meter meter;
    shell(std::string(POSTMAP) + " -s " + TABLE + " | " + self + " --filter " + from + " " + to +
          " > " + source + " && " + POSTMAP + " " + TABLE + " && rm -f " + source);
    return meter.cost();
}

// filterStdin - the bare pipeline's filter: the same record filter, stdin to stdout.
int filterStdin(const std::string& from, const std::string& to)
{
    std::ios_base::sync_with_stdio(false);
    Rename filter{ReplaceDomainPart(from, to)};
    std::string line;
    while (std::getline(std::cin, line)) {
        if (filter(line))
            std::cout << line << '\n';
    }
    return std::cout.flush() ? 0 : 1;
}

// peakRssKiB - the most memory this process has held.
long peakRssKiB(int who)
{
    struct rusage usage;
    getrusage(who, &usage);
    return usage.ru_maxrss;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--filter") == 0)
        return filterStdin(argv[2], argv[3]);
    if (argc < 2) {
        std::cerr << "usage: filter_bench COUNT... | --filter OLD NEW" << std::endl;
        return 2;
    }
    const char* sandbox = std::getenv("SANDBOX");
    if (!sandbox || std::strcmp(sandbox, "1") != 0) {
        std::cerr << "filter_bench writes fixed paths: run it through tests/support/sandbox.sh"
                  << std::endl;
        return 2;
    }
    try {
        for (int i = 1; i < argc; ++i) {
            const long count = std::atol(argv[i]);
            buildTable(count);
            // Rename back and forth, so that every run rewrites every record; the
            // best of a few alternating rounds evens out a busy machine.
            Cost bare{0, 0}, own{0, 0};
            for (int round = 0; round < ROUNDS; ++round) {
                const Cost b = timeBare(argv[0], "old.example", "new.example");
                const Cost o = timeRewrite("new.example", "old.example");
                bare.wall = round == 0 || b.wall < bare.wall ? b.wall : bare.wall;
                bare.cpu = round == 0 || b.cpu < bare.cpu ? b.cpu : bare.cpu;
                own.wall = round == 0 || o.wall < own.wall ? o.wall : own.wall;
                own.cpu = round == 0 || o.cpu < own.cpu ? o.cpu : own.cpu;
            }
            const long records = countRecords();
            if (records != count)
                throw std::runtime_error("the rewrite lost records");
            std::printf("filter_bench: records %ld  seconds %.3f  bare %.3f  ratio %.2f  "
                        "cpu %.3f  bare_cpu %.3f  cpu_ratio %.2f  "
                        "peak_rss_kib %ld  postmap_peak_rss_kib %ld\n",
                        records, own.wall, bare.wall, own.wall / bare.wall, own.cpu, bare.cpu,
                        own.cpu / bare.cpu, peakRssKiB(RUSAGE_SELF), peakRssKiB(RUSAGE_CHILDREN));
            std::fflush(stdout);
        }
    } catch (const std::exception& e) {
        std::cerr << "filter_bench: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
