// settings_spf_systest.cc - the --update-spf command and the SPF settings
// files it writes under "/etc/hsp-spf".
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "systest.h"

namespace {

const std::string SPF_DIR = "/etc/hsp-spf/";
const char* const SPF_FILES[] = {"spfbehavior", "spfrules", "spfguess", "spfexp"};
const std::string MAIN_CF = "/etc/postfix/main.cf";
const std::string POSTFIX_CALLS = "/tmp/postfix.calls";

class UpdateSpfSysTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* sandbox = std::getenv("SANDBOX");
        ASSERT_TRUE(sandbox && std::string(sandbox) == "1")
            << "system tests write fixed paths; run them through tests/support/sandbox.sh";
        ASSERT_EQ(0, mxtest::run("rm -rf " + SPF_DIR + " " + POSTFIX_CALLS).status);
        mxtest::installScript("/etc/init.d/postfix", "echo \"$1\" >>" + POSTFIX_CALLS + "\n");
        mxtest::makeDirs(SPF_DIR);
        for (const char* f : SPF_FILES)
            mxtest::writeFile(SPF_DIR + f, std::string("old ") + f);
    }

    // contents - the four files, "name=content" joined by "|"; "-" for a missing file.
    static std::string contents()
    {
        std::string all;
        for (const char* f : SPF_FILES)
            all += std::string(all.empty() ? "" : "|") + f + "=" +
                   (mxtest::fileExists(SPF_DIR + f) ? mxtest::readFile(SPF_DIR + f) : "-");
        return all;
    }
};

TEST_F(UpdateSpfSysTest, WritesOnlyTheGivenSettings)
{
    const struct {
        const char* args;
        const char* after;
    } cases[] = {
        {"", "spfbehavior=old spfbehavior|spfrules=old spfrules|spfguess=old spfguess|"
             "spfexp=old spfexp"},
        {"--spf-rules='a:mail.example.com include:_spf.example.net'",
         "spfbehavior=old spfbehavior|spfrules=a:mail.example.com include:_spf.example.net|"
         "spfguess=old spfguess|spfexp=old spfexp"},
        {"--spf-rules=-", "spfbehavior=old spfbehavior|spfrules=|spfguess=old spfguess|"
                          "spfexp=old spfexp"},
        {"--spf-behavior=3 --spf-guess v=spf1\\ mx --spf-exp='See %{h}' --spf-rules=r",
         "spfbehavior=3|spfrules=r|spfguess=v=spf1 mx|spfexp=See %{h}"},
        {"--spf-exp=' - '", "spfbehavior=3|spfrules=r|spfguess=v=spf1 mx|spfexp= - "},
    };
    for (const auto& c : cases) {
        const mxtest::RunResult r = mxtest::mxadmin(std::string("--update-spf ") + c.args);
        EXPECT_EQ(0, r.status) << c.args << "\n" << r.err;
        EXPECT_EQ("", r.out) << c.args;
        EXPECT_EQ(c.after, contents()) << c.args;
    }
    // Neither main.cf nor Postfix is touched.
    EXPECT_EQ("", mxtest::readFile(MAIN_CF));
    EXPECT_FALSE(mxtest::fileExists(POSTFIX_CALLS));
}

TEST_F(UpdateSpfSysTest, MissingFileIsCreated)
{
    ASSERT_EQ(0, std::remove((SPF_DIR + "spfguess").c_str()));
    ASSERT_EQ(0, mxtest::mxadmin("--update-spf --spf-guess=g").status);
    EXPECT_EQ("g", mxtest::readFile(SPF_DIR + "spfguess"));
}

TEST_F(UpdateSpfSysTest, FirstFailureStopsAndLeavesLaterFiles)
{
    ASSERT_EQ(0, std::remove((SPF_DIR + "spfrules").c_str()));
    mxtest::makeDirs(SPF_DIR + "spfrules");
    const mxtest::RunResult r =
        mxtest::mxadmin("--update-spf --spf-behavior=1 --spf-rules=r --spf-guess=g --spf-exp=e");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Unable to open file /etc/hsp-spf/spfrules for writing: Is a directory\n"
              "Unable to update 'spf_rules' parameter\n",
              r.err);
    EXPECT_EQ("1", mxtest::readFile(SPF_DIR + "spfbehavior"));
    EXPECT_EQ("old spfguess", mxtest::readFile(SPF_DIR + "spfguess"));
    EXPECT_EQ("old spfexp", mxtest::readFile(SPF_DIR + "spfexp"));
}

TEST_F(UpdateSpfSysTest, MissingDirectoryFails)
{
    ASSERT_EQ(0, mxtest::run("rm -rf " + SPF_DIR).status);
    const mxtest::RunResult r = mxtest::mxadmin("--update-spf --spf-exp=e");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Unable to open file /etc/hsp-spf/spfexp for writing: No such file or directory\n"
              "Unable to update 'spf_exp' parameter\n",
              r.err);
    EXPECT_FALSE(mxtest::fileExists(SPF_DIR));
}

TEST_F(UpdateSpfSysTest, OptionErrors)
{
    mxtest::RunResult r = mxtest::mxadmin("--update-spf --spf-rules=a --spf-rules=b");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("option '--spf-rules' cannot be specified more than once\n", r.err);
    r = mxtest::mxadmin("--update-spf --spf-rule=a");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("unrecognised option '--spf-rule=a'\n", r.err);
    EXPECT_EQ("old spfrules", mxtest::readFile(SPF_DIR + "spfrules"));
}

} // namespace
