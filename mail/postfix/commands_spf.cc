// commands_spf.cc - SPF settings command (not written yet: each command fails loudly).
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

// updateSPF - the --update-spf command.
int updateSPF(int, char**)
{
    notBuilt("--update-spf");
}

} // namespace mxadmin_commands
} // namespace postfix
} // namespace mail
} // namespace ostra
