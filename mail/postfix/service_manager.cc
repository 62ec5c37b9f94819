// service_manager.cc - Postfix service control.
#include "mail/postfix/service_manager.h"

#include "mail/postfix/module_manager.h"

namespace ostra {
namespace mail {
namespace postfix {

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
