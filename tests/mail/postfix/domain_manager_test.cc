// domain_manager_test.cc - the bounce command written into the "aliases" table.
#include "mail/postfix/domain_manager.h"

#include <gtest/gtest.h>

#include <string>

using ostra::mail::postfix::DomainManager;

namespace {

struct BounceCase {
    const char* name;
    std::string message;
    std::string command;
};

class BounceCommand : public ::testing::TestWithParam<BounceCase> {};

TEST_P(BounceCommand, QuotesTheMessageTwiceOnOneLine)
{
    EXPECT_EQ(GetParam().command, DomainManager::bounceCommand(GetParam().message));
}

// Each message byte that the shell treats specially comes out behind three
// backslashes (quoted, then the quoting quoted again).
INSTANTIATE_TEST_SUITE_P(
    Messages, BounceCommand,
    ::testing::Values(
        BounceCase{"Empty", "", "\"|/usr/lib/ostra-9.0/bouncemessage\""},
        BounceCase{"Plain", "gone.", "\"|/usr/lib/ostra-9.0/bouncemessage gone.\""},
        BounceCase{"Apostrophe", "It's a test",
                   "\"|/usr/lib/ostra-9.0/bouncemessage It\\\\\\'s\\\\\\ a\\\\\\ test\""},
        BounceCase{"DoubleQuotes", "say \"no\"",
                   "\"|/usr/lib/ostra-9.0/bouncemessage say\\\\\\ \\\\\\\"no\\\\\\\"\""},
        // Line feeds become blanks; other control bytes stay as they are.
        BounceCase{"TwoLines", "a\nb", "\"|/usr/lib/ostra-9.0/bouncemessage a\\\\\\ b\""},
        BounceCase{"CarriageReturn", "a\r\nb", "\"|/usr/lib/ostra-9.0/bouncemessage a\r\\\\\\ b\""},
        BounceCase{"OnlyALineFeed", "\n", "\"|/usr/lib/ostra-9.0/bouncemessage \\\\\\ \""}),
    [](const ::testing::TestParamInfo<BounceCase>& info) { return info.param.name; });

} // namespace
