// courier_params_systest.cc - the four Courier-IMAP files under the default
// root and the restart through a stand-in init script that records its calls.
#include "mail/lib/courier_params.h"

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "systest.h"

namespace {

const std::string CONF_DIR = "/etc/courier-imap/";
const char* const FILES[] = {"imapd", "imapd-ssl", "pop3d", "pop3d-ssl"};
const std::string INIT_SCRIPT = "/etc/init.d/courier-imap";
const std::string CALLS = "/tmp/courier.calls";

class CourierParamsSysTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* sandbox = std::getenv("SANDBOX");
        ASSERT_TRUE(sandbox && std::string(sandbox) == "1")
            << "system tests write fixed paths; run them through tests/support/sandbox.sh";
        // A clean start also when every case runs in one sandbox by hand.
        ASSERT_EQ(0, mxtest::run("rm -rf " + CONF_DIR + " " + CALLS).status);
        mxtest::makeDirs(CONF_DIR);
        installCourier(0);
    }

    // installCourier - the stand-in init script: records "action" lines, exits with status.
    static void installCourier(int status)
    {
        mxtest::installScript(INIT_SCRIPT,
                              "echo \"$1\" >>" + CALLS + "\nexit " + std::to_string(status) + "\n");
    }
    static std::string calls() { return mxtest::fileExists(CALLS) ? mxtest::readFile(CALLS) : ""; }
    // writeAll - the same content in every Courier file.
    static void writeAll(const std::string& content)
    {
        for (const char* f : FILES)
            mxtest::writeFile(CONF_DIR + f, content);
    }
};

TEST_F(CourierParamsSysTest, RelayOnlyEditsEveryFileAndRestartsOnce)
{
    writeAll("POPAUTH=1\nSHORTNAMES=1\nPOPLOCK_TIME=600\nMAXDAEMONS=40\n");
    ASSERT_EQ(0, set_courier_params(1, 0, -1, 0));
    for (const char* f : FILES) {
        EXPECT_EQ("POPLOCK_TIME=600\nMAXDAEMONS=40\nRELAYCLIENT=\n", mxtest::readFile(CONF_DIR + f))
            << f;
        EXPECT_EQ(0600, mxtest::fileMode(CONF_DIR + f)) << f;
        EXPECT_EQ("root:root", mxtest::fileOwner(CONF_DIR + f)) << f;
    }
    EXPECT_EQ("restart\n", calls());
}

TEST_F(CourierParamsSysTest, PopAuthWithLockTimeAndShortNames)
{
    writeAll("RELAYCLIENT=\nPOPLOCK_TIME=60\nPOPLOCK_TIME=90\n");
    ASSERT_EQ(0, set_courier_params(0, 1, 300, 1));
    for (const char* f : FILES)
        EXPECT_EQ("POPLOCK_TIME=300\nPOPAUTH=1\nSHORTNAMES=1\n", mxtest::readFile(CONF_DIR + f))
            << f;
}

TEST_F(CourierParamsSysTest, LockTimeZeroRemovesIt)
{
    writeAll("POPLOCK_TIME=60\nA=1\n");
    ASSERT_EQ(0, set_courier_params(0, 0, 0, 0));
    for (const char* f : FILES)
        EXPECT_EQ("A=1\n", mxtest::readFile(CONF_DIR + f)) << f;
}

TEST_F(CourierParamsSysTest, ShortNamesAloneLeaveOtherVariables)
{
    writeAll("RELAYCLIENT=\nPOPAUTH=1\nSHORTNAMES=1\n");
    ASSERT_EQ(0, set_courier_shortnames_params(0));
    for (const char* f : FILES)
        EXPECT_EQ("RELAYCLIENT=\nPOPAUTH=1\n", mxtest::readFile(CONF_DIR + f)) << f;
    ASSERT_EQ(0, set_courier_shortnames_params(1));
    for (const char* f : FILES)
        EXPECT_EQ("RELAYCLIENT=\nPOPAUTH=1\nSHORTNAMES=1\n", mxtest::readFile(CONF_DIR + f)) << f;
    EXPECT_EQ("restart\nrestart\n", calls());
}

TEST_F(CourierParamsSysTest, MissingFileIsSkippedAndCourierStillRestarts)
{
    writeAll("A=1\n");
    ASSERT_EQ(0, std::remove((CONF_DIR + "pop3d").c_str()));
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, set_courier_params(1, 0, -1, 0));
    EXPECT_EQ("Unable to open //etc/courier-imap/pop3d: No such file or directory\n",
              testing::internal::GetCapturedStderr());
    EXPECT_FALSE(mxtest::fileExists(CONF_DIR + "pop3d"));
    EXPECT_EQ("A=1\nRELAYCLIENT=\n", mxtest::readFile(CONF_DIR + "pop3d-ssl"));
    EXPECT_EQ("restart\n", calls());
}

TEST_F(CourierParamsSysTest, FailingFileStopsTheWalkWithoutRestart)
{
    writeAll("A=1\n");
    ASSERT_EQ(0, std::remove((CONF_DIR + "imapd-ssl").c_str()));
    mxtest::makeDirs(CONF_DIR + "imapd-ssl");
    EXPECT_EQ(-1, set_courier_params(1, 0, -1, 0));
    EXPECT_EQ("A=1\nRELAYCLIENT=\n", mxtest::readFile(CONF_DIR + "imapd"));
    EXPECT_EQ("A=1\n", mxtest::readFile(CONF_DIR + "pop3d"));
    EXPECT_EQ("A=1\n", mxtest::readFile(CONF_DIR + "pop3d-ssl"));
    // No temporary file is left beside the files.
    EXPECT_EQ("imapd\nimapd-ssl\npop3d\npop3d-ssl\n",
              mxtest::run("LC_ALL=C ls -A " + CONF_DIR).out);
    EXPECT_EQ("", calls());
}

TEST_F(CourierParamsSysTest, RestartFailureOrMissingScriptIsFailure)
{
    writeAll("");
    installCourier(1);
    EXPECT_EQ(-1, set_courier_params(1, 0, -1, 0));
    EXPECT_EQ("restart\n", calls());
    ASSERT_EQ(0, std::remove(INIT_SCRIPT.c_str()));
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, set_courier_shortnames_params(0));
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find(
                                     "Unable to find start/stop script for 'courier-imap'"));
    // The files were edited before the restart was attempted.
    EXPECT_EQ("RELAYCLIENT=\n", mxtest::readFile(CONF_DIR + "imapd"));
}

} // namespace
