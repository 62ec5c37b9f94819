// reliability_crash_systest.cc - runs of the program killed with SIGKILL at
// random points, round the kinds of file change it makes: a whole-table
// rewrite, an in-place table update, the master.cf store, the maildirsize
// write, a .qmail edit, a Courier file edit and a handler add.
//
// After each kill: no lock may still be held; every file the run was
// changing must be whole - its old content, its new content, or (between the
// steps of one command) another content that still reads back; temporary
// files may be left only under their documented names. Then the same command
// is run again to the end, as the operator would, and must succeed. The
// program alone is killed, or its whole process group with the postmap run it
// waits for. A compiled table that a killed postmap was rebuilding may be
// left damaged; that is counted, and its recovery from the source file the
// killed run left is checked. MX_CRASH_KILLS (default 36) sets the number of
// kills; tests/soak/soak.sh runs the long form.
#include <gtest/gtest.h>

#include <functional>

#include "tests/soak/soak_fixture.h"

namespace {

using soak::Clock;
using soak::Job;
using soak::Records;

typedef std::map<std::string, std::string> Files; // what a run changes, by name

const char PASSWORD_ENV[] = "HSP_PASSWORD=crash-secret";
const char BOX[] = "box";
const char FORWARD[] = "fwd@elsewhere.example";
const int FILLER = 20000;

// home - the mail home of a mail name of the domain.
std::string home(const std::string& m)
{
    return std::string(soak::MAIL_ROOT) + "/" + soak::DOMAIN + "/" + m;
}

// fileText - a file's content, or a marker for a missing one.
std::string fileText(const std::string& path)
{
    return mxtest::fileExists(path) ? mxtest::readFile(path) : "<missing>";
}

// tableText - a table's records, one line each, or a marker when postmap
// cannot read it.
std::string tableText(const std::string& name)
{
    soak::TableDump d = soak::dumpTable(name);
    if (!d.ok)
        return "<unreadable>";
    std::string text;
    for (const auto& r : d.records)
        text += r.first + " " + r.second + "\n";
    return text;
}

// parseTable - the records of a table text as tableText writes it.
Records parseTable(const std::string& text)
{
    Records records;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const size_t blank = line.find(' ');
        records[line.substr(0, blank)] = blank == std::string::npos ? "" : line.substr(blank + 1);
    }
    return records;
}

// formatTable - the text of records as tableText writes it.
std::string formatTable(const Records& records)
{
    std::string text;
    for (const auto& r : records)
        text += r.first + " " + r.second + "\n";
    return text;
}

// optionValue - the value of "--name=value" among the arguments.
std::string optionValue(const std::vector<std::string>& args, const std::string& name)
{
    for (const std::string& a : args)
        if (a.compare(0, name.size() + 3, "--" + name + "=") == 0)
            return a.substr(name.size() + 3);
    return "";
}

// Verdict - how one changed file compares with its content before the run
// and after the run done again to the end.
enum class Verdict { Before, After, Between, Damaged };

// Kind - one kind of change: how to set it up, run it and judge its files.
struct Kind {
    std::string name;
    std::function<void()> prepare;                                     // before each run
    std::function<std::vector<std::string>(int)> args;                 // the command of run n
    std::vector<std::string> env;                                      // its environment
    std::function<Files()> capture;                                    // the files it changes
    std::function<bool(const std::string&, const std::string&)> whole; // file, content
    std::function<void()> settle;                                      // after the rerun
    // window - the damage a kill may do by design, counted, not a fault.
    std::string window;
    // predict - for tables: what the run makes of them, judged without it.
    std::function<Files(const Files&, const std::vector<std::string>&)> predict;
    // trigger - when set, the kill waits until it says the moment has come
    // (polled) and then hits the whole process group.
    std::function<bool(pid_t)> trigger;
    double seconds = 0.5; // a full run, measured
    int step = 0;         // runs so far
    int kills = 0;
    int missed = 0; // runs that ended before the trigger came
    std::map<std::string, int> verdicts;
};

class CrashTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        soak::setUpWorld();
        seed_ = static_cast<unsigned>(soak::envNumber("MX_SOAK_SEED", std::random_device()()));
        rng_.seed(seed_);
        const std::string domainOpt = std::string("--domain-name=") + soak::DOMAIN;
        for (const char* m : {BOX, "crash0"}) {
            ok({"--add-mailname", domainOpt, std::string("--mailname=") + m});
            ok({"--add-mailbox", domainOpt, std::string("--mailname=") + m}, {PASSWORD_ENV});
        }
        // A mailbox table of a busy server: compiling it takes long enough
        // for a kill to land inside the compile.
        Records fill = soak::dumpTable("vmailbox").records;
        for (int i = 0; i < FILLER; ++i)
            fill["f" + std::to_string(i) + "@filler.example"] =
                "filler.example/f" + std::to_string(i) + "/Maildir/";
        soak::seedTable("vmailbox", fill);
        makeKinds();
    }

    // ok - a run that has to succeed.
    static void ok(const std::vector<std::string>& args, const std::vector<std::string>& env = {})
    {
        Job job = soak::runNow(args, env);
        ASSERT_EQ(0, job.status()) << job.command() << ": " << job.output();
    }

    void makeKinds();
    void crashOnce(Kind& kind);

    unsigned seed_ = 0;
    std::mt19937 rng_;
    std::vector<Kind> kinds_;
    std::string renameFrom_ = "crash0";
    int handlerValue_ = 0;

    // Figures over all kinds.
    std::map<std::string, int> leftoverKinds_;
    std::set<std::string> leftoversSeen_;
    int groupKills_ = 0;
    int tablesDamaged_ = 0, tablesRecovered_ = 0;
    int rerunFailures_ = 0;
    std::map<std::string, int> windows_;
    std::vector<std::string> examples_;
};

// tablesWhole - every table content that postmap reads back.
bool tableWhole(const std::string&, const std::string& content)
{
    return content != "<unreadable>";
}

// masterWhole - the content loads through the program's parser.
bool masterWhole(const std::string&, const std::string& content)
{
    if (content == "<missing>")
        return true; // the set-aside file before the first store
    ostra::mail::postfix::MasterCfContent parsed;
    return ostra::mail::postfix::parseMasterCf(content, parsed);
}

// maildirsizeWhole - the quota line and one usage line, both complete.
bool maildirsizeWhole(const std::string&, const std::string& content)
{
    size_t nl = content.find('\n');
    if (nl == std::string::npos || content.back() != '\n')
        return false;
    const std::string quota = content.substr(0, nl), usage = content.substr(nl + 1);
    unsigned long long s = 0, c = 0;
    char tail = 0;
    return sscanf(quota.c_str(), "%lluS,%lluC%c", &s, &c, &tail) == 2 && usage.size() == 25 &&
           usage.find_first_not_of(" 0123456789\n") == std::string::npos;
}

// qmailWhole - never between: each of these commands makes one edit, which
// replaces the file by rename, so only the old or the new content may be seen.
bool qmailWhole(const std::string&, const std::string&)
{
    return false;
}

// courierWhole - the fixture's lines, each complete.
bool courierWhole(const std::string& file, const std::string& content)
{
    const std::string base = file.substr(file.rfind('/') + 1);
    return content == "# " + base + "\nSHORTNAMES=1\nIMAP_CAPABILITY=\"IMAP4rev1\"\n" ||
           content == "# " + base + "\nIMAP_CAPABILITY=\"IMAP4rev1\"\n";
}

// handlersWhole - no handler directory lacks one of its entries.
bool handlersWhole(const std::string&, const std::string& content)
{
    return content.find("<partial>") == std::string::npos;
}

// handlerDraft - whether path lies in a registry directory under a dot name:
// the draft of a handler add killed before its rename, which listings skip.
bool handlerDraft(const std::string& path)
{
    const std::string prefix = std::string(soak::HANDLERS_INFO) + "/.";
    return path.compare(0, prefix.size(), prefix) == 0;
}

// handlerListing - every handler directory with its values, partial ones marked.
std::string handlerListing()
{
    std::vector<std::string> partial = soak::partialHandlers();
    std::string text;
    for (const std::string& n : mxtest::entries(soak::HANDLERS_INFO)) {
        if (n[0] == '.')
            continue; // a draft of a handler add, ignored by every listing
        const std::string base = std::string(soak::HANDLERS_INFO) + "/" + n + "/";
        const bool isPartial = std::find(partial.begin(), partial.end(), base) != partial.end();
        // The random part of the name differs between a run and its rerun.
        text += n.substr(0, n.rfind('-')) + (isPartial ? " <partial>" : "") + " " +
                fileText(base + "recipient");
    }
    return text;
}

void CrashTest::makeKinds()
{
    const std::string domainOpt = std::string("--domain-name=") + soak::DOMAIN;
    const std::string boxHome = home(BOX);

    Kind rewrite;
    rewrite.name = "whole-table rewrite (--rename-mailname)";
    rewrite.args = [this, domainOpt](int) {
        const std::string to = renameFrom_ == "crash0" ? "crash1" : "crash0";
        return std::vector<std::string>{"--rename-mailname", domainOpt,
                                        "--old-mailname=" + renameFrom_, "--new-mailname=" + to};
    };
    rewrite.capture = [] {
        return Files{{"vmailbox", tableText("vmailbox")}, {"virtual", tableText("virtual")}};
    };
    rewrite.whole = tableWhole;
    rewrite.predict = [](const Files& before, const std::vector<std::string>& args) {
        const std::string d = std::string("@") + soak::DOMAIN;
        const std::string o = optionValue(args, "old-mailname"),
                          n = optionValue(args, "new-mailname");
        const std::string op = std::string(soak::DOMAIN) + "/" + o + "/Maildir/";
        const std::string np = std::string(soak::DOMAIN) + "/" + n + "/Maildir/";
        Records vm, virt;
        for (const auto& r : parseTable(before.at("vmailbox")))
            vm[r.first == o + d ? n + d : r.first] = r.second == op ? np : r.second;
        for (const auto& r : parseTable(before.at("virtual")))
            virt[r.first == o + d ? n + d : r.first] = r.second == o + d ? n + d : r.second;
        return Files{{"vmailbox", formatTable(vm)}, {"virtual", formatTable(virt)}};
    };
    rewrite.settle = [this] {
        // The name whose home exists is the one the next run renames.
        renameFrom_ = mxtest::fileExists(home("crash1")) ? "crash1" : "crash0";
    };
    kinds_.push_back(rewrite);

    // The same rewrite, killed while postmap compiles the source file over
    // the table: postmap rewrites an existing table in place.
    Kind compile = rewrite;
    compile.name = "whole-table rewrite killed while postmap compiles";
    compile.trigger = [](pid_t group) {
        return soak::groupRuns(group, "postmap", [](const std::vector<std::string>& a, long pid) {
            // postmap splits "hash:path" in place: the compile reads as two words.
            return !a.empty() && a[0] == "hash" && soak::opensTable(pid);
        });
    };
    kinds_.push_back(compile);

    Kind update;
    update.name = "in-place table update (--set-catchall, --set-reject)";
    update.args = [domainOpt](int n) {
        if (n % 2 == 0)
            return std::vector<std::string>{"--set-catchall", domainOpt,
                                            "--email=c" + std::to_string(n) + "@elsewhere.example"};
        return std::vector<std::string>{"--set-reject", domainOpt};
    };
    update.capture = [] { return Files{{"virtual", tableText("virtual")}}; };
    update.whole = tableWhole;
    update.predict = [](const Files& before, const std::vector<std::string>& args) {
        Records virt = parseTable(before.at("virtual"));
        const std::string key = std::string("@") + soak::DOMAIN;
        if (args[0] == "--set-catchall")
            virt[key] = optionValue(args, "email");
        else
            virt.erase(key);
        return Files{{"virtual", formatTable(virt)}};
    };
    kinds_.push_back(update);

    Kind updateKilled = update;
    updateKilled.name = "in-place table update killed while postmap writes";
    updateKilled.trigger = [](pid_t group) {
        return soak::groupRuns(group, "postmap", [](const std::vector<std::string>& a, long pid) {
            return (std::find(a.begin(), a.end(), "-i") != a.end() ||
                    std::find(a.begin(), a.end(), "-d") != a.end()) &&
                   soak::opensTable(pid);
        });
    };
    kinds_.push_back(updateKilled);

    Kind master;
    master.name = "master.cf store (-a, -b)";
    master.args = [](int n) { return std::vector<std::string>{n % 2 ? "-b" : "-a"}; };
    master.capture = [] {
        return Files{{soak::MASTER_CF, fileText(soak::MASTER_CF)},
                     {soak::DISABLED_CF, fileText(soak::DISABLED_CF)}};
    };
    master.whole = masterWhole;
    kinds_.push_back(master);

    Kind quota;
    quota.name = "maildirsize write (--set-mailbox-disk-quota)";
    quota.args = [domainOpt](int n) {
        return std::vector<std::string>{"--set-mailbox-disk-quota", domainOpt,
                                        std::string("--mailname=") + BOX,
                                        n % 2 ? "--disk-quota=1000000" : "--disk-quota=2000000"};
    };
    quota.capture = [boxHome] {
        const std::string f = boxHome + "/Maildir/maildirsize";
        return Files{{f, fileText(f)}};
    };
    quota.whole = maildirsizeWhole;
    kinds_.push_back(quota);

    Kind qmail;
    qmail.name = ".qmail edit (redirects, mailbox on and off)";
    qmail.args = [domainOpt](int n) {
        const std::string m = std::string("--mailname=") + BOX;
        switch (n % 4) {
        case 0:
            return std::vector<std::string>{"--add-redirect", domainOpt, m,
                                            std::string("--redirect-email=") + FORWARD};
        case 1:
            return std::vector<std::string>{"--remove-mailbox", domainOpt, m};
        case 2:
            return std::vector<std::string>{"--add-mailbox", domainOpt, m};
        default:
            return std::vector<std::string>{"--remove-redirect", domainOpt, m,
                                            std::string("--redirect-email=") + FORWARD};
        }
    };
    qmail.env = {PASSWORD_ENV};
    qmail.capture = [boxHome] {
        const std::string f = boxHome + "/.qmail";
        return Files{{f, fileText(f)}};
    };
    qmail.whole = qmailWhole;
    kinds_.push_back(qmail);

    Kind courier;
    courier.name = "Courier file edit (--set-accounts-format)";
    courier.prepare = [] {
        for (const char* file : soak::COURIER_FILES)
            mxtest::writeFile(
                std::string(soak::COURIER_DIR) + "/" + file,
                "# " + std::string(file) + "\nSHORTNAMES=1\nIMAP_CAPABILITY=\"IMAP4rev1\"\n", 0600);
    };
    courier.args = [](int) {
        return std::vector<std::string>{"--set-accounts-format", "--account-format=compound"};
    };
    courier.capture = [] {
        Files files;
        for (const char* file : soak::COURIER_FILES) {
            const std::string f = std::string(soak::COURIER_DIR) + "/" + file;
            files[f] = fileText(f);
        }
        return files;
    };
    courier.whole = courierWhole;
    kinds_.push_back(courier);

    Kind handler;
    handler.name = "handler add (--add-handler)";
    handler.args = [this](int) {
        return std::vector<std::string>{"--add-handler",
                                        "--handler-name=crash",
                                        "--handler-type=recipient",
                                        "--handler-type-name=h" + std::to_string(handlerValue_) +
                                            "@example.com",
                                        "--executable=/bin/true",
                                        "--context=ctx",
                                        "--hook=before-local",
                                        "--priority=10"};
    };
    handler.capture = [] { return Files{{"handler registry", handlerListing()}}; };
    // The registry directory is renamed into place complete: no window.
    handler.whole = handlersWhole;
    handler.settle = [this] { ++handlerValue_; };
    kinds_.push_back(handler);
}

// crashOnce - one killed run of a kind, its judgement and its rerun.
void CrashTest::crashOnce(Kind& kind)
{
    if (kind.prepare)
        kind.prepare();
    const std::vector<std::string> args = kind.args(kind.step++);
    const Files before = kind.capture();
    const std::set<std::string> pathsBefore = soak::treeListing();

    bool group = std::uniform_int_distribution<int>(0, 1)(rng_) == 1;
    double delay = std::uniform_real_distribution<double>(0, kind.seconds * 1.2)(rng_);
    Job job;
    job.start(args, kind.env, std::string(std::getenv("TMPDIR")) + "/crash.out");
    if (kind.trigger) {
        // Poll for the moment, then wait up to 50 ms more at random: the
        // filled mailbox table is written within them.
        group = true;
        const Clock::time_point until = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < until) {
            int status = 0;
            if (waitpid(job.pid(), &status, WNOHANG) == job.pid()) {
                job.finish(status);
                ++kind.missed;
                break;
            }
            if (kind.trigger(job.pid()))
                break;
            usleep(200);
        }
        delay = std::uniform_real_distribution<double>(0, 0.05)(rng_);
    }
    usleep(static_cast<useconds_t>(delay * 1e6));
    if (job.pid() > 0) {
        job.kill(group);
        job.wait();
    }
    ++kind.kills;
    groupKills_ += group ? 1 : 0;
    ASSERT_TRUE(soak::waitForStrays()) << "children of a killed run did not end";

    // No lock outlives its holder.
    EXPECT_EQ(std::vector<std::string>(), soak::heldLocks()) << job.command();

    // Left-over temporary files only under documented names.
    for (const soak::Leftover& l : soak::scanLeftovers()) {
        if (!leftoversSeen_.insert(l.path).second)
            continue;
        ++leftoverKinds_[l.kind];
    }
    for (const std::string& p : soak::treeListing()) {
        const size_t slash = p.find('/', std::strlen(soak::HANDLERS_INFO) + 1);
        if (handlerDraft(p) && slash == std::string::npos && leftoversSeen_.insert(p).second)
            ++leftoverKinds_["handler add draft (handlers/info/.<priority>-<template>-XXXXXX)"];
    }

    const Files killed = kind.capture();
    const std::set<std::string> pathsKilled = soak::treeListing();
    // A compiled table that is neither old nor new: the run was killed
    // while postmap rebuilt it in place, and postmap leaves it empty or
    // unreadable. The source file the killed run left is complete, and
    // compiling it - before any other run dumps the damaged table - is the
    // recovery.
    Files expected;
    if (kind.predict)
        expected = kind.predict(before, args);
    for (const auto& f : killed) {
        if (!kind.predict || f.second == before.at(f.first) || f.second == expected.at(f.first))
            continue;
        ++tablesDamaged_;
        if (examples_.size() < 20)
            examples_.push_back(kind.name + ": " + f.first + " left with " +
                                std::to_string(parseTable(f.second).size()) + " records");
        const std::string source = std::string(soak::TABLE_DIR) + "/" + f.first;
        EXPECT_TRUE(mxtest::fileExists(source)) << "damaged " << f.first << " without its source";
        mxtest::RunResult r =
            mxtest::run("/usr/sbin/postmap " + soak::tableId(f.first) + " && rm " + source);
        if (r.status == 0 && tableText(f.first) == expected.at(f.first))
            ++tablesRecovered_;
        else
            ADD_FAILURE() << "cannot recompile " << f.first << ": " << r.err;
    }

    // The rerun, to the end, as the operator would do it.
    Job rerun = soak::runNow(args, kind.env);
    if (rerun.status() != 0) {
        ++rerunFailures_;
        if (examples_.size() < 20)
            examples_.push_back("rerun failed with status " + std::to_string(rerun.status()) +
                                ": " + rerun.command() + ": " + rerun.output());
        ADD_FAILURE() << "no way back after a kill of " << job.command() << ": status "
                      << rerun.status() << ": " << rerun.output();
    } else {
        kind.seconds = kind.seconds * 0.7 + rerun.duration() * 0.3;
    }
    const Files after = kind.capture();
    if (kind.predict && rerun.status() == 0) {
        EXPECT_TRUE(after == expected)
            << "the rerun of " << rerun.command() << " left other tables";
    }
    // What the killed run made that neither the old state nor the full run
    // has must be a temporary file of a documented name.
    const std::set<std::string> pathsAfter = soak::treeListing();
    for (const std::string& p : pathsKilled) {
        if (pathsBefore.count(p) || pathsAfter.count(p))
            continue;
        const size_t slash = p.rfind('/');
        if (handlerDraft(p))
            continue;
        if (soak::classifyLeftover(p.substr(0, slash), p.substr(slash + 1)).empty())
            ADD_FAILURE() << "unexplained remnant of a killed " << job.command() << ": " << p;
    }
    if (kind.settle)
        kind.settle();

    for (const auto& f : killed) {
        Verdict v;
        if (f.second == before.at(f.first))
            v = Verdict::Before;
        else if (f.second == (kind.predict ? expected : after).at(f.first))
            v = Verdict::After;
        else if (kind.predict)
            v = Verdict::Damaged;
        else if (kind.whole(f.first, f.second))
            v = Verdict::Between;
        else
            v = Verdict::Damaged;
        static const char* const names[] = {"old content", "new content", "between steps, whole",
                                            "damaged"};
        ++kind.verdicts[names[static_cast<int>(v)]];
        if (v == Verdict::Between && examples_.size() < 20)
            examples_.push_back(kind.name + ": " + f.first + " between steps:\n" + f.second);
        if (v == Verdict::Damaged && !kind.predict && !kind.window.empty()) {
            ++windows_[kind.window];
        } else if (v == Verdict::Damaged && !kind.predict) {
            ADD_FAILURE() << f.first << " damaged by a kill of " << job.command() << " after "
                          << delay << " s:\n"
                          << f.second;
        }
    }
}

TEST_F(CrashTest, KilledRunsLeaveWholeFilesNoLocksAndOnlyKnownTemporaryFiles)
{
    const long kills = soak::envNumber("MX_CRASH_KILLS", 36);
    const Clock::time_point start = Clock::now();
    // A full run of each kind first, which also measures how long it takes.
    for (Kind& k : kinds_) {
        if (k.prepare)
            k.prepare();
        Job job = soak::runNow(k.args(k.step++), k.env);
        ASSERT_EQ(0, job.status()) << job.command() << ": " << job.output();
        k.seconds = job.duration();
        if (k.settle)
            k.settle();
    }
    // MX_CRASH_ONLY keeps the kinds whose name holds the text.
    const char* only = std::getenv("MX_CRASH_ONLY");
    std::vector<Kind*> chosen;
    for (Kind& k : kinds_)
        if (only == nullptr || k.name.find(only) != std::string::npos)
            chosen.push_back(&k);
    ASSERT_FALSE(chosen.empty()) << "no kind matches MX_CRASH_ONLY";
    for (long i = 0; i < kills; ++i) {
        crashOnce(*chosen[static_cast<size_t>(i) % chosen.size()]);
        ASSERT_FALSE(HasFatalFailure());
    }

    // Whatever the kills left, every table still reads back in the end.
    for (const char* table : soak::TABLES) {
        soak::TableDump d = soak::dumpTable(table);
        EXPECT_TRUE(d.ok) << table << ": " << d.error;
    }

    int documented = 0;
    soak::Report report("runs killed with SIGKILL");
    report.add("seed", std::to_string(seed_));
    report.add("kills", kills);
    report.add("kills of the whole process group", groupKills_);
    report.add("seconds", std::to_string(soak::seconds(Clock::now() - start)));
    for (const Kind& k : kinds_) {
        std::string v;
        for (const auto& e : k.verdicts)
            v += (v.empty() ? "" : ", ") + e.first + " " + std::to_string(e.second);
        report.add(k.name, std::to_string(k.kills) + " kills (" + std::to_string(k.seconds) +
                               " s a run" +
                               (k.missed ? ", " + std::to_string(k.missed) + " ended first" : "") +
                               "); files: " + v);
    }
    for (const auto& l : leftoverKinds_) {
        report.add("left over: " + l.first, l.second);
        documented += l.second;
    }
    report.add("compiled tables damaged by a killed postmap", tablesDamaged_);
    report.add("  of them recompiled from the left-over source", tablesRecovered_);
    for (const auto& w : windows_)
        report.add(w.first, w.second);
    report.add("reruns that failed", rerunFailures_);
    for (const std::string& e : examples_)
        report.add("example", e);
    EXPECT_EQ(tablesDamaged_, tablesRecovered_);
}

} // namespace
