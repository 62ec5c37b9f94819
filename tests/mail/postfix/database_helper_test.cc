// database_helper_test.cc - tool output classification, source paths and the input producers.
#include <list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mail/postfix/database_helper.h"

using namespace ostra::mail::postfix;

namespace {

TEST(CheckOutput, ClassifiesToolDiagnostics)
{
    const struct {
        const char* text;
        bool clean;
    } cases[] = {
        {"", true},
        {"\n\n", true},
        {"postmap: fatal: open database /x/y.db: No such file or directory\n", false},
        {"postmap: fatal: open database /x/y.db: No such file or directory", false},
        {"postmap: error: cannot do it\n", false},
        {"postmap: panic: myfree: corrupt\n", false},
        {"postmap: errors: many of them\n", true},
        {"postmap: fatality: x\n", true},
        {"postmap: warning: /a/b, line 3: duplicate entry: \"k\"\n", true},
        {"postmap: warning: one\npostmap: warning: two\n", true},
        {"postmap: warning: one\npostmap: fatal: two", false},
        {"postmap: fatal\n", true},           // no colon after the word
        {"postmap: fatal: \n", false},        // ...but a colon is enough
        {"postmap: fatal error now\n", true}, // the word is not followed by ":"
        {"postmap:fatal: x\n", false},        // no blank needed
        {"postmap:    error: x\n", false},    // several blanks skipped
        {"postmap:\n", true},                 // colon is the last character
        {"postmap:    \n", true},             // only blanks after it
        {"postmap: f\n", true},               // the word is the last character
        {"fatal: x\n", true},                 // the word after the first colon counts
        {"plain text\nwith no colons\n", true},
        {"send-mail: FATAL: x\n", true}, // case matters
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.clean, checkOutput(c.text)) << "'" << c.text << "'";
}

TEST(TableSourcePath, TextAfterTheFirstColon)
{
    EXPECT_EQ("/var/spool/postfix/ostra/virtual", tableSourcePath(tables::VIRTUAL));
    EXPECT_EQ("/a/b", tableSourcePath("/a/b"));
    EXPECT_EQ("y:z", tableSourcePath("x:y:z"));
    EXPECT_EQ("", tableSourcePath("hash:"));
}

TEST(FormRecord, OneRecordLinePerCall)
{
    const std::list<Record> records = {{"a@d.com", "a@d.com"}, {"d2.com", "1"}, {"k", "x, y"}};
    std::list<Record>::const_iterator pos = records.begin();
    ProducerBuffer buffer;
    const char* expected[] = {"a@d.com a@d.com\n", "d2.com 1\n", "k x, y\n"};
    for (int i = 0; i < 3; ++i) {
        buffer.clear();
        const bool more = DatabaseHelper::formRecord(buffer, pos, records.end());
        EXPECT_EQ(i < 2, more) << i;
        EXPECT_EQ(expected[i], std::string(buffer.begin(), buffer.end())) << i;
    }
    EXPECT_TRUE(pos == records.end());
    // Asked again after the end, it adds nothing.
    buffer.clear();
    EXPECT_FALSE(DatabaseHelper::formRecord(buffer, pos, records.end()));
    EXPECT_TRUE(buffer.empty());
}

TEST(FormRecord, EmptyRangeAddsNothing)
{
    const RecordVector records;
    RecordVector::const_iterator pos = records.begin();
    ProducerBuffer buffer;
    EXPECT_FALSE(DatabaseHelper::formRecord(buffer, pos, records.end()));
    EXPECT_TRUE(buffer.empty());
}

TEST(PrintKey, OneKeyLinePerCall)
{
    const KeyVector keys = {"@d.com", "x"};
    KeyVector::const_iterator pos = keys.begin();
    ProducerBuffer buffer;
    EXPECT_TRUE(DatabaseHelper::printKey(buffer, pos, keys.end()));
    EXPECT_FALSE(DatabaseHelper::printKey(buffer, pos, keys.end()));
    // The pipeline clears the buffer between calls; here the lines pile up.
    EXPECT_EQ("@d.com\nx\n", std::string(buffer.begin(), buffer.end()));
    EXPECT_FALSE(DatabaseHelper::printKey(buffer, pos, keys.end()));
    EXPECT_EQ("@d.com\nx\n", std::string(buffer.begin(), buffer.end()));
}

TEST(BatchDatabaseHelper, FlagsAndDefaults)
{
    const BatchDatabaseHelper standard;
    EXPECT_TRUE(standard.incremental());
    EXPECT_TRUE(standard.immediate());
    const BatchDatabaseHelper held(BatchDatabaseHelper::Replacing, BatchDatabaseHelper::Deferred);
    EXPECT_FALSE(held.incremental());
    EXPECT_FALSE(held.immediate());
}

TEST(BatchDatabaseHelper, DeferredChangesRunNothingBeforeCommit)
{
    // No table exists under this path: any postmap run would fail and throw.
    const std::string table = "hash:/nonexistent/ostra-test/virtual";
    BatchDatabaseHelper batch(BatchDatabaseHelper::Incremental, BatchDatabaseHelper::Deferred);
    EXPECT_NO_THROW(batch.addChange(table, "a@d.com", "a@d.com"));
    EXPECT_NO_THROW(batch.addChanges(table, RecordList{{"b@d.com", "b@d.com"}}));
    EXPECT_NO_THROW(batch.removeChanges(table, KeyList{"c@d.com"}));
}

TEST(DatabaseHelper, EmptyRangesStartNoProcess)
{
    // Any postmap run on this table would fail, so returning quietly proves none ran.
    const std::string table = "hash:/nonexistent/ostra-test/virtual";
    EXPECT_NO_THROW(DatabaseHelper::addRecords(table, RecordList()));
    EXPECT_NO_THROW(DatabaseHelper::addRecords(table, RecordVector()));
    EXPECT_NO_THROW(DatabaseHelper::removeRecords(table, KeyList()));
    EXPECT_NO_THROW(DatabaseHelper::removeRecords(table, KeyVector()));
    EXPECT_NO_THROW(DatabaseHelper::removeRecord(table, ""));
    BatchDatabaseHelper batch;
    EXPECT_NO_THROW(batch.addChanges(table, RecordVector()));
    EXPECT_NO_THROW(batch.removeChanges(table, KeyList()));
}

TEST(DatabaseHelper, EmptyTableIdentifierIsRefused)
{
    EXPECT_THROW(DatabaseHelper::addRecord("", "k", "v"), std::invalid_argument);
    EXPECT_THROW(DatabaseHelper::removeRecord("", "k"), std::invalid_argument);
    EXPECT_THROW(DatabaseHelper::removeRecords("", KeyList{"k"}), std::invalid_argument);
}

} // namespace
