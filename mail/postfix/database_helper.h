// database_helper.h - the Postfix lookup tables: catalogue, postmap runs, change sets.
#ifndef MAIL_POSTFIX_DATABASE_HELPER_H
#define MAIL_POSTFIX_DATABASE_HELPER_H

#include <list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <boost/bind/bind.hpp>
#include <boost/function.hpp>
#include <boost/ref.hpp>

#include "mail/postfix/postfix_errors.h"

namespace ostra {
namespace mail {
namespace postfix {

// Table catalogue: identifiers exactly as postmap gets them.
namespace tables {
constexpr char VIRTUAL_DOMAINS[] = "hash:/var/spool/postfix/ostra/virtual_domains";
constexpr char VMAILBOX[] = "hash:/var/spool/postfix/ostra/vmailbox";
constexpr char VIRTUAL[] = "hash:/var/spool/postfix/ostra/virtual";
constexpr char ALIASES[] = "hash:/var/spool/postfix/ostra/aliases";
constexpr char BLACKLISTS[] = "hash:/var/spool/postfix/ostra/blacklists";
constexpr char POPLOCK[] = "hash:/var/spool/postfix/ostra/poplock";

// Pieces of the record shapes the managers write.
constexpr char LOCAL_HOST_SUFFIX[] = "@localhost.localdomain";
constexpr char BOUNCE_KEY_PREFIX[] = "_ostra_bounce_";
constexpr char BOUNCE_PROGRAM[] = "/usr/lib/ostra-9.0/bouncemessage";
constexpr char MAILBOX_SUFFIX[] = "/Maildir/";
constexpr char ALIAS_DOMAIN_VALUE[] = "1";
constexpr char BLACKLIST_VALUE[] = "REJECT";
// The standard addresses of every domain, in the order they are written.
constexpr const char* STANDARD_ADDRESSES[] = {"postmaster", "mailer-daemon", "root",
                                              "anonymous",  "drweb",         "kluser"};
constexpr unsigned STANDARD_ADDRESS_COUNT = 6;
} // namespace tables

// A record is (key, value); keys never hold blanks or tabs.
typedef std::pair<std::string, std::string> Record;
typedef std::list<Record> RecordList;
typedef std::vector<Record> RecordVector;
typedef std::list<std::string> KeyList;
typedef std::vector<std::string> KeyVector;

// The buffer an input producer fills for the pipeline.
typedef std::vector<char> ProducerBuffer;
typedef boost::function<bool(ProducerBuffer&)> InputProducer;

// tableSourcePath - the text source of a table: the identifier after the first ":".
std::string tableSourcePath(const std::string& table);

// checkOutput - true when a Postfix tool's standard error holds no panic, fatal or error line.
bool checkOutput(const std::string& errorText);

// DatabaseHelper - every change of a lookup table, each one postmap run.
class DatabaseHelper {
public:
    // addRecords - merge records into a table; nothing happens for an empty range.
    template <class Range> static void addRecords(const std::string& table, const Range& records);
    // addRecord - merge one record into a table.
    static void addRecord(const std::string& table, const std::string& key,
                          const std::string& value);
    // replaceRecords - make the records the table's whole content.
    template <class Range>
    static void replaceRecords(const std::string& table, const Range& records);
    // removeRecords - remove keys; absent keys are no error, an empty range does nothing.
    template <class Range> static void removeRecords(const std::string& table, const Range& keys);
    // removeRecord - remove one key; an absent key is no error.
    static void removeRecord(const std::string& table, const std::string& key);
    // filterRecords - rewrite every record of a table through a record filter.
    // Defined in mail/postfix/record_filters.h, which holds the filters.
    template <class RecordFilter>
    static void filterRecords(const std::string& table, RecordFilter filter);

    // formRecord - append the record line at pos to out; true while records remain.
    template <class Buffer, class Iterator>
    static bool formRecord(Buffer& out, Iterator& pos, Iterator end);
    // printKey - append the key line at pos to out; true while keys remain.
    template <class Buffer, class Iterator>
    static bool printKey(Buffer& out, Iterator& pos, Iterator end);

private:
    DatabaseHelper() = delete;

    // The postmap runs behind the templates above.
    static void runAdd(const std::string& table, const InputProducer& producer);
    static void runRemove(const std::string& table, const InputProducer& producer);
    static void runReplace(const std::string& table, const InputProducer& producer);
};

// BatchDatabaseHelper - the change set that one manager operation hands to the tables.
class BatchDatabaseHelper {
public:
    enum Merge { Replacing = 0, Incremental = 1 };
    enum Apply { Deferred = 0, Immediate = 1 };

    // Incremental and immediate, the way every manager uses it.
    BatchDatabaseHelper() : incremental_(true), immediate_(true) {}
    BatchDatabaseHelper(Merge merge, Apply apply)
        : incremental_(merge == Incremental), immediate_(apply == Immediate)
    {
    }
    BatchDatabaseHelper(const BatchDatabaseHelper&) = delete;
    BatchDatabaseHelper& operator=(const BatchDatabaseHelper&) = delete;

    bool incremental() const { return incremental_; }
    bool immediate() const { return immediate_; }

    // addChange - add one record to a table.
    void addChange(const std::string& table, const std::string& key, const std::string& value);
    // addChanges - add records to a table.
    template <class Range> void addChanges(const std::string& table, const Range& records);
    // removeChanges - remove keys from a table.
    template <class Range> void removeChanges(const std::string& table, const Range& keys);
    // commit - apply held changes: all additions, then all removals.
    void commit();

private:
    RecordList& pendingAdditions(const std::string& table);
    KeyList& pendingRemovals(const std::string& table);

    bool incremental_;
    bool immediate_;
    std::map<std::string, RecordList> additions_;
    std::map<std::string, KeyList> removals_;
};

template <class Buffer, class Iterator>
bool DatabaseHelper::formRecord(Buffer& out, Iterator& pos, Iterator end)
{
    if (pos == end)
        return false;
    out.insert(out.end(), pos->first.begin(), pos->first.end());
    out.push_back(' ');
    out.insert(out.end(), pos->second.begin(), pos->second.end());
    out.push_back('\n');
    return ++pos != end;
}

template <class Buffer, class Iterator>
bool DatabaseHelper::printKey(Buffer& out, Iterator& pos, Iterator end)
{
    if (pos == end)
        return false;
    out.insert(out.end(), pos->begin(), pos->end());
    out.push_back('\n');
    return ++pos != end;
}

template <class Range>
void DatabaseHelper::addRecords(const std::string& table, const Range& records)
{
    typedef typename Range::const_iterator Iterator;
    Iterator pos = records.begin();
    if (pos == records.end())
        return;
    runAdd(table, boost::bind(&DatabaseHelper::formRecord<ProducerBuffer, Iterator>,
                              boost::placeholders::_1, boost::ref(pos), records.end()));
}

template <class Range>
void DatabaseHelper::replaceRecords(const std::string& table, const Range& records)
{
    typedef typename Range::const_iterator Iterator;
    Iterator pos = records.begin();
    runReplace(table, boost::bind(&DatabaseHelper::formRecord<ProducerBuffer, Iterator>,
                                  boost::placeholders::_1, boost::ref(pos), records.end()));
}

template <class Range>
void DatabaseHelper::removeRecords(const std::string& table, const Range& keys)
{
    typedef typename Range::const_iterator Iterator;
    Iterator pos = keys.begin();
    if (pos == keys.end())
        return;
    runRemove(table, boost::bind(&DatabaseHelper::printKey<ProducerBuffer, Iterator>,
                                 boost::placeholders::_1, boost::ref(pos), keys.end()));
}

template <class Range>
void BatchDatabaseHelper::addChanges(const std::string& table, const Range& records)
{
    if (!immediate_) {
        RecordList& pending = pendingAdditions(table);
        pending.insert(pending.end(), records.begin(), records.end());
    } else if (incremental_) {
        DatabaseHelper::addRecords(table, records);
    } else {
        DatabaseHelper::replaceRecords(table, records);
    }
}

template <class Range>
void BatchDatabaseHelper::removeChanges(const std::string& table, const Range& keys)
{
    if (!immediate_) {
        KeyList& pending = pendingRemovals(table);
        pending.insert(pending.end(), keys.begin(), keys.end());
    } else {
        DatabaseHelper::removeRecords(table, keys);
    }
}

} // namespace postfix
} // namespace mail
} // namespace ostra

#endif
