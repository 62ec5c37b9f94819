// mail_auth_db.cc - the process-wide location of the mail authentication database.
#include "mail/lib/mail_auth_db.h"

#include <string>

namespace {

const char qmailStylePath[] = "/var/lib/ostra/mail/auth/passwd.db";
const char postfixStylePath[] = "/var/spool/postfix/ostra/passwd.db";

// mailAuthDB - the one setting; a function-local static so it exists before any caller.
std::string& mailAuthDB()
{
    static std::string path(qmailStylePath);
    return path;
}

} // namespace

// mailAuthDBStylePath - map a style to its fixed path.
const char* mailAuthDBStylePath(int style)
{
    switch (style) {
    case MAIL_AUTH_DB_QMAIL_STYLE:
        return qmailStylePath;
    case MAIL_AUTH_DB_POSTFIX_STYLE:
        return postfixStylePath;
    default:
        return nullptr;
    }
}

// mailAuthDBSelectStyle - switch to a style's path; anything else changes nothing.
int mailAuthDBSelectStyle(int style)
{
    const char* path = mailAuthDBStylePath(style);
    if (path == nullptr)
        return -1;
    mailAuthDB() = path;
    return 0;
}

// mailAuthDBSetPath - switch to an arbitrary path.
int mailAuthDBSetPath(const char* path)
{
    if (path == nullptr || *path == '\0')
        return -1;
    mailAuthDB() = path;
    return 0;
}

// mailAuthDBPath - the current path.
const char* mailAuthDBPath(void)
{
    return mailAuthDB().c_str();
}
