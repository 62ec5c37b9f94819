// config_homes.cc - domain roots and mail homes against the panel's mail names.
#include "mail/postfix/config_homes.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mail/lib/dotqmail.h"
#include "mail/lib/mail_tree.h"
#include "mail/lib/maildirpp_manager.h"
#include "mail/lib/mbox_quota.h"
#include "ostra/errors.h"
#include "ostra/hsp_conf.h"

namespace ostra {
namespace mail {
namespace postfix {

namespace {

// The state of every directory of a mail home.
const char HOME_STATE[] = "dir 0700 popuser";
const char ROOT_STATE[] = "dir 0750 root";

// quotaLine - the size quota of the quota file in an open Maildir ("1000S"),
// "-" when there is none to read; a link or a FIFO is never read.
std::string quotaLine(int maildir)
{
    TreeFd fd(::openat(maildir, "maildirsize", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return NOTHING;
    char buf[128];
    const ssize_t n = ::read(fd.get(), buf, sizeof buf - 1);
    if (n <= 0)
        return NOTHING;
    const std::string text(buf, static_cast<size_t>(n));
    return text.substr(0, text.find_first_of(",\n"));
}

} // namespace

// HomeCheck::HomeCheck - popuser and the mail root, looked up once.
HomeCheck::HomeCheck(Report& report, Repairs& repairs)
    : report_(report), repairs_(repairs),
      mailRoot_(hspConfGetDefaultByIndex(HSP_CONF_OSTRA_MAILNAMES_D))
{
    errno = 0;
    struct passwd* pw = ::getpwnam("popuser");
    if (pw == nullptr)
        throwSystemError("user popuser not found", errno);
    popuserUid_ = pw->pw_uid;
    popuserGid_ = pw->pw_gid;
}

// HomeCheck::state - "type mode owner" of one entry, not following a link.
std::string HomeCheck::state(int dir, const std::string& name) const
{
    struct stat st;
    if (dir < 0 || ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return NOTHING;
    const char* type = S_ISDIR(st.st_mode)   ? "dir"
                       : S_ISLNK(st.st_mode) ? "link"
                       : S_ISREG(st.st_mode) ? "file"
                                             : "special";
    char text[64];
    const char* owner = st.st_uid == 0 ? "root" : st.st_uid == popuserUid_ ? "popuser" : nullptr;
    snprintf(text, sizeof text, "%s %04o %s", type, static_cast<unsigned>(st.st_mode & 07777),
             owner != nullptr ? owner : std::to_string(st.st_uid).c_str());
    return text;
}

// HomeCheck::domain - the root first: without it no home can be looked at.
void HomeCheck::domain(const std::string& domain, const std::vector<HomeName>& names)
{
    TreeFd root = openTreeDir(mailRoot_);
    std::string found = state(root.get(), domain);
    struct stat st;
    const bool rootOk = found == ROOT_STATE && root &&
                        ::fstatat(root.get(), domain.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                        st.st_gid == popuserGid_;
    if (!rootOk) {
        report_.line(found == NOTHING ? "missing" : "differs", "domain-root", domain, ROOT_STATE,
                     found);
        repairs_.now("domain-root " + domain,
                     [&] { MaildirManager::getInstance().createDomainRoot(domain); });
    }
    TreeFd dir = root ? openDirAt(root.get(), domain) : TreeFd();
    std::set<std::string> known;
    for (const HomeName& n : names) {
        known.insert(n.name);
        home(dir.get(), domain, n);
    }
    std::vector<std::string> entries;
    if (!dir || listDirAt(dir.get(), &entries) != 0)
        return;
    for (const std::string& e : entries)
        if (!known.count(e))
            report_.line("unknown", "home", domain + "/" + e, NOTHING, state(dir.get(), e));
}

// HomeCheck::home - a missing home is one difference, repaired as
// --add-mailname makes it; else the home, its Maildir, .qmail and the quota,
// about ten system calls a home, each relative to a directory opened without
// following a link.
void HomeCheck::home(int domainDir, const std::string& domain, const HomeName& n)
{
    const std::string rel = domain + "/" + n.name;
    MaildirPPManager& storage = MaildirPPManager::getInstance();
    auto makeHome = [&] { storage.createMailnameHome(domain, n.name); };
    auto resetQmail = [&] {
        DotQMailManager(storage.getMailnameHome(domain, n.name) + "/.qmail").reset();
    };
    auto setQuota = [&] { storage.setMailboxQuota(domain, n.name, n.quota); };

    const std::string found = state(domainDir, n.name);
    if (found == NOTHING) {
        report_.line("missing", "home", rel, HOME_STATE, NOTHING);
        repairs_.now("home " + rel, [&] {
            makeHome();
            resetQmail();
            setQuota();
        });
        return;
    }
    TreeFd home(
        ::openat(domainDir, n.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const std::string maildirState = state(home.get(), "Maildir");
    if (found != HOME_STATE || maildirState != HOME_STATE) {
        if (found != HOME_STATE)
            report_.line("differs", "home", rel, HOME_STATE, found);
        if (maildirState != HOME_STATE)
            report_.line(maildirState == NOTHING ? "missing" : "differs", "home", rel + "/Maildir",
                         HOME_STATE, maildirState);
        repairs_.now("home " + rel, makeHome);
    }
    const std::string qmail = state(home.get(), ".qmail");
    if (qmail.compare(0, 4, "file") != 0) {
        report_.line("missing", "qmail", rel, "file", qmail);
        repairs_.now("qmail " + rel, resetQmail);
    }

    long long attachments = n.quota >= 0 && home ? mailbox_attachments_size(home.get()) : 0;
    const std::string expected = std::to_string(maildirpp_effective_quota(
                                     n.quota, attachments < 0 ? 0 : attachments, nullptr)) +
                                 "S";
    TreeFd maildir(
        home ? ::openat(home.get(), "Maildir", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
             : -1);
    const std::string quota = maildir ? quotaLine(maildir.get()) : NOTHING;
    if (quota != expected) {
        report_.line(quota == NOTHING ? "missing" : "differs", "quota", rel, expected, quota);
        repairs_.now("quota " + rel, setQuota);
    }
}

// HomeCheck::unknownRoots - what the walk of every domain did not claim.
void HomeCheck::unknownRoots(const std::set<std::string>& domains)
{
    TreeFd root = openTreeDir(mailRoot_);
    std::vector<std::string> entries;
    if (!root || listDirAt(root.get(), &entries) != 0)
        return;
    for (const std::string& e : entries)
        if (!domains.count(e))
            report_.line("unknown", "domain-root", e, NOTHING, state(root.get(), e));
}

} // namespace postfix
} // namespace mail
} // namespace ostra
