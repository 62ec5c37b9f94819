/* conf_log.h - the message log of the Courier, DomainKeys and SPF file code. */
#ifndef MAIL_LIB_CONF_LOG_H
#define MAIL_LIB_CONF_LOG_H

/* conf_log - messlog2 (status 0) a message that names its system error itself,
 * so none is appended. */
void conf_log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

#endif
