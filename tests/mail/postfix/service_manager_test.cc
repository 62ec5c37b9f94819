// service_manager_test.cc - reading the Postfix master's pid file text.
#include "mail/postfix/service_manager.h"

#include <string>

#include <gtest/gtest.h>

using ostra::mail::postfix::ServiceManager;

namespace {

struct PidCase {
    const char* text;
    pid_t pid;
};

class ParsePidTest : public ::testing::TestWithParam<PidCase> {};

TEST_P(ParsePidTest, FirstWordWhenAPositiveDecimal)
{
    EXPECT_EQ(GetParam().pid, ServiceManager::parsePid(GetParam().text));
}

INSTANTIATE_TEST_SUITE_P(Texts, ParsePidTest,
                         ::testing::Values(
                             // The master writes the pid right-aligned in 32 characters.
                             PidCase{"                             240\n", 240}, PidCase{"1", 1},
                             PidCase{"\n\t 77\n", 77}, PidCase{"123 456\n", 123},
                             PidCase{"0042", 42}, PidCase{"2147483647", 2147483647},
                             // Anything else is no pid: the daemon counts as stopped.
                             PidCase{"", -1}, PidCase{"   \n", -1}, PidCase{"abc", -1},
                             PidCase{"12abc", -1}, PidCase{"0", -1}, PidCase{"-5", -1},
                             PidCase{"+5", -1}, PidCase{"2147483648", -1},
                             PidCase{"99999999999999999999", -1}, PidCase{"x 12", -1},
                             PidCase{"1.5", -1}),
                         [](const ::testing::TestParamInfo<PidCase>& info) {
                             return "case" + std::to_string(info.index);
                         });

} // namespace
