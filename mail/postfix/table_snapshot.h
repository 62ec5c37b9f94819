// table_snapshot.h - what a lookup table holds, kept as fingerprints so that
// a table of millions of records can be compared in a few megabytes.
#ifndef MAIL_POSTFIX_TABLE_SNAPSHOT_H
#define MAIL_POSTFIX_TABLE_SNAPSHOT_H

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

namespace ostra {
namespace mail {
namespace postfix {

// TableSnapshot - the records of one table, read with "postmap -s" under the
// table's lock; expected records are matched against it one by one.
class TableSnapshot {
public:
    enum Match { Same, Differs, Missing };
    typedef std::function<void(const std::string& key, const std::string& value, Match seen)>
        Visitor;

    explicit TableSnapshot(const std::string& table);

    const std::string& table() const { return table_; }
    // expect - match an expected record (key as postmap folds it).
    Match expect(const std::string& key, const std::string& value);
    // leftovers - whether a record was not expected, or expected with another value.
    bool leftovers() const;
    // visitLeftovers - read the table again and hand over every record that
    // was not expected (Missing) or whose key was expected with another value
    // (Differs).
    void visitLeftovers(const Visitor& visit) const;

private:
    struct Entry {
        uint64_t key;
        uint64_t value;
        Match state; // Missing until an expected record matches it
        bool operator<(const Entry& o) const { return key < o.key; }
    };
    // dump - every record of the table, in postmap's order.
    void dump(const std::function<void(const std::string&, const std::string&)>& record) const;

    std::string table_;
    std::vector<Entry> entries_;
};

// foldKey - a key as postmap stores it: A to Z lower-cased.
std::string foldKey(const std::string& key);

} // namespace postfix
} // namespace mail
} // namespace ostra

#endif
