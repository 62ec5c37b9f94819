// maildirpp_manager.cc - Maildir++ quotas of mailboxes and domains.
#include "mail/lib/maildirpp_manager.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ostream>

#include "mail/lib/cwd_keeper.h"
#include "mail/lib/fs_error.h"
#include "mail/lib/mbox_quota.h"
#include "ostra/uerr.h"

namespace ostra {
namespace mail {

namespace {

// attachmentsSize - bytes of "@attachments" in the working directory; 0
// when it is not a directory.
long long attachmentsSize(const std::string& home)
{
    struct stat st;
    if (::stat("@attachments", &st) != 0 || !S_ISDIR(st.st_mode))
        return 0;
    long long size = get_dir_size("@attachments", 0);
    // Unmeasurable attachments fail the call rather than pass unnoticed.
    if (size < 0)
        throw FSError("unable to count attachments folder size", home + "/@attachments", errno);
    return size;
}

} // namespace

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

// MaildirPPManager::setMailboxQuota - write the quota file of one mailbox.
void MaildirPPManager::setMailboxQuota(const std::string& domain, const std::string& mailname,
                                       long long quota)
{
    std::string home = getMailnameHome(domain, mailname);
    CwdKeeper cwd;
    if (!cwd.ok())
        throw FSError("getcwd", "", errno);
    if (::chdir(home.c_str()) != 0)
        throw FSError("chdir", home, errno);

    long long value = 0;
    if (quota >= 0) {
        int overflow;
        value = maildirpp_effective_quota(quota, attachmentsSize(home), &overflow);
        if (overflow)
            uerr << "WARNING: @attachments directory is big enough to disable delivery!"
                 << std::endl;
    }
    if (!write_maildirpp_maildirsize("Maildir", uid_, gid_, value, 0))
        throw FSError("create maildirsize", home + "/Maildir", 0);
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
