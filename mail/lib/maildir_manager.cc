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
#include "mail/lib/mail_tree.h"
#include "ostra/eintr.h"
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

// The filesystem library's texts for the failures that were its errors.
const char* const CREATE_DIRECTORY = "boost::filesystem::create_directory";
const char* const RENAME = "boost::filesystem::rename";
const char* const REMOVE_ALL = "boost::filesystem::remove_all";

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

// setOwnerAndMode - chown and chmod the open directory dir (path names it).
void setOwnerAndMode(int dir, const std::string& path, uid_t uid, gid_t gid, mode_t mode)
{
    if (retry_eintr([&] { return ::fchown(dir, uid, gid); }) != 0)
        throw FSError("chown", path, errno);
    if (retry_eintr([&] { return ::fchmod(dir, mode); }) != 0)
        throw FSError("chmod", path, errno);
}

// ownDir - give the directory name below parent its owner and mode, through
// a descriptor that cannot be a link planted in its place.
void ownDir(int parent, const std::string& name, const std::string& path, uid_t uid, gid_t gid,
            mode_t mode)
{
    TreeFd dir = openDirAt(parent, name);
    if (!dir)
        throw libraryError(CREATE_DIRECTORY, path, errno);
    setOwnerAndMode(dir.get(), path, uid, gid, mode);
}

// makeDir - mkdir name below parent unless it exists; whether it was made.
bool makeDir(int parent, const std::string& name, const std::string& path)
{
    int made = makeDirAt(parent, name, 0700);
    if (made < 0)
        throw libraryError(CREATE_DIRECTORY, path, errno);
    return made == 1;
}

// openRoot - the mail root, made with its missing parents (root's, 0700 by
// the umask); made gets those that did not exist, deepest first.
TreeFd openRoot(const fs::path& root, std::vector<fs::path>* made)
{
    for (fs::path p = root; !p.empty() && !fs::exists(fs::symlink_status(p)); p = p.parent_path())
        made->push_back(p);
    fs::create_directories(root);
    TreeFd dir = openTreeDir(root.string());
    if (!dir)
        throw libraryError(CREATE_DIRECTORY, root.string(), errno);
    return dir;
}

// backupRename - move source aside as "<source>.OstraSaved.<inode>"; target is
// left empty when there is nothing to move. false when source cannot be
// examined (errno set). A link in source's place is moved, never followed.
bool backupRename(const std::string& source, std::string& target)
{
    std::string name;
    TreeFd dir = openTreeParent(source, &name);
    struct stat st;
    if (!dir || retry_eintr([&] {
                    return ::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW);
                }) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            target.clear();
            return true;
        }
        return false;
    }
    const std::string suffix =
        ".OstraSaved." + std::to_string(static_cast<unsigned long long>(st.st_ino));
    target = source + suffix;
    if (::renameat(dir.get(), name.c_str(), dir.get(), (name + suffix).c_str()) != 0)
        throw libraryError(RENAME, source, target, errno);
    return true;
}

// removeTree - remove path and everything below it, never through a link.
void removeTree(const std::string& path)
{
    std::string name;
    TreeFd dir = openTreeParent(path, &name);
    if (!dir) {
        if (errno == ENOENT)
            return;
        throw libraryError(REMOVE_ALL, path, errno);
    }
    if (removeTreeAt(dir.get(), name) != 0)
        throw libraryError(REMOVE_ALL, path, errno);
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
    const std::string path = getDomainRoot(domain);
    UmaskGuard mask(077);
    std::vector<fs::path> made;
    TreeFd root = openRoot(mailRoot(), &made);
    makeDir(root.get(), domain, path);
    ownDir(root.get(), domain, path, 0, gid_, 0750);
}

// MaildirManager::createMailnameHome - the mail home and its Maildir++ tree,
// each directory made and owned relative to its parent's descriptor.
void MaildirManager::createMailnameHome(const std::string& domain, const std::string& mailname)
{
    const std::string home = getMailnameHome(domain, mailname);
    const std::string domainRoot = getDomainRoot(domain);
    UmaskGuard mask(077);

    std::vector<fs::path> madeAbove;
    TreeFd root = openRoot(mailRoot(), &madeAbove);
    const bool domainMade = makeDir(root.get(), domain, domainRoot);
    TreeFd domainDir = openDirAt(root.get(), domain);
    if (!domainDir)
        throw libraryError(CREATE_DIRECTORY, domainRoot, errno);
    const bool homeMade = makeDir(domainDir.get(), mailname, home);
    std::vector<std::string> madeEntries;
    try {
        TreeFd homeDir = openDirAt(domainDir.get(), mailname);
        if (!homeDir)
            throw libraryError(CREATE_DIRECTORY, home, errno);
        setOwnerAndMode(homeDir.get(), home, uid_, gid_, 0700);
        for (const char* entry : HOME_ENTRIES) {
            const fs::path relative(entry);
            const std::string path = home + "/" + entry;
            const std::string name = relative.filename().string();
            TreeFd parent = openPathAt(homeDir.get(), relative.parent_path().string());
            if (!parent)
                throw libraryError(CREATE_DIRECTORY, path, errno);
            if (makeDir(parent.get(), name, path))
                madeEntries.push_back(entry);
            ownDir(parent.get(), name, path, uid_, gid_, 0700);
        }
    } catch (...) {
        // Roll back only what this call made, so that stored mail survives.
        int saved = errno;
        if (homeMade) {
            removeTreeAt(domainDir.get(), mailname);
            if (domainMade)
                ::unlinkat(root.get(), domain.c_str(), AT_REMOVEDIR);
            boost::system::error_code ignored;
            for (const fs::path& p : madeAbove)
                fs::remove(p, ignored); // empty parents only
        } else if (TreeFd homeDir = openDirAt(domainDir.get(), mailname)) {
            for (auto it = madeEntries.rbegin(); it != madeEntries.rend(); ++it) {
                const fs::path relative(*it);
                TreeFd parent = openPathAt(homeDir.get(), relative.parent_path().string());
                if (parent)
                    ::unlinkat(parent.get(), relative.filename().c_str(), AT_REMOVEDIR);
            }
        }
        errno = saved;
        throw;
    }
}

// MaildirManager::renameMailnameHome - rename a mail home within its domain.
void MaildirManager::renameMailnameHome(const std::string& domain, const std::string& oldMailname,
                                        const std::string& newMailname)
{
    const std::string from = getMailnameHome(domain, oldMailname);
    const std::string to = getMailnameHome(domain, newMailname);
    std::string name;
    TreeFd dir = openTreeParent(from, &name);
    if (!dir || ::renameat(dir.get(), oldMailname.c_str(), dir.get(), newMailname.c_str()) != 0)
        throw libraryError(RENAME, from, to, errno);
}

// MaildirManager::removeMailnameHome - delete a mail home; an absent one is
// fine, and a link in its place goes itself.
void MaildirManager::removeMailnameHome(const std::string& domain, const std::string& mailname)
{
    removeTree(getMailnameHome(domain, mailname));
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
    if (!side.empty())
        removeTree(side);
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
