// maildir_manager.h - the on-disk layout of mail storage: domain roots and
// mail homes under the mail root, with their owners and modes.
#ifndef MAIL_LIB_MAILDIR_MANAGER_H
#define MAIL_LIB_MAILDIR_MANAGER_H

#include <sys/types.h>

#include <string>

namespace ostra {
namespace mail {

// OnRemoval - what becomes of a mail directory when its owner is removed.
enum OnRemoval {
    OnRemovalKeep = 0,   // leave the files alone
    OnRemovalRemove = 1, // delete them; failures are ignored by the caller
    OnRemovalBackup = 2, // set them aside under a backup name
};

// MaildirManager - creates, renames, removes and sets aside mail directories.
// Below the mail root every change is made through directory descriptors
// (mail_tree.h): popuser owns the homes, so a link found where a directory
// belongs is refused, or removed itself, and never followed.
class MaildirManager {
public:
    // getInstance - the one manager (the quota manager's object), after init().
    static MaildirManager& getInstance();

    // init - look up the popuser account; SystemError "user popuser not found".
    void init();

    std::string getDomainRoot(const std::string& domain) const;
    std::string getDomainRelativeRoot(const std::string& domain) const;
    std::string getMailnameHome(const std::string& domain, const std::string& mailname) const;
    std::string getMailnameRelativeHome(const std::string& domain,
                                        const std::string& mailname) const;

    void createDomainRoot(const std::string& domain);
    void createMailnameHome(const std::string& domain, const std::string& mailname);
    void renameMailnameHome(const std::string& domain, const std::string& oldMailname,
                            const std::string& newMailname);
    void removeMailnameHome(const std::string& domain, const std::string& mailname);
    void removeDomainRoot(const std::string& domain);
    void backupDomainRoot(const std::string& domain);
    void backupMailnameHome(const std::string& domain, const std::string& mailname);

    uid_t popuserUid() const { return uid_; }
    gid_t popuserGid() const { return gid_; }

protected:
    MaildirManager() = default;
    ~MaildirManager() = default;
    MaildirManager(const MaildirManager&) = delete;
    MaildirManager& operator=(const MaildirManager&) = delete;

    uid_t uid_ = 0;
    gid_t gid_ = 0;
};

} // namespace mail
} // namespace ostra

#endif
