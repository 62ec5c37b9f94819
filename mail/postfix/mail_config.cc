// mail_config.cc - the panel's description of the mail configuration, walked
// once, compared with the lookup tables, the mail homes and the
// authentication database, and repaired where asked.
#include "mail/postfix/mail_config.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "mail/lib/dotqmail.h"
#include "mail/lib/mail_auth_read.h"
#include "mail/lib/mail_authenticate.h"
#include "mail/lib/maildirpp_manager.h"
#include "mail/lib/mbox_quota.h"
#include "mail/postfix/database_helper.h"
#include "mail/postfix/table_snapshot.h"
#include "mail/restore/panel_walk.h"
#include "ostra/errors.h"
#include "ostra/hsp_conf.h"
#include "ostra/idn.h"
#include "ostra/uerr.h"

namespace ostra {
namespace mail {
namespace postfix {

namespace {

using restore::PanelDomain;
using restore::PanelMailname;

const char NONE[] = "-";
const char* const HOME_DIRS[] = {"Maildir",           "Maildir/tmp",       "Maildir/new",
                                 "Maildir/cur",       "Maildir/.Spam",     "Maildir/.Spam/tmp",
                                 "Maildir/.Spam/new", "Maildir/.Spam/cur", "@attachments"};

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

// Report - difference lines and their counts.
class Report {
public:
    Report(std::ostream& out, ConfigSummary& summary) : out_(out), summary_(summary) {}
    void line(const char* kind, const std::string& subject, const std::string& key,
              const std::string& expected, const std::string& found)
    {
        out_ << kind << '\t' << subject << '\t' << key << '\t' << expected << '\t' << found << '\n';
        unsigned& count = kind[0] == 'm'   ? summary_.missing
                          : kind[0] == 'd' ? summary_.differs
                          : kind[0] == 'e' ? summary_.extra
                                           : summary_.unknown;
        ++count;
    }

private:
    std::ostream& out_;
    ConfigSummary& summary_;
};

// Repairs - what a restore changes, gathered during the walk; table changes
// are applied together at the end, one postmap run per table and kind.
class Repairs {
public:
    Repairs(bool active, ConfigSummary& summary) : active_(active), summary_(summary) {}

    bool active() const { return active_; }
    void add(const std::string& table, const std::string& key, const std::string& value)
    {
        if (active_)
            additions_[table].emplace_back(key, value);
    }
    void remove(const std::string& table, const std::string& key)
    {
        if (active_)
            removals_[table].push_back(key);
    }
    // now - run one repair; a failure is reported and the restore goes on.
    template <class Action> void now(const std::string& what, Action action)
    {
        if (!active_)
            return;
        try {
            action();
            ++summary_.repaired;
        } catch (const std::exception& e) {
            ++summary_.failed;
            uerr << "ERROR: unable to repair " << what << ": " << e.what() << std::endl;
        }
    }
    // applyTables - the gathered table changes.
    void applyTables()
    {
        for (const auto& t : additions_)
            now(t.first, [&] { DatabaseHelper::addRecords(t.first, t.second); });
        for (const auto& t : removals_)
            now(t.first, [&] { DatabaseHelper::removeRecords(t.first, t.second); });
    }

private:
    bool active_;
    ConfigSummary& summary_;
    std::map<std::string, RecordVector> additions_;
    std::map<std::string, KeyVector> removals_;
};

// DomainFacts - what the walk learnt of a name in the domain space.
struct DomainFacts {
    bool alias;
    bool enabled;
};

// quotaOf - a quota as the panel holds it; no limit when empty, not a number or -1.
long long quotaOf(const std::string& text)
{
    long long quota;
    if (text.empty() || sscanf(text.c_str(), "%lld", &quota) != 1 || quota == -1)
        return -1;
    return quota;
}

// userState - how an authentication row is shown: its status, never its password.
std::string userState(const AuthUser& u)
{
    return u.status != 0 ? "disabled" : "enabled";
}

// ConfigWalk - the expected state, built and compared domain by domain.
class ConfigWalk : public restore::PanelVisitor {
public:
    ConfigWalk(const ConfigScope& scope, Report& report, Repairs& repairs)
        : scope_(scope), report_(report), repairs_(repairs)
    {
        if (auth_.open() != 0 || auth_.domains(authDomains_) != 0)
            throw std::runtime_error("unable to read the mail authentication database");
        for (const AuthDomain& d : authDomains_)
            authStatus_[d.name] = d.status;
        errno = 0;
        struct passwd* pw = getpwnam("popuser");
        if (pw == nullptr)
            throw SystemError("user popuser not found", errno);
        popuserUid_ = pw->pw_uid;
        mailRoot_ = hspConfGetDefaultByIndex(HSP_CONF_OSTRA_MAILNAMES_D);
        popuserGid_ = pw->pw_gid;
        for (const char* t : {tables::VIRTUAL_DOMAINS, tables::VMAILBOX, tables::VIRTUAL})
            snapshots_.emplace(t, TableSnapshot(t));
    }

    void domain(const PanelDomain& d) override
    {
        domain_ = idn::toAscii(d.name);
        domainQuota_ = quotaOf(d.mboxQuota);
        aliases_.clear();
        names_.clear();
    }
    void aliasDomain(const PanelDomain&, const std::string& alias) override
    {
        aliases_.push_back(idn::toAscii(alias));
    }
    void mailname(const PanelDomain&, const PanelMailname& m) override
    {
        const long long own = quotaOf(m.mboxQuota);
        names_.push_back({m.name, own >= 0 ? own : domainQuota_, {}});
    }
    void mailAlias(const PanelDomain&, const PanelMailname&, const std::string& alias) override
    {
        names_.back().aliases.push_back(alias);
    }
    void domainEnd(const PanelDomain&) override
    {
        auto status = authStatus_.find(domain_);
        const bool enabled = status == authStatus_.end() || status->second == 0;
        facts_[domain_] = {false, enabled};
        for (const std::string& a : aliases_)
            facts_[a] = {true, true};
        expectRecords(enabled);
        checkHomes();
        checkAuth(status != authStatus_.end());
    }

    // finish - what the walk left unmatched, once every domain has been seen.
    void finish()
    {
        for (auto& s : snapshots_)
            leftovers(s.second);
        if (!scope_.domain.empty())
            return;
        for (const AuthDomain& d : authDomains_) {
            if (facts_.count(d.name))
                continue;
            report_.line("unknown", "auth-domain", d.name, NONE, d.status ? "disabled" : "enabled");
            if (scope_.prune)
                repairs_.now("auth-domain " + d.name,
                             [&] { authCall(mailAuthRemoveDomain(d.name.c_str())); });
        }
        unknownDomainRoots();
    }

private:
    struct Name {
        std::string name;
        long long quota;
        std::vector<std::string> aliases;
    };

    // authCall - a plain function's failure (already logged) as an exception.
    static void authCall(int result)
    {
        if (result != 0)
            throw std::runtime_error("the mail authentication database refused the change");
    }

    // expect - one expected record: reported and gathered when it is not there.
    void expect(const char* table, const std::string& key, const std::string& value)
    {
        const std::string folded = foldKey(key);
        TableSnapshot::Match m = snapshots_.at(table).expect(folded, value);
        if (m == TableSnapshot::Same)
            return;
        if (m == TableSnapshot::Missing)
            report_.line("missing", shortName(table), folded, value, NONE);
        else
            differing_[table][folded] = value;
        repairs_.add(table, folded, value);
    }

    // expectRecords - the records the domain and mail name commands write.
    void expectRecords(bool enabled)
    {
        const std::string& d = domain_;
        if (enabled) {
            expect(tables::VIRTUAL_DOMAINS, d, d + "/");
            standardAddresses(d);
        }
        for (const std::string& a : aliases_) {
            standardAddresses(a);
            expect(tables::VIRTUAL, a, tables::ALIAS_DOMAIN_VALUE);
        }
        for (const Name& n : names_) {
            const std::string address = n.name + "@" + d;
            expect(tables::VMAILBOX, address, d + "/" + n.name + tables::MAILBOX_SUFFIX);
            expect(tables::VIRTUAL, address, address);
            for (const std::string& a : aliases_)
                expect(tables::VIRTUAL, n.name + "@" + a, address);
            for (const std::string& ma : n.aliases) {
                expect(tables::VIRTUAL, ma + "@" + d, address);
                for (const std::string& a : aliases_)
                    expect(tables::VIRTUAL, ma + "@" + a, address);
            }
        }
    }

    void standardAddresses(const std::string& domain)
    {
        for (const char* s : tables::STANDARD_ADDRESSES)
            expect(tables::VIRTUAL, std::string(s) + "@" + domain,
                   std::string(s) + tables::LOCAL_HOST_SUFFIX);
    }

    // leftovers - records not expected, and the found values of those that differ.
    void leftovers(TableSnapshot& snapshot)
    {
        const std::string table = snapshot.table();
        if (!snapshot.leftovers())
            return;
        std::vector<std::vector<std::string>> lines;
        snapshot.visitLeftovers(
            [&](const std::string& key, const std::string& value, TableSnapshot::Match seen) {
                if (seen == TableSnapshot::Differs) {
                    lines.push_back({"differs", key, differing_[table][key], value});
                    return;
                }
                const char* kind = classify(table, key);
                if (kind == nullptr)
                    return;
                lines.push_back({kind, key, NONE, value});
                if (kind[0] == 'e' || scope_.prune)
                    repairs_.remove(table, key);
            });
        std::sort(lines.begin(), lines.end(),
                  [](const auto& a, const auto& b) { return a[1] < b[1]; });
        for (const auto& l : lines)
            report_.line(l[0].c_str(), shortName(table), l[1], l[2], l[3]);
    }

    // classify - "extra", "unknown", or null for a record that is no difference.
    const char* classify(const std::string& table, const std::string& key) const
    {
        const std::string::size_type at = key.rfind('@');
        const std::string domain = at == std::string::npos ? key : key.substr(at + 1);
        auto facts = facts_.find(domain);
        if (facts == facts_.end())
            return inScope(domain) ? "unknown" : nullptr;
        // Catch-all and bounce records are the domain commands' own business.
        if (at == 0)
            return nullptr;
        if (table == tables::VIRTUAL_DOMAINS || at == std::string::npos)
            return "extra"; // a disabled domain's record, or a domain named as an alias
        const std::string local = key.substr(0, at);
        for (const char* s : tables::STANDARD_ADDRESSES)
            if (local == s)
                return "extra";
        return "unknown";
    }

    // inScope - whether an unknown domain is this run's business.
    bool inScope(const std::string&) const { return scope_.domain.empty(); }

    static std::string shortName(const std::string& table)
    {
        return table.substr(table.rfind('/') + 1);
    }

    // checkHomes - the domain root and each mail name's home, .qmail and quota.
    void checkHomes()
    {
        const std::string root = mailRoot_ + "/" + domain_;
        struct stat st;
        bool rootOk = ::lstat(root.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == 0 &&
                      st.st_gid == popuserGid_ && (st.st_mode & 07777) == 0750;
        if (!rootOk) {
            report_.line(::lstat(root.c_str(), &st) == 0 ? "differs" : "missing", "domain-root",
                         domain_, "dir 0750 root", describe(root));
            repairs_.now("domain-root " + domain_,
                         [&] { MaildirManager::getInstance().createDomainRoot(domain_); });
        }
        std::set<std::string> known;
        for (const Name& n : names_) {
            known.insert(n.name);
            checkHome(n);
        }
        Fd dir(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (dir.get() < 0)
            return;
        for (const std::string& entry : directoryNames(dir.get()))
            if (!known.count(entry))
                report_.line("unknown", "home", domain_ + "/" + entry, NONE,
                             describe(root + "/" + entry));
    }

    // checkHome - every directory of the home tree, .qmail, the quota file; a
    // missing home is one difference, and --add-mailname's work to repair it.
    void checkHome(const Name& n)
    {
        const std::string rel = domain_ + "/" + n.name;
        const std::string home = mailRoot_ + "/" + rel;
        struct stat st;
        if (::lstat(home.c_str(), &st) != 0) {
            report_.line("missing", "home", rel, "dir 0700 popuser", NONE);
            repairs_.now("home " + rel, [&] {
                MaildirManager::getInstance().createMailnameHome(domain_, n.name);
                DotQMailManager(home + "/.qmail").reset();
                MaildirPPManager::getInstance().setMailboxQuota(domain_, n.name, n.quota);
            });
            return;
        }
        bool treeOk = true;
        std::vector<std::string> dirs = {""};
        for (const char* d : HOME_DIRS)
            dirs.push_back(std::string("/") + d);
        for (const std::string& d : dirs) {
            const std::string path = home + d;
            if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
                st.st_uid == popuserUid_ && st.st_gid == popuserGid_ &&
                (st.st_mode & 07777) == 0700)
                continue;
            treeOk = false;
            report_.line(::lstat(path.c_str(), &st) == 0 ? "differs" : "missing", "home", rel + d,
                         "dir 0700 popuser", describe(path));
        }
        if (!treeOk)
            repairs_.now("home " + rel, [&] {
                MaildirManager::getInstance().createMailnameHome(domain_, n.name);
            });

        if (::lstat((home + "/.qmail").c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            report_.line("missing", "qmail", rel, "file", describe(home + "/.qmail"));
            repairs_.now("qmail " + rel, [&] { DotQMailManager(home + "/.qmail").reset(); });
        }

        const std::string expected = expectedQuota(home, n.quota);
        const std::string found = quotaLine(home + "/Maildir/maildirsize");
        if (found != expected) {
            report_.line(found == NONE ? "missing" : "differs", "quota", rel, expected, found);
            repairs_.now("quota " + rel, [&] {
                MaildirPPManager::getInstance().setMailboxQuota(domain_, n.name, n.quota);
            });
        }
    }

    // expectedQuota - the size quota that the quota file of a home should hold.
    static std::string expectedQuota(const std::string& home, long long quota)
    {
        long long attachments = 0;
        if (quota >= 0) {
            attachments = get_dir_size((home + "/@attachments").c_str(), 0);
            if (attachments < 0)
                attachments = 0;
        }
        return std::to_string(maildirpp_effective_quota(quota, attachments, nullptr)) + "S";
    }

    // quotaLine - the size quota of a quota file, "-" when there is none to read.
    static std::string quotaLine(const std::string& path)
    {
        Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st;
        if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
            return NONE;
        char buf[128];
        const ssize_t n = ::read(fd.get(), buf, sizeof buf - 1);
        if (n <= 0)
            return NONE;
        buf[n] = '\0';
        const std::string text(buf);
        return text.substr(0, text.find_first_of(",\n"));
    }

    // describe - what a path is, in the words of the difference lines.
    std::string describe(const std::string& path) const
    {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0)
            return NONE;
        const char* type = S_ISDIR(st.st_mode)   ? "dir"
                           : S_ISLNK(st.st_mode) ? "link"
                           : S_ISREG(st.st_mode) ? "file"
                                                 : "special";
        struct passwd* pw = ::getpwuid(st.st_uid);
        char mode[8];
        snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return std::string(type) + " " + mode + " " +
               (pw ? pw->pw_name : std::to_string(st.st_uid));
    }

    static std::vector<std::string> directoryNames(int fd)
    {
        std::vector<std::string> names;
        int dup = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        DIR* dir = dup >= 0 ? ::fdopendir(dup) : nullptr;
        if (dir == nullptr) {
            if (dup >= 0)
                ::close(dup);
            return names;
        }
        while (struct dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            if (name != "." && name != ".." && e->d_type == DT_DIR)
                names.push_back(name);
        }
        ::closedir(dir);
        std::sort(names.begin(), names.end());
        return names;
    }

    // unknownDomainRoots - directories of the mail root that no domain owns.
    void unknownDomainRoots()
    {
        const char* root = hspConfGetDefaultByIndex(HSP_CONF_OSTRA_MAILNAMES_D);
        Fd dir(::open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.get() < 0)
            return;
        for (const std::string& name : directoryNames(dir.get())) {
            auto f = facts_.find(name);
            if (f == facts_.end() || f->second.alias)
                report_.line("unknown", "domain-root", name, NONE,
                             describe(std::string(root) + "/" + name));
        }
    }

    // checkAuth - each alias domain holds the domain's users, as the commands copy them.
    void checkAuth(bool domainHasRow)
    {
        std::vector<AuthUser> own;
        if (auth_.users(domain_, own) != 0)
            throw std::runtime_error("unable to read the mail authentication database");
        std::set<std::string> panelNames;
        for (const Name& n : names_) {
            panelNames.insert(n.name);
            panelNames.insert(n.aliases.begin(), n.aliases.end());
        }
        for (const AuthUser& u : own) {
            if (panelNames.count(u.name))
                continue;
            report_.line("unknown", "auth-user", u.name + "@" + domain_, NONE, userState(u));
            if (scope_.prune)
                removeUser(u.name, domain_);
        }
        const int status = domainHasRow ? authStatus_[domain_] : 0;
        for (const std::string& alias : aliases_) {
            auto row = authStatus_.find(alias);
            if (domainHasRow && (row == authStatus_.end() || row->second != status)) {
                report_.line(row == authStatus_.end() ? "missing" : "differs", "auth-domain", alias,
                             status ? "disabled" : "enabled",
                             row == authStatus_.end() ? NONE
                             : row->second            ? "disabled"
                                                      : "enabled");
                repairs_.now("auth-domain " + alias,
                             [&] { authCall(mailAuthSetDomain(alias.c_str(), status)); });
            }
            std::vector<AuthUser> theirs;
            if (auth_.users(alias, theirs) != 0)
                throw std::runtime_error("unable to read the mail authentication database");
            compareUsers(own, theirs, alias, panelNames);
        }
    }

    // compareUsers - the users of an alias domain against its domain's.
    void compareUsers(const std::vector<AuthUser>& own, const std::vector<AuthUser>& theirs,
                      const std::string& alias, const std::set<std::string>& panelNames)
    {
        auto byName = [](const AuthUser& a, const AuthUser& b) { return a.name < b.name; };
        for (const AuthUser& u : own) {
            auto t = std::lower_bound(theirs.begin(), theirs.end(), u, byName);
            const bool present = t != theirs.end() && t->name == u.name;
            if (present && *t == u)
                continue;
            std::string found = NONE;
            if (present)
                found = t->status != u.status ? userState(*t) : "other password";
            report_.line(present ? "differs" : "missing", "auth-user", u.name + "@" + alias,
                         userState(u), found);
            repairs_.now("auth-user " + u.name + "@" + alias, [&] {
                authCall(
                    mailAuthClone(u.name.c_str(), domain_.c_str(), u.name.c_str(), alias.c_str()));
            });
        }
        for (const AuthUser& t : theirs) {
            if (std::binary_search(own.begin(), own.end(), t, byName))
                continue;
            const bool panelName = panelNames.count(t.name) != 0;
            report_.line(panelName ? "extra" : "unknown", "auth-user", t.name + "@" + alias, NONE,
                         userState(t));
            if (panelName || scope_.prune)
                removeUser(t.name, alias);
        }
    }

    void removeUser(const std::string& name, const std::string& domain)
    {
        repairs_.now("auth-user " + name + "@" + domain,
                     [&] { authCall(mailAuthRemove(name.c_str(), domain.c_str())); });
    }

    const ConfigScope& scope_;
    Report& report_;
    Repairs& repairs_;
    AuthReader auth_;
    std::vector<AuthDomain> authDomains_;
    std::map<std::string, int> authStatus_;
    std::string mailRoot_; // read once: building a path must not look popuser up
    uid_t popuserUid_;
    gid_t popuserGid_;
    std::map<std::string, TableSnapshot> snapshots_;
    std::map<std::string, std::map<std::string, std::string>> differing_;
    std::map<std::string, DomainFacts> facts_;

    std::string domain_;
    long long domainQuota_ = -1;
    std::vector<std::string> aliases_;
    std::vector<Name> names_;
};

} // namespace

// compareMailConfig - walk, compare, then the table repairs in one run per table.
ConfigSummary compareMailConfig(const ConfigScope& scope, std::ostream& out)
{
    ConfigSummary summary;
    Report report(out, summary);
    Repairs repairs(scope.repair, summary);
    ConfigWalk walk(scope, report, repairs);
    restore::walkPanel(walk, scope.domain);
    walk.finish();
    repairs.applyTables();
    return summary;
}

} // namespace postfix
} // namespace mail
} // namespace ostra
