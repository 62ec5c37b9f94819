// handler_name_test.cc - splitting handler names into priority, template and
// random part, and matching handler types.
#include "mail/handlers/lib/handlers.h"

#include <string>

#include <gtest/gtest.h>

namespace {

struct NameCase {
    const char* name;
    int status;
    const char* priority;
    const char* tmpl;
    const char* random;
};

void PrintTo(const NameCase& c, std::ostream* os)
{
    *os << "'" << c.name << "'";
}

class HandlerNameSplit : public testing::TestWithParam<NameCase> {};

TEST_P(HandlerNameSplit, PartsOrError)
{
    const NameCase& c = GetParam();
    handler_name_parts parts;
    ASSERT_EQ(c.status, handler_name_parse(c.name, &parts));
    if (c.status != HANDLER_NAME_OK)
        return;
    EXPECT_EQ(c.priority, std::string(parts.priority, parts.priority_len));
    EXPECT_EQ(c.tmpl, std::string(parts.tmpl, parts.template_len));
    EXPECT_STREQ(c.random, parts.random);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Names, HandlerNameSplit, testing::Values(
    NameCase{"90-autoresponder-AbC123", HANDLER_NAME_OK, "90", "autoresponder", "AbC123"},
    // The template keeps its own dashes: it runs to the last one.
    NameCase{"10-spam-filter-x-Q1w2E3", HANDLER_NAME_OK, "10", "spam-filter-x", "Q1w2E3"},
    NameCase{"5-t-", HANDLER_NAME_OK, "5", "t", ""},
    NameCase{"-t-r", HANDLER_NAME_OK, "", "t", "r"},
    NameCase{"noDashAtAll", HANDLER_NAME_NO_PRIORITY, "", "", ""},
    NameCase{"", HANDLER_NAME_NO_PRIORITY, "", "", ""},
    NameCase{"10-onlyone", HANDLER_NAME_NO_RANDOM, "", "", ""},
    NameCase{"10-", HANDLER_NAME_NO_RANDOM, "", "", ""},
    NameCase{"10--abcdef", HANDLER_NAME_EMPTY_TEMPLATE, "", "", ""},
    NameCase{"--", HANDLER_NAME_EMPTY_TEMPLATE, "", "", ""}));
// clang-format on

TEST(HandlerNameSplit, NullIsMissingPriority)
{
    handler_name_parts parts;
    EXPECT_EQ(HANDLER_NAME_NO_PRIORITY, handler_name_parse(nullptr, &parts));
}

TEST(HandlerNameError, MessagesNameTheFault)
{
    EXPECT_STREQ("Invalid handler name '%s': missing priority section",
                 handler_name_error(HANDLER_NAME_NO_PRIORITY));
    EXPECT_STREQ("Invalid handler name '%s': missing random part",
                 handler_name_error(HANDLER_NAME_NO_RANDOM));
    EXPECT_STREQ("Invalid handler name '%s': empty template part",
                 handler_name_error(HANDLER_NAME_EMPTY_TEMPLATE));
    EXPECT_EQ(nullptr, handler_name_error(HANDLER_NAME_OK));
}

TEST(HandlerNameSplit, LogsTheReason)
{
    handler_name_parts parts;
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, handler_name_split("10-onlyone", &parts));
    EXPECT_EQ(0, handler_name_split("10-a-b", &parts));
    EXPECT_EQ("Invalid handler name '10-onlyone': missing random part\n",
              testing::internal::GetCapturedStderr());
}

struct TypeCase {
    const char* given;
    int index;
};

class HandlerTypeFind : public testing::TestWithParam<TypeCase> {};

TEST_P(HandlerTypeFind, CaseBlindTableIndex)
{
    const TypeCase& c = GetParam();
    EXPECT_EQ(c.index, handler_type_find(c.given));
    if (c.index >= 0)
        EXPECT_STREQ(handler_types[c.index], handler_type_canonical(c.given));
    else
        EXPECT_EQ(nullptr, handler_type_canonical(c.given));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Types, HandlerTypeFind, testing::Values(
    TypeCase{"sender", HANDLER_TYPE_SENDER},
    TypeCase{"Recipient", HANDLER_TYPE_RECIPIENT},
    TypeCase{"SENDER-DOMAIN", HANDLER_TYPE_SENDER_DOMAIN},
    TypeCase{"recipient-Domain", HANDLER_TYPE_RECIPIENT_DOMAIN},
    TypeCase{"GLOBAL", HANDLER_TYPE_GLOBAL},
    TypeCase{"all", -1},
    TypeCase{"recipients", -1},
    TypeCase{"", -1},
    TypeCase{nullptr, -1}));
// clang-format on

TEST(HandlerTypes, TableOrder)
{
    const char* expected[] = {"sender", "recipient", "sender-domain", "recipient-domain", "global"};
    for (int i = 0; i < HANDLER_TYPE_COUNT; ++i)
        EXPECT_STREQ(expected[i], handler_types[i]);
    EXPECT_EQ(nullptr, handler_types[HANDLER_TYPE_COUNT]);
}

} // namespace
