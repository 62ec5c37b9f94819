// domain_commands_systest.cc - the domain commands end to end: the built
// program against the real postmap, the mail authentication database at its
// Postfix place, the panel database, the handler store, DomainKeys keys and
// the mail tree of the sandbox.
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "mail/handlers/lib/handlers.h"
#include "mail/lib/mail_authenticate.h"
#include "manager_fixture.h"

namespace fs = boost::filesystem;
using namespace managertest;

namespace {

const char AUTH_DB[] = "/var/spool/postfix/ostra/passwd.db";
const char KEYS[] = "/etc/domainkeys";
const char TRIVIAL_REWRITE[] = "/usr/lib/postfix/trivial-rewrite";

// example.com has the alias domains alias1.com and alias2.com and the mail
// names info (mail aliases i1, i2, own quota unset) and sales (own quota 777);
// other.com has the mail name bob and no alias domain.
const char PANEL[] =
    "INSERT INTO domains (id, name) VALUES (1, 'example.com'), (2, 'other.com');"
    "INSERT INTO domainaliases (id, name, dom_id) VALUES"
    " (1, 'alias1.com', 1), (2, 'alias2.com', 1);"
    "INSERT INTO mail (id, mail_name, dom_id, mbox_quota) VALUES"
    " (1, 'info', 1, '-1'), (2, 'sales', 1, '777'), (3, 'bob', 2, '-1');"
    "INSERT INTO mail_aliases (id, mn_id, alias) VALUES (1, 1, 'i1'), (2, 1, 'i2');";

// The authentication rows of the panel above: example.com and its alias
// domains enabled, a disabled user with an encrypted password, other.com.
const char AUTH_ROWS[] =
    "INSERT INTO domains (name, status) VALUES ('example.com', 0), ('alias1.com', 0),"
    " ('alias2.com', 0), ('other.com', 0);"
    "INSERT INTO users (dom_id, name, userPassword, status) SELECT id, 'info', 'pw1', 0"
    " FROM domains WHERE name IN ('example.com', 'alias1.com', 'alias2.com');"
    "INSERT INTO users (dom_id, name, userPassword, status) SELECT id, 'i1', 'pw1', 0"
    " FROM domains WHERE name IN ('example.com', 'alias1.com', 'alias2.com');"
    "INSERT INTO users (dom_id, name, cmusaslsecretPLAIN, status) SELECT id, 'sales',"
    " '$1$xyz', 1 FROM domains WHERE name = 'example.com';"
    "INSERT INTO users (dom_id, name, userPassword, status) SELECT id, 'bob', 'pw2', 0"
    " FROM domains WHERE name = 'other.com';";

// The tables of a domain with mail names, alias domains and a catch-all.
Records exampleVirtual()
{
    return merged({standardAddresses("example.com"),
                   standardAddresses("alias1.com"),
                   standardAddresses("other.com"),
                   {{"alias1.com", "1"},
                    {"info@example.com", "info@example.com"},
                    {"i1@example.com", "info@example.com"},
                    {"info@alias1.com", "info@example.com"},
                    {"i1@alias1.com", "info@example.com"},
                    {"list@other.com", "bob@other.com, info@example.com"},
                    {"bob@other.com", "bob@other.com"},
                    {"@example.com", "catch@other.com"},
                    {"@alias1.com", "catch@other.com"}}});
}

Snapshot exampleTables()
{
    Snapshot s;
    s["virtual_domains"] = {{"example.com", "example.com/"}, {"other.com", "other.com/"}};
    s["virtual"] = exampleVirtual();
    s["vmailbox"] = {{"info@example.com", "example.com/info/Maildir/"},
                     {"bob@other.com", "other.com/bob/Maildir/"}};
    s["aliases"] = {};
    return s;
}

// ChildProcess - a program run in the background, killed at scope exit.
class ChildProcess {
public:
    ChildProcess(const std::string& path, const std::string& arg)
    {
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execl(path.c_str(), path.c_str(), arg.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~ChildProcess()
    {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }

    // signalled - the signal that ended the child within the time, else 0.
    int signalled(int tenthsOfSeconds)
    {
        for (int i = 0; i < tenthsOfSeconds; ++i) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                reaped_ = true;
                return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
            }
            ::usleep(100000);
        }
        return 0;
    }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
};

// AuthDB - an open connection to the authentication database, closed at scope exit.
class AuthDB {
public:
    AuthDB()
    {
        if (sqlite3_open_v2(AUTH_DB, &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("cannot open ") + AUTH_DB);
    }
    ~AuthDB() { sqlite3_close(db_); }
    AuthDB(const AuthDB&) = delete;
    AuthDB& operator=(const AuthDB&) = delete;

    // exec - run statements; the rows, one line each, columns joined by "|".
    std::vector<std::string> exec(const std::string& statements)
    {
        std::vector<std::string> rows;
        char* error = nullptr;
        if (sqlite3_exec(db_, statements.c_str(), addRow, &rows, &error) != SQLITE_OK) {
            std::string text = error != nullptr ? error : "unknown error";
            sqlite3_free(error);
            throw std::runtime_error(statements + ": " + text);
        }
        return rows;
    }

private:
    static int addRow(void* rows, int columns, char** values, char**)
    {
        std::string row;
        for (int i = 0; i < columns; ++i)
            row += std::string(i ? "|" : "") + (values[i] != nullptr ? values[i] : "NULL");
        static_cast<std::vector<std::string>*>(rows)->push_back(row);
        return 0;
    }

    sqlite3* db_ = nullptr;
};

typedef std::vector<std::string> Lines;

// joined - the arguments as one readable line.
std::string joined(const std::vector<std::string>& args)
{
    std::string line;
    for (const std::string& a : args)
        line += (line.empty() ? "" : " ") + mxtest::shellQuote(a);
    return line;
}

class DomainCommandTest : public ManagerTest {
protected:
    // mx - run the program with the arguments, each quoted for the shell.
    static mxtest::RunResult mx(const std::vector<std::string>& args)
    {
        return mxtest::mxadmin(joined(args));
    }

    static void withPanel()
    {
        mxtest::startMariaDB();
        mxtest::sql(PANEL);
    }

    // withAuth - the authentication database with its schema and the rows above.
    static void withAuth()
    {
        ASSERT_EQ(0, mailAuthDBCreate(AUTH_DB));
        AuthDB().exec(AUTH_ROWS);
    }

    // auth - every domain row ("domain|status") and user row
    // ("domain|name|clear|encrypted|status"), sorted.
    static Lines auth()
    {
        AuthDB db;
        Lines rows = db.exec("SELECT name, status FROM domains ORDER BY name");
        const Lines users =
            db.exec("SELECT d.name, u.name, u.userPassword, u.cmusaslsecretPLAIN, u.status"
                    " FROM users u JOIN domains d ON u.dom_id = d.id ORDER BY d.name, u.name");
        rows.insert(rows.end(), users.begin(), users.end());
        return rows;
    }

    void seedExample()
    {
        for (const auto& t : exampleTables())
            seed(t.first, t.second);
        for (const char* home : {"example.com/info", "other.com/bob"})
            mxtest::makeDirs(std::string(MAIL_ROOT) + "/" + home + "/Maildir");
    }

    // addHandler - an enabled before-queue handler of template tmpl; its name.
    static std::string addHandler(const char* type, const char* value, const char* tmpl = "flt")
    {
        EXPECT_EQ(0, mail_handler_add(tmpl, type, value, "/bin/true", "ctx", "before-queue", "10",
                                      HOOK_ENABLE));
        return registryNames().back();
    }

    static Lines registryNames()
    {
        Lines names;
        if (fs::is_directory(HANDLERS_INFO_ROOT))
            for (const auto& e : fs::directory_iterator(HANDLERS_INFO_ROOT))
                names.push_back(e.path().filename().string());
        return names;
    }

    // handlers - every registered handler as "type value template on|off", sorted.
    static Lines handlers()
    {
        Lines out;
        for (const std::string& name : registryNames()) {
            const std::string dir = std::string(HANDLERS_INFO_ROOT) + "/" + name;
            auto value = [&](const std::string& file) {
                std::string v = mxtest::readFile(dir + "/" + file);
                return v.substr(0, v.find('\n'));
            };
            const std::string type = value("handler-type");
            const std::string typeValue = value(type);
            const std::string tmpl =
                name.substr(name.find('-') + 1, name.rfind('-') - name.find('-') - 1);
            const std::string marker = std::string(HANDLERS_QUEUE_ROOT) + "/" + value("hook") +
                                       "/" + type + "/" + typeValue + "/" + name;
            out.push_back(type + " " + typeValue + " " + tmpl + " " +
                          (mxtest::fileExists(marker) ? "on" : "off"));
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    static std::string keyFile(const std::string& domain)
    {
        return std::string(KEYS) + "/" + domain + "/default";
    }

    static void setKey(const std::string& domain, const std::string& content)
    {
        mxtest::makeDirs(std::string(KEYS) + "/" + domain);
        mxtest::writeFile(keyFile(domain), content);
    }

    // keys - the domains holding a key, with its content, sorted.
    static Lines keys()
    {
        Lines out;
        if (fs::is_directory(KEYS))
            for (const auto& e : fs::directory_iterator(KEYS)) {
                const std::string d = e.path().filename().string();
                out.push_back(d + "=" +
                              (mxtest::fileExists(keyFile(d)) ? mxtest::readFile(keyFile(d))
                                                              : std::string("-")));
            }
        std::sort(out.begin(), out.end());
        return out;
    }

    // quotaLine - the first line of a mailbox's quota file, "" without one.
    static std::string quotaLine(const std::string& home)
    {
        const std::string path = std::string(MAIL_ROOT) + "/" + home + "/Maildir/maildirsize";
        if (!mxtest::fileExists(path))
            return "";
        const std::string text = mxtest::readFile(path);
        return text.substr(0, text.find('\n'));
    }
};

// ---- domains -----------------------------------------------------------

TEST_F(DomainCommandTest, AddDomainWritesRecordsAndMailRootAndSignalsTheRewriter)
{
    mxtest::makeDirs("/usr/lib/postfix/sbin");
    // The real rewriter's copy and a look-alike at another path: only the
    // exact path is signalled.
    mxtest::run(std::string("cp /bin/sleep ") + TRIVIAL_REWRITE +
                " && cp /bin/sleep /usr/lib/postfix/sbin/trivial-rewrite");
    ChildProcess rewriter(TRIVIAL_REWRITE, "60");
    ChildProcess lookAlike("/usr/lib/postfix/sbin/trivial-rewrite", "60");
    ASSERT_TRUE(rewriter.started() && lookAlike.started());
    ::usleep(100000); // until both have exec'ed

    const mxtest::RunResult r = mx({"--add-domain", "--domain-name=b\xc3\xbc"
                                                    "cher.de"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.out);
    EXPECT_EQ(SIGINT, rewriter.signalled(50));
    EXPECT_EQ(0, lookAlike.signalled(3));

    Snapshot expected;
    expected["virtual_domains"] = {{"xn--bcher-kva.de", "xn--bcher-kva.de/"}};
    expected["virtual"] = standardAddresses("xn--bcher-kva.de");
    expected["vmailbox"] = {};
    expected["aliases"] = {};
    EXPECT_EQ(expected, snapshot());
    const std::string root = std::string(MAIL_ROOT) + "/xn--bcher-kva.de";
    EXPECT_EQ(0750, mxtest::fileMode(root));
    EXPECT_EQ("", listDir(root));
}

TEST_F(DomainCommandTest, AddDomainWithoutRewriterRunningAndWithQuota)
{
    withPanel();
    for (const char* home : {"info", "sales"})
        for (const char* sub : {"tmp", "cur", "new"})
            mxtest::makeDirs(std::string(MAIL_ROOT) + "/example.com/" + home + "/Maildir/" + sub);
    const mxtest::RunResult r =
        mx({"--add-domain", "--domain-name", "example.com", "--disk-quota=5000"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ("5000S,0C", quotaLine("example.com/info"));
    // A mailbox with its own quota in the panel keeps it.
    EXPECT_EQ("", quotaLine("example.com/sales"));
    EXPECT_EQ((Records{{"example.com", "example.com/"}}), dump("virtual_domains"));
}

TEST_F(DomainCommandTest, SetDomainDiskQuotaReachesMailboxesWithoutOwnQuota)
{
    withPanel();
    for (const char* home : {"info", "sales"})
        for (const char* sub : {"tmp", "cur", "new"})
            mxtest::makeDirs(std::string(MAIL_ROOT) + "/example.com/" + home + "/Maildir/" + sub);
    mxtest::RunResult r =
        mx({"--set-domain-disk-quota", "--domain-name=example.com", "--disk-quota=-1"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ("0S,0C", quotaLine("example.com/info"));
    EXPECT_EQ("", quotaLine("example.com/sales"));

    // Without the panel database no mailbox can be found: a failure, not a
    // silent success.
    mxtest::stopMariaDB();
    r = mx({"--set-domain-disk-quota", "--domain-name=example.com", "--disk-quota=100"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("unable to store domain quota")) << r.err;
    EXPECT_EQ("0S,0C", quotaLine("example.com/info"));
}

TEST_F(DomainCommandTest, RemoveDomainClearsTablesAuthMailRootAndHandlers)
{
    withPanel();
    withAuth();
    seedExample();
    addHandler("recipient-domain", "example.com");
    addHandler("recipient", "info@example.com");
    addHandler("recipient", "bob@other.com");

    const mxtest::RunResult r = mx({"--remove-domain", "--domain-name=example.com"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.out);

    Snapshot expected = exampleTables();
    expected["virtual_domains"].erase("example.com");
    expected["virtual"] = merged({standardAddresses("alias1.com"),
                                  standardAddresses("other.com"),
                                  {{"alias1.com", "1"},
                                   {"list@other.com", "bob@other.com"},
                                   {"bob@other.com", "bob@other.com"},
                                   {"@alias1.com", "catch@other.com"}}});
    expected["vmailbox"].erase("info@example.com");
    EXPECT_EQ(expected, snapshot());
    EXPECT_FALSE(mxtest::fileExists(std::string(MAIL_ROOT) + "/example.com"));
    EXPECT_TRUE(mxtest::fileExists(std::string(MAIL_ROOT) + "/other.com/bob"));
    // The domain and its alias domains leave the database with their users.
    EXPECT_EQ((Lines{"other.com|0", "other.com|bob|pw2|NULL|0"}), auth());
    EXPECT_EQ((Lines{"recipient bob@other.com flt on"}), handlers());
}

// AuthFailure - a command whose first step is the authentication database.
struct AuthFailure {
    const char* command;
    const char* message;
};

void PrintTo(const AuthFailure& f, std::ostream* os)
{
    *os << f.command;
}

class DomainAuthFailureTest : public DomainCommandTest,
                              public ::testing::WithParamInterface<AuthFailure> {};

TEST_P(DomainAuthFailureTest, BrokenAuthDatabaseLeavesEverythingUntouched)
{
    withPanel();
    seedExample();
    addHandler("recipient", "info@example.com");
    setKey("example.com", "KEY");
    // A database file without the schema.
    mxtest::writeFile(AUTH_DB, "");
    const Snapshot before = snapshot();
    const Lines handlersBefore = handlers();

    record();
    const mxtest::RunResult r = mx({GetParam().command, "--domain-name=example.com"});
    EXPECT_EQ("", recorded());
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find(GetParam().message)) << r.err;
    EXPECT_EQ(before, snapshot());
    EXPECT_EQ(handlersBefore, handlers());
    EXPECT_TRUE(mxtest::fileExists(std::string(MAIL_ROOT) + "/example.com/info/Maildir"));
    EXPECT_EQ((Lines{"example.com=KEY"}), keys());
}

INSTANTIATE_TEST_SUITE_P(
    Commands, DomainAuthFailureTest,
    ::testing::Values(
        AuthFailure{"--remove-domain", "Unable to remove auth record for domain example.com"},
        AuthFailure{"--turn-off-domain", "Unable to disable auth records for domain example.com"},
        AuthFailure{"--turn-on-domain", "Unable to enable auth records for domain example.com"}));

TEST_F(DomainCommandTest, RemoveDomainWithPanelDatabaseDownStopsBeforeTheTables)
{
    withPanel();
    withAuth();
    seedExample();
    mxtest::stopMariaDB();
    const Snapshot before = snapshot();
    const mxtest::RunResult r = mx({"--remove-domain", "--domain-name=example.com"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("Unable to get aliases for domain example.com"))
        << r.err;
    EXPECT_EQ(before, snapshot());
    EXPECT_TRUE(mxtest::fileExists(std::string(MAIL_ROOT) + "/example.com/info"));
    // The domain's own rows went before its alias domains could be looked up.
    const Lines rows = auth();
    EXPECT_EQ(rows.end(), std::find(rows.begin(), rows.end(), "example.com|0"));
    EXPECT_NE(rows.end(), std::find(rows.begin(), rows.end(), "alias1.com|0"));
}

TEST_F(DomainCommandTest, TurnOffAndOnSwitchTablesAuthAndHandlers)
{
    withPanel();
    withAuth();
    seedExample();
    addHandler("recipient", "info@example.com");
    addHandler("recipient", "bob@other.com");
    const Snapshot enabled = snapshot();
    const Lines authEnabled = auth();

    mxtest::RunResult r = mx({"--turn-off-domain", "--domain-name=example.com"});
    ASSERT_EQ(0, r.status) << r.err;
    Snapshot disabled = enabled;
    disabled["virtual_domains"].erase("example.com");
    for (const auto& s : standardAddresses("example.com"))
        disabled["virtual"].erase(s.first);
    EXPECT_EQ(disabled, snapshot());
    Lines authDisabled;
    for (std::string row : authEnabled) {
        if (row == "example.com|0" || row == "alias1.com|0" || row == "alias2.com|0")
            row.back() = '1';
        authDisabled.push_back(row);
    }
    EXPECT_EQ(authDisabled, auth());
    EXPECT_EQ((Lines{"recipient bob@other.com flt on", "recipient info@example.com flt off"}),
              handlers());

    r = mx({"--turn-on-domain", "--domain-name=example.com"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(enabled, snapshot());
    EXPECT_EQ(authEnabled, auth());
    EXPECT_EQ((Lines{"recipient bob@other.com flt on", "recipient info@example.com flt on"}),
              handlers());
}

// ---- mail to unknown addresses ----------------------------------------

TEST_F(DomainCommandTest, CatchallBounceAndRejectCoverTheDomainAndItsAliasDomains)
{
    withPanel();
    seedExample();
    Snapshot expected = exampleTables();

    mxtest::RunResult r = mx({"--set-catchall", "--domain-name=example.com",
                              "--email=all@b\xc3\xbc"
                              "cher.de"});
    ASSERT_EQ(0, r.status) << r.err;
    for (const char* d : {"@example.com", "@alias1.com", "@alias2.com"})
        expected["virtual"][d] = "all@xn--bcher-kva.de";
    EXPECT_EQ(expected, snapshot());

    r = mx({"--set-bounce", "--domain-name=example.com", "--phrase=Gone.\nIt's over"});
    ASSERT_EQ(0, r.status) << r.err;
    const std::string command =
        "\"|/usr/lib/ostra-9.0/bouncemessage Gone.\\\\\\ It\\\\\\'s\\\\\\ over\"";
    for (const char* d : {"example.com", "alias1.com", "alias2.com"}) {
        expected["virtual"][std::string("@") + d] =
            std::string("_ostra_bounce_") + d + "@localhost.localdomain";
        expected["aliases"][std::string("_ostra_bounce_") + d] = command;
    }
    EXPECT_EQ(expected, snapshot());

    r = mx({"--set-bounce", "--domain-name=other.com"});
    ASSERT_EQ(0, r.status) << r.err;
    expected["virtual"]["@other.com"] = "_ostra_bounce_other.com@localhost.localdomain";
    expected["aliases"]["_ostra_bounce_other.com"] = "\"|/usr/lib/ostra-9.0/bouncemessage\"";
    EXPECT_EQ(expected, snapshot());
}

class RejectTest : public DomainCommandTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(RejectTest, RemovesTheAtRecordsOfDomainAndAliasDomainsOnly)
{
    withPanel();
    seedExample();
    seed("aliases", {{"_ostra_bounce_example.com", "\"|/usr/lib/ostra-9.0/bouncemessage\""}});
    Snapshot expected = snapshot();
    expected["virtual"].erase("@example.com");
    expected["virtual"].erase("@alias1.com");

    const mxtest::RunResult r = mx({GetParam(), "--domain-name=example.com"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(expected, snapshot());
}

INSTANTIATE_TEST_SUITE_P(Commands, RejectTest, ::testing::Values("--set-reject", "--unset-reject"));

TEST_F(DomainCommandTest, EmptyOrBrokenCatchallAddressChangesNothing)
{
    withPanel();
    seedExample();
    const Snapshot before = snapshot();
    struct Case {
        const char* email;
        const char* message;
    };
    // An empty value cannot follow "=": the parser wants a separate argument.
    for (const Case& c : {Case{"", "mandatory option \"--email\" is not specified"},
                          Case{"a@b\nx@y z", "invalid e-mail address"}}) {
        record();
        const mxtest::RunResult r =
            mx({"--set-catchall", "--domain-name=example.com", "--email", c.email});
        EXPECT_EQ("", recorded()) << c.email;
        EXPECT_EQ(1, r.status) << c.email;
        EXPECT_NE(std::string::npos, r.err.find(c.message)) << r.err;
    }
    EXPECT_EQ(before, snapshot());
}

// ---- alias domains ----------------------------------------------------

// AliasAction - the nonexistent-address options of --add-domain-alias and
// the "@" record that alias3.com gets from them ("" for none).
struct AliasAction {
    std::vector<std::string> options;
    std::string atRecord;
    std::string bounceCommand; // the "aliases" record, "" for none
    int status;
};

void PrintTo(const AliasAction& a, std::ostream* os)
{
    *os << "[" << joined(a.options) << "]";
}

class AddDomainAliasTest : public DomainCommandTest,
                           public ::testing::WithParamInterface<AliasAction> {};

TEST_P(AddDomainAliasTest, CreatesAliasHandlersKeyAuthAndTheChosenAction)
{
    withPanel();
    withAuth();
    seedExample();
    addHandler("recipient", "info@example.com");
    addHandler("recipient-domain", "example.com");
    addHandler("recipient", "bob@other.com");
    setKey("example.com", "KEY");
    Snapshot expected = snapshot();
    const Lines authBefore = auth();

    std::vector<std::string> args = {"--add-domain-alias", "--domain-name=example.com",
                                     "--domain-alias-name=alias3.com"};
    args.insert(args.end(), GetParam().options.begin(), GetParam().options.end());
    const mxtest::RunResult r = mx(args);
    EXPECT_EQ(GetParam().status, r.status) << r.err;
    const bool noAction =
        r.err.find("Action for notexisting mail names is not specified "
                   "(--set-bounce/--set-catchall/--set-reject)") != std::string::npos;
    EXPECT_EQ(GetParam().status == 1, noAction) << r.err;

    // The domain's own catch-all stays as it was.
    expected["virtual"] = merged({expected["virtual"],
                                  standardAddresses("alias3.com"),
                                  {{"alias3.com", "1"},
                                   {"i1@alias3.com", "info@example.com"},
                                   {"i2@alias3.com", "info@example.com"},
                                   {"info@alias3.com", "info@example.com"},
                                   {"sales@alias3.com", "sales@example.com"}}});
    if (!GetParam().atRecord.empty())
        expected["virtual"]["@alias3.com"] = GetParam().atRecord;
    if (!GetParam().bounceCommand.empty())
        expected["aliases"]["_ostra_bounce_alias3.com"] = GetParam().bounceCommand;
    EXPECT_EQ(expected, snapshot());

    EXPECT_EQ((Lines{"recipient bob@other.com flt on", "recipient info@alias3.com flt on",
                     "recipient info@example.com flt on", "recipient-domain alias3.com flt on",
                     "recipient-domain example.com flt on"}),
              handlers());
    EXPECT_EQ((Lines{"alias3.com=KEY", "example.com=KEY"}), keys());

    // Every user of example.com (mail names and mail aliases) is copied.
    Lines authExpected = authBefore;
    for (const char* row : {"alias3.com|0", "alias3.com|i1|pw1|NULL|0",
                            "alias3.com|info|pw1|NULL|0", "alias3.com|sales|NULL|$1$xyz|1"})
        authExpected.push_back(row);
    std::sort(authExpected.begin(), authExpected.end());
    Lines authAfter = auth();
    std::sort(authAfter.begin(), authAfter.end());
    EXPECT_EQ(authExpected, authAfter);
}

const char ONE_LINE_BOUNCE[] = "\"|/usr/lib/ostra-9.0/bouncemessage Moved\"";

INSTANTIATE_TEST_SUITE_P(
    Actions, AddDomainAliasTest,
    ::testing::Values(AliasAction{{"--set-bounce", "--phrase=Moved"},
                                  "_ostra_bounce_alias3.com@localhost.localdomain",
                                  ONE_LINE_BOUNCE,
                                  0},
                      AliasAction{{"--set-catchall", "--email=c@b\xc3\xbc"
                                                     "cher.de"},
                                  "c@xn--bcher-kva.de",
                                  "",
                                  0},
                      AliasAction{{"--set-reject"}, "", "", 0},
                      // Bounce wins over catch-all, whose empty address is then never read.
                      AliasAction{
                          {"--set-catchall", "--email", "", "--set-bounce", "--phrase=Moved"},
                          "_ostra_bounce_alias3.com@localhost.localdomain",
                          ONE_LINE_BOUNCE,
                          0},
                      AliasAction{{}, "", "", 1}));

TEST_F(DomainCommandTest, AddDomainAliasWithEmptyCatchallAddressDoesNothing)
{
    withPanel();
    withAuth();
    seedExample();
    addHandler("recipient", "info@example.com");
    setKey("example.com", "KEY");
    const Snapshot before = snapshot();
    const Lines authBefore = auth();
    const Lines handlersBefore = handlers();

    record();
    const mxtest::RunResult r =
        mx({"--add-domain-alias", "--domain-name=example.com", "--domain-alias-name=alias3.com",
            "--set-catchall", "--email", ""});
    EXPECT_EQ("", recorded());
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("mandatory option \"--email\" is not specified"))
        << r.err;
    EXPECT_EQ(before, snapshot());
    EXPECT_EQ(authBefore, auth());
    EXPECT_EQ(handlersBefore, handlers());
    EXPECT_EQ((Lines{"example.com=KEY"}), keys());
}

TEST_F(DomainCommandTest, AddDomainAliasWithBrokenAuthDatabaseFailsAfterTheTables)
{
    withPanel();
    seedExample();
    mxtest::writeFile(AUTH_DB, "");
    const mxtest::RunResult r = mx({"--add-domain-alias", "--domain-name=example.com",
                                    "--domain-alias-name=alias3.com", "--set-reject"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("Unable to clone auth record for")) << r.err;
    // The tables came first and stay; the action for unknown addresses is not reached.
    EXPECT_EQ("1", dump("virtual")["alias3.com"]);
}

TEST_F(DomainCommandTest, RemoveDomainAliasDropsRecordsHandlersKeyAndAuth)
{
    withPanel();
    withAuth();
    seedExample();
    addHandler("recipient", "info@alias1.com");
    addHandler("recipient-domain", "alias1.com");
    addHandler("recipient", "info@example.com");
    setKey("alias1.com", "KEY");
    setKey("example.com", "KEY");
    Snapshot expected = snapshot();
    for (const char* key : {"alias1.com", "info@alias1.com", "i1@alias1.com", "@alias1.com"})
        expected["virtual"].erase(key);
    for (const auto& s : standardAddresses("alias1.com"))
        expected["virtual"].erase(s.first);

    // --domain-name is required but names nothing that changes.
    const mxtest::RunResult r =
        mx({"--del-domain-alias", "--domain-name=unrelated.org", "--domain-alias-name=alias1.com"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(expected, snapshot());
    EXPECT_EQ((Lines{"recipient info@example.com flt on"}), handlers());
    EXPECT_EQ((Lines{"example.com=KEY"}), keys());
    for (const std::string& row : auth())
        EXPECT_EQ(std::string::npos, row.find("alias1.com")) << row;
}

TEST_F(DomainCommandTest, RenameDomainAliasMovesEverythingAndSetsTheBounce)
{
    withPanel();
    withAuth();
    seedExample();
    addHandler("recipient", "info@alias1.com");
    addHandler("recipient-domain", "alias1.com");
    setKey("alias1.com", "KEY1");

    const mxtest::RunResult r = mx(
        {"--rename-domain-alias", "--domain-name=example.com", "--old-domain-alias-name=alias1.com",
         "--new-domain-alias-name=new-alias.com", "--set-bounce", "--phrase=Moved"});
    ASSERT_EQ(0, r.status) << r.err;

    Snapshot expected = exampleTables();
    Records& v = expected["virtual"];
    for (const auto& s : standardAddresses("alias1.com"))
        v.erase(s.first);
    for (const char* key : {"alias1.com", "info@alias1.com", "i1@alias1.com", "@alias1.com"})
        v.erase(key);
    v = merged({v,
                standardAddresses("new-alias.com"),
                {{"new-alias.com", "1"},
                 {"info@new-alias.com", "info@example.com"},
                 {"i1@new-alias.com", "info@example.com"},
                 {"@new-alias.com", "_ostra_bounce_new-alias.com@localhost.localdomain"}}});
    expected["aliases"]["_ostra_bounce_new-alias.com"] = ONE_LINE_BOUNCE;
    EXPECT_EQ(expected, snapshot());
    EXPECT_EQ(
        (Lines{"recipient info@new-alias.com flt on", "recipient-domain new-alias.com flt on"}),
        handlers());
    EXPECT_EQ((Lines{"new-alias.com=KEY1"}), keys());

    const Lines rows = auth();
    for (const std::string& row : rows)
        EXPECT_EQ(std::string::npos, row.find("alias1.com")) << row;
    for (const char* row : {"new-alias.com|0", "new-alias.com|i1|pw1|NULL|0",
                            "new-alias.com|info|pw1|NULL|0", "new-alias.com|sales|NULL|$1$xyz|1"})
        EXPECT_NE(rows.end(), std::find(rows.begin(), rows.end(), row)) << row;
}

// ---- DomainKeys ---------------------------------------------------------

TEST_F(DomainCommandTest, SetDomainKeyInstallsForEachDomainAndDropsTheUploadOnlyOnSuccess)
{
    const std::string upload = std::string(getenv("TMPDIR")) + "/upload.key";
    mxtest::writeFile(upload, "PRIVATE");
    mxtest::RunResult r =
        mx({"--set-domain-key", "--domain-name=Example.COM,other.org", "--file-name=" + upload});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ((Lines{"example.com=PRIVATE", "other.org=PRIVATE"}), keys());
    EXPECT_EQ(0440, mxtest::fileMode(keyFile("example.com")));
    EXPECT_EQ("root:popuser", mxtest::fileOwner(keyFile("example.com")));
    EXPECT_FALSE(mxtest::fileExists(upload));
    mxtest::writeFile(upload, "PRIVATE");
    r = mx({"--set-domain-key",
            "--domain-name=b\xc3\xbc"
            "cher.de",
            "--file-name=" + upload});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ("PRIVATE", mxtest::readFile(keyFile("xn--bcher-kva.de")));

    // One element that is no domain name: nothing is done, the upload stays.
    mxtest::writeFile(upload, "NEWER");
    r = mx({"--set-domain-key", "--domain-name=other.com,a/b", "--file-name=" + upload});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("invalid domain name 'a/b'")) << r.err;
    EXPECT_TRUE(mxtest::fileExists(upload));
    EXPECT_FALSE(mxtest::fileExists(keyFile("other.com")));
    EXPECT_FALSE(mxtest::fileExists("/etc/domainkeys/a"));

    r = mx({"--set-domain-key", "--domain-name=x.com", "--file-name=/nonexistent.key"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("No source file '/nonexistent.key'")) << r.err;

    r = mx({"--remove-domain-key", "--domain-name=example.com,other.com,other.org,absent.org"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ((Lines{"xn--bcher-kva.de=PRIVATE"}), keys());
    r = mx({"--remove-domain-key", "--domain-name=."});
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(fs::is_directory("/etc"));
    EXPECT_EQ((Lines{"xn--bcher-kva.de=PRIVATE"}), keys());
}

// ---- bad names and options ----------------------------------------------

// BadName - a command line with a name that must be refused before anything changes.
struct BadName {
    std::vector<std::string> args;
    const char* message;
};

void PrintTo(const BadName& b, std::ostream* os)
{
    *os << joined(b.args);
}

class BadNameTest : public DomainCommandTest, public ::testing::WithParamInterface<BadName> {};

TEST_P(BadNameTest, IsRefusedBeforeAnythingChanges)
{
    withPanel();
    withAuth();
    seedExample();
    addHandler("recipient", "info@example.com");
    setKey("example.com", "KEY");
    const Snapshot before = snapshot();
    const Lines authBefore = auth();
    const Lines handlersBefore = handlers();
    const std::string mailTree = mxtest::run("find /var/qmail | sort").out;

    record();
    const mxtest::RunResult r = mx(GetParam().args);
    EXPECT_EQ("", recorded());
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find(GetParam().message)) << r.err;
    EXPECT_EQ(before, snapshot());
    EXPECT_EQ(authBefore, auth());
    EXPECT_EQ(handlersBefore, handlers());
    EXPECT_EQ((Lines{"example.com=KEY"}), keys());
    EXPECT_EQ(mailTree, mxtest::run("find /var/qmail | sort").out);
}

const std::string LONG_LABEL(64, 'a');

INSTANTIATE_TEST_SUITE_P(
    Commands, BadNameTest,
    ::testing::Values(
        BadName{{"--add-domain", "--domain-name=/etc"}, "invalid domain name '/etc'"},
        BadName{{"--add-domain", "--domain-name=."}, "invalid domain name '.'"},
        BadName{{"--add-domain", "--domain-name", ""}, "invalid domain name ''"},
        BadName{{"--add-domain", "--domain-name=" + LONG_LABEL + ".com"}, "Invalid length"},
        BadName{{"--add-domain", "--domain-name=a b.com"}, "invalid domain name"},
        BadName{{"--remove-domain", "--domain-name=example.com/.."}, "Invalid length"},
        BadName{{"--turn-off-domain", "--domain-name=x@example.com"}, "invalid domain name"},
        BadName{{"--set-domain-disk-quota", "--domain-name=a/b", "--disk-quota=1"},
                "invalid domain name"},
        BadName{{"--set-bounce", "--domain-name=example.com\nx"}, "invalid domain name"},
        BadName{{"--add-domain-alias", "--domain-name=example.com", "--domain-alias-name=a/b",
                 "--set-reject"},
                "invalid domain name 'a/b'"},
        BadName{{"--add-domain-alias", "--domain-name=example.com",
                 "--domain-alias-name=" + LONG_LABEL + ".org", "--set-reject"},
                "Invalid length"},
        BadName{{"--rename-domain-alias", "--domain-name=example.com",
                 "--old-domain-alias-name=alias1.com", "--new-domain-alias-name=.", "--set-reject"},
                "invalid domain name '.'"},
        BadName{{"--del-domain-alias", "--domain-name=example.com", "--domain-alias-name=/tmp"},
                "invalid domain name '/tmp'"},
        BadName{{"--add-domain-alias", "--domain-name=example.com",
                 "--domain-alias-name=alias3.com", "--set-catchall"},
                "bad_any_cast"},
        BadName{{"--add-domain", "--domain-name=example.com", "--disk-quota=lots"},
                "the argument ('lots') for option '--disk-quota' is invalid"}));

// Help - what a command's help shows: title, synopsis, its options in order.
struct Help {
    const char* command;
    const char* title;
    const char* synopsis;
    std::vector<std::string> options;
};

void PrintTo(const Help& h, std::ostream* os)
{
    *os << h.command;
}

class HelpTest : public ::testing::TestWithParam<Help> {};

TEST_P(HelpTest, ShowsTitleSynopsisAndOptionsInOrder)
{
    const mxtest::RunResult r = mxtest::mxadmin(std::string(GetParam().command) + " --help");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(0u, r.out.find(std::string(GetParam().title) + "\nUsage: " + GetParam().synopsis +
                             "\nAllowed options to " + GetParam().title + ":\n"))
        << r.out;
    // Past the synopsis, which names some options too.
    size_t pos = r.out.find("Allowed options to");
    for (const std::string& option : GetParam().options) {
        const size_t found = r.out.find(option, pos);
        ASSERT_NE(std::string::npos, found) << option << " after " << pos << " in\n" << r.out;
        pos = found + option.size();
    }
    EXPECT_NE(std::string::npos, r.out.find("displays this help message", pos));
}

const std::vector<std::string> NOTEXISTING_OPTIONS = {
    "--set-catchall", "set a domain catchall address", "--email arg",  "catchall e-mail address",
    "--set-bounce",   "set a domain bounce",           "--phrase arg", "phrase",
    "--set-reject",   "set domain reject flag"};

// with - the options followed by the nonexistent-address group.
std::vector<std::string> with(std::vector<std::string> options)
{
    options.insert(options.end(), NOTEXISTING_OPTIONS.begin(), NOTEXISTING_OPTIONS.end());
    return options;
}

INSTANTIATE_TEST_SUITE_P(
    Commands, HelpTest,
    ::testing::Values(
        Help{"--add-domain",
             "add a domain",
             "--add-domain --domain-name=<domain> [--disk-quota=quota]",
             {"--domain-name arg", "domain name (mandatory)", "--disk-quota arg", "disk quota\n"}},
        Help{"--remove-domain",
             "remove a domain",
             "--remove-domain --domain-name=<domain>",
             {"domain name (mandatory)"}},
        Help{"--turn-on-domain",
             "enable a domain",
             "--turn-on-domain --domain-name=<domain>",
             {"domain name (mandatory)"}},
        Help{"--turn-off-domain",
             "disable a domain",
             "--turn-off-domain --domain-name=<domain>",
             {"domain name (mandatory)"}},
        Help{"--set-domain-disk-quota",
             "set a domain disk quota",
             "--set-domain-disk-quota --domain-name=<domain> --disk-quota=quota",
             {"domain name (mandatory)", "disk quota (mandatory)"}},
        Help{"--add-domain-alias", "add a domain alias",
             "--add-domain-alias --domain-name=<domain_name> "
             "--domain-alias-name=<domain_alias_name> <--set-bounce 'text'| --set-catchall "
             "'email' | --set-reject>",
             with({"domain name (mandatory)", "domain alias name (mandatory)"})},
        Help{"--del-domain-alias",
             "remove a domain alias",
             "--del-domain-alias --domain-name=<domain_name> "
             "--domain-alias-name=<domain_alias_name>",
             {"domain name (mandatory)", "domain alias name (mandatory)"}},
        Help{"--rename-domain-alias", "rename a given domain alias",
             "--rename-domain-alias --domain-name=<domain_name> "
             "--old-domain-alias-name=<old_domain_alias_name> "
             "--new-domain-alias-name=<new_domain_alias_name> <--set-bounce 'text'| "
             "--set-catchall 'email' | --set-reject>",
             with({"domain name (mandatory)", "old domain alias name (mandatory)",
                   "new domain alias name (mandatory)"})},
        Help{"--set-catchall",
             "set a domain catchall address",
             "--set-catchall --domain-name=<domain_name> --email=<email_address>",
             {"domain name (mandatory)", "catchall e-mail address (mandatory)"}},
        Help{"--set-bounce",
             "set a domain bounce",
             "--set-bounce --domain-name=<domain_name> [--phrase=<phrase>]",
             {"domain name (mandatory)", "--phrase arg", "phrase\n"}},
        Help{"--set-reject",
             "set domain reject flag",
             "--set-reject --domain-name=<domain-name>",
             {"domain name (mandatory)"}},
        Help{"--unset-reject",
             "remove domain reject flag",
             "--unset-reject --domain-name=<domain-name>",
             {"domain name (mandatory)"}},
        Help{"--set-domain-key",
             "set DomainKey",
             "--set-domain-key --domain-name=<domain,domain,... > --file-name=<full_file_name>",
             {"domain name (mandatory)", "full path to uploaded key (mandatory)"}},
        Help{"--remove-domain-key",
             "remove DomainKey",
             "--remove-domain-key --domain-name=<domain,domain,...>",
             {"domain name (mandatory)"}}));

TEST(DomainCommandOptions, MissingMandatoryOptionNamesTheLastDeclared)
{
    const mxtest::RunResult r = mxtest::mxadmin("--rename-domain-alias --set-reject");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(0u, r.err.find("mandatory option \"--new-domain-alias-name\" is not specified\n"))
        << r.err;
    EXPECT_NE(std::string::npos, r.out.find("Usage: --rename-domain-alias")) << r.out;
}

} // namespace
