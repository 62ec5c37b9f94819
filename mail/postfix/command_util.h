// command_util.h - option reading, name checks and the handler action shared
// by the domain and mail name commands.
#ifndef MAIL_POSTFIX_COMMAND_UTIL_H
#define MAIL_POSTFIX_COMMAND_UTIL_H

#include <string>
#include <vector>

#include "mail/postfix/options_helper.h"

namespace ostra {
namespace mail {
namespace postfix {
namespace mxadmin_commands {

// stringOption - a string option's value; an absent option throws
// boost::bad_any_cast like every typed read of it.
std::string stringOption(const ProgramOptionsHelper& helper, const char* name);

// optionalString - a string option's value, empty when it was not given.
std::string optionalString(const ProgramOptionsHelper& helper, const char* name);

// checkDomainName - throw std::invalid_argument for an ASCII domain name that
// is not labels of letters, digits and hyphens joined by single dots: it goes
// into paths, table records, main.cf and panel queries.
void checkDomainName(const std::string& domain);

// asciiDomainList - a list of domain names with each element converted to its
// ASCII form and checked as asciiDomain does, joined with ","; at least one.
std::string asciiDomainList(const std::string& list, const char* separators);

// checkMailName - throw std::invalid_argument for a mail name or mail alias
// that cannot serve as one directory name and one lookup table key: empty,
// "." or "..", or holding "/", blanks, commas or control characters; what
// names it in the message.
void checkMailName(const std::string& name, const char* what = "mail name");

// checkValue - throw std::invalid_argument, naming what and the value, when
// ok (one of the checks of ostra/values.h) refuses it.
void checkValue(const std::string& value, int (*ok)(const char*), const char* what);

// listItems - the non-empty elements of a list split at any of separators.
std::vector<std::string> listItems(const std::string& list, const char* separators);

// asciiDomain - the ASCII form of a domain name, checked by checkDomainName;
// a name that does not convert throws ostra::idn::IdnaError.
std::string asciiDomain(const std::string& name);

// asciiDomainOption - asciiDomain of a string option's value.
std::string asciiDomainOption(const ProgramOptionsHelper& helper, const char* name = "domain-name");

// asciiAddress - an address with its domain part in ASCII form; throws
// std::invalid_argument when it holds blanks, commas or control characters,
// which would split a table record, a list of targets or a delivery line, or
// when its domain part is not a domain name. The empty address passes.
std::string asciiAddress(const std::string& address);

// handlersOf - the mass handler action (HOOK_*) for name, a domain or an
// address, with newName for a move or clone; true on success.
bool handlersOf(const std::string& name, const std::string* newName, int action);

} // namespace mxadmin_commands
} // namespace postfix
} // namespace mail
} // namespace ostra

#endif
