// mail_database.cc - carrying mail authentication changes of a domain or
//                    mail name over to its domain aliases and mail aliases.
#include <stddef.h>
#include <stdlib.h>

#include <memory>

#include "mail/lib/mail_authenticate.h"
#include "mail/lib/panel_lookups.h"
#include "mail/lib/string_list.h"
#include "ostra/log.h"

namespace {

const int ErrorLevel = 3;

// domainAliasesOf - the domain aliases of domain from the panel database;
//                   false after logging.
bool domainAliasesOf(const char* domain, StringList& aliases)
{
    if (get_domaliases_by_domain(nullptr, aliases.out(), domain) == 0)
        return true;
    ostra_log(ErrorLevel, "Unable to get domain aliases for domain %s", domain);
    return false;
}

} // namespace

// rm_mname_from_domains - remove mailname from domain and its domain aliases.
int rm_mname_from_domains(const char* mailname, const char* domain)
{
    if (mailAuthRemove(mailname, domain) != 0) {
        ostra_log(ErrorLevel, "Unable to remove mailname %s@%s", mailname, domain);
        return -1;
    }
    StringList aliases;
    if (!domainAliasesOf(domain, aliases))
        return -1;
    for (size_t i = 0; i < aliases.size(); ++i)
        if (mailAuthRemove(mailname, aliases.at(i)) != 0) {
            ostra_log(ErrorLevel, "Unable to remove mailname %s@%s", mailname, aliases.at(i));
            return -1;
        }
    return 0;
}

// rm_mails_from_domains - remove mailname and its mail aliases everywhere.
int rm_mails_from_domains(const char* mailname, const char* domain)
{
    if (mailAuthRemove(mailname, domain) != 0) {
        ostra_log(ErrorLevel, "Unable to remove mailname %s@%s", mailname, domain);
        return -1;
    }
    if (rm_mname_from_domains(mailname, domain) != 0) {
        ostra_log(ErrorLevel, "Unable to remove mailname from domain aliases");
        return -1;
    }
    StringList mailAliases;
    if (get_aliases_by_mailname(nullptr, mailAliases.out(), mailname, domain) != 0) {
        ostra_log(ErrorLevel, "Unable to get mail aliases for %s@%s", mailname, domain);
        return -1;
    }
    for (size_t i = 0; i < mailAliases.size(); ++i)
        if (rm_mname_from_domains(mailAliases.at(i), domain) != 0) {
            ostra_log(ErrorLevel, "Unable to remove mailname from domain aliases");
            return -1;
        }
    return 0;
}

// domain_auth_action - a domain operation on domain and its domain aliases.
int domain_auth_action(const char* domain, int (*action)(const char*), const char* actionName)
{
    if (action == nullptr || actionName == nullptr) {
        ostra_log(ErrorLevel, "domain_auth_action: a required argument is missing");
        return -1;
    }
    if (action(domain) != 0) {
        ostra_log(ErrorLevel, "Unable to %s for domain %s", actionName, domain);
        return -1;
    }
    StringList aliases;
    if (get_domaliases_by_domain(nullptr, aliases.out(), domain) != 0) {
        ostra_log(ErrorLevel, "Unable to get aliases for domain %s", domain);
        return -1;
    }
    for (size_t i = 0; i < aliases.size(); ++i)
        if (action(aliases.at(i)) != 0) {
            ostra_log(ErrorLevel, "Unable to %s for domain alias %s", actionName, aliases.at(i));
            return -1;
        }
    return 0;
}

// set_passwd_for_domains - set_postbox_passwd for domain and its domain aliases.
int set_passwd_for_domains(const char* mailname, const char* domain, const char* password,
                           int flags)
{
    if (set_postbox_passwd(mailname, domain, password, flags) != 0) {
        ostra_log(ErrorLevel, "Unable to set password for mailname %s@%s", mailname, domain);
        return -1;
    }
    StringList aliases;
    if (!domainAliasesOf(domain, aliases))
        return -1;
    for (size_t i = 0; i < aliases.size(); ++i)
        if (set_postbox_passwd(mailname, aliases.at(i), password, flags) != 0)
            return -1;
    return 0;
}

// set_mass_postbox_passwd - set_passwd_for_domains for mailname and its mail aliases.
int set_mass_postbox_passwd(const char* mailname, const char* domain, const char* password,
                            int flags)
{
    if (set_passwd_for_domains(mailname, domain, password, flags) != 0)
        return -1;
    StringList mailAliases;
    if (get_aliases_by_mailname(nullptr, mailAliases.out(), mailname, domain) != 0)
        return -1;
    for (size_t i = 0; i < mailAliases.size(); ++i)
        if (set_passwd_for_domains(mailAliases.at(i), domain, password, flags) != 0)
            return -1;
    return 0;
}

// add_domain_auth_alias - copy the users of domain to a new domain alias.
int add_domain_auth_alias(const char* domain, const char* alias)
{
    if (domain == nullptr || alias == nullptr) {
        ostra_log(ErrorLevel, "add_domain_auth_alias: a required argument is missing");
        return -1;
    }
    StringList mailnames;
    if (get_mailnames_by_domain(nullptr, mailnames.out(), domain) != 0) {
        ostra_log(ErrorLevel, "Unable to get mailnames from domain %s", domain);
        return -1;
    }
    for (size_t i = 0; i < mailnames.size(); ++i) {
        const char* mailname = mailnames.at(i);
        StringList mailAliases;
        if (get_aliases_by_mailname(nullptr, mailAliases.out(), mailname, domain) != 0) {
            ostra_log(ErrorLevel, "Unable to get mail aliases for %s@%s", mailname, domain);
            return -1;
        }
        for (size_t j = 0; j < mailAliases.size(); ++j) {
            const char* mailAlias = mailAliases.at(j);
            if (mailAuthClone(mailAlias, domain, mailAlias, alias) != 0) {
                ostra_log(ErrorLevel, "Unable to clone auth record for %s@%s", mailAlias, alias);
                return -1;
            }
        }
        if (mailAuthClone(mailname, domain, mailname, alias) != 0) {
            ostra_log(ErrorLevel, "Unable to clone auth record for %s@%s", mailname, alias);
            return -1;
        }
    }
    return 0;
}

// rm_domain_auth_alias - remove a domain alias and every user under it.
int rm_domain_auth_alias(const char* alias)
{
    if (alias == nullptr) {
        ostra_log(ErrorLevel, "rm_domain_auth_alias: a required argument is missing");
        return -1;
    }
    if (mailAuthRemoveDomain(alias) != 0) {
        ostra_log(ErrorLevel, "Unable to remove domain %s from auth database", alias);
        return -1;
    }
    char* found = nullptr;
    if (get_domain_by_domainalias(nullptr, &found, alias) != 0) {
        ostra_log(ErrorLevel, "Unable to get domain by domain alias %s", alias);
        return -1;
    }
    if (found == nullptr)
        return 0;
    std::unique_ptr<char, decltype(&free)> domain(found, free);

    StringList mailnames;
    if (get_mailnames_by_domain(nullptr, mailnames.out(), domain.get()) != 0) {
        ostra_log(ErrorLevel, "Unable to get mailnames from domain %s", domain.get());
        return -1;
    }
    for (size_t i = 0; i < mailnames.size(); ++i) {
        StringList mailAliases;
        if (get_aliases_by_mailname(nullptr, mailAliases.out(), mailnames.at(i), domain.get()) !=
            0) {
            ostra_log(ErrorLevel, "Unable to get aliases for mailname %s@%s", mailnames.at(i),
                      domain.get());
            return -1;
        }
        for (size_t j = 0; j < mailAliases.size(); ++j)
            if (mailAuthRemove(mailAliases.at(j), alias) != 0) {
                ostra_log(ErrorLevel, "Unable to remove mail alias %s@%s", mailAliases.at(j),
                          alias);
                return -1;
            }
    }
    return 0;
}
