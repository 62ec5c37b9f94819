// config_auth.h - the authentication rows that the panel implies: every
// alias domain holds its domain's users, as the domain commands copy them.
#ifndef MAIL_POSTFIX_CONFIG_AUTH_H
#define MAIL_POSTFIX_CONFIG_AUTH_H

#include <map>
#include <set>
#include <string>
#include <vector>

#include "mail/lib/mail_auth_read.h"
#include "mail/postfix/config_report.h"

namespace ostra {
namespace mail {
namespace postfix {

// AuthCheck - one read-only look at the authentication database, domain by
// domain. Passwords are compared, never shown.
class AuthCheck {
public:
    AuthCheck(Report& report, Repairs& repairs);

    // enabled - whether the database leaves a domain enabled (a domain it
    // does not know is).
    bool enabled(const std::string& domain) const;
    // domain - the users of a domain against the panel's names, and of each
    // alias domain against the domain's own users.
    void domain(const std::string& domain, const std::vector<std::string>& aliases,
                const std::set<std::string>& panelNames);
    // unknownDomains - rows of domains that are neither a domain nor an
    // alias domain of the panel.
    void unknownDomains(const std::set<std::string>& known);

private:
    std::vector<AuthUser> users(const std::string& domain);
    void aliasDomain(const std::string& domain, const std::string& alias,
                     const std::vector<AuthUser>& own, const std::set<std::string>& panelNames);
    void removeUser(const std::string& kind, const AuthUser& u, const std::string& domain);

    Report& report_;
    Repairs& repairs_;
    AuthReader reader_;
    std::map<std::string, int> status_; // domain rows: name to status
};

} // namespace postfix
} // namespace mail
} // namespace ostra

#endif
