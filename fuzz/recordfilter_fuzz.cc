// recordfilter_fuzz.cc - the record filters on arbitrary dump text: the output
// and the log do not depend on where the chunks of the dump end, and a removed
// domain stays removed.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "mail/postfix/record_filters.h"

#include "fuzz_check.h"

namespace db = ostra::mail::postfix::database;
typedef std::vector<std::size_t> Lengths;

namespace {

// The kind of filter and the strings it holds references to.
struct Params {
    int kind;
    std::string a, b, c, d;
};

// filtered - the dump through a filter of the kind, in chunks of the given
// lengths taken in turn; what went to the log into log.
std::string filtered(const Params& p, const std::string& dump, const Lengths& lengths,
                     std::string& log)
{
    auto run = [&](auto filter) {
        std::ostringstream out, logged;
        std::streambuf* saved = std::clog.rdbuf(logged.rdbuf());
        db::DataStreamFilter<decltype(filter)> stream(filter, out);
        for (std::size_t pos = 0, i = 0; pos < dump.size(); ++i) {
            const std::size_t end = std::min(pos + lengths[i % lengths.size()], dump.size());
            stream.filterChunk(db::Chunk(dump.begin() + pos, dump.begin() + end));
            pos = end;
        }
        stream.finish();
        std::clog.rdbuf(saved);
        log = logged.str();
        return out.str();
    };
    typedef db::ReplaceElementFilterRef Ref;
    switch (p.kind) {
    case 0:
        return run(db::ElementsFilter<db::NotInDomainFilter>(db::NotInDomainFilter(p.a)));
    case 1:
        return run(db::ElementsFilter<db::ReplaceDomainPart>(db::ReplaceDomainPart(p.a, p.b)));
    case 2:
        return run(db::ElementsFilter<Ref>(Ref(p.a, p.b)));
    default:
        return run(db::KeyValueFilter<Ref, Ref>(Ref(p.a, p.b), Ref(p.c, p.d)));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    Params p;
    p.kind = input.ConsumeIntegralInRange<int>(0, 3);
    for (std::string* s : {&p.a, &p.b, &p.c, &p.d})
        *s = input.ConsumeRandomLengthString(40);
    Lengths lengths(input.ConsumeIntegralInRange<std::size_t>(1, 8));
    for (std::size_t& n : lengths)
        n = input.ConsumeIntegralInRange<std::size_t>(1, 64);
    const std::string dump = input.ConsumeRemainingBytesAsString();

    std::string log, chunkedLog;
    const std::string whole = filtered(p, dump, Lengths(1, dump.size() + 1), log);
    check(filtered(p, dump, lengths, chunkedLog) == whole && chunkedLog == log,
          "output and log independent of the chunks");
    check(p.kind != 0 || (filtered(p, whole, lengths, log) == whole && log.empty()),
          "a removed domain stays removed");
    return 0;
}
