// module_manager_test.cc - loading and in-memory moves of services between the live
// and the set-aside content (storing needs the lock directory: see the system test).
#include "mail/postfix/module_manager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "mail/postfix/postfix_errors.h"
#include "mail/postfix/service_manager.h"
#include "testsupport.h"

using namespace ostra::mail::postfix;
using boost::logic::indeterminate;
using boost::logic::tribool;

namespace {

const std::string smtpsText = "smtps inet n - n - - smtpd\n  -o smtpd_tls_wrappermode=yes\n"
                              "  -o local_option=1";
const std::string liveText = "# services\n"
                             "smtp inet n - y - - smtpd\n" +
                             smtpsText +
                             "\n"
                             "pickup unix n - y 60 1 pickup\n";

class ModuleManagerTest : public ::testing::Test {
protected:
    ModuleManagerTest()
        : masterCf(dir.file("master.cf")), disabled(dir.file("master.cf.disabled")),
          modules(masterCf, disabled, false)
    {
    }

    mxtest::TempDir dir;
    std::string masterCf, disabled;
    ModuleManager modules;
};

// expectConfigurationError - run f and expect PostfixConfigurationError with text.
void expectConfigurationError(const std::function<void()>& f, const std::string& text)
{
    try {
        f();
        ADD_FAILURE() << "no exception, expected " << text;
    } catch (const PostfixConfigurationError& e) {
        EXPECT_EQ(text, e.what());
    }
}

TEST_F(ModuleManagerTest, EveryOperationNeedsALoad)
{
    const std::vector<std::pair<const char*, std::function<void()>>> operations = {
        {"storeModules", [&] { modules.storeModules(true); }},
        {"addModule", [&] { modules.addModule(SmtpdModule(), true); }},
        {"enableModule", [&] { modules.enableModule("smtp", ModuleType::inet); }},
        {"disableModule", [&] { modules.disableModule("smtp", ModuleType::inet); }},
        {"hasModule", [&] { modules.hasModule("smtp", ModuleType::inet); }},
        {"getModule", [&] { modules.getModule("smtp", ModuleType::inet); }},
        {"removeModule", [&] { modules.removeModule("smtp", ModuleType::inet); }},
    };
    for (const auto& op : operations) {
        try {
            op.second();
            ADD_FAILURE() << op.first << ": no exception";
        } catch (const std::logic_error& e) {
            EXPECT_STREQ("modules configuration isn't loaded yet", e.what()) << op.first;
        }
    }
}

TEST_F(ModuleManagerTest, MissingOrIrregularMasterCfCannotBeOpened)
{
    expectConfigurationError([&] { modules.loadModules(); }, "unable to open " + masterCf);
    ASSERT_EQ(0, mkdir(masterCf.c_str(), 0755));
    expectConfigurationError([&] { modules.loadModules(); }, "unable to open " + masterCf);
    EXPECT_THROW(modules.hasModule("smtp", ModuleType::inet), std::logic_error);
}

TEST_F(ModuleManagerTest, RejectedMasterCfLeavesTheManagerUnloaded)
{
    mxtest::writeFile(masterCf, "smtp pass - - y - - smtpd\n");
    expectConfigurationError([&] { modules.loadModules(); }, "unable to parse " + masterCf);
    EXPECT_THROW(modules.storeModules(true), std::logic_error);
}

TEST_F(ModuleManagerTest, RejectedSetAsideFileKeepsTheNewLiveContent)
{
    mxtest::writeFile(masterCf, liveText);
    mxtest::writeFile(disabled, "submission inet n - - - - smtpd\n");
    modules.loadModules();
    mxtest::writeFile(masterCf, "pickup unix n - y 60 1 pickup\n");
    mxtest::writeFile(disabled, "  -o orphan=1\n");
    expectConfigurationError([&] { modules.loadModules(true); }, "unable to parse " + disabled);
    EXPECT_FALSE(modules.hasModule("smtp", ModuleType::inet, true));
    EXPECT_TRUE(modules.hasModule("pickup", ModuleType::unix, true));
    EXPECT_TRUE(modules.hasModule("submission", ModuleType::inet, false));
}

TEST_F(ModuleManagerTest, LoadIsDoneOnceUnlessForced)
{
    mxtest::writeFile(masterCf, liveText);
    modules.loadModules();
    mxtest::writeFile(masterCf, "pickup unix n - y 60 1 pickup\n");
    modules.loadModules(false);
    EXPECT_TRUE(modules.hasModule("smtp", ModuleType::inet));
    modules.loadModules(true);
    EXPECT_FALSE(modules.hasModule("smtp", ModuleType::inet));
}

struct WhereCase {
    tribool where;
    bool smtp, submission, pickupUnix, absent;
    const char* smtpFrom; // the command word that tells which content answered
};

class ModuleManagerWhere : public ModuleManagerTest,
                           public ::testing::WithParamInterface<WhereCase> {};

TEST_P(ModuleManagerWhere, LooksLiveAsideOrEither)
{
    mxtest::writeFile(masterCf, liveText);
    mxtest::writeFile(disabled, "smtp inet n - n - - aside\nsubmission inet n - - - - smtpd\n");
    modules.loadModules();
    const WhereCase& c = GetParam();
    EXPECT_EQ(c.smtp, modules.hasModule("smtp", ModuleType::inet, c.where));
    EXPECT_EQ(c.submission, modules.hasModule("submission", ModuleType::inet, c.where));
    EXPECT_EQ(c.pickupUnix, modules.hasModule("pickup", ModuleType::unix, c.where));
    EXPECT_EQ(c.absent, modules.hasModule("pickup", ModuleType::fifo, c.where));
    EXPECT_EQ(c.smtpFrom, modules.getModule("smtp", ModuleType::inet, c.where).first.command[0]);
    if (c.submission) {
        EXPECT_EQ("submission",
                  modules.getModule("submission", ModuleType::inet, c.where).first.name);
    } else {
        EXPECT_THROW(modules.getModule("submission", ModuleType::inet, c.where), std::out_of_range);
    }
}

INSTANTIATE_TEST_SUITE_P(ModuleManager, ModuleManagerWhere,
                         ::testing::Values(WhereCase{true, true, false, true, false, "smtpd"},
                                           WhereCase{false, true, true, false, false, "aside"},
                                           WhereCase{indeterminate, true, true, true, false,
                                                     "smtpd"}));

// A store stopped between its two renames leaves a moved service in both
// files. Loading takes each file as it is; disabling again sets the live text
// aside over the stale copy, and enabling leaves the live entry as it is.
TEST_F(ModuleManagerTest, ServiceInBothFilesLoadsAndMovesAgain)
{
    mxtest::writeFile(masterCf, liveText);
    mxtest::writeFile(disabled, "smtps inet n - n - - stale\n");
    modules.loadModules();
    EXPECT_TRUE(modules.hasModule("smtps", ModuleType::inet, true));
    EXPECT_TRUE(modules.hasModule("smtps", ModuleType::inet, false));
    EXPECT_TRUE(modules.enableModule("smtps", ModuleType::inet));
    EXPECT_EQ(smtpsText, modules.getModule("smtps", ModuleType::inet, true).second);
    EXPECT_TRUE(modules.disableModule("smtps", ModuleType::inet));
    EXPECT_FALSE(modules.hasModule("smtps", ModuleType::inet, true));
    EXPECT_EQ(smtpsText, modules.getModule("smtps", ModuleType::inet, false).second);
}

TEST_F(ModuleManagerTest, EnableOfAnUnknownServiceIsOutOfRange)
{
    mxtest::writeFile(masterCf, liveText);
    modules.loadModules();
    try {
        modules.enableModule("submission", ModuleType::inet);
        FAIL() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ("no such module submission", e.what());
    }
}

TEST_F(ModuleManagerTest, RemoveModuleRemovesFromBothSides)
{
    mxtest::writeFile(masterCf, liveText);
    mxtest::writeFile(disabled, "smtp inet n - n - - aside\n");
    modules.loadModules();
    modules.removeModule("smtp", ModuleType::inet);
    EXPECT_FALSE(modules.hasModule("smtp", ModuleType::inet));
}

TEST_F(ModuleManagerTest, AddOrEnableAddsBuiltInEnablesAsideAndLeavesLiveAlone)
{
    mxtest::writeFile(masterCf, liveText);
    mxtest::writeFile(disabled, "submission inet n - - - - smtpd -o mine=1\n");
    modules.loadModules();
    ServiceManager::addOrEnableModule(modules, SmtpdModule());
    EXPECT_EQ("smtp inet n - y - - smtpd", modules.getModule("smtp", ModuleType::inet).second);
    ServiceManager::addOrEnableModule(modules, SubmissionModule());
    EXPECT_EQ("submission inet n - - - - smtpd -o mine=1",
              modules.getModule("submission", ModuleType::inet, true).second);
    modules.removeModule("smtps", ModuleType::inet);
    ServiceManager::addOrEnableModule(modules, SmtpsdModule());
    EXPECT_EQ(formatModule(SmtpsdModule()),
              modules.getModule("smtps", ModuleType::inet, true).second);
}

TEST_F(ModuleManagerTest, DisableSubmissionSetsOnlySubmissionAside)
{
    mxtest::writeFile(masterCf, liveText + "submission inet n - - - - smtpd\n");
    modules.loadModules();
    ServiceManager::disableSubmission(modules);
    EXPECT_TRUE(modules.hasModule("submission", ModuleType::inet, false));
    EXPECT_FALSE(modules.hasModule("submission", ModuleType::inet, true));
    EXPECT_TRUE(modules.hasModule("smtp", ModuleType::inet, true));
    ServiceManager::disableSubmission(modules);
    EXPECT_TRUE(modules.hasModule("submission", ModuleType::inet, false));
}

} // namespace
