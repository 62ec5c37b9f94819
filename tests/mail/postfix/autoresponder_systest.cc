// autoresponder_systest.cc - the autoresponder switch: one "autoresponder"
// recipient handler per address, in the registry and the before-local queue.
#include "mail/postfix/autoresponder.h"

#include <unistd.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mail/handlers/lib/handlers.h"
#include "systest.h"
#include "tests/mail/handlers/lib/handler_fixture.h"

using mxtest::captured;
using mxtest::entries;
using mxtest::fileExists;
using mxtest::readFile;

namespace {

const std::string INFO = "/usr/local/hsp/handlers/info";
const std::string QUEUE = "/usr/local/hsp/handlers/before-local/recipient";

// addresses - the type values of the registry, sorted.
std::vector<std::string> addresses()
{
    std::vector<std::string> values;
    for (const std::string& name : entries(INFO))
        values.push_back(readFile(INFO + "/" + name + "/recipient"));
    std::sort(values.begin(), values.end());
    return values;
}

class Autoresponder : public testing::Test {
protected:
    void SetUp() override { mxtest::installScript(AUTORESPONDER_EXECUTABLE, "exit 0\n"); }
};

TEST_F(Autoresponder, EnableRegistersTheBuiltInHandlerOncePerAddress)
{
    EXPECT_EQ(0, autoresponder_action("john, jane", "x.com", HOOK_ENABLE));
    EXPECT_EQ(0, autoresponder_action("john", "x.com", HOOK_ENABLE));
    std::vector<std::string> names = entries(INFO);
    ASSERT_EQ(2u, names.size());
    EXPECT_EQ((std::vector<std::string>{"jane@x.com\n", "john@x.com\n"}), addresses());
    for (const std::string& name : names) {
        EXPECT_TRUE(std::regex_match(name, std::regex("90-autoresponder-[A-Za-z0-9]{6}"))) << name;
        std::string dir = INFO + "/" + name;
        EXPECT_EQ("before-local\n", readFile(dir + "/hook"));
        EXPECT_EQ("recipient\n", readFile(dir + "/handler-type"));
        EXPECT_EQ("responder\n", readFile(dir + "/context"));
        char target[4096];
        ssize_t n = readlink((dir + "/executable").c_str(), target, sizeof target);
        ASSERT_GT(n, 0);
        EXPECT_EQ(AUTORESPONDER_EXECUTABLE, std::string(target, static_cast<size_t>(n)));
    }
    EXPECT_EQ(1u, entries(QUEUE + "/john@x.com").size());
    EXPECT_EQ(1u, entries(QUEUE + "/jane@x.com").size());
}

TEST_F(Autoresponder, EveryNameWithEveryDomainInAscii)
{
    EXPECT_EQ(0, autoresponder_action(", a ,,b,", " x.com, bücher.de ", HOOK_ENABLE));
    EXPECT_EQ((std::vector<std::string>{"a@x.com\n", "a@xn--bcher-kva.de\n", "b@x.com\n",
                                        "b@xn--bcher-kva.de\n"}),
              addresses());
}

TEST_F(Autoresponder, DisableDeletesTheHandler)
{
    ASSERT_EQ(0, autoresponder_action("john,jane", "x.com", HOOK_ENABLE));
    EXPECT_EQ(0, autoresponder_action("john", "x.com", HOOK_DISABLE));
    EXPECT_EQ(std::vector<std::string>{"jane@x.com\n"}, addresses());
    EXPECT_FALSE(fileExists(QUEUE + "/john@x.com"));
    // Nothing left to delete is no failure.
    EXPECT_EQ(0, autoresponder_action("john", "x.com", HOOK_DISABLE));
}

TEST_F(Autoresponder, NoMailNamesIsNothingToDo)
{
    EXPECT_EQ(0, autoresponder_action("", "x.com", HOOK_ENABLE));
    EXPECT_EQ(0, autoresponder_action(" , ", "x.com", HOOK_ENABLE));
    EXPECT_EQ(0, autoresponder_action("john", "", HOOK_ENABLE));
    EXPECT_EQ(0, autoresponder_action("john", "x.com", HOOK_CHECK));
    EXPECT_TRUE(entries(INFO).empty());
}

TEST_F(Autoresponder, FailuresAreCollectedAndReported)
{
    ASSERT_EQ(0, unlink(AUTORESPONDER_EXECUTABLE));
    int r = 0;
    std::string log = captured([&] { r = autoresponder_action("a,b", "x.com", HOOK_ENABLE); });
    EXPECT_EQ(-1, r);
    // Both addresses were tried.
    size_t first = log.find("Unable to stat executable");
    ASSERT_NE(std::string::npos, first) << log;
    EXPECT_NE(std::string::npos, log.find("Unable to stat executable", first + 1)) << log;
    EXPECT_NE(std::string::npos, log.find("Unable to make action for some autoresponder handlers"))
        << log;
}

TEST_F(Autoresponder, BadDomainsStopAtOnce)
{
    int r = 0;
    std::string log = captured([&] {
        r = autoresponder_action("a", (std::string(64, 'l') + ".com").c_str(), HOOK_ENABLE);
    });
    EXPECT_EQ(-1, r);
    EXPECT_EQ("idn_toascii() failed: Invalid length\n", log);
    log = captured([&] {
        r = autoresponder_action(std::string(200, 'n').c_str(),
                                 (std::string(60, 'd') + ".com, x.com").c_str(), HOOK_ENABLE);
    });
    EXPECT_EQ(-1, r);
    EXPECT_EQ("domain name too long\n\n", log);
    EXPECT_TRUE(entries(INFO).empty());
}

} // namespace
