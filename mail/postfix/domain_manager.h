// domain_manager.h - mail domains in the lookup tables: standard addresses,
// enabling, alias domains, catch-all and bounce, and the domain's mail root.
#ifndef MAIL_POSTFIX_DOMAIN_MANAGER_H
#define MAIL_POSTFIX_DOMAIN_MANAGER_H

#include <optional>
#include <string>
#include <vector>

#include "mail/lib/maildir_manager.h"
#include "mail/postfix/database_helper.h"

namespace ostra {
namespace mail {
namespace postfix {

// A list of domain names, mail names or mail aliases, in the order given.
typedef std::vector<std::string> NameList;

// Panel database lookups on the default connection; a failed lookup has
// already been logged and reads as an empty list.
// panelDomainAliases - the alias domains of domain.
NameList panelDomainAliases(const std::string& domain);
// panelMailnames - the mail names of domain.
NameList panelMailnames(const std::string& domain);
// panelMailAliases - the mail aliases of mailname@domain.
NameList panelMailAliases(const std::string& mailname, const std::string& domain);

// DomainManager - keeps the lookup tables in line with the panel's mail domains.
// All names are in ASCII form. Table failures propagate as PostfixError
// subtypes, mail directory failures as their own errors; steps already done
// stay done. The forms without a batch create an immediate, incremental one.
class DomainManager {
public:
    typedef NameList DomainList;

    // createDomain - mail root, quota when given, a clean slate in "virtual", records.
    static void createDomain(const std::string& domain,
                             std::optional<long long> quota = std::nullopt);
    // createDomainRecord - standard addresses, then enable.
    static void createDomainRecord(BatchDatabaseHelper& batch, const std::string& domain);

    // createStandardDomainAddresses - the six standard address records, one call.
    static void createStandardDomainAddresses(BatchDatabaseHelper& batch,
                                              const std::string& domain);
    // removeStandardDomainAddresses - the six standard address keys, one call.
    static void removeStandardDomainAddresses(BatchDatabaseHelper& batch,
                                              const std::string& domain);
    static void removeStandardDomainAddresses(const std::string& domain);

    // enableDomain - the "virtual_domains" record and the standard addresses.
    static void enableDomain(BatchDatabaseHelper& batch, const std::string& domain);
    static void enableDomain(const std::string& domain);
    // disableDomain - drop the "virtual_domains" record and the standard addresses.
    static void disableDomain(const std::string& domain);

    // removeDomain - drop the domain from the tables; the mail root as mode says.
    static void removeDomain(const std::string& domain, OnRemoval mode);
    // removeDomainReferences - rewrite "virtual" and "vmailbox" without the domain.
    static void removeDomainReferences(const std::string& domain);

    // createDomainAlias - alias's standard addresses, its declaration and the
    // addresses of domain's mail names and mail aliases seen through it.
    static void createDomainAlias(BatchDatabaseHelper& batch, const std::string& domain,
                                  const std::string& alias);
    static void createDomainAlias(const std::string& domain, const std::string& alias);
    // removeDomainAlias - rewrite "virtual" without anything in the alias domain.
    static void removeDomainAlias(const std::string& alias);
    // renameDomainAlias - rewrite "virtual" with the alias domain renamed.
    static void renameDomainAlias(const std::string& oldAlias, const std::string& newAlias);

    // createCatchall - catch-all for domain and each of its alias domains.
    static void createCatchall(BatchDatabaseHelper& batch, const std::string& domain,
                               const std::string& target);
    static void createCatchall(const std::string& domain, const std::string& target);
    // createCatchallFor - "@" records of the listed domains pointing at target.
    static void createCatchallFor(BatchDatabaseHelper& batch, const DomainList& domains,
                                  const std::string& target);
    // removeCatchall - drop the "@" records of domain's alias domains and domain.
    static void removeCatchall(BatchDatabaseHelper& batch, const std::string& domain);
    static void removeCatchall(const std::string& domain);

    // setBounce - bounce with message for domain and each of its alias domains.
    static void setBounce(BatchDatabaseHelper& batch, const std::string& domain,
                          const std::string& message);
    static void setBounce(const std::string& domain, const std::string& message);
    // setBounceFor - bounce command in "aliases" and bounce markers in "virtual".
    static void setBounceFor(BatchDatabaseHelper& batch, const DomainList& domains,
                             const std::string& message);

    // bounceCommand - the "aliases" value that runs the bounce program with message.
    static std::string bounceCommand(const std::string& message);

private:
    DomainManager() = delete;
};

} // namespace postfix
} // namespace mail
} // namespace ostra

#endif
