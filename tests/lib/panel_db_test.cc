// panel_db_test.cc - error texts of the panel database client that need no server.
#include "ostra/panel_db.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "testsupport.h"

namespace {

using ostra::mysql::mError;

TEST(mError, CarriesAPlainMessage)
{
    EXPECT_STREQ("connection failed", mError("connection failed").what());
    EXPECT_STREQ("from a string", mError(std::string("from a string")).what());
    EXPECT_STREQ("", mError(static_cast<const char*>(nullptr)).what());
}

TEST(mError, WithoutAClientErrorNamesOnlyTheQuery)
{
    std::unique_ptr<MYSQL, decltype(&mysql_close)> conn(mysql_init(nullptr), mysql_close);
    ASSERT_TRUE(conn);
    EXPECT_STREQ("Unknown error\nSELECT 1", mError(conn.get(), "SELECT 1").what());
    EXPECT_STREQ("Unknown error\nSELECT 1", mError(nullptr, "SELECT 1").what());
}

TEST(mError, FormatsTheClientsErrorNumberTextAndQuery)
{
    mxtest::TempDir dir;
    std::string socket = dir.file("no.sock");
    std::unique_ptr<MYSQL, decltype(&mysql_close)> conn(mysql_init(nullptr), mysql_close);
    ASSERT_TRUE(conn);
    ASSERT_EQ(nullptr, mysql_real_connect(conn.get(), "localhost", "admin", "x", "hsp", 0,
                                          socket.c_str(), 0));
    std::string text = mError(conn.get(), "SELECT val FROM misc").what();
    EXPECT_EQ("Mysql error " + std::to_string(mysql_errno(conn.get())) + ": " +
                  mysql_error(conn.get()) + "\nSELECT val FROM misc",
              text);
    EXPECT_THAT(text, testing::HasSubstr(socket));
}

TEST(Connection, RefusesQueriesBeforeConnecting)
{
    ostra::mysql::Connection conn;
    EXPECT_FALSE(conn.connected());
    EXPECT_EQ(nullptr, conn.get());
    try {
        conn.query("SELECT 1");
        FAIL() << "query without a connection";
    } catch (const mError& e) {
        EXPECT_STREQ("not connected\nSELECT 1", e.what());
    }
}

} // namespace
