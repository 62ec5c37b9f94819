// service_manager.cc - Postfix service control.
#include "mail/postfix/service_manager.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <sstream>

#include "mail/postfix/module_manager.h"
#include "mail/postfix/selected_mail_components.h"
#include "ostra/init_script.h"
#include "ostra/panel_db.h"
#include "ostra/uerr.h"
#include "process/process_launch.h"

namespace ostra {
namespace mail {
namespace postfix {

const char ServiceManager::INIT_SCRIPT[] = "/etc/init.d/postfix";
const char ServiceManager::PID_FILE[] = "/var/spool/postfix/pid/master.pid";

namespace {

typedef mxadmin_commands::SelectedMailComponents Components;

// Running tests after a start or restart: about five seconds in all.
const int START_TESTS = 6;

// waitUntilRunning - test up to START_TESTS times, a second apart; 0 when running, else 1.
int waitUntilRunning()
{
    for (int test = 1;; ++test) {
        if (ServiceManager::isRunning())
            return 0;
        if (test == START_TESTS)
            return 1;
        sleep(1);
    }
}

} // namespace

// parsePid - the first word of a pid file, when it is a positive decimal number.
pid_t ServiceManager::parsePid(const std::string& text)
{
    std::istringstream in(text);
    std::string word;
    if (!(in >> word) || word.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    errno = 0;
    char* end = nullptr;
    long value = strtol(word.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value <= 0 || value > INT_MAX)
        return -1;
    return static_cast<pid_t>(value);
}

// isRunning - the master's pid from its pid file, and a "qmgr" child of it.
bool ServiceManager::isRunning()
{
    std::unique_ptr<FILE, decltype(&fclose)> in(fopen(PID_FILE, "re"), fclose);
    if (!in)
        return false;
    char buf[128];
    const size_t n = fread(buf, 1, sizeof buf, in.get());
    const pid_t master = parsePid(std::string(buf, n));
    if (master <= 0)
        return false;
    return iterateProcesses([master](pid_t, pid_t ppid, const std::string& comm) {
               return ppid == master && comm == "qmgr";
           }) > 0;
}

// rcCommand - run the init script with action, LANG=C its whole environment.
int ServiceManager::rcCommand(const std::string& action)
{
    const char* const argv[] = {INIT_SCRIPT, action.c_str(), nullptr};
    const char* const envp[] = {"LANG=C", nullptr};
    process::ProcessLaunch child(argv, INIT_SCRIPT, nullptr, envp, false, false, false,
                                 boost::function<void()>(), process::StreamNull,
                                 process::StreamInherit, process::StreamSameAsStdout);
    try {
        child.waitExec();
    } catch (...) {
        // The child has ended with its failure report; reap it before passing that on.
        child.waitExit();
        throw;
    }
    const int status = child.waitExit();
    return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

// statusServer - a running test, repeated up to tries more times a second apart.
int ServiceManager::statusServer(int tries)
{
    for (int retry = 0;; ++retry) {
        if (isRunning())
            return 0;
        if (retry >= tries)
            return 1;
        sleep(1);
    }
}

// startServer - start a stopped Postfix and wait for it to come up.
int ServiceManager::startServer()
{
    if (isRunning())
        return 0;
    const int status = rcCommand("start");
    if (status != 0)
        return status;
    return waitUntilRunning();
}

// stopServer - stop a running Postfix; the script's status, without waiting.
int ServiceManager::stopServer()
{
    if (!isRunning())
        return 0;
    return rcCommand("stop");
}

// restartServer - restart Postfix and wait for it to come up.
int ServiceManager::restartServer()
{
    const int status = rcCommand("restart");
    if (status != 0)
        return status;
    return waitUntilRunning();
}

// reloadServer - ask Postfix to read its configuration again.
int ServiceManager::reloadServer()
{
    return rcCommand("reload");
}

// messageSubmissionEnabled - whether the panel has message submission on.
bool ServiceManager::messageSubmissionEnabled()
{
    mysql::Connection connection(true);
    const std::string query =
        std::string("SELECT    val  FROM misc    WHERE param='") + "message_submission" + "'";
    try {
        mysql::Result result = connection.query(query);
        return result.next() && result.value("val") == "true";
    } catch (const mysql::mError& e) {
        uerr << "Warning: MySQL Error on Mail Authentication Type query: " << e.what()
             << ", ignored" << std::endl;
        return false;
    }
}

// checkEnablePostfixModules - bring smtp, smtps and submission live as selected.
bool ServiceManager::checkEnablePostfixModules(unsigned components)
{
    if ((components & Components::MASTER_CF) == 0)
        return false;
    ModuleManager& modules = ModuleManager::getInstance();
    modules.loadModules(false);
    if (components & Components::SMTP)
        addOrEnableModule(modules, SmtpdModule());
    if (components & Components::SMTPS)
        addOrEnableModule(modules, SmtpsdModule());
    if (components & Components::SUBMISSION) {
        if (messageSubmissionEnabled())
            addOrEnableModule(modules, SubmissionModule());
        else
            disableSubmission(modules);
    }
    if (!modules.storeModules(false))
        return false;
    // A stopped Postfix reads the new master.cf when it starts.
    return statusServer(0) == 0;
}

// checkDisablePostfixModules - set smtp, smtps and submission aside as selected.
bool ServiceManager::checkDisablePostfixModules(unsigned components)
{
    if ((components & Components::MASTER_CF) == 0)
        return false;
    ModuleManager& modules = ModuleManager::getInstance();
    modules.loadModules(false);
    if (components & Components::SMTP)
        modules.disableModule(SmtpdModule().name, ModuleType::inet);
    if (components & Components::SMTPS)
        modules.disableModule(SmtpsdModule().name, ModuleType::inet);
    // Submission the panel wants on stays as it is.
    if ((components & Components::SUBMISSION) && !messageSubmissionEnabled())
        disableSubmission(modules);
    if (!modules.storeModules(false))
        return false;
    return statusServer(0) == 0;
}

// addOrEnableModule - an entry that exists anywhere is enabled as it stands, else info is added.
void ServiceManager::addOrEnableModule(ModuleManager& modules, const ModuleInfo& info)
{
    if (modules.hasModule(info.name, info.type, boost::logic::indeterminate))
        modules.enableModule(info.name, info.type);
    else
        modules.addModule(info, true);
}

// disableSubmission - set the submission service aside when it is live.
void ServiceManager::disableSubmission(ModuleManager& modules)
{
    const SubmissionModule submission;
    modules.disableModule(submission.name, submission.type);
}

} // namespace postfix
} // namespace mail
} // namespace ostra
