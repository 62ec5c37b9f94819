// mailname_manager_systest.cc - mail names in the real lookup tables, their mail
// homes and ".qmail" files, with the panel database of the sandbox.
#include "mail/postfix/mailname_manager.h"

#include <boost/filesystem/exception.hpp>
#include <gtest/gtest.h>

#include <string>

#include "mail/lib/fs_error.h"
#include "mail/lib/maildirpp_manager.h"
#include "ostra/errors.h"
#include "manager_fixture.h"

using namespace ostra::mail;
using namespace ostra::mail::postfix;
using namespace managertest;

namespace {

// example.com has the alias domains alias1.com and alias2.com, in that order,
// and a default mailbox quota of 7000.
const char PANEL[] = "INSERT INTO Limits (id, limit_name, value) VALUES (10, 'mbox_quota', '7000');"
                     "INSERT INTO domains (id, name, limits_id) VALUES (1, 'example.com', 10);"
                     "INSERT INTO domainaliases (id, name, dom_id) VALUES"
                     " (1, 'alias1.com', 1), (2, 'alias2.com', 1);"
                     "INSERT INTO mail (id, mail_name, dom_id) VALUES (1, 'info', 1);";

const std::string DOMAIN_ROOT = std::string(MAIL_ROOT) + "/example.com";

// info with its mail alias i1, seen in example.com and both alias domains,
// and sales beside it.
Snapshot infoAndSales()
{
    Snapshot s;
    s["virtual_domains"] = Records{{"example.com", "example.com/"}};
    s["vmailbox"] = Records{{"info@example.com", "example.com/info/Maildir/"},
                            {"sales@example.com", "example.com/sales/Maildir/"}};
    s["virtual"] = Records{
        {"info@example.com", "info@example.com"}, {"info@alias1.com", "info@example.com"},
        {"info@alias2.com", "info@example.com"},  {"i1@example.com", "info@example.com"},
        {"i1@alias1.com", "info@example.com"},    {"sales@example.com", "sales@example.com"}};
    s["aliases"] = Records{};
    return s;
}

class MailnameManagerTest : public ManagerTest {
protected:
    void withPanel()
    {
        mxtest::startMariaDB();
        mxtest::sql(PANEL);
    }

    // seedAll - make a snapshot the content of the tables.
    void seedAll(const Snapshot& tables)
    {
        for (const auto& t : tables)
            seed(t.first, t.second);
    }

    // qmail - the ".qmail" file of a mail name of example.com.
    static std::string qmail(const std::string& mailname)
    {
        return DOMAIN_ROOT + "/" + mailname + "/.qmail";
    }

    // quotaDefinition - the first line of a mailbox's "maildirsize".
    static std::string quotaDefinition(const std::string& mailname)
    {
        const std::string text =
            mxtest::readFile(DOMAIN_ROOT + "/" + mailname + "/Maildir/maildirsize");
        return text.substr(0, text.find('\n'));
    }

    // quotaDefinitionFor - the line a mailbox quota of q gives a fresh mail home.
    static std::string quotaDefinitionFor(long long q)
    {
        MaildirManager::getInstance().createMailnameHome("example.com", "probe");
        MaildirPPManager::getInstance().setMailboxQuota("example.com", "probe", q);
        const std::string line = quotaDefinition("probe");
        MaildirManager::getInstance().removeMailnameHome("example.com", "probe");
        return line;
    }
};

TEST_F(MailnameManagerTest, CreateWritesHomeQmailQuotaAndAddressOnEveryAliasDomain)
{
    withPanel();
    const std::string expectedQuota = quotaDefinitionFor(1000);
    record();
    MailnameManager::createMailname("example.com", "info", 1000);
    EXPECT_EQ("-r -i vmailbox\n"
              "< info@example.com example.com/info/Maildir/\n"
              "-r -i virtual\n"
              "< info@example.com info@example.com\n"
              "< info@alias1.com info@example.com\n"
              "< info@alias2.com info@example.com\n",
              recorded());
    Snapshot expected;
    expected["virtual_domains"] = Records{};
    expected["aliases"] = Records{};
    expected["vmailbox"] = Records{{"info@example.com", "example.com/info/Maildir/"}};
    expected["virtual"] = Records{{"info@example.com", "info@example.com"},
                                  {"info@alias1.com", "info@example.com"},
                                  {"info@alias2.com", "info@example.com"}};
    EXPECT_EQ(expected, snapshot());

    EXPECT_EQ("| true\n", mxtest::readFile(qmail("info")));
    EXPECT_EQ(0600, mxtest::fileMode(qmail("info")));
    EXPECT_EQ("popuser:popuser", mxtest::fileOwner(qmail("info")));
    EXPECT_EQ(".qmail\n@attachments\nMaildir\n", listDir(DOMAIN_ROOT + "/info"));
    EXPECT_EQ(expectedQuota, quotaDefinition("info"));
}

TEST_F(MailnameManagerTest, CreateWithoutQuotaTakesTheDomainDefault)
{
    withPanel();
    const std::string domainDefault = quotaDefinitionFor(7000);
    // A mail home that held an old ".qmail" starts over.
    mxtest::makeDirs(DOMAIN_ROOT + "/info");
    mxtest::writeFile(qmail("info"), "&someone@else.org\n");
    MailnameManager::createMailname("example.com", "info");
    EXPECT_EQ(domainDefault, quotaDefinition("info"));
    EXPECT_EQ("| true\n", mxtest::readFile(qmail("info")));
}

TEST_F(MailnameManagerTest, WithoutThePanelDatabaseOnlyTheDomainItselfIsWritten)
{
    // No server: no alias domains, and no domain default quota either.
    MailnameManager::createMailname("example.com", "info", 1000);
    MailnameManager::createMailAlias("example.com", "info", "i1");
    Snapshot expected;
    expected["virtual_domains"] = Records{};
    expected["aliases"] = Records{};
    expected["vmailbox"] = Records{{"info@example.com", "example.com/info/Maildir/"}};
    expected["virtual"] =
        Records{{"info@example.com", "info@example.com"}, {"i1@example.com", "info@example.com"}};
    EXPECT_EQ(expected, snapshot());

    // The default quota cannot be read: the records are not written.
    EXPECT_THROW(MailnameManager::createMailname("example.com", "sales"), FSError);
    EXPECT_EQ(expected, snapshot());
    EXPECT_EQ("| true\n", mxtest::readFile(qmail("sales")));
}

TEST_F(MailnameManagerTest, MailAliasesOnDomainAndAliasDomains)
{
    withPanel();
    const Snapshot before = infoAndSales();
    seedAll(before);

    record();
    MailnameManager::createMailAlias("example.com", "info", "i2");
    EXPECT_EQ("-r -i virtual\n"
              "< i2@example.com info@example.com\n"
              "< i2@alias1.com info@example.com\n"
              "< i2@alias2.com info@example.com\n",
              recorded());
    Snapshot expected = before;
    expected["virtual"]["i2@example.com"] = "info@example.com";
    expected["virtual"]["i2@alias1.com"] = "info@example.com";
    expected["virtual"]["i2@alias2.com"] = "info@example.com";
    EXPECT_EQ(expected, snapshot());

    record();
    MailnameManager::removeMailAlias("example.com", "unused", "i2");
    EXPECT_EQ("-d i2@example.com virtual\n"
              "-d i2@alias1.com virtual\n"
              "-d i2@alias2.com virtual\n",
              recorded());
    EXPECT_EQ(before, snapshot());

    // Absent keys (i1@alias2.com, and all of "nobody") are no error.
    MailnameManager::removeMailAlias("example.com", "info", "nobody");
    EXPECT_EQ(before, snapshot());
    MailnameManager::removeMailAlias("example.com", "info", "i1");
    expected = before;
    expected["virtual"].erase("i1@example.com");
    expected["virtual"].erase("i1@alias1.com");
    EXPECT_EQ(expected, snapshot());
}

// How removeMailname treats the mail home, by mode.
struct HomeCase {
    const char* name;
    OnRemoval mode;
    const char* homesLeft; // entries of the domain root; "*" stands for info's backup name
};

class RemoveMailnameModes : public MailnameManagerTest,
                            public ::testing::WithParamInterface<HomeCase> {};

// homesLeft - the domain root's entries, info's backup name shown as "*".
std::string homesLeft(const std::string& listing)
{
    const std::string backup = "info.OstraSaved.";
    if (listing.compare(0, backup.size(), backup) != 0)
        return listing;
    return "*" + listing.substr(listing.find('\n'));
}

TEST_P(RemoveMailnameModes, RecordsGoExceptTheMailAliasesAndTheHomeAsAsked)
{
    withPanel();
    seedAll(infoAndSales());
    MaildirManager::getInstance().createMailnameHome("example.com", "info");
    MaildirManager::getInstance().createMailnameHome("example.com", "sales");
    mxtest::writeFile(DOMAIN_ROOT + "/info/Maildir/cur/1,S=5", "hello");

    record();
    MailnameManager::removeMailname("example.com", "info", GetParam().mode);
    EXPECT_EQ("-d info@example.com vmailbox\n"
              "-d info@alias1.com virtual\n"
              "-d info@alias2.com virtual\n"
              "-d info@example.com virtual\n",
              recorded());
    Snapshot expected = infoAndSales();
    expected["vmailbox"].erase("info@example.com");
    expected["virtual"].erase("info@example.com");
    expected["virtual"].erase("info@alias1.com");
    expected["virtual"].erase("info@alias2.com");
    EXPECT_EQ(expected, snapshot());
    EXPECT_EQ(GetParam().homesLeft, homesLeft(listDir(DOMAIN_ROOT)));
}

INSTANTIATE_TEST_SUITE_P(Modes, RemoveMailnameModes,
                         ::testing::Values(HomeCase{"Keep", OnRemovalKeep, "info\nsales\n"},
                                           // Removed completely: no backup is left behind.
                                           HomeCase{"Remove", OnRemovalRemove, "sales\n"},
                                           HomeCase{"Backup", OnRemovalBackup, "*\nsales\n"}),
                         [](const ::testing::TestParamInfo<HomeCase>& info) {
                             return info.param.name;
                         });

TEST_F(MailnameManagerTest, WhatCannotBeRemovedIsSetAside)
{
    MaildirManager::getInstance().createMailnameHome("example.com", "info");
    const std::string cur = DOMAIN_ROOT + "/info/Maildir/cur";
    mxtest::writeFile(cur + "/1,S=5", "hello");
    const std::string q = mxtest::shellQuote(cur);
    shell("mount --bind " + q + " " + q + " && mount -o remount,bind,ro " + q);

    MailnameManager::removeMailname("example.com", "info", OnRemovalRemove);
    const std::string left = listDir(DOMAIN_ROOT);
    ASSERT_EQ("*\n", homesLeft(left));
    EXPECT_EQ("hello", mxtest::readFile(DOMAIN_ROOT + "/" + left.substr(0, left.size() - 1) +
                                        "/Maildir/cur/1,S=5"));
}

// The rename scenario: info is renamed to boss in example.com.
Snapshot renamedInfo()
{
    Snapshot s = infoAndSales();
    s["vmailbox"].erase("info@example.com");
    s["vmailbox"]["boss@example.com"] = "example.com/boss/Maildir/";
    s["virtual"] = Records{{"boss@example.com", "boss@example.com"},
                           // The alias-domain keys keep their names here.
                           {"info@alias1.com", "boss@example.com"},
                           {"info@alias2.com", "boss@example.com"},
                           {"i1@example.com", "boss@example.com"},
                           {"i1@alias1.com", "boss@example.com"},
                           {"sales@example.com", "sales@example.com"},
                           {"@example.com", "boss@example.com"},
                           {"list@example.com", "sales@example.com, boss@example.com"},
                           {"xinfo@example.com", "xinfo@example.com"}};
    return s;
}

class RenameTest : public MailnameManagerTest {
protected:
    void SetUp() override
    {
        MailnameManagerTest::SetUp();
        before_ = infoAndSales();
        // A catch-all and a list that name info, and a name that merely contains it.
        before_["virtual"]["@example.com"] = "info@example.com";
        before_["virtual"]["list@example.com"] = "sales@example.com, info@example.com";
        before_["virtual"]["xinfo@example.com"] = "xinfo@example.com";
        seedAll(before_);
        MaildirManager::getInstance().createMailnameHome("example.com", "info");
        MaildirManager::getInstance().createMailnameHome("example.com", "sales");
    }

    // Runs of a rename up to the mail home.
    static constexpr const char* FORWARD = "-s vmailbox\n"
                                           "vmailbox\n"
                                           "-s virtual\n"
                                           "virtual\n";

    Snapshot before_;
};

TEST_F(RenameTest, RenamesTheMailnameWhereverItOccursAndItsHome)
{
    record();
    MailnameManager::renameMailname("example.com", "info", "boss");
    EXPECT_EQ(FORWARD, recorded());
    Snapshot expected = renamedInfo();
    EXPECT_EQ(expected, snapshot());
    EXPECT_EQ("boss\nsales\n", listDir(DOMAIN_ROOT));

    MailnameManager::renameMailnameOnDomainAlias("alias1.com", "info", "boss");
    expected["virtual"].erase("info@alias1.com");
    expected["virtual"]["boss@alias1.com"] = "boss@example.com";
    EXPECT_EQ(expected, snapshot());
}

TEST_F(RenameTest, ARerunAfterTheHomeWasMovedFinishesWithoutUndoingTheTables)
{
    // What a run killed right after moving the mail home leaves.
    const Snapshot renamed = renamedInfo();
    seedAll(renamed);
    shell("mv " + DOMAIN_ROOT + "/info " + DOMAIN_ROOT + "/boss");
    record();
    MailnameManager::renameMailname("example.com", "info", "boss");
    EXPECT_EQ(FORWARD, recorded());
    EXPECT_EQ(renamed, snapshot());
    EXPECT_EQ("boss\nsales\n", listDir(DOMAIN_ROOT));
}

// A mail home rename that fails, and how.
struct HomeFault {
    const char* name;
    const char* prepare; // shell command run in the domain root
    bool tablesRenamed;  // the tables start with the rename done, as a killed run leaves them
};

class RenameHomeFaults : public RenameTest, public ::testing::WithParamInterface<HomeFault> {};

TEST_P(RenameHomeFaults, LeaveBothTablesAsBefore)
{
    // A rerun that cannot finish rolls the tables back to the old name, as a
    // first run that fails there would.
    if (GetParam().tablesRenamed)
        seedAll(renamedInfo());
    shell("cd " + DOMAIN_ROOT + " && " + GetParam().prepare);
    const std::string homes = listDir(DOMAIN_ROOT);
    record();
    testing::internal::CaptureStderr();
    EXPECT_THROW(MailnameManager::renameMailname("example.com", "info", "boss"),
                 boost::filesystem::filesystem_error);
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    // The newest change is undone first.
    EXPECT_EQ(std::string(FORWARD) + "-s virtual\nvirtual\n-s vmailbox\nvmailbox\n", recorded());
    EXPECT_EQ(before_, snapshot());
    EXPECT_EQ(homes, listDir(DOMAIN_ROOT));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, RenameHomeFaults,
    ::testing::Values(HomeFault{"NewHomeTaken", "mkdir -p boss/Maildir", false},
                      HomeFault{"OldHomeMissing", "rm -r info", false},
                      // Not a rerun: the tables still hold the old name.
                      HomeFault{"OldHomeMissingNewHomeThere", "rm -r info && mkdir -p boss/Maildir",
                                false},
                      // A rerun, but the home went neither way.
                      HomeFault{"RerunWithBothHomesMissing", "rm -r info", true},
                      // A rerun whose new home is no directory.
                      HomeFault{"RerunWithNewHomeAFile", "mv info elsewhere && touch boss", true}),
    [](const ::testing::TestParamInfo<HomeFault>& info) { return info.param.name; });

TEST_F(RenameTest, AFailedAliasTableRewriteRestoresTheMailboxTable)
{
    failRuns("-s virtual");
    record();
    EXPECT_THROW(MailnameManager::renameMailname("example.com", "info", "boss"),
                 PostfixConfigurationError);
    EXPECT_EQ("-s vmailbox\nvmailbox\n-s virtual\n-s vmailbox\nvmailbox\n", recorded());
    stopFailing();
    EXPECT_EQ(before_, snapshot());
    EXPECT_EQ("info\nsales\n", listDir(DOMAIN_ROOT));
}

// Roll-backs that fail too: which, and what the operator reads.
struct RollBackFault {
    const char* name;
    const char* glob; // runs to fail ...
    int skip;         // ... after letting this many through
    bool virtualRestored;
    bool vmailboxRestored;
    const char* tables; // the table names in the messages, in order
};

class RenameRollBackFaults : public RenameTest,
                             public ::testing::WithParamInterface<RollBackFault> {};

TEST_P(RenameRollBackFaults, AreReportedAndTheOtherRollBackStillRuns)
{
    const RollBackFault& fault = GetParam();
    shell("mkdir -p " + DOMAIN_ROOT + "/boss/Maildir");
    failRuns(fault.glob, fault.skip);
    testing::internal::CaptureStderr();
    // The error passed on is the first one, the mail home's.
    EXPECT_THROW(MailnameManager::renameMailname("example.com", "info", "boss"),
                 boost::filesystem::filesystem_error);
    std::string expected;
    for (const std::string& name : {std::string("virtual"), std::string("vmailbox")}) {
        if (std::string(fault.tables).find(name + ";") == std::string::npos)
            continue;
        expected += std::string("CRITICAL ERROR: Unable to properly restore ") +
                    (name == "virtual" ? "Postfix Virtual Aliases Database"
                                       : "Postfix Virtual Mailboxes Database") +
                    " used by Ostra.\n"
                    "Mail system may be not usable at the moment and it cannot be repaired "
                    "automatically.\n"
                    "Constact Veltronix support to resolve this issue.\n";
    }
    EXPECT_EQ(expected, testing::internal::GetCapturedStderr());
    stopFailing();
    const Snapshot renamed = renamedInfo();
    EXPECT_EQ(fault.virtualRestored ? before_["virtual"] : renamed.at("virtual"), dump("virtual"));
    EXPECT_EQ(fault.vmailboxRestored ? before_["vmailbox"] : renamed.at("vmailbox"),
              dump("vmailbox"));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, RenameRollBackFaults,
    ::testing::Values(RollBackFault{"AliasesOnly", "-s virtual", 1, false, true, "virtual;"},
                      RollBackFault{"MailboxesOnly", "-s vmailbox", 1, true, false, "vmailbox;"},
                      RollBackFault{"Both", "-s *", 2, false, false, "virtual;vmailbox;"}),
    [](const ::testing::TestParamInfo<RollBackFault>& info) { return info.param.name; });

TEST_F(MailnameManagerTest, DeliverySwitchesAndForwardsEditQmail)
{
    MailnameManager::createMailname("example.com", "info", 1000);
    const std::string file = qmail("info");
    MailnameManager::enableDelivery("example.com", "info");
    MailnameManager::addForward("example.com", "info", "a@other.org");
    MailnameManager::addForward("example.com", "info", "b@other.org");
    EXPECT_EQ("| true\n| /usr/bin/deliverquota ./Maildir\n&a@other.org\n&b@other.org\n",
              mxtest::readFile(file));

    // A forward added again moves to the end; enabling twice keeps one line.
    MailnameManager::addForward("example.com", "info", "a@other.org");
    MailnameManager::enableDelivery("example.com", "info");
    EXPECT_EQ("| true\n&b@other.org\n&a@other.org\n| /usr/bin/deliverquota ./Maildir\n",
              mxtest::readFile(file));

    MailnameManager::disableDelivery("example.com", "info");
    MailnameManager::removeForward("example.com", "info", "b@other.org");
    MailnameManager::removeForward("example.com", "info", "never@other.org");
    EXPECT_EQ("| true\n&a@other.org\n", mxtest::readFile(file));
    EXPECT_EQ(0600, mxtest::fileMode(file));
    EXPECT_EQ("popuser:popuser", mxtest::fileOwner(file));

    // A mail name without a home has no ".qmail" to edit.
    EXPECT_THROW(MailnameManager::disableDelivery("example.com", "ghost"), ostra::SystemError);
}

} // namespace
