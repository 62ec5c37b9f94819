// str_util_test.cc - shell quoting, splitting, trimming, lower-casing, mail names.
#include <gtest/gtest.h>

#include <stdexcept>
#include <stdlib.h>
#include <string>
#include <vector>

#include "ostra/names.h"
#include "ostra/str_util.h"

namespace {

using ostra::sh_quote;

struct QuoteCase {
    std::string text;
    std::string quoted;
};

class ShQuoteTest : public testing::TestWithParam<QuoteCase> {};

TEST_P(ShQuoteTest, Quotes)
{
    EXPECT_EQ(GetParam().quoted, sh_quote(GetParam().text));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ShQuoteTest,
    testing::Values(QuoteCase{"It's a test", "It\\'s\\ a\\ test"}, QuoteCase{"", ""},
                    QuoteCase{"one\ntwo", "one'\n'two"},
                    QuoteCase{"\t \"#$&'()*;<>?[\\`|~",
                              "\\\t\\ \\\"\\#\\$\\&\\'\\(\\)\\*\\;\\<\\>\\?\\[\\\\\\`\\|\\~"},
                    QuoteCase{"azAZ09!%+,-./:=@]^_{}", "azAZ09!%+,-./:=@]^_{}"},
                    QuoteCase{std::string("\x01\r\x7f\x80\xff", 5),
                              std::string("\x01\r\x7f\x80\xff", 5)},
                    QuoteCase{std::string("a\0b", 3), std::string("a\0b", 3)}));

TEST(ShQuote, EveryByteHasExactlyOneClass)
{
    const std::string special = "\t \"#$&'()*;<>?[\\`|~";
    for (int b = 0; b < 256; ++b) {
        char c = static_cast<char>(b);
        std::string quoted = sh_quote(std::string(1, c));
        if (c == '\n')
            EXPECT_EQ("'\n'", quoted);
        else if (special.find(c) != std::string::npos)
            EXPECT_EQ(std::string("\\") + c, quoted) << b;
        else
            EXPECT_EQ(std::string(1, c), quoted) << b;
    }
}

// split - string_split's tokens, or {"<null>"} when it gave none.
std::vector<std::string> split(const char* text, const char* delimiters)
{
    char** list = string_split(text, delimiters);
    if (list == nullptr)
        return {"<null>"};
    std::vector<std::string> tokens;
    for (char** p = list; *p != nullptr; ++p)
        tokens.push_back(*p);
    free_array(list);
    return tokens;
}

using Tokens = std::vector<std::string>;

TEST(StringSplit, Tokens)
{
    EXPECT_EQ((Tokens{"a", "b", "c"}), split("a, b,,c", ", "));
    EXPECT_EQ((Tokens{"a", ""}), split("a,", ","));
    EXPECT_EQ((Tokens{""}), split("", ","));
    EXPECT_EQ((Tokens{""}), split(",,,", ","));
    EXPECT_EQ((Tokens{"a", "b"}), split(",,a,b", ","));
    EXPECT_EQ((Tokens{"a", "b", ""}), split("a b ", " "));
    EXPECT_EQ((Tokens{"a,b"}), split("a,b", ";"));
    EXPECT_EQ((Tokens{"<null>"}), split(nullptr, ","));
}

TEST(StringSplit, ManyTokens)
{
    std::string text;
    for (int i = 0; i < 500; ++i)
        text += std::to_string(i) + ";";
    Tokens tokens = split(text.c_str(), ";");
    ASSERT_EQ(501u, tokens.size());
    EXPECT_EQ("0", tokens[0]);
    EXPECT_EQ("499", tokens[499]);
    EXPECT_EQ("", tokens[500]);
}

TEST(OstraTrim, TrimsBothEnds)
{
    char text[] = " \t value with  spaces \n\t ";
    char* trimmed = ostra_trim(text);
    EXPECT_STREQ("value with  spaces", trimmed);

    char blank[] = " \t\n ";
    char* empty = ostra_trim(blank);
    EXPECT_EQ('\0', *empty);
    EXPECT_EQ(blank, empty);
}

TEST(StrToLower, OnlyAsciiLettersChange)
{
    char text[] = "MiXeD-Case_123@Example.COM \xc3\x9c";
    EXPECT_EQ(text, strtolower(text));
    EXPECT_STREQ("mixed-case_123@example.com \xc3\x9c", text);
    EXPECT_EQ(nullptr, strtolower(nullptr));

    char* copy = strtolower_dynamic("ABC");
    ASSERT_NE(nullptr, copy);
    EXPECT_STREQ("abc", copy);
    free(copy);
    EXPECT_EQ(nullptr, strtolower_dynamic(nullptr));
}

struct NameCase {
    const char* name;
    int valid;
};

class MailValidateTest : public testing::TestWithParam<NameCase> {};

TEST_P(MailValidateTest, LocalPart)
{
    EXPECT_EQ(GetParam().valid, mail_validate(GetParam().name, VALIDATE_EMAIL_LOCAL_PART))
        << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(Names, MailValidateTest,
                         testing::Values(NameCase{".", 1}, NameCase{".info", 1},
                                         NameCase{"info.", 1}, NameCase{"first.last", 1},
                                         NameCase{"a..b", 0}, NameCase{"..", 0},
                                         NameCase{"end..", 0}, NameCase{"", 1}));

TEST(MailValidate, UnknownTypeIsInvalid)
{
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    int valid = mail_validate("info", static_cast<validation_type>(7));
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(0, valid);
    EXPECT_EQ("unknown validation_type: 7\n", err);
}

TEST(MailValidateExc, ThrowsTheNameWhenInvalid)
{
    using ostra::mail::postfix::mailname_validators::mailValidateExc;
    EXPECT_EQ(1, mailValidateExc("info"));
    try {
        mailValidateExc("a..b");
        FAIL() << "accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ("a..b", e.what());
    }
}

} // namespace
