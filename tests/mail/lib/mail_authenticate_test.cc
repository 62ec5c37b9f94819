// mail_authenticate_test.cc - the mail authentication database on real
// SQLite files in a temporary directory.
#include "mail/lib/mail_authenticate.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "testsupport.h"

using testing::HasSubstr;

namespace {

// sqlRows - every row of a query as "a|b|c" strings ("NULL" for NULL).
std::vector<std::string> sqlRows(const std::string& path, const std::string& sql)
{
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        throw std::runtime_error("cannot open " + path);
    }
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
        std::string err = sqlite3_errmsg(db);
        sqlite3_close(db);
        throw std::runtime_error(err);
    }
    std::vector<std::string> rows;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        std::string row;
        for (int i = 0; i < sqlite3_column_count(st); ++i) {
            if (i > 0)
                row += "|";
            const unsigned char* v = sqlite3_column_text(st, i);
            row += v != nullptr ? reinterpret_cast<const char*>(v) : "NULL";
        }
        rows.push_back(row);
    }
    std::string err = rc == SQLITE_DONE ? "" : sqlite3_errmsg(db);
    sqlite3_finalize(st);
    sqlite3_close(db);
    if (!err.empty())
        throw std::runtime_error(err);
    return rows;
}

// AuthDbTest - a fresh database with the schema, selected as the setting.
class AuthDbTest : public testing::Test {
protected:
    void SetUp() override
    {
        path_ = dir_.file("passwd.db");
        ASSERT_EQ(0, mailAuthDBCreate(path_.c_str()));
        ASSERT_EQ(0, mailAuthDBSetPath(path_.c_str()));
    }

    std::vector<std::string> rows(const std::string& sql) { return sqlRows(path_, sql); }

    // users - "name@domain|userPassword|cmusaslsecretPLAIN|status", sorted.
    std::vector<std::string> users()
    {
        return rows("SELECT u.name || '@' || d.name, u.userPassword, u.cmusaslsecretPLAIN, "
                    "u.status FROM users u JOIN domains d ON u.dom_id = d.id ORDER BY 1");
    }

    // domains - "name|status", sorted.
    std::vector<std::string> domains()
    {
        return rows("SELECT name, status FROM domains ORDER BY 1");
    }

    mxtest::TempDir dir_;
    std::string path_;
};

TEST_F(AuthDbTest, SchemaHasEveryNamedObject)
{
    EXPECT_THAT(rows("SELECT type || ' ' || name FROM sqlite_master WHERE name NOT LIKE "
                     "'sqlite_%' ORDER BY 1"),
                testing::ElementsAre("index domains_name", "index users_dom_id", "index users_name",
                                     "table domains", "table users", "trigger fkd_users_domains_id",
                                     "trigger fki_users_domains_id",
                                     "trigger fku_users_domains_id"));
    EXPECT_THAT(rows("SELECT name FROM pragma_table_info('users') ORDER BY cid"),
                testing::ElementsAre("id", "dom_id", "name", "userPassword", "cmusaslsecretPLAIN",
                                     "cmusaslsecretCRAM-MD5", "status"));
}

TEST_F(AuthDbTest, TriggersRefuseUsersOfMissingDomains)
{
    try {
        rows("INSERT INTO users (name, dom_id) VALUES ('a', 99)");
        FAIL() << "insert accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("insert on table \"users\" violates foreign key constraint \"fk_domains_id\"",
                     e.what());
    }
    ASSERT_EQ(0, mailAuthSet("a", "d.com", "pw", 0));
    try {
        rows("UPDATE users SET dom_id = 99");
        FAIL() << "update accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("update on table \"users\" violates foreign key constraint \"fk_domains_id\"",
                     e.what());
    }
}

// One password change after another: the row is replaced as a whole.
struct PasswordCase {
    const char* name;
    int firstFlags;
    int secondFlags;
    const char* expected;
};

class PasswordChange : public AuthDbTest, public testing::WithParamInterface<PasswordCase> {};

TEST_P(PasswordChange, ReplacesTheWholeRow)
{
    const PasswordCase& c = GetParam();
    ASSERT_EQ(0, mailAuthSet("info", "d.com", "first", c.firstFlags));
    std::string firstId = rows("SELECT id FROM users").at(0);
    ASSERT_EQ(0, mailAuthSet("info", "d.com", "second", c.secondFlags));
    EXPECT_THAT(users(), testing::ElementsAre(c.expected));
    EXPECT_NE(firstId, rows("SELECT id FROM users").at(0));
}

INSTANTIATE_TEST_SUITE_P(
    Flags, PasswordChange,
    testing::Values(
        PasswordCase{"CryptedToClear", MAIL_AUTH_CRYPTED, 0, "info@d.com|second|NULL|0"},
        PasswordCase{"ClearToCrypted", 0, MAIL_AUTH_CRYPTED, "info@d.com|NULL|second|0"},
        PasswordCase{"ClearToDisabledClear", 0, MAIL_AUTH_DISABLED, "info@d.com|second|NULL|1"},
        PasswordCase{"DisabledToEnabled", MAIL_AUTH_DISABLED | MAIL_AUTH_CRYPTED, MAIL_AUTH_CRYPTED,
                     "info@d.com|NULL|second|0"}),
    [](const testing::TestParamInfo<PasswordCase>& info) { return info.param.name; });

TEST_F(AuthDbTest, SetRegistersAMissingDomainWithItsStatus)
{
    ASSERT_EQ(0, mailAuthSet("a", "on.com", "pw", 0));
    ASSERT_EQ(0, mailAuthSet("a", "off.com", "pw", MAIL_DOMAIN_AUTH_DISABLED));
    // The flag does not touch a domain that is already there.
    ASSERT_EQ(0, mailAuthSet("b", "on.com", "pw", MAIL_DOMAIN_AUTH_DISABLED | MAIL_AUTH_DISABLED));
    EXPECT_THAT(domains(), testing::ElementsAre("off.com|1", "on.com|0"));
    EXPECT_THAT(users(), testing::ElementsAre("a@off.com|pw|NULL|0", "a@on.com|pw|NULL|0",
                                              "b@on.com|pw|NULL|1"));
}

TEST_F(AuthDbTest, GetDomainIdCreatesUnlessToldNotTo)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path_.c_str(), &db));
    EXPECT_EQ(-1, getDomainId("x.com", db, MAIL_AUTH_DO_NOT_CHANGE));
    int id = getDomainId("x.com", db, 0);
    EXPECT_GT(id, 0);
    EXPECT_EQ(id, getDomainId("x.com", db, MAIL_AUTH_DO_NOT_CHANGE));
    EXPECT_EQ(id, getDomainId("x.com", db, MAIL_DOMAIN_AUTH_DISABLED));
    sqlite3_close(db);
    EXPECT_THAT(domains(), testing::ElementsAre("x.com|0"));
}

TEST_F(AuthDbTest, RemoveTakesOnlyTheUserAndToleratesAbsence)
{
    ASSERT_EQ(0, mailAuthSet("a", "d.com", "pw", 0));
    ASSERT_EQ(0, mailAuthSet("b", "d.com", "pw", 0));
    ASSERT_EQ(0, mailAuthSet("a", "e.com", "pw", 0));
    EXPECT_EQ(0, mailAuthRemove("a", "d.com"));
    EXPECT_EQ(0, mailAuthRemove("nobody", "d.com"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, mailAuthRemove("a", "unknown.com"));
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    EXPECT_THAT(users(), testing::ElementsAre("a@e.com|pw|NULL|0", "b@d.com|pw|NULL|0"));
    EXPECT_THAT(domains(), testing::ElementsAre("d.com|0", "e.com|0"));
}

TEST_F(AuthDbTest, RenameNeedsTheDomain)
{
    ASSERT_EQ(0, mailAuthSet("old", "d.com", "pw", MAIL_AUTH_CRYPTED | MAIL_AUTH_DISABLED));
    EXPECT_EQ(0, mailAuthRename("old", "new", "d.com"));
    EXPECT_EQ(0, mailAuthRename("ghost", "other", "d.com"));
    EXPECT_THAT(users(), testing::ElementsAre("new@d.com|NULL|pw|1"));

    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, mailAuthRename("new", "newer", "unknown.com"));
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                HasSubstr("No such domain 'unknown.com' in the mail authentication DB\n"));
    EXPECT_THAT(domains(), testing::ElementsAre("d.com|0"));
}

TEST_F(AuthDbTest, RenameOntoAnExistingUserFailsAndKeepsBoth)
{
    ASSERT_EQ(0, mailAuthSet("a", "d.com", "pa", 0));
    ASSERT_EQ(0, mailAuthSet("b", "d.com", "pb", 0));
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, mailAuthRename("a", "b", "d.com"));
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                HasSubstr("Unable to execute the mail authorization renaming query: "));
    EXPECT_THAT(users(), testing::ElementsAre("a@d.com|pa|NULL|0", "b@d.com|pb|NULL|0"));
}

TEST_F(AuthDbTest, RemovingADomainRemovesItsUsers)
{
    ASSERT_EQ(0, mailAuthSet("a", "d.com", "pw", 0));
    ASSERT_EQ(0, mailAuthSet("b", "d.com", "pw", 0));
    ASSERT_EQ(0, mailAuthSet("a", "e.com", "pw", 0));
    EXPECT_EQ(0, mailAuthRemoveDomain("d.com"));
    EXPECT_EQ(0, mailAuthRemoveDomain("never.com"));
    EXPECT_THAT(users(), testing::ElementsAre("a@e.com|pw|NULL|0"));
    EXPECT_THAT(domains(), testing::ElementsAre("e.com|0"));
}

TEST_F(AuthDbTest, DomainStatusSwitches)
{
    ASSERT_EQ(0, mailAuthSet("a", "d.com", "pw", 0));
    EXPECT_EQ(0, mailAuthDisableDomain("d.com"));
    EXPECT_THAT(domains(), testing::ElementsAre("d.com|1"));
    EXPECT_EQ(0, mailAuthEnableDomain("d.com"));
    EXPECT_THAT(domains(), testing::ElementsAre("d.com|0"));
    EXPECT_EQ(0, setDomainStatus("d.com", 1));
    EXPECT_EQ(0, mailAuthDisableDomain("absent.com"));
    EXPECT_THAT(domains(), testing::ElementsAre("d.com|1"));
}

TEST_F(AuthDbTest, CloneCopiesCredentialsAndStatus)
{
    ASSERT_EQ(0, mailAuthSet("src", "d.com", "$1$salt$hash",
                             MAIL_AUTH_CRYPTED | MAIL_AUTH_DISABLED | MAIL_DOMAIN_AUTH_DISABLED));
    ASSERT_EQ(0, mailAuthSet("plain", "d.com", "secret", 0));
    EXPECT_EQ(0, mailAuthClone("src", "d.com", "dst", "d.com"));
    // A copy into a new domain registers it disabled like its source.
    EXPECT_EQ(0, mailAuthClone("src", "d.com", "src", "alias.com"));
    EXPECT_EQ(0, mailAuthClone("plain", "d.com", "plain", "alias.com"));
    EXPECT_THAT(users(), testing::ElementsAre(
                             "dst@d.com|NULL|$1$salt$hash|1", "plain@alias.com|secret|NULL|0",
                             "plain@d.com|secret|NULL|0", "src@alias.com|NULL|$1$salt$hash|1",
                             "src@d.com|NULL|$1$salt$hash|1"));
    EXPECT_THAT(domains(), testing::ElementsAre("alias.com|1", "d.com|1"));
}

TEST_F(AuthDbTest, CloneOfNothingSucceedsAndChangesNothing)
{
    ASSERT_EQ(0, mailAuthSet("a", "d.com", "pw", 0));
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, mailAuthClone("a", "nodomain.com", "a", "x.com"));
    EXPECT_EQ(0, mailAuthClone("nobody", "d.com", "nobody", "x.com"));
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    EXPECT_THAT(users(), testing::ElementsAre("a@d.com|pw|NULL|0"));
    EXPECT_THAT(domains(), testing::ElementsAre("d.com|0"));
}

TEST_F(AuthDbTest, CloneOfARowWithoutPasswordCopiesTheEmptyRow)
{
    ASSERT_EQ(0, mailAuthSet("a", "d.com", nullptr, 0));
    EXPECT_EQ(0, mailAuthClone("a", "d.com", "b", "d.com"));
    EXPECT_THAT(users(), testing::ElementsAre("a@d.com|NULL|NULL|0", "b@d.com|NULL|NULL|0"));
}

TEST_F(AuthDbTest, PostboxPasswordSetsOrRemoves)
{
    ASSERT_EQ(0, set_postbox_passwd("a", "d.com", "pw", MAIL_AUTH_CRYPTED));
    ASSERT_EQ(0, set_postbox_passwd("b", "d.com", "pw", 0));
    EXPECT_THAT(users(), testing::ElementsAre("a@d.com|NULL|pw|0", "b@d.com|pw|NULL|0"));
    EXPECT_EQ(0, set_postbox_passwd("a", "d.com", "", 0));
    EXPECT_EQ(0, set_postbox_passwd("b", "d.com", nullptr, 0));
    EXPECT_TRUE(users().empty());
    EXPECT_THAT(domains(), testing::ElementsAre("d.com|0"));
}

TEST_F(AuthDbTest, QuotesInNamesAreStoredAsGiven)
{
    ASSERT_EQ(0, mailAuthSet("o'brien", "it's.com", "p'w\"", 0));
    ASSERT_EQ(0, mailAuthRename("o'brien", "o''neil", "it's.com"));
    EXPECT_THAT(users(), testing::ElementsAre("o''neil@it's.com|p'w\"|NULL|0"));
    EXPECT_EQ(0, mailAuthRemove("o''neil", "it's.com"));
    EXPECT_TRUE(users().empty());
}

// Every operation, for the failure cases that hit all of them alike.
struct Operation {
    const char* name;
    std::function<int()> run;
};

const std::vector<Operation>& operations()
{
    static const std::vector<Operation> ops = {
        {"mailAuthSet", [] { return mailAuthSet("a", "d.com", "pw", 0); }},
        {"set_postbox_passwd", [] { return set_postbox_passwd("a", "d.com", "pw", 0); }},
        {"mailAuthRemove", [] { return mailAuthRemove("a", "d.com"); }},
        {"mailAuthRename", [] { return mailAuthRename("a", "b", "d.com"); }},
        {"mailAuthRemoveDomain", [] { return mailAuthRemoveDomain("d.com"); }},
        {"mailAuthEnableDomain", [] { return mailAuthEnableDomain("d.com"); }},
        {"mailAuthDisableDomain", [] { return mailAuthDisableDomain("d.com"); }},
        {"mailAuthClone", [] { return mailAuthClone("a", "d.com", "b", "e.com"); }},
    };
    return ops;
}

class EveryOperation : public testing::TestWithParam<Operation> {
protected:
    mxtest::TempDir dir_;
};

TEST_P(EveryOperation, FailsOnADatabaseWithoutSchema)
{
    std::string path = dir_.file("empty.db");
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "CREATE TABLE other (x)", nullptr, nullptr, nullptr));
    sqlite3_close(db);
    ASSERT_EQ(0, mailAuthDBSetPath(path.c_str()));

    int fds = mxtest::openFdCount();
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, GetParam().run());
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, testing::ContainsRegex("Unable to prepare SQL statement for query '[^']+': "
                                            "no such table: (domains|users)\n"));
    EXPECT_EQ(fds, mxtest::openFdCount());
}

TEST_P(EveryOperation, FailsOnAMissingFileWithoutCreatingIt)
{
    std::string path = dir_.file("missing.db");
    ASSERT_EQ(0, mailAuthDBSetPath(path.c_str()));
    int fds = mxtest::openFdCount();
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, GetParam().run());
    std::string err = testing::internal::GetCapturedStderr();
    bool clone = std::string(GetParam().name) == "mailAuthClone";
    EXPECT_THAT(err, HasSubstr(std::string(clone ? "Unable to open database(readonly) "
                                                 : "Unable to open database ") +
                               path + ": unable to open database file\n"));
    if (clone) {
        EXPECT_THAT(err, HasSubstr("Unable to get users list from MTA password database\n"));
    }
    EXPECT_NE(0, access(path.c_str(), F_OK));
    EXPECT_EQ(fds, mxtest::openFdCount());
}

INSTANTIATE_TEST_SUITE_P(All, EveryOperation, testing::ValuesIn(operations()),
                         [](const testing::TestParamInfo<Operation>& info) {
                             return std::string(info.param.name);
                         });

// LockHolder - a child process holding a write transaction on the file until
//              holdMs have passed or release() is called.
class LockHolder {
public:
    LockHolder(const std::string& path, const char* begin, int holdMs)
    {
        int ready[2], release[2];
        if (pipe(ready) != 0 || pipe(release) != 0)
            throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ < 0)
            throw std::runtime_error("fork");
        if (pid_ == 0) {
            close(ready[0]);
            close(release[1]);
            sqlite3* db = nullptr;
            std::string sql = std::string(begin) + "; UPDATE domains SET status = status;";
            if (sqlite3_open(path.c_str(), &db) != SQLITE_OK ||
                sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
                _exit(1);
            if (write(ready[1], "x", 1) != 1)
                _exit(1);
            struct pollfd pfd = {release[0], POLLIN, 0};
            poll(&pfd, 1, holdMs);
            sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
            sqlite3_close(db);
            _exit(0);
        }
        close(ready[1]);
        close(release[0]);
        release_ = release[1];
        char c;
        ssize_t n = read(ready[0], &c, 1);
        close(ready[0]);
        if (n != 1)
            throw std::runtime_error("lock holder did not start");
    }
    ~LockHolder() { wait(); }

    // wait - release the lock and return the holder's exit status.
    int wait()
    {
        if (release_ >= 0) {
            close(release_);
            release_ = -1;
        }
        if (pid_ <= 0)
            return status_;
        int st = 0;
        waitpid(pid_, &st, 0);
        pid_ = 0;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        return status_;
    }

private:
    pid_t pid_ = 0;
    int release_ = -1;
    int status_ = -1;
};

TEST_F(AuthDbTest, OperationsWaitForALockHeldByAnotherProcess)
{
    ASSERT_EQ(0, mailAuthSet("a", "d.com", "old", 0));
    auto start = std::chrono::steady_clock::now();
    {
        // An exclusive lock keeps out readers as well.
        LockHolder holder(path_, "BEGIN EXCLUSIVE", 400);
        EXPECT_EQ(0, mailAuthClone("a", "d.com", "a", "e.com"));
        EXPECT_EQ(0, holder.wait());
    }
    {
        LockHolder holder(path_, "BEGIN IMMEDIATE", 400);
        EXPECT_EQ(0, mailAuthSet("a", "d.com", "new", 0));
        EXPECT_EQ(0, holder.wait());
    }
    auto waited = std::chrono::steady_clock::now() - start;
    // Far longer than the 50 ms busy timeout alone: the retries carried it.
    EXPECT_GE(waited, std::chrono::milliseconds(700));
    EXPECT_THAT(users(), testing::ElementsAre("a@d.com|new|NULL|0", "a@e.com|old|NULL|0"));
}

TEST_F(AuthDbTest, GivesUpOnALockThatIsNeverReleased)
{
    ASSERT_EQ(0, mailAuthSet("a", "d.com", "old", 0));
    LockHolder holder(path_, "BEGIN IMMEDIATE", 60000);
    auto start = std::chrono::steady_clock::now();
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, mailAuthSet("a", "d.com", "new", 0));
    std::string err = testing::internal::GetCapturedStderr();
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ("Unable to execute the mail authorization registration query: database is locked\n",
              err);
    EXPECT_GE(waited, std::chrono::seconds(5));
    EXPECT_LE(waited, std::chrono::seconds(30));
    EXPECT_EQ(0, holder.wait());
    EXPECT_THAT(users(), testing::ElementsAre("a@d.com|old|NULL|0"));
}

TEST_F(AuthDbTest, ConcurrentWritersLoseNoRow)
{
    const int processes = 20;
    const int usersEach = 50;
    std::vector<pid_t> pids;
    for (int p = 0; p < processes; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int failures = 0;
            for (int u = 0; u < usersEach; ++u) {
                std::string name = "u" + std::to_string(p) + "_" + std::to_string(u);
                if (mailAuthSet(name.c_str(), "busy.com", name.c_str(), 0) != 0)
                    ++failures;
            }
            _exit(failures > 0 ? 1 : 0);
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int st = 0;
        ASSERT_EQ(pid, waitpid(pid, &st, 0));
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "writer " << pid << " failed";
    }
    EXPECT_THAT(rows("SELECT count(*), count(DISTINCT name) FROM users WHERE userPassword = name"),
                testing::ElementsAre(std::to_string(processes * usersEach) + "|" +
                                     std::to_string(processes * usersEach)));
    // The domain was registered once, whichever writer came first.
    EXPECT_THAT(domains(), testing::ElementsAre("busy.com|0"));
}

TEST(AuthDbCreate, ReplacesAnOldFileAndKeepsItPrivate)
{
    mxtest::TempDir dir;
    std::string path = dir.file("passwd.db");
    mxtest::writeFile(path, "not a database", 0644);
    ASSERT_EQ(0, mailAuthDBCreate(path.c_str()));
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    EXPECT_THAT(sqlRows(path, "SELECT count(*) FROM domains"), testing::ElementsAre("0"));
}

} // namespace
