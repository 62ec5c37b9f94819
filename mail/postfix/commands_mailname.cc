// commands_mailname.cc - mail name commands (not written yet: each command fails loudly).
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

// addMailname - the --add-mailname command.
int addMailname(int, char**)
{
    notBuilt("--add-mailname");
}

// removeMailname - the --remove-mailname command.
int removeMailname(int, char**)
{
    notBuilt("--remove-mailname");
}

// renameMailname - the --rename-mailname command.
int renameMailname(int, char**)
{
    notBuilt("--rename-mailname");
}

// addMailbox - the --add-mailbox command.
int addMailbox(int, char**)
{
    notBuilt("--add-mailbox");
}

// removeMailbox - the --remove-mailbox command.
int removeMailbox(int, char**)
{
    notBuilt("--remove-mailbox");
}

// getMailboxSize - the --get-mailbox-size command.
int getMailboxSize(int, char**)
{
    notBuilt("--get-mailbox-size");
}

// setPassword - the --set-password command.
int setPassword(int, char**)
{
    notBuilt("--set-password");
}

// setMailboxDiskQuota - the --set-mailbox-disk-quota command.
int setMailboxDiskQuota(int, char**)
{
    notBuilt("--set-mailbox-disk-quota");
}

// addRedirect - the --add-redirect command.
int addRedirect(int, char**)
{
    notBuilt("--add-redirect");
}

// removeRedirect - the --remove-redirect command.
int removeRedirect(int, char**)
{
    notBuilt("--remove-redirect");
}

// addAutoresponder - the --set-autoresponder command.
int addAutoresponder(int, char**)
{
    notBuilt("--set-autoresponder");
}

// removeAutoresponder - the --reset-autoresponder command.
int removeAutoresponder(int, char**)
{
    notBuilt("--reset-autoresponder");
}

// addAlias - the --add-alias command.
int addAlias(int, char**)
{
    notBuilt("--add-alias");
}

// removeAlias - the --remove-alias command.
int removeAlias(int, char**)
{
    notBuilt("--remove-alias");
}

} // namespace mxadmin_commands
} // namespace postfix
} // namespace mail
} // namespace ostra
