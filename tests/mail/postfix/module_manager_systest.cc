// module_manager_systest.cc - services moved between the real master.cf and the
// set-aside file, stored under the lock and read back with postconf.
#include "mail/postfix/module_manager.h"

#include <dirent.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "mail/lib/fs_error.h"
#include "mail/postfix/postfix_errors.h"
#include "mail/postfix/service_manager.h"
#include "systest.h"

using namespace ostra::mail::postfix;

namespace {

const std::string MASTER_CF = "/etc/postfix/master.cf";
const std::string DISABLED = ModuleManager::DISABLED_PATH;
const std::string SPOOL_DIR = "/var/spool/postfix/ostra";
// The stock file's smtp service, as the package writes it.
const std::string STOCK_SMTP = "smtp      inet  n       -       y       -       -       smtpd";

// fileStat - lstat of path; st_ino 0 when it does not exist.
struct stat fileStat(const std::string& path)
{
    struct stat st = {};
    if (lstat(path.c_str(), &st) != 0)
        st.st_ino = 0;
    return st;
}

// entries - the names in a directory.
std::set<std::string> entries(const std::string& dir)
{
    std::set<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return names;
    while (struct dirent* e = readdir(d))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
            names.insert(e->d_name);
    closedir(d);
    return names;
}

// without - text with the first occurrence of part taken out.
std::string without(std::string text, const std::string& part)
{
    std::string::size_type at = text.find(part);
    if (at != std::string::npos)
        text.erase(at, part.size());
    return text;
}

// postconfService - what postconf itself reads from master.cf for one service.
std::string postconfService(const std::string& service)
{
    mxtest::RunResult r = mxtest::run("/usr/sbin/postconf -M " + service);
    EXPECT_EQ(0, r.status) << r.err;
    return r.out;
}

class ModuleManagerSysTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* sandbox = std::getenv("SANDBOX");
        ASSERT_TRUE(sandbox && std::string(sandbox) == "1")
            << "system tests write fixed paths; run them through tests/support/sandbox.sh";
        ASSERT_EQ(0, mxtest::run("mkdir -p " + SPOOL_DIR).status);
        stock = mxtest::readFile(MASTER_CF);
        ASSERT_NE(std::string::npos, stock.find(STOCK_SMTP + "\n"));
    }

    // fresh - another run's manager: nothing loaded yet.
    ModuleManager fresh() { return ModuleManager(MASTER_CF, DISABLED); }

    std::string stock;
};

TEST_F(ModuleManagerSysTest, StockMasterCfStoredBackByteForByte)
{
    ModuleManager& modules = ModuleManager::getInstance();
    EXPECT_EQ(MASTER_CF, modules.masterCfPath());
    const struct stat before = fileStat(MASTER_CF);
    modules.loadModules();
    EXPECT_TRUE(modules.storeModules(true));
    EXPECT_EQ(stock, mxtest::readFile(MASTER_CF));
    const struct stat after = fileStat(MASTER_CF);
    EXPECT_NE(before.st_ino, after.st_ino) << "replaced by rename";
    EXPECT_EQ(0644u, after.st_mode & 07777);
    EXPECT_EQ(0u, entries(SPOOL_DIR).size()) << "no set-aside content, no set-aside file";
    for (const std::string& name : entries("/etc/postfix"))
        EXPECT_TRUE(name.compare(0, 9, "master.cf") != 0 || name == "master.cf" ||
                    name == "master.cf.proto")
            << "left behind: " << name;
}

TEST_F(ModuleManagerSysTest, DisablingAnAbsentSubmissionWritesNothing)
{
    ModuleManager& modules = ModuleManager::getInstance();
    const struct stat before = fileStat(MASTER_CF);
    modules.loadModules();
    ServiceManager::disableSubmission(modules);
    EXPECT_FALSE(modules.storeModules(false));
    EXPECT_EQ(before.st_ino, fileStat(MASTER_CF).st_ino);
    EXPECT_EQ(0u, fileStat(DISABLED).st_ino);
}

TEST_F(ModuleManagerSysTest, FirstDisableCreatesTheSetAsideFile)
{
    ModuleManager& modules = ModuleManager::getInstance();
    modules.loadModules();
    EXPECT_TRUE(modules.disableModule("smtp", ModuleType::inet));
    EXPECT_TRUE(modules.storeModules(false));
    EXPECT_EQ(STOCK_SMTP + "\n", mxtest::readFile(DISABLED));
    EXPECT_EQ(0644u, fileStat(DISABLED).st_mode & 07777);
    EXPECT_EQ(without(stock, STOCK_SMTP + "\n"), mxtest::readFile(MASTER_CF));
    EXPECT_EQ("", postconfService("smtp/inet"));
    EXPECT_NE("", postconfService("smtp/unix")) << "the client of the same name stays";
}

TEST_F(ModuleManagerSysTest, DisableThenEnableRestoresLocalTextAtTheEnd)
{
    const std::string smtps = "smtps     inet  n       -       y       -       -       smtpd\n"
                              "  -o smtpd_tls_wrappermode=yes\n"
                              "# kept with the entry\n"
                              "  -o syslog_name=postfix/smtps\n";
    mxtest::writeFile(MASTER_CF, smtps + stock);
    {
        ModuleManager modules = fresh();
        modules.loadModules();
        ASSERT_TRUE(modules.disableModule("smtps", ModuleType::inet));
        ASSERT_TRUE(modules.storeModules(false));
    }
    EXPECT_EQ(stock, mxtest::readFile(MASTER_CF));
    EXPECT_EQ(smtps, mxtest::readFile(DISABLED));
    EXPECT_EQ("", postconfService("smtps/inet"));
    {
        ModuleManager modules = fresh();
        modules.loadModules();
        ASSERT_TRUE(modules.enableModule("smtps", ModuleType::inet));
        ASSERT_TRUE(modules.storeModules(false));
    }
    EXPECT_EQ(stock + smtps, mxtest::readFile(MASTER_CF));
    EXPECT_EQ("", mxtest::readFile(DISABLED)) << "the last entry re-enabled leaves an empty file";
    EXPECT_NE(std::string::npos, postconfService("smtps/inet").find("smtpd_tls_wrappermode=yes"));

    ModuleManager modules = fresh();
    modules.loadModules();
    EXPECT_FALSE(modules.hasModule("smtps", ModuleType::inet, false));
    EXPECT_TRUE(modules.hasModule("smtps", ModuleType::inet, true));
}

TEST_F(ModuleManagerSysTest, SetAsideChangesAloneAreStoredWithoutMasterCf)
{
    mxtest::writeFile(DISABLED, "# aside\n");
    const struct stat before = fileStat(MASTER_CF);
    ModuleManager& modules = ModuleManager::getInstance();
    modules.loadModules();
    modules.addModule(SubmissionModule(), false);
    EXPECT_FALSE(modules.storeModules(false));
    EXPECT_EQ(before.st_ino, fileStat(MASTER_CF).st_ino);
    EXPECT_EQ("# aside\n" + formatModule(SubmissionModule()) + "\n", mxtest::readFile(DISABLED));
}

TEST_F(ModuleManagerSysTest, BuiltInServicesAreAcceptedByPostfix)
{
    ModuleManager& modules = ModuleManager::getInstance();
    modules.loadModules();
    ServiceManager::addOrEnableModule(modules, SubmissionModule());
    ServiceManager::addOrEnableModule(modules, SmtpsdModule());
    ServiceManager::addOrEnableModule(modules, SmtpdModule());
    EXPECT_TRUE(modules.storeModules(false));
    EXPECT_EQ(stock + formatModule(SubmissionModule()) + "\n" + formatModule(SmtpsdModule()) + "\n",
              mxtest::readFile(MASTER_CF))
        << "the live smtp entry is left as it was";
    const std::string submission = postconfService("submission/inet");
    EXPECT_NE(std::string::npos,
              submission.find("smtpd_client_restrictions=permit_sasl_authenticated,reject"));
    EXPECT_NE(std::string::npos, submission.find("smtpd_proxy_filter=127.0.0.1:10025"));
    mxtest::RunResult check = mxtest::run("/usr/sbin/postconf -M >/dev/null");
    EXPECT_EQ(0, check.status);
    EXPECT_EQ("", check.err);
}

TEST_F(ModuleManagerSysTest, RejectedMasterCfStopsTheCommandAndChangesNothing)
{
    const std::string broken = stock + "Uppercase inet n - n - - smtpd\n";
    mxtest::writeFile(MASTER_CF, broken);
    mxtest::writeFile(DISABLED, STOCK_SMTP + "\n");
    ModuleManager& modules = ModuleManager::getInstance();
    try {
        modules.loadModules();
        FAIL() << "no exception";
    } catch (const PostfixConfigurationError& e) {
        EXPECT_EQ("unable to parse " + MASTER_CF, std::string(e.what()));
    }
    EXPECT_THROW(modules.enableModule("smtp", ModuleType::inet), std::logic_error);
    EXPECT_EQ(broken, mxtest::readFile(MASTER_CF));
    EXPECT_EQ(STOCK_SMTP + "\n", mxtest::readFile(DISABLED));
}

TEST_F(ModuleManagerSysTest, FailedRenameLeavesNoTemporaryFile)
{
    const std::string target = SPOOL_DIR + "/occupied";
    ASSERT_EQ(0, mxtest::run("mkdir -p " + target + " && touch " + target + "/x").status);
    MasterCfContent content;
    ASSERT_TRUE(parseMasterCf(STOCK_SMTP + "\n", content));
    try {
        ModuleManager::storeMasterCf(target, content);
        FAIL() << "no exception";
    } catch (const ostra::mail::FSError& e) {
        EXPECT_NE(std::string::npos, std::string(e.what()).find("rename")) << e.what();
        EXPECT_NE(std::string::npos, std::string(e.what()).find(target)) << e.what();
    }
    EXPECT_EQ(std::set<std::string>{"occupied"}, entries(SPOOL_DIR));
}

TEST_F(ModuleManagerSysTest, StoreWaitsForTheLockOfItsTarget)
{
    const std::string hash = mxtest::run("printf %s " + MASTER_CF + " | md5sum | cut -c1-32").out;
    const std::string lockFile = "/var/lock/files/" + hash.substr(0, 32);
    ASSERT_EQ(0,
              mxtest::run("flock " + lockFile + " -c 'touch /tmp/held; sleep 1' >/dev/null 2>&1 &")
                  .status);
    while (fileStat("/tmp/held").st_ino == 0)
        usleep(10000);
    ModuleManager& modules = ModuleManager::getInstance();
    modules.loadModules();
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    modules.storeModules(true);
    clock_gettime(CLOCK_MONOTONIC, &end);
    const double waited = (end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
    EXPECT_GT(waited, 0.5);
    EXPECT_EQ(stock, mxtest::readFile(MASTER_CF));
}

} // namespace
