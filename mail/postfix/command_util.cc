// command_util.cc - option reading, name checks and the handler action shared
// by the commands.
#include "mail/postfix/command_util.h"

#include <stdexcept>

#include "mail/handlers/lib/handlers.h"
#include "mail/lib/mail_path.h"
#include "mail/lib/string_list.h"
#include "ostra/idn.h"
#include "ostra/str_util.h"
#include "ostra/values.h"

namespace ostra {
namespace mail {
namespace postfix {
namespace mxadmin_commands {

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

// checkDomainName - LDH labels between single dots, or throw.
void checkDomainName(const std::string& domain)
{
    checkValue(domain, domain_name_ok, "domain name");
}

// asciiDomainList - each element converted on its own: converted whole, the
// separators would end up inside an encoded label. At least one element.
std::string asciiDomainList(const std::string& list, const char* separators)
{
    const std::vector<std::string> domains = listItems(list, separators);
    if (domains.empty())
        return asciiDomain(list);
    std::string ascii;
    for (const std::string& domain : domains)
        ascii += (ascii.empty() ? "" : ",") + asciiDomain(domain);
    return ascii;
}

// checkMailName - one harmless path component and table key, or throw.
void checkMailName(const std::string& name, const char* what)
{
    if (!mail_path_component_ok(name.c_str()))
        throw std::invalid_argument(std::string("invalid ") + what + " '" + name + "'");
    checkValue(name, table_word_ok, what);
}

// checkValue - the check's verdict as an exception.
void checkValue(const std::string& value, int (*ok)(const char*), const char* what)
{
    if (!ok(value.c_str()))
        throw std::invalid_argument(std::string("invalid ") + what + " '" + value + "'");
}

// listItems - split, dropping the empty pieces.
std::vector<std::string> listItems(const std::string& list, const char* separators)
{
    StringList pieces(string_split(list.c_str(), separators));
    if (pieces.size() == 0)
        throw std::runtime_error("unable to split the list " + list);
    std::vector<std::string> items;
    for (size_t i = 0; i < pieces.size(); ++i)
        if (*pieces.at(i) != '\0')
            items.push_back(pieces.at(i));
    return items;
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

// asciiAddress - convert the domain part, then refuse line- and list-splitting
// bytes and a domain part that is no domain name.
std::string asciiAddress(const std::string& address)
{
    const std::string ascii = idn::emailToAscii(address);
    const std::string::size_type at = ascii.find('@');
    if (!table_word_ok(ascii.c_str()) ||
        (at != std::string::npos && !domain_name_ok(ascii.c_str() + at + 1)))
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
