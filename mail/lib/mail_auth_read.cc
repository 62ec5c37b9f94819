// mail_auth_read.cc - whole-database reads and the registration of a domain row.
#include "mail/lib/mail_auth_read.h"

#include "mail/lib/mail_auth_db.h"
#include "mail/lib/mail_authenticate.h"
#include "ostra/log.h"

namespace ostra {
namespace mail {

namespace {

const int ErrorLevel = 3;

// text - a text column, "" for NULL.
std::string text(const authdb::Statement& st, int column)
{
    const char* value = st.columnText(column);
    return value != nullptr ? value : "";
}

} // namespace

// AuthReader::open - read-only, with the usual busy handling.
int AuthReader::open()
{
    return db_.open(mailAuthDBPath(), true);
}

// AuthReader::domains - every row of domains, by name.
int AuthReader::domains(std::vector<AuthDomain>& out)
{
    authdb::Statement st(db_.get());
    if (st.prepare("SELECT name, status FROM domains ORDER BY name") != 0)
        return -1;
    int rc;
    while ((rc = st.step()) == SQLITE_ROW)
        out.push_back({text(st, 0), st.columnInt(1)});
    if (rc != SQLITE_DONE) {
        ostra_log(ErrorLevel, "Unable to read the domains of the mail authentication DB: %s",
                  st.error());
        return -1;
    }
    return 0;
}

// AuthReader::users - one indexed query per domain.
int AuthReader::users(const std::string& domain, std::vector<AuthUser>& out)
{
    authdb::Statement st(db_.get());
    if (st.prepare("SELECT u.name, u.userPassword, u.cmusaslsecretPLAIN, u.status FROM users u"
                   " JOIN domains d ON d.id = u.dom_id WHERE d.name = ? ORDER BY u.name") != 0)
        return -1;
    if (!st.bindText(1, domain.c_str())) {
        ostra_log(ErrorLevel,
                  "Unable to bind parameter domain name '%s' to SQL statement for query '%s': %s",
                  domain.c_str(), st.sql(), st.error());
        return -1;
    }
    int rc;
    while ((rc = st.step()) == SQLITE_ROW)
        out.push_back({text(st, 0), !st.columnIsNull(1), text(st, 1), !st.columnIsNull(2),
                       text(st, 2), st.columnInt(3)});
    if (rc != SQLITE_DONE) {
        ostra_log(ErrorLevel, "Unable to read the users of domain %s: %s", domain.c_str(),
                  st.error());
        return -1;
    }
    return 0;
}

} // namespace mail
} // namespace ostra

// mailAuthSetDomain - look the domain up (registering it), then set its status.
int mailAuthSetDomain(const char* domain, int status)
{
    if (domain == nullptr) {
        ostra_log(3, "mailAuthSetDomain: a required argument is missing");
        return -1;
    }
    ostra::mail::authdb::Database db;
    if (db.open(mailAuthDBPath(), false) != 0)
        return -1;
    if (getDomainId(domain, db.get(), status != 0 ? MAIL_DOMAIN_AUTH_DISABLED : 0) == -1) {
        ostra_log(3, "No such domain '%s' in the mail authentication DB", domain);
        return -1;
    }
    if (db.close() != 0)
        return -1;
    return setDomainStatus(domain, status);
}
