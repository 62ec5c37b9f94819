// mail_authenticate.cc - users, passwords and domain status in the mail
//                        authentication database.
#include "mail/lib/mail_authenticate.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "mail/lib/auth_db_frame.h"
#include "ostra/log.h"

using ostra::mail::authdb::Database;
using ostra::mail::authdb::Statement;

namespace {

const int ErrorLevel = 3;

const char selectDomainSql[] = "SELECT id FROM domains WHERE name=?";
const char insertDomainSql[] = "INSERT INTO domains (name, status) VALUES(?, ?)";
const char setClearSql[] =
    "INSERT OR REPLACE INTO users (name, userPassword, status, dom_id) VALUES (?, ?, ?, ?)";
const char setCryptedSql[] =
    "INSERT OR REPLACE INTO users (name, cmusaslsecretPLAIN, status, dom_id) VALUES (?, ?, ?, ?)";
const char removeUserSql[] = "DELETE FROM users WHERE name=? AND dom_id=?";
const char renameUserSql[] = "UPDATE users SET name=? WHERE name=? AND dom_id=?";
const char removeDomainSql[] = "DELETE FROM domains WHERE name=?";
const char domainStatusSql[] = "UPDATE domains SET status=? WHERE name=?";
const char cloneDomainSql[] = "SELECT id, status FROM domains WHERE name=?";
const char cloneUserSql[] =
    "SELECT name, userPassword, cmusaslsecretPLAIN, status FROM users WHERE dom_id=? AND name=?";

// Outcome of a domain lookup on an open connection.
enum DomainLookup { DomainFound, DomainAbsent, DomainError };

// nullArgument - log a missing argument of operation; always -1.
int nullArgument(const char* operation)
{
    ostra_log(ErrorLevel, "%s: a required argument is missing", operation);
    return -1;
}

// bindLogged - bind value as text; false after logging message, a format
// that takes the value, the statement's text and the error, in that order.
bool bindLogged(Statement& st, int index, const char* value, const char* message)
{
    if (st.bindText(index, value))
        return true;
    ostra_log(ErrorLevel, message, value, st.sql(), st.error());
    return false;
}

// bindDomainName - bind a domain name; false after logging.
bool bindDomainName(Statement& st, int index, const char* domain)
{
    return bindLogged(
        st, index, domain,
        "Unable to bind parameter domain name '%s' to  SQL statement for query '%s': %s");
}

// selectDomainId - look the domain up; *id is set when found.
DomainLookup selectDomainId(sqlite3* db, const char* domain, int* id)
{
    Statement st(db);
    if (st.prepare(selectDomainSql) != 0)
        return DomainError;
    if (!bindDomainName(st, 1, domain))
        return DomainError;
    int rc = st.step();
    if (rc == SQLITE_ROW) {
        *id = st.columnInt(0);
        return DomainFound;
    }
    if (rc == SQLITE_DONE)
        return DomainAbsent;
    ostra_log(ErrorLevel, "Unable to execute the domain selection query: %s", st.error());
    return DomainError;
}

// insertDomain - add the domain row; its id, or -1. *raced is set when
//                another process added the same domain first.
int insertDomain(sqlite3* db, const char* domain, int status, bool* raced)
{
    *raced = false;
    Statement st(db);
    if (st.prepare(insertDomainSql) != 0)
        return -1;
    if (!bindDomainName(st, 1, domain))
        return -1;
    if (!st.bindInt(2, status)) {
        ostra_log(ErrorLevel,
                  "Unable to bind parameter status '%d' for domain '%s' to SQL statement for "
                  "query '%s': %s",
                  status, domain, st.sql(), st.error());
        return -1;
    }
    int rc = st.step();
    if (rc == SQLITE_DONE)
        return static_cast<int>(sqlite3_last_insert_rowid(db));
    if ((rc & 0xff) == SQLITE_CONSTRAINT) {
        *raced = true;
        return -1;
    }
    ostra_log(ErrorLevel, "Unable to execute the mail domain authentication registration query: %s",
              st.error());
    return -1;
}

// lookupDomain - getDomainId that tells an absent domain from a failure.
DomainLookup lookupDomain(const char* domain, sqlite3* db, int flags, int* id)
{
    DomainLookup found = selectDomainId(db, domain, id);
    if (found != DomainAbsent || (flags & MAIL_AUTH_DO_NOT_CHANGE))
        return found;
    bool raced = false;
    *id = insertDomain(db, domain, flags != 0 ? 1 : 0, &raced);
    if (*id >= 0)
        return DomainFound;
    if (!raced)
        return DomainError;
    // A concurrent run registered the domain between our select and insert: use its row.
    found = selectDomainId(db, domain, id);
    if (found == DomainAbsent)
        ostra_log(ErrorLevel,
                  "Unable to execute the mail domain authentication registration query: %s",
                  "the domain vanished while it was being registered");
    return found == DomainFound ? DomainFound : DomainError;
}

// finish - close the database; the operation's result unless closing fails.
int finish(Database& db, int result)
{
    return db.close() == 0 ? result : -1;
}

// runUpdate - run a bound update to its end and close the database; 0, or -1
//             after logging "<failure>: <database error>".
int runUpdate(Database& db, Statement& st, const char* failure)
{
    if (st.step() != SQLITE_DONE) {
        ostra_log(ErrorLevel, "%s: %s", failure, st.error());
        return -1;
    }
    st.finalize();
    return finish(db, 0);
}

// bindUserDomainId - bind the domain id of mailName@mailDomain; false after logging.
bool bindUserDomainId(Statement& st, int index, int domId, const char* mailName,
                      const char* mailDomain)
{
    if (st.bindInt(index, domId))
        return true;
    ostra_log(ErrorLevel,
              "Unable to bind parameter domain ID for mail address '%s@%s' to  SQL statement "
              "for query '%s': %s",
              mailName, mailDomain, st.sql(), st.error());
    return false;
}

} // namespace

// getDomainId - the id of domain, created unless MAIL_AUTH_DO_NOT_CHANGE.
int getDomainId(const char* domain, sqlite3* db, int flags)
{
    if (domain == nullptr || db == nullptr)
        return nullArgument("getDomainId");
    int id = -1;
    return lookupDomain(domain, db, flags, &id) == DomainFound ? id : -1;
}

namespace {

// openForDomain - open the database and find (or, by flags, register) the
//                 domain; its id, or -1 after logging.
int openForDomain(Database& db, const char* mailDomain, int flags)
{
    if (db.open(mailAuthDBPath(), false) != 0)
        return -1;
    int domId = getDomainId(mailDomain, db.get(), flags);
    if (domId == -1)
        ostra_log(ErrorLevel, "No such domain '%s' in the mail authentication DB", mailDomain);
    return domId;
}

} // namespace

// mailAuthSet - store a user's password and status, registering the domain.
int mailAuthSet(const char* mailName, const char* mailDomain, const char* password, int flags)
{
    if (mailName == nullptr || mailDomain == nullptr)
        return nullArgument("mailAuthSet");
    Database db;
    int domId = openForDomain(db, mailDomain, flags & MAIL_DOMAIN_AUTH_DISABLED);
    if (domId == -1)
        return -1;

    Statement st(db.get());
    if (st.prepare((flags & MAIL_AUTH_CRYPTED) ? setCryptedSql : setClearSql) != 0)
        return -1;
    if (!bindLogged(st, 1, mailName,
                    "Unable to bind parameter mailname '%s' to SQL statement for query '%s': %s"))
        return -1;
    if (!st.bindText(2, password)) {
        ostra_log(ErrorLevel,
                  "Unable to bind parameter password for mail address '%s@%s' to SQL statement "
                  "for query '%s': %s",
                  mailName, mailDomain, st.sql(), st.error());
        return -1;
    }
    if (!st.bindInt(3, (flags & MAIL_AUTH_DISABLED) ? 1 : 0)) {
        ostra_log(ErrorLevel,
                  "Unable to bind parameter status for mail address '%s@%s' to  SQL statement "
                  "for query '%s': %s",
                  mailName, mailDomain, st.sql(), st.error());
        return -1;
    }
    if (!bindUserDomainId(st, 4, domId, mailName, mailDomain))
        return -1;
    return runUpdate(db, st, "Unable to execute the mail authorization registration query");
}

// set_postbox_passwd - set a non-empty password; an empty one removes the user.
int set_postbox_passwd(const char* mailName, const char* mailDomain, const char* password,
                       int flags)
{
    if (password != nullptr && *password != '\0')
        return mailAuthSet(mailName, mailDomain, password, flags) == 0 ? 0 : -1;
    return mailAuthRemove(mailName, mailDomain) == 0 ? 0 : -1;
}

// mailAuthRemove - delete a user; nothing to delete is success.
int mailAuthRemove(const char* mailName, const char* mailDomain)
{
    if (mailName == nullptr || mailDomain == nullptr)
        return nullArgument("mailAuthRemove");
    Database db;
    if (db.open(mailAuthDBPath(), false) != 0)
        return -1;
    int domId = -1;
    switch (lookupDomain(mailDomain, db.get(), MAIL_AUTH_DO_NOT_CHANGE, &domId)) {
    case DomainError:
        return -1;
    case DomainAbsent:
        return finish(db, 0);
    case DomainFound:
        break;
    }

    Statement st(db.get());
    if (st.prepare(removeUserSql) != 0)
        return -1;
    if (!bindLogged(st, 1, mailName,
                    "Unable to bind parameter mailname '%s' to  SQL statement for query '%s': %s"))
        return -1;
    if (!bindUserDomainId(st, 2, domId, mailName, mailDomain))
        return -1;
    return runUpdate(db, st, "Unable to execute the mail authorization removal query");
}

// mailAuthRename - give a user of a domain a new mail name.
int mailAuthRename(const char* oldMailName, const char* newMailName, const char* mailDomain)
{
    if (oldMailName == nullptr || newMailName == nullptr || mailDomain == nullptr)
        return nullArgument("mailAuthRename");
    Database db;
    int domId = openForDomain(db, mailDomain, MAIL_AUTH_DO_NOT_CHANGE);
    if (domId == -1)
        return -1;

    Statement st(db.get());
    if (st.prepare(renameUserSql) != 0)
        return -1;
    if (!bindLogged(st, 1, newMailName,
                    "Unable to bind parameter new mailname '%s' to  SQL statement for query "
                    "'%s': %s") ||
        !bindLogged(st, 2, oldMailName,
                    "Unable to bind parameter old mailname '%s' to  SQL statement for query "
                    "'%s': %s"))
        return -1;
    if (!bindUserDomainId(st, 3, domId, oldMailName, mailDomain))
        return -1;
    return runUpdate(db, st, "Unable to execute the mail authorization renaming query");
}

// mailAuthRemoveDomain - delete a domain; the trigger deletes its users.
int mailAuthRemoveDomain(const char* domain)
{
    if (domain == nullptr)
        return nullArgument("mailAuthRemoveDomain");
    Database db;
    if (db.open(mailAuthDBPath(), false) != 0)
        return -1;
    Statement st(db.get());
    if (st.prepare(removeDomainSql) != 0)
        return -1;
    if (!bindLogged(
            st, 1, domain,
            "Unable to bind parameter domain name '%s' to SQL statement for query '%s': %s"))
        return -1;
    return runUpdate(db, st, "Unable to execute the domain mail authorization removal query");
}

// setDomainStatus - enable (0) or disable (1) a domain.
int setDomainStatus(const char* domain, int status)
{
    if (domain == nullptr)
        return nullArgument("setDomainStatus");
    Database db;
    if (db.open(mailAuthDBPath(), false) != 0)
        return -1;
    Statement st(db.get());
    if (st.prepare(domainStatusSql) != 0)
        return -1;
    if (!st.bindInt(1, status)) {
        ostra_log(ErrorLevel,
                  "Unable to bind parameter status %d to  SQL statement for query '%s': %s", status,
                  st.sql(), st.error());
        return -1;
    }
    if (!bindDomainName(st, 2, domain))
        return -1;
    return runUpdate(db, st, "Unable to execute the mail domain authorization status change query");
}

// mailAuthEnableDomain - setDomainStatus(domain, 0).
int mailAuthEnableDomain(const char* domain)
{
    return setDomainStatus(domain, 0);
}

// mailAuthDisableDomain - setDomainStatus(domain, 1).
int mailAuthDisableDomain(const char* domain)
{
    return setDomainStatus(domain, 1);
}

namespace {

// CloneSource - what a clone copies from the old user.
struct CloneSource {
    bool found = false;
    bool passwordIsNull = true;
    std::string password;
    int flags = 0;
};

// readCloneSource - read the old user's row; 0 (found or not) or -1.
int readCloneSource(const char* oldName, const char* oldDomain, CloneSource* src)
{
    Database db;
    if (db.open(mailAuthDBPath(), true) != 0)
        return -1;

    Statement dom(db.get());
    if (dom.prepare(cloneDomainSql) != 0)
        return -1;
    if (!dom.bindText(1, oldDomain)) {
        ostra_log(ErrorLevel, "Unable to bind parameter domain id for: %s: %s", oldDomain,
                  dom.error());
        return -1;
    }
    int rc = dom.step();
    if (rc == SQLITE_DONE) {
        dom.finalize();
        return finish(db, 0);
    }
    if (rc != SQLITE_ROW) {
        ostra_log(ErrorLevel, "Unable to get domain id: %s", dom.error());
        ostra_log(ErrorLevel, "Unable to get mail domain id for: %s", oldDomain);
        return -1;
    }
    int domId = dom.columnInt(0);
    int domStatus = dom.columnInt(1);
    dom.finalize();

    Statement user(db.get());
    if (user.prepare(cloneUserSql) != 0)
        return -1;
    if (!user.bindInt(1, domId)) {
        ostra_log(ErrorLevel, "Unable to bind parameter bind domain id for: %s: %s", oldDomain,
                  user.error());
        return -1;
    }
    if (!user.bindText(2, oldName)) {
        ostra_log(ErrorLevel, "Unable to bind parameter bind mailname %s: %s", oldName,
                  user.error());
        return -1;
    }
    rc = user.step();
    if (rc == SQLITE_DONE) {
        user.finalize();
        return finish(db, 0);
    }
    if (rc != SQLITE_ROW) {
        ostra_log(ErrorLevel, "Unable to get passwd for mailname: %s: %s", oldName, user.error());
        return -1;
    }

    // Both columns NULL: the clear-text (NULL) column is copied, so the copy
    // is as unusable for login as the original.
    int column = user.columnIsNull(2) ? 1 : 2;
    if (column == 2)
        src->flags |= MAIL_AUTH_CRYPTED;
    try {
        src->passwordIsNull = user.columnIsNull(column);
        if (!src->passwordIsNull)
            src->password = user.columnText(column);
    } catch (const std::bad_alloc&) {
        ostra_log(ErrorLevel, "System error: %s", strerror(ENOMEM));
        return -1;
    }
    if (user.columnInt(3) != 0)
        src->flags |= MAIL_AUTH_DISABLED;
    if (domStatus != 0)
        src->flags |= MAIL_DOMAIN_AUTH_DISABLED;
    src->found = true;
    user.finalize();
    return finish(db, 0);
}

} // namespace

// mailAuthClone - copy a user's credentials and status to a new name/domain.
int mailAuthClone(const char* oldName, const char* oldDomain, const char* newName,
                  const char* newDomain)
{
    if (oldName == nullptr || oldDomain == nullptr || newName == nullptr || newDomain == nullptr)
        return nullArgument("mailAuthClone");
    CloneSource src;
    int rc = readCloneSource(oldName, oldDomain, &src);
    if (rc == 0 && src.found)
        rc = mailAuthSet(newName, newDomain, src.passwordIsNull ? nullptr : src.password.c_str(),
                         src.flags);
    if (rc != 0) {
        ostra_log(ErrorLevel, "Unable to get users list from MTA password database");
        return -1;
    }
    return 0;
}
