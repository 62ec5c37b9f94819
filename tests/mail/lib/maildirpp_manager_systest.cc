// maildirpp_manager_systest.cc - mailbox quota files and mailbox sizes under the
// real mail root, inside the sandbox.
#include "mail/lib/maildirpp_manager.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "mail/lib/fs_error.h"
#include "mail/lib/mbox_quota.h"
#include "systest.h"

namespace fs = boost::filesystem;
using mxtest::readFile;
using mxtest::writeFile;
using ostra::mail::FSError;
using ostra::mail::MaildirPPManager;

namespace {

const std::string ROOT = "/var/qmail/mailnames";
const char* const WARNING = "WARNING: @attachments directory is big enough to disable delivery!";

// firstLine - the quota definition of a "maildirsize" text.
std::string firstLine(const std::string& text)
{
    return text.substr(0, text.find('\n'));
}

class QuotaTest : public testing::Test {
protected:
    void SetUp() override
    {
        fs::remove_all(ROOT);
        oldMask_ = umask(022);
        qm().createMailnameHome("example.com", "info");
        home_ = ROOT + "/example.com/info";
        start_ = fs::current_path().string();
    }
    void TearDown() override
    {
        EXPECT_EQ(start_, fs::current_path().string()) << "working directory changed";
        umask(oldMask_);
    }

    MaildirPPManager& qm() { return MaildirPPManager::getInstance(); }

    // attach - put a file of size bytes into the attachment store; the store's
    // tree size, measured here independently.
    long long attach(long long size)
    {
        writeFile(home_ + "/@attachments/file", std::string(static_cast<size_t>(size), 'a'));
        struct stat st;
        EXPECT_EQ(0, lstat((home_ + "/@attachments").c_str(), &st));
        return st.st_size + size;
    }

    std::string maildirsize() { return readFile(home_ + "/Maildir/maildirsize"); }

    std::string home_;
    std::string start_;
    mode_t oldMask_ = 0;
};

TEST_F(QuotaTest, AttachmentsCountAgainstTheQuota)
{
    long long attached = attach(300);
    writeFile(home_ + "/Maildir/cur/1.M1.host,S=250:2,S", "");
    qm().setMailboxQuota("example.com", "info", attached + 600);
    EXPECT_EQ("600S,0C\n         250           1\n", maildirsize());

    struct stat st;
    ASSERT_EQ(0, stat((home_ + "/Maildir/maildirsize").c_str(), &st));
    struct passwd* pw = getpwnam("popuser");
    ASSERT_NE(nullptr, pw);
    EXPECT_EQ(pw->pw_uid, st.st_uid);
    EXPECT_EQ(pw->pw_gid, st.st_gid);
    EXPECT_EQ(0644u, st.st_mode & 07777);
    EXPECT_TRUE(fs::is_empty(home_ + "/Maildir/tmp")) << "temporary file left behind";
}

struct RuleCase {
    const char* label;
    long long quotaOverAttachments; // quota minus the store's size; unused for no limit
    bool noLimit;
    const char* definition;
    bool warning;
};

class QuotaRule : public QuotaTest, public testing::WithParamInterface<RuleCase> {};

TEST_P(QuotaRule, DefinitionLineAndWarning)
{
    const RuleCase& c = GetParam();
    long long attached = attach(1000);
    long long quota = c.noLimit ? -1 : attached + c.quotaOverAttachments;
    testing::internal::CaptureStderr();
    qm().setMailboxQuota("example.com", "info", quota);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(c.definition, firstLine(maildirsize()));
    EXPECT_EQ(c.warning, err.find(WARNING) != std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QuotaRule,
    testing::Values(RuleCase{"NoLimit", 0, true, "0S,0C", false},
                    RuleCase{"EqualToAttachments", 0, false, "1S,0C", false},
                    RuleCase{"BelowAttachments", -1, false, "1S,0C", true},
                    RuleCase{"AboveAttachments", 4096, false, "4096S,0C", false}),
    [](const testing::TestParamInfo<RuleCase>& info) { return info.param.label; });

TEST_F(QuotaTest, ZeroQuotaWithoutAttachmentsMeansFull)
{
    fs::remove_all(home_ + "/@attachments");
    qm().setMailboxQuota("example.com", "info", 0);
    EXPECT_EQ("1S,0C", firstLine(maildirsize()));
}

TEST_F(QuotaTest, MissingHomeOrMaildirFailsWithoutAQuotaFile)
{
    try {
        qm().setMailboxQuota("example.com", "nobody", 100);
        ADD_FAILURE() << "no error";
    } catch (const FSError& e) {
        EXPECT_EQ(0u, std::string(e.what()).find("chdir")) << e.what();
        EXPECT_EQ(ROOT + "/example.com/nobody", e.path1().string());
    }

    fs::remove_all(home_ + "/Maildir");
    try {
        qm().setMailboxQuota("example.com", "info", 100);
        ADD_FAILURE() << "no error";
    } catch (const FSError& e) {
        EXPECT_EQ(0u, std::string(e.what()).find("create maildirsize")) << e.what();
        EXPECT_EQ(home_ + "/Maildir", e.path1().string());
    }
    EXPECT_FALSE(fs::exists(home_ + "/Maildir"));
}

TEST_F(QuotaTest, ReplacingTheQuotaKeepsCountingTheMail)
{
    writeFile(home_ + "/Maildir/new/1.M1.host", std::string(70, 'm'));
    qm().setMailboxQuota("example.com", "info", 5000000);
    writeFile(home_ + "/Maildir/cur/2.M2.host,S=30:2,S", "");
    qm().setMailboxQuota("example.com", "info", -1);
    EXPECT_EQ("0S,0C\n         100           2\n", maildirsize());
}

TEST_F(QuotaTest, PlainFunctionConvertsTheDomain)
{
    qm().createMailnameHome("xn--bcher-kva.example", "info");
    std::string home = ROOT + "/xn--bcher-kva.example/info";
    fs::remove_all(home + "/@attachments"); // even empty, its own size would count
    EXPECT_EQ(1, store_mbox_quota("b\xc3\xbc"
                                  "cher.example",
                                  "info", 2048));
    EXPECT_EQ("2048S,0C", firstLine(readFile(home + "/Maildir/maildirsize")));

    EXPECT_EQ(1, store_mbox_quota("example.com", "info", -7));
    EXPECT_EQ("0S,0C", firstLine(maildirsize()));
    EXPECT_EQ(1, store_mbox_quota("example.com", "info", 0));
    EXPECT_EQ("1S,0C", firstLine(maildirsize()));
}

TEST_F(QuotaTest, PlainFunctionWarnsAndFailsLikeTheClass)
{
    long long attached = attach(700);
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, store_mbox_quota("example.com", "info", attached - 1));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find(WARNING)) << out;
    EXPECT_EQ("1S,0C", firstLine(maildirsize()));

    EXPECT_EQ(1, store_mbox_quota("example.com", "info", attached + 10));
    EXPECT_EQ("10S,0C", firstLine(maildirsize()));

    testing::internal::CaptureStdout();
    EXPECT_EQ(0, store_mbox_quota("example.com", "nobody", 10));
    EXPECT_EQ(0, store_mbox_quota("example.com", "../example.com", 10));
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("unable to change to mbox folder")) << out;
}

TEST_F(QuotaTest, MailboxSizeAddsAttachmentsAndMail)
{
    long long attached = attach(1234);
    writeFile(home_ + "/Maildir/cur/1.M1.host,S=4000:2,S", "");
    fs::create_directories(home_ + "/Maildir/.Sent/new");
    fs::create_directories(home_ + "/Maildir/.Trash/cur");
    writeFile(home_ + "/Maildir/.Sent/new/2.M2.host", std::string(66, 's'));
    writeFile(home_ + "/Maildir/.Trash/cur/3.M3.host,S=9999:2,S", "");
    EXPECT_EQ(attached + 4066, get_mbox_size("info", "example.com", 0));

    long long blocks = 0;
    for (const std::string& p : {home_ + "/@attachments", home_ + "/@attachments/file"}) {
        struct stat st;
        ASSERT_EQ(0, lstat(p.c_str(), &st));
        blocks += static_cast<long long>(st.st_blocks) * 512;
    }
    EXPECT_EQ(blocks + 4066, get_mbox_size("info", "example.com", 1));

    // Without attachments the mail alone counts.
    fs::remove_all(home_ + "/@attachments");
    EXPECT_EQ(4066, get_mbox_size("info", "example.com", 0));
}

TEST_F(QuotaTest, MailboxSizeOfAMissingMaildirEndsTheProgram)
{
    EXPECT_EXIT(get_mbox_size("nobody", "example.com", 0), testing::ExitedWithCode(1),
                "Unable to calculate Maildir\\+\\+ size");
}

// Quotas that come from the panel database.
class PanelQuotaTest : public QuotaTest {
protected:
    void SetUp() override
    {
        QuotaTest::SetUp();
        mxtest::startMariaDB();
        mxtest::sql("DELETE FROM domains; DELETE FROM mail; DELETE FROM Limits;");
        mxtest::sql("INSERT INTO domains (id, name, limits_id) VALUES (1, 'example.com', 7),"
                    " (2, 'xn--bcher-kva.example', NULL);");
        fs::remove_all(home_ + "/@attachments");
    }

    // mailbox - a mail home with a panel row holding its own quota text.
    std::string mailbox(const std::string& name, const std::string& ownQuota, int domId = 1)
    {
        std::string domain = domId == 1 ? "example.com" : "xn--bcher-kva.example";
        qm().createMailnameHome(domain, name);
        std::string home = ROOT + "/" + domain + "/" + name;
        fs::remove_all(home + "/@attachments");
        mxtest::sql("INSERT INTO mail (mail_name, dom_id, mbox_quota) VALUES ('" + name + "', " +
                    std::to_string(domId) + ", '" + ownQuota + "');");
        return home + "/Maildir/maildirsize";
    }
};

struct LimitCase {
    const char* label;
    const char* insert; // the Limits rows, or "" for none
    const char* definition;
};

class DomainDefault : public PanelQuotaTest, public testing::WithParamInterface<LimitCase> {};

TEST_P(DomainDefault, MailboxWithoutQuotaGetsTheDomainLimit)
{
    if (*GetParam().insert)
        mxtest::sql(GetParam().insert);
    qm().removeMailboxQuota("example.com", "info");
    EXPECT_EQ(GetParam().definition, firstLine(maildirsize()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DomainDefault,
    testing::Values(
        LimitCase{"Number",
                  "INSERT INTO Limits VALUES (7, 'mbox_quota', '5000'),"
                  " (7, 'disk_space', '1');",
                  "5000S,0C"},
        LimitCase{"Unlimited", "INSERT INTO Limits VALUES (7, 'mbox_quota', '-1');", "0S,0C"},
        LimitCase{"NotANumber", "INSERT INTO Limits VALUES (7, 'mbox_quota', 'lots');", "0S,0C"},
        LimitCase{"Empty", "INSERT INTO Limits VALUES (7, 'mbox_quota', '');", "0S,0C"},
        LimitCase{"Zero", "INSERT INTO Limits VALUES (7, 'mbox_quota', '0');", "1S,0C"},
        LimitCase{"NoRow", "INSERT INTO Limits VALUES (7, 'disk_space', '100');", "0S,0C"}),
    [](const testing::TestParamInfo<LimitCase>& info) { return info.param.label; });

TEST_F(PanelQuotaTest, UnknownDomainKeepsTheOldQuotaFile)
{
    qm().createMailnameHome("example.net", "info");
    qm().setMailboxQuota("example.net", "info", -1);
    std::string before = readFile(ROOT + "/example.net/info/Maildir/maildirsize");
    try {
        qm().removeMailboxQuota("example.net", "info");
        ADD_FAILURE() << "no error";
    } catch (const FSError& e) {
        EXPECT_EQ(0u, std::string(e.what()).find("unable to remove quota")) << e.what();
        EXPECT_EQ(ROOT + "/example.net/info", e.path1().string());
    }
    EXPECT_EQ(before, readFile(ROOT + "/example.net/info/Maildir/maildirsize"));
}

TEST_F(PanelQuotaTest, DomainQuotaSkipsMailboxesWithTheirOwn)
{
    std::string none = mailbox("none", "-1");
    std::string own = mailbox("own", "2000");
    std::string text = mailbox("text", "abc");
    std::string empty = mailbox("empty", "");
    writeFile(own, "2000S,0C\n", 0644);

    qm().setDomainQuota("example.com", 9000);
    EXPECT_EQ("9000S,0C", firstLine(readFile(none)));
    EXPECT_EQ("9000S,0C", firstLine(readFile(text)));
    EXPECT_EQ("9000S,0C", firstLine(readFile(empty)));
    EXPECT_EQ("2000S,0C\n", readFile(own));
    // "info" has a mail home but no panel row: not the domain's mailbox.
    EXPECT_FALSE(fs::exists(home_ + "/Maildir/maildirsize"));

    qm().setDomainQuota("example.com", -1);
    EXPECT_EQ("0S,0C", firstLine(readFile(none)));
}

TEST_F(PanelQuotaTest, DomainQuotaOfAnInternationalName)
{
    std::string file = mailbox("info", "-1", 2);
    qm().setDomainQuota("b\xc3\xbc"
                        "cher.example",
                        4096);
    EXPECT_EQ("4096S,0C", firstLine(readFile(file)));
}

TEST_F(PanelQuotaTest, DomainQuotaStopsAtAMailboxWithoutHome)
{
    mxtest::sql("INSERT INTO mail (mail_name, dom_id) VALUES ('ghost', 1);");
    testing::internal::CaptureStdout();
    try {
        qm().setDomainQuota("example.com", 100);
        ADD_FAILURE() << "no error";
    } catch (const FSError& e) {
        EXPECT_EQ(0u, std::string(e.what()).find("unable to store domain quota")) << e.what();
        EXPECT_EQ(ROOT + "/example.com", e.path1().string());
    }
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos,
              out.find("unable to set default mbox quota for domain 'example.com' (processing "
                       "'ghost')"))
        << out;
    EXPECT_FALSE(fs::exists(ROOT + "/example.com/ghost"));
}

TEST_F(PanelQuotaTest, DatabaseDownFailsWithoutChanges)
{
    std::string file = mailbox("none", "-1");
    mxtest::stopMariaDB();
    testing::internal::CaptureStdout();
    EXPECT_THROW(qm().setDomainQuota("example.com", 100), FSError);
    EXPECT_THROW(qm().removeMailboxQuota("example.com", "none"), FSError);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("unable to connect to MySQL")) << out;
    EXPECT_FALSE(fs::exists(file));
}

} // namespace
