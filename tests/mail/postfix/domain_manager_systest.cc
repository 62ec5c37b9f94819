// domain_manager_systest.cc - domains, alias domains, catch-all and bounce in the
// real lookup tables, with the panel database and the mail tree of the sandbox.
#include "mail/postfix/domain_manager.h"

#include <unistd.h>

#include <boost/filesystem/exception.hpp>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mail/lib/fs_error.h"
#include "mail/lib/maildirpp_manager.h"
#include "manager_fixture.h"

using namespace ostra::mail;
using namespace ostra::mail::postfix;
using namespace managertest;

namespace {

// example.com has the alias domains alias1.com and alias2.com (in that order)
// and the mail names info (mail aliases i1, i2) and sales; other.com has none.
const char PANEL[] =
    "INSERT INTO domains (id, name) VALUES (1, 'example.com'), (2, 'other.com');"
    "INSERT INTO domainaliases (id, name, dom_id) VALUES"
    " (1, 'alias1.com', 1), (2, 'alias2.com', 1);"
    "INSERT INTO mail (id, mail_name, dom_id) VALUES (1, 'info', 1), (2, 'sales', 1);"
    "INSERT INTO mail_aliases (id, mn_id, alias) VALUES (1, 1, 'i1'), (2, 1, 'i2');";

const char STANDARD_LINES_OF_EXAMPLE[] =
    "< postmaster@example.com postmaster@localhost.localdomain\n"
    "< mailer-daemon@example.com mailer-daemon@localhost.localdomain\n"
    "< root@example.com root@localhost.localdomain\n"
    "< anonymous@example.com anonymous@localhost.localdomain\n"
    "< drweb@example.com drweb@localhost.localdomain\n"
    "< kluser@example.com kluser@localhost.localdomain\n";

class DomainManagerTest : public ManagerTest {
protected:
    void withPanel()
    {
        mxtest::startMariaDB();
        mxtest::sql(PANEL);
    }
};

TEST_F(DomainManagerTest, CreateWritesExactlyTheDomainRecordsAndTheMailRoot)
{
    record();
    DomainManager::createDomain("example.com");
    EXPECT_EQ(std::string("-s virtual\n"
                          "virtual\n"
                          "-r -i virtual\n") +
                  STANDARD_LINES_OF_EXAMPLE +
                  "-r -i virtual_domains\n"
                  "< example.com example.com/\n"
                  "-r -i virtual\n" +
                  STANDARD_LINES_OF_EXAMPLE,
              recorded());

    Snapshot expected;
    expected["virtual_domains"] = Records{{"example.com", "example.com/"}};
    expected["virtual"] =
        Records{{"postmaster@example.com", "postmaster@localhost.localdomain"},
                {"mailer-daemon@example.com", "mailer-daemon@localhost.localdomain"},
                {"root@example.com", "root@localhost.localdomain"},
                {"anonymous@example.com", "anonymous@localhost.localdomain"},
                {"drweb@example.com", "drweb@localhost.localdomain"},
                {"kluser@example.com", "kluser@localhost.localdomain"}};
    expected["vmailbox"] = Records{};
    expected["aliases"] = Records{};
    EXPECT_EQ(expected, snapshot());

    const std::string root = std::string(MAIL_ROOT) + "/example.com";
    EXPECT_EQ(0750, mxtest::fileMode(root));
    EXPECT_EQ("root:popuser", mxtest::fileOwner(root));
    // No quota asked for: no quota file anywhere.
    EXPECT_EQ("", listDir(root));

    DomainManager::createDomain("example.com");
    EXPECT_EQ(expected, snapshot());
}

TEST_F(DomainManagerTest, CreateClearsWhatVirtualKnewUnderTheName)
{
    seed("virtual", {{"example.com", "1"},
                     {"old@example.com", "someone@other.com"},
                     {"list@other.com", "old@example.com, keep@other.com"},
                     {"solo@other.com", "old@example.com"},
                     {"x@myexample.com", "x@myexample.com"}});
    DomainManager::createDomain("example.com");
    EXPECT_EQ(
        merged({standardAddresses("example.com"),
                {{"list@other.com", "keep@other.com"}, {"x@myexample.com", "x@myexample.com"}}}),
        dump("virtual"));
}

TEST_F(DomainManagerTest, CreateWithQuotaSetsItBeforeAnyRecord)
{
    withPanel();
    MaildirManager::getInstance().createMailnameHome("example.com", "info");
    MaildirManager::getInstance().createMailnameHome("example.com", "sales");
    DomainManager::createDomain("example.com", 5000);
    // The mailbox got the domain's quota: the file of a mailbox quota of 5000.
    const std::string quotaFile = std::string(MAIL_ROOT) + "/example.com/info/Maildir/maildirsize";
    const std::string definition = mxtest::readFile(quotaFile);
    ASSERT_EQ(0, ::unlink(quotaFile.c_str()));
    MaildirPPManager::getInstance().setMailboxQuota("example.com", "info", 5000);
    const std::string direct = mxtest::readFile(quotaFile);
    EXPECT_EQ(direct.substr(0, direct.find('\n')), definition.substr(0, definition.find('\n')));
    EXPECT_EQ((Records{{"example.com", "example.com/"}}), dump("virtual_domains"));

    // A quota that cannot be stored (no panel database) stops the creation
    // after the mail root, before the tables are touched.
    mxtest::stopMariaDB();
    const Snapshot before = snapshot();
    EXPECT_THROW(DomainManager::createDomain("new.com", 5000), FSError);
    EXPECT_TRUE(mxtest::fileExists(std::string(MAIL_ROOT) + "/new.com"));
    EXPECT_EQ(before, snapshot());
}

TEST_F(DomainManagerTest, DisableThenEnableGivesTheRecordsOfAFreshEnable)
{
    DomainManager::createDomain("example.com");
    const Records mailRecords{{"info@example.com", "info@example.com"},
                              {"@example.com", "info@example.com"}};
    DatabaseHelper::addRecords(table("virtual"),
                               RecordVector(mailRecords.begin(), mailRecords.end()));
    DatabaseHelper::addRecord(table("vmailbox"), "info@example.com", "example.com/info/Maildir/");
    const Snapshot enabled = snapshot();

    record();
    DomainManager::disableDomain("example.com");
    EXPECT_EQ("-d example.com virtual_domains\n"
              "-d - virtual\n"
              "< postmaster@example.com\n"
              "< mailer-daemon@example.com\n"
              "< root@example.com\n"
              "< anonymous@example.com\n"
              "< drweb@example.com\n"
              "< kluser@example.com\n",
              recorded());
    Snapshot disabled = enabled;
    disabled["virtual_domains"] = Records{};
    disabled["virtual"] = mailRecords;
    EXPECT_EQ(disabled, snapshot());

    DomainManager::enableDomain("example.com");
    EXPECT_EQ(enabled, snapshot());
}

TEST_F(DomainManagerTest, AliasDomainGetsStandardAddressesThenOneCallForItsRecords)
{
    withPanel();
    record();
    DomainManager::createDomainAlias("example.com", "alias.net");
    EXPECT_EQ("-r -i virtual\n"
              "< postmaster@alias.net postmaster@localhost.localdomain\n"
              "< mailer-daemon@alias.net mailer-daemon@localhost.localdomain\n"
              "< root@alias.net root@localhost.localdomain\n"
              "< anonymous@alias.net anonymous@localhost.localdomain\n"
              "< drweb@alias.net drweb@localhost.localdomain\n"
              "< kluser@alias.net kluser@localhost.localdomain\n"
              "-r -i virtual\n"
              "< alias.net 1\n"
              "< i1@alias.net info@example.com\n"
              "< i2@alias.net info@example.com\n"
              "< info@alias.net info@example.com\n"
              "< sales@alias.net sales@example.com\n",
              recorded());
    EXPECT_EQ(merged({standardAddresses("alias.net"),
                      {{"alias.net", "1"},
                       {"i1@alias.net", "info@example.com"},
                       {"i2@alias.net", "info@example.com"},
                       {"info@alias.net", "info@example.com"},
                       {"sales@alias.net", "sales@example.com"}}}),
              dump("virtual"));
}

TEST_F(DomainManagerTest, RemovingAnAliasDomainRewritesOnlyVirtual)
{
    const Records others{{"info@example.com", "info@example.com"},
                         {"list@example.com", "info@example.com, x@alias.net"},
                         {"x@myalias.net", "x@myalias.net"}};
    seed("virtual", merged({others,
                            standardAddresses("alias.net"),
                            {{"alias.net", "1"},
                             {"info@alias.net", "info@example.com"},
                             {"@alias.net", "_ostra_bounce_alias.net@localhost.localdomain"},
                             {"only@example.com", "x@alias.net"}}}));
    seed("aliases", {{"_ostra_bounce_alias.net", "\"|/usr/lib/ostra-9.0/bouncemessage\""}});
    seed("vmailbox", {{"info@example.com", "example.com/info/Maildir/"}});
    Snapshot expected = snapshot();
    expected["virtual"] = merged({others, {{"list@example.com", "info@example.com"}}});

    DomainManager::removeDomainAlias("alias.net");
    EXPECT_EQ(expected, snapshot());
}

TEST_F(DomainManagerTest, RenamingAnAliasDomainRenamesKeysAndListElements)
{
    seed("virtual", {{"alias.net", "1"},
                     {"info@alias.net", "info@example.com"},
                     {"list@example.com", "info@alias.net,info@example.com"},
                     {"postmaster@alias.net", "postmaster@localhost.localdomain"},
                     {"x@myalias.net", "x@alias.net.org"}});
    DomainManager::renameDomainAlias("alias.net", "renamed.org");
    EXPECT_EQ((Records{{"renamed.org", "1"},
                       {"info@renamed.org", "info@example.com"},
                       {"list@example.com", "info@renamed.org, info@example.com"},
                       {"postmaster@renamed.org", "postmaster@localhost.localdomain"},
                       {"x@myalias.net", "x@alias.net.org"}}),
              dump("virtual"));
}

TEST_F(DomainManagerTest, CatchallThenBounceThenRemovalForDomainAndAliasDomains)
{
    withPanel();
    record();
    DomainManager::createCatchall("example.com", "boss@other.com");
    EXPECT_EQ("-r -i virtual\n"
              "< @example.com boss@other.com\n"
              "< @alias1.com boss@other.com\n"
              "< @alias2.com boss@other.com\n",
              recorded());

    DomainManager::setBounce("example.com", "No such user");
    const std::string command = "\"|/usr/lib/ostra-9.0/bouncemessage No\\\\\\ such\\\\\\ user\"";
    Snapshot bounced;
    bounced["virtual_domains"] = Records{};
    bounced["vmailbox"] = Records{};
    bounced["virtual"] =
        Records{{"@example.com", "_ostra_bounce_example.com@localhost.localdomain"},
                {"@alias1.com", "_ostra_bounce_alias1.com@localhost.localdomain"},
                {"@alias2.com", "_ostra_bounce_alias2.com@localhost.localdomain"}};
    bounced["aliases"] = Records{{"_ostra_bounce_example.com", command},
                                 {"_ostra_bounce_alias1.com", command},
                                 {"_ostra_bounce_alias2.com", command}};
    EXPECT_EQ(bounced, snapshot());

    record();
    DomainManager::removeCatchall("example.com");
    EXPECT_EQ("-d - virtual\n"
              "< @alias1.com\n"
              "< @alias2.com\n"
              "< @example.com\n",
              recorded());
    Snapshot rejecting = bounced;
    rejecting["virtual"] = Records{};
    EXPECT_EQ(rejecting, snapshot());
}

TEST_F(DomainManagerTest, BounceRunsOneAliasesRecordPerDomainThenOneVirtualCall)
{
    record();
    DomainManager::setBounce("example.com", "line one\nline two");
    EXPECT_EQ("-r -i aliases\n"
              "< _ostra_bounce_example.com \"|/usr/lib/ostra-9.0/bouncemessage "
              "line\\\\\\ one\\\\\\ line\\\\\\ two\"\n"
              "-r -i virtual\n"
              "< @example.com _ostra_bounce_example.com@localhost.localdomain\n",
              recorded());

    // An empty message: a command without argument, the same for every domain.
    BatchDatabaseHelper batch;
    DomainManager::setBounceFor(batch, {"a.org", "b.org"}, "");
    const std::string bare = "\"|/usr/lib/ostra-9.0/bouncemessage\"";
    EXPECT_EQ(
        (Records{{"_ostra_bounce_example.com",
                  "\"|/usr/lib/ostra-9.0/bouncemessage line\\\\\\ one\\\\\\ line\\\\\\ two\""},
                 {"_ostra_bounce_a.org", bare},
                 {"_ostra_bounce_b.org", bare}}),
        dump("aliases"));
    EXPECT_EQ((Records{{"@example.com", "_ostra_bounce_example.com@localhost.localdomain"},
                       {"@a.org", "_ostra_bounce_a.org@localhost.localdomain"},
                       {"@b.org", "_ostra_bounce_b.org@localhost.localdomain"}}),
              dump("virtual"));
}

// How removeDomain treats the mail root, by mode.
struct RootCase {
    const char* name;
    OnRemoval mode;
    const char* rootsLeft; // entries of the mail root afterwards; "*" for a backup name
};

class RemoveDomainModes : public DomainManagerTest,
                          public ::testing::WithParamInterface<RootCase> {};

TEST_P(RemoveDomainModes, TakesEveryTraceOutOfTheTablesAndTreatsTheMailRoot)
{
    withPanel();
    DomainManager::createDomain("example.com");
    DomainManager::createDomain("other.com");
    DomainManager::createDomainAlias("example.com", "alias1.com");
    DatabaseHelper::addRecords(
        table("virtual"),
        RecordVector{{"info@example.com", "info@example.com"},
                     {"@example.com", "_ostra_bounce_example.com@localhost.localdomain"},
                     {"list@other.com", "info@example.com, boss@other.com"},
                     {"fwd@other.com", "info@example.com"},
                     {"x@myexample.com", "x@myexample.com"}});
    DatabaseHelper::addRecords(table("vmailbox"),
                               RecordVector{{"info@example.com", "example.com/info/Maildir/"},
                                            {"boss@other.com", "other.com/boss/Maildir/"}});
    DatabaseHelper::addRecord(table("aliases"), "_ostra_bounce_example.com", "\"|x\"");
    mxtest::writeFile(std::string(MAIL_ROOT) + "/example.com/mail", "kept?");
    Snapshot expected = snapshot();

    DomainManager::removeDomain("example.com", GetParam().mode);

    expected["virtual_domains"] = Records{{"other.com", "other.com/"}};
    expected["vmailbox"] = Records{{"boss@other.com", "other.com/boss/Maildir/"}};
    // The alias domain keeps its declaration and standard addresses; what
    // only named addresses of the removed domain is gone.
    expected["virtual"] = merged({standardAddresses("other.com"),
                                  standardAddresses("alias1.com"),
                                  {{"alias1.com", "1"},
                                   {"list@other.com", "boss@other.com"},
                                   {"x@myexample.com", "x@myexample.com"}}});
    EXPECT_EQ(expected, snapshot());

    std::string left = listDir(MAIL_ROOT);
    const std::string backup = "example.com.OstraSaved.";
    if (left.compare(0, backup.size(), backup) == 0)
        left = "*" + left.substr(left.find('\n'));
    EXPECT_EQ(GetParam().rootsLeft, left);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, RemoveDomainModes,
    ::testing::Values(RootCase{"Keep", OnRemovalKeep, "example.com\nother.com\n"},
                      RootCase{"Remove", OnRemovalRemove, "other.com\n"},
                      RootCase{"Backup", OnRemovalBackup, "*\nother.com\n"}),
    [](const ::testing::TestParamInfo<RootCase>& info) { return info.param.name; });

// mountReadOnly - make a directory a read-only mount of itself: it can be
// neither renamed nor emptied.
void mountReadOnly(const std::string& dir)
{
    const std::string q = mxtest::shellQuote(dir);
    const mxtest::RunResult r =
        mxtest::run("mount --bind " + q + " " + q + " && mount -o remount,bind,ro " + q);
    ASSERT_EQ(0, r.status) << r.err;
}

TEST_F(DomainManagerTest, RemovalOfAMailRootThatCannotGoStillRemovesTheRecords)
{
    DomainManager::createDomain("example.com");
    DatabaseHelper::addRecord(table("vmailbox"), "info@example.com", "example.com/info/Maildir/");
    const std::string root = std::string(MAIL_ROOT) + "/example.com";
    mxtest::writeFile(root + "/mail", "stuck");
    mountReadOnly(root);

    DomainManager::removeDomain("example.com", OnRemovalRemove);
    Snapshot empty;
    for (const char* name : TABLES)
        empty[name] = Records{};
    EXPECT_EQ(empty, snapshot());
    EXPECT_EQ("stuck", mxtest::readFile(root + "/mail"));
}

TEST_F(DomainManagerTest, AFailedBackupStopsTheRemovalAfterTheDomainRecord)
{
    DomainManager::createDomain("example.com");
    mountReadOnly(std::string(MAIL_ROOT) + "/example.com");
    Snapshot expected = snapshot();
    EXPECT_THROW(DomainManager::removeDomain("example.com", OnRemovalBackup),
                 boost::filesystem::filesystem_error);
    expected["virtual_domains"] = Records{};
    EXPECT_EQ(expected, snapshot());
}

TEST_F(DomainManagerTest, WithoutThePanelDatabaseTheDomainStandsAlone)
{
    // No server runs: every lookup fails and reads as an empty list.
    DomainManager::createDomainAlias("example.com", "alias.net");
    DomainManager::createCatchall("example.com", "boss@other.com");
    EXPECT_EQ(merged({standardAddresses("alias.net"),
                      {{"alias.net", "1"}, {"@example.com", "boss@other.com"}}}),
              dump("virtual"));

    DomainManager::setBounce("example.com", "");
    EXPECT_EQ((Records{{"_ostra_bounce_example.com", "\"|/usr/lib/ostra-9.0/bouncemessage\""}}),
              dump("aliases"));
    seed("virtual", {{"@example.com", "x@y.org"}, {"@alias.net", "x@y.org"}});
    DomainManager::removeCatchall("example.com");
    EXPECT_EQ((Records{{"@alias.net", "x@y.org"}}), dump("virtual"));
}

TEST_F(DomainManagerTest, APostmapFailureHalfWayKeepsTheCompletedSteps)
{
    // The aliases record of the second domain fails: the first one stays,
    // "virtual" was never reached.
    failRuns("-r -i aliases*_ostra_bounce_b.org *");
    BatchDatabaseHelper batch;
    try {
        DomainManager::setBounceFor(batch, {"a.org", "b.org", "c.org"}, "gone");
        FAIL() << "no error";
    } catch (const PostfixConfigurationError& e) {
        EXPECT_EQ(INJECTED, std::string(e.what()));
    }
    EXPECT_EQ((std::vector<std::string>{"_ostra_bounce_a.org"}), [&] {
        std::vector<std::string> keys;
        for (const auto& r : dump("aliases"))
            keys.push_back(r.first);
        return keys;
    }());
    EXPECT_EQ(Records{}, dump("virtual"));

    // Enabling fails on "virtual_domains": the standard addresses written
    // before it stay.
    failRuns("-r -i virtual_domains*");
    EXPECT_THROW(DomainManager::createDomain("example.com"), PostfixConfigurationError);
    EXPECT_EQ(Records{}, dump("virtual_domains"));
    EXPECT_EQ(standardAddresses("example.com"), dump("virtual"));

    // Removals report the database error.
    stopFailing();
    DomainManager::enableDomain("example.com");
    failRuns("-d - virtual*");
    try {
        DomainManager::disableDomain("example.com");
        FAIL() << "no error";
    } catch (const PostfixDatabaseError& e) {
        EXPECT_EQ(INJECTED, std::string(e.what()));
    }
    EXPECT_EQ(Records{}, dump("virtual_domains"));
    EXPECT_EQ(standardAddresses("example.com"), dump("virtual"));
}

} // namespace
