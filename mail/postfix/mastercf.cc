// mastercf.cc - service entries: their index, their text and the one-line format.
#include "mail/postfix/mastercf.h"

#include <ostream>
#include <sstream>
#include <stdexcept>

namespace ostra {
namespace mail {
namespace postfix {

namespace {

// flagLetter - "y", "n" or "-" for a three-state column.
const char* flagLetter(boost::logic::tribool value)
{
    if (boost::logic::indeterminate(value))
        return "-";
    return value ? "y" : "n";
}

// triState - 0, 1 or 2 for false, true or indeterminate, to compare three-state values.
int triState(boost::logic::tribool value)
{
    if (boost::logic::indeterminate(value))
        return 2;
    return value ? 1 : 0;
}

// noSuchModule - the error for a key that is not in a content.
std::out_of_range noSuchModule(const std::string& name)
{
    return std::out_of_range("no such module " + name);
}

} // namespace

// moduleTypeName - the type as it is spelled in the file.
const char* moduleTypeName(ModuleType type)
{
    switch (type) {
    case ModuleType::inet:
        return "inet";
    case ModuleType::unix:
        return "unix";
    case ModuleType::fifo:
        return "fifo";
    case ModuleType::unixDgram:
        return "unix-dgram";
    }
    throw std::invalid_argument("unknown service type");
}

// sameModule - field-by-field equality, indeterminate equal to indeterminate.
bool sameModule(const ModuleInfo& a, const ModuleInfo& b)
{
    return a.name == b.name && a.type == b.type && triState(a.isPrivate) == triState(b.isPrivate) &&
           triState(a.unprivileged) == triState(b.unprivileged) &&
           triState(a.chroot) == triState(b.chroot) && a.wakeup == b.wakeup &&
           a.wakeupOnUse == b.wakeupOnUse && a.maxproc == b.maxproc && a.command == b.command;
}

// formatModule - the fields joined by single blanks on one line.
std::string formatModule(const ModuleInfo& info)
{
    std::ostringstream out;
    out << info.name << ' ' << moduleTypeName(info.type) << ' ' << flagLetter(info.isPrivate) << ' '
        << flagLetter(info.unprivileged) << ' ' << flagLetter(info.chroot) << ' ';
    // Numbers are written unsigned, as the grammar reads them back; "-" cannot carry
    // a "?", so an all-ones wakeup with one keeps its digits.
    if (info.wakeup == -1 && !info.wakeupOnUse)
        out << '-';
    else
        out << static_cast<std::uint32_t>(info.wakeup) << (info.wakeupOnUse ? "?" : "");
    out << ' ';
    if (info.maxproc == -1)
        out << '-';
    else
        out << static_cast<std::uint32_t>(info.maxproc);
    for (const std::string& word : info.command)
        out << ' ' << word;
    return out.str();
}

// addModule - replace the entry with the same key in place, or append it.
void MasterCfContent::addModule(const ModuleInfo& info, const std::string& text)
{
    ModuleKey key(info.name, info.type);
    auto found = positions_.find(key);
    if (found != positions_.end()) {
        *found->second = text;
        modules_[key] = info;
        return;
    }
    auto position = lines_.insert(lines_.end(), text);
    try {
        modules_[key] = info;
        positions_[key] = position;
    } catch (...) {
        modules_.erase(key);
        lines_.erase(position);
        throw;
    }
}

// getModule - record and text of an entry.
MasterCfContent::ModuleRef MasterCfContent::getModule(const std::string& name,
                                                      ModuleType type) const
{
    ModuleKey key(name, type);
    auto module = modules_.find(key);
    auto position = positions_.find(key);
    if (module == modules_.end() || position == positions_.end())
        throw noSuchModule(name);
    return ModuleRef(module->second, *position->second);
}

// hasModule - whether the entry is present.
bool MasterCfContent::hasModule(const std::string& name, ModuleType type) const
{
    return modules_.count(ModuleKey(name, type)) != 0;
}

// removeModule - drop the entry, its text and its position.
bool MasterCfContent::removeModule(const std::string& name, ModuleType type)
{
    ModuleKey key(name, type);
    auto position = positions_.find(key);
    if (position == positions_.end())
        return false;
    lines_.erase(position->second);
    positions_.erase(position);
    modules_.erase(key);
    return true;
}

// appendLine - keep a comment or blank line as it stood.
void MasterCfContent::appendLine(const std::string& text)
{
    lines_.push_back(text);
}

// write - every line followed by one newline.
void MasterCfContent::write(std::ostream& out) const
{
    for (const std::string& line : lines_)
        out << line << '\n';
}

// text - the file as write produces it.
std::string MasterCfContent::text() const
{
    std::ostringstream out;
    write(out);
    return out.str();
}

} // namespace postfix
} // namespace mail
} // namespace ostra
