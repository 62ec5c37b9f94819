// idn_test.cc - ASCII forms of domain names and addresses, and the error texts.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string>

#include "ostra/idn.h"

namespace {

using ostra::idn::emailToAscii;
using ostra::idn::IdnaError;
using ostra::idn::toAscii;

const std::string longLabel(64, 'a'); // one octet over the label limit

TEST(ToAscii, AsciiNameUnchangedAndUnicodeNameConverted)
{
    EXPECT_EQ("example.com", toAscii("example.com"));
    EXPECT_EQ("xn--bcher-kva.example", toAscii("b\xc3\xbc"
                                               "cher.example"));
}

TEST(ToAscii, OverlongLabelThrowsInvalidLength)
{
    try {
        toAscii(longLabel + ".example");
        FAIL() << "converted";
    } catch (const IdnaError& e) {
        EXPECT_EQ(5, e.code());
        EXPECT_STREQ("Invalid length", e.what());
    }
}

TEST(EmailToAscii, ConvertsOnlyTheDomainPart)
{
    EXPECT_EQ("j\xc3\xb6rg@xn--bcher-kva.example", emailToAscii("j\xc3\xb6rg@b\xc3\xbc"
                                                                "cher.example"));
    EXPECT_EQ("no-at-sign", emailToAscii("no-at-sign"));
    EXPECT_THROW(emailToAscii("user@" + longLabel), IdnaError);
}

TEST(IdnPlain, ConvertsAndReportsFailures)
{
    char* ascii = idn_toascii("b\xc3\xbc"
                              "cher.example");
    ASSERT_NE(nullptr, ascii);
    EXPECT_STREQ("xn--bcher-kva.example", ascii);
    free(ascii);

    char* address = idn_email_toascii("j\xc3\xb6rg@b\xc3\xbc"
                                      "cher.example");
    ASSERT_NE(nullptr, address);
    EXPECT_STREQ("j\xc3\xb6rg@xn--bcher-kva.example", address);
    free(address);

    EXPECT_EQ(nullptr, idn_email_toascii("no-at-sign"));

    idn_errno = 0;
    EXPECT_EQ(nullptr, idn_toascii(longLabel.c_str()));
    EXPECT_EQ(5, idn_errno);
    idn_errno = 0;
    EXPECT_EQ(nullptr, idn_email_toascii(("user@" + longLabel).c_str()));
    EXPECT_EQ(5, idn_errno);
}

struct ErrorText {
    int code;
    const char* text;
};

class IdnStrerrorTest : public testing::TestWithParam<ErrorText> {};

TEST_P(IdnStrerrorTest, TextOfCode)
{
    EXPECT_STREQ(GetParam().text, idn_strerror(GetParam().code));
    EXPECT_STREQ(GetParam().text, IdnaError(GetParam().code).what());
}

INSTANTIATE_TEST_SUITE_P(
    Table, IdnStrerrorTest,
    testing::Values(ErrorText{0, "Success"}, ErrorText{1, "Stringprep error"},
                    ErrorText{2, "Punycode error"}, ErrorText{3, "Contains non-LDH characters"},
                    ErrorText{4, "Contains minus"}, ErrorText{5, "Invalid length"},
                    ErrorText{6, "ACE prefix not found"}, ErrorText{7, "Verify error"},
                    ErrorText{8, "ACE prefix found"}, ErrorText{9, "Iconv error"},
                    ErrorText{201, "Cannot allocate buffer"}, ErrorText{10, "Unknown error"},
                    ErrorText{202, "Unknown error"}, ErrorText{-1, "Unknown error"}));

} // namespace
