// maildirpp_manager.cc - Maildir++ quotas of mailboxes and domains.
#include "mail/lib/maildirpp_manager.h"

#include <errno.h>

#include <ostream>

#include "mail/lib/fs_error.h"
#include "mail/lib/mail_tree.h"
#include "mail/lib/mbox_quota.h"
#include "mail/lib/quota_log.h"
#include "ostra/uerr.h"

namespace ostra {
namespace mail {

// MaildirPPManager::getInstance - the one manager, with popuser looked up anew.
MaildirPPManager& MaildirPPManager::getInstance()
{
    static MaildirPPManager mdpm;
    mdpm.init();
    return mdpm;
}

// MaildirManager::getInstance - the same object as MaildirPPManager's.
MaildirManager& MaildirManager::getInstance()
{
    return MaildirPPManager::getInstance();
}

// MaildirPPManager::setMailboxQuota - write the quota file of one mailbox,
// reaching it by descriptor from the mail root.
void MaildirPPManager::setMailboxQuota(const std::string& domain, const std::string& mailname,
                                       long long quota)
{
    const std::string home = getMailnameHome(domain, mailname);
    TreeFd homeDir = openTreeDir(home);
    if (!homeDir)
        throw FSError("chdir", home, errno); // the name it had when it was a chdir()

    long long value = 0;
    if (quota >= 0) {
        // Unmeasurable attachments fail the call rather than pass unnoticed.
        long long attached = mailbox_attachments_size(homeDir.get());
        if (attached < 0)
            throw FSError("unable to count attachments folder size", home + "/@attachments", errno);
        int overflow;
        value = maildirpp_effective_quota(quota, attached, &overflow);
        if (overflow)
            uerr << "WARNING: @attachments directory is big enough to disable delivery!"
                 << std::endl;
    }
    const std::string maildir = home + "/Maildir";
    TreeFd maildirDir = openDirAt(homeDir.get(), "Maildir");
    if (!maildirDir)
        quota_open_report(maildir.c_str(), errno);
    if (!maildirDir ||
        !write_maildirpp_maildirsize_at(maildirDir.get(), maildir.c_str(), uid_, gid_, value, 0))
        throw FSError("create maildirsize", maildir, 0);
}

// MaildirPPManager::removeMailboxQuota - the domain default, or no limit.
void MaildirPPManager::removeMailboxQuota(const std::string& domain, const std::string& mailname)
{
    if (!rm_mbox_quota(domain.c_str(), mailname.c_str()))
        throw FSError("unable to remove quota", getMailnameHome(domain, mailname), 0);
}

// MaildirPPManager::setDomainQuota - quota for every mailbox without its own.
void MaildirPPManager::setDomainQuota(const std::string& domain, long long quota)
{
    if (!store_domain_quota(domain.c_str(), quota))
        throw FSError("unable to store domain quota", getDomainRoot(domain), 0);
}

} // namespace mail
} // namespace ostra
