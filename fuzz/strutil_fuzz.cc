// strutil_fuzz.cc - string splitting and shell quoting on arbitrary bytes:
// splitting loses nothing but delimiters, quoted text reads back as itself.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <string>

#include "ostra/str_util.h"

#include "fuzz_check.h"

namespace {

// unquote - the word a shell reads from quoted text; false when some byte of
// it would not be taken literally.
bool unquote(const std::string& quoted, std::string& word)
{
    for (std::size_t i = 0; i < quoted.size(); ++i) {
        const char c = quoted[i];
        if (quoted.compare(i, 3, "'\n'") == 0) {
            word += '\n';
            i += 2;
        } else if (c == '\\' && i + 1 < quoted.size() && quoted[i + 1] != '\n') {
            word += quoted[++i];
        } else if (c == '\n' || (c != '\0' && std::strchr("\t \"#$&'()*;<>?[\\`|~", c))) {
            return false;
        } else {
            word += c;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    const std::string delimiters = input.ConsumeRandomLengthString(8).c_str();
    const std::string bytes = input.ConsumeRemainingBytesAsString();
    const std::string text = bytes.c_str(); // the C helpers stop at a NUL

    char** list = string_split(text.c_str(), delimiters.c_str());
    check(list != nullptr && list[0] != nullptr, "at least one token");
    std::string joined, kept;
    for (char** p = list; *p; ++p) {
        check(**p != '\0' || p[1] == nullptr, "only the last token may be empty");
        check((*p)[std::strcspn(*p, delimiters.c_str())] == '\0', "no delimiter in a token");
        joined += *p;
    }
    free_array(list);
    for (char c : text)
        if (delimiters.find(c) == std::string::npos)
            kept += c;
    check(joined == kept, "splitting drops the delimiters and nothing else");

    std::string word;
    check(unquote(ostra::sh_quote(bytes), word) && word == bytes, "quoted text reads back");

    return 0;
}
