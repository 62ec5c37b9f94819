// maildir_manager.cc - domain roots and mail homes under the mail root.
#include "mail/lib/maildir_manager.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

#include <boost/filesystem.hpp>

#include "mail/lib/fs_error.h"
#include "mail/lib/mail_path.h"
#include "ostra/errors.h"
#include "ostra/hsp_conf.h"

namespace fs = boost::filesystem;

namespace ostra {
namespace mail {

namespace {

const char* const POPUSER = "popuser";

// Entries of a mail home below the home itself, created in this order.
const char* const HOME_ENTRIES[] = {
    "Maildir",           "Maildir/tmp",       "Maildir/new",       "Maildir/cur",  "Maildir/.Spam",
    "Maildir/.Spam/tmp", "Maildir/.Spam/new", "Maildir/.Spam/cur", "@attachments",
};

// UmaskGuard - a temporary process umask, restored on every exit.
class UmaskGuard {
public:
    explicit UmaskGuard(mode_t mask) : old_(::umask(mask)) {}
    ~UmaskGuard() { ::umask(old_); }
    UmaskGuard(const UmaskGuard&) = delete;
    UmaskGuard& operator=(const UmaskGuard&) = delete;

private:
    mode_t old_;
};

// Fd - a descriptor closed at scope exit.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// checkComponent - refuse names that would leave their place in the tree.
void checkComponent(const std::string& name, const char* what)
{
    if (name.find('\0') != std::string::npos || !mail_path_component_ok(name.c_str()))
        throw std::invalid_argument(std::string("invalid ") + what + " name: '" + name + "'");
}

// mailRoot - the configured mail root, read anew for every path.
fs::path mailRoot()
{
    const char* root = hspConfGetDefaultByIndex(HSP_CONF_OSTRA_MAILNAMES_D);
    if (root == nullptr || *root == '\0')
        throw std::runtime_error("mail root (OSTRA_MAILNAMES_D) is not configured");
    return fs::path(root);
}

// setOwnerAndMode - chown and chmod one directory, refusing a symbolic link in
// its place (the mail home belongs to popuser, who could plant one).
void setOwnerAndMode(const std::string& path, uid_t uid, gid_t gid, mode_t mode)
{
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        throw FSError("chown", path, errno);
    Fd dir(fd);
    int rc;
    do {
        rc = ::fchown(dir.get(), uid, gid);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0)
        throw FSError("chown", path, errno);
    do {
        rc = ::fchmod(dir.get(), mode);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0)
        throw FSError("chmod", path, errno);
}

// statRetry - stat() following links, retried on EINTR.
int statRetry(const std::string& path, struct stat* st)
{
    int rc;
    do {
        rc = ::stat(path.c_str(), st);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

// backupRename - move source aside as "<source>.OstraSaved.<inode>"; target is
// left empty when there is nothing to move. false on a stat failure (errno set).
bool backupRename(const std::string& source, std::string& target)
{
    struct stat st;
    if (statRetry(source, &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            target.clear();
            return true;
        }
        return false;
    }
    target = source + ".OstraSaved." + std::to_string(static_cast<unsigned long long>(st.st_ino));
    fs::rename(source, target);
    return true;
}

// existsOrLink - whether path names anything, a dangling symbolic link included.
bool existsOrLink(const fs::path& path)
{
    return fs::exists(fs::symlink_status(path));
}

// missingAncestors - path and its ancestors that do not exist yet, deepest first.
std::vector<fs::path> missingAncestors(const fs::path& path)
{
    std::vector<fs::path> missing;
    for (fs::path p = path; !p.empty() && !existsOrLink(p); p = p.parent_path())
        missing.push_back(p);
    return missing;
}

} // namespace

// MaildirManager::init - look up the popuser account.
void MaildirManager::init()
{
    errno = 0;
    struct passwd* pw = ::getpwnam(POPUSER);
    if (pw == nullptr)
        throw SystemError(std::string("user ") + POPUSER + " not found", errno);
    uid_ = pw->pw_uid;
    gid_ = pw->pw_gid;
}

// MaildirManager::getDomainRoot - mail root / domain.
std::string MaildirManager::getDomainRoot(const std::string& domain) const
{
    checkComponent(domain, "domain");
    return (mailRoot() / domain).string();
}

// MaildirManager::getDomainRelativeRoot - the domain root below the mail root.
std::string MaildirManager::getDomainRelativeRoot(const std::string& domain) const
{
    checkComponent(domain, "domain");
    return domain;
}

// MaildirManager::getMailnameHome - mail root / domain / mail name.
std::string MaildirManager::getMailnameHome(const std::string& domain,
                                            const std::string& mailname) const
{
    checkComponent(mailname, "mail");
    return (fs::path(getDomainRoot(domain)) / mailname).string();
}

// MaildirManager::getMailnameRelativeHome - "domain/mailname".
std::string MaildirManager::getMailnameRelativeHome(const std::string& domain,
                                                    const std::string& mailname) const
{
    checkComponent(mailname, "mail");
    return (fs::path(getDomainRelativeRoot(domain)) / mailname).string();
}

// MaildirManager::createDomainRoot - root:popuser 0750; parents root 0700.
void MaildirManager::createDomainRoot(const std::string& domain)
{
    std::string root = getDomainRoot(domain);
    UmaskGuard mask(077);
    fs::create_directories(root);
    setOwnerAndMode(root, 0, gid_, 0750);
}

// MaildirManager::createMailnameHome - the mail home and its Maildir++ tree.
void MaildirManager::createMailnameHome(const std::string& domain, const std::string& mailname)
{
    std::string home = getMailnameHome(domain, mailname);
    UmaskGuard mask(077);

    std::vector<fs::path> createdDirs = missingAncestors(home);
    fs::create_directories(home);
    bool homeCreated = !createdDirs.empty();
    std::vector<std::string> createdEntries;
    try {
        setOwnerAndMode(home, uid_, gid_, 0700);
        for (const char* entry : HOME_ENTRIES) {
            std::string path = home + "/" + entry;
            if (fs::create_directory(path))
                createdEntries.push_back(path);
            setOwnerAndMode(path, uid_, gid_, 0700);
        }
    } catch (...) {
        // Roll back only what this call created, so that stored mail survives.
        int saved = errno;
        boost::system::error_code ignored;
        if (homeCreated) {
            fs::remove_all(home, ignored);
            for (size_t i = 1; i < createdDirs.size(); ++i)
                fs::remove(createdDirs[i], ignored); // empty parents only
        } else {
            for (auto it = createdEntries.rbegin(); it != createdEntries.rend(); ++it)
                ::rmdir(it->c_str());
        }
        errno = saved;
        throw;
    }
}

// MaildirManager::renameMailnameHome - rename a mail home within its domain.
void MaildirManager::renameMailnameHome(const std::string& domain, const std::string& oldMailname,
                                        const std::string& newMailname)
{
    fs::rename(getMailnameHome(domain, oldMailname), getMailnameHome(domain, newMailname));
}

// MaildirManager::removeMailnameHome - delete a mail home; an absent one is fine.
void MaildirManager::removeMailnameHome(const std::string& domain, const std::string& mailname)
{
    fs::path home = getMailnameHome(domain, mailname);
    if (existsOrLink(home))
        fs::remove_all(home);
}

// MaildirManager::removeDomainRoot - move the root aside, then delete it.
void MaildirManager::removeDomainRoot(const std::string& domain)
{
    std::string root = getDomainRoot(domain);
    std::string side;
    try {
        if (!backupRename(root, side))
            side = root;
    } catch (const std::exception&) {
        side = root;
    }
    if (!side.empty() && existsOrLink(side))
        fs::remove_all(side);
}

// MaildirManager::backupDomainRoot - set the domain root aside.
void MaildirManager::backupDomainRoot(const std::string& domain)
{
    std::string root = getDomainRoot(domain);
    std::string target;
    if (!backupRename(root, target))
        throw FSError("rename", root, errno);
}

// MaildirManager::backupMailnameHome - set the mail home aside.
void MaildirManager::backupMailnameHome(const std::string& domain, const std::string& mailname)
{
    std::string home = getMailnameHome(domain, mailname);
    std::string target;
    if (!backupRename(home, target))
        throw FSError("rename", home, errno);
}

} // namespace mail
} // namespace ostra
