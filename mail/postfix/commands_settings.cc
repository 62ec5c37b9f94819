// commands_settings.cc - server-wide mail settings commands (not written yet: each command fails
// loudly).
#include "mail/postfix/mxadmin_commands.h"

#include <stdexcept>
#include <string>

namespace ostra {
namespace mail {
namespace postfix {
namespace mxadmin_commands {

namespace {

// notBuilt - refuse a command whose handler does not exist yet.
[[noreturn]] void notBuilt(const char* command)
{
    throw std::logic_error(std::string(command) + ": command not implemented yet");
}

} // namespace

// addBadMailFrom - the --add-badmailfrom command.
int addBadMailFrom(int, char**)
{
    notBuilt("--add-badmailfrom");
}

// removeBadMailFrom - the --remove-badmailfrom command.
int removeBadMailFrom(int, char**)
{
    notBuilt("--remove-badmailfrom");
}

// addWhiteList - the --add-whitelist command.
int addWhiteList(int, char**)
{
    notBuilt("--add-whitelist");
}

// removeWhiteList - the --remove-whitelist command.
int removeWhiteList(int, char**)
{
    notBuilt("--remove-whitelist");
}

// setMapsProtection - the --set-maps-protection command.
int setMapsProtection(int, char**)
{
    notBuilt("--set-maps-protection");
}

// setAccountsFormat - the --set-accounts-format command.
int setAccountsFormat(int, char**)
{
    notBuilt("--set-accounts-format");
}

// printFeatures - the --features command.
int printFeatures(int, char**)
{
    notBuilt("--features");
}

// setMaxLetterSize - the --set-max-letter-size command.
int setMaxLetterSize(int, char**)
{
    notBuilt("--set-max-letter-size");
}

// getMaxLetterSize - the --get-max-letter-size command.
int getMaxLetterSize(int, char**)
{
    notBuilt("--get-max-letter-size");
}

// getMailboxLimit - the --get-mailbox-size-limit command.
int getMailboxLimit(int, char**)
{
    notBuilt("--get-mailbox-size-limit");
}

// setMailParams - the --set-mail-params command.
int setMailParams(int, char**)
{
    notBuilt("--set-mail-params");
}

} // namespace mxadmin_commands
} // namespace postfix
} // namespace mail
} // namespace ostra
