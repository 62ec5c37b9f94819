/* mail_auth_db.h - where the mail authentication database lives. */
#ifndef MAIL_LIB_MAIL_AUTH_DB_H
#define MAIL_LIB_MAIL_AUTH_DB_H

#ifdef __cplusplus
extern "C" {
#endif

/* The database locations the mail services know about. */
enum MailAuthDBStyle {
    MAIL_AUTH_DB_INVALID_STYLE = -1,
    MAIL_AUTH_DB_QMAIL_STYLE = 0,   /* "/var/lib/ostra/mail/auth/passwd.db", the default */
    MAIL_AUTH_DB_POSTFIX_STYLE = 1, /* "/var/spool/postfix/ostra/passwd.db" */
};

/* mailAuthDBSelectStyle - use the path of style; 0, or -1 (unchanged) for an unknown style. */
int mailAuthDBSelectStyle(int style);

/* mailAuthDBSetPath - use any path; 0, or -1 (unchanged) for a null or empty path. */
int mailAuthDBSetPath(const char* path);

/* mailAuthDBPath - the path now in use; valid until the next change. */
const char* mailAuthDBPath(void);

/* mailAuthDBStylePath - the path of style, or a null pointer for an unknown style. */
const char* mailAuthDBStylePath(int style);

#ifdef __cplusplus
}
#endif

#endif
