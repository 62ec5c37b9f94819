// mail_config.h - the mail configuration that the panel database describes,
// compared with what the server holds, and brought back in line with it.
//
// Each difference is one line of five tab-separated fields:
//   kind     "missing" (expected, absent), "differs" (present, other value),
//            "extra" (present, but the panel says otherwise: the records of a
//            disabled domain, users an alias domain has and its domain has
//            not), "unknown" (belongs to a domain, alias domain or mail name
//            the panel does not have)
//   subject  "virtual_domains", "virtual", "vmailbox", "domain-root", "home",
//            "qmail", "quota", "auth-domain", "auth-user"
//   key      the record key, the path below the mail root, the domain or the
//            address
//   expected what the panel implies, "-" for nothing
//   found    what the server holds, "-" for nothing
// Passwords are never printed: a user whose password differs shows as found
// "other password".
#ifndef MAIL_POSTFIX_MAIL_CONFIG_H
#define MAIL_POSTFIX_MAIL_CONFIG_H

#include <ostream>
#include <string>

namespace ostra {
namespace mail {
namespace postfix {

// The lock that keeps a check or a restore from seeing another command's
// change half made: the commands that change what is compared hold it
// shared for their whole run, a check or a restore holds it alone.
constexpr char MAIL_CONFIG_LOCK[] = "/var/spool/postfix/ostra";

// changesMailConfig - whether a command word changes what a check compares.
bool changesMailConfig(const std::string& command);

// ConfigScope - what a check covers and what a restore may change.
struct ConfigScope {
    std::string domain; // ASCII name of one domain (with its alias domains), or "" for all
    bool repair = false;
    bool prune = false; // with repair: remove what is unknown (never mail homes)
};

// ConfigSummary - differences by kind; repairs made and failed.
struct ConfigSummary {
    unsigned missing = 0;
    unsigned differs = 0;
    unsigned extra = 0;
    unsigned unknown = 0;
    unsigned repaired = 0;
    unsigned failed = 0;

    unsigned total() const { return missing + differs + extra + unknown; }
};

// compareMailConfig - walk the panel database, compare, print a line per
// difference on out and, with scope.repair, repair. Throws when the panel
// database, a table or the authentication database cannot be read.
ConfigSummary compareMailConfig(const ConfigScope& scope, std::ostream& out);

} // namespace postfix
} // namespace mail
} // namespace ostra

#endif
