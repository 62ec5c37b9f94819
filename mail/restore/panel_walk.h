// panel_walk.h - every mail entity of the panel database, handed to callbacks
// one domain at a time: the domain, its alias domains, its mail names, and
// after each mail name its mail aliases.
#ifndef MAIL_RESTORE_PANEL_WALK_H
#define MAIL_RESTORE_PANEL_WALK_H

#include <string>

namespace ostra {
namespace mail {
namespace restore {

// PanelDomain - a domain and its "mbox_quota" limit as the panel holds it
// ("" when it has none).
struct PanelDomain {
    std::string name;
    std::string mboxQuota;
};

// PanelMailname - a mail name and its own quota as the panel holds it.
struct PanelMailname {
    std::string name;
    std::string mboxQuota;
};

// PanelVisitor - what the walk calls; for each domain in turn: domain(),
// aliasDomain() for each of its alias domains, mailname() for each mail name
// followed by mailAlias() for each of its mail aliases, then domainEnd().
class PanelVisitor {
public:
    virtual ~PanelVisitor() = default;
    virtual void domain(const PanelDomain& d) = 0;
    virtual void aliasDomain(const PanelDomain& d, const std::string& alias) = 0;
    virtual void mailname(const PanelDomain& d, const PanelMailname& m) = 0;
    virtual void mailAlias(const PanelDomain& d, const PanelMailname& m,
                           const std::string& alias) = 0;
    virtual void domainEnd(const PanelDomain& d) = 0;
};

// walkPanel - walk every domain in the order of the panel's ids, or only the
// domain named; four queries in all, whatever the number of entities, with
// the mail names and mail aliases streamed rather than held. Throws
// ostra::mysql::mError when the panel database cannot be read.
void walkPanel(PanelVisitor& visitor, const std::string& onlyDomain = "");

} // namespace restore
} // namespace mail
} // namespace ostra

#endif
