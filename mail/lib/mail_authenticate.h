// mail_authenticate.h - the mail authentication database (SQLite): mail
//                       domains with their status, mail users and passwords.
#ifndef MAIL_LIB_MAIL_AUTHENTICATE_H
#define MAIL_LIB_MAIL_AUTHENTICATE_H

#include "mail/lib/mail_auth_db.h"

struct sqlite3;

// Flags of mailAuthSet, combined bitwise.
enum MailAuthFlagsValues {
    MAIL_AUTH_CRYPTED = 1,         // password is crypt-style: cmusaslsecretPLAIN
    MAIL_AUTH_DISABLED = 2,        // the user row gets status 1
    MAIL_DOMAIN_AUTH_DISABLED = 4, // a domain row created here gets status 1
    MAIL_AUTH_DO_NOT_CHANGE = 8    // domain lookup only: never create it
};

// Every operation works on the file named by the mailAuthDB setting and
// returns 0 on success or -1 after logging the reason.

// mailAuthSet - create or replace the user row (creating the domain row).
int mailAuthSet(const char* mailName, const char* mailDomain, const char* password, int flags);

// set_postbox_passwd - mailAuthSet for a non-empty password, else mailAuthRemove.
int set_postbox_passwd(const char* mailName, const char* mailDomain, const char* password,
                       int flags);

// mailAuthRemove - delete the user row; an absent domain or user is no error.
int mailAuthRemove(const char* mailName, const char* mailDomain);

// mailAuthRename - rename a user within its domain.
int mailAuthRename(const char* oldMailName, const char* newMailName, const char* mailDomain);

// mailAuthClone - copy a user's credentials and status to another name/domain.
int mailAuthClone(const char* oldName, const char* oldDomain, const char* newName,
                  const char* newDomain);

// mailAuthRemoveDomain - delete the domain row and with it all its users.
int mailAuthRemoveDomain(const char* domain);

// setDomainStatus - 0 enabled, 1 disabled; an absent domain is no error.
int setDomainStatus(const char* domain, int status);
int mailAuthEnableDomain(const char* domain);
int mailAuthDisableDomain(const char* domain);

// mailAuthDBInitStyle - select a style and create its database afresh
//                       (schema, owner and modes); any old file is deleted.
int mailAuthDBInitStyle(int style);

// mailAuthDBCreate - create a database with the schema at path (mode 0600),
//                    replacing any file there.
int mailAuthDBCreate(const char* path);

// getDomainId - the id of domain on an open connection, created unless
//               MAIL_AUTH_DO_NOT_CHANGE; -1 on failure or when absent.
int getDomainId(const char* domain, sqlite3* db, int flags);

#endif
