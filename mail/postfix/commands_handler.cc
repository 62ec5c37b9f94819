// commands_handler.cc - mail handler commands (not written yet: each command fails loudly).
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

// addHandler - the --add-handler command.
int addHandler(int, char**)
{
    notBuilt("--add-handler");
}

// updateHandler - the --update-handler command.
int updateHandler(int, char**)
{
    notBuilt("--update-handler");
}

// removeHandler - the --remove-handler command.
int removeHandler(int, char**)
{
    notBuilt("--remove-handler");
}

// disableHandler - the --disable-handler command.
int disableHandler(int, char**)
{
    notBuilt("--disable-handler");
}

// enableHandler - the --enable-handler command.
int enableHandler(int, char**)
{
    notBuilt("--enable-handler");
}

// checkHandler - the --check-handler command.
int checkHandler(int, char**)
{
    notBuilt("--check-handler");
}

} // namespace mxadmin_commands
} // namespace postfix
} // namespace mail
} // namespace ostra
