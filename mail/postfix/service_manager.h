// service_manager.h - Postfix service control.
#ifndef MAIL_POSTFIX_SERVICE_MANAGER_H
#define MAIL_POSTFIX_SERVICE_MANAGER_H

#include <sys/types.h>

#include <string>

#include "mail/postfix/mastercf.h"

namespace ostra {
namespace mail {
namespace postfix {

class ModuleManager;

// ServiceManager - static operations on the Postfix daemon and its master.cf services.
//
// Postfix runs when the pid file names a process that has a child called
// "qmgr". The init script's exit status is passed on as it is.
class ServiceManager {
public:
    static const char INIT_SCRIPT[]; // "/etc/init.d/postfix"
    static const char PID_FILE[];    // "/var/spool/postfix/pid/master.pid"

    // startServer - start unless running; 0 when running afterwards, else the
    // script's status, or 1 when Postfix is not up within about five seconds.
    static int startServer();
    // stopServer - 0 when not running, else the status of the script's stop.
    static int stopServer();
    // restartServer - the script's restart; 0 when running afterwards, else
    // its status, or 1.
    static int restartServer();
    // reloadServer - the status of the script's reload.
    static int reloadServer();
    // statusServer - 0 when running, 1 when stopped; tries more tests one second apart.
    static int statusServer(int tries);
    // rcCommand - run the init script with action; its exit status, 255 when
    // it did not exit normally.
    static int rcCommand(const std::string& action);

    // isRunning - one running test.
    static bool isRunning();
    // parsePid - the pid in a pid file's text (first word, decimal, positive); -1 otherwise.
    static pid_t parsePid(const std::string& text);

    // messageSubmissionEnabled - the panel's "message_submission" setting;
    // ostra::mysql::mError when the database cannot be reached, query errors
    // are warned about and read as off.
    static bool messageSubmissionEnabled();

    // checkEnablePostfixModules - make the smtp (2), smtps (4) and submission
    // (8) services of components live as the panel wants them; true when
    // master.cf changed under a running Postfix, which then needs a reload.
    static bool checkEnablePostfixModules(unsigned components);
    // checkDisablePostfixModules - set those services aside (submission only
    // when the panel has it off); true when a running Postfix needs a reload.
    static bool checkDisablePostfixModules(unsigned components);

    // addOrEnableModule - enable info's entry when it exists anywhere, else add it live.
    static void addOrEnableModule(ModuleManager& modules, const ModuleInfo& info);
    // disableSubmission - set the submission service aside when it is live.
    static void disableSubmission(ModuleManager& modules);

private:
    ServiceManager() = delete;
};

} // namespace postfix
} // namespace mail
} // namespace ostra

#endif
