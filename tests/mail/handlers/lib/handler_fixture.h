// handler_fixture.h - what the handler system tests read back from the
// handler registry and its queues.
#ifndef MX_TESTS_HANDLER_FIXTURE_H
#define MX_TESTS_HANDLER_FIXTURE_H

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testsupport.h"

namespace mxtest {

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
