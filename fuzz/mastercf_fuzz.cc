// mastercf_fuzz.cc - the service table parser on arbitrary input: a file it
// accepts is written back as text that reads the same and never grows, and
// every entry formats to one line that decodes to the same record.
#include <cstddef>
#include <cstdint>

#include "mail/postfix/mastercf.h"

#include "fuzz_check.h"

using namespace ostra::mail::postfix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const char* text = reinterpret_cast<const char*>(data);
    MasterCfContent content, again;
    if (!parseMasterCf(text, text + size, content))
        return 0;
    const std::string written = content.text();
    check(parseMasterCf(written, again), "written content parses");
    check(again.lines() == content.lines(), "written content reads back the same lines");
    check(again.modules().size() == content.modules().size(), "and the same entries");
    check(size == 0 || text[size - 1] != '\n' || written.size() <= size,
          "writing never adds to a complete file");
    for (const auto& entry : content.modules()) {
        MasterCfContent single;
        check(parseMasterCf(formatModule(entry.second), single) && single.lines().size() == 1,
              "a formatted entry is one line that parses");
        check(sameModule(single.modules().begin()->second, entry.second),
              "a formatted entry decodes to the same record");
    }
    return 0;
}
