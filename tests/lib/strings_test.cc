// strings_test.cc - shell quoting, splitting, trimming, the mail name check and
// the ASCII form of domain names and addresses.
#include <stdio.h>
#include <stdlib.h>

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "ostra/hsp_conf.h"
#include "ostra/idn.h"
#include "ostra/names.h"
#include "ostra/str_util.h"

using std::string;
using namespace std::string_literals;

namespace {

TEST(Strings, ShellQuotingByByteClass)
{
    const string special = "\t \"#$&'()*;<>?[\\`|~";
    string text, quoted;
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        text += c;
        quoted += c == '\n' ? "'\n'" : special.find(c) != string::npos ? "\\"s + c : string(1, c);
    }
    EXPECT_EQ(quoted, ostra::sh_quote(text));
    EXPECT_EQ("It\\'s\\ a\\ test", ostra::sh_quote("It's a test"));
}

TEST(Strings, SplitTrimLowerAndMailNames)
{
    // Each text's tokens in brackets, texts separated by "|".
    const char* texts[][2] = {{"a, b,,c", ", "}, {"a,", ","},    {"", ","},
                              {",,,", ","},      {",,a,b", ","}, {"a,b", ";"}};
    string tokens;
    for (const auto& t : texts) {
        char** list = string_split(t[0], t[1]);
        for (char** p = list; *p; ++p)
            tokens += "["s + *p + "]";
        free_array(list);
        tokens += "|";
    }
    EXPECT_EQ("[a][b][c]|[a][]|[]|[]|[a][b]|[a,b]|", tokens);
    EXPECT_EQ(nullptr, string_split(nullptr, ","));
    string list; // grows its array many times
    for (int i = 0; i < 500; ++i)
        list += std::to_string(i) + " ";
    char** many = string_split(list.c_str(), " ");
    EXPECT_TRUE(many[499] == "499"s && *many[500] == '\0' && many[501] == nullptr);
    free_array(many);

    char text[] = " \t value  with spaces \n\t ", blank[] = " \t\n ";
    EXPECT_STREQ("value  with spaces", ostra_trim(text));
    EXPECT_EQ(blank, ostra_trim(blank)) << "all white: cut to its first byte";
    char mixed[] = "MiXeD-Case_123@Example.COM \xc3\x9c";
    EXPECT_STREQ("mixed-case_123@example.com \xc3\x9c", strtolower(mixed));

    string valid;
    for (const char* name : {".", ".info", "info.", "", "a..b", "..", "end.."})
        valid += std::to_string(mail_validate(name, VALIDATE_EMAIL_LOCAL_PART));
    EXPECT_EQ("1111000", valid);
    EXPECT_EQ(0, mail_validate("info", static_cast<validation_type>(7)));
    EXPECT_THROW(ostra::mail::postfix::mailname_validators::mailValidateExc("a..b"),
                 std::invalid_argument);
}

TEST(Strings, AsciiFormsOfNamesAndAddresses)
{
    const string overlong(64, 'a'); // one octet over the label limit
    EXPECT_EQ("example.com", ostra::idn::toAscii("example.com"));
    EXPECT_EQ("j\xc3\xb6rg@xn--bcher-kva.example", ostra::idn::emailToAscii("j\xc3\xb6rg@b\xc3\xbc"
                                                                            "cher.example"));
    EXPECT_EQ("no-at-sign", ostra::idn::emailToAscii("no-at-sign"));
    try {
        ostra::idn::emailToAscii("user@" + overlong);
        ADD_FAILURE() << "converted";
    } catch (const ostra::idn::IdnaError& e) {
        EXPECT_EQ(5, e.code());
        EXPECT_STREQ("Invalid length", e.what());
    }
    EXPECT_EQ(nullptr, idn_email_toascii("no-at-sign"));
    EXPECT_EQ(nullptr, idn_toascii(overlong.c_str()));
    EXPECT_EQ(5, idn_errno);
    // The texts that follow "failed: " in the program's messages.
    string texts;
    for (int code : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 201, 10, -1})
        texts += idn_strerror(code) + "|"s;
    EXPECT_EQ("Success|Stringprep error|Punycode error|Contains non-LDH characters|Contains "
              "minus|Invalid length|ACE prefix not found|Verify error|ACE prefix found|Iconv "
              "error|Cannot allocate buffer|Unknown error|Unknown error|",
              texts);
}

// Host configuration lines: "NAME value", a comment after the value, the
// last of two settings winning, and more settings than the first allocation.
TEST(HostConf, SettingLines)
{
    string text = "# comment\n\n  A 1\nB\t two words  # note\nC #x\nE# no space\nG a#b\n"
                  "_x-y z\nB 3\n";
    for (int i = 0; i < 25; ++i)
        text += "N" + std::to_string(i) + " v" + std::to_string(i) + "\n";
    FILE* in = fmemopen(&text[0], text.size(), "r");
    conf_data conf = {};
    ASSERT_EQ(0, conf_read_stream_r(in, &conf));
    fclose(in);
    string got;
    for (const char* name : {"A", "B", "C", "E", "G", "_x", "N0", "N24", "N25", "a"}) {
        const char* value = conf_get_r(name, &conf);
        got += name + "="s + (value != nullptr ? value : "-") + " ";
    }
    EXPECT_EQ("A=1 B=3 C=- E=- G=a _x=- N0=v0 N24=v24 N25=- a=- ", got);
    conf_free_r(&conf);
    EXPECT_EQ(nullptr, conf_get_r("A", &conf));
}

} // namespace
