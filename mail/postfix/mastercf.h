// mastercf.h - the service table file: decoded entries and the whole file's lines.
#ifndef MAIL_POSTFIX_MASTERCF_H
#define MAIL_POSTFIX_MASTERCF_H

#include <cstdint>
#include <iosfwd>
#include <list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <boost/logic/tribool.hpp>

namespace ostra {
namespace mail {
namespace postfix {

// ModuleType - the service type column; its value is the index's second sort key.
// unixDgram comes after the classic three so that their order stays as it was.
enum class ModuleType { inet = 0, unix = 1, fifo = 2, unixDgram = 3 };

// moduleTypeName - the type as it is spelled in the file.
const char* moduleTypeName(ModuleType type);

// ModuleInfo - one decoded service entry; a "-" column leaves its default.
struct ModuleInfo {
    std::string name;
    ModuleType type = ModuleType::inet;
    boost::logic::tribool isPrivate = boost::logic::indeterminate;
    boost::logic::tribool unprivileged = boost::logic::indeterminate;
    boost::logic::tribool chroot = false;
    std::int32_t wakeup = -1;         // -1 stands for "-"
    bool wakeupOnUse = false;         // the wakeup column ended in "?"
    std::int32_t maxproc = -1;        // -1 stands for "-"
    std::vector<std::string> command; // command name and arguments, one word each
};

// sameModule - field-by-field equality, indeterminate equal to indeterminate.
bool sameModule(const ModuleInfo& a, const ModuleInfo& b);

// formatModule - the one-line entry text for a record that has no text of its own.
std::string formatModule(const ModuleInfo& info);

// ModuleKey - (service name, type): what identifies an entry.
typedef std::pair<std::string, ModuleType> ModuleKey;

// MasterCfContent - a file's logical lines in order plus an index of its entries.
// Entries keep their exact text; everything else is kept as raw lines.
class MasterCfContent {
public:
    typedef std::list<std::string> Lines;
    typedef std::map<ModuleKey, ModuleInfo> Modules;
    typedef std::pair<const ModuleInfo&, const std::string&> ModuleRef;

    MasterCfContent() = default;
    // Positions point into lines, so a content is never copied.
    MasterCfContent(const MasterCfContent&) = delete;
    MasterCfContent& operator=(const MasterCfContent&) = delete;

    // addModule - replace the entry with the same key in place, or append it.
    void addModule(const ModuleInfo& info, const std::string& text);
    // getModule - record and text; std::out_of_range "no such module <name>".
    ModuleRef getModule(const std::string& name, ModuleType type) const;
    // hasModule - whether the entry is present.
    bool hasModule(const std::string& name, ModuleType type) const;
    // removeModule - drop the entry and its text; whether anything was removed.
    bool removeModule(const std::string& name, ModuleType type);
    // appendLine - keep a comment or blank line as it stood.
    void appendLine(const std::string& text);

    const Lines& lines() const { return lines_; }
    const Modules& modules() const { return modules_; }

    // write - every line followed by one newline.
    void write(std::ostream& out) const;
    // text - what write produces.
    std::string text() const;

private:
    Lines lines_;
    Modules modules_;
    std::map<ModuleKey, Lines::iterator> positions_;
};

// parseMasterCf - read a whole file's text into an empty content; false when
// the text is not accepted to its end (the content is then unusable).
bool parseMasterCf(const char* first, const char* last, MasterCfContent& content);
bool parseMasterCf(const std::string& text, MasterCfContent& content);

} // namespace postfix
} // namespace mail
} // namespace ostra

#endif
