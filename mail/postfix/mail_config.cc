// mail_config.cc - the panel's description of the mail configuration,
// walked once: the lookup-table records the domain and mail name commands
// would have written, compared through fingerprints of the tables; the mail
// homes and authentication rows, domain by domain.
#include "mail/postfix/mail_config.h"

#include <stdio.h>

#include <algorithm>
#include <stdexcept>
#include <map>
#include <set>
#include <vector>

#include "mail/lib/mail_path.h"
#include "mail/postfix/config_auth.h"
#include "mail/postfix/config_homes.h"
#include "mail/postfix/config_report.h"
#include "mail/postfix/table_snapshot.h"
#include "mail/restore/panel_walk.h"
#include "ostra/idn.h"
#include "ostra/names.h"
#include "ostra/uerr.h"
#include "ostra/values.h"

namespace ostra {
namespace mail {
namespace postfix {

namespace {

using restore::PanelDomain;
using restore::PanelMailname;

// quotaOf - a quota as the panel holds it; no limit when empty, not a number or -1.
long long quotaOf(const std::string& text)
{
    long long quota;
    if (text.empty() || sscanf(text.c_str(), "%lld", &quota) != 1 || quota == -1)
        return -1;
    return quota;
}

// asciiDomainOf - a panel domain in ASCII form; "" for one the commands would
// refuse, which is left out with a warning.
std::string asciiDomainOf(const std::string& name)
{
    try {
        const std::string ascii = idn::toAscii(name);
        if (domain_name_ok(ascii.c_str()))
            return ascii;
    } catch (const std::exception&) {
    }
    uerr << "WARNING: the panel's domain '" << name << "' is not a valid domain name; left out"
         << std::endl;
    return "";
}

// nameOk - a panel mail name or mail alias the commands would accept; one
// they would refuse is left out with a warning.
bool nameOk(const std::string& name, const std::string& domain)
{
    if (mail_path_component_ok(name.c_str()) && table_word_ok(name.c_str()) &&
        mail_validate(name.c_str(), VALIDATE_EMAIL_LOCAL_PART) == 1)
        return true;
    uerr << "WARNING: the panel's mail name '" << name << "' of " << domain
         << " is not a valid name; left out" << std::endl;
    return false;
}

// ConfigWalk - the expected state, built and compared domain by domain.
class ConfigWalk : public restore::PanelVisitor {
public:
    ConfigWalk(const ConfigScope& scope, Report& report, Repairs& repairs)
        : scope_(scope), report_(report), repairs_(repairs), homes_(report, repairs),
          auth_(report, repairs)
    {
        for (const char* t : {tables::VIRTUAL_DOMAINS, tables::VMAILBOX, tables::VIRTUAL})
            snapshots_.emplace(t, TableSnapshot(t));
    }

    void domain(const PanelDomain& d) override
    {
        domain_ = asciiDomainOf(d.name);
        domainQuota_ = quotaOf(d.mboxQuota);
        aliases_.clear();
        names_.clear();
    }
    void aliasDomain(const PanelDomain&, const std::string& alias) override
    {
        const std::string ascii = asciiDomainOf(alias);
        if (!ascii.empty())
            aliases_.push_back(ascii);
    }
    void mailname(const PanelDomain&, const PanelMailname& m) override
    {
        const long long own = quotaOf(m.mboxQuota);
        names_.push_back({m.name, own >= 0 ? own : domainQuota_, {}, nameOk(m.name, domain_)});
    }
    void mailAlias(const PanelDomain&, const PanelMailname&, const std::string& alias) override
    {
        if (nameOk(alias, domain_))
            names_.back().aliases.push_back(alias);
    }
    void domainEnd(const PanelDomain&) override
    {
        if (domain_.empty())
            return;
        names_.erase(
            std::remove_if(names_.begin(), names_.end(), [](const Name& n) { return !n.ok; }),
            names_.end());
        const bool enabled = auth_.enabled(domain_);
        facts_[domain_] = {false, enabled};
        for (const std::string& a : aliases_)
            facts_[a] = {true, true};
        expectRecords(enabled);
        std::vector<HomeName> homes;
        std::set<std::string> panelNames;
        for (const Name& n : names_) {
            homes.push_back({n.name, n.quota});
            panelNames.insert(n.name);
            panelNames.insert(n.aliases.begin(), n.aliases.end());
        }
        homes_.domain(domain_, homes);
        auth_.domain(domain_, aliases_, panelNames);
    }

    // finish - what the walk left unmatched, once every domain has been seen.
    void finish()
    {
        if (!scope_.domain.empty() && facts_.empty())
            throw std::runtime_error("the panel database has no domain " + scope_.domain);
        for (auto& s : snapshots_)
            leftovers(s.second);
        if (!scope_.domain.empty())
            return;
        std::set<std::string> known, roots;
        for (const auto& f : facts_) {
            known.insert(f.first);
            if (!f.second.alias)
                roots.insert(f.first);
        }
        auth_.unknownDomains(known);
        homes_.unknownRoots(roots);
    }

private:
    struct Name {
        std::string name;
        long long quota;
        std::vector<std::string> aliases;
        bool ok;
    };
    // DomainFacts - what the walk learnt of a name of the domain space.
    struct DomainFacts {
        bool alias;
        bool enabled;
    };

    // expect - one expected record: reported and gathered when it is not there.
    void expect(const char* table, const std::string& key, const std::string& value)
    {
        const std::string folded = foldKey(key);
        const TableSnapshot::Match m = snapshots_.at(table).expect(folded, value);
        if (m == TableSnapshot::Same)
            return;
        if (m == TableSnapshot::Missing)
            report_.line("missing", shortName(table), folded, value, NOTHING);
        else
            differing_[table][folded] = value;
        repairs_.add(table, folded, value);
    }

    // expectRecords - the records the domain and mail name commands write.
    void expectRecords(bool enabled)
    {
        const std::string& d = domain_;
        if (enabled) {
            expect(tables::VIRTUAL_DOMAINS, d, d + "/");
            standardAddresses(d);
        }
        for (const std::string& a : aliases_) {
            standardAddresses(a);
            expect(tables::VIRTUAL, a, tables::ALIAS_DOMAIN_VALUE);
        }
        for (const Name& n : names_) {
            const std::string address = n.name + "@" + d;
            expect(tables::VMAILBOX, address, d + "/" + n.name + tables::MAILBOX_SUFFIX);
            expect(tables::VIRTUAL, address, address);
            for (const std::string& a : aliases_)
                expect(tables::VIRTUAL, n.name + "@" + a, address);
            for (const std::string& ma : n.aliases) {
                expect(tables::VIRTUAL, ma + "@" + d, address);
                for (const std::string& a : aliases_)
                    expect(tables::VIRTUAL, ma + "@" + a, address);
            }
        }
    }

    void standardAddresses(const std::string& domain)
    {
        for (const char* s : tables::STANDARD_ADDRESSES)
            expect(tables::VIRTUAL, std::string(s) + "@" + domain,
                   std::string(s) + tables::LOCAL_HOST_SUFFIX);
    }

    // leftovers - records not expected, and the found values of those that
    // differ, read in a second dump and reported in key order.
    void leftovers(TableSnapshot& snapshot)
    {
        if (!snapshot.leftovers())
            return;
        const std::string table = snapshot.table();
        std::vector<std::vector<std::string>> lines;
        snapshot.visitLeftovers(
            [&](const std::string& key, const std::string& value, TableSnapshot::Match seen) {
                if (seen == TableSnapshot::Differs) {
                    lines.push_back({"differs", key, differing_[table][key], value});
                    return;
                }
                const char* kind = classify(table, key);
                if (kind == nullptr)
                    return;
                lines.push_back({kind, key, NOTHING, value});
                if (repairs_.wanted(kind))
                    repairs_.remove(table, key);
            });
        std::sort(lines.begin(), lines.end(),
                  [](const std::vector<std::string>& a, const std::vector<std::string>& b) {
                      return a[1] < b[1];
                  });
        for (const auto& l : lines)
            report_.line(l[0], shortName(table), l[1], l[2], l[3]);
    }

    // classify - "extra", "unknown", or null for a record that is no difference.
    const char* classify(const std::string& table, const std::string& key) const
    {
        const std::string::size_type at = key.rfind('@');
        const std::string domain = at == std::string::npos ? key : key.substr(at + 1);
        if (!facts_.count(domain))
            return scope_.domain.empty() ? "unknown" : nullptr;
        // Catch-all and bounce records are the domain commands' own business.
        if (at == 0)
            return nullptr;
        // A disabled domain's record, or a domain named as an alias domain.
        if (table == tables::VIRTUAL_DOMAINS || at == std::string::npos)
            return "extra";
        const std::string local = key.substr(0, at);
        for (const char* s : tables::STANDARD_ADDRESSES)
            if (local == s)
                return "extra";
        return "unknown";
    }

    static std::string shortName(const std::string& table)
    {
        return table.substr(table.rfind('/') + 1);
    }

    const ConfigScope& scope_;
    Report& report_;
    Repairs& repairs_;
    HomeCheck homes_;
    AuthCheck auth_;
    std::map<std::string, TableSnapshot> snapshots_;
    std::map<std::string, std::map<std::string, std::string>> differing_;
    std::map<std::string, DomainFacts> facts_;

    std::string domain_;
    long long domainQuota_ = -1;
    std::vector<std::string> aliases_;
    std::vector<Name> names_;
};

} // namespace

// changesMailConfig - the domain and mail name commands behind the compared state.
bool changesMailConfig(const std::string& command)
{
    static const char* const words[] = {
        "--add-domain",       "--remove-domain",         "--turn-on-domain",
        "--turn-off-domain",  "--set-domain-disk-quota", "--add-domain-alias",
        "--del-domain-alias", "--rename-domain-alias",   "--add-mailname",
        "--remove-mailname",  "--rename-mailname",       "--add-mailbox",
        "--remove-mailbox",   "--set-password",          "--set-mailbox-disk-quota",
        "--add-alias",        "--remove-alias"};
    for (const char* w : words)
        if (command == w)
            return true;
    return false;
}

// compareMailConfig - walk, compare, then the table repairs in one run per table.
ConfigSummary compareMailConfig(const ConfigScope& scope, std::ostream& out)
{
    ConfigSummary summary;
    Report report(out, summary);
    Repairs repairs(scope, summary);
    ConfigWalk walk(scope, report, repairs);
    restore::walkPanel(walk, scope.domain);
    walk.finish();
    repairs.applyTables();
    return summary;
}

} // namespace postfix
} // namespace mail
} // namespace ostra
