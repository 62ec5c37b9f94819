// hspconf_fuzz.cc - the host configuration reader on arbitrary files: the store
// it builds must match a line-by-line reading of the format, stay sorted and
// searchable, survive being written out and read again, and grow on demand.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "ostra/hsp_conf.h"
#include "ostra/log.h"

namespace {

// check - stop the run with a message when a property fails.
void check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "property failed: %s\n", what);
        std::abort();
    }
}

// Lines the reader rejected, counted through the log hook instead of printed.
int rejected = 0;

// countingLog - the log hook: count the reader's complaints, print nothing.
void countingLog(int, const char* fmt, ...)
{
    if (std::strncmp(fmt, "Invalid variable definition", 27) == 0)
        ++rejected;
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isNameChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

typedef std::map<std::string, std::string> Settings;

// modelLine - one line read as the format says; false for a rejected line.
bool modelLine(std::string line, Settings& settings)
{
    line = line.substr(0, line.find('\0')); // the reader sees C strings
    std::size_t p = 0;
    while (p < line.size() && isSpace(line[p]))
        ++p;
    if (p == line.size() || line[p] == '#')
        return true;
    const std::size_t nameBegin = p;
    while (p < line.size() && isNameChar(line[p]))
        ++p;
    if (p == nameBegin || p == line.size() || !isSpace(line[p]))
        return false;
    const std::string name = line.substr(nameBegin, p - nameBegin);
    while (p < line.size() && isSpace(line[p]))
        ++p;
    if (p == line.size() || line[p] == '#')
        return false;
    std::size_t end = line.find('#', p + 1);
    if (end == std::string::npos)
        end = line.size();
    while (end > p && isSpace(line[end - 1]))
        --end;
    settings[name] = line.substr(p, end - p);
    return true;
}

// model - the settings of a whole file and the number of rejected lines.
Settings model(const std::string& text, int& bad)
{
    Settings settings;
    bad = 0;
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos)
            end = text.size();
        if (!modelLine(text.substr(begin, end - begin), settings))
            ++bad;
        begin = end + 1;
    }
    return settings;
}

// sameStore - the store holds exactly the expected settings, sorted and findable.
void checkStore(const conf_data& conf, const Settings& expected)
{
    check(conf.finalized == 1, "store finalized after reading");
    check(conf.nmemb == expected.size(), "one entry per distinct name");
    check(conf.nmemb <= conf.size, "entries fit the capacity");
    Settings::const_iterator want = expected.begin();
    for (std::size_t i = 0; i < conf.nmemb; ++i, ++want) {
        check(i == 0 || std::strcmp(conf.data[i - 1].name, conf.data[i].name) < 0,
              "names strictly sorted");
        check(want->first == conf.data[i].name, "names as the format reads them");
        check(want->second == conf.data[i].value, "values as the format reads them");
        const char* found = conf_get_r(conf.data[i].name, &conf);
        check(found == conf.data[i].value, "binary search finds every entry");
    }
}

// MemFile - an anonymous file that every input is written to, read by path.
class MemFile {
public:
    MemFile() : fd_(memfd_create("hspconf", MFD_CLOEXEC))
    {
        check(fd_ >= 0, "memfd_create");
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    const char* path(const std::uint8_t* data, std::size_t size)
    {
        check(ftruncate(fd_, 0) == 0, "ftruncate");
        std::size_t done = 0;
        while (done < size) {
            ssize_t n = pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
            check(n > 0, "pwrite");
            done += static_cast<std::size_t>(n);
        }
        return path_.c_str();
    }

private:
    int fd_;
    std::string path_;
};

// write - the store as a configuration file.
std::string write(const conf_data& conf)
{
    std::string text;
    for (std::size_t i = 0; i < conf.nmemb; ++i) {
        text += conf.data[i].name;
        text += ' ';
        text += conf.data[i].value;
        text += '\n';
    }
    return text;
}

// readText - a store read from text through a stream.
void readText(const std::string& text, conf_data& conf)
{
    FILE* in = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    check(in != nullptr, "fmemopen");
    check(conf_read_stream_r(in, &conf) == 0, "written store reads back");
    std::fclose(in);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    ostra_log = countingLog;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static MemFile file;
    const std::string text(reinterpret_cast<const char*>(data), size);
    int bad = 0;
    const Settings expected = model(text, bad);

    rejected = 0;
    conf_data conf = {};
    check(conf_read_file_r(file.path(data, size), &conf) == 0, "any readable file is accepted");
    check(rejected == bad, "every rejected line logged once, no other");
    checkStore(conf, expected);

    // Written out and read again: the same store.
    if (!expected.empty()) {
        conf_data again = {};
        readText(write(conf), again);
        checkStore(again, expected);
        conf_free_r(&again);
    }

    // Replacing keeps the order; new names are found before and after sorting.
    Settings changed = expected;
    if (conf.nmemb > 0) {
        const std::string name = conf.data[0].name;
        check(conf_set_r(name.c_str(), "replaced", &conf) == 0, "replace a value");
        check(conf.finalized == 1, "replacing keeps the store sorted");
        changed[name] = "replaced";
    }
    const std::size_t extra = size % 45;
    for (std::size_t i = 0; i < extra; ++i) {
        const std::string name = "Z_ADDED_" + std::to_string(i);
        check(conf_set_r(name.c_str(), name.c_str(), &conf) == 0, "append a name");
        check(std::strcmp(conf_get_r(name.c_str(), &conf), name.c_str()) == 0,
              "an appended name is found unsorted");
        changed[name] = name;
    }
    conf_finalize_r(&conf);
    checkStore(conf, changed);

    conf_free_r(&conf);
    check(conf.data == nullptr && conf.nmemb == 0 && conf.size == 0, "freed store is empty");
    return 0;
}
