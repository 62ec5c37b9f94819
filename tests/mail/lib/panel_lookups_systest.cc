// panel_lookups_systest.cc - panel database lookups and the propagation of
// authentication changes, on a real panel database inside the sandbox.
#include "mail/lib/panel_lookups.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mail/lib/mail_authenticate.h"
#include "ostra/str_util.h"
#include "systest.h"

using testing::ElementsAre;
using testing::HasSubstr;

namespace {

const char passwordFile[] = "/etc/hsp/.hsp.shadow";

// The panel's view: a.com with two domain aliases and limits, b.com alone,
// "o'k.com" with a quote. info@a.com has the mail aliases i1 and i2.
const char fixture[] =
    "INSERT INTO Limits (id, limit_name, value) VALUES"
    " (10, 'mbox_quota', '1048576'), (10, 'max_box', '5'), (11, 'max_box', '1');"
    "INSERT INTO domains (id, name, limits_id) VALUES"
    " (1, 'a.com', 10), (2, 'b.com', 11), (3, 'o''k.com', NULL);"
    "INSERT INTO domainaliases (name, dom_id) VALUES ('a-alias1.com', 1), ('a-alias2.com', 1);"
    "INSERT INTO mail (id, mail_name, dom_id, mbox_quota) VALUES"
    " (1, 'info', 1, '-1'), (2, 'sales', 1, '-1'), (3, 'x', 2, '-1'), (4, 'q', 3, '-1');"
    "INSERT INTO mail_aliases (alias, mn_id) VALUES ('i1', 1), ('i2', 1);";

// strings - a list of the plain functions as a vector, freeing it.
std::vector<std::string> strings(char** list)
{
    std::vector<std::string> v;
    for (size_t i = 0; list != nullptr && list[i] != nullptr; ++i)
        v.push_back(list[i]);
    if (list != nullptr)
        free_array(list);
    return v;
}

class PanelLookups : public testing::Test {
protected:
    void SetUp() override
    {
        mxtest::startMariaDB();
        mxtest::sql(fixture);
    }
};

TEST_F(PanelLookups, ListsInServerOrderAndNullForNone)
{
    char** list = nullptr;
    ASSERT_EQ(0, get_domaliases_by_domain(nullptr, &list, "a.com"));
    EXPECT_THAT(strings(list), ElementsAre("a-alias1.com", "a-alias2.com"));
    ASSERT_EQ(0, get_mailnames_by_domain(nullptr, &list, "a.com"));
    EXPECT_THAT(strings(list), ElementsAre("info", "sales"));
    ASSERT_EQ(0, get_aliases_by_mailname(nullptr, &list, "info", "a.com"));
    EXPECT_THAT(strings(list), ElementsAre("i1", "i2"));

    list = reinterpret_cast<char**>(1);
    ASSERT_EQ(0, get_domaliases_by_domain(nullptr, &list, "b.com"));
    EXPECT_EQ(nullptr, list);
    list = reinterpret_cast<char**>(1);
    ASSERT_EQ(0, get_aliases_by_mailname(nullptr, &list, "info", "b.com"));
    EXPECT_EQ(nullptr, list);
}

TEST_F(PanelLookups, DomainOfADomainAlias)
{
    char* domain = nullptr;
    ASSERT_EQ(0, get_domain_by_domainalias(nullptr, &domain, "a-alias2.com"));
    ASSERT_NE(nullptr, domain);
    EXPECT_STREQ("a.com", domain);
    free(domain);

    char untouched[] = "keep";
    domain = untouched;
    ASSERT_EQ(0, get_domain_by_domainalias(nullptr, &domain, "unknown.com"));
    EXPECT_EQ(untouched, domain);
}

TEST_F(PanelLookups, LookupsShareAGivenConnection)
{
    MYSQL* conn = db_connect();
    ASSERT_NE(nullptr, conn);
    char** list = nullptr;
    ASSERT_EQ(0, get_mailnames_by_domain(conn, &list, "b.com"));
    EXPECT_THAT(strings(list), ElementsAre("x"));
    ASSERT_EQ(0, get_domaliases_by_domain(conn, &list, "a.com"));
    EXPECT_THAT(strings(list), ElementsAre("a-alias1.com", "a-alias2.com"));
    EXPECT_STREQ("5", get_dom_Limit("1", "max_box", conn));
    mysql_close(conn);
}

TEST_F(PanelLookups, DomainLimits)
{
    EXPECT_STREQ("1048576", get_dom_Limit("1", "mbox_quota", nullptr));
    EXPECT_STREQ("1", get_dom_Limit("2", "max_box", nullptr));
    // No limit row, or no limits at all: the empty string.
    EXPECT_STREQ("", get_dom_Limit("2", "mbox_quota", nullptr));
    EXPECT_STREQ("", get_dom_Limit("3", "mbox_quota", nullptr));
}

TEST_F(PanelLookups, LongLimitValuesAreCut)
{
    mxtest::sql("INSERT INTO Limits VALUES (11, 'long', REPEAT('9', 5000));");
    const char* value = get_dom_Limit("2", "long", nullptr);
    ASSERT_NE(nullptr, value);
    EXPECT_EQ(std::string(4095, '9'), value);
}

TEST_F(PanelLookups, LimitQueryFailure)
{
    mxtest::sql("DROP TABLE Limits;");
    testing::internal::CaptureStderr();
    EXPECT_EQ(nullptr, get_dom_Limit("1", "mbox_quota", nullptr));
    EXPECT_EQ("Unable to query domain limit mbox_quota: Table 'hsp.Limits' doesn't exist\n\n",
              testing::internal::GetCapturedStderr());
}

TEST_F(PanelLookups, QuotesAreEscapedForTheQuery)
{
    MYSQL* conn = db_connect();
    ASSERT_NE(nullptr, conn);
    std::unique_ptr<char, decltype(&free)> name(mysql_escape_mail_entity(conn, "o'k.com"), free);
    ASSERT_TRUE(name);
    EXPECT_STREQ("o\\'k.com", name.get());
    char** list = nullptr;
    ASSERT_EQ(0, get_mailnames_by_domain(conn, &list, "o'k.com"));
    EXPECT_THAT(strings(list), ElementsAre("q"));
    // A quote cannot end the value early: this one names no domain at all.
    ASSERT_EQ(0, get_mailnames_by_domain(conn, &list, "x' OR 'a'='a"));
    EXPECT_THAT(strings(list), ElementsAre());
    mysql_close(conn);
}

// Every lookup, for failures that hit all of them alike.
struct Lookup {
    const char* name;
    std::function<bool()> fails;
    const char* message;
};

const std::vector<Lookup>& lookups()
{
    static const std::vector<Lookup> all = {
        {"DomainAliases",
         [] {
             char** l = nullptr;
             return get_domaliases_by_domain(nullptr, &l, "a.com") == -1 && l == nullptr;
         },
         "Unable to get domain aliases from database for: a.com"},
        {"MailAliases",
         [] {
             char** l = nullptr;
             return get_aliases_by_mailname(nullptr, &l, "info", "a.com") == -1 && l == nullptr;
         },
         "Unable to get aliases for mailname: info@a.com"},
        {"Mailnames",
         [] {
             char** l = nullptr;
             return get_mailnames_by_domain(nullptr, &l, "a.com") == -1 && l == nullptr;
         },
         "Unable to get mailnames from domain: a.com"},
        {"DomainOfAlias",
         [] {
             char* d = nullptr;
             return get_domain_by_domainalias(nullptr, &d, "a-alias1.com") == -1 && d == nullptr;
         },
         "Unable to get domain by domainalias: a-alias1.com"},
    };
    return all;
}

// The password file broken in one way, and the reason it gives.
struct PasswordFault {
    const char* name;
    std::function<void()> apply;
    const char* reason;
};

class LookupFaults : public testing::TestWithParam<std::tuple<Lookup, PasswordFault>> {
protected:
    void SetUp() override
    {
        mxtest::startMariaDB();
        mxtest::sql(fixture);
    }
};

TEST_P(LookupFaults, EveryLookupFailsWithThePasswordFileReason)
{
    const Lookup& lookup = std::get<0>(GetParam());
    const PasswordFault& fault = std::get<1>(GetParam());
    fault.apply();
    int fds = mxtest::openFdCount();
    testing::internal::CaptureStderr();
    EXPECT_TRUE(lookup.fails());
    EXPECT_EQ(std::string(fault.reason) + "\nUnable to connect to mysql database\n" +
                  lookup.message + "\n",
              testing::internal::GetCapturedStderr());
    EXPECT_EQ(fds, mxtest::openFdCount());

    testing::internal::CaptureStderr();
    EXPECT_EQ(nullptr, get_dom_Limit("1", "mbox_quota", nullptr));
    EXPECT_EQ(std::string(fault.reason) + "\nUnable to connect to the mysql database\n\n",
              testing::internal::GetCapturedStderr());
}

INSTANTIATE_TEST_SUITE_P(
    All, LookupFaults,
    testing::Combine(
        testing::ValuesIn(lookups()),
        testing::Values(PasswordFault{"Missing", [] { unlink(passwordFile); },
                                      "Unable to open admin password file: No such file or "
                                      "directory"},
                        PasswordFault{"Empty", [] { mxtest::writeFile(passwordFile, "", 0600); },
                                      "Unable to read admin password file: the file is empty"})),
    [](const testing::TestParamInfo<std::tuple<Lookup, PasswordFault>>& info) {
        return std::string(std::get<0>(info.param).name) + std::get<1>(info.param).name;
    });

TEST(PanelLookupsWithoutSchema, FailWithTheQueryError)
{
    mxtest::startMariaDB();
    mxtest::sql("DROP TABLE domainaliases;");
    char** list = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, get_domaliases_by_domain(nullptr, &list, "a.com"));
    EXPECT_EQ("Unable to get data from mysql database\n"
              "Unable to get domain aliases from database for: a.com\n",
              testing::internal::GetCapturedStderr());
    EXPECT_EQ(nullptr, list);
}

// Propagation: the panel database above plus an authentication database.
class Propagation : public PanelLookups {
protected:
    void SetUp() override
    {
        PanelLookups::SetUp();
        path_ = dir_.file("passwd.db");
        ASSERT_EQ(0, mailAuthDBCreate(path_.c_str()));
        ASSERT_EQ(0, mailAuthDBSetPath(path_.c_str()));
    }

    // rows - every row of a query on the authentication database as "a|b".
    std::vector<std::string> rows(const std::string& sql)
    {
        sqlite3* db = nullptr;
        std::vector<std::string> result;
        EXPECT_EQ(SQLITE_OK, sqlite3_open(path_.c_str(), &db));
        sqlite3_stmt* st = nullptr;
        EXPECT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr));
        while (st != nullptr && sqlite3_step(st) == SQLITE_ROW) {
            std::string row;
            for (int i = 0; i < sqlite3_column_count(st); ++i) {
                const unsigned char* v = sqlite3_column_text(st, i);
                row += (i > 0 ? "|" : "") +
                       std::string(v != nullptr ? reinterpret_cast<const char*>(v) : "NULL");
            }
            result.push_back(row);
        }
        sqlite3_finalize(st);
        sqlite3_close(db);
        return result;
    }

    // users - "name@domain|password|status", sorted.
    std::vector<std::string> users()
    {
        return rows("SELECT u.name || '@' || d.name, coalesce(u.userPassword, "
                    "u.cmusaslsecretPLAIN), u.status FROM users u JOIN domains d ON "
                    "u.dom_id = d.id ORDER BY 1");
    }

    std::vector<std::string> domains()
    {
        return rows("SELECT name, status FROM domains ORDER BY 1");
    }

    mxtest::TempDir dir_;
    std::string path_;
};

TEST_F(Propagation, MassPasswordReachesMailAliasesInEveryDomainAlias)
{
    ASSERT_EQ(0, set_mass_postbox_passwd("info", "a.com", "pw", 0));
    EXPECT_THAT(users(),
                ElementsAre("i1@a-alias1.com|pw|0", "i1@a-alias2.com|pw|0", "i1@a.com|pw|0",
                            "i2@a-alias1.com|pw|0", "i2@a-alias2.com|pw|0", "i2@a.com|pw|0",
                            "info@a-alias1.com|pw|0", "info@a-alias2.com|pw|0", "info@a.com|pw|0"));

    // An empty password takes them all away again.
    ASSERT_EQ(0, set_mass_postbox_passwd("info", "a.com", "", 0));
    EXPECT_TRUE(users().empty());
}

TEST_F(Propagation, ADomainWithoutAliasesIsChangedAlone)
{
    ASSERT_EQ(0, set_mass_postbox_passwd("x", "b.com", "pw", MAIL_AUTH_DISABLED));
    ASSERT_EQ(0, domain_auth_action("b.com", mailAuthDisableDomain, "disable auth records"));
    EXPECT_THAT(users(), ElementsAre("x@b.com|pw|1"));
    EXPECT_THAT(domains(), ElementsAre("b.com|1"));
    ASSERT_EQ(0, rm_mails_from_domains("x", "b.com"));
    EXPECT_TRUE(users().empty());
}

TEST_F(Propagation, DomainActionsCoverTheAliases)
{
    ASSERT_EQ(0, set_passwd_for_domains("info", "a.com", "pw", 0));
    ASSERT_EQ(0, set_passwd_for_domains("x", "b.com", "pw", 0));
    ASSERT_EQ(0, domain_auth_action("a.com", mailAuthDisableDomain, "disable auth records"));
    EXPECT_THAT(domains(), ElementsAre("a-alias1.com|1", "a-alias2.com|1", "a.com|1", "b.com|0"));
    ASSERT_EQ(0, domain_auth_action("a.com", mailAuthEnableDomain, "enable auth records"));
    EXPECT_THAT(domains(), ElementsAre("a-alias1.com|0", "a-alias2.com|0", "a.com|0", "b.com|0"));
    ASSERT_EQ(0, domain_auth_action("a.com", mailAuthRemoveDomain, "remove auth record"));
    EXPECT_THAT(domains(), ElementsAre("b.com|0"));
    EXPECT_THAT(users(), ElementsAre("x@b.com|pw|0"));
}

TEST_F(Propagation, RemovalsReachTheRightNames)
{
    ASSERT_EQ(0, set_mass_postbox_passwd("info", "a.com", "pw", 0));
    ASSERT_EQ(0, set_mass_postbox_passwd("sales", "a.com", "pw", 0));
    ASSERT_EQ(0, rm_mname_from_domains("info", "a.com"));
    EXPECT_THAT(users(), testing::Not(testing::Contains(testing::StartsWith("info@"))));
    EXPECT_THAT(users(), testing::Contains("i1@a-alias2.com|pw|0"));

    ASSERT_EQ(0, rm_mails_from_domains("info", "a.com"));
    EXPECT_THAT(users(), ElementsAre("sales@a-alias1.com|pw|0", "sales@a-alias2.com|pw|0",
                                     "sales@a.com|pw|0"));
}

TEST_F(Propagation, NewDomainAliasGetsCopiesOfEveryUser)
{
    ASSERT_EQ(0, mailAuthSet("info", "a.com", "$1$x$y", MAIL_AUTH_CRYPTED));
    ASSERT_EQ(0, mailAuthSet("i1", "a.com", "p1", MAIL_AUTH_DISABLED));
    ASSERT_EQ(0, mailAuthSet("i2", "a.com", "p2", 0));
    // sales has no authentication row: nothing to copy, no error.
    ASSERT_EQ(0, add_domain_auth_alias("a.com", "new.com"));
    EXPECT_THAT(users(),
                ElementsAre("i1@a.com|p1|1", "i1@new.com|p1|1", "i2@a.com|p2|0", "i2@new.com|p2|0",
                            "info@a.com|$1$x$y|0", "info@new.com|$1$x$y|0"));
    EXPECT_THAT(rows("SELECT cmusaslsecretPLAIN FROM users u JOIN domains d ON u.dom_id = d.id "
                     "WHERE d.name = 'new.com' AND u.name = 'info'"),
                ElementsAre("$1$x$y"));
}

TEST_F(Propagation, RemovingADomainAliasTakesItsUsers)
{
    ASSERT_EQ(0, set_mass_postbox_passwd("info", "a.com", "pw", 0));
    ASSERT_EQ(0, rm_domain_auth_alias("a-alias1.com"));
    EXPECT_THAT(domains(), ElementsAre("a-alias2.com|0", "a.com|0"));
    EXPECT_THAT(users(), testing::Not(testing::Contains(HasSubstr("@a-alias1.com"))));
    EXPECT_EQ(6u, users().size());
    // An alias the panel does not know: only the authentication rows go.
    ASSERT_EQ(0, rm_domain_auth_alias("stray.com"));
}

TEST_F(Propagation, ALookupFailureStopsAfterTheDomainItself)
{
    unlink(passwordFile);
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, set_mass_postbox_passwd("info", "a.com", "pw", 0));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("Unable to get domain aliases for domain a.com\n"));
    // What was changed before the failure stays changed.
    EXPECT_THAT(users(), ElementsAre("info@a.com|pw|0"));

    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, domain_auth_action("a.com", mailAuthDisableDomain, "disable auth records"));
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                HasSubstr("Unable to get aliases for domain a.com\n"));
    EXPECT_THAT(domains(), ElementsAre("a.com|1"));
}

TEST_F(Propagation, AnAuthenticationFailureNamesTheAddress)
{
    ASSERT_EQ(0, unlink(path_.c_str()));
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, rm_mname_from_domains("info", "a.com"));
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                HasSubstr("Unable to remove mailname info@a.com\n"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, domain_auth_action("a.com", mailAuthEnableDomain, "enable auth records"));
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                HasSubstr("Unable to enable auth records for domain a.com\n"));
}

} // namespace
