// panel_lookups.cc - reading domains, aliases, mail names and limits from the
//                    panel database.
#include "mail/lib/panel_lookups.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "mail/lib/string_list.h"
#include "ostra/idn.h"
#include "ostra/log.h"

namespace {

const int ErrorLevel = 3;

// Room for a limit value: at most 4095 characters and the terminator.
const size_t LimitBufferSize = 4096;

// runListQuery - the rows of a query as a list, its values escaped for the
// connection; 0 or -1. On failure *list is left alone.
template <class... Values>
int runListQuery(MYSQL* conn, char*** list, const char* fmt, Values... values)
{
    StringList rows;
    if (exec_mysql_queryf(conn, rows.out(), fmt, values...) != 0)
        return -1;
    *list = rows.release();
    return 0;
}

} // namespace

// get_domaliases_by_domain - the domain aliases of domain.
int get_domaliases_by_domain(MYSQL* conn, char*** list, const char* domain)
{
    if (list == nullptr || domain == nullptr ||
        runListQuery(conn, list,
                     "SELECT da.name FROM domainaliases da JOIN domains d WHERE "
                     "da.dom_id=d.id and d.name='%s'",
                     domain) != 0) {
        ostra_log(ErrorLevel, "Unable to get domain aliases from database for: %s",
                  domain != nullptr ? domain : "(null)");
        return -1;
    }
    return 0;
}

// get_aliases_by_mailname - the mail aliases of mailname@domain.
int get_aliases_by_mailname(MYSQL* conn, char*** list, const char* mailname, const char* domain)
{
    if (list == nullptr || mailname == nullptr || domain == nullptr ||
        runListQuery(conn, list,
                     "SELECT ma.alias FROM mail_aliases ma JOIN mail m, domains d "
                     "WHERE ma.mn_id=m.id AND m.mail_name='%s' AND m.dom_id=d.id "
                     "AND d.name='%s'",
                     mailname, domain) != 0) {
        ostra_log(ErrorLevel, "Unable to get aliases for mailname: %s@%s",
                  mailname != nullptr ? mailname : "(null)", domain != nullptr ? domain : "(null)");
        return -1;
    }
    return 0;
}

// get_mailnames_by_domain - the mail names of domain.
int get_mailnames_by_domain(MYSQL* conn, char*** list, const char* domain)
{
    if (list == nullptr || domain == nullptr ||
        runListQuery(conn, list,
                     "SELECT m.mail_name FROM mail m JOIN domains d WHERE "
                     "m.dom_id=d.id AND d.name='%s'",
                     domain) != 0) {
        ostra_log(ErrorLevel, "Unable to get mailnames from domain: %s",
                  domain != nullptr ? domain : "(null)");
        return -1;
    }
    return 0;
}

// get_domain_by_domainalias - the domain a domain alias belongs to.
int get_domain_by_domainalias(MYSQL* conn, char** domain, const char* alias)
{
    char** rows = nullptr;
    if (domain == nullptr || alias == nullptr ||
        runListQuery(conn, &rows,
                     "SELECT d.name FROM domains d JOIN domainaliases da WHERE "
                     "d.id=da.dom_id AND da.name='%s'",
                     alias) != 0) {
        ostra_log(ErrorLevel, "Unable to get domain by domainalias: %s",
                  alias != nullptr ? alias : "(null)");
        return -1;
    }
    StringList found(rows);
    if (found.size() > 0) {
        char* name = strdup(found.at(0));
        if (name == nullptr) {
            ostra_log(ErrorLevel, "Unable to get domain by domainalias: %s", alias);
            return -1;
        }
        *domain = name;
    }
    return 0;
}

// get_dom_Limit - a domain's limit value, "" when it has none, null on failure.
const char* get_dom_Limit(const char* domainId, const char* limitName, MYSQL* conn)
{
    static char value[LimitBufferSize];
    if (domainId == nullptr || limitName == nullptr) {
        ostra_log(ErrorLevel, "Unable to query domain limit %s: %s\n",
                  limitName != nullptr ? limitName : "(null)", "a required argument is missing");
        return nullptr;
    }
    std::unique_ptr<MYSQL, decltype(&mysql_close)> own(nullptr, mysql_close);
    if (conn == nullptr) {
        own.reset(db_connect());
        if (!own) {
            ostra_log(ErrorLevel, "Unable to connect to the mysql database\n");
            return nullptr;
        }
        conn = own.get();
    }
    std::unique_ptr<char, decltype(&free)> query(
        mysql_format_query(conn,
                           "select l.value from domains d, Limits l \t\t\t\t where d.id='%s' and "
                           "d.limits_id=l.id  and l.limit_name='%s'",
                           domainId, limitName),
        free);
    if (!query || mysql_query(conn, query.get()) != 0) {
        ostra_log(ErrorLevel, "Unable to query domain limit %s: %s\n", limitName,
                  mysql_error(conn));
        return nullptr;
    }
    std::unique_ptr<MYSQL_RES, decltype(&mysql_free_result)> res(mysql_store_result(conn),
                                                                 mysql_free_result);
    if (!res) {
        ostra_log(ErrorLevel, "Unable to query domain limit %s: %s\n", limitName,
                  mysql_error(conn));
        return nullptr;
    }
    value[0] = '\0';
    MYSQL_ROW row = mysql_fetch_row(res.get());
    if (row != nullptr && row[0] != nullptr)
        snprintf(value, sizeof value, "%s", row[0]);
    else if (row == nullptr && mysql_errno(conn) != 0) {
        ostra_log(ErrorLevel, "Unable to query domain limit %s: %s\n", limitName,
                  mysql_error(conn));
        return nullptr;
    }
    return value;
}

// mysql_escape_mail_entity - ASCII form of a domain, escaped for quoting.
char* mysql_escape_mail_entity(MYSQL* conn, const char* entity)
{
    if (entity == nullptr) {
        ostra_log(ErrorLevel, "idn_toascii(%s) failed: %s", "(null)", idn_strerror(-1));
        return nullptr;
    }
    std::unique_ptr<char, decltype(&free)> ascii(idn_toascii(entity), free);
    if (!ascii) {
        ostra_log(ErrorLevel, "idn_toascii(%s) failed: %s", entity, idn_strerror(idn_errno));
        return nullptr;
    }
    size_t len = strlen(ascii.get());
    char* escaped = static_cast<char*>(malloc(len * 2 + 1));
    if (escaped == nullptr) {
        ostra_log(ErrorLevel, "unable to allocate memory to properly escape %s", entity);
        return nullptr;
    }
    // Without a connection there is no character set to ask; the plain escape
    // is exact for the ASCII text idn_toascii yields.
    if (conn != nullptr) {
        mysql_real_escape_string(conn, escaped, ascii.get(), len);
    } else {
        // The client's default character set exists only once the library is set up.
        mysql_library_init(0, nullptr, nullptr);
        mysql_escape_string(escaped, ascii.get(), len);
    }
    return escaped;
}
