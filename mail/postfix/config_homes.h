// config_homes.h - the mail homes that the panel's mail names need, compared
// with the mail tree and repaired as --add-mailname makes them.
#ifndef MAIL_POSTFIX_CONFIG_HOMES_H
#define MAIL_POSTFIX_CONFIG_HOMES_H

#include <sys/types.h>

#include <set>
#include <string>
#include <vector>

#include "mail/postfix/config_report.h"

namespace ostra {
namespace mail {
namespace postfix {

// HomeName - a mail name with the size quota its home should have (-1: none).
struct HomeName {
    std::string name;
    long long quota;
};

// HomeCheck - domain roots and mail homes, looked at through descriptors
// without following a link: the homes are popuser's.
class HomeCheck {
public:
    HomeCheck(Report& report, Repairs& repairs);

    // domain - the domain root, every mail name's home, .qmail and quota, and
    // the homes of names the panel does not have (reported, never removed).
    void domain(const std::string& domain, const std::vector<HomeName>& names);
    // unknownRoots - directories of the mail root that no domain owns.
    void unknownRoots(const std::set<std::string>& domains);

private:
    void home(int domainDir, const std::string& domain, const HomeName& n);
    // state - how the entry name below dir looks: "dir 0700 popuser", "-", ...
    std::string state(int dir, const std::string& name) const;

    Report& report_;
    Repairs& repairs_;
    std::string mailRoot_;
    uid_t popuserUid_;
    gid_t popuserGid_;
};

} // namespace postfix
} // namespace mail
} // namespace ostra

#endif
