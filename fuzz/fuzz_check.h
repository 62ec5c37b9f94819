// fuzz_check.h - how a fuzz target reports a property that does not hold.
#ifndef MX_FUZZ_CHECK_H
#define MX_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

// check - stop the run with a message when a property fails.
inline void check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "property failed: %s\n", what);
        std::abort();
    }
}

#endif
