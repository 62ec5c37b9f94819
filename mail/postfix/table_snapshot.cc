// table_snapshot.cc - fingerprints of a table's records and their matching.
#include "mail/postfix/table_snapshot.h"

#include <algorithm>
#include <string_view>

#include "mail/postfix/database_helper.h"
#include "mail/postfix/postmap_run.h"
#include "ostra/lock.h"

namespace ostra {
namespace mail {
namespace postfix {

namespace {

// fingerprint - 64 bits of a text; two different records of one table share
// one with a chance of about one in 10^13 even at a million records.
uint64_t fingerprint(const std::string& text)
{
    return std::hash<std::string_view>()(text);
}

// LineSplitter - postmap's output cut into "key<TAB>value" records.
class LineSplitter {
public:
    explicit LineSplitter(const std::function<void(const std::string&, const std::string&)>& to)
        : to_(to)
    {
    }
    void chunk(const std::vector<char>& data)
    {
        for (char c : data) {
            if (c != '\n') {
                line_ += c;
                continue;
            }
            const std::string::size_type tab = line_.find('\t');
            if (tab != std::string::npos)
                to_(line_.substr(0, tab), line_.substr(tab + 1));
            line_.clear();
        }
    }

private:
    std::function<void(const std::string&, const std::string&)> to_;
    std::string line_;
};

} // namespace

// foldKey - ASCII lower case, as postmap folds keys.
std::string foldKey(const std::string& key)
{
    std::string folded = key;
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

// TableSnapshot::TableSnapshot - dump once, keep fingerprints sorted by key.
TableSnapshot::TableSnapshot(const std::string& table) : table_(table)
{
    dump([this](const std::string& key, const std::string& value) {
        entries_.push_back({fingerprint(key), fingerprint(value), Missing});
    });
    std::sort(entries_.begin(), entries_.end());
}

// TableSnapshot::dump - postmap -s under the table's lock: a rewrite in
// progress is waited for, never read half done.
void TableSnapshot::dump(
    const std::function<void(const std::string&, const std::string&)>& record) const
{
    const MKLock lock(tableSourcePath(table_));
    LineSplitter lines(record);
    PostmapRun run({"-s", table_});
    run.output([&lines](const std::vector<char>& data) { lines.chunk(data); });
    if (!run.run())
        throw PostfixConfigurationError(run.failureText());
}

// TableSnapshot::expect - the entry with the key's fingerprint, marked.
TableSnapshot::Match TableSnapshot::expect(const std::string& key, const std::string& value)
{
    Entry probe{fingerprint(key), fingerprint(value), Missing};
    auto range = std::equal_range(entries_.begin(), entries_.end(), probe);
    if (range.first == range.second)
        return Missing;
    for (auto e = range.first; e != range.second; ++e) {
        if (e->value == probe.value) {
            e->state = Same;
            return Same;
        }
    }
    range.first->state = Differs;
    return Differs;
}

// TableSnapshot::leftovers - any entry not matched exactly.
bool TableSnapshot::leftovers() const
{
    return std::any_of(entries_.begin(), entries_.end(),
                       [](const Entry& e) { return e.state != Same; });
}

// TableSnapshot::visitLeftovers - a second dump, texts of the entries not matched.
void TableSnapshot::visitLeftovers(const Visitor& visit) const
{
    dump([&](const std::string& key, const std::string& value) {
        Entry probe{fingerprint(key), fingerprint(value), Missing};
        auto range = std::equal_range(entries_.begin(), entries_.end(), probe);
        for (auto e = range.first; e != range.second; ++e) {
            if (e->value == probe.value && e->state != Same) {
                visit(key, value, e->state);
                return;
            }
        }
    });
}

} // namespace postfix
} // namespace mail
} // namespace ostra
