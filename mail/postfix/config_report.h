// config_report.h - the difference lines of a check, and the repairs of a
// restore gathered while the lines are found.
#ifndef MAIL_POSTFIX_CONFIG_REPORT_H
#define MAIL_POSTFIX_CONFIG_REPORT_H

#include <map>
#include <ostream>
#include <string>

#include "mail/postfix/database_helper.h"
#include "mail/postfix/mail_config.h"

namespace ostra {
namespace mail {
namespace postfix {

// The "found" or "expected" field of something that is not there.
constexpr char NOTHING[] = "-";

// RecordLines - records kept as "key value" lines of one string, about a
// third of the memory of separate strings: a restore into empty tables
// gathers every record of them. Keys hold no blank.
class RecordLines {
public:
    class const_iterator {
    public:
        const_iterator(const std::string* text, std::string::size_type at) : text_(text), at_(at)
        {
            load();
        }
        const Record& operator*() const { return record_; }
        const Record* operator->() const { return &record_; }
        const_iterator& operator++()
        {
            at_ = next_;
            load();
            return *this;
        }
        bool operator==(const const_iterator& o) const { return at_ == o.at_; }
        bool operator!=(const const_iterator& o) const { return at_ != o.at_; }

    private:
        void load();

        const std::string* text_;
        std::string::size_type at_;
        std::string::size_type next_ = 0;
        Record record_;
    };

    void add(const std::string& key, const std::string& value);
    const_iterator begin() const { return const_iterator(&text_, 0); }
    const_iterator end() const { return const_iterator(&text_, text_.size()); }

private:
    std::string text_;
};

// Report - one tab-separated line per difference, counted by kind.
class Report {
public:
    Report(std::ostream& out, ConfigSummary& summary) : out_(out), summary_(summary) {}
    // line - kind is "missing", "differs", "extra" or "unknown".
    void line(const std::string& kind, const std::string& subject, const std::string& key,
              const std::string& expected, const std::string& found);

private:
    std::ostream& out_;
    ConfigSummary& summary_;
};

// Repairs - what a restore changes. Table records are gathered and applied
// at the end, one postmap run per table and kind of change; other repairs
// run at once. Inactive for a check.
class Repairs {
public:
    Repairs(const ConfigScope& scope, ConfigSummary& summary) : scope_(scope), summary_(summary) {}

    // wanted - whether a difference of this kind is repaired: "unknown" only
    // with --prune.
    bool wanted(const std::string& kind) const;
    void add(const std::string& table, const std::string& key, const std::string& value);
    void remove(const std::string& table, const std::string& key);
    // now - run one repair; a failure is counted, reported on uerr, and the
    // restore goes on.
    template <class Action> void now(const std::string& what, Action action);
    // applyTables - the gathered table changes.
    void applyTables();

private:
    void failed(const std::string& what, const std::exception& e);

    const ConfigScope& scope_;
    ConfigSummary& summary_;
    std::map<std::string, RecordLines> additions_;
    std::map<std::string, KeyVector> removals_;
};

template <class Action> void Repairs::now(const std::string& what, Action action)
{
    if (!scope_.repair)
        return;
    try {
        action();
        ++summary_.repaired;
    } catch (const std::exception& e) {
        failed(what, e);
    }
}

} // namespace postfix
} // namespace mail
} // namespace ostra

#endif
