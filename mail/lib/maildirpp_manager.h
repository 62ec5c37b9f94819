// maildirpp_manager.h - Maildir++ quotas of mailboxes and domains.
#ifndef MAIL_LIB_MAILDIRPP_MANAGER_H
#define MAIL_LIB_MAILDIRPP_MANAGER_H

#include <string>

#include "mail/lib/maildir_manager.h"

namespace ostra {
namespace mail {

// MaildirPPManager - writes "maildirsize" quota files; every failure is an FSError.
// Quotas are byte counts: negative means no limit, 0 means nothing may be stored.
class MaildirPPManager : public MaildirManager {
public:
    // getInstance - the process-wide manager, after init().
    static MaildirPPManager& getInstance();

    // setMailboxQuota - quota of one mailbox, less the size of its "@attachments".
    void setMailboxQuota(const std::string& domain, const std::string& mailname, long long quota);
    // removeMailboxQuota - the domain's default mailbox quota, or no limit.
    void removeMailboxQuota(const std::string& domain, const std::string& mailname);
    // setDomainQuota - quota for every mailbox of the domain without its own.
    void setDomainQuota(const std::string& domain, long long quota);

private:
    MaildirPPManager() = default;
    ~MaildirPPManager() = default;
};

} // namespace mail
} // namespace ostra

#endif
