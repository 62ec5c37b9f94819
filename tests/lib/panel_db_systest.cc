// panel_db_systest.cc - connecting to a real panel database inside the sandbox.
#include "ostra/panel_db.h"

#include <gmock/gmock.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "ostra/str_util.h"
#include "systest.h"
#include "testsupport.h"

using testing::HasSubstr;

namespace {

const char passwordFile[] = "/etc/hsp/.hsp.shadow";

// Captured - what a call printed on both streams.
struct Captured {
    std::string out;
    std::string err;
};

// capture - run f with standard output and error captured.
Captured capture(const std::function<void()>& f)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    f();
    Captured c;
    c.err = testing::internal::GetCapturedStderr();
    c.out = testing::internal::GetCapturedStdout();
    return c;
}

// ListOwner - a string list of the plain functions, freed at scope exit.
struct ListOwner {
    char** list = nullptr;
    ~ListOwner()
    {
        if (list != nullptr)
            free_array(list);
    }
    std::vector<std::string> strings() const
    {
        std::vector<std::string> v;
        for (size_t i = 0; list != nullptr && list[i] != nullptr; ++i)
            v.push_back(list[i]);
        return v;
    }
};

// currentPassword - the password line the sandbox's database expects.
std::string currentPassword()
{
    std::string content = mxtest::readFile(passwordFile);
    return content.substr(0, content.find('\n'));
}

class PanelDb : public testing::Test {
protected:
    void SetUp() override { mxtest::startMariaDB(); }
};

TEST_F(PanelDb, ConnectsAsTheAdministratorInUtf8)
{
    ostra::mysql::Connection conn(true);
    ASSERT_TRUE(conn.connected());
    ostra::mysql::Result r =
        conn.query("SELECT CURRENT_USER() AS who, DATABASE() AS db, @@character_set_client AS cs");
    ASSERT_TRUE(r.next());
    EXPECT_EQ("admin@localhost", r.value("who"));
    EXPECT_EQ("hsp", r.value("db"));
    EXPECT_THAT(r.value("cs"), testing::StartsWith("utf8"));
    EXPECT_FALSE(r.next());
}

// The client library reads OpenSSL's configuration when it first starts; a
// FIFO in the file's place blocks any reader, so a connection that reads it
// never completes and the alarm ends the child.
TEST_F(PanelDb, ConnectingDoesNotReadOpenSslConfiguration)
{
    mxtest::TempDir dir;
    const std::string conf = dir.file("openssl.cnf");
    ASSERT_EQ(0, mkfifo(conf.c_str(), 0600));
    mxtest::Captured c = mxtest::inChild([&conf] {
        if (dlopen("libmariadb.so.3", RTLD_NOW | RTLD_NOLOAD) != nullptr) {
            printf("client library already started\n");
            return;
        }
        setenv("OPENSSL_CONF", conf.c_str(), 1);
        alarm(30);
        char reason[512] = "";
        MYSQL* conn = ostra_db_connect(reason, sizeof reason);
        printf("%s\n", conn != nullptr ? "connected" : reason);
        if (conn != nullptr)
            mysql_close(conn);
    });
    if (c.out == "client library already started\n")
        GTEST_SKIP() << "needs a process of its own (ctest runs each test alone)";
    EXPECT_EQ(0, c.status) << c.err;
    EXPECT_EQ("connected\n", c.out);
}

TEST_F(PanelDb, PasswordLineEndsAreNotPartOfThePassword)
{
    std::string password = currentPassword();
    for (const char* ending : {"", "\n", "\r\n", "\nsecond line\n"}) {
        mxtest::writeFile(passwordFile, password + ending, 0600);
        MYSQL* conn = db_connect();
        EXPECT_NE(nullptr, conn) << "line ending " << testing::PrintToString(ending);
        if (conn != nullptr)
            mysql_close(conn);
    }
}

TEST_F(PanelDb, ResultReadsColumnsByNameAndPositionWithNulls)
{
    ostra::mysql::Connection conn(true);
    ostra::mysql::Result r = conn.query("SELECT 'a''b' AS q, NULL AS n UNION ALL SELECT 'c', 'd'");
    EXPECT_EQ(2u, r.columns());
    EXPECT_THROW(r.value(0u), ostra::mysql::mError);
    ASSERT_TRUE(r.next());
    EXPECT_EQ("a'b", r.value("q"));
    EXPECT_TRUE(r.isNull(1));
    EXPECT_EQ("", r.value("n"));
    EXPECT_THROW(r.value("missing"), ostra::mysql::mError);
    EXPECT_THROW(r.value(2u), ostra::mysql::mError);
    ASSERT_TRUE(r.next());
    EXPECT_EQ("c", r.value(0u));
    EXPECT_EQ("d", r.value(1u));
    EXPECT_FALSE(r.next());
}

TEST_F(PanelDb, QueryErrorsCarryTheServerErrorAndTheQuery)
{
    ostra::mysql::Connection conn(true);
    try {
        conn.query("SELECT nothing FROM nowhere");
        FAIL() << "query accepted";
    } catch (const ostra::mysql::mError& e) {
        EXPECT_EQ(
            "Mysql error 1146: Table 'hsp.nowhere' doesn't exist\nSELECT nothing FROM nowhere",
            std::string(e.what()));
    }
    EXPECT_EQ("it\\'s", conn.escape("it's"));
}

TEST_F(PanelDb, ExecQueryAppendsTheFirstColumnOfEveryRow)
{
    ListOwner rows;
    int fds = mxtest::openFdCount();
    ASSERT_EQ(0, exec_mysql_query(nullptr, "SELECT 'a', 'ignored' UNION ALL SELECT 'b', 'x'",
                                  &rows.list));
    // A NULL first column names nothing and is left out.
    ASSERT_EQ(0, exec_mysql_query(nullptr, "SELECT NULL UNION ALL SELECT 'c'", &rows.list));
    EXPECT_THAT(rows.strings(), testing::ElementsAre("a", "b", "c"));
    EXPECT_EQ(fds, mxtest::openFdCount());

    ListOwner none;
    ASSERT_EQ(0, exec_mysql_query(nullptr, "SELECT 1 FROM DUAL WHERE 1 = 0", &none.list));
    EXPECT_EQ(nullptr, none.list);
}

TEST_F(PanelDb, ExecQueryReportsAFailedQueryAndKeepsAGivenConnectionOpen)
{
    MYSQL* conn = db_connect();
    ASSERT_NE(nullptr, conn);
    ListOwner rows;
    Captured c = capture(
        [&] { EXPECT_EQ(-1, exec_mysql_query(conn, "SELECT * FROM nowhere", &rows.list)); });
    EXPECT_EQ("Unable to get data from mysql database\n", c.err);
    EXPECT_EQ(0, exec_mysql_query(conn, "SELECT 'still open'", &rows.list));
    EXPECT_THAT(rows.strings(), testing::ElementsAre("still open"));
    mysql_close(conn);
}

// A reason a connection cannot be made, and how to bring it about.
struct ConnectFailure {
    const char* name;
    std::function<void()> prepare;
    const char* reason;
};

class ConnectFailures : public testing::TestWithParam<ConnectFailure> {
protected:
    void SetUp() override
    {
        mxtest::startMariaDB();
        GetParam().prepare();
    }
};

TEST_P(ConnectFailures, GiveTheReasonAndNoConnection)
{
    const std::string reason = GetParam().reason;
    int fds = mxtest::openFdCount();

    MYSQL* conn = nullptr;
    Captured logged = capture([&] { conn = db_connect(); });
    EXPECT_EQ(nullptr, conn);
    EXPECT_EQ(reason + "\n", logged.err);
    EXPECT_EQ(reason + "\n", logged.out);

    char buf[256] = "untouched";
    Captured quiet = capture([&] { conn = db_connect_nothrow(buf, sizeof buf); });
    EXPECT_EQ(nullptr, conn);
    EXPECT_EQ(reason, buf);
    EXPECT_EQ("", quiet.err);

    Captured thrown = capture([&] {
        try {
            ostra::mysql::Connection c(true);
            ADD_FAILURE() << "connected";
        } catch (const ostra::mysql::mError& e) {
            EXPECT_STREQ("connection failed", e.what());
        }
    });
    EXPECT_EQ(reason + "\n", thrown.err);

    ListOwner rows;
    Captured query =
        capture([&] { EXPECT_EQ(-1, exec_mysql_query(nullptr, "SELECT 1", &rows.list)); });
    EXPECT_EQ(reason + "\nUnable to connect to mysql database\n", query.err);
    EXPECT_EQ(nullptr, rows.list);
    EXPECT_EQ(fds, mxtest::openFdCount());
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, ConnectFailures,
    testing::Values(
        ConnectFailure{"MissingPasswordFile", [] { unlink(passwordFile); },
                       "Unable to open admin password file: No such file or directory"},
        ConnectFailure{"EmptyPasswordFile", [] { mxtest::writeFile(passwordFile, "", 0600); },
                       "Unable to read admin password file: the file is empty"},
        ConnectFailure{"WrongPassword", [] { mxtest::writeFile(passwordFile, "wrong\n", 0600); },
                       "Unable to connect to Ostra Database: Access denied for user "
                       "'admin'@'localhost' (using password: YES)"},
        ConnectFailure{"ServerStopped", [] { mxtest::stopMariaDB(); },
                       "Unable to connect to Ostra Database: Can't connect to local server "
                       "through socket '/run/mysqld/mysqld.sock' (2)"}),
    [](const testing::TestParamInfo<ConnectFailure>& info) { return info.param.name; });

} // namespace
