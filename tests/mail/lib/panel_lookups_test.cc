// panel_lookups_test.cc - escaping of mail entities without a server.
#include "mail/lib/panel_lookups.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>

namespace {

// escaped - mysql_escape_mail_entity without a connection, as a string.
std::unique_ptr<char, decltype(&free)> escaped(const char* entity)
{
    return std::unique_ptr<char, decltype(&free)>(mysql_escape_mail_entity(nullptr, entity), free);
}

struct EscapeCase {
    const char* input;
    const char* expected;
};

class EscapeMailEntity : public testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeMailEntity, ConvertsThenEscapes)
{
    auto result = escaped(GetParam().input);
    ASSERT_TRUE(result);
    EXPECT_STREQ(GetParam().expected, result.get());
}

INSTANTIATE_TEST_SUITE_P(Entities, EscapeMailEntity,
                         testing::Values(EscapeCase{"example.com", "example.com"},
                                         EscapeCase{"it's.com", "it\\'s.com"},
                                         EscapeCase{"a\"b\\c.com", "a\\\"b\\\\c.com"},
                                         EscapeCase{"b\xc3\xbc"
                                                    "cher.de",
                                                    "xn--bcher-kva.de"}));

TEST(EscapeMailEntityFailure, ReportsTheConversionError)
{
    std::string label(64, 'a');
    std::string name = label + ".com";
    testing::internal::CaptureStderr();
    auto result = escaped(name.c_str());
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(result);
    EXPECT_EQ("idn_toascii(" + name + ") failed: Invalid length\n", err);
}

} // namespace
