// mailname_commands_systest.cc - the mail name commands end to end: the real
// mxadmin against real postmap, the SQLite authentication database, the
// private panel database server (or none) and the handler store, comparing
// whole tables, mail trees, authentication rows and handler lists.
#include <dirent.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "mail/lib/mail_authenticate.h"
#include "mail/postfix/mailname_manager.h"
#include "manager_fixture.h"

using namespace managertest;

namespace {

const char AUTH_DB[] = "/var/spool/postfix/ostra/passwd.db";
const char HANDLERS_INFO[] = "/usr/local/hsp/handlers/info";
const char HANDLERS_QUEUE[] = "/usr/local/hsp/handlers";
const char AUTORESPONDER[] = "/usr/local/hsp/handlers/hooks/autoresponder";
const char TMPFS_SYNC[] = "/usr/lib/ostra-9.0/handlers-tmpfs";

// example.com (mailbox quota limit 3000) has the alias domains alias1.com and
// alias2.com, in that order, and the mail names info (mail aliases i1, i2)
// and sales; other.com has neither.
const char PANEL[] =
    "INSERT INTO Limits (id, limit_name, value) VALUES (1, 'mbox_quota', '3000');"
    "INSERT INTO domains (id, name, limits_id) VALUES (1, 'example.com', 1), (2, 'other.com', "
    "NULL);"
    "INSERT INTO domainaliases (id, name, dom_id) VALUES"
    " (1, 'alias1.com', 1), (2, 'alias2.com', 1);"
    "INSERT INTO mail (id, mail_name, dom_id) VALUES (1, 'info', 1), (2, 'sales', 1);"
    "INSERT INTO mail_aliases (id, mn_id, alias) VALUES (1, 1, 'i1'), (2, 1, 'i2');";

const char* const ALIAS_DOMAINS[] = {"alias1.com", "alias2.com"};

// lines - sorted, each ended by a line feed: the form of every listing below.
std::string lines(std::vector<std::string> items)
{
    std::sort(items.begin(), items.end());
    std::string out;
    for (const std::string& item : items)
        out += item + "\n";
    return out;
}

// homeEntries - the listing lines of one fresh mail home, as mailTree() shows them.
std::vector<std::string> homeEntries(const std::string& home, bool quotaFile)
{
    const std::string dir = " drwx------ popuser:popuser";
    std::vector<std::string> entries = {
        home + dir,
        home + "/.qmail -rw------- popuser:popuser",
        home + "/@attachments" + dir,
        home + "/Maildir" + dir,
    };
    for (const char* sub : {"tmp", "new", "cur", ".Spam", ".Spam/tmp", ".Spam/new", ".Spam/cur"})
        entries.push_back(home + "/Maildir/" + sub + dir);
    if (quotaFile)
        entries.push_back(home + "/Maildir/maildirsize -rw-r--r-- popuser:popuser");
    return entries;
}

// userRow - one row as users() lists it; "-" stands for NULL.
std::string userRow(const std::string& address, const std::string& clear,
                    const std::string& crypted = "-", int status = 0)
{
    return address + " " + clear + " " + crypted + " " + std::to_string(status);
}

// inAllDomains - the rows of one user in example.com and both alias domains.
std::vector<std::string> inAllDomains(const std::string& name, const std::string& clear,
                                      const std::string& crypted = "-", int status = 0)
{
    std::vector<std::string> rows = {userRow(name + "@example.com", clear, crypted, status)};
    for (const char* alias : ALIAS_DOMAINS)
        rows.push_back(userRow(name + "@" + alias, clear, crypted, status));
    return rows;
}

// concat - one list after another.
std::vector<std::string> concat(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// handlerLine - one handler as handlers() lists it.
std::string handlerLine(const std::string& tmpl, const std::string& value, bool enabled = true,
                        const std::string& priority = "10")
{
    return priority + " " + tmpl + " recipient " + value + " before-local" +
           (enabled ? " on" : " off");
}

class MailnameCommandsTest : public ManagerTest {
protected:
    void SetUp() override
    {
        ManagerTest::SetUp();
        ASSERT_EQ(0, mailAuthDBCreate(AUTH_DB));
    }

    // mx - run mxadmin with variable assignments (already quoted) before it.
    static mxtest::RunResult mx(const std::string& args, const std::string& env = "")
    {
        return mxtest::run(env + (env.empty() ? "" : " ") + MXADMIN_BIN + " " + args);
    }

    // ok - a run that must succeed without a word.
    static void ok(const std::string& args, const std::string& env = "")
    {
        const mxtest::RunResult r = mx(args, env);
        EXPECT_EQ(0, r.status) << args << "\n" << r.err;
        EXPECT_EQ("", r.out) << args;
        EXPECT_EQ("", r.err) << args;
    }

    static void withPanel()
    {
        mxtest::startMariaDB();
        mxtest::sql(PANEL);
    }

    // users - every authentication row: address, clear, crypted, status.
    static std::string users()
    {
        return shell("sqlite3 -separator ' ' " + std::string(AUTH_DB) +
                     " \"SELECT u.name || '@' || d.name, ifnull(u.userPassword, '-'),"
                     " ifnull(u.cmusaslsecretPLAIN, '-'), u.status FROM users u"
                     " JOIN domains d ON d.id = u.dom_id ORDER BY 1\"")
            .out;
    }

    // authDomains - every domain row: name and status.
    static std::string authDomains()
    {
        return shell("sqlite3 -separator ' ' " + std::string(AUTH_DB) +
                     " 'SELECT name, status FROM domains ORDER BY 1'")
            .out;
    }

    // mailTree - every path below the mail root with its mode and owner.
    static std::string mailTree()
    {
        if (!mxtest::fileExists(MAIL_ROOT))
            return "";
        return shell(std::string("find ") + MAIL_ROOT +
                     " -mindepth 1 -printf '%P %M %u:%g\\n' | LC_ALL=C sort")
            .out;
    }

    static std::string home(const std::string& domain, const std::string& name)
    {
        return std::string(MAIL_ROOT) + "/" + domain + "/" + name;
    }

    // handlers - every registered handler: priority, template, type, value,
    // hook and whether its queue marker is there.
    static std::string handlers()
    {
        std::vector<std::string> out;
        DIR* dir = opendir(HANDLERS_INFO);
        if (dir == nullptr)
            return "";
        while (struct dirent* e = readdir(dir)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..")
                continue;
            const std::string base = std::string(HANDLERS_INFO) + "/" + name + "/";
            const std::string type = firstLine(base + "handler-type");
            const std::string hook = firstLine(base + "hook");
            const std::string value = firstLine(base + type);
            const size_t first = name.find('-'), last = name.rfind('-');
            const std::string marker =
                std::string(HANDLERS_QUEUE) + "/" + hook + "/" + type + "/" + value + "/" + name;
            out.push_back(name.substr(0, first) + " " + name.substr(first + 1, last - first - 1) +
                          " " + type + " " + value + " " + hook +
                          (mxtest::fileExists(marker) ? " on" : " off"));
        }
        closedir(dir);
        return lines(out);
    }

    static std::string firstLine(const std::string& path)
    {
        const std::string text = mxtest::readFile(path);
        return text.substr(0, text.find('\n'));
    }

    // addHandler - a recipient handler "filter" for an address, enabled.
    static void addHandler(const std::string& address)
    {
        ok("--add-handler --handler-name=filter --handler-type=recipient --handler-type-name=" +
           address + " --executable=/bin/true --context=ctx --hook=before-local --priority=10");
    }

    // standardState - info (quota 5000, password "secret", a handler) with
    // the mail aliases i1 and i2, which copy both; sales (password "other").
    void standardState()
    {
        ok("--add-mailname --domain-name=example.com --mailname=info --disk-quota=5000");
        ok("--add-mailname --domain-name=example.com --mailname=sales");
        ok("--add-mailbox --domain-name=example.com --mailname=info", "HSP_PASSWORD=secret");
        ok("--add-mailbox --domain-name=example.com --mailname=sales", "HSP_PASSWORD=other");
        addHandler("info@example.com");
        ok("--add-alias --domain-name=example.com --mailname=info --alias=i1");
        ok("--add-alias --domain-name=example.com --mailname=info --alias=i2");
    }

    // State - everything these commands change.
    struct State {
        Snapshot tables;
        std::string tree, users, domains, handlers, qmail;
        bool operator==(const State& o) const
        {
            return tables == o.tables && tree == o.tree && users == o.users &&
                   domains == o.domains && handlers == o.handlers && qmail == o.qmail;
        }
    };

    State state()
    {
        const std::string dotQmail = home("example.com", "info") + "/.qmail";
        return State{snapshot(), mailTree(),
                     users(),    authDomains(),
                     handlers(), mxtest::fileExists(dotQmail) ? mxtest::readFile(dotQmail) : ""};
    }
};

// The records that info and its two mail aliases make in "virtual".
Records infoVirtual()
{
    Records r{{"info@example.com", "info@example.com"}};
    for (const char* d : ALIAS_DOMAINS)
        r[std::string("info@") + d] = "info@example.com";
    for (const char* a : {"i1", "i2"}) {
        r[std::string(a) + "@example.com"] = "info@example.com";
        for (const char* d : ALIAS_DOMAINS)
            r[std::string(a) + "@" + d] = "info@example.com";
    }
    return r;
}

Records salesVirtual()
{
    Records r{{"sales@example.com", "sales@example.com"}};
    for (const char* d : ALIAS_DOMAINS)
        r[std::string("sales@") + d] = "sales@example.com";
    return r;
}

// The "virtual" records of the standard state.
Records standardVirtual()
{
    return merged({infoVirtual(), salesVirtual()});
}

// The authentication rows of the standard state.
std::vector<std::string> standardUsers()
{
    return concat({inAllDomains("info", "secret"), inAllDomains("i1", "secret"),
                   inAllDomains("i2", "secret"), inAllDomains("sales", "other")});
}

std::vector<std::string> standardHandlers()
{
    return {handlerLine("filter", "info@example.com"), handlerLine("filter", "i1@example.com"),
            handlerLine("filter", "i2@example.com")};
}

TEST_F(MailnameCommandsTest, AddMailnameMakesHomeQuotaAndRecordsInEveryAliasDomain)
{
    withPanel();
    ok("--add-mailname --domain-name=example.com --mailname=info --disk-quota=5000");
    // Without a quota the domain's default applies.
    ok("--add-mailname --domain-name=example.com --mailname=sales");

    Snapshot expected;
    expected["vmailbox"] = Records{{"info@example.com", "example.com/info/Maildir/"},
                                   {"sales@example.com", "example.com/sales/Maildir/"}};
    expected["virtual"] = merged({Records{{"info@example.com", "info@example.com"},
                                          {"info@alias1.com", "info@example.com"},
                                          {"info@alias2.com", "info@example.com"}},
                                  salesVirtual()});
    expected["virtual_domains"] = Records{};
    expected["aliases"] = Records{};
    EXPECT_EQ(expected, snapshot());

    EXPECT_EQ(lines(concat({{"example.com drwx------ root:root"},
                            homeEntries("example.com/info", true),
                            homeEntries("example.com/sales", true)})),
              mailTree());
    EXPECT_EQ("| true\n", mxtest::readFile(home("example.com", "info") + "/.qmail"));
    // The empty attachment store's own size counts against the quota.
    struct stat store;
    ASSERT_EQ(0, stat((home("example.com", "info") + "/@attachments").c_str(), &store));
    EXPECT_EQ(std::to_string(5000 - store.st_size) + "S,0C\n",
              mxtest::readFile(home("example.com", "info") + "/Maildir/maildirsize").substr(0, 9));
    EXPECT_EQ(std::to_string(3000 - store.st_size) + "S,0C\n",
              mxtest::readFile(home("example.com", "sales") + "/Maildir/maildirsize").substr(0, 9));
    // Creating a mail name sets no password.
    EXPECT_EQ("", users());
}

TEST_F(MailnameCommandsTest, InternationalDomainIsUsedInAsciiFormEverywhere)
{
    withPanel();
    const std::string domain = "b\xc3\xbc"
                               "cher.example";
    ok("--add-mailname --domain-name=" + domain + " --mailname=info --disk-quota=-1");
    ok("--add-redirect --domain-name=" + domain + " --mailname=info --redirect-email=boss@" +
       domain);
    ok("--add-mailbox --domain-name=" + domain + " --mailname=info", "HSP_PASSWORD=pw");
    EXPECT_EQ((Records{{"info@xn--bcher-kva.example", "xn--bcher-kva.example/info/Maildir/"}}),
              dump("vmailbox"));
    EXPECT_EQ((Records{{"info@xn--bcher-kva.example", "info@xn--bcher-kva.example"}}),
              dump("virtual"));
    EXPECT_EQ("| true\n&boss@xn--bcher-kva.example\n| /usr/bin/deliverquota ./Maildir\n",
              mxtest::readFile(home("xn--bcher-kva.example", "info") + "/.qmail"));
    EXPECT_EQ("0S,0C\n",
              mxtest::readFile(home("xn--bcher-kva.example", "info") + "/Maildir/maildirsize")
                  .substr(0, 6));
    EXPECT_EQ(userRow("info@xn--bcher-kva.example", "pw") + "\n", users());

    // The forward goes away given in either form.
    ok("--remove-redirect --domain-name=" + domain +
       " --mailname=info --redirect-email=boss@xn--bcher-kva.example");
    EXPECT_EQ("| true\n| /usr/bin/deliverquota ./Maildir\n",
              mxtest::readFile(home("xn--bcher-kva.example", "info") + "/.qmail"));
}

TEST_F(MailnameCommandsTest, MailAliasesCopyCredentialsAndHandlers)
{
    withPanel();
    standardState();
    EXPECT_EQ(standardVirtual(), dump("virtual"));
    EXPECT_EQ(lines(standardUsers()), users());
    EXPECT_EQ(lines(standardHandlers()), handlers());

    ok("--remove-alias --domain-name=example.com --mailname=info --alias=i1");
    Records virt = standardVirtual();
    virt.erase("i1@example.com");
    for (const char* d : ALIAS_DOMAINS)
        virt.erase(std::string("i1@") + d);
    EXPECT_EQ(virt, dump("virtual"));
    EXPECT_EQ(lines(concat({inAllDomains("info", "secret"), inAllDomains("i2", "secret"),
                            inAllDomains("sales", "other")})),
              users());
    EXPECT_EQ((lines({handlerLine("filter", "info@example.com"),
                      handlerLine("filter", "i2@example.com")})),
              handlers());

    // An alias that does not exist: nothing to do, success.
    const State before = state();
    ok("--remove-alias --domain-name=example.com --mailname=info --alias=nobody");
    EXPECT_TRUE(before == state());
}

TEST_F(MailnameCommandsTest, SetPasswordReachesMailAliasesAndAliasDomains)
{
    withPanel();
    standardState();
    ok("--set-password --domain-name=example.com --mailname=info", "HSP_PASSWORD=new");
    EXPECT_EQ(lines(concat({inAllDomains("info", "new"), inAllDomains("i1", "new"),
                            inAllDomains("i2", "new"), inAllDomains("sales", "other")})),
              users());

    // The crypted variable alone: the other column, and the clear one emptied.
    ok("--set-password --domain-name=example.com --mailname=info",
       "HSP_CRYPTED_PASSWORD='$1$ab$xyz'");
    const std::vector<std::string> crypted =
        concat({inAllDomains("info", "-", "$1$ab$xyz"), inAllDomains("i1", "-", "$1$ab$xyz"),
                inAllDomains("i2", "-", "$1$ab$xyz")});
    EXPECT_EQ(lines(concat({crypted, inAllDomains("sales", "other")})), users());

    // Both: the clear-text one wins.
    ok("--set-password --domain-name=example.com --mailname=sales",
       "HSP_PASSWORD=clear HSP_CRYPTED_PASSWORD=crypt");
    EXPECT_EQ(lines(concat({crypted, inAllDomains("sales", "clear")})), users());

    // An empty variable counts as none, and no password removes the credentials.
    ok("--set-password --domain-name=example.com --mailname=info", "HSP_PASSWORD=");
    EXPECT_EQ(lines(inAllDomains("sales", "clear")), users());
}

TEST_F(MailnameCommandsTest, ChildrenInheritNoPassword)
{
    withPanel();
    standardState();
    // The handler store's sync program runs on each handler change of the
    // move; it records that it ran and which password variables it inherited.
    mxtest::installScript(TMPFS_SYNC, "echo ran >>/run/sync-env\n"
                                      "env | grep '^HSP_' >>/run/sync-env\nexit 0\n");
    ok("--rename-mailname --domain-name=example.com --old-mailname=info --new-mailname=office",
       "HSP_PASSWORD=clear HSP_CRYPTED_PASSWORD=crypt");
    const std::string seen = mxtest::readFile("/run/sync-env");
    ASSERT_NE("", seen);
    for (size_t at = 0; at < seen.size(); at = seen.find('\n', at) + 1)
        EXPECT_EQ("ran", seen.substr(at, seen.find('\n', at) - at));
}

TEST_F(MailnameCommandsTest, MailboxSwitchesDeliveryAndCredentials)
{
    withPanel();
    standardState();
    const std::string qmail = home("example.com", "info") + "/.qmail";
    EXPECT_EQ("| true\n| /usr/bin/deliverquota ./Maildir\n", mxtest::readFile(qmail));

    ok("--remove-mailbox --domain-name=example.com --mailname=info");
    EXPECT_EQ("| true\n", mxtest::readFile(qmail));
    // The mail name and its mail aliases lose their credentials everywhere.
    EXPECT_EQ(lines(inAllDomains("sales", "other")), users());
    EXPECT_EQ(standardVirtual(), dump("virtual"));

    // Without a password delivery is switched on all the same, and no row is made.
    ok("--add-mailbox --domain-name=example.com --mailname=info");
    EXPECT_EQ("| true\n| /usr/bin/deliverquota ./Maildir\n", mxtest::readFile(qmail));
    EXPECT_EQ(lines(inAllDomains("sales", "other")), users());
    EXPECT_EQ(0600, mxtest::fileMode(qmail));
    EXPECT_EQ("popuser:popuser", mxtest::fileOwner(qmail));
}

TEST_F(MailnameCommandsTest, MailDomainDisabledSwitchMarksNewAuthDomainsOnly)
{
    withPanel();
    ok("--add-mailname --domain-name=other.com --mailname=x");
    ok("--add-mailbox -D --domain-name=other.com --mailname=x", "HSP_PASSWORD=p");
    ok("--add-mailname --domain-name=example.com --mailname=info");
    ok("--add-mailbox --domain-name=example.com --mailname=info", "HSP_CRYPTED_PASSWORD=c");
    ok("--set-password --mail-domain-disabled --domain-name=example.com --mailname=info",
       "HSP_CRYPTED_PASSWORD=d");
    EXPECT_EQ("alias1.com 0\nalias2.com 0\nexample.com 0\nother.com 1\n", authDomains());
    // The password reached info's mail aliases too.
    EXPECT_EQ(lines(concat({{userRow("x@other.com", "p")},
                            inAllDomains("info", "-", "d"),
                            inAllDomains("i1", "-", "d"),
                            inAllDomains("i2", "-", "d")})),
              users());
}

TEST_F(MailnameCommandsTest, RemoveMailnameTakesEverythingButTheMailAliasRecords)
{
    withPanel();
    standardState();
    addHandler("info@alias1.com");
    addHandler("i2@alias2.com");
    addHandler("sales@example.com");
    ok("--remove-mailname --domain-name=example.com --mailname=info");

    EXPECT_EQ((Records{{"sales@example.com", "example.com/sales/Maildir/"}}), dump("vmailbox"));
    Records virt = standardVirtual();
    virt.erase("info@example.com");
    for (const char* d : ALIAS_DOMAINS)
        virt.erase(std::string("info@") + d);
    EXPECT_EQ(virt, dump("virtual"));
    // The home is gone and no backup of it is left behind.
    EXPECT_EQ(lines(concat(
                  {{"example.com drwx------ root:root"}, homeEntries("example.com/sales", true)})),
              mailTree());
    EXPECT_EQ(lines(inAllDomains("sales", "other")), users());
    EXPECT_EQ((lines({handlerLine("filter", "sales@example.com")})), handlers());
}

// renamedVirtual - the standard "virtual" after renaming info to office,
// with or without its alias domain addresses renamed too.
Records renamedVirtual(bool aliasDomainKeys)
{
    Records virt = salesVirtual();
    for (const auto& r : infoVirtual()) {
        std::string key = r.first;
        if (key == "info@example.com" || (aliasDomainKeys && key.compare(0, 5, "info@") == 0))
            key = "office@" + key.substr(5);
        virt[key] = "office@example.com";
    }
    return virt;
}

// The handlers after renaming info to office.
std::vector<std::string> renamedHandlers()
{
    return {handlerLine("filter", "office@example.com"), handlerLine("filter", "i1@example.com"),
            handlerLine("filter", "i2@example.com")};
}

class RenameCommandTest : public MailnameCommandsTest {
protected:
    static constexpr const char* RENAME =
        "--rename-mailname --domain-name=example.com --old-mailname=info --new-mailname=office";

    // expectRenamed - tables, mail tree, rows and handlers after renaming info
    // to office in the standard state, with a password or without.
    void expectRenamed(bool password)
    {
        EXPECT_EQ((Records{{"office@example.com", "example.com/office/Maildir/"},
                           {"sales@example.com", "example.com/sales/Maildir/"}}),
                  dump("vmailbox"));
        EXPECT_EQ(renamedVirtual(password), dump("virtual"));
        EXPECT_EQ(lines(concat({{"example.com drwx------ root:root"},
                                homeEntries("example.com/office", true),
                                homeEntries("example.com/sales", true)})),
                  mailTree());
        // With a password the rows are renamed (the password itself is not
        // stored); without, the old name's rows go and none are made.
        std::vector<std::string> rows =
            concat({inAllDomains("i1", "secret"), inAllDomains("i2", "secret"),
                    inAllDomains("sales", "other")});
        if (password)
            rows = concat({rows, inAllDomains("office", "secret")});
        EXPECT_EQ(lines(rows), users());
        EXPECT_EQ(lines(renamedHandlers()), handlers());
    }
};

TEST_F(RenameCommandTest, WithPasswordRenamesCredentialsAndAliasDomainAddresses)
{
    withPanel();
    standardState();
    ok("--add-redirect --domain-name=example.com --mailname=info --redirect-email=x@other.com");
    ok(RENAME, "HSP_PASSWORD=ignored");
    expectRenamed(true);
    EXPECT_EQ("| true\n| /usr/bin/deliverquota ./Maildir\n&x@other.com\n",
              mxtest::readFile(home("example.com", "office") + "/.qmail"));
}

TEST_F(RenameCommandTest, WithoutPasswordDropsCredentialsAndKeepsAliasDomainKeys)
{
    withPanel();
    standardState();
    ok(RENAME);
    expectRenamed(false);
}

TEST_F(RenameCommandTest, OfADomainUnknownToAuthPassesOnMinusOne)
{
    withPanel();
    standardState();
    shell(std::string("sqlite3 ") + AUTH_DB + " \"DELETE FROM domains WHERE name='example.com'\"");
    const mxtest::RunResult r = mx(RENAME, "HSP_PASSWORD=x");
    EXPECT_EQ(255, r.status);
    EXPECT_NE(std::string::npos,
              r.err.find("No such domain 'example.com' in the mail authentication DB"))
        << r.err;
    // The alias domains were still done, tables and rows; the handlers stayed.
    EXPECT_EQ(renamedVirtual(true), dump("virtual"));
    std::vector<std::string> rows;
    for (const char* d : ALIAS_DOMAINS)
        for (const char* n : {"office", "i1", "i2"})
            rows.push_back(userRow(std::string(n) + "@" + d, "secret"));
    for (const char* d : ALIAS_DOMAINS)
        rows.push_back(userRow(std::string("sales@") + d, "other"));
    EXPECT_EQ(lines(rows), users());
    EXPECT_EQ(lines(standardHandlers()), handlers());
}

// How far a rename got before it was killed, after moving the mail home.
struct KilledRename {
    const char* name;
    bool password;
    std::string authSql;     // what the killed run did to the authentication rows
    int aliasDomainsRenamed; // and in how many alias domains it renamed info in "virtual"
};

void PrintTo(const KilledRename& k, std::ostream* out)
{
    *out << k.name;
}

class RenameRerunTest : public RenameCommandTest,
                        public ::testing::WithParamInterface<KilledRename> {};

TEST_P(RenameRerunTest, FinishesTheRenameAfterAKillPastTheHome)
{
    const KilledRename& killed = GetParam();
    withPanel();
    standardState();
    // The tables and the home as the killed run left them.
    ostra::mail::postfix::MailnameManager::renameMailname("example.com", "info", "office");
    if (!killed.authSql.empty())
        shell(std::string("sqlite3 ") + AUTH_DB + " \"" + killed.authSql + "\"");
    for (int i = 0; i < killed.aliasDomainsRenamed; ++i)
        ostra::mail::postfix::MailnameManager::renameMailnameOnDomainAlias(ALIAS_DOMAINS[i], "info",
                                                                           "office");
    ok(RENAME, killed.password ? "HSP_PASSWORD=ignored" : "");
    expectRenamed(killed.password);
}

// renameIn - the killed run's credential rename in one domain.
std::string renameIn(const std::string& domain)
{
    return "UPDATE users SET name='office' WHERE name='info' AND "
           "dom_id=(SELECT id FROM domains WHERE name='" +
           domain + "');";
}

INSTANTIATE_TEST_SUITE_P(
    Stages, RenameRerunTest,
    ::testing::Values(
        KilledRename{"HomeMoved", true, "", 0},
        KilledRename{"DomainCredentialsRenamed", true, renameIn("example.com"), 0},
        KilledRename{"OneAliasDomainDone", true, renameIn("example.com") + renameIn("alias1.com"),
                     1},
        KilledRename{"OnlyHandlersLeft", true,
                     renameIn("example.com") + renameIn("alias1.com") + renameIn("alias2.com"), 2},
        KilledRename{"HomeMovedWithoutPassword", false, "", 0},
        KilledRename{"CredentialsDroppedWithoutPassword", false,
                     "DELETE FROM users WHERE name='info';", 0}),
    [](const ::testing::TestParamInfo<KilledRename>& info) { return info.param.name; });

// A rename whose mail home cannot be moved, and why.
struct HomeTrouble {
    const char* name;
    const char* prepare; // shell command run in the domain's mail root
};

void PrintTo(const HomeTrouble& t, std::ostream* out)
{
    *out << t.name;
}

class RenameHomeTroubleTest : public RenameCommandTest,
                              public ::testing::WithParamInterface<HomeTrouble> {};

TEST_P(RenameHomeTroubleTest, FailsAndRestoresTheTables)
{
    withPanel();
    standardState();
    shell("cd " + std::string(MAIL_ROOT) + "/example.com && " + GetParam().prepare);
    const State before = state();
    record();
    const mxtest::RunResult r = mx(RENAME, "HSP_PASSWORD=x");
    const std::string runs = recorded();
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("Fatal error: ")) << r.err;
    EXPECT_NE("", runs) << "the tables were rewritten and restored";
    EXPECT_TRUE(before == state());
}

INSTANTIATE_TEST_SUITE_P(
    Homes, RenameHomeTroubleTest,
    ::testing::Values(HomeTrouble{"NewHomeOccupied", "mkdir -p office/keep"},
                      HomeTrouble{"OldHomeMissing", "rm -r info"},
                      // The tables still name info: no earlier run got this far.
                      HomeTrouble{"OldHomeMissingNewHomeThere", "rm -r info && mkdir office"}),
    [](const ::testing::TestParamInfo<HomeTrouble>& info) { return info.param.name; });

TEST_F(MailnameCommandsTest, QuotaFileFollowsTheAttachmentStore)
{
    withPanel();
    ok("--add-mailname --domain-name=example.com --mailname=info");
    const std::string attachments = home("example.com", "info") + "/@attachments";
    mxtest::writeFile(attachments + "/file", std::string(300, 'a'));
    struct stat dir, file;
    ASSERT_EQ(0, stat(attachments.c_str(), &dir));
    ASSERT_EQ(0, stat((attachments + "/file").c_str(), &file));
    const long long stored = static_cast<long long>(dir.st_size + file.st_size);
    const std::string warning =
        "WARNING: @attachments directory is big enough to disable delivery!";

    struct Case {
        long long quota;
        long long written;
        bool warns;
    };
    const Case cases[] = {
        {stored + 900, 900, false},
        {stored, 1, false},
        {stored - 1, 1, true},
        {0, 1, true},
        {-1, 0, false},
        {-5000, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("quota " + std::to_string(c.quota));
        const mxtest::RunResult r =
            mx("--set-mailbox-disk-quota --domain-name=example.com --mailname=info "
               "--disk-quota=" +
               std::to_string(c.quota));
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ(c.warns, r.err.find(warning) != std::string::npos) << r.err;
        const std::string file =
            mxtest::readFile(home("example.com", "info") + "/Maildir/maildirsize");
        EXPECT_EQ(std::to_string(c.written) + "S,0C", file.substr(0, file.find('\n')));
    }
}

TEST_F(MailnameCommandsTest, MailboxSizeCountsMessagesAndAttachments)
{
    withPanel();
    ok("--add-mailname --domain-name=example.com --mailname=info --disk-quota=-1");
    const std::string maildir = home("example.com", "info") + "/Maildir";
    mxtest::writeFile(maildir + "/cur/1.a,S=1000:2,S", "x");
    mxtest::writeFile(maildir + "/new/2.b,S=500", "y");
    mxtest::writeFile(maildir + "/cur/3.c", std::string(123, 'z'));
    mxtest::writeFile(maildir + "/.Spam/cur/4.d,S=10", "s");
    // Never counted: tmp and the Trash folder.
    mxtest::writeFile(maildir + "/tmp/5.e,S=9999", "t");
    mxtest::makeDirs(maildir + "/.Trash/cur");
    mxtest::writeFile(maildir + "/.Trash/cur/6.f,S=7777", "t");
    const std::string attachments = home("example.com", "info") + "/@attachments";
    mxtest::writeFile(attachments + "/doc.pdf", std::string(5000, 'p'));
    struct stat dir, file;
    ASSERT_EQ(0, stat(attachments.c_str(), &dir));
    ASSERT_EQ(0, stat((attachments + "/doc.pdf").c_str(), &file));
    const long long messages = 1000 + 500 + 123 + 10;
    const long long bytes = messages + dir.st_size + file.st_size;
    const long long blocks = messages + (dir.st_blocks + file.st_blocks) * 512LL;

    // The quota file written at creation knows no messages: without it the
    // folders are scanned; rewritten, it holds the same count.
    ASSERT_EQ(0, ::unlink((maildir + "/maildirsize").c_str()));
    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass == 0 ? "scanned" : "from maildirsize");
        mxtest::RunResult r = mx("--get-mailbox-size --domain-name=example.com --mailname=info");
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ(std::to_string(bytes), r.out);
        r = mx("--get-mailbox-size --in-blocks --domain-name=example.com --mailname=info");
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ(std::to_string(blocks), r.out);
        ok("--set-mailbox-disk-quota --domain-name=example.com --mailname=info --disk-quota=-1");
    }

    // A mailbox that does not exist cannot be measured.
    const mxtest::RunResult r =
        mx("--get-mailbox-size --domain-name=example.com --mailname=nobody");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("Unable to calculate Maildir++ size")) << r.err;
}

TEST_F(MailnameCommandsTest, ForwardsAreKeptOnceInTheirLastOrder)
{
    withPanel();
    standardState();
    const std::string qmail = home("example.com", "info") + "/.qmail";
    for (const char* to : {"a@other.com", "b@other.com", "a@other.com"})
        ok(std::string("--add-redirect --domain-name=example.com --mailname=info "
                       "--redirect-email=") +
           to);
    EXPECT_EQ("| true\n| /usr/bin/deliverquota ./Maildir\n&b@other.com\n&a@other.com\n",
              mxtest::readFile(qmail));
    ok("--remove-redirect --domain-name=example.com --mailname=info --redirect-email=b@other.com");
    ok("--remove-redirect --domain-name=example.com --mailname=info --redirect-email=c@other.com");
    EXPECT_EQ("| true\n| /usr/bin/deliverquota ./Maildir\n&a@other.com\n", mxtest::readFile(qmail));
}

TEST_F(MailnameCommandsTest, AutoresponderHandlersForListsOfNamesAndDomains)
{
    withPanel();
    mxtest::installScript(AUTORESPONDER, "exit 0\n");
    ok("--set-autoresponder --domain-name=example.com --mailname='info, sales'");
    ok("--set-autoresponder --domain-name=example.com --mailname=info");
    const std::string both = lines({handlerLine("autoresponder", "info@example.com", true, "90"),
                                    handlerLine("autoresponder", "sales@example.com", true, "90")});
    EXPECT_EQ(both, handlers());

    ok("--reset-autoresponder --domain-name=example.com --mailname=info");
    EXPECT_EQ((lines({handlerLine("autoresponder", "sales@example.com", true, "90")})), handlers());
    // Resetting what is not set is no error.
    ok("--reset-autoresponder --domain-name=example.com --mailname=info");

    // Without the hook program nothing can be added: the -1 comes through.
    ASSERT_EQ(0, ::unlink(AUTORESPONDER));
    const mxtest::RunResult r = mx("--set-autoresponder --domain-name=example.com --mailname=info");
    EXPECT_EQ(255, r.status);
    EXPECT_NE(std::string::npos,
              r.err.find("Unable to make action for some autoresponder handlers"))
        << r.err;
    EXPECT_EQ((lines({handlerLine("autoresponder", "sales@example.com", true, "90")})), handlers());
}

// Bad input: each run fails with status 1 before anything is touched.
struct BadInput {
    const char* args;
    const char* env;
    const char* message;
};

const BadInput BAD_INPUTS[] = {
    {"--add-mailname --domain-name=example.com --mailname=a..b", "",
     "Fatal error: std::invalid_argument(a..b)"},
    {"--remove-mailname --domain-name=example.com --mailname=..", "",
     "Fatal error: std::invalid_argument(..)"},
    {"--remove-mailname --domain-name=example.com --mailname ''", "", "invalid mail name ''"},
    {"--remove-mailname --domain-name=example.com --mailname=.", "", "invalid mail name '.'"},
    {"--rename-mailname --domain-name=example.com --old-mailname=info --new-mailname=a/b",
     "HSP_PASSWORD=x", "invalid mail name 'a/b'"},
    {"--rename-mailname --domain-name=example.com --old-mailname=in..fo --new-mailname=x", "",
     "std::invalid_argument(in..fo)"},
    {"--add-mailbox --domain-name=example.com --mailname=../info", "HSP_PASSWORD=x",
     "std::invalid_argument(../info)"},
    {"--remove-mailbox --domain-name=example.com --mailname=/etc", "", "invalid mail name '/etc'"},
    {"--set-password --domain-name=example.com --mailname=i..1", "HSP_PASSWORD=x",
     "std::invalid_argument(i..1)"},
    {"--set-mailbox-disk-quota --domain-name=example.com --mailname=. --disk-quota=1", "",
     "invalid mail name '.'"},
    {"--get-mailbox-size --domain-name=example.com --mailname=.", "", "invalid mail name '.'"},
    {"--add-redirect --domain-name=example.com --mailname=.. --redirect-email=x@other.com", "",
     "invalid mail name '..'"},
    {"--remove-redirect --domain-name=example.com --mailname=info/.. "
     "--redirect-email=x@other.com",
     "", "invalid mail name 'info/..'"},
    {"--add-alias --domain-name=example.com --mailname=info --alias=../../x", "",
     "invalid mail alias '../../x'"},
    {"--remove-alias --domain-name=example.com --mailname=info --alias=i1/..", "",
     "invalid mail alias 'i1/..'"},
    {"--set-autoresponder --domain-name=example.com --mailname='sales, ../info'", "",
     "invalid mail name '../info'"},
    {"--reset-autoresponder --domain-name='example.com a/b' --mailname=info", "",
     "invalid domain name 'a/b'"},
    {"--add-mailname --domain-name=exa/mple.com --mailname=x", "",
     "invalid domain name 'exa/mple.com'"},
    {"--add-mailname --domain-name=../example.com --mailname=x", "", "IdnaError"},
    // A line feed or blank would make more than one table record or delivery line.
    {"--add-alias --domain-name=example.com --mailname=info --alias='a\nroot@example.com x'", "",
     "invalid mail alias 'a\nroot@example.com x'"},
    {"--add-mailname --domain-name=example.com --mailname='a b'", "", "invalid mail name 'a b'"},
    {"--add-redirect --domain-name=example.com --mailname=info --redirect-email='x@y.com\n|sh'", "",
     "invalid e-mail address 'x@y.com\n|sh'"},
    {"--add-alias --domain-name=example.com --mailname=info", "",
     "mandatory option \"--alias\" is not specified"},
    {"--set-password", "HSP_PASSWORD=x", "mandatory option \"--mailname\" is not specified"},
    {"--set-mailbox-disk-quota --domain-name=example.com --mailname=info --disk-quota=lots", "",
     "'--disk-quota' is invalid"},
    {"--add-mailname --domain=example.com --mailname=x", "", "unrecognised option '--domain="},
};

TEST_F(MailnameCommandsTest, BadInputChangesNothing)
{
    withPanel();
    standardState();
    mxtest::installScript(AUTORESPONDER, "exit 0\n");
    const State before = state();
    for (const BadInput& bad : BAD_INPUTS) {
        SCOPED_TRACE(bad.args);
        record();
        const mxtest::RunResult r = mx(bad.args, bad.env);
        EXPECT_EQ("", recorded()) << "postmap ran";
        EXPECT_EQ(1, r.status);
        EXPECT_NE(std::string::npos, r.err.find(bad.message)) << r.err;
        // What can change without postmap; the tables once at the end.
        EXPECT_EQ(before.tree, mailTree());
        EXPECT_EQ(before.users, users());
        EXPECT_EQ(before.handlers, handlers());
    }
    EXPECT_TRUE(before == state());
}

// Each command whose first authentication step fails.
struct AuthFailure {
    const char* args;
    const char* env;
};

TEST_F(MailnameCommandsTest, AuthDatabaseWithoutSchemaStopsBeforeTheTables)
{
    withPanel();
    standardState();
    const State before = state();
    const AuthFailure cases[] = {
        {"--remove-mailname --domain-name=example.com --mailname=info", ""},
        {"--set-password --domain-name=example.com --mailname=info", "HSP_PASSWORD=x"},
    };
    for (const AuthFailure& c : cases) {
        SCOPED_TRACE(c.args);
        shell(std::string("mv ") + AUTH_DB + " " + AUTH_DB + ".good && : >" + AUTH_DB);
        record();
        const mxtest::RunResult r = mx(c.args, c.env);
        EXPECT_EQ("", recorded()) << "postmap ran";
        shell(std::string("mv ") + AUTH_DB + ".good " + AUTH_DB);
        EXPECT_EQ(1, r.status);
        EXPECT_NE(std::string::npos, r.err.find("Unable to prepare SQL statement")) << r.err;
        EXPECT_TRUE(before == state());
    }

    // Switching the mailbox off comes first, then the credentials fail.
    shell(std::string("mv ") + AUTH_DB + " " + AUTH_DB + ".good && : >" + AUTH_DB);
    const mxtest::RunResult r = mx("--remove-mailbox --domain-name=example.com --mailname=info");
    shell(std::string("mv ") + AUTH_DB + ".good " + AUTH_DB);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("| true\n", mxtest::readFile(home("example.com", "info") + "/.qmail"));
    EXPECT_EQ(lines(standardUsers()), users());
}

TEST_F(MailnameCommandsTest, PanelDatabaseUnreachable)
{
    withPanel();
    standardState();
    mxtest::stopMariaDB();
    const State before = state();

    // Removing needs the alias domains before the tables are touched; only
    // the row in the domain itself is gone by then.
    record();
    mxtest::RunResult r = mx("--remove-mailname --domain-name=example.com --mailname=info");
    EXPECT_EQ("", recorded());
    EXPECT_EQ(1, r.status);
    State after = state();
    std::vector<std::string> rows = standardUsers();
    rows.erase(std::find(rows.begin(), rows.end(), userRow("info@example.com", "secret")));
    EXPECT_EQ(lines(rows), after.users);
    after.users = before.users;
    EXPECT_TRUE(before == after);

    // A new mail alias gets its records in the domain and the handler copy,
    // but no credentials.
    r = mx("--add-alias --domain-name=example.com --mailname=info --alias=i3");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(merged({standardVirtual(), {{"i3@example.com", "info@example.com"}}}),
              dump("virtual"));
    EXPECT_EQ(lines(concat({standardHandlers(), {handlerLine("filter", "i3@example.com")}})),
              handlers());
    EXPECT_EQ(lines(rows), users());

    // A password reaches the domain, then the alias domains cannot be found.
    r = mx("--set-password --domain-name=example.com --mailname=sales", "HSP_PASSWORD=new");
    EXPECT_EQ(1, r.status);
    std::replace(rows.begin(), rows.end(), userRow("sales@example.com", "other"),
                 userRow("sales@example.com", "new"));
    EXPECT_EQ(lines(rows), users());

    // Without a quota the domain default cannot be read: the home stays,
    // the records are not written.
    r = mx("--add-mailname --domain-name=example.com --mailname=new");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("unable to remove quota")) << r.err;
    EXPECT_TRUE(mxtest::fileExists(home("example.com", "new") + "/Maildir"));
    EXPECT_EQ(0u, dump("vmailbox").count("new@example.com"));
    // With one, the mail name is made in the domain alone.
    r = mx("--add-mailname --domain-name=example.com --mailname=new2 --disk-quota=100");
    EXPECT_EQ(0, r.status) << r.err;
    const Records virt = dump("virtual");
    EXPECT_EQ("new2@example.com", virt.at("new2@example.com"));
    EXPECT_EQ(0u, virt.count("new2@alias1.com"));
}

// Help texts: title, synopsis and the options in declaration order.
struct Help {
    const char* command;
    const char* title;
    std::string synopsis;
    std::vector<const char*> options; // "name" or "name (mandatory)", in order
};

TEST(MailnameCommandsHelp, TitleSynopsisAndOptionsInOrder)
{
    const char* const pw =
        "\n        The noncrypted password is transferred in the environment variable "
        "HSP_PASSWORD,\n        or crypted password is transferred in the environment "
        "variable HSP_CRYPTED_PASSWORD";
    const std::string dm = "--domain-name=<domain_name> --mailname=<mail_name>";
    const Help helps[] = {
        {"--add-mailname",
         "add a mailname",
         "--add-mailname " + dm + " [--disk-quota=<quota>]",
         {"--domain-name arg  domain name (mandatory)", "--mailname arg  mailname (mandatory)",
          "--disk-quota arg  disk quota"}},
        {"--remove-mailname",
         "remove a mailname",
         "--remove-mailname " + dm,
         {"domain name (mandatory)", "mailname (mandatory)"}},
        {"--rename-mailname",
         "rename a mailname",
         "--rename-mailname --domain-name=<domain_name> --old-mailname=<old_mail_name> "
         "--new-mailname=<new_mail_name> [--mail-domain-disabled|-D]",
         {"--domain-name arg", "--old-mailname arg  old mailname (mandatory)",
          "--new-mailname arg  new mailname (mandatory)",
          "-D [ --mail-domain-disabled ]  the domain is disabled (currently unused)"}},
        {"--add-mailbox",
         "add mailname's mailbox",
         "--add-mailbox " + dm + " [--mail-domain-disabled|-D]" + pw,
         {"--domain-name arg", "--mailname arg", "-D [ --mail-domain-disabled ]"}},
        {"--remove-mailbox",
         "remove mailname's mailbox",
         "--remove-mailbox " + dm,
         {"--domain-name arg", "--mailname arg"}},
        {"--set-password",
         "set mailname's password",
         "--set-password " + dm + " [--mail-domain-disabled|-D]" + pw,
         {"--domain-name arg", "--mailname arg", "-D [ --mail-domain-disabled ]"}},
        {"--set-mailbox-disk-quota",
         "set mailbox disk quota",
         "--set-mailbox-disk-quota " + dm + " --disk-quota=<quota>",
         {"--domain-name arg", "--mailname arg", "disk quota (mandatory)"}},
        {"--get-mailbox-size",
         "get mailbox size",
         "--get-mailbox-size [--in-blocks] " + dm,
         {"--in-blocks  count result in blocks rather than bytes", "--domain-name arg",
          "--mailname arg"}},
        {"--add-alias",
         "add alias for a given mailname",
         "--add-alias " + dm + " --alias=<email_alias>",
         {"--domain-name arg", "--mailname arg", "--alias arg  alias email (mandatory)"}},
        {"--remove-alias",
         "remove alias for a given mailname",
         "--remove-alias " + dm + " --alias=<email_alias>",
         {"--domain-name arg", "--mailname arg", "--alias arg  alias email (mandatory)"}},
        {"--add-redirect",
         "add a redirect",
         "--add-redirect " + dm + " --redirect-email=<email>",
         {"--domain-name arg", "--mailname arg", "redirect email (mandatory)"}},
        {"--remove-redirect",
         "remove a given redirect",
         "--remove-redirect " + dm + " --redirect-email=<email>",
         {"--domain-name arg", "--mailname arg", "redirect email (mandatory)"}},
        {"--set-autoresponder",
         "add autoresponder for a given mailname",
         "--set-autoresponder " + dm,
         {"--domain-name arg", "--mailname arg"}},
        {"--reset-autoresponder",
         "remove autoresponder for a given mailname",
         "--reset-autoresponder " + dm,
         {"--domain-name arg", "--mailname arg"}},
    };
    for (const Help& h : helps) {
        SCOPED_TRACE(h.command);
        const mxtest::RunResult r = mxtest::mxadmin(std::string(h.command) + " -h");
        EXPECT_EQ(0, r.status);
        const std::string head = std::string(h.title) + "\nUsage: " + h.synopsis +
                                 "\nAllowed options to " + h.title + ":\n";
        EXPECT_EQ(head, r.out.substr(0, head.size()));
        // Squeeze the column padding so that the checks read like the help.
        std::string text;
        for (char c : r.out.substr(std::min(head.size(), r.out.size())))
            if (!(c == ' ' && !text.empty() && text.back() == ' ' && text.size() > 1 &&
                  text[text.size() - 2] == ' '))
                text += c;
        size_t at = 0;
        for (const char* option : h.options) {
            const size_t found = text.find(option, at);
            EXPECT_NE(std::string::npos, found) << option << " after " << at << " in\n" << text;
            if (found != std::string::npos)
                at = found;
        }
        EXPECT_NE(std::string::npos, text.find("-h [ --help ]  displays this help message", at))
            << text;
    }
}

} // namespace
