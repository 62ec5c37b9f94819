// mastercf_fuzz.cc - the service table parser on arbitrary input: whatever it accepts
// must survive being written back, re-read, reformatted and edited.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "mail/postfix/mastercf.h"

using ostra::mail::postfix::formatModule;
using ostra::mail::postfix::MasterCfContent;
using ostra::mail::postfix::ModuleInfo;
using ostra::mail::postfix::parseMasterCf;
using ostra::mail::postfix::sameModule;

namespace {

// check - stop the run with a message when a property fails.
void check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "property failed: %s\n", what);
        std::abort();
    }
}

// sameContent - equal lines and equal decoded entries under equal keys.
bool sameContent(const MasterCfContent& a, const MasterCfContent& b)
{
    if (a.lines() != b.lines() || a.modules().size() != b.modules().size())
        return false;
    auto i = a.modules().begin();
    for (auto j = b.modules().begin(); j != b.modules().end(); ++i, ++j)
        if (i->first != j->first || !sameModule(i->second, j->second))
            return false;
    return true;
}

// reparse - the content read back from what content writes.
bool reparse(const MasterCfContent& content, MasterCfContent& again)
{
    return parseMasterCf(content.text(), again);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const char* text = reinterpret_cast<const char*>(data);
    MasterCfContent first;
    if (!parseMasterCf(text, text + size, first))
        return 0;

    // Written back and read again: the same content.
    MasterCfContent second;
    check(reparse(first, second), "written content parses");
    check(sameContent(first, second), "written content reads back the same");
    check(second.text() == first.text(), "second write is identical");
    // A file ending in a newline comes back byte for byte, less any earlier duplicate.
    if (size > 0 && text[size - 1] == '\n') {
        const std::string written = first.text();
        check(written.size() <= size, "writing never adds to a complete file");
        if (written.size() == size)
            check(written == std::string(text, size), "complete file written byte for byte");
    }

    // Every entry formatted on one line decodes to the same record.
    for (const auto& entry : first.modules()) {
        MasterCfContent single;
        check(parseMasterCf(formatModule(entry.second), single), "formatted entry parses");
        check(single.modules().size() == 1 && single.lines().size() == 1,
              "formatted entry is one line");
        check(sameModule(single.modules().begin()->second, entry.second),
              "formatted entry decodes the same");
    }

    // Removing an entry, or moving it to the end, leaves a file that reads back the same.
    if (!first.modules().empty()) {
        const ModuleInfo moved = first.modules().begin()->second;
        const std::string movedText = first.getModule(moved.name, moved.type).second;
        check(first.removeModule(moved.name, moved.type), "entry removed");
        MasterCfContent third;
        check(reparse(first, third), "content without an entry parses");
        check(sameContent(first, third), "content without an entry reads back the same");
        first.addModule(moved, movedText);
        MasterCfContent fourth;
        check(reparse(first, fourth), "content with a moved entry parses");
        check(sameContent(first, fourth), "content with a moved entry reads back the same");
    }
    return 0;
}
