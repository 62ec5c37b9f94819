/* quota_log.h - the message log of the quota code, keeping errno. */
#ifndef MAIL_LIB_QUOTA_LOG_H
#define MAIL_LIB_QUOTA_LOG_H

/* quota_report - messlog2 (status 0) a failure, with the system error text
 * when errno is set; errno is the same afterwards, for the caller. */
void quota_report(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

/* quota_open_report - a directory or file of a mailbox could not be opened
 * for the reason err (a refused link named as such); errno is unchanged. */
void quota_open_report(const char* path, int err);

#endif
