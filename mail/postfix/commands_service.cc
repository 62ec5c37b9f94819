// commands_service.cc - service control commands: Postfix, its master.cf services and
// Courier-IMAP, plus the legacy single-purpose forms.
#include "mail/postfix/mxadmin_commands.h"

#include <iostream>
#include <string>

#include "mail/postfix/module_manager.h"
#include "mail/postfix/options_helper.h"
#include "mail/postfix/selected_mail_components.h"
#include "mail/postfix/service_manager.h"
#include "ostra/errors.h"
#include "ostra/init_script.h"

namespace po = boost::program_options;

namespace ostra {
namespace mail {
namespace postfix {
namespace mxadmin_commands {

namespace {

typedef SelectedMailComponents Components;

const char COURIER_SERVICE[] = "courier-imap";
const char COMPONENT_SYNOPSIS[] =
    " [--mail-component={mta|smtp|smtps|submission|pop3|imap|pop3s|imaps|all}]"
    " [--mail-component=...]";

// parseComponents - the --mail-component options of a service command.
Components parseComponents(const char* command, const char* title, int argc, char** argv)
{
    ProgramOptionsHelper helper(title, std::string(command) + COMPONENT_SYNOPSIS);
    // clang-format off
    helper.addOptions()
        ("mail-component", po::value<Components>(),
         "mail component name (mta|smtp|smtps|submission|pop3|imap|pop3s|imaps|all) (default all)");
    // clang-format on
    standardOptionsParse(helper, argc, argv);
    if (helper.variables.count("mail-component") == 0)
        return Components();
    return helper.variables["mail-component"].as<Components>();
}

// guarded - run one Postfix operation; an exception is reported and counts as failure (-1).
template <class Operation> int guarded(Operation operation)
{
    try {
        return operation();
    } catch (const std::exception& e) {
        reportException<std::exception>(e);
    } catch (...) {
        reportUntypedException();
    }
    return -1;
}

// courier - run the Courier-IMAP init script; whether it succeeded.
bool courier(const char* action)
{
    return restart_daemon(COURIER_SERVICE, action) == 0;
}

// storeAndReload - write master.cf when it changed and have Postfix read it.
void storeAndReload(ModuleManager& modules)
{
    if (modules.storeModules(false))
        ServiceManager::reloadServer(); // its status is of no further use here
}

} // namespace

// startService - the --start-service command.
int startService(int argc, char** argv)
{
    const Components c = parseComponents("--start-service", "start a service", argc, argv);
    bool failed = false;
    const bool reload = ServiceManager::checkEnablePostfixModules(c.effective());
    if (c.selected(Components::MTA))
        failed |= guarded(ServiceManager::startServer) != 0;
    if (reload)
        ServiceManager::reloadServer();
    if (c.selected(Components::COURIER))
        failed |= !courier("start");
    return failed ? 1 : 0;
}

// stopService - the --stop-service command.
int stopService(int argc, char** argv)
{
    const Components c = parseComponents("--stop-service", "stop a service", argc, argv);
    bool failed = false;
    const bool reload = ServiceManager::checkDisablePostfixModules(c.effective());
    // A stopping Postfix needs no reload for the services it loses.
    if (c.selected(Components::MTA))
        failed |= guarded(ServiceManager::stopServer) != 0;
    else if (reload)
        ServiceManager::reloadServer();
    if (c.selected(Components::COURIER))
        failed |= !courier("stop");
    return failed ? 1 : 0;
}

// restartService - the --restart-service command.
int restartService(int argc, char** argv)
{
    const Components c = parseComponents("--restart-service", "restart a service", argc, argv);
    bool failed = false;
    const bool reload = ServiceManager::checkEnablePostfixModules(c.effective());
    if (c.selected(Components::MTA))
        failed |= guarded(ServiceManager::restartServer) != 0;
    else if (reload)
        ServiceManager::reloadServer();
    if (c.selected(Components::COURIER))
        failed |= !courier("restart");
    return failed ? 1 : 0;
}

// reloadService - the --reload-service command; master.cf services alone need nothing.
int reloadService(int argc, char** argv)
{
    const Components c = parseComponents("--reload-service", "reload a service", argc, argv);
    bool failed = false;
    if (c.selected(Components::MTA))
        failed |= guarded(ServiceManager::reloadServer) != 0;
    if (c.selected(Components::COURIER))
        failed |= !courier("reload");
    return failed ? 1 : 0;
}

// statusService - the --status-service command: one "<component> is ..." line each.
int statusService(int argc, char** argv)
{
    const Components c = parseComponents("--status-service", "get service status", argc, argv);
    if (c.selected(Components::MTA)) {
        std::cout << "mta " << std::flush;
        print_status(ServiceManager::statusServer(0));
    }
    if (!c.selected(Components::COURIER))
        return 0;
    // One script run answers for all four Courier servers.
    const int courierStatus = restart_daemon(COURIER_SERVICE, "status");
    const struct {
        unsigned bit;
        const char* prefix;
    } servers[] = {{Components::POP3, "pop3 "},
                   {Components::POP3S, "pop3s "},
                   {Components::IMAP, "imap "},
                   {Components::IMAPS, "imaps "}};
    for (const auto& server : servers) {
        if (!c.selected(server.bit))
            continue;
        std::cout << server.prefix << std::flush;
        print_status(courierStatus);
    }
    return 0;
}

// startSMTPD - the --start-smtpd command: smtp and smtps live.
int startSMTPD(int, char**)
{
    if (ServiceManager::checkEnablePostfixModules(Components::SMTP | Components::SMTPS))
        ServiceManager::reloadServer();
    return 0;
}

// stopSMTPD - the --stop-smtpd command: smtp and smtps set aside.
int stopSMTPD(int, char**)
{
    if (ServiceManager::checkDisablePostfixModules(Components::SMTP | Components::SMTPS))
        ServiceManager::reloadServer();
    return 0;
}

// restartSMTPD - the --restart-smtpd command: the same as --start-smtpd.
int restartSMTPD(int argc, char** argv)
{
    return startSMTPD(argc, argv);
}

// statusMTA - the --status-smtpd command: Postfix's state without a prefix.
int statusMTA(int, char**)
{
    print_status(ServiceManager::statusServer(0));
    return 0;
}

// startMTA - the --start-qmail-send command.
int startMTA(int, char**)
{
    return ServiceManager::startServer();
}

// stopMTA - the --stop-qmail-send command.
int stopMTA(int, char**)
{
    return ServiceManager::stopServer();
}

// startIMAP - the --start-maild command.
int startIMAP(int, char**)
{
    return restart_daemon(COURIER_SERVICE, "start");
}

// stopIMAP - the --stop-maild command.
int stopIMAP(int, char**)
{
    return restart_daemon(COURIER_SERVICE, "stop");
}

// restartIMAP - the --restart-maild command.
int restartIMAP(int, char**)
{
    return restart_daemon(COURIER_SERVICE, "restart");
}

// statusIMAP - the --status-maild command.
int statusIMAP(int, char**)
{
    print_status(restart_daemon(COURIER_SERVICE, "status"));
    return 0;
}

// enableSubmission - the --enable-message-submission command.
int enableSubmission(int, char**)
{
    ModuleManager& modules = ModuleManager::getInstance();
    modules.loadModules(false);
    ServiceManager::addOrEnableModule(modules, SubmissionModule());
    storeAndReload(modules);
    return 0;
}

// disableSubmission - the --disable-message-submission command.
int disableSubmission(int, char**)
{
    ModuleManager& modules = ModuleManager::getInstance();
    modules.loadModules(false);
    ServiceManager::disableSubmission(modules);
    storeAndReload(modules);
    return 0;
}

} // namespace mxadmin_commands
} // namespace postfix
} // namespace mail
} // namespace ostra
