// reliability_systest.cc - runs killed with SIGKILL and runs at the same time.
//
// A killed run (at a random moment, the program alone or its whole process
// group with the postmap it waits for; or at a chosen system call, played by
// strace) may leave no lock held, no file but in its old state, its new state
// or a state between the command's steps, and nothing else but temporary
// files of documented names; the same command run again to its end must
// succeed. A compiled table that a killed postmap was rebuilding in place may
// be left empty or partial: that known window is counted and recovered from
// the source file the run left. Concurrent runs must end where the same runs
// end one after another. MX_CRASH_KILLS, MX_SOAK_WORKERS and MX_SOAK_ROUNDS
// set the sizes; tests/soak/soak.sh runs the long forms.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>

#include "world.h"

namespace {

typedef std::vector<std::string> Lines;

const char* const TABLE_NAMES[] = {"virtual_domains", "vmailbox", "virtual", "aliases",
                                   "blacklists"};

// Temporary files a killed run may leave, by the snapshot line they make.
const struct {
    const char* kind;
    const char* line;
} LEFTOVERS[] = {
    {"table source <table>", "spool (virtual_domains|vmailbox|virtual|aliases|blacklists) f.*"},
    {"postmap build file __db.<table>.db", "spool __db\\.[a-z_]+\\.db .*"},
    {"master.cf temporaries", "postfix master\\.cf\\w{6}|spool master\\.cf\\.disabled\\w{6} .*"},
    {"postconf temporary main.cf.tmp", "postfix main\\.cf\\.tmp"},
    {"SQLite journal passwd.db-journal", "spool passwd\\.db-journal .*"},
    {".qmail temporary .qmail.tmp", "tree [^ ]+/\\.qmail\\.tmp .*"},
    {"handler draft info/.<priority>-<template>-XXXXXX", "handlers info/\\.\\d+-.*"},
    {"quota temporary Maildir/tmp/<...>-maildirsize",
     "tree [^ ]+/Maildir/tmp/[^/ ]+-maildirsize .*"},
    {"Courier temporary <file>.XXXXXX", "courier [\\w-]+\\.\\w{6} .*"},
};

const char DOMAIN[] = "--domain-name=example.com";
const std::string BOX = std::string(DOMAIN) + " --mailname=box";

// The server the runs change: a domain with two mailboxes, a forward and
// 2,000 more mailbox records, so that compiling them takes a while.
const std::string SETUP = std::string(R"(
    mxadmin --add-domain --domain-name=example.com
    mxadmin --add-mailname --domain-name=example.com --mailname=box
    HSP_PASSWORD=pw mxadmin --add-mailbox --domain-name=example.com --mailname=box
    mxadmin --add-redirect --domain-name=example.com --mailname=box --redirect-email=f@x.org
    mxadmin --add-redirect --domain-name=example.com --mailname=box --redirect-email=g@x.org
    mxadmin --add-mailname --domain-name=example.com --mailname=crash0
    seq 2000 | sed 's|.*|f&@filler.org filler.org/f&/Maildir/|' | postmap -r -i hash:/var/spool/postfix/ostra/vmailbox
    mkdir -p /etc/courier-imap)");
const char COURIER[] =
    "for f in imapd imapd-ssl pop3d pop3d-ssl; do printf '# $f\\nSHORTNAMES=1\\n' "
    ">/etc/courier-imap/$f; done";

// Kind - one kind of change: commands run in turn, each killed and run again.
struct Kind {
    const char* name;
    Lines commands;
    const char* prepare; // before each killed run, or ""
};

const Kind KINDS[] = {
    {"table rewrite",
     {"env HSP_PASSWORD=pw mxadmin --rename-mailname --domain-name=example.com "
      "--old-mailname=crash0 --new-mailname=crash1",
      "env HSP_PASSWORD=pw mxadmin --rename-mailname --domain-name=example.com "
      "--old-mailname=crash1 --new-mailname=crash0"},
     ""},
    {"table update",
     {"mxadmin --set-catchall --domain-name=example.com --email=c@x.org",
      "mxadmin --set-reject --domain-name=example.com"},
     ""},
    {"master.cf store", {"mxadmin -a", "mxadmin -b"}, ""},
    {"maildirsize write",
     {"mxadmin --set-mailbox-disk-quota " + BOX + " --disk-quota=1000000",
      "mxadmin --set-mailbox-disk-quota " + BOX + " --disk-quota=2000000"},
     ""},
    {".qmail edit",
     {"mxadmin --remove-redirect " + BOX + " --redirect-email=f@x.org",
      "mxadmin --remove-mailbox " + BOX, "env HSP_PASSWORD=pw mxadmin --add-mailbox " + BOX,
      "mxadmin --add-redirect " + BOX + " --redirect-email=f@x.org"},
     ""},
    {"Courier file edit", {"mxadmin --set-accounts-format --account-format=compound"}, COURIER},
    {"handler add",
     {"mxadmin --add-handler --handler-name=crash --handler-type=recipient "
      "--handler-type-name=h{n}@example.com --executable=/bin/true --context=c "
      "--hook=before-local --priority=10"},
     ""},
};

// Figures - counts of what happened, printed at the end and appended to
// the file $MX_SOAK_REPORT names.
struct Figures : std::map<std::string, long> {
    std::string title;
    ~Figures()
    {
        std::ostringstream text;
        text << "== " << title << "\n";
        for (const auto& f : *this)
            text << "  " << f.first << ": " << f.second << "\n";
        fputs(text.str().c_str(), stdout);
        if (const char* report = getenv("MX_SOAK_REPORT"))
            std::ofstream(report, std::ios::app) << text.str();
    }
};

// envNumber - a size from the environment, or the quick form's.
long envNumber(const char* name, long quick)
{
    const char* text = getenv(name);
    return text != nullptr && atol(text) > 0 ? atol(text) : quick;
}

// state - the server's snapshot and the entries of /etc/postfix, where the
// temporary files of main.cf and master.cf appear.
Lines state()
{
    Lines lines = mxtest::snapshot();
    for (const std::string& name : mxtest::entries("/etc/postfix"))
        lines.push_back("postfix " + name);
    std::sort(lines.begin(), lines.end());
    return lines;
}

// records - the records of a table among snapshot lines.
std::set<std::string> records(const Lines& lines, const std::string& table)
{
    std::set<std::string> out;
    for (const std::string& l : lines)
        if (l.compare(0, table.size() + 1, table + " ") == 0)
            out.insert(l.substr(table.size() + 1));
    return out;
}

// recoverTables - the known window: a table neither as before nor as the
// complete source file beside it says, which a killed compile rebuilt in
// place, is compiled again from that source (the documented recovery).
// Counted, not failed; the number recovered.
int recoverTables(const Lines& before, const Lines& killed)
{
    int damaged = 0;
    for (const char* t : TABLE_NAMES) {
        const std::string source = std::string(mxtest::TABLES) + "/" + t;
        if (!mxtest::fileExists(source))
            continue;
        std::set<std::string> written;
        std::istringstream in(mxtest::readFile(source));
        for (std::string line; std::getline(in, line);)
            written.insert(line);
        const std::set<std::string> now = records(killed, t);
        if (now == records(before, t) || now == written)
            continue;
        ++damaged;
        mxtest::RunResult r = mxtest::run("postmap hash:" + source + " && rm " + source);
        EXPECT_EQ(0, r.status) << r.err;
    }
    return damaged;
}

// mixed - whether a line is a table record made of a key and a value that
// the tables held before or after: a state between the steps of a change.
bool mixed(const std::string& line, const std::set<std::string>& states)
{
    std::istringstream in(line);
    std::string table, key, value;
    in >> table >> key >> std::ws;
    std::getline(in, value);
    bool knownKey = false, knownValue = false;
    for (const std::string& l : states) {
        if (l.compare(0, table.size() + 1, table + " ") != 0)
            continue;
        knownKey = knownKey || l.compare(table.size() + 1, key.size() + 1, key + " ") == 0;
        knownValue = knownValue ||
                     (l.size() > value.size() &&
                      l.compare(l.size() - value.size() - 1, std::string::npos, " " + value) == 0);
    }
    return knownKey && knownValue &&
           std::find(std::begin(TABLE_NAMES), std::end(TABLE_NAMES), table) !=
               std::end(TABLE_NAMES);
}

// judge - what a kill left, between the states before and after the run
// again: every new line is a documented temporary file, in the state after,
// or a table record between the two; every line in both is still there, and
// no handler lacks an entry.
void judge(const Lines& before, const Lines& killed, const Lines& after, Figures& figures,
           const std::string& what)
{
    std::set<std::string> b(before.begin(), before.end()), a(after.begin(), after.end()),
        k(killed.begin(), killed.end()), both(b);
    both.insert(a.begin(), a.end());
    for (const std::string& line : k) {
        if (b.count(line))
            continue;
        bool known = a.count(line);
        for (const auto& l : LEFTOVERS)
            if (std::regex_match(line, std::regex(l.line)) && (known = true))
                ++figures[std::string("left over: ") + l.kind];
        if (!known && mixed(line, both) && (known = true))
            ++figures["table records between steps"];
        EXPECT_TRUE(known) << what << " left " << line;
    }
    for (const std::string& line : b)
        EXPECT_TRUE(!a.count(line) || k.count(line)) << what << " lost " << line;
    static const std::regex handler("handlers info/(\\d[^/ ]*) d.*");
    std::smatch m;
    for (const std::string& line : k) {
        if (!std::regex_match(line, m, handler))
            continue;
        for (const char* entry : {"/hook ", "/handler-type ", "/context ", "/executable "})
            EXPECT_TRUE(std::any_of(k.begin(), k.end(),
                                    [&](const std::string& l) {
                                        return l.compare(0, 14 + m[1].length() + strlen(entry),
                                                         "handlers info/" + m[1].str() + entry) ==
                                               0;
                                    }))
                << what << " left handler " << m[1] << " without" << entry;
    }
}

// killedRun - start a command behind prefix in a process group of its own,
// kill it as kill says (a shell line on its pid $p), wait until nothing of
// the group is left and no lock file is held; its exit status.
int killedRun(const std::string& prefix, const std::string& command, const std::string& kill)
{
    mxtest::RunResult r = mxtest::shell(
        "setsid " + prefix + command + " >/dev/null 2>&1 & p=$!; " + kill +
        "; wait $p; s=$?; while kill -0 -$p 2>/dev/null; do sleep 0.005; done; "
        "for l in /var/lock/files/*; do flock -n $l true || echo held $l; done; exit $s");
    EXPECT_EQ("", r.out) << command;
    return r.status;
}

// The calls that step through a change.
const char STEPS[] = "write,pwrite64,rename,unlink,mkdir,symlink,fsync,wait4";

// strace - the prefix that kills a program at the n-th of the calls.
std::string strace(const std::string& calls, long n)
{
    return "strace -o /dev/null -e trace=" + calls + " -e inject=" + calls +
           ":signal=KILL:when=" + std::to_string(n) + " ";
}

// Crash - one world, killed runs and their judgement.
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
        if (*kind.prepare) {
            mxtest::setup(kind.prepare);
            before_ = state();
        }
        const bool hit = killedRun(prefix, command, how) != 0;
        if (!hit) {
            ++figures_["runs that ended before the kill"];
            before_ = state();
            return false;
        }
        Lines killed = state();
        if (int damaged = recoverTables(before_, killed)) {
            figures_["tables damaged by a killed compile, recovered"] += damaged;
            killed = state();
        }
        mxtest::RunResult rerun = mxtest::shell(command);
        EXPECT_EQ(0, rerun.status) << what << ", then run again: " << rerun.out;
        const Lines after = state();
        judge(before_, killed, after, figures_, what);
        before_ = after;
        ++figures_["kills: " + std::string(kind.name) + at];
        return hit;
    }

    // next - the kind's command after the one last run; "{n}" becomes a
    // number no run had before.
    std::string next(const Kind& kind)
    {
        std::string command = kind.commands[done_[&kind]++ % kind.commands.size()];
        const size_t mark = command.find("{n}");
        if (mark != std::string::npos)
            command.replace(mark, 3, std::to_string(++runs_));
        return command;
    }

    Lines before_;
    Figures figures_;
    std::map<const Kind*, size_t> done_;
    int runs_ = 0;
};

// Kills at random moments of the usual duration of a run.
TEST_F(Crash, KilledAtRandom)
{
    figures_.title = "runs killed with SIGKILL at random";
    const long seed = envNumber("MX_SOAK_SEED", std::random_device()());
    std::mt19937 random(seed);
    figures_["seed"] = seed;
    std::map<const Kind*, double> seconds;
    for (long i = 0, kills = envNumber("MX_CRASH_KILLS", 10); i < kills; ++i) {
        const Kind& kind = KINDS[i % (sizeof KINDS / sizeof KINDS[0])];
        if (!seconds.count(&kind)) {
            // A whole run first, which also measures how long it takes.
            const auto start = std::chrono::steady_clock::now();
            mxtest::setup(std::string(kind.prepare) + "\n" + next(kind));
            seconds[&kind] =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            before_ = state();
        }
        // The whole group at a moment of the run, or the program alone at
        // one of its first steps.
        char how[64];
        snprintf(how, sizeof how, "sleep %.3f; kill -9 -$p",
                 std::uniform_real_distribution<double>(0, seconds[&kind])(random));
        if (random() % 2)
            kill(kind, "", how);
        else
            kill(kind, strace(STEPS, 1 + random() % 12), ":");
        ASSERT_FALSE(HasFatalFailure());
    }
}

// Kills at every step of changes whose half-done states were faults once:
// a handler add (a handler without its entries), .qmail edits (a forward
// added again was missing for a moment; a reset truncated the file first)
// and a mail name rename killed after its home moved (run again, it undid
// the tables). strace kills the program at the n-th call of each kind listed,
// for n up to 3 or the run's end.
TEST_F(Crash, KilledAtEveryStep)
{
    figures_.title = "runs killed with SIGKILL at every step";
    const struct {
        Kind kind;
        const char* calls;
    } cases[] = {
        {KINDS[6], "write,symlink,rename"},
        {{"forward added again",
          {"mxadmin --add-redirect " + BOX + " --redirect-email=f@x.org",
           "mxadmin --add-redirect " + BOX + " --redirect-email=g@x.org"},
          ""},
         "write,rename"},
        {{"mail name reset", {"mxadmin --add-mailname " + BOX}, ""}, "write"},
        {KINDS[0], "rename,unlink"},
    };
    for (const auto& c : cases) {
        std::istringstream calls(c.calls);
        for (std::string call; std::getline(calls, call, ',');)
            for (int n = 1; n <= 3 && kill(c.kind, strace(call, n), ":", " at " + call); ++n)
                ASSERT_FALSE(HasFatalFailure());
    }
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
    figures.title = "concurrent runs";
    const long workers = envNumber("MX_SOAK_WORKERS", 4), rounds = envNumber("MX_SOAK_ROUNDS", 1);
    std::vector<Lines> sequences = {
        {}, {}, {"-a", "-b", "-a"}, {"--stop-service --mail-component=smtp"}};
    for (long w = 0; w < workers; ++w) {
        sequences.emplace_back();
        for (long r = 0; r < rounds; ++r) {
            const std::string m = "w" + std::to_string(w) + "r" + std::to_string(r);
            const std::string name = std::string(DOMAIN) + " --mailname=" + m;
            sequences.back().insert(sequences.back().end(),
                                    {"--add-mailname " + name, "--add-mailbox " + name,
                                     "--add-alias " + name + " --alias=a" + m,
                                     "--rename-mailname " + std::string(DOMAIN) +
                                         " --old-mailname=" + m + " --new-mailname=" + m + "n"});
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
        const auto start = std::chrono::steady_clock::now();
        const mxtest::RunResult r = mxtest::shell(i ? serial : concurrent + "wait");
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ("", r.out);
        figures[i ? "ms one after another" : "ms at the same time"] =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  start)
                .count();
        ends[i] = normalized(state());
    }
    EXPECT_EQ("", mxtest::changes(ends[1], ends[0]));
}

} // namespace
