// handler_fixture.h - what the handler system tests read back from the
// handler registry and its queues.
#ifndef MX_TESTS_HANDLER_FIXTURE_H
#define MX_TESTS_HANDLER_FIXTURE_H

#include <dirent.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace mxtest {

// entries - names in a directory, sorted; none when it does not exist.
inline std::vector<std::string> entries(const std::string& dir)
{
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return names;
    while (struct dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..")
            names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// captured - what was logged on standard error while a call ran (standard
// output is swallowed).
inline std::string captured(const std::function<void()>& call)
{
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    call();
    testing::internal::GetCapturedStdout();
    return testing::internal::GetCapturedStderr();
}

// handlerQueueDir - the marker directory of one hook, type and value under
// the queue root; "global" handlers have no value.
inline std::string handlerQueueDir(const std::string& root, const std::string& hook,
                                   const std::string& type, const std::string& value)
{
    return type == "global" ? root + "/" + hook + "/global"
                            : root + "/" + hook + "/" + type + "/" + value;
}

} // namespace mxtest

#endif
