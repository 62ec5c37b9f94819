// conf_store_test.cc - the NAME value store and the configuration line grammar.
#include <gtest/gtest.h>

#include <errno.h>
#include <stdio.h>
#include <string>

#include "ostra/hsp_conf.h"
#include "ostra/log.h"
#include "testsupport.h"

namespace {

// Store - a conf_data freed at scope exit.
struct Store {
    conf_data conf = {};
    ~Store() { conf_free_r(&conf); }
};

// readText - parse text through a configuration file; the reader's result.
int readText(const std::string& text, conf_data* conf)
{
    mxtest::TempDir dir;
    mxtest::writeFile(dir.file("hsp.conf"), text);
    return conf_read_file_r(dir.file("hsp.conf").c_str(), conf);
}

struct LineCase {
    const char* text;
    const char* name;
    const char* expected; // null: the line is skipped
};

class ConfLineTest : public testing::TestWithParam<LineCase> {};

TEST_P(ConfLineTest, YieldsValue)
{
    const LineCase& c = GetParam();
    SCOPED_TRACE(c.text);
    Store store;
    ASSERT_EQ(0, readText(c.text, &store.conf));
    const char* value = conf_get_r(c.name, &store.conf);
    if (c.expected == nullptr)
        EXPECT_EQ(nullptr, value) << "value: " << value;
    else
        EXPECT_STREQ(c.expected, value);
}

INSTANTIATE_TEST_SUITE_P(
    Grammar, ConfLineTest,
    testing::Values(LineCase{"MAIL_D   /srv/mail   # where mail lives\n", "MAIL_D", "/srv/mail"},
                    LineCase{"MAIL_D\t/srv/mail#more\n", "MAIL_D", "/srv/mail"},
                    LineCase{"MAIL_D\n", "MAIL_D", nullptr}, LineCase{"MAIL_D", "MAIL_D", nullptr},
                    LineCase{"MAIL_D=/srv/mail\n", "MAIL_D", nullptr},
                    LineCase{"MAIL_D   # no value\n", "MAIL_D", nullptr},
                    LineCase{"MAIL_D \t \n", "MAIL_D", nullptr},
                    LineCase{"   \t MAIL_D /srv/mail\n", "MAIL_D", "/srv/mail"},
                    LineCase{"# MAIL_D /srv/mail\n", "MAIL_D", nullptr},
                    LineCase{"MAIL_D a b  c \t\n", "MAIL_D", "a b  c"},
                    LineCase{"MAIL_D /srv/mail", "MAIL_D", "/srv/mail"},
                    LineCase{"MAIL_D /srv/mail\r\n", "MAIL_D", "/srv/mail"},
                    LineCase{"MAIL_D = /srv/mail\n", "MAIL_D", "= /srv/mail"},
                    LineCase{"MAIL-D /srv/mail\n", "MAIL-D", nullptr},
                    LineCase{"A_1 x\n", "A_1", "x"}));

TEST(ConfReader, LaterDefinitionWins)
{
    Store store;
    ASSERT_EQ(0, readText("NAME first\nOTHER o\nNAME second\n", &store.conf));
    EXPECT_STREQ("second", conf_get_r("NAME", &store.conf));
    EXPECT_STREQ("o", conf_get_r("OTHER", &store.conf));
    EXPECT_EQ(2u, store.conf.nmemb);
}

TEST(ConfReader, BadLinesDoNotStopTheRest)
{
    Store store;
    ASSERT_EQ(0, readText("\n# comment\nBAD=1\nLONELY\nGOOD yes\n\n  \nLAST ok", &store.conf));
    EXPECT_STREQ("yes", conf_get_r("GOOD", &store.conf));
    EXPECT_STREQ("ok", conf_get_r("LAST", &store.conf));
    EXPECT_EQ(2u, store.conf.nmemb);
    EXPECT_EQ(1, store.conf.finalized);
}

TEST(ConfReader, SkippedLinesAreSilentAtTheDefaultLevel)
{
    Store store;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    readText("BAD=1\nLONELY\n", &store.conf);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ("", out);
    EXPECT_EQ("", err);
}

TEST(ConfReader, SkippedLinesAreLoggedWhenAskedFor)
{
    Store store;
    int saved = LogLevel;
    LogLevel = 12;
    testing::internal::CaptureStderr();
    readText("BAD=1\nLONELY \n", &store.conf);
    std::string err = testing::internal::GetCapturedStderr();
    LogLevel = saved;
    EXPECT_NE(std::string::npos,
              err.find("Invalid variable definition BAD=1\nExpected a space after variable name"))
        << err;
    EXPECT_NE(std::string::npos, err.find("Expected a value")) << err;
}

TEST(ConfReader, MissingFileFailsWithErrno)
{
    mxtest::TempDir dir;
    Store store;
    errno = 0;
    EXPECT_EQ(-1, conf_read_file_r(dir.file("absent").c_str(), &store.conf));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_EQ(nullptr, conf_get_r("ANY", &store.conf));
}

TEST(ConfReader, ReadsFromAStream)
{
    char text[] = "ONE 1\nTWO 2 # two\n";
    FILE* in = fmemopen(text, sizeof text - 1, "r");
    ASSERT_NE(nullptr, in);
    Store store;
    EXPECT_EQ(0, conf_read_stream_r(in, &store.conf));
    fclose(in);
    EXPECT_STREQ("1", conf_get_r("ONE", &store.conf));
    EXPECT_STREQ("2", conf_get_r("TWO", &store.conf));
}

TEST(ConfStore, GrowsAndFindsEveryEntrySortedOrNot)
{
    Store store;
    const int count = 250; // well past the first capacity and several doublings
    for (int i = count - 1; i >= 0; --i) {
        std::string name = "N" + std::to_string(i);
        ASSERT_EQ(0, conf_set_r(name.c_str(), std::to_string(i * 7).c_str(), &store.conf));
    }
    ASSERT_EQ(static_cast<size_t>(count), store.conf.nmemb);
    EXPECT_GE(store.conf.size, store.conf.nmemb);
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 0; i < count; ++i) {
            std::string name = "N" + std::to_string(i);
            EXPECT_STREQ(std::to_string(i * 7).c_str(), conf_get_r(name.c_str(), &store.conf))
                << name << (pass ? " sorted" : " unsorted");
        }
        EXPECT_EQ(nullptr, conf_get_r("N", &store.conf));
        conf_finalize_r(&store.conf);
    }
}

TEST(ConfStore, SetAfterFinalizeStaysFindable)
{
    Store store;
    ASSERT_EQ(0, conf_set_r("B", "b", &store.conf));
    ASSERT_EQ(0, conf_set_r("C", "c", &store.conf));
    conf_finalize_r(&store.conf);
    ASSERT_EQ(0, conf_set_r("B", "b2", &store.conf));
    EXPECT_EQ(1, store.conf.finalized); // replacing keeps the order
    ASSERT_EQ(0, conf_set_r("A", "a", &store.conf));
    EXPECT_EQ(0, store.conf.finalized);
    EXPECT_STREQ("a", conf_get_r("A", &store.conf));
    EXPECT_STREQ("b2", conf_get_r("B", &store.conf));
    EXPECT_STREQ("c", conf_get_r("C", &store.conf));
}

TEST(ConfStore, FreeEmptiesTheStore)
{
    conf_data conf = {};
    ASSERT_EQ(0, conf_set_r("A", "a", &conf));
    conf_free_r(&conf);
    EXPECT_EQ(nullptr, conf.data);
    EXPECT_EQ(0u, conf.nmemb);
    EXPECT_EQ(nullptr, conf_get_r("A", &conf));
    conf_free_r(&conf); // twice is harmless
}

TEST(HspConfTable, IndicesTheMailCodeUsesAndBounds)
{
    EXPECT_STREQ("OSTRA_MAILNAMES_D", hspConfNameByIndex(HSP_CONF_OSTRA_MAILNAMES_D));
    EXPECT_STREQ("/var/qmail/mailnames", hspConfDefaultByIndex(HSP_CONF_OSTRA_MAILNAMES_D));
    EXPECT_STREQ("COURIER_IMAP_ROOT_D", hspConfNameByIndex(HSP_CONF_COURIER_IMAP_ROOT_D));
    EXPECT_STREQ("/", hspConfDefaultByIndex(HSP_CONF_COURIER_IMAP_ROOT_D));
    EXPECT_STREQ("HTTPD_SERVICE", hspConfNameByIndex(HSP_CONF_HTTPD_SERVICE));
    EXPECT_STREQ("apache2", hspConfDefaultByIndex(HSP_CONF_HTTPD_SERVICE));
    EXPECT_STREQ("NAMED_ZONES_CONF", hspConfNameByIndex(HSP_CONF_NAMED_ZONES_CONF));
    for (int index : {-1, int(HSP_CONF_MIN_INDEX), int(HSP_CONF_MAX_INDEX), 99}) {
        EXPECT_EQ(nullptr, hspConfNameByIndex(index)) << index;
        EXPECT_EQ(nullptr, hspConfGetByIndex(index)) << index;
        EXPECT_EQ(nullptr, hspConfGetDefaultByIndex(index)) << index;
    }
}

} // namespace
