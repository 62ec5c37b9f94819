// systest.h - helpers for system tests, which run inside a fresh sandbox.
#ifndef MX_TESTS_SYSTEST_H
#define MX_TESTS_SYSTEST_H

#include <string>

#include "testsupport.h"

namespace mxtest {

// RunResult - what a finished command printed and how it ended.
struct RunResult {
    std::string out;
    std::string err;
    int status = -1; // exit status, or 128 + signal number
};

// run - run a shell command line, feeding input, and collect its output.
RunResult run(const std::string& command, const std::string& input = "");

// mxadmin - run the program under test with arguments already shell-quoted.
RunResult mxadmin(const std::string& args, const std::string& input = "");

} // namespace mxtest

#endif
