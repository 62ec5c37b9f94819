// command_util.h - option reading, name checks and the handler action shared
// by the domain and mail name commands.
#ifndef MAIL_POSTFIX_COMMAND_UTIL_H
#define MAIL_POSTFIX_COMMAND_UTIL_H

#include <string>

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
// cannot serve as one directory name and one lookup table key: empty, "." or
// "..", or holding "/", "@", blanks or control characters.
void checkDomainName(const std::string& domain);

// checkMailName - throw std::invalid_argument for a mail name or mail alias
// that cannot serve as one directory name and one lookup table key: empty,
// "." or "..", or holding "/", blanks or control characters; what names it
// in the message.
void checkMailName(const std::string& name, const char* what = "mail name");

// asciiDomain - the ASCII form of a domain name, checked by checkDomainName;
// a name that does not convert throws ostra::idn::IdnaError.
std::string asciiDomain(const std::string& name);

// asciiDomainOption - asciiDomain of a string option's value.
std::string asciiDomainOption(const ProgramOptionsHelper& helper, const char* name = "domain-name");

// asciiAddress - an address with its domain part in ASCII form; throws
// std::invalid_argument when it holds blanks or control characters, which
// would split a table record or a delivery line. The empty address passes.
std::string asciiAddress(const std::string& address);

// handlersOf - the mass handler action (HOOK_*) for name, a domain or an
// address, with newName for a move or clone; true on success.
bool handlersOf(const std::string& name, const std::string* newName, int action);

} // namespace mxadmin_commands
} // namespace postfix
} // namespace mail
} // namespace ostra

#endif
