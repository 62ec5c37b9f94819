// service_manager.h - Postfix service control.
#ifndef MAIL_POSTFIX_SERVICE_MANAGER_H
#define MAIL_POSTFIX_SERVICE_MANAGER_H

#include "mail/postfix/mastercf.h"

namespace ostra {
namespace mail {
namespace postfix {

class ModuleManager;

// ServiceManager - static operations on the Postfix services.
class ServiceManager {
public:
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
