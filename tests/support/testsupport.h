// testsupport.h - small helpers shared by the unit tests.
#ifndef MX_TESTS_TESTSUPPORT_H
#define MX_TESTS_TESTSUPPORT_H

#include <functional>
#include <string>
#include <vector>

namespace mxtest {

// TempDir - a private directory removed with everything in it at scope exit.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // file - the path of name inside the directory.
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// readFile - whole content of a file; throws std::runtime_error when unreadable.
std::string readFile(const std::string& path);

// writeFile - replace a file's content, creating it with the given mode.
void writeFile(const std::string& path, const std::string& content, int mode = 0644);

// entries - the names in a directory but "." and "..", sorted; none when it
// cannot be read.
std::vector<std::string> entries(const std::string& dir);

// openFdCount - how many descriptors this process has open (from /proc/self/fd).
int openFdCount();

} // namespace mxtest

#endif
