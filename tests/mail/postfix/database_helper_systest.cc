// database_helper_systest.cc - adding, removing and replacing records with the real postmap.
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mail/postfix/database_helper.h"
#include "ostra/lock.h"
#include "table_fixture.h"

using namespace ostra::mail::postfix;
using tabletest::exists;
using Lines = std::vector<std::string>;

namespace {

const std::string VIRTUAL = tables::VIRTUAL;
const std::string VMAILBOX = tables::VMAILBOX;
// A table whose directory does not exist: every postmap run on it fails.
const std::string NOWHERE = "hash:/var/spool/postfix/ostra/missing/table";

class DatabaseHelperTest : public tabletest::TableTest {};

TEST_F(DatabaseHelperTest, AddsRecordsFromListsAndVectors)
{
    DatabaseHelper::addRecords(VIRTUAL, RecordList{{"a@d.com", "a@d.com"}, {"d2.com", "1"}});
    DatabaseHelper::addRecords(VIRTUAL, RecordVector{{"b@d2.com", "a@d.com, x@e.com"}});
    DatabaseHelper::addRecord(VIRTUAL, "@d.com", "_ostra_bounce_d.com@localhost.localdomain");
    EXPECT_EQ((Lines{"@d.com _ostra_bounce_d.com@localhost.localdomain", "a@d.com a@d.com",
                     "b@d2.com a@d.com, x@e.com", "d2.com 1"}),
              dump(VIRTUAL));
    EXPECT_FALSE(exists(tableSourcePath(VIRTUAL)));
}

TEST_F(DatabaseHelperTest, AddingAnExistingKeyReplacesItsValue)
{
    seed(VIRTUAL, "@d.com catch@e.com\nother@d.com other@d.com\n");
    DatabaseHelper::addRecords(VIRTUAL, RecordList{{"@d.com", "_ostra_bounce_d.com@localhost"},
                                                   {"new@d.com", "new@d.com"}});
    EXPECT_EQ((Lines{"@d.com _ostra_bounce_d.com@localhost", "new@d.com new@d.com",
                     "other@d.com other@d.com"}),
              dump(VIRTUAL));
}

TEST_F(DatabaseHelperTest, KeysAreFoldedValuesKeepTheirCase)
{
    DatabaseHelper::addRecord(VMAILBOX, "Mixed@Example.COM", "example.com/Mixed/Maildir/");
    EXPECT_EQ(Lines{"mixed@example.com example.com/Mixed/Maildir/"}, dump(VMAILBOX));
    DatabaseHelper::removeRecord(VMAILBOX, "MIXED@example.com");
    EXPECT_EQ(Lines{}, dump(VMAILBOX));
}

TEST_F(DatabaseHelperTest, ABigBatchIsStreamedInOneRun)
{
    // Far more than a pipe holds, so feeding has to wait for postmap.
    RecordVector records;
    for (int i = 0; i < 20000; ++i) {
        const std::string n = std::to_string(i);
        records.push_back(Record("user" + n + "@big.example", "user" + n + "@big.example"));
    }
    DatabaseHelper::addRecords(VIRTUAL, records);
    EXPECT_EQ(20000u, dump(VIRTUAL).size());
    EXPECT_EQ("user19999@big.example", query(VIRTUAL, "user19999@big.example"));
    EXPECT_EQ("user0@big.example", query(VIRTUAL, "user0@big.example"));
}

TEST_F(DatabaseHelperTest, FailedAdditionCarriesTheToolText)
{
    try {
        DatabaseHelper::addRecord(NOWHERE, "k", "v");
        FAIL() << "no exception";
    } catch (const PostfixConfigurationError& e) {
        EXPECT_NE(std::string::npos, std::string(e.what()).find("postmap: fatal: ")) << e.what();
        EXPECT_NE(std::string::npos, std::string(e.what()).find("/missing/table")) << e.what();
    }
}

TEST_F(DatabaseHelperTest, RemovesPresentKeysAndIgnoresAbsentOnes)
{
    seed(VIRTUAL, "a@d.com a@d.com\nb@d.com b@d.com\nc@d.com c@d.com\nd.com 1\n");
    DatabaseHelper::removeRecord(VIRTUAL, "a@d.com");
    EXPECT_NO_THROW(DatabaseHelper::removeRecord(VIRTUAL, "a@d.com")); // now absent: exit 1
    EXPECT_NO_THROW(DatabaseHelper::removeRecords(VIRTUAL, KeyList{"x@d.com", "y@d.com"}));
    DatabaseHelper::removeRecords(VIRTUAL, KeyVector{"x@d.com", "c@d.com", "d.com"});
    EXPECT_EQ(Lines{"b@d.com b@d.com"}, dump(VIRTUAL));
}

TEST_F(DatabaseHelperTest, RemovesAKeyThatLooksLikeTheStdinMarker)
{
    seed(VIRTUAL, "- dash\nkeep keep\n");
    DatabaseHelper::removeRecord(VIRTUAL, "-");
    EXPECT_EQ(Lines{"keep keep"}, dump(VIRTUAL));
}

TEST_F(DatabaseHelperTest, RemovingFromAMissingTableFails)
{
    try {
        DatabaseHelper::removeRecord(NOWHERE, "k");
        FAIL() << "no exception";
    } catch (const PostfixDatabaseError& e) {
        EXPECT_NE(std::string::npos, std::string(e.what()).find("postmap: fatal: ")) << e.what();
    }
}

TEST_F(DatabaseHelperTest, ReplacingMakesTheRecordsTheWholeTable)
{
    seed(VIRTUAL, "old@d.com old@d.com\nkeep@d.com keep@d.com\n");
    DatabaseHelper::replaceRecords(VIRTUAL,
                                   RecordList{{"keep@d.com", "changed@d.com"}, {"n@d.com", "n"}});
    EXPECT_EQ((Lines{"keep@d.com changed@d.com", "n@d.com n"}), dump(VIRTUAL));
    EXPECT_FALSE(exists(tableSourcePath(VIRTUAL)));
    EXPECT_TRUE(lockIsFree(VIRTUAL));

    DatabaseHelper::replaceRecords(VIRTUAL, RecordVector());
    EXPECT_EQ(Lines{}, dump(VIRTUAL));
}

TEST_F(DatabaseHelperTest, ReplacingWaitsForTheTableLock)
{
    seed(VIRTUAL, "old old\n");
    // The holder answers through a pipe: the pipeline's SIGCHLD handler reaps
    // every child of this process, so its exit status would be lost.
    int ready[2], verdict[2];
    ASSERT_EQ(0, ::pipe(ready));
    ASSERT_EQ(0, ::pipe(verdict));
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        lock_struct_t* lock = mk_lock(tableSourcePath(VIRTUAL).c_str(), 1);
        (void)!::write(ready[1], "x", 1);
        ::usleep(400 * 1000);
        // The replacement must not have happened while the lock was held.
        const char untouched = dump(VIRTUAL) == Lines{"old old"} ? 'y' : 'n';
        (void)!::write(verdict[1], &untouched, 1);
        rm_lock(lock);
        ::_exit(0);
    }
    char c;
    ASSERT_EQ(1, ::read(ready[0], &c, 1));
    DatabaseHelper::replaceRecords(VIRTUAL, RecordList{{"new", "new"}});
    ASSERT_EQ(1, ::read(verdict[0], &c, 1));
    EXPECT_EQ('y', c);
    EXPECT_EQ(Lines{"new new"}, dump(VIRTUAL));
}

TEST_F(DatabaseHelperTest, SourceThatCannotBeOpenedReleasesTheLock)
{
    EXPECT_THROW(DatabaseHelper::replaceRecords(NOWHERE, RecordList{{"k", "v"}}),
                 std::ios_base::failure);
    EXPECT_TRUE(lockIsFree(NOWHERE));
}

TEST_F(DatabaseHelperTest, ImmediateBatchAppliesEachChangeAtOnce)
{
    BatchDatabaseHelper batch;
    batch.addChange(tables::VIRTUAL_DOMAINS, "d.com", "d.com/");
    EXPECT_EQ("d.com/", query(tables::VIRTUAL_DOMAINS, "d.com"));
    batch.addChanges(VIRTUAL, RecordVector{{"postmaster@d.com", "postmaster@localhost.localdomain"},
                                           {"root@d.com", "root@localhost.localdomain"}});
    EXPECT_EQ(2u, dump(VIRTUAL).size());
    batch.removeChanges(VIRTUAL, KeyList{"root@d.com"});
    EXPECT_EQ(Lines{"postmaster@d.com postmaster@localhost.localdomain"}, dump(VIRTUAL));
}

TEST_F(DatabaseHelperTest, ImmediateReplacingBatchReplacesTheTable)
{
    seed(tables::BLACKLISTS, "old.example REJECT\n");
    BatchDatabaseHelper batch(BatchDatabaseHelper::Replacing, BatchDatabaseHelper::Immediate);
    batch.addChange(tables::BLACKLISTS, "spam.example", "REJECT");
    EXPECT_EQ(Lines{"spam.example REJECT"}, dump(tables::BLACKLISTS));
    batch.addChanges(tables::BLACKLISTS, RecordList{{"a.example", "REJECT"}, {"b.example", "OK"}});
    EXPECT_EQ((Lines{"a.example REJECT", "b.example OK"}), dump(tables::BLACKLISTS));
}

TEST_F(DatabaseHelperTest, DeferredBatchAppliesAdditionsThenRemovalsOnCommit)
{
    seed(VIRTUAL, "gone@d.com gone@d.com\n");
    seed(VMAILBOX, "m@d.com d.com/m/Maildir/\n");
    {
        BatchDatabaseHelper batch(BatchDatabaseHelper::Incremental, BatchDatabaseHelper::Deferred);
        batch.addChange(VMAILBOX, "n@d.com", "d.com/n/Maildir/");
        batch.addChanges(VIRTUAL, RecordList{{"n@d.com", "n@d.com"}, {"tmp@d.com", "x"}});
        batch.removeChanges(VIRTUAL, KeyList{"gone@d.com", "tmp@d.com"});
        EXPECT_EQ(Lines{"gone@d.com gone@d.com"}, dump(VIRTUAL));
        batch.commit();
        EXPECT_EQ(Lines{"n@d.com n@d.com"}, dump(VIRTUAL));
        EXPECT_EQ((Lines{"m@d.com d.com/m/Maildir/", "n@d.com d.com/n/Maildir/"}), dump(VMAILBOX));

        // Committed changes are gone from the batch: a second commit repeats nothing.
        seed(VIRTUAL, "tmp@d.com back\n");
        batch.commit();
        EXPECT_EQ(Lines{"tmp@d.com back"}, dump(VIRTUAL));

        // Held again, then dropped with the batch.
        batch.removeChanges(VIRTUAL, KeyList{"tmp@d.com"});
    }
    EXPECT_EQ(Lines{"tmp@d.com back"}, dump(VIRTUAL));
}

TEST_F(DatabaseHelperTest, DeferredReplacingBatchReplacesOnCommit)
{
    seed(tables::BLACKLISTS, "old.example REJECT\n");
    BatchDatabaseHelper batch(BatchDatabaseHelper::Replacing, BatchDatabaseHelper::Deferred);
    batch.addChange(tables::BLACKLISTS, "a.example", "REJECT");
    batch.addChange(tables::BLACKLISTS, "b.example", "REJECT");
    EXPECT_EQ(Lines{"old.example REJECT"}, dump(tables::BLACKLISTS));
    batch.commit();
    EXPECT_EQ((Lines{"a.example REJECT", "b.example REJECT"}), dump(tables::BLACKLISTS));
}

// Command lines and standard input as postmap receives them, recorded by a wrapper
// that hands every call on to the real tool.
TEST_F(DatabaseHelperTest, RunsExactlyTheExpectedCommandLines)
{
    const std::string log = std::string(std::getenv("TMPDIR")) + "/postmap.log";
    installStandIn("echo \"$*\" >>" + tabletest::quote(log) +
                   "\n"
                   "case \" $* \" in\n"
                   "*' -i '*|*' - '*) tee -a " +
                   tabletest::quote(log) +
                   " | \"$REAL\" \"$@\" ;;\n"
                   "*) exec \"$REAL\" \"$@\" ;;\n"
                   "esac\n");
    DatabaseHelper::addRecords(VIRTUAL, RecordList{{"a@d.com", "a@d.com"}, {"b@d.com", "x, y"}});
    DatabaseHelper::addRecords(VIRTUAL, RecordList());
    DatabaseHelper::removeRecords(VIRTUAL, KeyVector{"a@d.com", "zz@d.com"});
    DatabaseHelper::removeRecords(VIRTUAL, KeyVector());
    DatabaseHelper::removeRecord(VIRTUAL, "b@d.com");
    DatabaseHelper::replaceRecords(VMAILBOX, RecordList{{"m@d.com", "d.com/m/Maildir/"}});
    EXPECT_EQ("-r -i hash:/var/spool/postfix/ostra/virtual\n"
              "a@d.com a@d.com\n"
              "b@d.com x, y\n"
              "-d - hash:/var/spool/postfix/ostra/virtual\n"
              "a@d.com\n"
              "zz@d.com\n"
              "-d b@d.com hash:/var/spool/postfix/ostra/virtual\n"
              "-r hash:/var/spool/postfix/ostra/vmailbox\n",
              mxtest::readFile(log));
    EXPECT_EQ(Lines{}, dump(VIRTUAL));
    EXPECT_EQ(Lines{"m@d.com d.com/m/Maildir/"}, dump(VMAILBOX));
}

TEST_F(DatabaseHelperTest, AToolThatStopsReadingEndsTheFeed)
{
    // More than a pipe holds, offered to a tool that exits without reading any of it.
    installStandIn("echo 'postmap: fatal: gave up early' >&2; exit 1\n");
    RecordVector records;
    for (int i = 0; i < 20000; ++i)
        records.push_back(Record("k" + std::to_string(i), "a long enough value for the pipe"));
    try {
        DatabaseHelper::addRecords(VIRTUAL, records);
        FAIL() << "no exception";
    } catch (const PostfixConfigurationError& e) {
        EXPECT_EQ("postmap: fatal: gave up early\n", std::string(e.what()));
    }
}

// Faults the real tool does not produce on demand, played by a stand-in.
struct FaultCase {
    const char* name;
    const char* script; // the stand-in's body
    enum Operation { Add, Remove, RemoveMany, Replace } operation;
    enum Outcome { Success, ConfigurationError, DatabaseError } outcome;
    const char* message; // the exception's exact text
};

class DatabaseHelperFaultTest : public tabletest::TableTest,
                                public ::testing::WithParamInterface<FaultCase> {};

TEST_P(DatabaseHelperFaultTest, ClassifiesTheRun)
{
    const FaultCase& c = GetParam();
    installStandIn(c.script);
    try {
        switch (c.operation) {
        case FaultCase::Add:
            DatabaseHelper::addRecord(VIRTUAL, "k", "v");
            break;
        case FaultCase::Remove:
            DatabaseHelper::removeRecord(VIRTUAL, "k");
            break;
        case FaultCase::RemoveMany:
            DatabaseHelper::removeRecords(VIRTUAL, KeyList{"k", "l"});
            break;
        case FaultCase::Replace:
            DatabaseHelper::replaceRecords(VIRTUAL, RecordList{{"k", "v"}});
            break;
        }
        EXPECT_EQ(FaultCase::Success, c.outcome) << "no exception";
    } catch (const PostfixDatabaseError& e) {
        EXPECT_EQ(FaultCase::DatabaseError, c.outcome) << e.what();
        EXPECT_EQ(c.message, std::string(e.what()));
    } catch (const PostfixConfigurationError& e) {
        EXPECT_EQ(FaultCase::ConfigurationError, c.outcome) << e.what();
        EXPECT_EQ(c.message, std::string(e.what()));
    }
    EXPECT_FALSE(exists(tableSourcePath(VIRTUAL)));
    EXPECT_TRUE(lockIsFree(VIRTUAL));
}

const FaultCase faultCases[] = {
    {"AddFailsSilently", "cat >/dev/null; exit 1\n", FaultCase::Add, FaultCase::ConfigurationError,
     "unknown error"},
    {"AddFailsWithWarningsOnly", "cat >/dev/null; echo 'postmap: warning: odd' >&2; exit 1\n",
     FaultCase::Add, FaultCase::ConfigurationError, "postmap: warning: odd\n"},
    {"AddKilled", "cat >/dev/null; kill -9 $$\n", FaultCase::Add, FaultCase::ConfigurationError,
     "unknown error"},
    {"ReplaceFailsSilently", "exit 2\n", FaultCase::Replace, FaultCase::ConfigurationError,
     "unknown error"},
    {"RemoveExitsNonZeroSilently", "exit 1\n", FaultCase::Remove, FaultCase::Success, ""},
    {"RemoveWarnsOnly", "cat >/dev/null; echo 'postmap: warning: x: duplicate' >&2; exit 1\n",
     FaultCase::RemoveMany, FaultCase::Success, ""},
    {"RemoveReportsFatal", "echo 'postmap: fatal: open database x.db: gone' >&2; exit 1\n",
     FaultCase::Remove, FaultCase::DatabaseError, "postmap: fatal: open database x.db: gone\n"},
    {"RemoveManyReportsError",
     "cat >/dev/null; echo 'postmap: warning: w' >&2; echo 'postmap: error: e' >&2; exit 1\n",
     FaultCase::RemoveMany, FaultCase::DatabaseError, "postmap: warning: w\npostmap: error: e\n"},
    {"RemoveKilledAfterText", "printf 'partial text' >&2; kill -9 $$\n", FaultCase::Remove,
     FaultCase::DatabaseError, "partial text"},
    {"RemoveKilledSilently", "cat >/dev/null; kill -TERM $$\n", FaultCase::RemoveMany,
     FaultCase::DatabaseError, ""},
};

INSTANTIATE_TEST_SUITE_P(StandIn, DatabaseHelperFaultTest, ::testing::ValuesIn(faultCases),
                         [](const ::testing::TestParamInfo<FaultCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
