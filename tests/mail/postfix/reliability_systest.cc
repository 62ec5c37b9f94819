// reliability_systest.cc - runs killed with SIGKILL and runs at the same time.
//
// A killed run (the whole process group with the postmap it waits for, at a
// random moment; or the program alone at a chosen system call, played by
// strace) may leave no lock held, nothing but the old state, the new state or
// a state between the command's steps, and no other file than temporary ones
// of documented names; the same command run again must succeed. A whole-table
// rewrite builds the new table beside the old one and renames it over, so a
// postmap killed while it compiles may not lose a record of the table.
// Concurrent runs must end where the same runs end one after another.
// MX_CRASH_KILLS, MX_SOAK_WORKERS and MX_SOAK_ROUNDS set the sizes;
// tests/soak/soak.sh runs the long forms.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>

#include "world.h"

namespace {

typedef std::vector<std::string> Lines;
typedef std::map<std::string, long> Figures;

const std::regex TABLE("(virtual_domains|vmailbox|virtual|aliases|blacklists) ([^ ]+) (.*)");

// Temporary files a killed run may leave, by the snapshot line they make.
const struct {
    const char* kind;
    const char* line;
} LEFTOVERS[] = {
    {"new table <table>.new, <table>.new.db",
     "spool (virtual_domains|vmailbox|virtual|aliases|blacklists)\\.new(\\.db)? f.*"},
    {"postmap build file __db.<table>[.new].db", "spool __db\\.[a-z_]+(\\.new)?\\.db .*"},
    {"master.cf temporaries", "postfix master\\.cf\\w{6}|spool master\\.cf\\.disabled\\w{6} .*"},
    {"SQLite journal passwd.db-journal", "spool passwd\\.db-journal .*"},
    {".qmail temporary .qmail.tmp", "tree [^ ]+/\\.qmail\\.tmp .*"},
    {"handler draft info/.<priority>-<template>-XXXXXX", "handlers info/\\.\\d+-.*"},
    {"quota temporary Maildir/tmp/<...>-maildirsize",
     "tree [^ ]+/Maildir/tmp/[^ ]+-maildirsize .*"},
};

const std::string BOX = "--domain-name=example.com --mailname=box";
const std::string RENAME = "--rename-mailname --domain-name=example.com --old-mailname=";

// The server the runs change: a domain with two mail names, a mailbox with
// two forwards, and 2,000 more mailbox records that take postmap a while.
const char SETUP[] = R"(
    mxadmin --add-domain --domain-name=example.com
    mxadmin --add-mailname --domain-name=example.com --mailname=crash0
    mxadmin --add-mailname --domain-name=example.com --mailname=box
    HSP_PASSWORD=pw mxadmin --add-mailbox --domain-name=example.com --mailname=box
    mxadmin --add-redirect --domain-name=example.com --mailname=box --redirect-email=f@x.org
    mxadmin --add-redirect --domain-name=example.com --mailname=box --redirect-email=g@x.org
    seq 2000 | sed 's|.*|f&@f.org f.org/f&/Maildir/|' | postmap -i hash:/var/spool/postfix/ostra/vmailbox)";

// Kind - one kind of change: the arguments of the commands it runs in turn,
// the lines that none of them changes, which a kill must never lose, and a
// command of them that, once a killed run of it was run again, must find
// nothing left to repair.
struct Kind {
    const char* name;
    Lines commands;
    const char* keep = "";
    const char* verify = "";
};

const Kind KINDS[] = {
    {"table rewrite",
     {RENAME + "crash0 --new-mailname=crash1", RENAME + "crash1 --new-mailname=crash0"},
     "vmailbox f\\d+@f\\.org .*"},
    {"table update",
     {"--set-catchall --domain-name=example.com --email=c@x.org",
      "--set-reject --domain-name=example.com"}},
    {"master.cf store", {"-a", "-b"}},
    {"maildirsize write",
     {"--set-mailbox-disk-quota " + BOX + " --disk-quota=1000000",
      "--set-mailbox-disk-quota " + BOX + " --disk-quota=2000000"}},
    {".qmail edit",
     {"--remove-redirect " + BOX + " --redirect-email=f@x.org", "--remove-mailbox " + BOX,
      "--add-mailbox " + BOX, "--add-redirect " + BOX + " --redirect-email=f@x.org"}},
    {"handler add",
     {"--add-handler --handler-name=crash --handler-type=recipient --handler-type-name=h{n}@x.org "
      "--executable=/bin/true --context=c --hook=before-local --priority=10"}},
    {"restore of a removed mail name",
     {"--remove-mailname --domain-name=example.com --mailname=sales",
      "--restore-mail-config --domain-name=example.com"},
     "",
     "--restore-mail-config --domain-name=example.com"},
};

// print - the figures of a test, for the long forms' reports.
void print(const std::string& title, const Figures& figures)
{
    printf("== %s\n", title.c_str());
    for (const auto& f : figures)
        printf("  %s: %ld\n", f.first.c_str(), f.second);
}

// envNumber - a size from the environment, or the quick form's.
long envNumber(const char* name, long quick)
{
    const char* text = getenv(name);
    return text != nullptr && atol(text) > 0 ? atol(text) : quick;
}

// state - the server's snapshot and the entries of /etc/postfix, where the
// temporary files of master.cf appear.
Lines state()
{
    Lines lines = mxtest::snapshot();
    for (const std::string& name : mxtest::entries("/etc/postfix"))
        lines.push_back("postfix " + name);
    std::sort(lines.begin(), lines.end());
    return lines;
}

// services - "name type" of every entry in master.cf or its set-aside file.
std::set<std::string> services(const Lines& lines)
{
    static const std::regex entry("([a-z0-9.-]+)\\s+([a-z-]+)\\s.*");
    std::set<std::string> found;
    std::smatch m;
    for (const std::string& line : lines) {
        std::string text;
        if (line.compare(0, 10, "master.cf ") == 0)
            text = line.substr(10) + "\\n";
        else if (line.compare(0, 30, "spool master.cf.disabled f644 ") == 0)
            text = line.substr(line.find(' ', 30) + 1);
        for (size_t at = 0, end; (end = text.find("\\n", at)) != std::string::npos; at = end + 2) {
            const std::string one = text.substr(at, end - at);
            if (std::regex_match(one, m, entry))
                found.insert(m[1].str() + " " + m[2].str());
        }
    }
    return found;
}

// judge - what a kill left, between the states before and after the run
// again: every new line is a documented temporary file, in the state after,
// or a table record of a key and a value that one of the two states holds;
// every line of both is still there, and so is every line the kind keeps;
// no handler lacks an entry; no service is in neither master.cf file.
void judge(const Lines& before, const Lines& killed, const Lines& after, Figures& figures,
           const std::string& what, const std::regex& keep)
{
    const std::set<std::string> b(before.begin(), before.end()), a(after.begin(), after.end());
    std::set<std::string> keys, values;
    std::smatch m;
    for (const std::set<std::string>* s : {&b, &a})
        for (const std::string& line : *s)
            if (std::regex_match(line, m, TABLE)) {
                keys.insert(m[1].str() + " " + m[2].str());
                values.insert(m[1].str() + " " + m[3].str());
            }
    for (const std::string& line : killed) {
        if (b.count(line))
            continue;
        bool known = a.count(line);
        for (const auto& l : LEFTOVERS)
            if (std::regex_match(line, std::regex(l.line)) && (known = true))
                ++figures[std::string("left over: ") + l.kind];
        if (!known && std::regex_match(line, m, TABLE) &&
            keys.count(m[1].str() + " " + m[2].str()) &&
            values.count(m[1].str() + " " + m[3].str()) && (known = true))
            ++figures["table records between steps"];
        EXPECT_TRUE(known) << what << " left " << line;
    }
    for (const std::string& line : b) {
        EXPECT_TRUE(!a.count(line) || std::binary_search(killed.begin(), killed.end(), line))
            << what << " lost " << line;
        if (std::regex_match(line, keep)) {
            EXPECT_TRUE(a.count(line) && std::binary_search(killed.begin(), killed.end(), line))
                << what << " lost for good " << line;
        }
    }
    // Every registered handler has its five entries.
    static const std::regex handler("handlers info/\\d[^/ ]*( d|/[^ ]+).*");
    std::map<std::string, int> entries;
    for (const std::string& line : killed)
        if (std::regex_match(line, m, handler))
            ++entries[m[1]];
    for (const auto& e : entries)
        EXPECT_EQ(entries[" d"], e.second) << what << " left handlers without " << e.first;
    const std::set<std::string> was = services(before), is = services(after),
                                left = services(killed);
    // No change here takes a service out of both files, killed or run again.
    for (const std::string& service : was)
        EXPECT_TRUE(left.count(service) && is.count(service))
            << what << " left " << service << " in neither file";
}

// killedRun - start a command behind prefix in a process group of its own,
// kill it as kill says (a shell line on its pid $p), wait until nothing of
// the group is left and check that no lock file is held; its exit status.
int killedRun(const std::string& prefix, const std::string& command, const std::string& kill)
{
    // LeakSanitizer cannot work under ptrace: a traced run leaves leak checks
    // to its rerun.
    const std::string noLeakCheck =
        prefix.compare(0, 7, "strace ") == 0
            ? "env ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0\" "
            : "";
    mxtest::RunResult r = mxtest::shell(
        "setsid " + noLeakCheck + prefix + command + " >/dev/null 2>&1 & p=$!; " + kill +
        "; wait $p; s=$?; while kill -0 -$p 2>/dev/null; do sleep 0.005; done; "
        "for l in /var/lock/files/*; do flock -n $l true || echo held $l; done; exit $s");
    EXPECT_EQ("", r.out) << command;
    return r.status;
}

// strace - the prefix that kills a program at the n-th of the calls.
std::string strace(const std::string& calls, long n)
{
    return "strace -o /dev/null -e trace=" + calls + " -e inject=" + calls +
           ":signal=KILL:when=" + std::to_string(n) + " ";
}

// Crash - one server, killed runs and their judgement.
class Crash : public ::testing::Test {
protected:
    void SetUp() override
    {
        mxtest::resetWorld(mxtest::PANEL);
        mxtest::setup(SETUP);
        before_ = state();
    }

    // kill - run a kind's next command, killed; judge; run it again. Whether
    // the kill came before the run's end.
    bool kill(const Kind& kind, const std::string& prefix, const std::string& how,
              const std::string& at = "")
    {
        const std::string command = next(kind);
        const std::string what = command + " killed (" + prefix + how + ")";
        if (killedRun(prefix, command, how) == 0) {
            ++figures_["runs that ended before the kill"];
            before_ = state();
            return false;
        }
        const Lines killed = state();
        mxtest::RunResult rerun = mxtest::shell(command);
        EXPECT_EQ(0, rerun.status) << what << ", then run again: " << rerun.out;
        if (*kind.verify != '\0' && command.find(kind.verify) != std::string::npos) {
            const std::string left = mxtest::shell(std::string("mxadmin ") + kind.verify).out;
            EXPECT_NE(std::string::npos, left.find("; 0 repairs made, 0 failed")) << what << left;
        }
        const Lines after = state();
        judge(before_, killed, after, figures_, what, std::regex(kind.keep));
        before_ = after;
        ++figures_["kills: " + std::string(kind.name) + at];
        return true;
    }

    // next - the kind's command after the one last run; "{n}" becomes a
    // number no run had before.
    std::string next(const Kind& kind)
    {
        std::string command = kind.commands[done_[&kind]++ % kind.commands.size()];
        const size_t mark = command.find("{n}");
        if (mark != std::string::npos)
            command.replace(mark, 3, std::to_string(done_[&kind]));
        return "env HSP_PASSWORD=pw mxadmin " + command;
    }

    Lines before_;
    Figures figures_;
    std::map<const Kind*, size_t> done_;
};

// Kills of the whole group at a random moment of a run, or of the program
// alone at one of its first steps; for table rewrites also of postmap at one
// of the page writes of the table it compiles.
TEST_F(Crash, KilledAtRandom)
{
    const long seed = envNumber("MX_SOAK_SEED", std::random_device()());
    std::mt19937 random(seed);
    figures_["seed"] = seed;
    std::map<const Kind*, double> seconds;
    for (long i = 0, kills = envNumber("MX_CRASH_KILLS", 14); i < kills; ++i) {
        const Kind& kind = KINDS[i % (sizeof KINDS / sizeof KINDS[0])];
        if (!seconds.count(&kind)) {
            const auto start = std::chrono::steady_clock::now();
            mxtest::setup(next(kind));
            seconds[&kind] =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            before_ = state();
        }
        char when[64];
        snprintf(when, sizeof when, "sleep %.3f; kill -9 -$p",
                 std::uniform_real_distribution<double>(0, seconds[&kind])(random));
        const int way = random() % 3;
        if (way == 2 && &kind == &KINDS[0])
            kill(kind,
                 "strace -f -o /dev/null -e trace=pwrite64 -e inject=pwrite64:signal=KILL:when=" +
                     std::to_string(1 + random() % 10) + " ",
                 ":", " while postmap compiles");
        else if (way == 1)
            kill(kind, "", when);
        else
            kill(
                kind,
                strace("write,pwrite64,rename,unlink,mkdir,symlink,fsync,wait4", 1 + random() % 12),
                ":");
        ASSERT_FALSE(HasFatalFailure());
    }
    print("runs killed with SIGKILL at random", figures_);
}

// Kills at every step of changes whose half-done states were faults once:
// a handler add (a handler without its entries), .qmail edits (a forward
// added again was missing for a moment; a reset truncated the file first)
// and a mail name rename killed after its home moved (run again, it undid
// the tables). strace kills the program at the n-th call of each kind listed,
// for n up to 3 or the run's end.
TEST_F(Crash, KilledAtEveryStep)
{
    const struct {
        Kind kind;
        const char* calls;
    } cases[] = {
        {KINDS[5], "write,symlink,rename"},
        {{"forward added again",
          {"--add-redirect " + BOX + " --redirect-email=f@x.org",
           "--add-redirect " + BOX + " --redirect-email=g@x.org"}},
         "write,rename"},
        {{"mail name reset", {"--add-mailname " + BOX}}, "write"},
        {KINDS[0], "rename,unlink"},
        {KINDS[2], "rename"},
    };
    for (const auto& c : cases) {
        std::istringstream calls(c.calls);
        for (std::string call; std::getline(calls, call, ',');)
            for (int n = 1; n <= 3 && kill(c.kind, strace(call, n), ":", " at " + call); ++n)
                ASSERT_FALSE(HasFatalFailure());
    }
    // postmap itself killed part-way through writing the rewritten table.
    for (int n : {1, 10})
        kill(KINDS[0],
             "strace -f -o /dev/null -e trace=pwrite64 -e inject=pwrite64:signal=KILL:when=" +
                 std::to_string(n) + " ",
             ":", " while postmap compiles");
    print("runs killed with SIGKILL at every step", figures_);
}

// normalized - a state with the elements of mynetworks sorted: concurrent
// edits may add them in any order.
Lines normalized(Lines lines)
{
    const std::string prefix = "main.cf mynetworks = ";
    for (std::string& line : lines) {
        if (line.compare(0, prefix.size(), prefix) != 0)
            continue;
        std::istringstream in(line.substr(prefix.size()));
        std::set<std::string> elements;
        for (std::string e; std::getline(in >> std::ws, e, ',');)
            elements.insert(e);
        line = prefix;
        for (const std::string& e : elements)
            line += e + " ";
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

// Workers run their own commands at the same time: mail names added, given
// a mailbox and an alias and renamed (whole-table rewrites amid additions),
// master.cf services switched and, from two rounds up, white-list entries
// added to main.cf. No change may be lost: the end state is that of the same
// commands run one after another.
TEST(Soak, ConcurrentRunsEndAsRunsOneAfterAnother)
{
    Figures figures;
    const long workers = envNumber("MX_SOAK_WORKERS", 4), rounds = envNumber("MX_SOAK_ROUNDS", 1);
    std::vector<Lines> sequences = {
        {}, {}, {"-a", "-b", "-a"}, {"--stop-service --mail-component=smtp"}};
    for (long w = 0; w < workers; ++w) {
        sequences.emplace_back();
        for (long r = 0; r < rounds; ++r) {
            const std::string m = "w" + std::to_string(w) + "r" + std::to_string(r);
            const std::string name = "--domain-name=example.com --mailname=" + m;
            sequences.back().insert(sequences.back().end(),
                                    {"--add-mailname " + name, "--add-mailbox " + name,
                                     "--add-alias " + name + " --alias=a" + m,
                                     RENAME + m + " --new-mailname=" + m + "n"});
            // Each main.cf write makes every Postfix tool started within a
            // second pause: white-list writers join the longer forms only.
            if (w < 2 && rounds > 1)
                sequences[w].push_back("--add-whitelist --ip-address=10." + std::to_string(w) +
                                       "." + std::to_string(r) + ".1 --netmask=32");
        }
    }
    // Every run must succeed.
    std::string concurrent, serial;
    for (const Lines& sequence : sequences) {
        std::string runs;
        for (const std::string& args : sequence)
            runs += "HSP_PASSWORD=pw mxadmin " + args + " || echo failed: " + args + "; ";
        if (!runs.empty())
            concurrent += "(" + runs + ") & ";
        serial += runs;
        figures["runs"] += sequence.size();
    }
    Lines ends[2];
    for (int i = 0; i < 2; ++i) {
        mxtest::resetWorld(mxtest::PANEL);
        mxtest::setup("mxadmin --add-domain --domain-name=example.com");
        const mxtest::RunResult r = mxtest::shell(i ? serial : concurrent + "wait");
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ("", r.out);
        ends[i] = normalized(state());
    }
    EXPECT_EQ("", mxtest::changes(ends[1], ends[0]));
    print("concurrent runs", figures);
}

} // namespace
