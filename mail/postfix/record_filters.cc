// record_filters.cc - string filters and the locked dump-filter-compile of a table.
#include "mail/postfix/record_filters.h"

#include "mail/postfix/postmap_run.h"
#include "ostra/lock.h"

namespace ostra {
namespace mail {
namespace postfix {
namespace database {

namespace {

// asciiLower - the byte with A to Z folded, as postmap folds keys.
char asciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Domain names compare without regard to case, as postmap folds keys. Byte by
// byte to the end: a C string comparison would stop at an embedded NUL.
bool sameDomain(const std::string& s, std::string::size_type at, const std::string& domain)
{
    if (s.size() - at != domain.size())
        return false;
    for (std::string::size_type i = 0; i < domain.size(); ++i)
        if (asciiLower(s[at + i]) != asciiLower(domain[i]))
            return false;
    return true;
}

// addressDomainAt - where domain starts when s is an address "local@domain", else npos.
std::string::size_type addressDomainAt(const std::string& s, const std::string& domain)
{
    if (s.size() <= domain.size())
        return std::string::npos;
    const std::string::size_type at = s.size() - domain.size();
    if (s[at - 1] != '@' || !sameDomain(s, at, domain))
        return std::string::npos;
    return at;
}

} // namespace

// NotInDomainFilter - drop the domain itself and every address in it.
bool NotInDomainFilter::operator()(std::string& s) const
{
    if (sameDomain(s, 0, domain_))
        return false;
    return addressDomainAt(s, domain_) == std::string::npos;
}

// ReplaceDomainPart - rename the domain, alone or after the "@" of an address.
bool ReplaceDomainPart::operator()(std::string& s) const
{
    if (sameDomain(s, 0, oldName_)) {
        s = newName_;
        return true;
    }
    const std::string::size_type at = addressDomainAt(s, oldName_);
    if (at != std::string::npos)
        s.replace(at, std::string::npos, newName_);
    return true;
}

// ReplaceElementFilterRef - replace the exact source string by the target.
bool ReplaceElementFilterRef::operator()(std::string& s) const
{
    if (s == from_)
        s = to_;
    return true;
}

namespace {

// isBlank - the two separators of a record line. Plain comparisons: the
// library's find_first_of calls memchr once per character of the line,
// which made splitting a fifth of a large table's rewrite.
inline bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

} // namespace

// splitRecordLine - key up to the first blank or tab; value trimmed of blanks and tabs.
LineShape splitRecordLine(const std::string& line, std::string& key, std::string& value)
{
    const char* const data = line.data();
    const std::string::size_type size = line.size();
    std::string::size_type keyEnd = 0;
    while (keyEnd < size && !isBlank(data[keyEnd]))
        ++keyEnd;
    if (keyEnd == size)
        return LineShape::Invalid;
    key.assign(data, keyEnd);
    std::string::size_type begin = keyEnd;
    while (begin < size && isBlank(data[begin]))
        ++begin;
    if (begin == size)
        return LineShape::NoValue;
    std::string::size_type end = size;
    while (isBlank(data[end - 1])) // stops at data[begin] at the latest
        --end;
    value.assign(data + begin, end - begin);
    return LineShape::Record;
}

// TableRewrite - lock the table's source path, then open the new table's source.
TableRewrite::TableRewrite(const std::string& table) : table_(table)
{
    if (table_.empty())
        throw std::invalid_argument("empty lookup table identifier");
    lock_.reset(new MKLock(tableSourcePath(table_)));
    build_.reset(new TableBuild(table_));
}

// ~TableRewrite - the new table's files go first, so no one sees them unlocked.
TableRewrite::~TableRewrite()
{
    build_.reset();
    lock_.reset();
}

// source - the stream the filtered records go to.
std::ostream& TableRewrite::source()
{
    return build_->source();
}

// dump - postmap -s, its output handed to receiver chunk by chunk.
void TableRewrite::dump(const ChunkReceiver& receiver)
{
    PostmapRun run({"-s", table_});
    if (!run.output(receiver).run())
        throw PostfixConfigurationError(run.failureText());
}

// compile - build the new table and put it in place of the old one.
void TableRewrite::compile()
{
    build_->install({});
}

} // namespace database
} // namespace postfix
} // namespace mail
} // namespace ostra
