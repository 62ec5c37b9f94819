// recordfilter_fuzz.cc - the record filters on arbitrary dump text cut into
// arbitrary chunks: the output must not depend on where the chunks end, must
// match a record-by-record reading of the rules, and must keep what the filter
// has no reason to touch byte for byte.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "mail/postfix/record_filters.h"

namespace db = ostra::mail::postfix::database;

namespace {

// check - stop the run with a message when a property fails.
void check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "property failed: %s\n", what);
        std::abort();
    }
}

enum Kind { NOT_IN_DOMAIN, RENAME_DOMAIN, RENAME_ELEMENT, RENAME_MAILBOX, UNTOUCHED, KINDS };

// The parameters of one run: strings the filters hold references to.
struct Params {
    Kind kind;
    std::string a, b, c, d;
};

// Chunker - chunk lengths from a seed: mostly short, now and then long.
class Chunker {
public:
    explicit Chunker(std::uint32_t seed) : state_(seed) {}
    std::size_t next()
    {
        state_ = state_ * 1664525u + 1013904223u;
        const std::uint32_t r = state_ >> 8;
        return (r & 7) == 0 ? 1 + r % 4096 : 1 + r % 17;
    }

private:
    std::uint32_t state_;
};

// run - the dump through a fresh filter of the kind, chunked by seed (0: one
// chunk); the output and what went to the log stream.
template <class R>
std::string runWith(R filter, const std::string& dump, std::uint32_t seed, std::string& log)
{
    std::ostringstream out;
    std::ostringstream logged;
    std::streambuf* saved = std::clog.rdbuf(logged.rdbuf());
    db::DataStreamFilter<R> stream(filter, out);
    if (seed == 0) {
        stream.filterChunk(db::Chunk(dump.begin(), dump.end()));
    } else {
        Chunker chunks(seed);
        std::size_t pos = 0;
        while (pos < dump.size()) {
            const std::size_t n = std::min(chunks.next(), dump.size() - pos);
            stream.filterChunk(db::Chunk(dump.begin() + pos, dump.begin() + pos + n));
            pos += n;
        }
        stream.filterChunk(db::Chunk()); // an empty read changes nothing
    }
    stream.finish();
    std::clog.rdbuf(saved);
    log = logged.str();
    return out.str();
}

std::string run(const Params& p, const std::string& dump, std::uint32_t seed, std::string& log)
{
    typedef db::ReplaceElementFilterRef Ref;
    switch (p.kind) {
    case NOT_IN_DOMAIN:
        return runWith(db::ElementsFilter<db::NotInDomainFilter>(db::NotInDomainFilter(p.a)), dump,
                       seed, log);
    case RENAME_DOMAIN:
        return runWith(db::ElementsFilter<db::ReplaceDomainPart>(db::ReplaceDomainPart(p.a, p.b)),
                       dump, seed, log);
    case RENAME_ELEMENT:
        return runWith(db::ElementsFilter<Ref>(Ref(p.a, p.b)), dump, seed, log);
    case RENAME_MAILBOX:
    case UNTOUCHED:
        return runWith(db::KeyValueFilter<Ref, Ref>(Ref(p.a, p.b), Ref(p.c, p.d)), dump, seed, log);
    case KINDS:
        break;
    }
    std::abort();
}

// The reference reading of the rules, one record at a time.

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool isSep(char c)
{
    return c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Domains compare without regard to ASCII case, as the tables fold keys.
bool sameText(const std::string& s, std::size_t at, const std::string& d)
{
    if (s.size() - at != d.size())
        return false;
    for (std::size_t i = 0; i < d.size(); ++i)
        if (lower(s[at + i]) != lower(d[i]))
            return false;
    return true;
}

bool inDomain(const std::string& s, const std::string& d)
{
    return s.size() > d.size() && s[s.size() - d.size() - 1] == '@' &&
           sameText(s, s.size() - d.size(), d);
}

// element - one string through the kind's string filter; false to drop it.
bool element(const Params& p, std::string& s, bool key)
{
    switch (p.kind) {
    case NOT_IN_DOMAIN:
        return !sameText(s, 0, p.a) && !inDomain(s, p.a);
    case RENAME_DOMAIN:
        if (sameText(s, 0, p.a))
            s = p.b;
        else if (inDomain(s, p.a))
            s = s.substr(0, s.size() - p.a.size()) + p.b;
        return true;
    case RENAME_ELEMENT:
        if (s == p.a)
            s = p.b;
        return true;
    case RENAME_MAILBOX:
    case UNTOUCHED:
        if (key && s == p.a)
            s = p.b;
        else if (!key && s == p.c)
            s = p.d;
        return true;
    case KINDS:
        break;
    }
    std::abort();
}

// modelRecord - one dump line: the output line, or false when it is dropped.
bool modelRecord(const Params& p, const std::string& line, std::string& out, bool& invalid)
{
    invalid = false;
    std::size_t k = 0;
    while (k < line.size() && !isBlank(line[k]))
        ++k;
    if (k == line.size()) {
        invalid = true;
        return false;
    }
    std::string key = line.substr(0, k);
    if (!element(p, key, true))
        return false;
    std::size_t v = k;
    while (v < line.size() && isBlank(line[v]))
        ++v;
    if (v == line.size())
        return false;
    std::size_t e = line.size();
    while (isBlank(line[e - 1]))
        --e;
    std::string value = line.substr(v, e - v);
    if (p.kind == RENAME_MAILBOX || p.kind == UNTOUCHED) {
        element(p, value, false);
    } else {
        std::string joined;
        std::size_t i = 0;
        while (i < value.size()) {
            if (isSep(value[i])) {
                ++i;
                continue;
            }
            std::size_t j = i;
            while (j < value.size() && !isSep(value[j]))
                ++j;
            std::string item = value.substr(i, j - i);
            i = j;
            if (element(p, item, false))
                joined += (joined.empty() ? "" : ", ") + item;
        }
        if (joined.empty())
            return false;
        value = joined;
    }
    out = key + " " + value;
    return true;
}

// lines - the dump cut at line feeds; a last line without one counts too.
std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos)
            end = text.size();
        result.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return result;
}

bool hasAny(const std::string& s, const char* chars)
{
    return s.find_first_of(chars) != std::string::npos;
}

bool containsText(const std::string& s, const std::string& d)
{
    for (std::size_t i = 0; i + d.size() <= s.size(); ++i)
        if (sameText(s.substr(0, i + d.size()), i, d))
            return true;
    return false;
}

const char SEPARATORS[] = ", \t\n\r\v\f";

// plain - a replacement that cannot change the shape of a line or a list.
bool plain(const std::string& s)
{
    return !s.empty() && !hasAny(s, SEPARATORS);
}

// hasElement - a value with at least one list element.
bool hasElement(const std::string& value)
{
    for (char c : value)
        if (!isSep(c))
            return true;
    return false;
}

// Counts of the dump lines a filter may not lose.
struct Shapes {
    std::size_t records = 0;  // a key, a blank or tab, a value
    std::size_t elements = 0; // and the value holds a list element
};

Shapes shapes(const std::vector<std::string>& in)
{
    Shapes n;
    for (const std::string& line : in) {
        const std::size_t k = line.find_first_of(" \t");
        if (k == std::string::npos || line.find_first_not_of(" \t", k) == std::string::npos)
            continue;
        ++n.records;
        n.elements += hasElement(line.substr(k));
    }
    return n;
}

// The properties of the filtered output itself, beyond agreeing with the model.
void checkOutput(const Params& p, const std::vector<std::string>& in,
                 const std::vector<std::string>& out)
{
    const Shapes n = shapes(in);
    const bool lists =
        p.kind == NOT_IN_DOMAIN || p.kind == RENAME_DOMAIN || p.kind == RENAME_ELEMENT;
    // Replacements without separators leave every line in canonical shape.
    const bool canonical = p.kind == NOT_IN_DOMAIN || p.kind == UNTOUCHED ||
                           (plain(p.b) && (p.kind != RENAME_MAILBOX || plain(p.d)));
    // A replacement holding a line feed makes two lines of one record; the
    // comparison with the model covers that case.
    if (p.b.find('\n') != std::string::npos || p.d.find('\n') != std::string::npos)
        return;
    check(out.size() <= n.records, "no more records than well-formed lines");
    if (p.kind == RENAME_MAILBOX || p.kind == UNTOUCHED)
        check(out.size() == n.records, "a whole-value filter keeps every well-formed record");
    if ((p.kind == RENAME_DOMAIN || p.kind == RENAME_ELEMENT) && !p.b.empty())
        check(out.size() == n.elements, "a renaming list filter keeps every record with elements");
    std::size_t at = 0;
    for (const std::string& line : out) {
        const std::size_t blank = line.find_first_of(" \t");
        check(blank != std::string::npos, "a kept line has a blank");
        const std::string key = line.substr(0, blank);
        const std::string value = line.substr(blank + 1);
        if (canonical) {
            check(line[blank] == ' ' && !value.empty() && !isBlank(value[0]) &&
                      !isBlank(value.back()),
                  "key and value split by one blank");
        }
        if (lists && canonical) {
            // Elements are rejoined with ", " and nothing else separates them.
            for (std::size_t i = 0; i < value.size(); ++i) {
                if (!isSep(value[i]))
                    continue;
                check(value[i] == ',' && i + 2 < value.size() && value[i + 1] == ' ' &&
                          !isSep(value[i + 2]),
                      "elements joined by one comma and one blank");
                ++i;
            }
        }
        if (p.kind == NOT_IN_DOMAIN) {
            check(!sameText(key, 0, p.a) && !inDomain(key, p.a), "no key left in the domain");
            std::size_t i = 0;
            while (i < value.size()) {
                std::size_t j = value.find(", ", i);
                if (j == std::string::npos)
                    j = value.size();
                const std::string item = value.substr(i, j - i);
                check(!sameText(item, 0, p.a) && !inDomain(item, p.a),
                      "no element left in the domain");
                i = j + 2;
            }
        }
        // A domain name holds no "@"; a new name that does not contain the old
        // one cannot bring it back.
        if (p.kind == RENAME_DOMAIN && !p.a.empty() && !hasAny(p.a, "@") &&
            !containsText(p.b, p.a) && canonical) {
            check(!sameText(key, 0, p.a) && !inDomain(key, p.a), "no key left in the old domain");
        }
        if (p.kind == UNTOUCHED) {
            // Nothing to rename: a kept line is its input line, trimmed to one
            // blank between key and value; a line already in that shape is
            // byte-identical.
            while (at < in.size()) {
                const std::string& source = in[at++];
                const std::size_t k = source.find_first_of(" \t");
                if (k == std::string::npos ||
                    source.find_first_not_of(" \t", k) == std::string::npos)
                    continue;
                const std::size_t v = source.find_first_not_of(" \t", k);
                const std::size_t e = source.find_last_not_of(" \t");
                check(line == source.substr(0, k) + " " + source.substr(v, e + 1 - v),
                      "an untouched record keeps its key and value");
                if (source[k] == ' ' && v == k + 1 && e + 1 == source.size())
                    check(line == source, "an untouched canonical record is byte-identical");
                break;
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    Params p;
    p.kind = static_cast<Kind>(input.ConsumeIntegralInRange<int>(0, KINDS - 1));
    p.a = input.ConsumeRandomLengthString(40);
    p.b = input.ConsumeRandomLengthString(40);
    p.c = input.ConsumeRandomLengthString(40);
    p.d = input.ConsumeRandomLengthString(40);
    if (p.kind == UNTOUCHED) {
        // No key and no value of a dump line can hold a line feed.
        p.a = p.c = "\n";
        p.b = p.d = "never";
    }
    const std::uint32_t seed = input.ConsumeIntegral<std::uint32_t>() | 1;
    const std::string dump = input.ConsumeRemainingBytesAsString();

    std::string chunkedLog, wholeLog;
    const std::string chunked = run(p, dump, seed, chunkedLog);
    const std::string whole = run(p, dump, 0, wholeLog);
    check(chunked == whole, "output independent of chunk boundaries");
    check(chunkedLog == wholeLog, "log independent of chunk boundaries");

    const std::vector<std::string> in = lines(dump);
    std::string expected, expectedLog;
    for (const std::string& line : in) {
        std::string out;
        bool invalid = false;
        if (modelRecord(p, line, out, invalid))
            expected += out + "\n";
        if (invalid)
            expectedLog += "invalid key/value '" + line + "'\n";
    }
    check(chunked == expected, "output as the rules give, record by record");
    check(chunkedLog == expectedLog, "one log line per line without a blank or tab");

    checkOutput(p, in, lines(chunked));

    // A second pass with a filter that has nothing to change leaves rejoined
    // lists alone: the first pass's output is already in canonical form.
    if (p.kind == NOT_IN_DOMAIN ||
        ((p.kind == RENAME_DOMAIN || p.kind == RENAME_ELEMENT) && plain(p.b))) {
        Params same = p;
        same.kind = p.kind == NOT_IN_DOMAIN ? NOT_IN_DOMAIN : RENAME_ELEMENT;
        same.a = same.kind == NOT_IN_DOMAIN ? p.a : "\n";
        same.b = "never";
        std::string log;
        check(run(same, chunked, seed, log) == chunked, "filtered output is a fixed point");
        check(log.empty(), "filtered output has no malformed line");
    }
    return 0;
}
