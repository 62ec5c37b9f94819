// sandbox_systest.cc - the sandbox every system test runs in: private and
// writable fixed paths, working Postfix tools, the popuser account and the
// panel database server with the tables and columns the program reads.
#include <algorithm>
#include <gtest/gtest.h>
#include <map>
#include <mysql.h>
#include <pwd.h>
#include <stdexcept>
#include <stdlib.h>
#include <string>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "systest.h"

namespace {

// firstLine - a file's first line without its end.
std::string firstLine(const std::string& path)
{
    std::string text = mxtest::readFile(path);
    return text.substr(0, text.find('\n'));
}

TEST(Sandbox, RunsInAFreshNamespaceWithItsEnvironment)
{
    EXPECT_STREQ("1", getenv("SANDBOX"));
    EXPECT_STREQ("1", getenv("SYSTEMCTL_SKIP_REDIRECT"));
    // The sandbox's own first process, not the host's init, is pid 1.
    EXPECT_NE(std::string::npos, mxtest::readFile("/proc/1/cmdline").find("sandbox-init.sh"));
    EXPECT_FALSE(mxtest::fileExists("/run/systemd/system"));
    EXPECT_EQ(0755, mxtest::fileMode("/var/lock/files"));
    EXPECT_EQ("root:root", mxtest::fileOwner("/var/lock/files"));
}

TEST(Sandbox, ScratchDirectoryIsPrivateAndEmpty)
{
    const char* tmp = getenv("TMPDIR");
    ASSERT_NE(nullptr, tmp);
    EXPECT_EQ(01777, mxtest::fileMode(tmp));
    EXPECT_EQ("", mxtest::run(std::string("ls -A ") + mxtest::shellQuote(tmp)).out);
    mxtest::TempDir dir;
    EXPECT_EQ(0, std::string(dir.path()).find(tmp));
}

// The program's fixed directories, none of which exists on the host.
class FixedPath : public testing::TestWithParam<const char*> {};

TEST_P(FixedPath, IsWritableAndShowsInTheUpperLayer)
{
    const std::string dir = GetParam();
    const std::string file = dir + "/probe";
    mxtest::makeDirs(dir, 0750);
    mxtest::writeFile(file, "probe\n", 0600);
    EXPECT_EQ("probe\n", mxtest::readFile(file));
    EXPECT_EQ(0750, mxtest::fileMode(dir));
    EXPECT_EQ("probe\n", mxtest::readFile(mxtest::upperPath(file)));
}

INSTANTIATE_TEST_SUITE_P(Sandbox, FixedPath,
                         testing::Values("/etc/hsp", "/etc/domainkeys/example.com", "/etc/hsp-spf",
                                         "/var/qmail/mailnames/example.com/info",
                                         "/var/lib/ostra/handlers", "/usr/local/hsp/bin",
                                         "/usr/lib/ostra-9.0", "/var/lock/files/sub"));

TEST(Sandbox, UpperLayerHoldsOnlyWhatChanged)
{
    EXPECT_FALSE(mxtest::fileExists(mxtest::upperPath("/etc/hostname")));
    EXPECT_FALSE(mxtest::fileExists(mxtest::upperPath("/etc/postfix/master.cf")));
    EXPECT_TRUE(mxtest::fileExists(mxtest::upperPath("/etc/postfix/main.cf")));
    EXPECT_TRUE(mxtest::fileExists(mxtest::upperPath("/etc/passwd")));
    EXPECT_EQ("", mxtest::upperPath("/var/spool/postfix/ostra/virtual"));
    EXPECT_EQ("", mxtest::upperPath("/work/anything"));
    EXPECT_EQ("", mxtest::upperPath("/etcetera"));
}

TEST(Sandbox, PostfixSpoolIsEmptyAndPostmapBuildsRealTables)
{
    EXPECT_EQ("", mxtest::run("ls -A /var/spool/postfix").out);
    mxtest::makeDirs("/var/spool/postfix/ostra");
    mxtest::writeFile("/var/spool/postfix/ostra/virtual",
                      "Info@Example.COM info@example.com\nsales@example.com Bob@Elsewhere.org\n");
    mxtest::RunResult made = mxtest::run("/usr/sbin/postmap hash:/var/spool/postfix/ostra/virtual");
    ASSERT_EQ(0, made.status) << made.err;
    EXPECT_TRUE(mxtest::fileExists("/var/spool/postfix/ostra/virtual.db"));
    // Keys come back lower-cased, values as written.
    const std::map<std::string, std::string> expected = {
        {"info@example.com", "info@example.com"}, {"sales@example.com", "Bob@Elsewhere.org"}};
    EXPECT_EQ(expected, mxtest::postmapDump("/var/spool/postfix/ostra/virtual"));
    EXPECT_EQ(expected, mxtest::postmapDump("hash:/var/spool/postfix/ostra/virtual"));
    EXPECT_THROW(mxtest::postmapDump("/var/spool/postfix/ostra/missing"), std::runtime_error);
}

TEST(Sandbox, MainCfIsEmptyBackDatedAndEditable)
{
    const char* mainCf = "/etc/postfix/main.cf";
    EXPECT_EQ("", mxtest::readFile(mainCf));
    struct stat st;
    ASSERT_EQ(0, stat(mainCf, &st));
    EXPECT_LE(st.st_mtime, time(nullptr) - 30);

    mxtest::RunResult edit = mxtest::run("/usr/sbin/postconf -e 'myhostname = mail.example.com'");
    ASSERT_EQ(0, edit.status) << edit.err;
    mxtest::backdate(mainCf);
    ASSERT_EQ(0, stat(mainCf, &st));
    EXPECT_LE(st.st_mtime, time(nullptr) - 59);
    EXPECT_EQ("mail.example.com", mxtest::postconf("myhostname"));
    EXPECT_EQ("myhostname = mail.example.com\n", mxtest::readFile(mainCf));
}

TEST(Sandbox, PopuserAccountExists)
{
    struct passwd* pw = getpwnam("popuser");
    ASSERT_NE(nullptr, pw);
    EXPECT_STREQ("/var/qmail/mailnames", pw->pw_dir);
    EXPECT_STREQ("/usr/sbin/nologin", pw->pw_shell);
    EXPECT_NE(0u, pw->pw_uid);

    mxtest::writeFile("/run/owned", "", 0640);
    ASSERT_EQ(0, chown("/run/owned", pw->pw_uid, pw->pw_gid));
    EXPECT_EQ("popuser:popuser", mxtest::fileOwner("/run/owned"));
    EXPECT_EQ(0640, mxtest::fileMode("/run/owned"));
    EXPECT_THROW(mxtest::fileOwner("/run/absent"), std::runtime_error);
}

TEST(Sandbox, InstalledScriptRunsWithItsArguments)
{
    mxtest::installScript("/etc/init.d/courier-imap", "echo \"$1\" >>/run/courier.calls\nexit 3\n");
    EXPECT_EQ(0755, mxtest::fileMode("/etc/init.d/courier-imap"));
    EXPECT_EQ("#!/bin/sh", firstLine("/etc/init.d/courier-imap"));
    EXPECT_EQ(3, mxtest::run("/etc/init.d/courier-imap status").status);
    EXPECT_EQ("status\n", mxtest::readFile("/run/courier.calls"));

    mxtest::installScript("/usr/lib/ostra-9.0/tool",
                          "#!/bin/bash\necho \"${BASH_VERSION:+bash}\"\n");
    EXPECT_EQ("bash\n", mxtest::run("/usr/lib/ostra-9.0/tool").out);
}

TEST(Sandbox, ShellQuoteKeepsEveryCharacter)
{
    for (const std::string text : {"", "plain", "it's", "a b\tc", "$HOME `x` \"q\" \\ *"})
        EXPECT_EQ(text, mxtest::run("printf %s " + mxtest::shellQuote(text)).out) << text;
}

// Panel - a started panel database server.
class Panel : public testing::Test {
protected:
    void SetUp() override { mxtest::startMariaDB(); }
};

// connectAsAdmin - connect the way the program does: "localhost" (the
// default socket), account "admin", database "hsp", password from the
// shadow file; null with the reason in error when that fails.
MYSQL* connectAsAdmin(std::string& error)
{
    MYSQL* conn = mysql_init(nullptr);
    if (conn == nullptr) {
        error = "mysql_init failed";
        return nullptr;
    }
    std::string password = firstLine("/etc/hsp/.hsp.shadow");
    if (mysql_real_connect(conn, "localhost", "admin", password.c_str(), "hsp", 0, nullptr, 0) ==
            nullptr ||
        mysql_query(conn, "SET NAMES utf8") != 0) {
        error = mysql_error(conn);
        mysql_close(conn);
        return nullptr;
    }
    return conn;
}

// query - rows of a query as "a|b" lines; throws on a failure.
std::vector<std::string> query(MYSQL* conn, const std::string& text)
{
    if (mysql_query(conn, text.c_str()) != 0)
        throw std::runtime_error(text + ": " + mysql_error(conn));
    MYSQL_RES* res = mysql_store_result(conn);
    if (res == nullptr)
        throw std::runtime_error(text + ": no result: " + mysql_error(conn));
    std::vector<std::string> rows;
    unsigned columns = mysql_num_fields(res);
    while (MYSQL_ROW row = mysql_fetch_row(res)) {
        std::string line;
        for (unsigned i = 0; i < columns; ++i)
            line += (i ? "|" : "") + std::string(row[i] ? row[i] : "NULL");
        rows.push_back(line);
    }
    mysql_free_result(res);
    return rows;
}

TEST_F(Panel, AdminPasswordFileIsPrivate)
{
    EXPECT_EQ(0600, mxtest::fileMode("/etc/hsp/.hsp.shadow"));
    EXPECT_EQ("root:root", mxtest::fileOwner("/etc/hsp/.hsp.shadow"));
    EXPECT_FALSE(firstLine("/etc/hsp/.hsp.shadow").empty());
}

TEST_F(Panel, SchemaStartsEmpty)
{
    EXPECT_EQ("Limits\ndomainaliases\ndomains\nmail\nmail_aliases\nmisc\n",
              mxtest::sql("SHOW TABLES"));
    EXPECT_EQ(
        "0\t0\t0\t0\t0\t0\n",
        mxtest::sql("SELECT (SELECT COUNT(*) FROM domains), (SELECT COUNT(*) FROM domainaliases),"
                    " (SELECT COUNT(*) FROM mail), (SELECT COUNT(*) FROM mail_aliases),"
                    " (SELECT COUNT(*) FROM Limits), (SELECT COUNT(*) FROM misc)"));
}

// A query the program sends, with the rows the fixture must give.
struct PanelQuery {
    const char* text;
    std::vector<std::string> rows;
};

// One server for all queries: a start costs far more than a query.
TEST_F(Panel, EveryQueryOfTheProgramAnswersTheAdministratorOverTheDefaultSocket)
{
    mxtest::sql("INSERT INTO Limits (id, limit_name, value) VALUES"
                " (7, 'mbox_quota', '1048576'), (7, 'max_box', 'unlimited');"
                "INSERT INTO domains (id, name, limits_id) VALUES (1, 'example.com', 7), (2, "
                "'other.org', NULL);"
                "INSERT INTO domainaliases (name, dom_id) VALUES ('example.net', 1);"
                "INSERT INTO mail (id, mail_name, dom_id, mbox_quota) VALUES"
                " (1, 'info', 1, '-1'), (2, 'sales', 1, 'lots'), (3, 'info', 2, '2048');"
                "INSERT INTO mail_aliases (mn_id, alias) VALUES (2, 'shop');"
                "INSERT INTO misc (param, val) VALUES ('message_submission', 'true');");
    const PanelQuery queries[] = {
        {"SELECT da.name FROM domainaliases da JOIN domains d WHERE da.dom_id=d.id and "
         "d.name='example.com'",
         {"example.net"}},
        {"SELECT ma.alias FROM mail_aliases ma JOIN mail m, domains d WHERE ma.mn_id=m.id "
         "AND m.mail_name='sales' AND m.dom_id=d.id AND d.name='example.com'",
         {"shop"}},
        {"SELECT m.mail_name FROM mail m JOIN domains d WHERE m.dom_id=d.id AND "
         "d.name='example.com'",
         {"info", "sales"}},
        {"SELECT d.name FROM domains d JOIN domainaliases da WHERE d.id=da.dom_id AND "
         "da.name='example.net'",
         {"example.com"}},
        {"select l.value from domains d, Limits l \t\t\t\t where d.id='1' and d.limits_id=l.id  "
         "and "
         "l.limit_name='mbox_quota'",
         {"1048576"}},
        {"SELECT m.mail_name, m.mbox_quota FROM mail m, domains d WHERE d.id = m.dom_id AND "
         "d.name='example.com' ",
         {"info|-1", "sales|lots"}},
        {"SELECT id FROM domains WHERE name='other.org'", {"2"}},
        {"SELECT    val  FROM misc    WHERE param='message_submission'", {"true"}},
    };
    std::string error;
    MYSQL* conn = connectAsAdmin(error);
    ASSERT_NE(nullptr, conn) << error;
    for (const PanelQuery& q : queries) {
        SCOPED_TRACE(q.text);
        std::vector<std::string> rows;
        EXPECT_NO_THROW(rows = query(conn, q.text));
        std::sort(rows.begin(), rows.end());
        EXPECT_EQ(q.rows, rows);
    }
    mysql_close(conn);
}

TEST_F(Panel, AdministratorOnlyReads)
{
    std::string error;
    MYSQL* conn = connectAsAdmin(error);
    ASSERT_NE(nullptr, conn) << error;
    EXPECT_NE(0, mysql_query(conn, "INSERT INTO misc (param, val) VALUES ('a', 'b')"));
    EXPECT_EQ(1142u, mysql_errno(conn)) << mysql_error(conn);
    mysql_close(conn);
}

TEST_F(Panel, SqlReportsTheClientError)
{
    try {
        mxtest::sql("SELECT nothing FROM nowhere");
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string::npos, std::string(e.what()).find("nowhere' doesn't exist"))
            << e.what();
    }
    EXPECT_EQ("a\\tb\tNULL\n", mxtest::sql("SELECT 'a\\tb', NULL"));
}

TEST_F(Panel, StartingAgainKeepsTheDataAndStoppingRefusesConnections)
{
    mxtest::sql("INSERT INTO misc (param, val) VALUES ('kept', 'yes')");
    mxtest::startMariaDB();
    EXPECT_EQ("yes\n", mxtest::sql("SELECT val FROM misc WHERE param='kept'"));

    mxtest::stopMariaDB();
    std::string error;
    MYSQL* conn = connectAsAdmin(error);
    EXPECT_EQ(nullptr, conn);
    if (conn)
        mysql_close(conn);
    EXPECT_NE(std::string::npos, error.find("/run/mysqld/mysqld.sock")) << error;
}

} // namespace
