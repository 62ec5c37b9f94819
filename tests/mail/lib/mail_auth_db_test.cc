// mail_auth_db_test.cc - choosing where the mail authentication database lives.
#include "mail/lib/mail_auth_db.h"

#include <gtest/gtest.h>
#include <string>

namespace {

const std::string qmailPath = "/var/lib/ostra/mail/auth/passwd.db";
const std::string postfixPath = "/var/spool/postfix/ostra/passwd.db";

TEST(MailAuthDB, DefaultsToTheQmailStyle)
{
    // First test of the program: nothing has changed the setting yet.
    EXPECT_EQ(qmailPath, mailAuthDBPath());
}

TEST(MailAuthDB, StylesSelectTheirPaths)
{
    EXPECT_EQ(0, mailAuthDBSelectStyle(MAIL_AUTH_DB_POSTFIX_STYLE));
    EXPECT_EQ(postfixPath, mailAuthDBPath());
    EXPECT_EQ(0, mailAuthDBSelectStyle(MAIL_AUTH_DB_QMAIL_STYLE));
    EXPECT_EQ(qmailPath, mailAuthDBPath());
    EXPECT_EQ(postfixPath, mailAuthDBStylePath(1));
    EXPECT_EQ(qmailPath, mailAuthDBStylePath(0));
}

TEST(MailAuthDB, UnknownStyleChangesNothing)
{
    ASSERT_EQ(0, mailAuthDBSetPath("/tmp/x/passwd.db"));
    for (int style : {static_cast<int>(MAIL_AUTH_DB_INVALID_STYLE), 2, 42, -7}) {
        EXPECT_EQ(-1, mailAuthDBSelectStyle(style)) << style;
        EXPECT_EQ(std::string("/tmp/x/passwd.db"), mailAuthDBPath()) << style;
        EXPECT_EQ(nullptr, mailAuthDBStylePath(style)) << style;
    }
}

TEST(MailAuthDB, SetPathTakesACopyAndRefusesEmpty)
{
    char path[] = "/srv/auth/passwd.db";
    ASSERT_EQ(0, mailAuthDBSetPath(path));
    path[1] = 'X';
    EXPECT_EQ(std::string("/srv/auth/passwd.db"), mailAuthDBPath());
    EXPECT_EQ(-1, mailAuthDBSetPath(nullptr));
    EXPECT_EQ(-1, mailAuthDBSetPath(""));
    EXPECT_EQ(std::string("/srv/auth/passwd.db"), mailAuthDBPath());
}

} // namespace
