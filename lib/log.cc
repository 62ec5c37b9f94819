// log.cc - the message log, the levelled console log and checked formatting.
#include "ostra/log.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int LogLevel = 6;
int LogEnabled = 1;
ostra_log_func ostra_log = ostra_console_log;
ostra_logv_func ostra_logv = ostra_console_logv;

// put_line - write text and a newline unless it has one, then flush.
static void put_line(FILE* stream, const char* text)
{
    size_t len = strlen(text);
    fputs(text, stream);
    if (len == 0 || text[len - 1] != '\n')
        fputc('\n', stream);
    fflush(stream);
}

// messlog2 - format, add the saved errno's text, write to stderr and stdout.
void messlog2(int status, int mess_out, const char* fmt, ...)
{
    (void)mess_out; // both streams always get the message
    int saved = errno;
    char small[4096];
    char* big = nullptr;
    const char* text = small;

    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0) {
        small[0] = '\0';
    } else if (static_cast<size_t>(n) >= sizeof small) {
        big = static_cast<char*>(malloc(static_cast<size_t>(n) + 1));
        if (big != nullptr) {
            va_start(ap, fmt);
            vsnprintf(big, static_cast<size_t>(n) + 1, fmt, ap);
            va_end(ap);
            text = big;
        } else {
            text = "Can't allocate memory for error message";
        }
    }

    char* full = nullptr;
    if (saved != 0 && asprintf(&full, "%s\nSystem error %d: %s", text, saved, strerror(saved)) >= 0)
        text = full;

    put_line(stderr, text);
    put_line(stdout, text);
    free(full);
    free(big);
    if (status != 0)
        exit(status);
    errno = saved;
}

// ostra_console_logv - when the level is enabled, the message on stderr then stdout.
void ostra_console_logv(int level, const char* fmt, va_list ap)
{
    if (!LogEnabled || LogLevel < level)
        return;
    int saved = errno;
    FILE* streams[] = {stderr, stdout};
    for (FILE* stream : streams) {
        va_list copy;
        va_copy(copy, ap);
        vfprintf(stream, fmt, copy);
        va_end(copy);
        fputc('\n', stream);
        fflush(stream);
    }
    errno = saved;
}

// ostra_console_log - the variadic form of ostra_console_logv.
void ostra_console_log(int level, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    ostra_console_logv(level, fmt, ap);
    va_end(ap);
}

// vasprintf_safe - a newly allocated formatted string; running out of memory is fatal.
char* vasprintf_safe(const char* fmt, va_list ap)
{
    char* result = nullptr;
    if (vasprintf(&result, fmt, ap) < 0)
        messlog2(1, 0, "Cannot allocate memory: %s", strerror(errno));
    return result;
}

// asprintf_safe - the variadic form of vasprintf_safe.
char* asprintf_safe(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    char* result = vasprintf_safe(fmt, ap);
    va_end(ap);
    return result;
}
