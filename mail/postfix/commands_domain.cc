// commands_domain.cc - domain commands (not written yet: each command fails loudly).
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

// addDomain - the --add-domain command.
int addDomain(int, char**)
{
    notBuilt("--add-domain");
}

// removeDomain - the --remove-domain command.
int removeDomain(int, char**)
{
    notBuilt("--remove-domain");
}

// enableDomain - the --turn-on-domain command.
int enableDomain(int, char**)
{
    notBuilt("--turn-on-domain");
}

// disableDomain - the --turn-off-domain command.
int disableDomain(int, char**)
{
    notBuilt("--turn-off-domain");
}

// setDomainDiskQuota - the --set-domain-disk-quota command.
int setDomainDiskQuota(int, char**)
{
    notBuilt("--set-domain-disk-quota");
}

// setBounce - the --set-bounce command.
int setBounce(int, char**)
{
    notBuilt("--set-bounce");
}

// setCatchAll - the --set-catchall command.
int setCatchAll(int, char**)
{
    notBuilt("--set-catchall");
}

// setReject - the --set-reject command.
int setReject(int, char**)
{
    notBuilt("--set-reject");
}

// removeReject - the --unset-reject command.
int removeReject(int, char**)
{
    notBuilt("--unset-reject");
}

// addDomainAlias - the --add-domain-alias command.
int addDomainAlias(int, char**)
{
    notBuilt("--add-domain-alias");
}

// removeDomainAlias - the --del-domain-alias command.
int removeDomainAlias(int, char**)
{
    notBuilt("--del-domain-alias");
}

// renameDomainAlias - the --rename-domain-alias command.
int renameDomainAlias(int, char**)
{
    notBuilt("--rename-domain-alias");
}

// setDomainKey - the --set-domain-key command.
int setDomainKey(int, char**)
{
    notBuilt("--set-domain-key");
}

// removeDomainKey - the --remove-domain-key command.
int removeDomainKey(int, char**)
{
    notBuilt("--remove-domain-key");
}

} // namespace mxadmin_commands
} // namespace postfix
} // namespace mail
} // namespace ostra
