// mastercf_test.cc - the service table grammar, entry decoding, content edits and formatting.
#include "mail/postfix/mastercf.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "mail/postfix/module_manager.h"

using namespace ostra::mail::postfix;
using boost::logic::indeterminate;
using boost::logic::tribool;

namespace {

typedef std::vector<std::string> Strings;

// linesOf - a content's lines as a vector.
Strings linesOf(const MasterCfContent& content)
{
    return Strings(content.lines().begin(), content.lines().end());
}

// triText - "true", "false" or "indeterminate", for readable comparisons.
std::string triText(tribool value)
{
    if (indeterminate(value))
        return "indeterminate";
    return value ? "true" : "false";
}

struct AcceptCase {
    const char* label;
    std::string text;
    bool accepted;
};

class GrammarAcceptance : public ::testing::TestWithParam<AcceptCase> {};

TEST_P(GrammarAcceptance, WholeFileAcceptedOrRejected)
{
    MasterCfContent content;
    EXPECT_EQ(GetParam().accepted, parseMasterCf(GetParam().text, content)) << GetParam().label;
}

const std::string smtpLine = "smtp inet n - n - - smtpd";

INSTANTIATE_TEST_SUITE_P(
    MasterCf, GrammarAcceptance,
    ::testing::Values(
        AcceptCase{"empty text", "", true}, AcceptCase{"one newline", "\n", true},
        AcceptCase{"one entry", smtpLine + "\n", true},
        AcceptCase{"no final newline", smtpLine, true},
        AcceptCase{"carriage returns", smtpLine + "\r\n#c\r\n\r\n", true},
        AcceptCase{"continuation", smtpLine + "\n  -o a=b\n\t-o c=d\n", true},
        AcceptCase{"comment ends a non-last line", smtpLine + " # why\n  -o a=b\n", true},
        AcceptCase{"comment and blank lines inside an entry",
                   smtpLine + "\n#x\n\n   # y\n  -o a=b\n", true},
        AcceptCase{"fields split over lines", "smtp\n inet\n n - n - - smtpd\n", true},
        AcceptCase{"adjacent one-character fields", "smtp inet n-n-- smtpd\n", true},
        AcceptCase{"address as service name", "127.0.0.1:10025 inet n - n - - smtpd\n", true},
        AcceptCase{"name characters", "a-b_c.d:9 unix - - - - - x\n", true},
        AcceptCase{"wakeup on use", "tlsmgr unix - - y 1000? 1 tlsmgr\n", true},
        AcceptCase{"largest number", "a unix - - - 4294967295 4294967295 x\n", true},
        AcceptCase{"datagram socket type", "postlog unix-dgram n - n - 1 postlogd\n", true},
        AcceptCase{"trailing blanks after the last word", smtpLine + " \t \n", true},
        AcceptCase{"blank line at the end without newline", smtpLine + "\n  ", true},
        AcceptCase{"indented comment", "  # note\n", true},
        AcceptCase{"any bytes in a comment", "# \xc3\xa9\x01\n", true},
        AcceptCase{"capital in the name", "Smtp inet n - n - - smtpd\n", false},
        AcceptCase{"type pass", "smtpd pass - - y - - smtpd\n", false},
        AcceptCase{"unknown type", "smtp tcp n - n - - smtpd\n", false},
        AcceptCase{"continuation without entry", "  -o a=b\n", false},
        AcceptCase{"continuation first in file", "  -o a=b\n" + smtpLine + "\n", false},
        AcceptCase{"comment after the last word", smtpLine + " # note\n", false},
        AcceptCase{"comment on the last continuation line", smtpLine + "\n  -o a=b # note\n",
                   false},
        AcceptCase{"name run into type", "smtpinet n - n - - smtpd\n", false},
        AcceptCase{"number beyond 32 bits", "a unix - - - 4294967296 - x\n", false},
        AcceptCase{"question mark without digits", "a unix - - - ? 1 x\n", false},
        AcceptCase{"flag letter in capitals", "a unix Y - - - - x\n", false},
        AcceptCase{"missing command", "smtp inet n - n - -\n", false},
        AcceptCase{"non-ASCII command word", smtpLine + " \xc3\xa9\n", false},
        AcceptCase{"entry indented", " " + smtpLine + "\n", false},
        AcceptCase{"hash inside a word", "a unix - - - - - x#y\n", false}));

struct LinesCase {
    const char* label;
    std::string text;
    Strings lines;
    size_t modules;
};

class GrammarLines : public ::testing::TestWithParam<LinesCase> {};

TEST_P(GrammarLines, LogicalLines)
{
    MasterCfContent content;
    ASSERT_TRUE(parseMasterCf(GetParam().text, content)) << GetParam().label;
    EXPECT_EQ(GetParam().lines, linesOf(content)) << GetParam().label;
    EXPECT_EQ(GetParam().modules, content.modules().size()) << GetParam().label;
}

INSTANTIATE_TEST_SUITE_P(
    MasterCf, GrammarLines,
    ::testing::Values(
        LinesCase{"empty text is empty content", "", {}, 0},
        LinesCase{"one newline is one empty line", "\n", {""}, 0},
        LinesCase{"final newline ends the last line", smtpLine + "\n", {smtpLine}, 1},
        LinesCase{"without final newline the same", smtpLine, {smtpLine}, 1},
        LinesCase{"two newlines", "\n\n", {"", ""}, 0},
        LinesCase{"raw lines kept with blanks and carriage returns",
                  " \t\r\n  # c\r\n#d\n",
                  {" \t\r", "  # c\r", "#d"},
                  0},
        LinesCase{"entry keeps continuation and embedded comments",
                  "#top\n" + smtpLine + " # a\n# b\n\n  -o x=y\n\n# after\nz unix - - - - - z\n",
                  {"#top", smtpLine + " # a\n# b\n\n  -o x=y", "", "# after", "z unix - - - - - z"},
                  2},
        LinesCase{"trailing carriage return stays with the entry",
                  smtpLine + "\r\n",
                  {smtpLine + "\r"},
                  1},
        LinesCase{"comment lines after an entry stay separate",
                  smtpLine + "\n# c\n  \n",
                  {smtpLine, "# c", "  "},
                  1},
        LinesCase{"later duplicate replaces the first in place",
                  "a unix - - - - - one\nb unix - - - - - b\na unix - - - - - two\n  -o x=y\n",
                  {"a unix - - - - - two\n  -o x=y", "b unix - - - - - b"},
                  2},
        LinesCase{"same name of another type is no duplicate",
                  "smtp inet n - n - - smtpd\nsmtp unix - - y - - smtp\n",
                  {"smtp inet n - n - - smtpd", "smtp unix - - y - - smtp"},
                  2}));

struct DecodeCase {
    std::string entry;
    std::string name;
    ModuleType type;
    std::string isPrivate, unprivileged, chroot;
    int wakeup;
    bool wakeupOnUse;
    int maxproc;
    Strings command;
};

class EntryDecoding : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(EntryDecoding, Fields)
{
    const DecodeCase& c = GetParam();
    MasterCfContent content;
    ASSERT_TRUE(parseMasterCf(c.entry, content)) << c.entry;
    ASSERT_EQ(1u, content.modules().size()) << c.entry;
    const ModuleInfo& m = content.modules().begin()->second;
    EXPECT_EQ(c.name, m.name);
    EXPECT_EQ(c.type, m.type);
    EXPECT_EQ(c.isPrivate, triText(m.isPrivate));
    EXPECT_EQ(c.unprivileged, triText(m.unprivileged));
    EXPECT_EQ(c.chroot, triText(m.chroot));
    EXPECT_EQ(c.wakeup, m.wakeup);
    EXPECT_EQ(c.wakeupOnUse, m.wakeupOnUse);
    EXPECT_EQ(c.maxproc, m.maxproc);
    EXPECT_EQ(c.command, m.command);
}

INSTANTIATE_TEST_SUITE_P(
    MasterCf, EntryDecoding,
    ::testing::Values(DecodeCase{smtpLine,
                                 "smtp",
                                 ModuleType::inet,
                                 "false",
                                 "indeterminate",
                                 "false",
                                 -1,
                                 false,
                                 -1,
                                 {"smtpd"}},
                      DecodeCase{"pickup fifo n - n 60 1 pickup",
                                 "pickup",
                                 ModuleType::fifo,
                                 "false",
                                 "indeterminate",
                                 "false",
                                 60,
                                 false,
                                 1,
                                 {"pickup"}},
                      DecodeCase{"tlsmgr unix - - y 300? 1 tlsmgr",
                                 "tlsmgr",
                                 ModuleType::unix,
                                 "indeterminate",
                                 "indeterminate",
                                 "true",
                                 300,
                                 true,
                                 1,
                                 {"tlsmgr"}},
                      // A "-" chroot keeps the default false, unlike the other two flags.
                      DecodeCase{"x unix y y - 0 0 cmd",
                                 "x",
                                 ModuleType::unix,
                                 "true",
                                 "true",
                                 "false",
                                 0,
                                 false,
                                 0,
                                 {"cmd"}},
                      DecodeCase{"postlog unix-dgram n - n - 1 postlogd",
                                 "postlog",
                                 ModuleType::unixDgram,
                                 "false",
                                 "indeterminate",
                                 "false",
                                 -1,
                                 false,
                                 1,
                                 {"postlogd"}},
                      DecodeCase{"big unix - - - 4294967295 2147483648 x",
                                 "big",
                                 ModuleType::unix,
                                 "indeterminate",
                                 "indeterminate",
                                 "false",
                                 -1,
                                 false,
                                 -2147483647 - 1,
                                 {"x"}},
                      DecodeCase{"relay unix - - y - - smtp\n  -o a=b # why\n# note\n\n\t-o c=d\r",
                                 "relay",
                                 ModuleType::unix,
                                 "indeterminate",
                                 "indeterminate",
                                 "true",
                                 -1,
                                 false,
                                 -1,
                                 {"smtp", "-o", "a=b", "-o", "c=d"}},
                      DecodeCase{"127.0.0.1:10025 inet n - n - 10 smtpd -o x=y",
                                 "127.0.0.1:10025",
                                 ModuleType::inet,
                                 "false",
                                 "indeterminate",
                                 "false",
                                 -1,
                                 false,
                                 10,
                                 {"smtpd", "-o", "x=y"}}));

TEST(MasterCfContent, EveryEntryStartsFromTheDefaults)
{
    MasterCfContent content;
    ASSERT_TRUE(parseMasterCf("a unix y y y 5? 7 one two\nb unix - - - - - three\n", content));
    const ModuleInfo& b = content.getModule("b", ModuleType::unix).first;
    EXPECT_EQ("indeterminate", triText(b.isPrivate));
    EXPECT_EQ("indeterminate", triText(b.unprivileged));
    EXPECT_EQ("false", triText(b.chroot));
    EXPECT_EQ(-1, b.wakeup);
    EXPECT_FALSE(b.wakeupOnUse);
    EXPECT_EQ(-1, b.maxproc);
    EXPECT_EQ(Strings{"three"}, b.command);
}

TEST(MasterCfContent, CompleteFileWrittenBackByteForByte)
{
    const std::string text = "# header\r\n"
                             "\n"
                             "   \t\n"
                             "smtp      inet  n       -       y       -       -       smtpd\n"
                             "#smtp      inet  n       -       y       -       1       postscreen\n"
                             "relay     unix  -       -       y       -       -       smtp\n"
                             "        -o syslog_name=postfix/$service_name\n"
                             "# -o smtp_helo_timeout=5 -o smtp_connect_timeout=5\n"
                             "maildrop  unix  -       n       n       -       -       pipe # m\n"
                             "  flags=DRXhu user=vmail argv=/usr/bin/maildrop -d ${recipient}\r\n"
                             "tlsmgr    unix  -       -       y       1000?   1       tlsmgr\n"
                             "postlog   unix-dgram n  -       n       -       1       postlogd\n";
    MasterCfContent content;
    ASSERT_TRUE(parseMasterCf(text, content));
    EXPECT_EQ(text, content.text());
    EXPECT_EQ(5u, content.modules().size());
}

TEST(MasterCfContent, FileWithoutFinalNewlineGainsOne)
{
    MasterCfContent content;
    ASSERT_TRUE(parseMasterCf("#a\n" + smtpLine, content));
    EXPECT_EQ("#a\n" + smtpLine + "\n", content.text());
}

TEST(MasterCfContent, AddModuleAppendsNewAndReplacesExistingInPlace)
{
    MasterCfContent content;
    ASSERT_TRUE(parseMasterCf("#a\nx unix - - - - - old\n  -o k=v\n#b\n", content));
    ModuleInfo x = content.getModule("x", ModuleType::unix).first;
    x.command = {"new"};
    content.addModule(x, "x unix - - - - - new");
    SmtpdModule smtp;
    content.addModule(smtp, formatModule(smtp));
    EXPECT_EQ((Strings{"#a", "x unix - - - - - new", "#b", formatModule(smtp)}), linesOf(content));
    EXPECT_EQ(Strings{"new"}, content.getModule("x", ModuleType::unix).first.command);
    EXPECT_EQ(formatModule(smtp), content.getModule("smtp", ModuleType::inet).second);
}

TEST(MasterCfContent, RemoveModuleTakesContinuationAndEmbeddedComments)
{
    MasterCfContent content;
    ASSERT_TRUE(parseMasterCf("#a\n" + smtpLine + "\n# in\n  -o k=v\n#b\n", content));
    EXPECT_TRUE(content.removeModule("smtp", ModuleType::inet));
    EXPECT_FALSE(content.removeModule("smtp", ModuleType::inet));
    EXPECT_FALSE(content.hasModule("smtp", ModuleType::inet));
    EXPECT_EQ((Strings{"#a", "#b"}), linesOf(content));
    EXPECT_TRUE(content.modules().empty());
}

TEST(MasterCfContent, RemovingTheOnlyEntryLeavesAnEmptyFile)
{
    MasterCfContent content;
    ASSERT_TRUE(parseMasterCf(smtpLine + "\n", content));
    ASSERT_TRUE(content.removeModule("smtp", ModuleType::inet));
    EXPECT_TRUE(content.lines().empty());
    EXPECT_EQ("", content.text());
}

TEST(MasterCfContent, MissingModuleIsOutOfRangeWithItsName)
{
    MasterCfContent content;
    ASSERT_TRUE(parseMasterCf(smtpLine + "\n", content));
    EXPECT_TRUE(content.hasModule("smtp", ModuleType::inet));
    EXPECT_FALSE(content.hasModule("smtp", ModuleType::unix));
    try {
        content.getModule("smtp", ModuleType::unix);
        FAIL() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ("no such module smtp", e.what());
    }
}

struct FormatCase {
    const char* label;
    ModuleInfo info;
    std::string text;
    // Whether reading the text back yields the record: an indeterminate chroot reads back
    // as false, and a word holding a blank reads back as two words.
    bool readsBack;
};

// built - a record made from a few fields.
ModuleInfo built(const std::string& name, ModuleType type, tribool p, tribool u, tribool c,
                 int wakeup, bool onUse, int maxproc, const Strings& command)
{
    ModuleInfo m;
    m.name = name;
    m.type = type;
    m.isPrivate = p;
    m.unprivileged = u;
    m.chroot = c;
    m.wakeup = wakeup;
    m.wakeupOnUse = onUse;
    m.maxproc = maxproc;
    m.command = command;
    return m;
}

class EntryFormatting : public ::testing::TestWithParam<FormatCase> {};

TEST_P(EntryFormatting, OneLineThatReadsBack)
{
    const FormatCase& c = GetParam();
    EXPECT_EQ(c.text, formatModule(c.info)) << c.label;
    MasterCfContent content;
    ASSERT_TRUE(parseMasterCf(c.text, content)) << c.label;
    ASSERT_EQ(1u, content.modules().size()) << c.label;
    EXPECT_EQ(c.readsBack, sameModule(c.info, content.modules().begin()->second)) << c.label;
}

INSTANTIATE_TEST_SUITE_P(
    MasterCf, EntryFormatting,
    ::testing::Values(
        FormatCase{"smtp", SmtpdModule(),
                   "smtp inet n - n - - smtpd -o smtpd_proxy_filter=127.0.0.1:10025", false},
        FormatCase{"all flags set",
                   built("a", ModuleType::fifo, true, false, true, 60, true, 1, {"x", "y"}),
                   "a fifo y n y 60? 1 x y", true},
        FormatCase{"unset numbers and flags",
                   built("b", ModuleType::unix, indeterminate, indeterminate, indeterminate, -1,
                         false, -1, {"b"}),
                   "b unix - - - - - b", false},
        FormatCase{"numbers beyond the signed range are written unsigned",
                   built("c", ModuleType::unixDgram, false, false, false, -2, false,
                         -2147483647 - 1, {"c"}),
                   "c unix-dgram n n n 4294967294 2147483648 c", true},
        FormatCase{"all-ones wakeup with a question mark keeps its digits",
                   built("d", ModuleType::inet, false, false, false, -1, true, 0, {"d"}),
                   "d inet n n n 4294967295? 0 d", true}));

TEST(StandardModules, SmtpsAndSubmissionText)
{
    EXPECT_EQ("smtps inet n - n - - smtpd -o smtpd_proxy_filter=127.0.0.1:10025 -o "
              "smtpd_tls_wrappermode=yes",
              formatModule(SmtpsdModule()));
    EXPECT_EQ("submission inet n - n - - smtpd -o smtpd_enforce_tls=yes -o "
              "smtpd_tls_security_level=encrypt -o smtpd_sasl_auth_enable=yes -o "
              "smtpd_client_restrictions=permit_sasl_authenticated,reject -o "
              "smtpd_sender_restrictions= -o smtpd_proxy_filter=127.0.0.1:10025",
              formatModule(SubmissionModule()));
}

} // namespace
