// spf.cc - writing the SPF checker's settings files.
#include "mail/lib/spf.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ostra/log.h"

namespace {

// log_plain - a message log line; the messages name their system error
// themselves, so none is appended.
void log_plain(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void log_plain(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    char* text = vasprintf_safe(fmt, ap);
    va_end(ap);
    errno = 0;
    messlog2(0, 0, "%s", text);
    free(text);
}

// write_value - make value the whole content of file; 0 or -1 (logged).
int write_value(const char* file, const char* value)
{
    FILE* out = fopen(file, "we");
    if (out == nullptr) {
        log_plain("Unable to open file %s for writing: %s", file, strerror(errno));
        return -1;
    }
    size_t len = strlen(value);
    bool written = fwrite(value, 1, len, out) == len;
    int error = errno;
    if (fclose(out) != 0 || !written) {
        log_plain("Unable to close file %s: %s", file, strerror(written ? errno : error));
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
            log_plain("Unable to update '%s' parameter", s.name);
            return -1;
        }
    }
    return 0;
}
