// record_filters.h - filters that rewrite a whole lookup table record by record.
#ifndef MAIL_POSTFIX_RECORD_FILTERS_H
#define MAIL_POSTFIX_RECORD_FILTERS_H

#include <cctype>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <boost/bind/bind.hpp>
#include <boost/function.hpp>

#include "mail/postfix/database_helper.h"
#include "mail/postfix/table_build.h"

namespace ostra {
class MKLock;
class AutocleanOFStream;
} // namespace ostra

namespace ostra {
namespace mail {
namespace postfix {
namespace database {

// isListSep - true for the characters that separate the elements of a value list:
// the comma and the C locale's white space, spelled out because isspace is a
// call per character of every value of a rewritten table.
inline bool isListSep(char c)
{
    switch (c) {
    case ',':
    case ' ':
    case '\t':
    case '\n':
    case '\v':
    case '\f':
    case '\r':
        return true;
    default:
        return false;
    }
}

// String filters: operator() keeps (true) or drops (false) a string, possibly rewriting it.

// NotInDomainFilter - drops a domain name and every address in that domain.
class NotInDomainFilter {
public:
    explicit NotInDomainFilter(const std::string& domain) : domain_(domain) {}
    bool operator()(std::string& s) const;

private:
    std::string domain_;
};

// ReplaceDomainPart - renames a domain, alone or as the domain part of an address.
class ReplaceDomainPart {
public:
    // Both names must outlive the filter.
    ReplaceDomainPart(const std::string& oldName, const std::string& newName)
        : oldName_(oldName), newName_(newName)
    {
    }
    bool operator()(std::string& s) const;

private:
    const std::string& oldName_;
    const std::string& newName_;
};

// ReplaceElementFilterRef - replaces one exact string by another.
class ReplaceElementFilterRef {
public:
    // Both strings must outlive the filter.
    ReplaceElementFilterRef(const std::string& from, const std::string& to) : from_(from), to_(to)
    {
    }
    bool operator()(std::string& s) const;

private:
    const std::string& from_;
    const std::string& to_;
};

// ValueListFilter - filters each element of a value list; joins the kept ones with ", ".
template <class F> class ValueListFilter {
public:
    explicit ValueListFilter(const F& filter) : filter_(filter) {}
    bool operator()(std::string& value);

private:
    F filter_;
    std::string element_; // scratch, reused from record to record
    std::string joined_;
};

// KeyValueFilter - the record filter: the key through K, the value through V.
template <class K, class V> class KeyValueFilter {
public:
    KeyValueFilter(const K& keyFilter, const V& valueFilter)
        : keyFilter_(keyFilter), valueFilter_(valueFilter)
    {
    }
    // operator() - keep or drop a record line (without line feed), rewriting a kept one.
    bool operator()(std::string& line);

private:
    K keyFilter_;
    V valueFilter_;
    std::string key_; // scratch, reused from record to record
    std::string value_;
};

// ElementsFilter - the key and every element of the value through one string filter.
template <class F> class ElementsFilter : public KeyValueFilter<F, ValueListFilter<F>> {
public:
    explicit ElementsFilter(const F& filter)
        : KeyValueFilter<F, ValueListFilter<F>>(filter, ValueListFilter<F>(filter))
    {
    }
};

// The chunks in which a dump arrives from the pipeline.
typedef std::vector<char> Chunk;

// DataStreamFilter - cuts the chunked dump into lines and writes the kept records.
template <class R> class DataStreamFilter {
public:
    DataStreamFilter(R& filter, std::ostream& out) : filter_(filter), out_(out) {}
    DataStreamFilter(const DataStreamFilter&) = delete;
    DataStreamFilter& operator=(const DataStreamFilter&) = delete;

    // filterChunk - take the next piece of the dump; a line may span chunks.
    void filterChunk(const Chunk& chunk);
    // finish - filter a last line that had no line feed.
    void finish();

private:
    void emit();

    R& filter_;
    std::ostream& out_;
    std::string pending_;
};

// TableRewrite - the lock, the new table and the postmap runs of one rewrite.
class TableRewrite {
public:
    typedef boost::function<void(const Chunk&)> ChunkReceiver;

    // Takes the table's lock and opens the new table's source, truncated.
    explicit TableRewrite(const std::string& table);
    // Deletes what is left of the new table, then releases the lock.
    ~TableRewrite();
    TableRewrite(const TableRewrite&) = delete;
    TableRewrite& operator=(const TableRewrite&) = delete;

    // source - the stream on the new table's source.
    std::ostream& source();
    // dump - run "postmap -s" with its output going to receiver.
    void dump(const ChunkReceiver& receiver);
    // compile - compile the new table and rename it over the table.
    void compile();

private:
    std::string table_;
    std::unique_ptr<ostra::MKLock> lock_;
    std::unique_ptr<TableBuild> build_;
};

// splitRecordLine - cut a record line into key and value (trimmed of blanks and tabs).
enum class LineShape { Record, NoValue, Invalid };
LineShape splitRecordLine(const std::string& line, std::string& key, std::string& value);

template <class F> bool ValueListFilter<F>::operator()(std::string& value)
{
    joined_.clear();
    const std::string::size_type size = value.size();
    std::string::size_type pos = 0;
    while (pos < size) {
        while (pos < size && isListSep(value[pos]))
            ++pos;
        if (pos == size)
            break;
        std::string::size_type end = pos;
        while (end < size && !isListSep(value[end]))
            ++end;
        element_.assign(value, pos, end - pos);
        pos = end;
        if (!filter_(element_))
            continue;
        if (!joined_.empty())
            joined_ += ", ";
        joined_ += element_;
    }
    if (joined_.empty())
        return false;
    value.swap(joined_);
    return true;
}

template <class K, class V> bool KeyValueFilter<K, V>::operator()(std::string& line)
{
    key_.clear();
    value_.clear();
    switch (splitRecordLine(line, key_, value_)) {
    case LineShape::Invalid:
        std::clog << "invalid key/value '" << line << "'" << std::endl;
        return false;
    case LineShape::NoValue:
        return false;
    case LineShape::Record:
        break;
    }
    if (!keyFilter_(key_) || !valueFilter_(value_))
        return false;
    line.assign(key_);
    line += ' ';
    line += value_;
    return true;
}

template <class R> void DataStreamFilter<R>::filterChunk(const Chunk& chunk)
{
    if (chunk.empty())
        return;
    const char* begin = chunk.data();
    const char* const end = begin + chunk.size();
    while (const char* feed = static_cast<const char*>(memchr(begin, '\n', end - begin))) {
        pending_.append(begin, feed);
        emit();
        begin = feed + 1;
    }
    pending_.append(begin, end);
}

template <class R> void DataStreamFilter<R>::finish()
{
    if (!pending_.empty())
        emit();
}

template <class R> void DataStreamFilter<R>::emit()
{
    // No flush per record: postmap reads the file only after it is closed, and a
    // write per record would double the cost of rewriting a large table.
    if (filter_(pending_)) {
        pending_ += '\n';
        out_.write(pending_.data(), pending_.size());
    }
    pending_.clear();
}

} // namespace database

template <class RecordFilter>
void DatabaseHelper::filterRecords(const std::string& table, RecordFilter filter)
{
    database::TableRewrite rewrite(table);
    database::DataStreamFilter<RecordFilter> stream(filter, rewrite.source());
    rewrite.dump(boost::bind(&database::DataStreamFilter<RecordFilter>::filterChunk, &stream,
                             boost::placeholders::_1));
    stream.finish();
    rewrite.compile();
}

} // namespace postfix
} // namespace mail
} // namespace ostra

#endif
