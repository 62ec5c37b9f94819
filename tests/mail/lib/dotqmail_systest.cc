// dotqmail_systest.cc - ".qmail" edits and their popuser ownership, inside the
// sandbox (which has the popuser account).
#include "mail/lib/dotqmail.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "ostra/errors.h"
#include "systest.h"

namespace fs = boost::filesystem;
using mxtest::readFile;
using mxtest::writeFile;
using ostra::SystemError;
using ostra::mail::DotQMailManager;

namespace {

const std::string DELIVERY = "| /usr/bin/deliverquota ./Maildir\n";

class DotQMailTest : public testing::Test {
protected:
    void SetUp() override
    {
        struct passwd* pw = getpwnam("popuser");
        ASSERT_NE(nullptr, pw);
        uid_ = pw->pw_uid;
        gid_ = pw->pw_gid;
        path_ = dir_.file(".qmail");
    }

    // expectOwnedByPopuser - popuser's file, mode 0600.
    void expectOwnedByPopuser()
    {
        struct stat st;
        ASSERT_EQ(0, lstat(path_.c_str(), &st));
        EXPECT_EQ(uid_, st.st_uid);
        EXPECT_EQ(gid_, st.st_gid);
        EXPECT_EQ(0600u, st.st_mode & 07777);
    }

    // expectRefused - the edit throws "unable to modify <path>" and leaves the
    // file as it was.
    void expectRefused(const std::function<void()>& edit)
    {
        std::string before = fs::exists(path_) ? readFile(path_) : "<absent>";
        try {
            edit();
            ADD_FAILURE() << "no error";
        } catch (const SystemError& e) {
            EXPECT_EQ(0u, std::string(e.what()).find("unable to modify " + path_)) << e.what();
        }
        EXPECT_EQ(before, fs::exists(path_) ? readFile(path_) : "<absent>");
    }

    mxtest::TempDir dir_;
    std::string path_;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
};

TEST_F(DotQMailTest, LinesKeepTheOrderOfTheirLastAddition)
{
    DotQMailManager q(path_);
    q.reset();
    EXPECT_EQ("| true\n", readFile(path_));
    expectOwnedByPopuser();
    q.enableDelivery();
    expectOwnedByPopuser();
    q.addRedirect("a@example.com", DotQMailManager::End);
    q.addRedirect("b@example.org");
    expectOwnedByPopuser();
    EXPECT_EQ("| true\n" + DELIVERY + "&a@example.com\n&b@example.org\n", readFile(path_));

    // Adding again moves to the end, never duplicates.
    q.addRedirect("a@example.com");
    q.enableDelivery();
    q.enableDelivery();
    EXPECT_EQ("| true\n&b@example.org\n&a@example.com\n" + DELIVERY, readFile(path_));

    q.removeRedirect("b@example.org");
    q.disableDelivery();
    expectOwnedByPopuser();
    EXPECT_EQ("| true\n&a@example.com\n", readFile(path_));
}

TEST_F(DotQMailTest, LegacyDeliveryLineIsReplacedOrRemoved)
{
    writeFile(path_, "| true\n./Maildir/\n&x@example.com\n./Maildir/\n", 0644);
    DotQMailManager q(path_);
    q.enableDelivery();
    EXPECT_EQ("| true\n&x@example.com\n" + DELIVERY, readFile(path_));
    expectOwnedByPopuser();

    writeFile(path_, "./Maildir/\n" + DELIVERY + "&x@example.com\n", 0644);
    q.disableDelivery();
    EXPECT_EQ("&x@example.com\n", readFile(path_));
    expectOwnedByPopuser();
}

TEST_F(DotQMailTest, InternationalForwardIsStoredInAsciiAndRemovedInEitherForm)
{
    DotQMailManager q(path_);
    q.reset();
    q.addRedirect("j\xc3\xbcrgen@b\xc3\xbc"
                  "cher.example");
    q.addRedirect("info@b\xc3\xbc"
                  "cher.example");
    EXPECT_EQ("| true\n&j\xc3\xbcrgen@xn--bcher-kva.example\n&info@xn--bcher-kva.example\n",
              readFile(path_));
    q.removeRedirect("j\xc3\xbcrgen@xn--bcher-kva.example");
    q.removeRedirect("info@b\xc3\xbc"
                     "cher.example");
    EXPECT_EQ("| true\n", readFile(path_));
}

TEST_F(DotQMailTest, RemovingAnAbsentForwardChangesOnlyOwnership)
{
    writeFile(path_, "| true\n&other@example.com\n", 0666);
    ASSERT_EQ(0, chown(path_.c_str(), 0, 0));
    DotQMailManager(path_).removeRedirect("absent@example.com");
    EXPECT_EQ("| true\n&other@example.com\n", readFile(path_));
    expectOwnedByPopuser();
}

TEST_F(DotQMailTest, BadForwardAddressesAreRefused)
{
    DotQMailManager q(path_);
    q.reset();
    expectRefused([&] { q.addRedirect("no-at-sign"); });
    expectRefused([&] { q.removeRedirect("no-at-sign"); });
    expectRefused([&] { q.addRedirect("x@example.com\n| /bin/sh -c evil"); });
    expectRefused([&] { q.addRedirect("x@" + std::string(70, 'a') + ".example"); });
}

TEST_F(DotQMailTest, MissingFile)
{
    DotQMailManager q(path_);
    expectRefused([&] { q.disableDelivery(); });
    expectRefused([&] { q.removeRedirect("a@example.com"); });
    EXPECT_FALSE(fs::exists(path_));

    q.addRedirect("a@example.com");
    EXPECT_EQ("&a@example.com\n", readFile(path_));
    expectOwnedByPopuser();
    fs::remove(path_);
    q.enableDelivery();
    EXPECT_EQ(DELIVERY, readFile(path_));
    expectOwnedByPopuser();
}

TEST_F(DotQMailTest, ResetReplacesEverythingButNeverFollowsALink)
{
    writeFile(path_, "&a@example.com\n" + DELIVERY, 0644);
    DotQMailManager(path_).reset();
    EXPECT_EQ("| true\n", readFile(path_));
    expectOwnedByPopuser();

    // A link planted in the mail home is replaced, its target left alone;
    // the edits that read the file refuse it.
    fs::remove(path_);
    std::string victim = dir_.file("victim");
    writeFile(victim, "precious\n", 0644);
    fs::create_symlink(victim, path_);
    DotQMailManager q(path_);
    expectRefused([&] { q.enableDelivery(); });
    expectRefused([&] { q.addRedirect("a@example.com"); });
    expectRefused([&] { q.removeRedirect("a@example.com"); });
    EXPECT_TRUE(fs::is_symlink(path_));
    q.reset();
    EXPECT_FALSE(fs::is_symlink(path_));
    EXPECT_EQ("| true\n", readFile(path_));
    expectOwnedByPopuser();
    EXPECT_EQ("precious\n", readFile(victim));
    struct stat st;
    ASSERT_EQ(0, stat(victim.c_str(), &st));
    EXPECT_EQ(0u, st.st_uid);
    EXPECT_EQ(0644u, st.st_mode & 07777);
}

TEST_F(DotQMailTest, AnAddedLineFollowsALastLineWithoutItsNewline)
{
    writeFile(path_, "| true\n&a@example.com", 0644);
    DotQMailManager(path_).enableDelivery();
    EXPECT_EQ("| true\n&a@example.com\n" + DELIVERY, readFile(path_));
    writeFile(path_, "| true\n&a@example.com", 0644);
    DotQMailManager(path_).removeRedirect("a@example.com");
    EXPECT_EQ("| true\n", readFile(path_));
}

// Edit - one change of the file and what it makes of START.
struct Edit {
    const char* label;
    std::function<void(DotQMailManager&)> apply;
    std::string result;
};

void PrintTo(const Edit& e, std::ostream* os)
{
    *os << e.label;
}

const std::string START = "| true\n./Maildir/\n&a@example.com\n";

class DotQMailEdit : public DotQMailTest, public testing::WithParamInterface<Edit> {
protected:
    std::string tmp() const { return path_ + ".tmp"; }

    // expectOnlyTheFile - nothing but the file is left in the mail home.
    void expectOnlyTheFile()
    {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_.path()))
            names.push_back(e.path().filename().string());
        EXPECT_EQ(std::vector<std::string>{".qmail"}, names);
    }
};

TEST_P(DotQMailEdit, ReplacesAStaleTemporaryOfAKilledRun)
{
    writeFile(path_, START, 0644);
    writeFile(tmp(), "| true\n&half-written@exa", 0644);
    DotQMailManager q(path_);
    GetParam().apply(q);
    EXPECT_EQ(GetParam().result, readFile(path_));
    expectOwnedByPopuser();
    expectOnlyTheFile();
}

TEST_P(DotQMailEdit, NeverFollowsALinkPlantedAsTheTemporary)
{
    writeFile(path_, START, 0644);
    std::string victim = dir_.file("victim");
    writeFile(victim, "precious\n", 0644);
    fs::create_symlink(victim, tmp());
    DotQMailManager q(path_);
    GetParam().apply(q);
    EXPECT_EQ(GetParam().result, readFile(path_));
    expectOwnedByPopuser();
    EXPECT_EQ("precious\n", readFile(victim));
    EXPECT_FALSE(fs::exists(tmp()));
}

TEST_P(DotQMailEdit, LeavesTheFileAsItWasWhenTheTemporaryCannotBeWritten)
{
    // The file is root's with mode 0644, so that any change would show.
    writeFile(path_, START, 0644);
    fs::create_directory(tmp());
    writeFile(tmp() + "/keep", "", 0644);
    DotQMailManager q(path_);
    expectRefused([&] { GetParam().apply(q); });
    struct stat st;
    ASSERT_EQ(0, lstat(path_.c_str(), &st));
    EXPECT_EQ(0u, st.st_uid);
    EXPECT_EQ(0644u, st.st_mode & 07777);
    EXPECT_TRUE(fs::exists(tmp() + "/keep"));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Edits, DotQMailEdit, testing::Values(
    Edit{"reset", [](DotQMailManager& q) { q.reset(); }, "| true\n"},
    Edit{"enableDelivery", [](DotQMailManager& q) { q.enableDelivery(); },
         "| true\n&a@example.com\n" + DELIVERY},
    Edit{"disableDelivery", [](DotQMailManager& q) { q.disableDelivery(); },
         "| true\n&a@example.com\n"},
    Edit{"addRedirect", [](DotQMailManager& q) { q.addRedirect("b@example.org"); },
         START + "&b@example.org\n"},
    Edit{"addRedirect again", [](DotQMailManager& q) { q.addRedirect("a@example.com"); },
         "| true\n./Maildir/\n&a@example.com\n"},
    Edit{"removeRedirect", [](DotQMailManager& q) { q.removeRedirect("a@example.com"); },
         "| true\n./Maildir/\n"}));
// clang-format on

TEST_F(DotQMailTest, MissingPopuserFailsEveryChange)
{
    ASSERT_EQ(0, mxtest::run("userdel popuser").status);
    EXPECT_THROW(DotQMailManager(path_).reset(), SystemError);
    EXPECT_FALSE(fs::exists(path_)) << "a failed reset leaves no file";
    // Nothing is changed before the owner is known.
    writeFile(path_, "| true\n", 0644);
    EXPECT_NE(0, dotqmail_add_delivery(path_.c_str()));
    EXPECT_EQ("| true\n", readFile(path_));
    EXPECT_EQ(0644, mxtest::fileMode(path_));
    ASSERT_EQ(0, mxtest::run("useradd --system -U -M -d /var/qmail/mailnames -s "
                             "/usr/sbin/nologin popuser")
                     .status);
}

} // namespace
