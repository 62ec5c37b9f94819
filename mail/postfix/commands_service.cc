// commands_service.cc - service control commands (not written yet: each command fails loudly).
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

// startService - the --start-service command.
int startService(int, char**)
{
    notBuilt("--start-service");
}

// stopService - the --stop-service command.
int stopService(int, char**)
{
    notBuilt("--stop-service");
}

// restartService - the --restart-service command.
int restartService(int, char**)
{
    notBuilt("--restart-service");
}

// reloadService - the --reload-service command.
int reloadService(int, char**)
{
    notBuilt("--reload-service");
}

// statusService - the --status-service command.
int statusService(int, char**)
{
    notBuilt("--status-service");
}

// startSMTPD - the --start-smtpd command.
int startSMTPD(int, char**)
{
    notBuilt("--start-smtpd");
}

// stopSMTPD - the --stop-smtpd command.
int stopSMTPD(int, char**)
{
    notBuilt("--stop-smtpd");
}

// restartSMTPD - the --restart-smtpd command.
int restartSMTPD(int, char**)
{
    notBuilt("--restart-smtpd");
}

// statusMTA - the --status-smtpd command.
int statusMTA(int, char**)
{
    notBuilt("--status-smtpd");
}

// startMTA - the --start-qmail-send command.
int startMTA(int, char**)
{
    notBuilt("--start-qmail-send");
}

// stopMTA - the --stop-qmail-send command.
int stopMTA(int, char**)
{
    notBuilt("--stop-qmail-send");
}

// startIMAP - the --start-maild command.
int startIMAP(int, char**)
{
    notBuilt("--start-maild");
}

// stopIMAP - the --stop-maild command.
int stopIMAP(int, char**)
{
    notBuilt("--stop-maild");
}

// restartIMAP - the --restart-maild command.
int restartIMAP(int, char**)
{
    notBuilt("--restart-maild");
}

// statusIMAP - the --status-maild command.
int statusIMAP(int, char**)
{
    notBuilt("--status-maild");
}

// enableSubmission - the --enable-message-submission command.
int enableSubmission(int, char**)
{
    notBuilt("--enable-message-submission");
}

// disableSubmission - the --disable-message-submission command.
int disableSubmission(int, char**)
{
    notBuilt("--disable-message-submission");
}

} // namespace mxadmin_commands
} // namespace postfix
} // namespace mail
} // namespace ostra
