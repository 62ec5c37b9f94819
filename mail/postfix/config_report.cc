// config_report.cc - difference lines and gathered repairs.
#include "mail/postfix/config_report.h"

#include "ostra/uerr.h"

namespace ostra {
namespace mail {
namespace postfix {

// RecordLines::const_iterator::load - the record of the line at at_.
void RecordLines::const_iterator::load()
{
    if (at_ >= text_->size()) {
        at_ = text_->size();
        return;
    }
    const std::string::size_type end = text_->find('\n', at_);
    const std::string::size_type blank = text_->find(' ', at_);
    record_.first.assign(*text_, at_, blank - at_);
    record_.second.assign(*text_, blank + 1, end - blank - 1);
    next_ = end + 1;
}

// RecordLines::add - one more line.
void RecordLines::add(const std::string& key, const std::string& value)
{
    text_ += key;
    text_ += ' ';
    text_ += value;
    text_ += '\n';
}

// Report::line - print and count.
void Report::line(const std::string& kind, const std::string& subject, const std::string& key,
                  const std::string& expected, const std::string& found)
{
    out_ << kind << '\t' << subject << '\t' << key << '\t' << expected << '\t' << found << '\n';
    unsigned& count = kind == "missing"   ? summary_.missing
                      : kind == "differs" ? summary_.differs
                      : kind == "extra"   ? summary_.extra
                                          : summary_.unknown;
    ++count;
}

// Repairs::wanted - every difference of what the panel describes; what it
// does not know only when asked to prune.
bool Repairs::wanted(const std::string& kind) const
{
    return scope_.repair && (kind != "unknown" || scope_.prune);
}

// Repairs::add - a record to write.
void Repairs::add(const std::string& table, const std::string& key, const std::string& value)
{
    if (scope_.repair)
        additions_[table].add(key, value);
}

// Repairs::remove - a key to delete.
void Repairs::remove(const std::string& table, const std::string& key)
{
    if (scope_.repair)
        removals_[table].push_back(key);
}

// Repairs::applyTables - additions first, as the commands write them.
void Repairs::applyTables()
{
    for (const auto& t : additions_)
        now(t.first, [&] { DatabaseHelper::addRecords(t.first, t.second); });
    for (const auto& t : removals_)
        now(t.first, [&] { DatabaseHelper::removeRecords(t.first, t.second); });
}

// Repairs::failed - count and tell.
void Repairs::failed(const std::string& what, const std::exception& e)
{
    ++summary_.failed;
    uerr << "ERROR: unable to repair " << what << ": " << e.what() << std::endl;
}

} // namespace postfix
} // namespace mail
} // namespace ostra
