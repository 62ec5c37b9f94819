// parsers_test.cc - the master.cf grammar and its edits, the main.cf list
// rules, the tool diagnostics check and the record filters of table rewrites.
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "mail/postfix/database_helper.h"
#include "mail/postfix/maincf_manager.h"
#include "mail/postfix/mastercf.h"
#include "mail/postfix/record_filters.h"

using namespace ostra::mail::postfix;
using namespace ostra::mail::postfix::database;
using std::string;
using namespace std::string_literals;

namespace {

const string SMTP = "smtp inet n - n - - smtpd";

// linesOf - a content's lines, each in brackets; "!" when the text is refused.
string linesOf(const string& text)
{
    MasterCfContent content;
    if (!parseMasterCf(text, content))
        return "!";
    string lines;
    for (const string& line : content.lines())
        lines += "[" + line + "]";
    return lines + " " + std::to_string(content.modules().size());
}

// A file and its logical lines with the number of entries, or "!" for a refused file.
const struct {
    const char* name;
    string text, lines;
} MASTER[] = {
    {"empty", "", " 0"},
    {"one newline", "\n", "[] 0"},
    {"final newline ends the last line", SMTP + "\n", "[" + SMTP + "] 1"},
    {"no final newline", SMTP, "[" + SMTP + "] 1"},
    {"raw lines as they stand", " \t\r\n  # c\r\n#\xc3\xa9\x01\n",
     "[ \t\r][  # c\r][#\xc3\xa9\x01] 0"},
    {"continuation", "#t\n" + SMTP + " # a\n# b\n\n  -o x=y\n\n",
     "[#t][" + SMTP + " # a\n# b\n\n  -o x=y][] 1"},
    {"trailing blanks and carriage return", SMTP + " \t\r\n  ", "[" + SMTP + " \t\r][  ] 1"},
    {"fields split over lines", "smtp\n inet\n n - n - - smtpd\n",
     "[smtp\n inet\n n - n - - smtpd] 1"},
    {"adjacent one-character fields", "smtp inet n-n-- smtpd", "[smtp inet n-n-- smtpd] 1"},
    // A later duplicate replaces the first in place.
    {"duplicate", "a unix - - - - - 1\nb unix - - - - - b\na unix - - - - - 2\n",
     "[a unix - - - - - 2][b unix - - - - - b] 2"},
    {"same name, other type", SMTP + "\nsmtp unix - - - - - smtp\n",
     "[" + SMTP + "][smtp unix - - - - - smtp] 2"},
    {"capital in the name", "Smtp inet n - n - - smtpd", "!"},
    {"type pass", "smtpd pass - - y - - smtpd", "!"},
    {"continuation without an entry", "  -o a=b\n" + SMTP, "!"},
    {"comment after the last word", SMTP + " # note", "!"},
    {"comment on the last continuation line", SMTP + "\n  -o a=b # note", "!"},
    {"name run into the type", "smtpinet n - n - - smtpd", "!"},
    {"number beyond 32 bits", "a unix - - - 4294967296 - x", "!"},
    {"entry indented", " " + SMTP, "!"},
};

TEST(MasterCf, GrammarKeepsLogicalLines)
{
    for (const auto& c : MASTER)
        EXPECT_EQ(c.lines, linesOf(c.text)) << c.name;
}

// An entry among others, and its record formatted; formatting reads back the same.
const struct {
    string text, name;
    ModuleType type;
    string formatted;
} DECODED[] = {
    {SMTP, "smtp", ModuleType::inet, SMTP},
    {"t unix - - y 300? 1 t", "t", ModuleType::unix, "t unix - - y 300? 1 t"},
    {"x unix y y - 0 0 cmd", "x", ModuleType::unix, "x unix y y n 0 0 cmd"}, // chroot stays false
    {"p unix-dgram n - n - 1 p", "p", ModuleType::unixDgram, "p unix-dgram n - n - 1 p"},
    {"r unix - - y - - smtp\n  -o a=b # why\n# note\n\n\t-o c=d\r", "r", ModuleType::unix,
     "r unix - - y - - smtp -o a=b -o c=d"},
    {"1.2.3.4:25 inet n - n - 10 s -o x=y", "1.2.3.4:25", ModuleType::inet,
     "1.2.3.4:25 inet n - n - 10 s -o x=y"},
    // Numbers are unsigned 32-bit in the file; all ones without "?" is "-".
    {"c unix n n n 4294967295 2147483648 c", "c", ModuleType::unix, "c unix n n n - 2147483648 c"},
    {"d inet n n n 4294967295? 4294967294 d", "d", ModuleType::inet,
     "d inet n n n 4294967295? 4294967294 d"},
    // Every entry starts from the defaults.
    {"a unix y y y 5? 7 x\nb unix - - - - - y", "b", ModuleType::unix, "b unix - - n - - y"},
};

TEST(MasterCf, EntriesDecodeAndFormat)
{
    for (const auto& c : DECODED) {
        MasterCfContent content, again;
        ASSERT_TRUE(parseMasterCf(c.text, content)) << c.text;
        const ModuleInfo& info = content.getModule(c.name, c.type).first;
        EXPECT_EQ(c.formatted, formatModule(info)) << c.text;
        ASSERT_TRUE(parseMasterCf(c.formatted, again)) << c.text;
        EXPECT_TRUE(sameModule(info, again.modules().begin()->second)) << c.text;
    }
}

// An edit: "-" removes the entry, "+" adds it with its text.
const struct {
    string text;
    string ops; // each '+' adds the entry, each '-' removes it, in turn
    string entry, after;
} EDITS[] = {
    {"#a\n" + SMTP + "\n# in\n  -o k=v\n#b\n", "-", SMTP, "#a\n#b\n"},
    {"#a\n", "-", SMTP, "#a\n"},
    {SMTP + "\n", "-", SMTP, ""},
    {"#a\nx unix - - - - - old\n  -o k=v\n#b\n", "+", "x unix - - - - - new",
     "#a\nx unix - - - - - new\n#b\n"},
    {"#a\n" + SMTP + "\n#b\n", "+", "x unix - - - - - x",
     "#a\n" + SMTP + "\n#b\nx unix - - - - - x\n"},
    // A removed entry leaves no trace that a later edit of it could meet.
    {SMTP + "\n#b\n", "--", SMTP, "#b\n"},
    {SMTP + "\n#b\n", "-+", SMTP, "#b\n" + SMTP + "\n"},
};

TEST(MasterCf, EditsChangeOnlyTheirEntry)
{
    for (const auto& c : EDITS) {
        MasterCfContent content, entry;
        ASSERT_TRUE(parseMasterCf(c.text, content) && parseMasterCf(c.entry, entry));
        const ModuleInfo& info = entry.modules().begin()->second;
        for (char op : c.ops) {
            const bool present = content.hasModule(info.name, info.type);
            if (op == '+')
                content.addModule(info, c.entry);
            else
                EXPECT_EQ(present, content.removeModule(info.name, info.type)) << c.text;
            EXPECT_EQ(op == '+', content.hasModule(info.name, info.type)) << c.text;
        }
        EXPECT_EQ(c.after, content.text()) << c.text << c.ops;
    }
}

TEST(MainCf, ListEdits)
{
    // "+" appends a compound element, "-" removes an element; nullptr: nothing written.
    const struct {
        char op;
        const char *value, *element, *result;
    } edits[] = {
        {'+', "", "k hash:/t", "k hash:/t"},
        {'+', "permit_mynetworks ,reject,,  ", "k hash:/t", "permit_mynetworks, reject, k hash:/t"},
        {'+', "a,   k hash:/t  ,b", " k hash:/t ", nullptr},
        {'+', "k hash:/t", "k hash:/u", "k hash:/t, k hash:/u"},
        {'+', "a b", "k  v", "a b, k  v"},
        {'-', "b,a b\tc,,b", "b", "a, c"},
        {'-', "a ,\t, b,  c", "c", "a, b"},
        {'-', "b", "b", ""},
        {'-', "ab, b2", "b", nullptr},
        {'-', "", "a", nullptr},
    };
    for (const auto& c : edits) {
        string result = "untouched";
        const bool written = c.op == '+' ? maincf::compoundAppend(c.value, c.element, result)
                                         : maincf::listRemove(c.value, c.element, result);
        EXPECT_EQ(c.result != nullptr, written) << c.op << c.value;
        EXPECT_EQ(c.result ? c.result : "untouched", result) << c.op << c.value;
    }
}

TEST(MainCf, MynetworksNeverStoresTheComputedDefault)
{
    const char* replacement[][2] = {{nullptr, "127.0.0.0/8"},
                                    {"", "127.0.0.0/8"},
                                    {"127.1.2.3", "127.0.0.0/8"},
                                    {"12.0.0.1", "127.0.0.0/8, 12.0.0.1/32"}};
    for (const auto& c : replacement)
        EXPECT_EQ(c[1], maincf::mynetworksReplacement(c[0])) << (c[0] ? c[0] : "none");
    const string D = "127.0.0.0/8 [::1]/128 192.0.2.0/24", R = "127.0.0.0/8, 192.0.2.1/32";
    const string normalised[][3] = {{D, D, R},
                                    {D + ", 10.0.0.0/8", D, R + ", 10.0.0.0/8"},
                                    {"10.0.0.0/8, " + D, D, "10.0.0.0/8, " + R},
                                    {"127.0.0.0/8", D, "127.0.0.0/8"},
                                    {"10.0.0.0/8", "", "10.0.0.0/8"}};
    for (const auto& c : normalised)
        EXPECT_EQ(c[2], maincf::normaliseMynetworks(c[0], c[1], R)) << c[0];
}

TEST(CheckOutput, OnlyPanicFatalAndErrorLinesFail)
{
    for (const char* text : {"postmap: fatal: open database /x/y.db: No such file or directory",
                             "a: error: b\n", "a: panic: b\n", "a: warning: b\na: fatal: c",
                             "a: fatal: \n", "a:fatal: b", "a:  error: b"})
        EXPECT_FALSE(checkOutput(text)) << text;
    // Not an error word, or not followed by ":", or not after the first colon.
    for (const char* text : {"", "a: errors: b\n", "a: warning: /b, line 3: duplicate entry: \"k\"",
                             "a: fatal\n", "a: fatal error\n", "a:  \n", "fatal: b", "a: FATAL: b"})
        EXPECT_TRUE(checkOutput(text)) << text;
}

typedef ReplaceElementFilterRef Ref;
typedef ElementsFilter<NotInDomainFilter> Remove;
typedef ElementsFilter<ReplaceDomainPart> Rename;
const string O = "o.org", N = "n.net", A = "a@d.com", B = "b@d.com", MO = "o@d.com", MN = "n@d.com",
             PO = "d.com/o/Maildir/", PN = "d.com/n/Maildir/", Z = "\0old.example"s,
             ZN = "renamed.example";

// filtered - the line through a record filter; "-" when dropped.
template <class R> string filtered(R filter, string line)
{
    return filter(line) ? line : "-";
}

string filtered(char kind, const string& line)
{
    switch (kind) {
    case 'N':
        return filtered(Remove(NotInDomainFilter("d.com")), line);
    case 'R':
        return filtered(Rename(ReplaceDomainPart(O, N)), line);
    case 'E':
        return filtered(ElementsFilter<Ref>(Ref(A, B)), line);
    case 'M':
        return filtered(KeyValueFilter<Ref, Ref>(Ref(MO, MN), Ref(PO, PN)), line);
    case 'Z':
        return filtered(Remove(NotInDomainFilter(Z)), line);
    default:
        return filtered(Rename(ReplaceDomainPart(Z, ZN)), line);
    }
}

// A dump line through the filter of its kind: N removes d.com, R renames o.org
// to n.net, E renames a@d.com to b@d.com, M renames the mailbox o@d.com with its
// path (a whole value), Z removes and Y renames the name "\0old.example".
const struct {
    char kind;
    string line, out;
} RECORDS[] = {
    {'N', "d.com 1", "-"},
    {'N', "A.B@D.COM x@e.com", "-"}, // domains ignore case
    {'N', "@d.com x@e.com", "-"},
    {'N', "a@d.com ", "-"}, // the key decides before the value
    {'N', "a@xd.com b.d.com,d.com.au\ta@d.com.au d.co",
     "a@xd.com b.d.com, d.com.au, a@d.com.au, d.co"},
    {'N', "a@e.com b@d.com,c@e.com", "a@e.com c@e.com"},
    {'N', "a@e.com b@d.com, b@d.com ,B@d.com", "-"},
    {'N', "k\ta,, b,\r\f\v  c\t", "k a, b, c"},
    {'N', "k ,", "-"},
    {'N', "k \t ", "-"},
    {'N', "no-blank@e.com", "-"},
    {'R', "x@o.org y@o.org,z@p.org", "x@n.net y@n.net, z@p.org"},
    {'R', "O.org 1", "n.net 1"},
    {'R', "@o.org _bounce_o.org@localhost", "@n.net _bounce_o.org@localhost"},
    {'R', "x@xo.org o.org.au,o.org@p.org xo.org", "x@xo.org o.org.au, o.org@p.org, xo.org"},
    {'E', "a@d.com a@d.com,A@d.com aa@d.com a@d.com.",
     "b@d.com b@d.com, A@d.com, aa@d.com, a@d.com."},
    {'M', "o@d.com\td.com/o/Maildir/  ", "n@d.com d.com/n/Maildir/"},
    {'M', "x@d.com a,b  c", "x@d.com a,b  c"}, // a whole value is no list
    {'M', "\tv", " v"},
    {'M', "o@d.com  ", "-"},
    // A NUL does not end a name: the bytes after it count.
    {'Z', "\0new.example info@\0new.example"s, "\0new.example info@\0new.example"s},
    {'Z', "\0OLD.example 1"s, "-"},
    {'Z', "k info@\0old.example"s, "-"},
    {'Y', "k i@\0new.example,i@\0old.example"s, "k i@\0new.example, i@renamed.example"s},
};

TEST(RecordFilters, RecordsKeptRewrittenOrDropped)
{
    for (const auto& c : RECORDS) {
        std::ostringstream log;
        std::streambuf* saved = std::clog.rdbuf(log.rdbuf());
        const string out = filtered(c.kind, c.line);
        std::clog.rdbuf(saved);
        EXPECT_EQ(c.out, out) << c.kind << " '" << c.line << "'";
        // Only a line without a blank or tab is reported.
        const bool invalid = c.line.find_first_of(" \t") == string::npos;
        EXPECT_EQ(invalid ? "invalid key/value '" + c.line + "'\n" : "", log.str()) << c.line;
    }
}

TEST(RecordFilters, LinesSplitAcrossChunksAreFilteredWhole)
{
    // The last line has no line feed: finish filters it.
    const string dump = "x@o.org\ty@o.org,z@p.org\no.org\t1\nbroken\nk@p.org\tb@o.org";
    const string whole = "x@n.net y@n.net, z@p.org\nn.net 1\nk@p.org b@n.net\n";
    for (size_t i = 0; i <= dump.size(); ++i) {
        for (size_t j = i; j <= dump.size(); ++j) {
            Rename filter(ReplaceDomainPart(O, N));
            std::ostringstream out, log;
            std::streambuf* saved = std::clog.rdbuf(log.rdbuf());
            DataStreamFilter<Rename> stream(filter, out);
            const size_t cuts[] = {0, i, j, dump.size()};
            for (int k = 0; k < 3; ++k)
                stream.filterChunk(Chunk(dump.begin() + cuts[k], dump.begin() + cuts[k + 1]));
            ASSERT_EQ(whole.substr(0, whole.rfind("k@")), out.str()) << i << " " << j;
            stream.finish();
            stream.finish(); // nothing is pending any more
            std::clog.rdbuf(saved);
            ASSERT_EQ(whole, out.str()) << i << " " << j;
            ASSERT_EQ("invalid key/value 'broken'\n", log.str()) << i << " " << j;
        }
    }
}

} // namespace
