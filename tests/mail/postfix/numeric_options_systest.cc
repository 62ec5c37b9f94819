// numeric_options_systest.cc - numeric options given words that are no
// numbers: mxadmin refuses them with the options parser's own message and
// status, bytes above 127 included, and goes no further.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "systest.h"

namespace {

const char POPLOCK[] = "--set-mail-params --poplock-time=";
const char NETMASK[] = "--add-whitelist --ip-address=10.0.0.0 --netmask=";
const char BAD_CAST[] = "Fatal error: boost::wrapexcept<boost::bad_lexical_cast>(bad lexical "
                        "cast: source type value could not be interpreted as target)\n";

// invalid - the parser's message for a word an option refuses.
std::string invalid(const std::string& word, const std::string& option)
{
    return "the argument ('" + word + "') for option '--" + option + "' is invalid\n";
}

// Words that are no numbers of the option's type; the first two overflow
// Boost's conversion when it is given them unchecked.
const std::vector<std::string> GARBAGE = {"\xff\xff\xff\xff"
                                          "13964",
                                          "\xff\xff\xff\xff\xff\xff\xff\xff"
                                          "1",
                                          "1x",
                                          "99999999999999999999",
                                          "-",
                                          " 5",
                                          "5 ",
                                          "0x10"};

TEST(NumericOptionsSysTest, PoplockTimeGarbageIsAnInvalidValue)
{
    for (const std::string& word : GARBAGE) {
        const mxtest::RunResult r = mxtest::mxadmin(POPLOCK + mxtest::shellQuote(word));
        EXPECT_EQ(1, r.status) << word;
        // Nothing after the parse ran: no Courier file was looked for.
        EXPECT_EQ(invalid(word, "poplock-time"), r.err) << word;
    }
}

TEST(NumericOptionsSysTest, NetmaskGarbageIsAConversionError)
{
    for (const std::string& word : GARBAGE) {
        const mxtest::RunResult r = mxtest::mxadmin(NETMASK + mxtest::shellQuote(word));
        EXPECT_EQ(1, r.status) << word;
        EXPECT_EQ(BAD_CAST, r.err) << word;
    }
}

TEST(NumericOptionsSysTest, EmptyAndOutOfRangeWordsKeepTheirMessages)
{
    const struct {
        std::string args;
        std::string error;
    } cases[] = {
        {std::string(POPLOCK),
         "the argument for option '--poplock-time' should follow immediately after the equal "
         "sign\n"},
        // An empty word is left out of the message.
        {"--set-mail-params --poplock-time ''",
         "the argument for option '--poplock-time' is invalid\n"},
        {std::string(POPLOCK) + "40000", invalid("40000", "poplock-time")},
        {"--add-whitelist --ip-address=10.0.0.0 --netmask ''", BAD_CAST},
        {std::string(NETMASK) + "33", invalid("33", "netmask")},
        {std::string(NETMASK) + "65536", BAD_CAST},
    };
    for (const auto& c : cases) {
        const mxtest::RunResult r = mxtest::mxadmin(c.args);
        EXPECT_EQ(1, r.status) << c.args;
        EXPECT_EQ(c.error, r.err) << c.args;
    }
}

} // namespace
