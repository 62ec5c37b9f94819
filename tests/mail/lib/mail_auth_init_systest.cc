// mail_auth_init_systest.cc - creating the mail authentication database at
// the fixed locations of its styles (inside the sandbox).
#include "mail/lib/mail_authenticate.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <string>

#include "systest.h"

namespace {

// countRows - the number of rows of a table, or -1 when it cannot be read.
int countRows(const std::string& path, const char* table)
{
    sqlite3* db = nullptr;
    int n = -1;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        std::string sql = std::string("SELECT count(*) FROM ") + table;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW)
            n = sqlite3_column_int(st, 0);
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return n;
}

struct StyleCase {
    const char* name;
    int style;
    const char* path;
    const char* owner;
    mode_t dirMode;
    mode_t fileMode;
};

class InitStyle : public testing::TestWithParam<StyleCase> {};

TEST_P(InitStyle, CreatesTheDatabaseWithItsOwnerAndModes)
{
    const StyleCase& c = GetParam();
    ASSERT_EQ(0, mailAuthDBInitStyle(c.style));
    EXPECT_STREQ(c.path, mailAuthDBPath());

    struct passwd* pw = getpwnam(c.owner);
    ASSERT_NE(nullptr, pw);
    std::string file(c.path);
    std::string dir = file.substr(0, file.rfind('/'));
    struct stat st;
    ASSERT_EQ(0, stat(file.c_str(), &st));
    EXPECT_EQ(c.fileMode, st.st_mode & 07777);
    EXPECT_EQ(pw->pw_uid, st.st_uid);
    EXPECT_EQ(0u, st.st_gid);
    ASSERT_EQ(0, stat(dir.c_str(), &st));
    EXPECT_EQ(c.dirMode, st.st_mode & 07777);
    EXPECT_EQ(pw->pw_uid, st.st_uid);
    EXPECT_EQ(0u, st.st_gid);

    // The new database is usable at once through the selected setting.
    ASSERT_EQ(0, mailAuthSet("info", "example.com", "secret", 0));
    EXPECT_EQ(1, countRows(file, "users"));

    // Initialising again starts from an empty database.
    ASSERT_EQ(0, mailAuthDBInitStyle(c.style));
    EXPECT_EQ(0, countRows(file, "users"));
    EXPECT_EQ(0, countRows(file, "domains"));
}

INSTANTIATE_TEST_SUITE_P(
    Styles, InitStyle,
    testing::Values(StyleCase{"Postfix", MAIL_AUTH_DB_POSTFIX_STYLE,
                              "/var/spool/postfix/ostra/passwd.db", "postfix", 0770, 0460},
                    StyleCase{"Qmail", MAIL_AUTH_DB_QMAIL_STYLE,
                              "/var/lib/ostra/mail/auth/passwd.db", "root", 0750, 0600}),
    [](const testing::TestParamInfo<StyleCase>& info) { return info.param.name; });

TEST(InitStyleRefusal, AnUnknownStyleChangesNothing)
{
    ASSERT_EQ(0, mailAuthDBSelectStyle(MAIL_AUTH_DB_QMAIL_STYLE));
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, mailAuthDBInitStyle(MAIL_AUTH_DB_INVALID_STYLE));
    EXPECT_EQ("Unknown mail authentication database style -1\n",
              testing::internal::GetCapturedStderr());
    EXPECT_STREQ("/var/lib/ostra/mail/auth/passwd.db", mailAuthDBPath());
    struct stat st;
    EXPECT_NE(0, stat("/var/lib/ostra/mail/auth/passwd.db", &st));
}

} // namespace
