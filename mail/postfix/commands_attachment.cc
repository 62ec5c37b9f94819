// commands_attachment.cc - attachment store commands (not written yet: each command fails loudly).
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

// listAttachments - the --list-attachments command.
int listAttachments(int, char**)
{
    notBuilt("--list-attachments");
}

// addAttachment - the --add-attachment command.
int addAttachment(int, char**)
{
    notBuilt("--add-attachment");
}

// removeAttachment - the --remove-attachment command.
int removeAttachment(int, char**)
{
    notBuilt("--remove-attachment");
}

} // namespace mxadmin_commands
} // namespace postfix
} // namespace mail
} // namespace ostra
