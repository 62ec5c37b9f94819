// log.h - the message log, the levelled log and allocation-checked formatting.
#ifndef OSTRA_LOG_H
#define OSTRA_LOG_H

#include <stdarg.h>

// Messages at a level above LogLevel are not written. Default 6.
extern int LogLevel;
// Kept for callers that switch logging as a whole. Default 1.
extern int LogEnabled;

typedef void (*ostra_log_func)(int level, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));
typedef void (*ostra_logv_func)(int level, const char* fmt, va_list ap)
    __attribute__((format(printf, 2, 0)));

// ostra_log, ostra_logv - the levelled log; initially the console logger.
extern ostra_log_func ostra_log;
extern ostra_logv_func ostra_logv;

// ostra_console_log, ostra_console_logv - the console logger: stderr, then stdout.
void ostra_console_log(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void ostra_console_logv(int level, const char* fmt, va_list ap)
    __attribute__((format(printf, 2, 0)));

// messlog2 - write a diagnostic to stderr and stdout; exit(status) when status != 0.
// mess_out is accepted for existing callers; both streams always get the text.
void messlog2(int status, int mess_out, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

// asprintf_safe - a newly allocated formatted string; allocation failure is fatal.
char* asprintf_safe(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// vasprintf_safe - the va_list form of asprintf_safe.
char* vasprintf_safe(const char* fmt, va_list ap) __attribute__((format(printf, 1, 0)));

#endif
