/* quota_log.cc - the message log of the quota code, keeping errno. */
#include "mail/lib/quota_log.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>

#include "mail/lib/mail_tree.h"
#include "ostra/log.h"

/* quota_report - format first, so that errno reaches messlog2 unchanged. */
void quota_report(const char* fmt, ...)
{
    int saved = errno;
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    errno = saved;
    messlog2(0, 0, "%s", text);
    errno = saved;
}

/* quota_open_report - the reason in the mail tree's words, without the
 * system error line that would contradict it. A directory that is simply
 * missing fails without a message, as it always has. */
void quota_open_report(const char* path, int err)
{
    if (err == ENOENT)
        return;
    int saved = errno;
    errno = 0;
    messlog2(0, 0, "unable to open %s: %s", path, ostra::mail::treeStrerror(err));
    errno = saved;
}
