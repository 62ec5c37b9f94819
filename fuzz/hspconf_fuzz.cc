// hspconf_fuzz.cc - the host configuration reader on arbitrary files: the store
// it builds is sorted, finds every name it holds, and reads back the same after
// being written out.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "ostra/hsp_conf.h"
#include "ostra/log.h"

#include "fuzz_check.h"

namespace {

// quiet - the log hook: the reader's complaints about bad lines are not printed.
void quiet(int, const char*, ...)
{
}

// read - a store read from text; false when the reader refused it.
bool read(const std::string& text, conf_data& conf)
{
    FILE* in = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    check(in != nullptr, "fmemopen");
    const bool ok = conf_read_stream_r(in, &conf) == 0;
    std::fclose(in);
    return ok;
}

// written - the store as a configuration file; checks that it is sorted and searchable.
std::string written(const conf_data& conf)
{
    std::string text;
    for (std::size_t i = 0; i < conf.nmemb; ++i) {
        check(i == 0 || std::strcmp(conf.data[i - 1].name, conf.data[i].name) < 0,
              "names strictly sorted");
        check(conf_get_r(conf.data[i].name, &conf) == conf.data[i].value, "every name found");
        text += std::string(conf.data[i].name) + " " + conf.data[i].value + "\n";
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    ostra_log = quiet;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    conf_data conf = {}, again = {};
    check(read(std::string(reinterpret_cast<const char*>(data), size), conf), "any file is read");
    check(conf.finalized == 1 && conf.nmemb <= conf.size, "a finalized store");
    const std::string text = written(conf);
    check(read(text, again) && written(again) == text, "written store reads back the same");
    conf_free_r(&again);
    conf_free_r(&conf);
    check(conf.data == nullptr && conf.nmemb == 0, "a freed store is empty");
    return 0;
}
