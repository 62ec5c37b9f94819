// scenario_systest.cc - a panel session replayed against the real mxadmin:
// domains with quotas, alias domains with each action for unknown
// addresses, mail names with mailboxes, passwords, forwards and mail
// aliases, catch-alls, autoresponders, renames and removals, the panel
// database kept in step the way the panel keeps it. The final lookup
// tables, mail tree, delivery and quota files, authentication rows and
// handlers are compared whole with a model computed from the operations.
#include <dirent.h>
#include <idna.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "mail/lib/mail_authenticate.h"
#include "manager_fixture.h"

using namespace managertest;

namespace {

const char AUTH_DB[] = "/var/spool/postfix/ostra/passwd.db";
const char HANDLERS_INFO[] = "/usr/local/hsp/handlers/info";
const char AUTORESPONDER[] = "/usr/local/hsp/handlers/hooks/autoresponder";
const char DELIVERY[] = "| /usr/bin/deliverquota ./Maildir";
const int DOMAINS = 8;
const char* const NAMES[] = {"info", "sales", "john.doe", "support", "jobs"};

// Dom - a domain as the panel passes it and in the ASCII form it is stored in.
struct Dom {
    std::string given;
    std::string ascii;
};

// toAscii - the ASCII form straight from the IDNA library.
std::string toAscii(const std::string& name)
{
    char* out = nullptr;
    if (idna_to_ascii_8z(name.c_str(), &out, 0) != IDNA_SUCCESS)
        throw std::runtime_error("idna_to_ascii_8z failed for " + name);
    std::string ascii(out);
    free(out);
    return ascii;
}

// inDomain - whether x is an address in domain (the catch-all key "@domain" included).
bool inDomain(const std::string& x, const std::string& domain)
{
    const std::string suffix = "@" + domain;
    return x.size() >= suffix.size() &&
           x.compare(x.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// text - records one "key -> value" line each, for readable differences.
std::string text(const Records& records)
{
    std::string out;
    for (const auto& r : records)
        out += r.first + " -> " + r.second + "\n";
    return out;
}

// q - SQL string literal of a plain name.
std::string q(const std::string& text)
{
    return "'" + text + "'";
}

class Scenario : public ManagerTest {
protected:
    // Home - a mail home's quota (negative: none) and ".qmail" lines.
    struct Home {
        long long quota;
        std::vector<std::string> qmail;
    };
    // User - an authentication row: one of the two passwords, status 0.
    struct User {
        std::string clear, crypted;
    };

    void SetUp() override
    {
        ManagerTest::SetUp();
        ASSERT_EQ(0, mailAuthDBCreate(AUTH_DB));
        mxtest::startMariaDB();
        mxtest::installScript(AUTORESPONDER, "exit 0\n");
        // The size of an empty directory counts against every mailbox quota.
        mxtest::makeDirs("/var/tmp/empty-probe");
        struct stat st;
        ASSERT_EQ(0, stat("/var/tmp/empty-probe", &st));
        emptyDir_ = st.st_size;
        for (int i = 0; i < DOMAINS; ++i) {
            const std::string given =
                i == 4 ? "d\xc3\xb6m\xc3\xa4n4.test" : "dom" + std::to_string(i) + ".test";
            doms_.push_back(Dom{given, toAscii(given)});
        }
    }

    // mx - one mxadmin run that must succeed without a word.
    void mx(const std::string& args, const std::string& env = "")
    {
        ++runs_;
        const mxtest::RunResult r =
            mxtest::run(env + (env.empty() ? "" : " ") + MXADMIN_BIN + " " + args);
        EXPECT_EQ(0, r.status) << args << "\n" << r.err;
        EXPECT_EQ("", r.err) << args;
    }

    // panel - queue a change of the panel database; flush() sends the queue.
    void panel(const std::string& statement) { pendingSql_ += statement + ";\n"; }
    void flush()
    {
        if (!pendingSql_.empty())
            mxtest::sql(pendingSql_);
        pendingSql_.clear();
    }

    static std::string domainOpt(const Dom& d)
    {
        return "--domain-name=" + mxtest::shellQuote(d.given);
    }
    static std::string addr(const std::string& local, const std::string& domain)
    {
        return local + "@" + domain;
    }
    static std::string homeKey(const std::string& domain, const std::string& name)
    {
        return domain + "/" + name;
    }
    std::vector<std::string> aliasDomains(const std::string& d) { return aliasDomains_[d]; }
    std::vector<std::string> withAliasDomains(const std::string& d)
    {
        std::vector<std::string> all{d};
        for (const std::string& D : aliasDomains_[d])
            all.push_back(D);
        return all;
    }
    std::vector<std::string>& mailAliases(const std::string& d, const std::string& m)
    {
        return mailAliases_[addr(m, d)];
    }

    // Model changes shared by several operations.

    void standardAddresses(const std::string& d, bool present)
    {
        for (const auto& r : managertest::standardAddresses(d))
            if (present)
                virtual_[r.first] = r.second;
            else
                virtual_.erase(r.first);
    }

    // setUser - mailAuthSet: the row, and the domain row it may need.
    void setUser(const std::string& name, const std::string& domain, const User& user)
    {
        authDomains_.emplace(domain, 0);
        users_[addr(name, domain)] = user;
    }

    // cloneUser - mailAuthClone: nothing to copy is no error.
    void cloneUser(const std::string& from, const std::string& to, const std::string& toDomain)
    {
        const auto it = users_.find(from);
        if (it != users_.end())
            setUser(to, toDomain, it->second);
    }

    void qmailReplace(const std::string& home, const std::string& line, bool append)
    {
        std::vector<std::string>& lines = homes_.at(home).qmail;
        lines.erase(std::remove(lines.begin(), lines.end(), line), lines.end());
        if (append)
            lines.push_back(line);
    }

    // Operations: each runs the command and changes the model the same way.

    void addDomain(const Dom& d, std::optional<long long> quota)
    {
        panel("INSERT INTO domains (name, limits_id) VALUES (" + q(d.ascii) + ", " +
              (limits_.count(d.ascii) ? "(SELECT MAX(id) FROM Limits)" : std::string("NULL")) +
              ")");
        flush();
        mx("--add-domain " + domainOpt(d) +
           (quota ? " --disk-quota=" + std::to_string(*quota) : std::string()));
        roots_.insert(d.ascii);
        virtualDomains_[d.ascii] = d.ascii + "/";
        standardAddresses(d.ascii, true);
    }

    void addMailname(const Dom& d, const std::string& m, std::optional<long long> quota)
    {
        mx("--add-mailname " + domainOpt(d) + " --mailname=" + m +
           (quota ? " --disk-quota=" + std::to_string(*quota) : std::string()));
        const auto limit = limits_.find(d.ascii);
        homes_[homeKey(d.ascii, m)] =
            Home{quota ? *quota : (limit != limits_.end() ? limit->second : -1), {"| true"}};
        vmailbox_[addr(m, d.ascii)] = d.ascii + "/" + m + "/Maildir/";
        for (const std::string& domain : withAliasDomains(d.ascii))
            virtual_[addr(m, domain)] = addr(m, d.ascii);
    }

    void addMailbox(const Dom& d, const std::string& m, const User& user)
    {
        const std::string env = user.crypted.empty()
                                    ? "HSP_PASSWORD=" + mxtest::shellQuote(user.clear)
                                    : "HSP_CRYPTED_PASSWORD=" + mxtest::shellQuote(user.crypted);
        mx("--add-mailbox " + domainOpt(d) + " --mailname=" + m, env);
        qmailReplace(homeKey(d.ascii, m), DELIVERY, true);
        for (const std::string& domain : withAliasDomains(d.ascii))
            setUser(m, domain, user);
    }

    void addRedirect(const Dom& d, const std::string& m, const std::string& to)
    {
        mx("--add-redirect " + domainOpt(d) + " --mailname=" + m + " --redirect-email=" + to);
        qmailReplace(homeKey(d.ascii, m), "&" + to, true);
    }

    void addAlias(const Dom& d, const std::string& m, const std::string& a)
    {
        panel("INSERT INTO mail_aliases (mn_id, alias) SELECT m.id, " + q(a) +
              " FROM mail m JOIN domains d ON m.dom_id = d.id WHERE d.name = " + q(d.ascii) +
              " AND m.mail_name = " + q(m));
        flush();
        mx("--add-alias " + domainOpt(d) + " --mailname=" + m + " --alias=" + a);
        mailAliases(d.ascii, m).push_back(a);
        for (const std::string& domain : withAliasDomains(d.ascii))
            virtual_[addr(a, domain)] = addr(m, d.ascii);
        if (responders_.count(addr(m, d.ascii)))
            responders_.emplace(addr(a, d.ascii), true);
        cloneUser(addr(m, d.ascii), a, d.ascii);
        for (const std::string& D : aliasDomains(d.ascii))
            cloneUser(addr(a, d.ascii), a, D);
    }

    // addDomainAlias - action "reject", "catchall" (arg: address) or "bounce" (arg: phrase).
    void addDomainAlias(const Dom& d, const std::string& D, const std::string& action,
                        const std::string& arg = "")
    {
        panel("INSERT INTO domainaliases (name, dom_id) SELECT " + q(D) +
              ", id FROM domains WHERE name = " + q(d.ascii));
        flush();
        std::string option = " --set-reject";
        if (action == "catchall")
            option = " --set-catchall --email=" + arg;
        else if (action == "bounce")
            option = " --set-bounce --phrase=" + mxtest::shellQuote(arg);
        mx("--add-domain-alias " + domainOpt(d) + " --domain-alias-name=" + D + option);
        aliasDomains_[d.ascii].push_back(D);
        standardAddresses(D, true);
        virtual_[D] = "1";
        for (const std::string& m : mailnames_[d.ascii]) {
            for (const std::string& a : mailAliases(d.ascii, m)) {
                virtual_[addr(a, D)] = addr(m, d.ascii);
                cloneUser(addr(a, d.ascii), a, D);
            }
            virtual_[addr(m, D)] = addr(m, d.ascii);
            cloneUser(addr(m, d.ascii), m, D);
        }
        for (const auto& r : std::map<std::string, bool>(responders_))
            if (inDomain(r.first, d.ascii))
                responders_.emplace(r.first.substr(0, r.first.rfind('@')) + "@" + D, true);
        if (action == "catchall")
            virtual_["@" + D] = arg;
        if (action == "bounce") {
            virtual_["@" + D] = "_ostra_bounce_" + D + "@localhost.localdomain";
            aliases_["_ostra_bounce_" + D] = bounceCommand_;
        }
    }

    void setCatchall(const Dom& d, const std::string& to)
    {
        mx("--set-catchall " + domainOpt(d) + " --email=" + to);
        for (const std::string& domain : withAliasDomains(d.ascii))
            virtual_["@" + domain] = to;
    }

    void setAutoresponder(const std::vector<const Dom*>& ds, const std::string& names)
    {
        std::string given, sep;
        for (const Dom* d : ds) {
            given += sep + d->given;
            sep = ", ";
        }
        mx("--set-autoresponder --domain-name=" + mxtest::shellQuote(given) +
           " --mailname=" + mxtest::shellQuote(names));
        for (const Dom* d : ds)
            for (size_t at = 0; at < names.size();) {
                size_t end = names.find_first_of(", ", at);
                if (end == std::string::npos)
                    end = names.size();
                if (end > at)
                    responders_.emplace(addr(names.substr(at, end - at), d->ascii), true);
                at = end + 1;
            }
    }

    void setPassword(const Dom& d, const std::string& m, const User& user)
    {
        const std::string env = user.crypted.empty()
                                    ? "HSP_PASSWORD=" + mxtest::shellQuote(user.clear)
                                    : "HSP_CRYPTED_PASSWORD=" + mxtest::shellQuote(user.crypted);
        mx("--set-password " + domainOpt(d) + " --mailname=" + m, env);
        std::vector<std::string> names{m};
        for (const std::string& a : mailAliases(d.ascii, m))
            names.push_back(a);
        for (const std::string& name : names)
            for (const std::string& domain : withAliasDomains(d.ascii))
                setUser(name, domain, user);
    }

    void setQuota(const Dom& d, const std::string& m, long long quota)
    {
        mx("--set-mailbox-disk-quota " + domainOpt(d) + " --mailname=" + m +
           " --disk-quota=" + std::to_string(quota));
        homes_.at(homeKey(d.ascii, m)).quota = quota;
    }

    // rename - with a password the credentials and the alias domain
    // addresses follow; without, the credentials go and those addresses
    // keep the old name.
    void rename(const Dom& d, const std::string& o, const std::string& n, bool password)
    {
        mx("--rename-mailname " + domainOpt(d) + " --old-mailname=" + o + " --new-mailname=" + n,
           password ? "HSP_PASSWORD=unused" : "");
        const std::string oldAddr = addr(o, d.ascii), newAddr = addr(n, d.ascii);
        vmailbox_.erase(oldAddr);
        vmailbox_[newAddr] = d.ascii + "/" + n + "/Maildir/";
        Records renamed;
        for (const auto& r : virtual_)
            renamed[r.first == oldAddr ? newAddr : r.first] =
                r.second == oldAddr ? newAddr : r.second;
        virtual_ = renamed;
        homes_[homeKey(d.ascii, n)] = homes_.at(homeKey(d.ascii, o));
        homes_.erase(homeKey(d.ascii, o));
        for (const std::string& domain : withAliasDomains(d.ascii)) {
            const auto it = users_.find(addr(o, domain));
            if (it == users_.end())
                continue;
            if (password)
                users_[addr(n, domain)] = it->second;
            users_.erase(addr(o, domain));
        }
        if (password)
            for (const std::string& D : aliasDomains(d.ascii)) {
                virtual_[addr(n, D)] = virtual_.at(addr(o, D));
                virtual_.erase(addr(o, D));
            }
        if (responders_.erase(oldAddr))
            responders_[newAddr] = true;
        panel("UPDATE mail m JOIN domains d ON m.dom_id = d.id SET m.mail_name = " + q(n) +
              " WHERE d.name = " + q(d.ascii) + " AND m.mail_name = " + q(o));
        std::vector<std::string>& names = mailnames_[d.ascii];
        std::replace(names.begin(), names.end(), o, n);
        mailAliases_[newAddr] = mailAliases_[oldAddr];
        mailAliases_.erase(oldAddr);
    }

    // forgetCredentials - the rows of a mail name and its mail aliases in
    // the domain and every alias domain.
    void forgetCredentials(const std::string& d, const std::string& m)
    {
        std::vector<std::string> names{m};
        for (const std::string& a : mailAliases(d, m))
            names.push_back(a);
        for (const std::string& name : names)
            for (const std::string& domain : withAliasDomains(d))
                users_.erase(addr(name, domain));
    }

    void removeMailbox(const Dom& d, const std::string& m)
    {
        mx("--remove-mailbox " + domainOpt(d) + " --mailname=" + m);
        qmailReplace(homeKey(d.ascii, m), DELIVERY, false);
        forgetCredentials(d.ascii, m);
    }

    void removeAlias(const Dom& d, const std::string& m, const std::string& a)
    {
        mx("--remove-alias " + domainOpt(d) + " --mailname=" + m + " --alias=" + a);
        for (const std::string& domain : withAliasDomains(d.ascii)) {
            virtual_.erase(addr(a, domain));
            users_.erase(addr(a, domain));
        }
        responders_.erase(addr(a, d.ascii));
        panel("DELETE ma FROM mail_aliases ma JOIN mail m ON ma.mn_id = m.id JOIN domains d ON "
              "m.dom_id = d.id WHERE d.name = " +
              q(d.ascii) + " AND m.mail_name = " + q(m) + " AND ma.alias = " + q(a));
        std::vector<std::string>& list = mailAliases(d.ascii, m);
        list.erase(std::remove(list.begin(), list.end(), a), list.end());
    }

    // removeMailname - the mail aliases' records stay in "virtual".
    void removeMailname(const Dom& d, const std::string& m)
    {
        mx("--remove-mailname " + domainOpt(d) + " --mailname=" + m);
        forgetCredentials(d.ascii, m);
        vmailbox_.erase(addr(m, d.ascii));
        for (const std::string& domain : withAliasDomains(d.ascii)) {
            virtual_.erase(addr(m, domain));
            responders_.erase(addr(m, domain));
            for (const std::string& a : mailAliases(d.ascii, m))
                responders_.erase(addr(a, domain));
        }
        homes_.erase(homeKey(d.ascii, m));
        panel("DELETE ma FROM mail_aliases ma JOIN mail m ON ma.mn_id = m.id JOIN domains d ON "
              "m.dom_id = d.id WHERE d.name = " +
              q(d.ascii) + " AND m.mail_name = " + q(m));
        panel("DELETE m FROM mail m JOIN domains d ON m.dom_id = d.id WHERE d.name = " +
              q(d.ascii) + " AND m.mail_name = " + q(m));
        std::vector<std::string>& names = mailnames_[d.ascii];
        names.erase(std::remove(names.begin(), names.end(), m), names.end());
        mailAliases_.erase(addr(m, d.ascii));
    }

    void turnOffDomain(const Dom& d)
    {
        mx("--turn-off-domain " + domainOpt(d));
        for (const std::string& domain : withAliasDomains(d.ascii))
            if (authDomains_.count(domain))
                authDomains_[domain] = 1;
        virtualDomains_.erase(d.ascii);
        standardAddresses(d.ascii, false);
        for (auto& r : responders_)
            if (inDomain(r.first, d.ascii))
                r.second = false;
    }

    // removeDomain - for a domain without alias domains whose addresses
    // no other domain's record names.
    void removeDomain(const Dom& d)
    {
        ASSERT_TRUE(aliasDomains_[d.ascii].empty());
        mx("--remove-domain " + domainOpt(d));
        for (Records* table : {&virtual_, &vmailbox_})
            for (auto it = table->begin(); it != table->end();)
                it = it->first == d.ascii || inDomain(it->first, d.ascii) ? table->erase(it)
                                                                          : std::next(it);
        virtualDomains_.erase(d.ascii);
        for (auto it = users_.begin(); it != users_.end();)
            it = inDomain(it->first, d.ascii) ? users_.erase(it) : std::next(it);
        for (auto it = responders_.begin(); it != responders_.end();)
            it = inDomain(it->first, d.ascii) ? responders_.erase(it) : std::next(it);
        authDomains_.erase(d.ascii);
        roots_.erase(d.ascii);
        for (auto it = homes_.begin(); it != homes_.end();)
            it = it->first.compare(0, d.ascii.size() + 1, d.ascii + "/") == 0 ? homes_.erase(it)
                                                                              : std::next(it);
        panel("DELETE m FROM mail m JOIN domains d ON m.dom_id = d.id WHERE d.name = " +
              q(d.ascii));
        panel("DELETE FROM domains WHERE name = " + q(d.ascii));
    }

    // Reading the real state back.

    static std::string users()
    {
        return shell("sqlite3 -separator ' ' " + std::string(AUTH_DB) +
                     " \"SELECT u.name || '@' || d.name, ifnull(u.userPassword, '-'),"
                     " ifnull(u.cmusaslsecretPLAIN, '-'), u.status FROM users u"
                     " JOIN domains d ON d.id = u.dom_id ORDER BY 1\"")
            .out;
    }

    static std::string authDomains()
    {
        return shell("sqlite3 -separator ' ' " + std::string(AUTH_DB) +
                     " 'SELECT name, status FROM domains ORDER BY 1'")
            .out;
    }

    static std::string mailTree()
    {
        return shell(std::string("find ") + MAIL_ROOT +
                     " -mindepth 1 -printf '%P %M %u:%g\\n' | LC_ALL=C sort")
            .out;
    }

    // homeFiles - per mail home: the quota line of "maildirsize" and ".qmail".
    std::string homeFiles()
    {
        std::string out;
        for (const auto& h : homes_) {
            const std::string base = std::string(MAIL_ROOT) + "/" + h.first;
            const std::string quota = mxtest::readFile(base + "/Maildir/maildirsize");
            out += h.first + ": " + quota.substr(0, quota.find('\n')) + "\n" +
                   mxtest::readFile(base + "/.qmail");
        }
        return out;
    }

    // autoresponders - the address of every autoresponder handler that is
    // registered and enabled.
    static std::string autoresponders()
    {
        std::vector<std::string> out;
        DIR* dir = opendir(HANDLERS_INFO);
        if (dir == nullptr)
            return "";
        while (struct dirent* e = readdir(dir)) {
            const std::string name = e->d_name;
            if (name.compare(0, 17, "90-autoresponder-") != 0)
                continue;
            std::string value =
                mxtest::readFile(std::string(HANDLERS_INFO) + "/" + name + "/recipient");
            value = value.substr(0, value.find('\n'));
            const bool on = mxtest::fileExists("/usr/local/hsp/handlers/before-local/recipient/" +
                                               value + "/" + name);
            out.push_back(value + (on ? "" : " (disabled)"));
        }
        closedir(dir);
        std::sort(out.begin(), out.end());
        std::string text;
        for (const std::string& line : out)
            text += line + "\n";
        return text;
    }

    // Expectations from the model.

    std::string expectedTree()
    {
        std::vector<std::string> lines;
        for (const std::string& d : roots_)
            lines.push_back(d + " drwxr-x--- root:popuser");
        const std::string dir = " drwx------ popuser:popuser";
        for (const auto& h : homes_) {
            const std::string& home = h.first;
            for (const std::string& entry :
                 {home + dir, home + "/.qmail -rw------- popuser:popuser",
                  home + "/@attachments" + dir, home + "/Maildir" + dir,
                  home + "/Maildir/maildirsize -rw-r--r-- popuser:popuser"})
                lines.push_back(entry);
            for (const char* sub :
                 {"tmp", "new", "cur", ".Spam", ".Spam/tmp", ".Spam/new", ".Spam/cur"})
                lines.push_back(home + "/Maildir/" + sub + dir);
        }
        std::sort(lines.begin(), lines.end());
        std::string out;
        for (const std::string& line : lines)
            out += line + "\n";
        return out;
    }

    std::string expectedHomeFiles()
    {
        std::string out;
        for (const auto& h : homes_) {
            const long long quota = h.second.quota;
            const long long written = quota < 0 ? 0 : std::max(quota - emptyDir_, 1LL);
            out += h.first + ": " + std::to_string(written) + "S,0C\n";
            for (const std::string& line : h.second.qmail)
                out += line + "\n";
        }
        return out;
    }

    std::string expectedUsers()
    {
        std::string out;
        for (const auto& u : users_)
            out += u.first + " " + (u.second.crypted.empty() ? u.second.clear : "-") + " " +
                   (u.second.crypted.empty() ? "-" : u.second.crypted) + " 0\n";
        return out;
    }

    std::string expectedAuthDomains()
    {
        std::string out;
        for (const auto& d : authDomains_)
            out += d.first + " " + std::to_string(d.second) + "\n";
        return out;
    }

    std::string expectedAutoresponders()
    {
        std::string out;
        for (const auto& r : responders_)
            out += r.first + (r.second ? "" : " (disabled)") + "\n";
        return out;
    }

    std::vector<Dom> doms_;
    long long emptyDir_ = 0;
    int runs_ = 0;
    std::string pendingSql_;
    const std::string bounceCommand_ = "\"|/usr/lib/ostra-9.0/bouncemessage Gone\\\\\\ away\"";

    // The model of what the program keeps.
    Records virtualDomains_, virtual_, vmailbox_, aliases_;
    std::set<std::string> roots_;
    std::map<std::string, Home> homes_;
    std::map<std::string, User> users_;
    std::map<std::string, int> authDomains_;
    // Autoresponder handlers by address: enabled or not.
    std::map<std::string, bool> responders_;
    // The panel database as the commands read it.
    std::map<std::string, long long> limits_;
    std::map<std::string, std::vector<std::string>> aliasDomains_, mailnames_, mailAliases_;
};

TEST_F(Scenario, PanelSessionEndsInTheModelledState)
{
    // Domains; every third one has a default mailbox quota, every other a
    // domain quota.
    mxtest::sql("INSERT INTO Limits (id, limit_name, value) VALUES (1, 'mbox_quota', '20000')");
    for (int i = 0; i < DOMAINS; ++i) {
        if (i % 3 == 1)
            limits_[doms_[i].ascii] = 20000;
        addDomain(doms_[i], i % 2 == 0 ? std::optional<long long>(1000000) : std::nullopt);
    }

    // Mail names with mailboxes (one crypted password each), forwards.
    for (int i = 0; i < DOMAINS; ++i)
        for (const char* m : NAMES) {
            panel("INSERT INTO mail (mail_name, dom_id) SELECT " + q(m) +
                  ", id FROM domains WHERE name = " + q(doms_[i].ascii));
            mailnames_[doms_[i].ascii].push_back(m);
        }
    flush();
    for (int i = 0; i < DOMAINS; ++i) {
        const Dom& d = doms_[i];
        for (int j = 0; j < 5; ++j) {
            const std::string m = NAMES[j];
            addMailname(d, m,
                        (i + j) % 3 == 0 ? std::optional<long long>(4000 * (j + 1) + 100 * i)
                                         : std::nullopt);
            if (j == 4)
                continue;
            if (j == 2)
                addMailbox(d, m, User{"", "$1$s" + std::to_string(i) + "$crypt"});
            else
                addMailbox(d, m, User{"pw" + std::to_string(i) + "-" + m, ""});
        }
        if (i < 4)
            addRedirect(d, "sales", "fwd@elsewhere.net");
        if (i % 2 == 0) {
            addRedirect(d, "support", "a@elsewhere.net");
            addRedirect(d, "support", "b@elsewhere.net");
            addRedirect(d, "support", "a@elsewhere.net");
        }
    }

    // Mail aliases.
    for (int i = 0; i < DOMAINS; ++i) {
        if (i % 2 == 0) {
            addAlias(doms_[i], "info", "mail");
            addAlias(doms_[i], "info", "office");
        } else {
            addAlias(doms_[i], "sales", "sales-team");
        }
    }

    // Alias domains with each action for unknown addresses.
    addDomainAlias(doms_[0], "alias0.test", "reject");
    addDomainAlias(doms_[0], "alias0b.test", "catchall", "postmaster@" + doms_[0].ascii);
    addDomainAlias(doms_[1], "alias1.test", "bounce", "Gone away");
    addDomainAlias(doms_[2], "alias2.test", "reject");
    addDomainAlias(doms_[5], "alias5.test", "catchall", "catch@elsewhere.net");

    // Mail names and mail aliases made while the alias domains exist.
    for (int i : {0, 1, 2, 5}) {
        panel("INSERT INTO mail (mail_name, dom_id) SELECT 'billing', id FROM domains WHERE "
              "name = " +
              q(doms_[i].ascii));
        mailnames_[doms_[i].ascii].push_back("billing");
        flush();
        addMailname(doms_[i], "billing", std::nullopt);
        addMailbox(doms_[i], "billing", User{"bill" + std::to_string(i), ""});
        addAlias(doms_[i], "billing", "invoices");
    }

    // Catch-alls (over the alias domains' own actions), autoresponders,
    // passwords and quotas.
    setCatchall(doms_[0], "info@" + doms_[0].ascii);
    setCatchall(doms_[3], "support@" + doms_[3].ascii);
    setCatchall(doms_[5], "catch2@elsewhere.net");
    setAutoresponder({&doms_[2]}, "info, sales");
    setAutoresponder({&doms_[3]}, "info");
    setAutoresponder({&doms_[5], &doms_[6], &doms_[7]}, "support");
    for (int i = 0; i < 5; ++i)
        setPassword(doms_[i], "info",
                    i == 3 ? User{"", "$1$new$crypt"} : User{"new" + std::to_string(i), ""});
    for (int i = 5; i < DOMAINS; ++i)
        setQuota(doms_[i], "john.doe", i == 7 ? -1 : 7000 + i);

    // Renames, then the panel follows.
    rename(doms_[0], "info", "contact", true);
    rename(doms_[2], "info", "contact", true);
    rename(doms_[3], "info", "hello", true);
    rename(doms_[6], "john.doe", "jdoe", true);
    rename(doms_[5], "sales", "sales-dept", false);
    flush();

    // Removals, the panel's rows going after each command.
    removeMailbox(doms_[6], "support");
    removeMailbox(doms_[7], "support");
    removeAlias(doms_[0], "contact", "office");
    for (int i = 0; i < 5; ++i)
        removeMailname(doms_[i], "jobs");
    removeMailname(doms_[1], "sales");
    removeMailname(doms_[2], "contact");
    turnOffDomain(doms_[6]);
    removeDomain(doms_[7]);
    flush();

    EXPECT_EQ(text(virtualDomains_), text(dump("virtual_domains")));
    EXPECT_EQ(text(virtual_), text(dump("virtual")));
    EXPECT_EQ(text(vmailbox_), text(dump("vmailbox")));
    EXPECT_EQ(text(aliases_), text(dump("aliases")));
    EXPECT_EQ(expectedTree(), mailTree());
    EXPECT_EQ(expectedHomeFiles(), homeFiles());
    EXPECT_EQ(expectedAuthDomains(), authDomains());
    EXPECT_EQ(expectedUsers(), users());
    EXPECT_EQ(expectedAutoresponders(), autoresponders());
    RecordProperty("mxadmin_runs", runs_);
}

} // namespace
