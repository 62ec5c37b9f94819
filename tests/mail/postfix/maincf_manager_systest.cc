// maincf_manager_systest.cc - main.cf parameters through the real postconf, and the
// manager's handling of postconf's answers through a stand-in that records its calls.
#include "mail/postfix/maincf_manager.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "mail/postfix/postfix_errors.h"
#include "systest.h"

using namespace ostra::mail::postfix;

namespace {

const std::string MAIN_CF = "/etc/postfix/main.cf";
const std::string POSTCONF = "/usr/sbin/postconf";
// The real tool, moved aside while a stand-in takes its place.
const std::string REAL_POSTCONF = "/usr/sbin/postconf.real";
const std::string CALLS = "/tmp/postconf.calls";
const std::string BLACKLIST = "hash:/var/spool/postfix/ostra/blacklists";

// inode - the inode of path, 0 when absent; postconf -e replaces main.cf by rename.
ino_t inode(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// md5 - the hexadecimal MD5 digest of text, as the hashed lock names use it.
std::string md5(const std::string& text)
{
    return mxtest::run("printf %s '" + text + "' | md5sum | cut -c1-32").out.substr(0, 32);
}

class MainCfSysTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* sandbox = std::getenv("SANDBOX");
        ASSERT_TRUE(sandbox && std::string(sandbox) == "1")
            << "system tests write fixed paths; run them through tests/support/sandbox.sh";
    }

    // useStockMainCf - the package's main.cf plus extra lines, already cooled down.
    void useStockMainCf(const std::string& extra = "")
    {
        useMainCf(mxtest::readFile("/usr/share/postfix/main.cf.debian") + extra);
    }
    // useMainCf - main.cf with exactly text, already cooled down.
    void useMainCf(const std::string& text)
    {
        mxtest::writeFile(MAIN_CF, text);
        coolDown();
    }
    // coolDown - back-date main.cf so that the next postconf does not pause for it.
    void coolDown() { ASSERT_EQ(0, mxtest::run("touch -d '-1 min' " + MAIN_CF).status); }

    // configured - the value in main.cf as the real postconf reads it.
    std::string configured(const std::string& name)
    {
        mxtest::RunResult r = mxtest::run(POSTCONF + " -h " + name);
        EXPECT_EQ(0, r.status) << r.err;
        return r.out;
    }
    // explicitly - the "name = value" line when main.cf sets name, else empty.
    std::string explicitly(const std::string& name)
    {
        return mxtest::run(POSTCONF + " -n " + name).out;
    }

    // edit - run one edit, then back-date main.cf; whether main.cf was rewritten.
    bool edit(const std::function<void(MainCfManager&)>& change)
    {
        const ino_t before = inode(MAIN_CF);
        change(MainCfManager::getInstance());
        coolDown();
        return inode(MAIN_CF) != before;
    }
};

TEST_F(MainCfSysTest, ReadsConfiguredValuesAndBuiltInDefaults)
{
    useStockMainCf("message_size_limit =   1000   \n");
    MainCfManager& maincf = MainCfManager::getInstance();
    EXPECT_EQ(MAIN_CF, maincf.mainCfPath());
    EXPECT_EQ("1000", maincf.getStringValue("message_size_limit", false));
    EXPECT_EQ("10240000", maincf.getStringValue("message_size_limit", true));
    EXPECT_EQ("no", maincf.getStringValue("biff", false));
    EXPECT_EQ("", maincf.getStringValue("smtpd_helo_restrictions", false));
    // Postfix only warns about an unknown name: an empty value, no failure.
    EXPECT_EQ("", maincf.getStringValue("no_such_parameter", false));
}

TEST_F(MainCfSysTest, ReplaceSetsExactlyTheValueAndKeepsTheRest)
{
    useStockMainCf();
    const std::string value = "permit_mynetworks, check_client_access " + BLACKLIST;
    EXPECT_TRUE(
        edit([&](MainCfManager& m) { m.replaceStringValue("smtpd_client_restrictions", value); }));
    EXPECT_EQ(value + "\n", configured("smtpd_client_restrictions"));
    EXPECT_EQ("$myhostname ESMTP $mail_name (Debian/GNU)\n", configured("smtpd_banner"));
    EXPECT_NE(0u, inode("/var/lock/files/" + md5(MAIN_CF))) << "the write took the main.cf lock";
}

TEST_F(MainCfSysTest, ListEditsWriteOnlyWhenTheListChanges)
{
    useStockMainCf();
    const std::string param = "smtpd_client_restrictions";
    EXPECT_TRUE(edit([&](MainCfManager& m) { m.appendStringValue(param, "permit_mynetworks"); }));
    EXPECT_EQ("permit_mynetworks\n", configured(param));
    EXPECT_FALSE(edit([&](MainCfManager& m) { m.appendStringValue(param, "permit_mynetworks"); }));

    EXPECT_TRUE(edit([&](MainCfManager& m) {
        m.appendCompoundStringValue(param, "check_client_access", BLACKLIST);
    }));
    EXPECT_EQ("permit_mynetworks, check_client_access " + BLACKLIST + "\n", configured(param));
    EXPECT_FALSE(edit([&](MainCfManager& m) {
        m.appendCompoundStringValue(param, "check_client_access", BLACKLIST);
    }));

    EXPECT_TRUE(edit([&](MainCfManager& m) { m.removeListElement(param, "permit_mynetworks"); }));
    // Removal splits at blanks too, so a keyword and its argument become two elements.
    EXPECT_EQ("check_client_access, " + BLACKLIST + "\n", configured(param));
    EXPECT_FALSE(edit([&](MainCfManager& m) { m.removeListElement(param, "permit_mynetworks"); }));
}

TEST_F(MainCfSysTest, RemovingTheOnlyElementLeavesAnEmptyValue)
{
    useStockMainCf("smtpd_helo_restrictions = reject_invalid_helo_hostname\n");
    EXPECT_TRUE(edit([](MainCfManager& m) {
        m.removeListElement("smtpd_helo_restrictions", "reject_invalid_helo_hostname");
    }));
    EXPECT_EQ("\n", configured("smtpd_helo_restrictions"));
    EXPECT_EQ("smtpd_helo_restrictions =\n", explicitly("smtpd_helo_restrictions"));
}

TEST_F(MainCfSysTest, MynetworksDefaultIsReadAsTheLoopbackNetwork)
{
    // Without a compatibility level the configured value is the computed default.
    useMainCf("");
    MainCfManager& maincf = MainCfManager::getInstance();
    EXPECT_EQ("127.0.0.0/8", maincf.getStringValue("mynetworks", false));
    // Present already, but written back so that the host's default is never stored.
    EXPECT_TRUE(edit([](MainCfManager& m) { m.appendStringValue("mynetworks", "127.0.0.0/8"); }));
    EXPECT_EQ("mynetworks = 127.0.0.0/8\n", explicitly("mynetworks"));
    EXPECT_TRUE(edit([](MainCfManager& m) { m.appendStringValue("mynetworks", "10.0.0.0/8"); }));
    EXPECT_EQ("127.0.0.0/8, 10.0.0.0/8\n", configured("mynetworks"));
}

TEST_F(MainCfSysTest, MynetworksOtherThanTheComputedDefaultIsKept)
{
    // The stock file's compatibility level makes the value host-only, unlike the default.
    useStockMainCf();
    const std::string value = configured("mynetworks");
    ASSERT_NE(value, mxtest::run(POSTCONF + " -h -d mynetworks").out);
    EXPECT_EQ(value, MainCfManager::getInstance().getStringValue("mynetworks", false) + "\n");
}

TEST_F(MainCfSysTest, MynetworksDefaultNamesTheFirstInterfaceOutsideLoopback)
{
    // Only interfaces with an address are listed: without lo's, the veth end comes first.
    ASSERT_EQ(0, mxtest::run("ip link add v0 type veth peer name v1 && "
                             "ip addr add 192.0.2.10/24 dev v0 && ip link set v0 up && "
                             "ip addr del 127.0.0.1/8 dev lo")
                     .status);
    const std::string computed = mxtest::run(POSTCONF + " -h -d mynetworks").out;
    ASSERT_NE(std::string::npos, computed.find("192.0.2.0/24")) << computed;
    useMainCf("mynetworks = " + computed.substr(0, computed.size() - 1) + ", 10.0.0.0/8\n");
    EXPECT_EQ("127.0.0.0/8, 192.0.2.10/32, 10.0.0.0/8",
              MainCfManager::getInstance().getStringValue("mynetworks", false));
    useMainCf("");
    EXPECT_EQ("127.0.0.0/8, 192.0.2.10/32",
              MainCfManager::getInstance().getStringValue("mynetworks", false));
}

// Stand-in postconf: records each call's arguments as "[a][b]" lines, answers
// config_directory itself and everything else from the script body.
class PostconfStandInTest : public MainCfSysTest {
protected:
    void SetUp() override
    {
        MainCfSysTest::SetUp();
        ASSERT_EQ(0, mxtest::run("mv " + POSTCONF + " " + REAL_POSTCONF).status);
    }

    // standIn - install the stand-in with body run after the recording.
    void standIn(const std::string& body)
    {
        mxtest::writeFile(POSTCONF,
                          "#!/bin/sh\n"
                          "for a; do printf '[%s]' \"$a\"; done >>" +
                              CALLS + "; echo >>" + CALLS +
                              "\n"
                              "if [ \"$*\" = '-h config_directory' ]; then echo /etc/postfix; "
                              "exit 0; fi\n" +
                              body + "\n",
                          0755);
    }
    // calls - the recorded calls, one per line.
    std::string calls() { return mxtest::readFile(CALLS); }

    // failure - the message of the PostfixConfigurationError that f throws.
    std::string failure(const std::function<void()>& f)
    {
        try {
            f();
        } catch (const PostfixConfigurationError& e) {
            return e.what();
        }
        return "(no PostfixConfigurationError)";
    }
};

TEST_F(PostconfStandInTest, ReadsRunPostconfWithExactlyTheArguments)
{
    standIn("printf '  \\t 42 \\n\\n'");
    MainCfManager& maincf = MainCfManager::getInstance();
    EXPECT_EQ("42", maincf.getStringValue("message_size_limit", false));
    EXPECT_EQ("42", maincf.getStringValue("message_size_limit", true));
    EXPECT_EQ("[-h][config_directory]\n"
              "[-h][message_size_limit]\n"
              "[-h][-d][message_size_limit]\n",
              calls());
}

struct AnswerCase {
    const char* label;
    std::string script;
    std::string message; // empty: the read succeeds with an empty value
};

class PostconfAnswers : public PostconfStandInTest,
                        public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(PostconfAnswers, FailedReadsCarryPostconfsOwnWords)
{
    standIn(GetParam().script);
    if (GetParam().message.empty()) {
        EXPECT_EQ("", MainCfManager::getInstance().getStringValue("x", false)) << GetParam().label;
        return;
    }
    EXPECT_EQ(GetParam().message,
              failure([] { MainCfManager::getInstance().getStringValue("x", false); }))
        << GetParam().label;
}

INSTANTIATE_TEST_SUITE_P(
    MainCf, PostconfAnswers,
    ::testing::Values(AnswerCase{"exit 1 in silence", "exit 1", "unknown error"},
                      AnswerCase{"exit 1 with a message", "echo 'postconf: fatal: bad' >&2; exit 1",
                                 "postconf: fatal: bad\n"},
                      AnswerCase{"exit 0 but fatal", "echo 'postconf: fatal: open main.cf' >&2",
                                 "postconf: fatal: open main.cf\n"},
                      AnswerCase{"exit 0 with an error line among warnings",
                                 "printf 'postconf: warning: a\\npostconf: error: b\\n' >&2",
                                 "postconf: warning: a\npostconf: error: b\n"},
                      AnswerCase{"killed", "kill -9 $$", "unknown error"},
                      AnswerCase{"only a warning",
                                 "echo 'postconf: warning: x: unknown parameter' >&2", ""},
                      AnswerCase{"nothing at all", "exit 0", ""}));

TEST_F(PostconfStandInTest, WritesRunPostconfEditUnderTheLock)
{
    const std::string lockFile = "/var/lock/files/" + md5(MAIN_CF);
    standIn("flock -n " + lockFile + " true && echo unlocked >>" + CALLS + "; exit 0");
    MainCfManager::getInstance().replaceStringValue("relayhost", "[mail.example.com]:587, x");
    EXPECT_EQ("[-h][config_directory]\n[-e][relayhost=[mail.example.com]:587, x]\n", calls());
}

struct EditCase {
    const char* label;
    std::function<void(MainCfManager&)> edit;
    std::string calls; // after the config_directory read
};

class ListEditLocks : public PostconfStandInTest, public ::testing::WithParamInterface<EditCase> {};

// Each run of a list edit, its read included, happens under the edit lock, so
// that no other run can write between the read and the write built on it; the
// main.cf lock is held only by the writing run.
TEST_P(ListEditLocks, ListEditsHoldTheEditLockFromReadToWrite)
{
    standIn("exit 0"); // only config_directory, for the lock names
    MainCfManager& maincf = MainCfManager::getInstance();
    const std::string editLock = "/var/lock/files/" + md5(maincf.editLockPath());
    const std::string mainLock = "/var/lock/files/" + md5(MAIN_CF);
    ASSERT_NE(editLock, mainLock);
    standIn("state() { flock -n \"$1\" true && echo free || echo held; }\n"
            "echo \"edit $(state " +
            editLock + ") main $(state " + mainLock + ")\" >>" + CALLS +
            "\n"
            "case \"$*\" in -h*mynetworks) echo 127.0.0.0/8 ;; -h*) echo 'a, b' ;; esac");
    mxtest::writeFile(CALLS, "");
    GetParam().edit(maincf);
    EXPECT_EQ(GetParam().calls, calls()) << GetParam().label;
    // Released: a later run is not kept waiting.
    EXPECT_EQ(0, mxtest::run("flock -n " + editLock + " true").status);
}

INSTANTIATE_TEST_SUITE_P(
    MainCf, ListEditLocks,
    ::testing::Values(
        EditCase{"append",
                 [](MainCfManager& m) { m.appendStringValue("smtpd_client_restrictions", "c"); },
                 "[-h][smtpd_client_restrictions]\nedit held main free\n"
                 "[-e][smtpd_client_restrictions=a, b, c]\nedit held main held\n"},
        EditCase{"append compound",
                 [](MainCfManager& m) {
                     m.appendCompoundStringValue("smtpd_client_restrictions", "check", "x");
                 },
                 "[-h][smtpd_client_restrictions]\nedit held main free\n"
                 "[-e][smtpd_client_restrictions=a, b, check x]\nedit held main held\n"},
        EditCase{"remove",
                 [](MainCfManager& m) { m.removeListElement("smtpd_client_restrictions", "a"); },
                 "[-h][smtpd_client_restrictions]\nedit held main free\n"
                 "[-e][smtpd_client_restrictions=b]\nedit held main held\n"},
        EditCase{"mynetworks, read twice",
                 [](MainCfManager& m) { m.appendStringValue("mynetworks", "10.0.0.1/32"); },
                 "[-h][mynetworks]\nedit held main free\n"
                 "[-h][-d][mynetworks]\nedit held main free\n"
                 "[-e][mynetworks=127.0.0.0/8, 10.0.0.1/32]\nedit held main held\n"},
        EditCase{"plain write", [](MainCfManager& m) { m.replaceStringValue("relayhost", "x"); },
                 "[-e][relayhost=x]\nedit held main held\n"}));

// Edits nest: a caller that holds the edit lock around several edits (read,
// compute, write) makes them one step for other runs, and the inner edits do
// not wait for their own process.
TEST_F(PostconfStandInTest, EditLockNestsWithinOneRun)
{
    standIn("exit 0"); // only config_directory, for the lock names
    MainCfManager& maincf = MainCfManager::getInstance();
    const std::string editLock = "/var/lock/files/" + md5(maincf.editLockPath());
    standIn("flock -n " + editLock + " true && echo unlocked >>" + CALLS + "; echo 'a'");
    mxtest::writeFile(CALLS, "");
    {
        MainCfManager::EditLock outer(maincf);
        const std::string value = maincf.getStringValue("smtpd_client_restrictions");
        maincf.replaceStringValue("smtpd_client_restrictions", value + ", b");
        maincf.appendStringValue("smtpd_client_restrictions", "c");
        EXPECT_NE(0, mxtest::run("flock -n " + editLock + " true").status) << "still held";
    }
    EXPECT_EQ("[-h][smtpd_client_restrictions]\n[-e][smtpd_client_restrictions=a, b]\n"
              "[-h][smtpd_client_restrictions]\n[-e][smtpd_client_restrictions=a, c]\n",
              calls());
    EXPECT_EQ(0, mxtest::run("flock -n " + editLock + " true").status) << "released at the end";
}

TEST_F(PostconfStandInTest, FailedWriteCarriesPostconfsOwnWords)
{
    standIn("case \"$1\" in -e) echo 'postconf: fatal: cannot write' >&2; exit 1 ;; esac");
    EXPECT_EQ("postconf: fatal: cannot write\n",
              failure([] { MainCfManager::getInstance().replaceStringValue("relayhost", "x"); }));
}

TEST_F(PostconfStandInTest, ConfigDirectoryFallsBackToTheBuiltInDefault)
{
    mxtest::writeFile(POSTCONF,
                      "#!/bin/sh\n"
                      "for a; do printf '[%s]' \"$a\"; done >>" +
                          CALLS + "; echo >>" + CALLS +
                          "\n"
                          "case \"$*\" in '-h -d config_directory') echo /etc/postfix ;; "
                          "*) exit 1 ;; esac\n",
                      0755);
    EXPECT_EQ(MAIN_CF, MainCfManager::getInstance().mainCfPath());
    EXPECT_EQ("[-h][config_directory]\n[-h][-d][config_directory]\n", calls());
}

TEST_F(PostconfStandInTest, EmptyConfigDirectoryIsAnError)
{
    mxtest::writeFile(POSTCONF, "#!/bin/sh\nexit 0\n", 0755);
    EXPECT_EQ("unable to determine Postfix config_directory parameter",
              failure([] { MainCfManager::getInstance(); }));
}

} // namespace
