// record_filters_test.cc - string filters, record filters and the dump line splitter.
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mail/postfix/record_filters.h"

using namespace ostra::mail::postfix::database;

namespace {

// ClogCapture - collects what is written to std::clog while it lives.
class ClogCapture {
public:
    ClogCapture() : saved_(std::clog.rdbuf(text_.rdbuf())) {}
    ~ClogCapture() { std::clog.rdbuf(saved_); }
    std::string text() const { return text_.str(); }

private:
    std::ostringstream text_;
    std::streambuf* saved_;
};

// StringCase - a string, and what a string filter makes of it ("" with keep false: dropped).
struct StringCase {
    std::string in;
    bool keep;
    std::string out;
};

// apply - run a string filter on a copy of s.
template <class F> StringCase apply(const F& filter, const std::string& s)
{
    std::string copy = s;
    const bool keep = filter(copy);
    return {s, keep, keep ? copy : std::string()};
}

TEST(NotInDomainFilter, DropsTheDomainAndItsAddressesOnly)
{
    const NotInDomainFilter filter("example.com");
    const StringCase cases[] = {
        {"example.com", false, ""},
        {"a@example.com", false, ""},
        {"@example.com", false, ""},                // the catch-all key
        {"A.B@Example.COM", false, ""},             // domains ignore case
        {"a@xexample.com", true, "a@xexample.com"}, // longer domain ending in the text
        {"a.example.com", true, "a.example.com"},
        {"example.com.au", true, "example.com.au"},
        {"a@example.com.au", true, "a@example.com.au"},
        {"example.co", true, "example.co"},
        {"", true, ""},
        {"a@b", true, "a@b"},
    };
    for (const StringCase& c : cases) {
        const StringCase got = apply(filter, c.in);
        EXPECT_EQ(c.keep, got.keep) << c.in;
        EXPECT_EQ(c.out, got.out) << c.in;
    }
}

TEST(NotInDomainFilter, KeepsItsOwnCopyOfTheDomain)
{
    std::string domain = "gone.org";
    const NotInDomainFilter filter(domain);
    domain = "other.org";
    EXPECT_FALSE(apply(filter, "x@gone.org").keep);
    EXPECT_TRUE(apply(filter, "x@other.org").keep);
}

TEST(ReplaceDomainPart, RenamesTheDomainAloneOrAfterTheAt)
{
    const std::string oldName = "old.com", newName = "new.example.org";
    const ReplaceDomainPart filter(oldName, newName);
    const StringCase cases[] = {
        {"old.com", true, "new.example.org"},
        {"OLD.com", true, "new.example.org"},
        {"x@old.com", true, "x@new.example.org"},
        {"@old.com", true, "@new.example.org"},
        {"x.y@old.com", true, "x.y@new.example.org"},
        {"x@xold.com", true, "x@xold.com"},
        {"xold.com", true, "xold.com"},
        {"old.com.au", true, "old.com.au"},
        {"x@old.com.au", true, "x@old.com.au"},
        {"old.com@other.net", true, "old.com@other.net"},
        {"", true, ""},
    };
    for (const StringCase& c : cases) {
        const StringCase got = apply(filter, c.in);
        EXPECT_TRUE(got.keep) << c.in;
        EXPECT_EQ(c.out, got.out) << c.in;
    }
}

TEST(ReplaceElementFilterRef, ReplacesOnlyTheExactString)
{
    std::string from = "a@d.com", to = "b@d.com";
    const ReplaceElementFilterRef filter(from, to);
    const StringCase cases[] = {
        {"a@d.com", true, "b@d.com"},   {"A@d.com", true, "A@d.com"},
        {"aa@d.com", true, "aa@d.com"}, {"a@d.com.", true, "a@d.com."},
        {"a@d.co", true, "a@d.co"},     {"", true, ""},
    };
    for (const StringCase& c : cases) {
        const StringCase got = apply(filter, c.in);
        EXPECT_TRUE(got.keep) << c.in;
        EXPECT_EQ(c.out, got.out) << c.in;
    }
    // The filter holds references: the caller's strings are what counts.
    from = "c@d.com";
    to = "e@d.com";
    EXPECT_EQ("e@d.com", apply(filter, "c@d.com").out);
    EXPECT_EQ("a@d.com", apply(filter, "a@d.com").out);
}

TEST(IsListSep, CommaAndWhiteSpace)
{
    for (char c : std::string(", \t\n\r\v\f"))
        EXPECT_TRUE(isListSep(c)) << int(c);
    for (char c : std::string("a@.-_;:\"|0"))
        EXPECT_FALSE(isListSep(c)) << c;
}

// LineCase - a record line and what a record filter makes of it.
struct LineCase {
    std::string in;
    bool keep;
    std::string out;
};

// applyLine - run a record filter on a copy of line, with clog collected into log.
template <class R> LineCase applyLine(R& filter, const std::string& line, std::string& log)
{
    ClogCapture capture;
    std::string copy = line;
    const bool keep = filter(copy);
    log = capture.text();
    return {line, keep, keep ? copy : std::string()};
}

// checkLines - every case through the filter, none of them logging.
template <class R> void checkLines(R& filter, const std::vector<LineCase>& cases)
{
    for (const LineCase& c : cases) {
        std::string log;
        const LineCase got = applyLine(filter, c.in, log);
        EXPECT_EQ(c.keep, got.keep) << "'" << c.in << "'";
        EXPECT_EQ(c.out, got.out) << "'" << c.in << "'";
        EXPECT_EQ("", log) << "'" << c.in << "'";
    }
}

TEST(ElementsFilter, RenamingADomainAlias)
{
    const std::string oldName = "o.org", newName = "n.net";
    ElementsFilter<ReplaceDomainPart> filter(ReplaceDomainPart(oldName, newName));
    checkLines(filter, {
                           {"x@o.org y@o.org, z@p.org", true, "x@n.net y@n.net, z@p.org"},
                           {"o.org 1", true, "n.net 1"},
                           {"@o.org _ostra_bounce_o.org@localhost.localdomain", true,
                            "@n.net _ostra_bounce_o.org@localhost.localdomain"},
                           {"x@xo.org y@xo.org", true, "x@xo.org y@xo.org"},
                           {"m@p.org m@p.org", true, "m@p.org m@p.org"},
                       });
}

TEST(ElementsFilter, RemovingADomain)
{
    ElementsFilter<NotInDomainFilter> filter{NotInDomainFilter("d.com")};
    checkLines(filter, {
                           {"a@d.com a@d.com", false, ""},
                           {"a@d.com b@e.com", false, ""},
                           {"d.com 1", false, ""},
                           {"@d.com x@e.com", false, ""},
                           {"a@e.com b@d.com,c@e.com", true, "a@e.com c@e.com"},
                           {"a@e.com b@d.com", false, ""},
                           {"a@e.com b@d.com, b@d.com ,b@d.com", false, ""},
                           {"a@e.com c@e.com b@d.com", true, "a@e.com c@e.com"},
                           {"a@xd.com b@xd.com", true, "a@xd.com b@xd.com"},
                           {"postmaster@e.com postmaster@localhost.localdomain", true,
                            "postmaster@e.com postmaster@localhost.localdomain"},
                       });
}

TEST(ElementsFilter, ListsComeOutJoinedWithCommaBlank)
{
    ElementsFilter<NotInDomainFilter> filter{NotInDomainFilter("none.test")};
    checkLines(filter, {
                           {"k a,b", true, "k a, b"},
                           {"k a , ,b", true, "k a, b"},
                           {"k\ta\tb", true, "k a, b"},
                           {"k  ,a,, b,  ", true, "k a, b"},
                           {"k\t \tsingle\t ", true, "k single"},
                           {"k a\rb", true, "k a, b"},
                           {"k ,", false, ""},   // nothing but separators
                           {"k \t ", false, ""}, // a key without a value
                           {"k\t", false, ""},
                       });
}

TEST(KeyValueFilter, RenamingAMailboxKeepsTheValueWhole)
{
    const std::string oldAddress = "o@d.com", newAddress = "n@d.com";
    const std::string oldPath = "d.com/o/Maildir/", newPath = "d.com/n/Maildir/";
    KeyValueFilter<ReplaceElementFilterRef, ReplaceElementFilterRef> filter(
        ReplaceElementFilterRef(oldAddress, newAddress), ReplaceElementFilterRef(oldPath, newPath));
    checkLines(filter, {
                           {"o@d.com d.com/o/Maildir/", true, "n@d.com d.com/n/Maildir/"},
                           {"o@d.com\td.com/o/Maildir/  ", true, "n@d.com d.com/n/Maildir/"},
                           {"x@d.com d.com/o/Maildir/", true, "x@d.com d.com/n/Maildir/"},
                           {"o@d.com other/Maildir/", true, "n@d.com other/Maildir/"},
                           // a whole-value filter neither splits nor rejoins lists
                           {"x@d.com a,b  c", true, "x@d.com a,b  c"},
                           {"o@d.com  ", false, ""}, // no value
                       });
}

TEST(KeyValueFilter, DroppedKeyDecidesBeforeTheValue)
{
    ElementsFilter<NotInDomainFilter> filter{NotInDomainFilter("d.com")};
    std::string log;
    // A key in the domain disappears even when it has no value at all.
    EXPECT_FALSE(applyLine(filter, "a@d.com ", log).keep);
    EXPECT_EQ("", log);
}

TEST(KeyValueFilter, LineWithoutBlankIsLoggedAndDropped)
{
    ElementsFilter<NotInDomainFilter> filter{NotInDomainFilter("d.com")};
    const std::string lines[] = {"novalue@e.com", "", "a,b"};
    for (const std::string& line : lines) {
        std::string log;
        EXPECT_FALSE(applyLine(filter, line, log).keep);
        EXPECT_EQ("invalid key/value '" + line + "'\n", log);
    }
}

// A small dump, as postmap prints it, and the filtered source it must become.
const std::string dump = "x@o.org\ty@o.org,z@p.org\n"
                         "o.org\t1\n"
                         "broken-line\n"
                         "keep@p.org\tkeep@p.org\n"
                         "a@p.org\tb@o.org\n";
const std::string filtered = "x@n.net y@n.net, z@p.org\n"
                             "n.net 1\n"
                             "keep@p.org keep@p.org\n"
                             "a@p.org b@n.net\n";

// feed - pass text to a stream filter in chunks cut at the given offsets.
template <class R>
void feed(DataStreamFilter<R>& stream, const std::string& text, std::vector<size_t> cuts)
{
    cuts.push_back(text.size());
    size_t begin = 0;
    for (size_t end : cuts) {
        stream.filterChunk(Chunk(text.begin() + begin, text.begin() + end));
        begin = end;
    }
}

TEST(DataStreamFilter, LinesSplitAcrossChunksAreFilteredWhole)
{
    const std::string oldName = "o.org", newName = "n.net";
    // Every single cut, and every pair of cuts, of the dump.
    for (size_t i = 0; i <= dump.size(); ++i) {
        for (size_t j = i; j <= dump.size(); ++j) {
            ElementsFilter<ReplaceDomainPart> filter(ReplaceDomainPart(oldName, newName));
            std::ostringstream out;
            DataStreamFilter<ElementsFilter<ReplaceDomainPart>> stream(filter, out);
            ClogCapture capture;
            feed(stream, dump, {i, j});
            stream.finish();
            ASSERT_EQ(filtered, out.str()) << "cuts at " << i << " and " << j;
            ASSERT_EQ("invalid key/value 'broken-line'\n", capture.text());
        }
    }
}

TEST(DataStreamFilter, OneByteChunks)
{
    const std::string oldName = "o.org", newName = "n.net";
    ElementsFilter<ReplaceDomainPart> filter(ReplaceDomainPart(oldName, newName));
    std::ostringstream out;
    DataStreamFilter<ElementsFilter<ReplaceDomainPart>> stream(filter, out);
    ClogCapture capture;
    for (char c : dump)
        stream.filterChunk(Chunk(1, c));
    stream.finish();
    EXPECT_EQ(filtered, out.str());
}

TEST(DataStreamFilter, LastLineWithoutLineFeedWaitsForFinish)
{
    ElementsFilter<NotInDomainFilter> filter{NotInDomainFilter("d.com")};
    std::ostringstream out;
    DataStreamFilter<ElementsFilter<NotInDomainFilter>> stream(filter, out);
    const std::string text = "a@e.com b@e.com\nlast@e.com\tc@e.com,x@d.com";
    stream.filterChunk(Chunk(text.begin(), text.end()));
    EXPECT_EQ("a@e.com b@e.com\n", out.str());
    stream.finish();
    EXPECT_EQ("a@e.com b@e.com\nlast@e.com c@e.com\n", out.str());
    // Nothing is pending any more: a second finish writes nothing.
    stream.finish();
    EXPECT_EQ("a@e.com b@e.com\nlast@e.com c@e.com\n", out.str());
}

TEST(DataStreamFilter, EmptyDumpWritesNothing)
{
    ElementsFilter<NotInDomainFilter> filter{NotInDomainFilter("d.com")};
    std::ostringstream out;
    DataStreamFilter<ElementsFilter<NotInDomainFilter>> stream(filter, out);
    stream.filterChunk(Chunk());
    stream.finish();
    EXPECT_EQ("", out.str());
}

TEST(SplitRecordLine, Shapes)
{
    struct {
        std::string line;
        LineShape shape;
        std::string key, value;
    } cases[] = {
        {"k v", LineShape::Record, "k", "v"},  {"k\t v w \t", LineShape::Record, "k", "v w"},
        {"k \t", LineShape::NoValue, "k", ""}, {"k", LineShape::Invalid, "", ""},
        {"\tv", LineShape::Record, "", "v"},
    };
    for (const auto& c : cases) {
        std::string key, value;
        EXPECT_EQ(c.shape, splitRecordLine(c.line, key, value)) << c.line;
        EXPECT_EQ(c.key, key) << c.line;
        EXPECT_EQ(c.value, value) << c.line;
    }
}

} // namespace
