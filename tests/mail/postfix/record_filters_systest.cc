// record_filters_systest.cc - whole-table rewrites through the real postmap.
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mail/postfix/record_filters.h"
#include "table_fixture.h"

using namespace ostra::mail::postfix;
using namespace ostra::mail::postfix::database;
using tabletest::exists;
using Lines = std::vector<std::string>;

namespace {

const std::string VIRTUAL = tables::VIRTUAL;
const std::string VMAILBOX = tables::VMAILBOX;

// ClogCapture - collects what is written to std::clog while it lives.
class ClogCapture {
public:
    ClogCapture() : saved_(std::clog.rdbuf(text_.rdbuf())) {}
    ~ClogCapture() { std::clog.rdbuf(saved_); }
    std::string text() const { return text_.str(); }

private:
    std::ostringstream text_;
    std::streambuf* saved_;
};

class RecordFiltersTest : public tabletest::TableTest {
protected:
    // expectCleanedUp - neither the source file nor the lock outlives a rewrite.
    void expectCleanedUp(const std::string& table)
    {
        EXPECT_FALSE(exists(tableSourcePath(table))) << table;
        EXPECT_TRUE(lockIsFree(table)) << table;
    }
};

// A domain d.com with its alias domain al.com, and a second domain e.com.
const char virtualSeed[] = "postmaster@d.com postmaster@localhost.localdomain\n"
                           "m@d.com m@d.com\n"
                           "a@d.com m@d.com\n"
                           "m@al.com m@d.com\n"
                           "a@al.com m@d.com\n"
                           "al.com 1\n"
                           "@d.com catch@e.com\n"
                           "@al.com catch@e.com\n"
                           "n@e.com n@e.com\n"
                           "list@e.com n@e.com,m@d.com\n"
                           "only@e.com m@d.com\n"
                           "x@xd.com x@xd.com\n";
const char vmailboxSeed[] = "m@d.com d.com/m/Maildir/\n"
                            "n@e.com e.com/n/Maildir/\n";

TEST_F(RecordFiltersTest, RemovingADomainLeavesNoTraceOfIt)
{
    seed(VIRTUAL, virtualSeed);
    seed(VMAILBOX, vmailboxSeed);
    DatabaseHelper::filterRecords(VIRTUAL,
                                  ElementsFilter<NotInDomainFilter>(NotInDomainFilter("d.com")));
    DatabaseHelper::filterRecords(VMAILBOX,
                                  ElementsFilter<NotInDomainFilter>(NotInDomainFilter("d.com")));
    EXPECT_EQ((Lines{"@al.com catch@e.com", "al.com 1", "list@e.com n@e.com", "n@e.com n@e.com",
                     "x@xd.com x@xd.com"}),
              dump(VIRTUAL));
    EXPECT_EQ(Lines{"n@e.com e.com/n/Maildir/"}, dump(VMAILBOX));
    expectCleanedUp(VIRTUAL);
    expectCleanedUp(VMAILBOX);
}

TEST_F(RecordFiltersTest, RemovingAnAliasDomain)
{
    seed(VIRTUAL, virtualSeed);
    DatabaseHelper::filterRecords(VIRTUAL,
                                  ElementsFilter<NotInDomainFilter>(NotInDomainFilter("al.com")));
    EXPECT_EQ((Lines{"@d.com catch@e.com", "a@d.com m@d.com", "list@e.com n@e.com, m@d.com",
                     "m@d.com m@d.com", "n@e.com n@e.com", "only@e.com m@d.com",
                     "postmaster@d.com postmaster@localhost.localdomain", "x@xd.com x@xd.com"}),
              dump(VIRTUAL));
}

TEST_F(RecordFiltersTest, RenamingAnAliasDomain)
{
    seed(VIRTUAL, "x@o.org y@o.org,z@p.org\n"
                  "o.org 1\n"
                  "@o.org catch@p.org\n"
                  "x@xo.org x@xo.org\n");
    const std::string oldName = "o.org", newName = "n.net";
    DatabaseHelper::filterRecords(
        VIRTUAL, ElementsFilter<ReplaceDomainPart>(ReplaceDomainPart(oldName, newName)));
    EXPECT_EQ(
        (Lines{"@n.net catch@p.org", "n.net 1", "x@n.net y@n.net, z@p.org", "x@xo.org x@xo.org"}),
        dump(VIRTUAL));
    expectCleanedUp(VIRTUAL);
}

TEST_F(RecordFiltersTest, RenamingAMailnameAndBack)
{
    seed(VIRTUAL, virtualSeed);
    seed(VMAILBOX, vmailboxSeed);
    const Lines virtualBefore = dump(VIRTUAL), vmailboxBefore = dump(VMAILBOX);
    std::string oldAddress = "m@d.com", newAddress = "r@d.com";
    std::string oldPath = "d.com/m/Maildir/", newPath = "d.com/r/Maildir/";
    typedef KeyValueFilter<ReplaceElementFilterRef, ReplaceElementFilterRef> MailboxFilter;
    DatabaseHelper::filterRecords(VMAILBOX,
                                  MailboxFilter(ReplaceElementFilterRef(oldAddress, newAddress),
                                                ReplaceElementFilterRef(oldPath, newPath)));
    DatabaseHelper::filterRecords(VIRTUAL, ElementsFilter<ReplaceElementFilterRef>(
                                               ReplaceElementFilterRef(oldAddress, newAddress)));
    EXPECT_EQ((Lines{"n@e.com e.com/n/Maildir/", "r@d.com d.com/r/Maildir/"}), dump(VMAILBOX));
    EXPECT_EQ(
        (Lines{"@al.com catch@e.com", "@d.com catch@e.com", "a@al.com r@d.com", "a@d.com r@d.com",
               "al.com 1", "list@e.com n@e.com, r@d.com", "m@al.com r@d.com", "n@e.com n@e.com",
               "only@e.com r@d.com", "postmaster@d.com postmaster@localhost.localdomain",
               "r@d.com r@d.com", "x@xd.com x@xd.com"}),
        dump(VIRTUAL));

    // The roll-back is the same rewrite with the strings swapped.
    oldAddress.swap(newAddress);
    oldPath.swap(newPath);
    DatabaseHelper::filterRecords(VMAILBOX,
                                  MailboxFilter(ReplaceElementFilterRef(oldAddress, newAddress),
                                                ReplaceElementFilterRef(oldPath, newPath)));
    DatabaseHelper::filterRecords(VIRTUAL, ElementsFilter<ReplaceElementFilterRef>(
                                               ReplaceElementFilterRef(oldAddress, newAddress)));
    EXPECT_EQ(vmailboxBefore, dump(VMAILBOX));
    Lines normalised = virtualBefore;
    for (std::string& line : normalised) {
        if (line == "list@e.com n@e.com,m@d.com")
            line = "list@e.com n@e.com, m@d.com"; // lists come back joined with ", "
    }
    EXPECT_EQ(normalised, dump(VIRTUAL));
}

TEST_F(RecordFiltersTest, ALargeTableStreamsThroughInPieces)
{
    // Several hundred kilobytes of dump: lines are cut at chunk borders many times.
    std::string source;
    Lines expected;
    for (int i = 0; i < 6000; ++i) {
        const std::string n = std::to_string(i);
        const std::string domain = i % 3 == 0 ? "gone.test" : "stay.test";
        source += "u" + n + "@" + domain + " u" + n + "@stay.test,v" + n + "@gone.test w" + n +
                  "@stay.test\n";
        if (i % 3 != 0)
            expected.push_back("u" + n + "@stay.test u" + n + "@stay.test, w" + n + "@stay.test");
    }
    seed(VIRTUAL, source);
    DatabaseHelper::filterRecords(
        VIRTUAL, ElementsFilter<NotInDomainFilter>(NotInDomainFilter("gone.test")));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, dump(VIRTUAL));
    expectCleanedUp(VIRTUAL);
}

TEST_F(RecordFiltersTest, DumpOfAMissingTableFailsAndCleansUp)
{
    const std::string absent = "hash:/var/spool/postfix/ostra/absent";
    try {
        DatabaseHelper::filterRecords(
            absent, ElementsFilter<NotInDomainFilter>(NotInDomainFilter("d.com")));
        FAIL() << "no exception";
    } catch (const PostfixConfigurationError& e) {
        EXPECT_NE(std::string::npos, std::string(e.what()).find("postmap: fatal: ")) << e.what();
        EXPECT_NE(std::string::npos, std::string(e.what()).find("absent.db")) << e.what();
    }
    expectCleanedUp(absent);
}

TEST_F(RecordFiltersTest, SourceThatCannotBeOpenedReleasesTheLock)
{
    // The source directory is missing, so the rewrite stops before any dump.
    EXPECT_THROW(DatabaseHelper::filterRecords(
                     "hash:/nonexistent/dir/table",
                     ElementsFilter<NotInDomainFilter>(NotInDomainFilter("d.com"))),
                 std::ios_base::failure);
    EXPECT_TRUE(lockIsFree("hash:/nonexistent/dir/table"));
}

// ThrowingFilter - a record filter that fails on the record it is told to.
struct ThrowingFilter {
    std::string victim;
    bool operator()(std::string& line)
    {
        if (line.compare(0, victim.size(), victim) == 0)
            throw std::runtime_error("filter gave up");
        return true;
    }
};

TEST_F(RecordFiltersTest, AFilterFailureLeavesTheTableAndCleansUp)
{
    std::string source;
    for (int i = 0; i < 3000; ++i)
        source += "k" + std::to_string(i) + " v\n";
    seed(VIRTUAL, source);
    EXPECT_THROW(DatabaseHelper::filterRecords(VIRTUAL, ThrowingFilter{"k1500\t"}),
                 std::runtime_error);
    EXPECT_EQ(3000u, dump(VIRTUAL).size());
    expectCleanedUp(VIRTUAL);
}

TEST_F(RecordFiltersTest, MalformedDumpLinesAreLoggedAndDropped)
{
    // The real tool never prints such lines; a stand-in dumps them, the real one compiles.
    installStandIn("case \"$1\" in\n"
                   "-s) printf 'good@d.com\\tx@d.com,y@d.com\\nbroken\\nnovalue@d.com \\t\\n"
                   "last@d.com\\tz@d.com' ;;\n"
                   "*) exec \"$REAL\" \"$@\" ;;\n"
                   "esac\n");
    ClogCapture capture;
    DatabaseHelper::filterRecords(
        VIRTUAL, ElementsFilter<NotInDomainFilter>(NotInDomainFilter("none.test")));
    EXPECT_EQ("invalid key/value 'broken'\n", capture.text());
    EXPECT_EQ((Lines{"good@d.com x@d.com, y@d.com", "last@d.com z@d.com"}), dump(VIRTUAL));
    expectCleanedUp(VIRTUAL);
}

// Failures of either step, played by a stand-in for that step only.
struct StepFault {
    const char* name;
    const char* script;
    const char* message;
};

class RecordFiltersFaultTest : public RecordFiltersTest,
                               public ::testing::WithParamInterface<StepFault> {};

TEST_P(RecordFiltersFaultTest, FailsWithTheToolTextAndCleansUp)
{
    seed(VIRTUAL, "a@d.com a@d.com\nb@e.com b@e.com\n");
    installStandIn(GetParam().script);
    try {
        DatabaseHelper::filterRecords(
            VIRTUAL, ElementsFilter<NotInDomainFilter>(NotInDomainFilter("d.com")));
        FAIL() << "no exception";
    } catch (const PostfixConfigurationError& e) {
        EXPECT_EQ(GetParam().message, std::string(e.what()));
    }
    // Neither stand-in touches the compiled table.
    EXPECT_EQ((Lines{"a@d.com a@d.com", "b@e.com b@e.com"}), dump(VIRTUAL));
    expectCleanedUp(VIRTUAL);
}

const StepFault stepFaults[] = {
    {"CompileFatal",
     "case \"$1\" in -s) exec \"$REAL\" \"$@\" ;; esac\n"
     "echo 'postmap: fatal: cannot compile' >&2; exit 1\n",
     "postmap: fatal: cannot compile\n"},
    {"CompileFailsSilently", "case \"$1\" in -s) exec \"$REAL\" \"$@\" ;; esac\nexit 75\n",
     "unknown error"},
    {"CompileKilled", "case \"$1\" in -s) exec \"$REAL\" \"$@\" ;; esac\nkill -9 $$\n",
     "unknown error"},
    {"DumpKilledHalfWay",
     "case \"$1\" in -s) printf 'a@d.com a@d.com\\nb@e' ; printf 'dump died' >&2; kill -9 $$ ;; "
     "esac\nexec \"$REAL\" \"$@\"\n",
     "dump died"},
    {"DumpExitsNonZero",
     "case \"$1\" in -s) \"$REAL\" \"$@\"; exit 3 ;; esac\nexec \"$REAL\" \"$@\"\n",
     "unknown error"},
};

INSTANTIATE_TEST_SUITE_P(StandIn, RecordFiltersFaultTest, ::testing::ValuesIn(stepFaults),
                         [](const ::testing::TestParamInfo<StepFault>& info) {
                             return std::string(info.param.name);
                         });

// now - monotonic time in milliseconds.
long now()
{
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// Stamped - a record filter that reports its first record and then dawdles over it.
template <class R> struct Stamped {
    R inner;
    int ready; // pipe to tell the test that the rewrite is under way, or -1
    int delayMs;
    long* firstCall;
    bool operator()(std::string& line)
    {
        if (*firstCall == 0) {
            *firstCall = now();
            if (ready >= 0)
                (void)!::write(ready, "x", 1);
            ::usleep(delayMs * 1000);
        }
        return inner(line);
    }
};

// rewriteInChild - fork a process that renames a domain in virtual; pipe out its times.
template <class R> pid_t rewriteInChild(const R& filter, int ready, int delayMs, int times)
{
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    int status = 0;
    long first = 0;
    try {
        DatabaseHelper::filterRecords(VIRTUAL, Stamped<R>{filter, ready, delayMs, &first});
    } catch (const std::exception& e) {
        std::cerr << "child rewrite failed: " << e.what() << std::endl;
        status = 1;
    }
    const long stamps[2] = {first, now()};
    (void)!::write(times, stamps, sizeof stamps);
    ::_exit(status);
}

TEST_F(RecordFiltersTest, ConcurrentRewritesOfOneTableTakeTurns)
{
    seed(VIRTUAL, "k1@a.com v@b.com\nk2@a.com w@c.com\nk3@x.com v@b.com, w@c.com\n");
    const std::string b = "b.com", bb = "bb.com", c = "c.com", cc = "cc.com";
    typedef ElementsFilter<ReplaceDomainPart> Rename;
    int ready[2], timesA[2], timesB[2];
    ASSERT_EQ(0, ::pipe(ready));
    ASSERT_EQ(0, ::pipe(timesA));
    ASSERT_EQ(0, ::pipe(timesB));

    // A holds the table for a while; B starts while A is inside its filter.
    const pid_t a = rewriteInChild(Rename(ReplaceDomainPart(b, bb)), ready[1], 500, timesA[1]);
    ASSERT_GT(a, 0);
    char x;
    ASSERT_EQ(1, ::read(ready[0], &x, 1));
    const pid_t bPid = rewriteInChild(Rename(ReplaceDomainPart(c, cc)), -1, 0, timesB[1]);
    ASSERT_GT(bPid, 0);
    EXPECT_EQ(0, tabletest::waitChild(a));
    EXPECT_EQ(0, tabletest::waitChild(bPid));

    long stampsA[2], stampsB[2];
    ASSERT_EQ(ssize_t(sizeof stampsA), ::read(timesA[0], stampsA, sizeof stampsA));
    ASSERT_EQ(ssize_t(sizeof stampsB), ::read(timesB[0], stampsB, sizeof stampsB));
    // B saw its first record only after A had finished, and A's change survived B's.
    EXPECT_GE(stampsB[0], stampsA[1]);
    EXPECT_EQ((Lines{"k1@a.com v@bb.com", "k2@a.com w@cc.com", "k3@x.com v@bb.com, w@cc.com"}),
              dump(VIRTUAL));
    expectCleanedUp(VIRTUAL);
}

} // namespace
