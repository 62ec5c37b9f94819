// decimal_option_test.cc - the check that keeps numeric option words the
// options library would mishandle (bytes above 127) away from its conversion.
// The commands cannot show it: the library fails those words the same way
// unless its overflow is caught.
#include "mail/postfix/decimal_option.h"

#include <gtest/gtest.h>

namespace {

TEST(IsDecimalWord, OneSignAtMostThenDigitsOnly)
{
    // clang-format off
    const struct { const char* word; bool decimal; } cases[] = {
        {"0", true}, {"+7", true}, {"-1", true}, {"0079", true}, {"99999999999999999999", true},
        {"", false}, {"-", false}, {"+", false}, {"1x", false}, {" 5", false}, {"5 ", false},
        {"--5", false}, {"+-5", false}, {"1.5", false}, {"/", false}, {":", false}, {"5\n", false},
        {"\xff\xff" "13964", false},
    };
    // clang-format on
    for (const auto& c : cases)
        EXPECT_EQ(c.decimal, ostra::mail::postfix::mxadmin_commands::isDecimalWord(c.word))
            << "'" << c.word << "'";
}

} // namespace
