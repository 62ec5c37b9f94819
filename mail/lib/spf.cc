// spf.cc - writing the SPF checker's settings files.
#include "mail/lib/spf.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "mail/lib/conf_log.h"

namespace {

// write_value - make value the whole content of file; 0 or -1 (logged).
int write_value(const char* file, const char* value)
{
    FILE* out = fopen(file, "we");
    if (out == nullptr) {
        conf_log("Unable to open file %s for writing: %s", file, strerror(errno));
        return -1;
    }
    size_t len = strlen(value);
    bool written = fwrite(value, 1, len, out) == len;
    int error = errno;
    if (fclose(out) != 0 || !written) {
        conf_log("Unable to close file %s: %s", file, strerror(written ? errno : error));
        return -1;
    }
    return 0;
}

} // namespace

// update_spf - write the given settings, stopping at the first failure.
int update_spf(const char* behavior, const char* rules, const char* guess, const char* exp)
{
    const struct {
        const char* value;
        const char* file;
        const char* name;
    } settings[] = {
        {behavior, SPF_BEHAVIOR_FILE, "spf_behavior"},
        {rules, SPF_RULES_FILE, "spf_rules"},
        {guess, SPF_GUESS_FILE, "spf_guess"},
        {exp, SPF_EXP_FILE, "spf_exp"},
    };
    for (const auto& s : settings) {
        if (s.value == nullptr)
            continue;
        if (write_value(s.file, s.value) != 0) {
            conf_log("Unable to update '%s' parameter", s.name);
            return -1;
        }
    }
    return 0;
}
