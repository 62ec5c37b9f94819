// domain_manager.cc - mail domains in the lookup tables, and their mail roots.
#include "mail/postfix/domain_manager.h"

#include <algorithm>
#include <exception>

#include "mail/lib/maildirpp_manager.h"
#include "mail/lib/panel_lookups.h"
#include "mail/lib/string_list.h"
#include "mail/postfix/record_filters.h"
#include "ostra/str_util.h"

namespace ostra {
namespace mail {
namespace postfix {

namespace {

using database::ElementsFilter;
using database::NotInDomainFilter;
using database::ReplaceDomainPart;

// names - copy a list of the plain lookups; a failed lookup gives none.
NameList names(int result, const StringList& list)
{
    NameList out;
    if (result != 0)
        return out;
    for (size_t i = 0; i < list.size(); ++i)
        out.push_back(list.at(i));
    return out;
}

// address - local "@" domain.
std::string address(const std::string& local, const std::string& domain)
{
    return local + "@" + domain;
}

// withAliasDomains - domain followed by its alias domains.
DomainManager::DomainList withAliasDomains(const std::string& domain)
{
    DomainManager::DomainList domains(1, domain);
    const NameList aliases = panelDomainAliases(domain);
    domains.insert(domains.end(), aliases.begin(), aliases.end());
    return domains;
}

// bounceMarker - the "aliases" key that stands for domain's bounce.
std::string bounceMarker(const std::string& domain)
{
    return tables::BOUNCE_KEY_PREFIX + domain;
}

} // namespace

// panelDomainAliases - the alias domains of domain, none when the lookup fails.
NameList panelDomainAliases(const std::string& domain)
{
    StringList list;
    const int result = get_domaliases_by_domain(nullptr, list.out(), domain.c_str());
    return names(result, list);
}

// panelMailnames - the mail names of domain, none when the lookup fails.
NameList panelMailnames(const std::string& domain)
{
    StringList list;
    const int result = get_mailnames_by_domain(nullptr, list.out(), domain.c_str());
    return names(result, list);
}

// panelMailAliases - the mail aliases of mailname@domain, none when the lookup fails.
NameList panelMailAliases(const std::string& mailname, const std::string& domain)
{
    StringList list;
    const int result =
        get_aliases_by_mailname(nullptr, list.out(), mailname.c_str(), domain.c_str());
    return names(result, list);
}

// DomainManager::createDomain - mail root, quota, clean "virtual", then the records.
void DomainManager::createDomain(const std::string& domain, std::optional<long long> quota)
{
    MaildirManager::getInstance().createDomainRoot(domain);
    if (quota)
        MaildirPPManager::getInstance().setDomainQuota(domain, *quota);
    // Whatever "virtual" still knows under this name (an alias domain of the
    // same name, a former domain) must not leak into the new one.
    removeDomainAlias(domain);
    BatchDatabaseHelper batch;
    createDomainRecord(batch, domain);
}

// DomainManager::createDomainRecord - standard addresses, then enable.
void DomainManager::createDomainRecord(BatchDatabaseHelper& batch, const std::string& domain)
{
    createStandardDomainAddresses(batch, domain);
    enableDomain(batch, domain);
}

// DomainManager::createStandardDomainAddresses - s@domain -> s@localhost.localdomain.
void DomainManager::createStandardDomainAddresses(BatchDatabaseHelper& batch,
                                                  const std::string& domain)
{
    RecordVector records;
    for (const char* local : tables::STANDARD_ADDRESSES)
        records.push_back(
            Record(address(local, domain), std::string(local) + tables::LOCAL_HOST_SUFFIX));
    batch.addChanges(tables::VIRTUAL, records);
}

// DomainManager::removeStandardDomainAddresses - drop s@domain for every s.
void DomainManager::removeStandardDomainAddresses(BatchDatabaseHelper& batch,
                                                  const std::string& domain)
{
    KeyVector keys;
    for (const char* local : tables::STANDARD_ADDRESSES)
        keys.push_back(address(local, domain));
    batch.removeChanges(tables::VIRTUAL, keys);
}

// DomainManager::removeStandardDomainAddresses - the same with a batch of its own.
void DomainManager::removeStandardDomainAddresses(const std::string& domain)
{
    BatchDatabaseHelper batch;
    removeStandardDomainAddresses(batch, domain);
}

// DomainManager::enableDomain - "virtual_domains" record, then the standard addresses.
void DomainManager::enableDomain(BatchDatabaseHelper& batch, const std::string& domain)
{
    batch.addChange(tables::VIRTUAL_DOMAINS, domain, domain + "/");
    createStandardDomainAddresses(batch, domain);
}

// DomainManager::enableDomain - the same with a batch of its own.
void DomainManager::enableDomain(const std::string& domain)
{
    BatchDatabaseHelper batch;
    enableDomain(batch, domain);
}

// DomainManager::disableDomain - the domain stops receiving; its mail names stay.
void DomainManager::disableDomain(const std::string& domain)
{
    DatabaseHelper::removeRecord(tables::VIRTUAL_DOMAINS, domain);
    removeStandardDomainAddresses(domain);
}

// DomainManager::removeDomain - out of the tables; the mail root kept, removed or set aside.
void DomainManager::removeDomain(const std::string& domain, OnRemoval mode)
{
    DatabaseHelper::removeRecord(tables::VIRTUAL_DOMAINS, domain);
    switch (mode) {
    case OnRemovalRemove:
        // Best effort: mail that cannot be deleted must not keep the domain alive.
        try {
            MaildirManager::getInstance().removeDomainRoot(domain);
        } catch (const std::exception&) {
        }
        break;
    case OnRemovalBackup:
        MaildirManager::getInstance().backupDomainRoot(domain);
        break;
    case OnRemovalKeep:
        break;
    }
    removeDomainReferences(domain);
}

// DomainManager::removeDomainReferences - every key and list element in domain goes.
void DomainManager::removeDomainReferences(const std::string& domain)
{
    const NotInDomainFilter notInDomain(domain);
    DatabaseHelper::filterRecords(tables::VIRTUAL, ElementsFilter<NotInDomainFilter>(notInDomain));
    DatabaseHelper::filterRecords(tables::VMAILBOX, ElementsFilter<NotInDomainFilter>(notInDomain));
}

// DomainManager::createDomainAlias - standard addresses of alias, then its records in one call.
void DomainManager::createDomainAlias(BatchDatabaseHelper& batch, const std::string& domain,
                                      const std::string& alias)
{
    createStandardDomainAddresses(batch, alias);

    RecordVector records;
    records.push_back(Record(alias, tables::ALIAS_DOMAIN_VALUE));
    for (const std::string& mailname : panelMailnames(domain)) {
        const std::string target = address(mailname, domain);
        for (const std::string& mailAlias : panelMailAliases(mailname, domain))
            records.push_back(Record(address(mailAlias, alias), target));
        records.push_back(Record(address(mailname, alias), target));
    }
    batch.addChanges(tables::VIRTUAL, records);
}

// DomainManager::createDomainAlias - the same with a batch of its own.
void DomainManager::createDomainAlias(const std::string& domain, const std::string& alias)
{
    BatchDatabaseHelper batch;
    createDomainAlias(batch, domain, alias);
}

// DomainManager::removeDomainAlias - every key and list element in alias goes from "virtual".
void DomainManager::removeDomainAlias(const std::string& alias)
{
    DatabaseHelper::filterRecords(tables::VIRTUAL,
                                  ElementsFilter<NotInDomainFilter>(NotInDomainFilter(alias)));
}

// DomainManager::renameDomainAlias - the declaration and every x@old become new.
void DomainManager::renameDomainAlias(const std::string& oldAlias, const std::string& newAlias)
{
    DatabaseHelper::filterRecords(
        tables::VIRTUAL, ElementsFilter<ReplaceDomainPart>(ReplaceDomainPart(oldAlias, newAlias)));
}

// DomainManager::createCatchall - catch-all for domain and its alias domains.
void DomainManager::createCatchall(BatchDatabaseHelper& batch, const std::string& domain,
                                   const std::string& target)
{
    createCatchallFor(batch, withAliasDomains(domain), target);
}

// DomainManager::createCatchall - the same with a batch of its own.
void DomainManager::createCatchall(const std::string& domain, const std::string& target)
{
    BatchDatabaseHelper batch;
    createCatchall(batch, domain, target);
}

// DomainManager::createCatchallFor - "@"x -> target for every listed x; replaces a bounce.
void DomainManager::createCatchallFor(BatchDatabaseHelper& batch, const DomainList& domains,
                                      const std::string& target)
{
    RecordVector records;
    for (const std::string& domain : domains)
        records.push_back(Record("@" + domain, target));
    batch.addChanges(tables::VIRTUAL, records);
}

// DomainManager::removeCatchall - the "@" keys of the alias domains, then of domain.
void DomainManager::removeCatchall(BatchDatabaseHelper& batch, const std::string& domain)
{
    KeyVector keys;
    for (const std::string& alias : panelDomainAliases(domain))
        keys.push_back("@" + alias);
    keys.push_back("@" + domain);
    batch.removeChanges(tables::VIRTUAL, keys);
}

// DomainManager::removeCatchall - the same with a batch of its own.
void DomainManager::removeCatchall(const std::string& domain)
{
    BatchDatabaseHelper batch;
    removeCatchall(batch, domain);
}

// DomainManager::setBounce - bounce for domain and its alias domains.
void DomainManager::setBounce(BatchDatabaseHelper& batch, const std::string& domain,
                              const std::string& message)
{
    setBounceFor(batch, withAliasDomains(domain), message);
}

// DomainManager::setBounce - the same with a batch of its own.
void DomainManager::setBounce(const std::string& domain, const std::string& message)
{
    BatchDatabaseHelper batch;
    setBounce(batch, domain, message);
}

// DomainManager::setBounceFor - one "aliases" record per domain, then the markers at once.
void DomainManager::setBounceFor(BatchDatabaseHelper& batch, const DomainList& domains,
                                 const std::string& message)
{
    const std::string command = bounceCommand(message);
    RecordVector markers;
    for (const std::string& domain : domains) {
        const std::string marker = bounceMarker(domain);
        batch.addChange(tables::ALIASES, marker, command);
        markers.push_back(Record("@" + domain, marker + tables::LOCAL_HOST_SUFFIX));
    }
    batch.addChanges(tables::VIRTUAL, markers);
}

// DomainManager::bounceCommand - a double-quoted pipe to the bounce program, message quoted twice.
std::string DomainManager::bounceCommand(const std::string& message)
{
    std::string command = std::string("\"|") + tables::BOUNCE_PROGRAM;
    if (!message.empty()) {
        // A record is one line: line feeds would cut the command short.
        std::string oneLine(message);
        std::replace(oneLine.begin(), oneLine.end(), '\n', ' ');
        command += ' ';
        command += sh_quote(sh_quote(oneLine));
    }
    command += '"';
    return command;
}

} // namespace postfix
} // namespace mail
} // namespace ostra
