/* quota_log.h - the message log of the quota code, keeping errno. */
#ifndef MAIL_LIB_QUOTA_LOG_H
#define MAIL_LIB_QUOTA_LOG_H

/* quota_report - messlog2 (status 0) a failure, with the system error text
 * when errno is set; errno is the same afterwards, for the caller. */
void quota_report(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

#endif
