// command_util.cc - option reading, name checks and the handler action shared
// by the commands.
#include "mail/postfix/command_util.h"

#include <stdexcept>

#include "mail/handlers/lib/handlers.h"
#include "mail/lib/mail_path.h"
#include "ostra/idn.h"

namespace ostra {
namespace mail {
namespace postfix {
namespace mxadmin_commands {

namespace {

// hasBlankOrControl - whether text holds a blank, a DEL or a control character.
bool hasBlankOrControl(const std::string& text)
{
    for (unsigned char c : text)
        if (c <= ' ' || c == 0x7f)
            return true;
    return false;
}

} // namespace

// stringOption - the typed read of a string option.
std::string stringOption(const ProgramOptionsHelper& helper, const char* name)
{
    return helper.variables[name].as<std::string>();
}

// optionalString - the value, or empty for an absent option.
std::string optionalString(const ProgramOptionsHelper& helper, const char* name)
{
    return helper.variables.count(name) ? stringOption(helper, name) : std::string();
}

// checkDomainName - one harmless path component and table key, or throw.
void checkDomainName(const std::string& domain)
{
    if (!mail_path_component_ok(domain.c_str()) || domain.find('@') != std::string::npos ||
        hasBlankOrControl(domain))
        throw std::invalid_argument("invalid domain name '" + domain + "'");
}

// checkMailName - one harmless path component and table key, or throw.
void checkMailName(const std::string& name, const char* what)
{
    if (!mail_path_component_ok(name.c_str()) || hasBlankOrControl(name))
        throw std::invalid_argument(std::string("invalid ") + what + " '" + name + "'");
}

// asciiDomain - convert, then check.
std::string asciiDomain(const std::string& name)
{
    const std::string ascii = idn::toAscii(name);
    checkDomainName(ascii);
    return ascii;
}

// asciiDomainOption - convert and check an option's domain name.
std::string asciiDomainOption(const ProgramOptionsHelper& helper, const char* name)
{
    return asciiDomain(stringOption(helper, name));
}

// asciiAddress - convert the domain part, then refuse line-splitting bytes.
std::string asciiAddress(const std::string& address)
{
    const std::string ascii = idn::emailToAscii(address);
    if (hasBlankOrControl(ascii))
        throw std::invalid_argument("invalid e-mail address '" + ascii + "'");
    return ascii;
}

// handlersOf - the handler action with an optional new name.
bool handlersOf(const std::string& name, const std::string* newName, int action)
{
    return mass_control_handler_by_mailname(
               name.c_str(), newName != nullptr ? newName->c_str() : nullptr, action) == 0;
}

} // namespace mxadmin_commands
} // namespace postfix
} // namespace mail
} // namespace ostra
