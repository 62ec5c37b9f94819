// config_auth.cc - domain rows and users against what the panel implies.
#include "mail/postfix/config_auth.h"

#include <algorithm>
#include <stdexcept>

#include "mail/lib/mail_authenticate.h"

namespace ostra {
namespace mail {
namespace postfix {

namespace {

// stateOf - how a user or domain row is shown: its status alone.
const char* stateOf(int status)
{
    return status != 0 ? "disabled" : "enabled";
}

// succeeded - a plain function's failure (already logged) as an exception.
void succeeded(int result)
{
    if (result != 0)
        throw std::runtime_error("the mail authentication database refused the change");
}

// byName - users are kept sorted by name.
bool byName(const AuthUser& a, const AuthUser& b)
{
    return a.name < b.name;
}

} // namespace

// AuthCheck::AuthCheck - open once and read the domain rows.
AuthCheck::AuthCheck(Report& report, Repairs& repairs) : report_(report), repairs_(repairs)
{
    std::vector<AuthDomain> domains;
    if (reader_.open() != 0 || reader_.domains(domains) != 0)
        throw std::runtime_error("unable to read the mail authentication database");
    for (const AuthDomain& d : domains)
        status_[d.name] = d.status;
}

// AuthCheck::enabled - no row, or a row with status 0.
bool AuthCheck::enabled(const std::string& domain) const
{
    const auto row = status_.find(domain);
    return row == status_.end() || row->second == 0;
}

// AuthCheck::users - one domain's users, sorted by name.
std::vector<AuthUser> AuthCheck::users(const std::string& domain)
{
    std::vector<AuthUser> found;
    if (reader_.users(domain, found) != 0)
        throw std::runtime_error("unable to read the mail authentication database");
    return found;
}

// AuthCheck::domain - users of the domain that the panel does not name are
// unknown; then each alias domain.
void AuthCheck::domain(const std::string& domain, const std::vector<std::string>& aliases,
                       const std::set<std::string>& panelNames)
{
    const std::vector<AuthUser> own = users(domain);
    for (const AuthUser& u : own)
        if (!panelNames.count(u.name))
            removeUser("unknown", u, domain);
    for (const std::string& alias : aliases)
        aliasDomain(domain, alias, own, panelNames);
}

// AuthCheck::aliasDomain - with the domain's row the alias domain has one of
// the same status, and exactly the domain's users that the panel names.
void AuthCheck::aliasDomain(const std::string& domain, const std::string& alias,
                            const std::vector<AuthUser>& own,
                            const std::set<std::string>& panelNames)
{
    const auto row = status_.find(domain);
    const auto aliasRow = status_.find(alias);
    if (row != status_.end() && (aliasRow == status_.end() || aliasRow->second != row->second)) {
        report_.line(aliasRow == status_.end() ? "missing" : "differs", "auth-domain", alias,
                     stateOf(row->second),
                     aliasRow == status_.end() ? NOTHING : stateOf(aliasRow->second));
        const int status = row->second;
        repairs_.now("auth-domain " + alias,
                     [&] { succeeded(mailAuthSetDomain(alias.c_str(), status)); });
    }
    // A user the panel does not name is no one to copy, and a copy of it is unknown too.
    std::vector<AuthUser> expected;
    for (const AuthUser& u : own)
        if (panelNames.count(u.name))
            expected.push_back(u);
    const std::vector<AuthUser> theirs = users(alias);
    for (const AuthUser& u : expected) {
        const auto t = std::lower_bound(theirs.begin(), theirs.end(), u, byName);
        const bool present = t != theirs.end() && t->name == u.name;
        if (present && *t == u)
            continue;
        report_.line(present ? "differs" : "missing", "auth-user", u.name + "@" + alias,
                     stateOf(u.status),
                     !present                ? NOTHING
                     : t->status != u.status ? stateOf(t->status)
                                             : "other password");
        repairs_.now("auth-user " + u.name + "@" + alias, [&] {
            succeeded(mailAuthClone(u.name.c_str(), domain.c_str(), u.name.c_str(), alias.c_str()));
        });
    }
    for (const AuthUser& t : theirs)
        if (!std::binary_search(expected.begin(), expected.end(), t, byName))
            removeUser(panelNames.count(t.name) ? "extra" : "unknown", t, alias);
}

// AuthCheck::removeUser - report a user the database should not have.
void AuthCheck::removeUser(const std::string& kind, const AuthUser& u, const std::string& domain)
{
    report_.line(kind, "auth-user", u.name + "@" + domain, NOTHING, stateOf(u.status));
    if (repairs_.wanted(kind))
        repairs_.now("auth-user " + u.name + "@" + domain,
                     [&] { succeeded(mailAuthRemove(u.name.c_str(), domain.c_str())); });
}

// AuthCheck::unknownDomains - rows of names the walk never met.
void AuthCheck::unknownDomains(const std::set<std::string>& known)
{
    for (const auto& row : status_) {
        if (known.count(row.first))
            continue;
        report_.line("unknown", "auth-domain", row.first, NOTHING, stateOf(row.second));
        if (repairs_.wanted("unknown"))
            repairs_.now("auth-domain " + row.first,
                         [&] { succeeded(mailAuthRemoveDomain(row.first.c_str())); });
    }
}

} // namespace postfix
} // namespace mail
} // namespace ostra
