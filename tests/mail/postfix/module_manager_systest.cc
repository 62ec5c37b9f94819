// module_manager_systest.cc - services moved between the real master.cf and the
// set-aside file, stored under the lock and read back with postconf.
#include "mail/postfix/module_manager.h"

#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mail/lib/fs_error.h"
#include "mail/postfix/postfix_errors.h"
#include "mail/postfix/service_manager.h"
#include "ostra/lock.h"
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

// Child - another run of the program, forked now but held until go(), so that
// it shares no lock descriptor with the test and starts when the test wants.
class Child {
public:
    explicit Child(const std::function<void()>& run)
    {
        int fds[2];
        if (pipe(fds) != 0)
            throw std::runtime_error("pipe failed");
        pid_ = fork();
        if (pid_ < 0)
            throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            // One byte, not end of file: later children hold copies of this write end.
            close(fds[1]);
            char c;
            while (read(fds[0], &c, 1) < 0 && errno == EINTR) {
            }
            try {
                run();
            } catch (...) {
                _exit(1);
            }
            _exit(0);
        }
        close(fds[0]);
        go_ = fds[1];
    }
    ~Child()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            wait();
        }
        if (go_ >= 0)
            close(go_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // go - let the child start.
    void go()
    {
        while (write(go_, "g", 1) < 0 && errno == EINTR) {
        }
        close(go_);
        go_ = -1;
    }
    // running - whether it has not ended yet.
    bool running()
    {
        int status;
        if (pid_ <= 0 || waitpid(pid_, &status, WNOHANG) != pid_)
            return pid_ > 0;
        status_ = status;
        pid_ = -1;
        return false;
    }
    // wait - its exit status (128 + signal when killed).
    int wait()
    {
        int status = 0;
        while (pid_ > 0 && waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        if (pid_ > 0)
            status_ = status;
        pid_ = -1;
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
    }

private:
    pid_t pid_ = -1;
    int go_ = -1;
    int status_ = 0;
};

// Service - one entry of the two files, by name and type.
struct Service {
    const char* name;
    ModuleType type;
};

// placesOf - in which of the two files a service is now: "live", "aside",
// "both" or "neither".
std::string placesOf(const Service& s)
{
    ModuleManager modules(MASTER_CF, DISABLED, false);
    modules.loadModules();
    const bool live = modules.hasModule(s.name, s.type, true);
    const bool aside = modules.hasModule(s.name, s.type, false);
    return live && aside ? "both" : live ? "live" : aside ? "aside" : "neither";
}

// toggle - one run's load, move and store of a service, with pause seconds
// between its load and its store, as a run that looks up more in between.
void toggle(const Service& s, bool enable, double pause = 0)
{
    ModuleManager modules(MASTER_CF, DISABLED);
    modules.loadModules();
    usleep(static_cast<useconds_t>(pause * 1e6));
    if (enable)
        modules.enableModule(s.name, s.type);
    else
        modules.disableModule(s.name, s.type);
    modules.storeModules(false);
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

namespace {

const Service SMTP = {"smtp", ModuleType::inet};
const Service PICKUP = {"pickup", ModuleType::unix};

// waitUntil - poll test for up to five seconds.
bool waitUntil(const std::function<bool()>& test)
{
    for (int i = 0; i < 500; ++i) {
        if (test())
            return true;
        usleep(10000);
    }
    return test();
}

// StoreOrderCase - moves a run makes, the file whose lock the test holds (the
// one to be written last), and where the services are while the run waits.
struct StoreOrderCase {
    const char* label; // also the case's name
    bool smtpAsideBefore;
    std::vector<std::pair<Service, bool>> moves; // service, enable
    bool holdMasterCf;                           // else the set-aside file
    std::string smtpWhileHeld, pickupWhileHeld, smtpAfter, pickupAfter;
};

class StoreOrder : public ModuleManagerSysTest,
                   public ::testing::WithParamInterface<StoreOrderCase> {};

// The file that gains an entry is renamed into place before the one that
// loses it: a run stopped between the two leaves the entry in both files,
// never in neither.
TEST_P(StoreOrder, FileThatGainsTheEntryIsWrittenFirst)
{
    const StoreOrderCase& c = GetParam();
    if (c.smtpAsideBefore)
        toggle(SMTP, false);
    ASSERT_EQ(c.smtpAsideBefore ? "aside" : "live", placesOf(SMTP));
    const std::string master = mxtest::readFile(MASTER_CF);
    Child run([&c] {
        ModuleManager modules(MASTER_CF, DISABLED);
        modules.loadModules();
        for (const auto& m : c.moves)
            if (m.second)
                modules.enableModule(m.first.name, m.first.type);
            else
                modules.disableModule(m.first.name, m.first.type);
        modules.storeModules(false);
    });
    {
        const ostra::MKLock held(c.holdMasterCf ? MASTER_CF : DISABLED);
        run.go();
        // The first file is written; the run then waits for the held lock.
        ASSERT_TRUE(waitUntil([&] {
            return placesOf(SMTP) != (c.smtpAsideBefore ? "aside" : "live") ||
                   placesOf(PICKUP) != "live";
        })) << c.label
            << ": nothing written";
        usleep(100000);
        EXPECT_TRUE(run.running()) << c.label;
        EXPECT_EQ(c.smtpWhileHeld, placesOf(SMTP)) << c.label;
        EXPECT_EQ(c.pickupWhileHeld, placesOf(PICKUP)) << c.label;
    }
    EXPECT_EQ(0, run.wait()) << c.label;
    EXPECT_EQ(c.smtpAfter, placesOf(SMTP)) << c.label;
    EXPECT_EQ(c.pickupAfter, placesOf(PICKUP)) << c.label;
    EXPECT_EQ(0, mxtest::run("/usr/sbin/postconf -M >/dev/null").status);
}

INSTANTIATE_TEST_SUITE_P(
    ModuleManager, StoreOrder,
    ::testing::Values(
        StoreOrderCase{"disable", false, {{SMTP, false}}, true, "both", "live", "aside", "live"},
        StoreOrderCase{"enable", true, {{SMTP, true}}, false, "both", "live", "live", "live"},
        // Moves both ways: a master.cf holding both entries comes first.
        StoreOrderCase{"enable and disable",
                       true,
                       {{SMTP, true}, {PICKUP, false}},
                       false,
                       "both",
                       "live",
                       "live",
                       "aside"}),
    [](const ::testing::TestParamInfo<StoreOrderCase>& info) {
        std::string name = info.param.label;
        for (char& ch : name)
            if (!isalnum(static_cast<unsigned char>(ch)))
                ch = '_';
        return name;
    });

// A load waits for a run between its load and its store, and then reads what
// that run stored instead of an older copy that it would write over it.
TEST_F(ModuleManagerSysTest, LoadWaitsForTheRunLock)
{
    const Service smtps = {"smtps", ModuleType::inet};
    mxtest::writeFile(MASTER_CF, stock + "smtps inet n - y - - smtpd\n");
    Child later([] { toggle(SMTP, false); });
    {
        const ostra::MKLock held(ModuleManager(MASTER_CF, DISABLED).runLockPath());
        later.go();
        usleep(500000);
        EXPECT_TRUE(later.running()) << "loaded without the run lock";
        // The holder's own run: the lock is its already.
        ModuleManager modules(MASTER_CF, DISABLED, false);
        modules.loadModules();
        modules.disableModule(smtps.name, smtps.type);
        modules.storeModules(false);
    }
    EXPECT_EQ(0, later.wait());
    EXPECT_EQ("aside", placesOf(SMTP));
    EXPECT_EQ("aside", placesOf(smtps)) << "the earlier run's change was written over";
}

// Concurrent runs each switching a service of its own: every change stays,
// off and on again.
TEST_F(ModuleManagerSysTest, ConcurrentTogglesOfDistinctServicesAllStay)
{
    const std::vector<Service> services = {
        {"pickup", ModuleType::unix}, {"cleanup", ModuleType::unix}, {"qmgr", ModuleType::unix},
        {"tlsmgr", ModuleType::unix}, {"rewrite", ModuleType::unix}, {"bounce", ModuleType::unix},
        {"defer", ModuleType::unix},  {"trace", ModuleType::unix},   {"verify", ModuleType::unix},
        {"flush", ModuleType::unix},  {"relay", ModuleType::unix},   {"smtp", ModuleType::inet},
    };
    for (int round = 0; round < 4; ++round) {
        const bool enable = round % 2 == 1;
        std::vector<std::unique_ptr<Child>> runs;
        for (const Service& s : services)
            runs.emplace_back(new Child([s, enable] { toggle(s, enable, 0.02); }));
        for (auto& r : runs)
            r->go();
        for (auto& r : runs)
            EXPECT_EQ(0, r->wait());
        for (const Service& s : services)
            EXPECT_EQ(enable ? "live" : "aside", placesOf(s)) << s.name << " in round " << round;
    }
    EXPECT_EQ("", mxtest::readFile(DISABLED)) << "every entry back live";
}

} // namespace
