// testsupport.cc - small helpers shared by the unit tests.
#include "testsupport.h"

#include <boost/filesystem.hpp>
#include <algorithm>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace mxtest {

// TempDir::TempDir - make a fresh directory under TMPDIR (or /tmp).
TempDir::TempDir()
{
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/mxtest.XXXXXX";
    if (mkdtemp(&tmpl[0]) == nullptr)
        throw std::runtime_error("mkdtemp failed for " + tmpl);
    path_ = tmpl;
}

// TempDir::~TempDir - remove the tree, ignoring what cannot be removed.
TempDir::~TempDir()
{
    boost::system::error_code ec;
    boost::filesystem::remove_all(path_, ec);
}

// readFile - whole content of a file.
std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// writeFile - replace a file's content with the given mode.
void writeFile(const std::string& path, const std::string& content, int mode)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    if (fd < 0)
        throw std::runtime_error("cannot write " + path);
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            close(fd);
            throw std::runtime_error("write failed for " + path);
        }
        done += static_cast<size_t>(n);
    }
    fchmod(fd, static_cast<mode_t>(mode));
    close(fd);
}

// entries - the names in dir but "." and "..", sorted.
std::vector<std::string> entries(const std::string& dir)
{
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return names;
    while (struct dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// openFdCount - count the entries of /proc/self/fd, less the one used to list them.
int openFdCount()
{
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        throw std::runtime_error("cannot list /proc/self/fd");
    int count = 0;
    while (struct dirent* ent = readdir(dir))
        if (ent->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count - 1;
}

} // namespace mxtest
