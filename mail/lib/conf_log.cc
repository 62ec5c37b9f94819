// conf_log.cc - the message log of the Courier, DomainKeys and SPF file code.
#include "mail/lib/conf_log.h"

#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>

#include "ostra/log.h"

// conf_log - format first (the arguments may hold strerror texts), then log
// with errno cleared.
void conf_log(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    char* text = vasprintf_safe(fmt, ap);
    va_end(ap);
    errno = 0;
    messlog2(0, 0, "%s", text);
    free(text);
}
