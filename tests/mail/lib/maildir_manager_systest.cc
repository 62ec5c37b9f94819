// maildir_manager_systest.cc - domain roots and mail homes under the real mail
// root, with popuser ownership, inside the sandbox.
#include "mail/lib/maildir_manager.h"

#include <dlfcn.h>
#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "mail/lib/fs_error.h"
#include "ostra/errors.h"
#include "systest.h"

namespace fs = boost::filesystem;
using ostra::mail::FSError;
using ostra::mail::MaildirManager;

// Path whose fchmod() fails with EPERM, to reach the roll-back half-way
// through a mail home; empty for none.
static std::string failChmodPath;

// fchmod - the library's fchmod, made to fail for failChmodPath.
extern "C" int fchmod(int fd, mode_t mode)
{
    using Real = int (*)(int, mode_t);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "fchmod"));
    if (!failChmodPath.empty()) {
        char target[4096];
        ssize_t n =
            readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<size_t>(n)) == failChmodPath) {
            errno = EPERM;
            return -1;
        }
    }
    return real(fd, mode);
}

namespace {

const std::string ROOT = "/var/qmail/mailnames";
const char* const ENTRIES[] = {
    "",
    "Maildir",
    "Maildir/tmp",
    "Maildir/new",
    "Maildir/cur",
    "Maildir/.Spam",
    "Maildir/.Spam/tmp",
    "Maildir/.Spam/new",
    "Maildir/.Spam/cur",
    "@attachments",
};

struct Owner {
    uid_t uid;
    gid_t gid;
    mode_t mode;
};

Owner ownerOf(const std::string& path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        throw std::runtime_error("cannot stat " + path);
    return {st.st_uid, st.st_gid, static_cast<mode_t>(st.st_mode & 07777)};
}

class MaildirManagerTest : public testing::Test {
protected:
    void SetUp() override
    {
        struct passwd* pw = getpwnam("popuser");
        ASSERT_NE(nullptr, pw) << "the sandbox creates popuser";
        uid_ = pw->pw_uid;
        gid_ = pw->pw_gid;
        fs::remove_all(ROOT);
        oldMask_ = umask(022);
        failChmodPath.clear();
    }
    void TearDown() override
    {
        failChmodPath.clear();
        umask(oldMask_);
    }

    // expectMailHome - all ten directories, popuser's, mode 0700.
    void expectMailHome(const std::string& home)
    {
        for (const char* entry : ENTRIES) {
            std::string path = home + (*entry ? "/" : "") + entry;
            ASSERT_TRUE(fs::is_directory(fs::symlink_status(path))) << path;
            Owner o = ownerOf(path);
            EXPECT_EQ(uid_, o.uid) << path;
            EXPECT_EQ(gid_, o.gid) << path;
            EXPECT_EQ(0700u, o.mode) << path;
        }
    }

    MaildirManager& mm() { return MaildirManager::getInstance(); }

    uid_t uid_ = 0;
    gid_t gid_ = 0;
    mode_t oldMask_ = 0;
};

TEST_F(MaildirManagerTest, PathsUseTheDefaultMailRoot)
{
    EXPECT_EQ(ROOT + "/example.com", mm().getDomainRoot("example.com"));
    EXPECT_EQ(ROOT + "/example.com/info", mm().getMailnameHome("example.com", "info"));
    EXPECT_EQ("example.com", mm().getDomainRelativeRoot("example.com"));
    EXPECT_EQ("example.com/info", mm().getMailnameRelativeHome("example.com", "info"));
    EXPECT_EQ(uid_, mm().popuserUid());
    EXPECT_EQ(gid_, mm().popuserGid());
}

// In a child process, so that the configured root cannot reach other cases.
TEST_F(MaildirManagerTest, PathsFollowTheConfiguredMailRoot)
{
    fs::create_directories("/etc/hsp");
    mxtest::writeFile("/etc/hsp/hsp.conf", "# test\nOSTRA_MAILNAMES_D   /srv/mail/   # mail\n");
    EXPECT_EXIT(
        {
            bool ok = mm().getDomainRoot("example.com") == "/srv/mail/example.com" &&
                      mm().getMailnameHome("example.com", "info") == "/srv/mail/example.com/info";
            _exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    fs::remove("/etc/hsp/hsp.conf");
}

TEST_F(MaildirManagerTest, NamesThatLeaveTheirPlaceAreRefused)
{
    mm().createMailnameHome("example.com", "info");
    for (const char* bad : {"", ".", "..", "a/b", "../example.com"}) {
        EXPECT_THROW(mm().getMailnameHome("example.com", bad), std::invalid_argument) << bad;
        EXPECT_THROW(mm().removeMailnameHome("example.com", bad), std::invalid_argument) << bad;
        EXPECT_THROW(mm().removeDomainRoot(bad), std::invalid_argument) << bad;
        EXPECT_THROW(mm().createMailnameHome(bad, "info"), std::invalid_argument) << bad;
    }
    expectMailHome(ROOT + "/example.com/info");
}

TEST_F(MaildirManagerTest, DomainRootBelongsToRootAndPopuserGroup)
{
    mm().createDomainRoot("example.com");
    Owner o = ownerOf(ROOT + "/example.com");
    EXPECT_EQ(0u, o.uid);
    EXPECT_EQ(gid_, o.gid);
    EXPECT_EQ(0750u, o.mode);
    // Missing parents are made for the running user only.
    Owner parent = ownerOf(ROOT);
    EXPECT_EQ(0u, parent.uid);
    EXPECT_EQ(0700u, parent.mode);
    EXPECT_EQ(022u, umask(022)) << "umask not restored";

    // An existing root gets owner and mode again.
    ASSERT_EQ(0, chmod((ROOT + "/example.com").c_str(), 0777));
    mm().createDomainRoot("example.com");
    EXPECT_EQ(0750u, ownerOf(ROOT + "/example.com").mode);
}

TEST_F(MaildirManagerTest, MailHomeTreeHasOwnersAndModes)
{
    mm().createDomainRoot("example.com");
    mm().createMailnameHome("example.com", "info");
    expectMailHome(ROOT + "/example.com/info");
    EXPECT_EQ(022u, umask(022)) << "umask not restored";
}

TEST_F(MaildirManagerTest, RecreatingAHomeKeepsMailAndResetsModes)
{
    std::string home = ROOT + "/example.com/info";
    mm().createMailnameHome("example.com", "info");
    mxtest::writeFile(home + "/Maildir/cur/1.M1.host,S=5:2,S", "hello");
    mxtest::writeFile(home + "/@attachments/file", "data");
    ASSERT_EQ(0, chmod((home + "/Maildir/cur").c_str(), 0755));
    ASSERT_EQ(0, chown((home + "/Maildir/.Spam").c_str(), 0, 0));
    fs::remove(home + "/Maildir/.Spam/new");

    mm().createMailnameHome("example.com", "info");
    expectMailHome(home);
    EXPECT_EQ("hello", mxtest::readFile(home + "/Maildir/cur/1.M1.host,S=5:2,S"));
    EXPECT_EQ("data", mxtest::readFile(home + "/@attachments/file"));
}

TEST_F(MaildirManagerTest, FailedChmodOfANewHomeLeavesNothing)
{
    mm().createDomainRoot("example.com");
    std::string home = ROOT + "/example.com/info";
    failChmodPath = home + "/Maildir/.Spam";
    try {
        mm().createMailnameHome("example.com", "info");
        FAIL() << "no error";
    } catch (const FSError& e) {
        std::string what = e.what();
        EXPECT_NE(std::string::npos, what.find("chmod")) << what;
        EXPECT_NE(std::string::npos, what.find("\"" + home + "/Maildir/.Spam\"")) << what;
        EXPECT_EQ(EPERM, e.code().value());
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(home)));
    EXPECT_TRUE(fs::is_directory(ROOT + "/example.com"));
    EXPECT_EQ(022u, umask(022)) << "umask not restored";
}

TEST_F(MaildirManagerTest, FailedChmodWithNoParentsLeavesNoParents)
{
    failChmodPath = ROOT + "/example.com/info/Maildir/new";
    EXPECT_THROW(mm().createMailnameHome("example.com", "info"), FSError);
    EXPECT_FALSE(fs::exists(ROOT + "/example.com"));
}

TEST_F(MaildirManagerTest, FailedChmodOfAnExistingHomeKeepsItsMail)
{
    std::string home = ROOT + "/example.com/info";
    fs::create_directories(home + "/Maildir/cur");
    mxtest::writeFile(home + "/Maildir/cur/1.M1.host:2,S", "old mail");
    fs::create_directories(home + "/Maildir/.Spam");
    failChmodPath = home + "/Maildir/.Spam";

    EXPECT_THROW(mm().createMailnameHome("example.com", "info"), FSError);
    EXPECT_EQ("old mail", mxtest::readFile(home + "/Maildir/cur/1.M1.host:2,S"));
    EXPECT_TRUE(fs::is_directory(home + "/Maildir/.Spam")) << "existed before the call";
    // Made by the failed call, so taken away again.
    EXPECT_FALSE(fs::exists(home + "/Maildir/tmp"));
    EXPECT_FALSE(fs::exists(home + "/Maildir/new"));
}

TEST_F(MaildirManagerTest, LinkPlantedInAHomeIsNotFollowed)
{
    std::string home = ROOT + "/example.com/info";
    fs::create_directories(home + "/Maildir");
    fs::create_directories("/var/victim");
    ASSERT_EQ(0, chmod("/var/victim", 0755));
    fs::create_symlink("/var/victim", home + "/Maildir/.Spam");

    EXPECT_THROW(mm().createMailnameHome("example.com", "info"), FSError);
    Owner victim = ownerOf("/var/victim");
    EXPECT_EQ(0u, victim.uid);
    EXPECT_EQ(0755u, victim.mode);
}

TEST_F(MaildirManagerTest, MissingPopuserIsReported)
{
    ASSERT_EQ(0, mxtest::run("userdel popuser").status);
    try {
        MaildirManager::getInstance();
        ADD_FAILURE() << "no error";
    } catch (const ostra::SystemError& e) {
        EXPECT_EQ(0u, std::string(e.what()).find("user popuser not found")) << e.what();
    }
    ASSERT_EQ(0, mxtest::run("useradd --system -U -M -d /var/qmail/mailnames -s "
                             "/usr/sbin/nologin popuser")
                     .status);
}

TEST_F(MaildirManagerTest, RemovingAbsentOrDanglingHomes)
{
    mm().createDomainRoot("example.com");
    EXPECT_NO_THROW(mm().removeMailnameHome("example.com", "nobody"));
    fs::create_symlink("/nonexistent/target", ROOT + "/example.com/ghost");
    mm().removeMailnameHome("example.com", "ghost");
    EXPECT_FALSE(fs::exists(fs::symlink_status(ROOT + "/example.com/ghost")));

    // A link to a real tree goes; the tree it points to stays.
    fs::create_directories("/var/elsewhere/keep");
    fs::create_symlink("/var/elsewhere", ROOT + "/example.com/linked");
    mm().removeMailnameHome("example.com", "linked");
    EXPECT_TRUE(fs::is_directory("/var/elsewhere/keep"));

    mm().createMailnameHome("example.com", "info");
    mxtest::writeFile(ROOT + "/example.com/info/Maildir/new/1", "x");
    mm().removeMailnameHome("example.com", "info");
    EXPECT_FALSE(fs::exists(ROOT + "/example.com/info"));
    EXPECT_TRUE(fs::is_directory(ROOT + "/example.com"));
}

TEST_F(MaildirManagerTest, RenameMovesTheHome)
{
    mm().createMailnameHome("example.com", "old");
    mxtest::writeFile(ROOT + "/example.com/old/Maildir/new/1", "mail");
    mm().renameMailnameHome("example.com", "old", "new");
    EXPECT_FALSE(fs::exists(ROOT + "/example.com/old"));
    EXPECT_EQ("mail", mxtest::readFile(ROOT + "/example.com/new/Maildir/new/1"));

    // Onto a home that holds mail: refused, both stay.
    mm().createMailnameHome("example.com", "other");
    mxtest::writeFile(ROOT + "/example.com/other/Maildir/new/2", "other");
    EXPECT_THROW(mm().renameMailnameHome("example.com", "new", "other"), fs::filesystem_error);
    EXPECT_EQ("mail", mxtest::readFile(ROOT + "/example.com/new/Maildir/new/1"));
    EXPECT_EQ("other", mxtest::readFile(ROOT + "/example.com/other/Maildir/new/2"));
    EXPECT_THROW(mm().renameMailnameHome("example.com", "absent", "x"), fs::filesystem_error);
}

TEST_F(MaildirManagerTest, BackupsCarryTheInodeNumber)
{
    mm().createMailnameHome("example.com", "info");
    mxtest::writeFile(ROOT + "/example.com/info/Maildir/new/1", "kept");
    struct stat st;
    ASSERT_EQ(0, stat((ROOT + "/example.com/info").c_str(), &st));
    mm().backupMailnameHome("example.com", "info");
    std::string saved = ROOT + "/example.com/info.OstraSaved." + std::to_string(st.st_ino);
    EXPECT_EQ("kept", mxtest::readFile(saved + "/Maildir/new/1"));
    EXPECT_FALSE(fs::exists(ROOT + "/example.com/info"));

    ASSERT_EQ(0, stat((ROOT + "/example.com").c_str(), &st));
    mm().backupDomainRoot("example.com");
    EXPECT_TRUE(fs::is_directory(ROOT + "/example.com.OstraSaved." + std::to_string(st.st_ino)));
    EXPECT_FALSE(fs::exists(ROOT + "/example.com"));
}

TEST_F(MaildirManagerTest, BackingUpAbsentDirectoriesRenamesNothing)
{
    fs::create_directories(ROOT);
    EXPECT_NO_THROW(mm().backupDomainRoot("example.com"));
    EXPECT_NO_THROW(mm().backupMailnameHome("example.com", "info"));
    EXPECT_TRUE(fs::is_empty(ROOT));
}

TEST_F(MaildirManagerTest, RemovingADomainRootLeavesNoBackup)
{
    mm().createMailnameHome("example.com", "info");
    mm().createMailnameHome("example.org", "info");
    mm().removeDomainRoot("example.com");
    EXPECT_FALSE(fs::exists(ROOT + "/example.com"));
    for (fs::directory_iterator it(ROOT), end; it != end; ++it)
        EXPECT_EQ("example.org", it->path().filename().string());
    EXPECT_NO_THROW(mm().removeDomainRoot("example.com"));
}

} // namespace
