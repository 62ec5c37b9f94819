/* mbox_quota.cc - mailbox and domain quotas, with the attachment store
 * counted against them and domain defaults from the panel database. */
#include "mail/lib/mbox_quota.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "mail/lib/mail_path.h"
#include "mail/lib/mail_tree.h"
#include "mail/lib/panel_lookups.h"
#include "mail/lib/quota_log.h"
#include "ostra/hsp_conf.h"
#include "ostra/idn.h"
#include "ostra/panel_db.h"

namespace {

/* PanelDb - a panel database connection closed at scope exit. */
class PanelDb {
public:
    PanelDb() : conn_(db_connect()) {}
    ~PanelDb()
    {
        if (conn_ != nullptr)
            mysql_close(conn_);
    }
    PanelDb(const PanelDb&) = delete;
    PanelDb& operator=(const PanelDb&) = delete;
    MYSQL* get() const { return conn_; }

private:
    MYSQL* conn_;
};

/* DbResult - a stored query result freed at scope exit. */
class DbResult {
public:
    explicit DbResult(MYSQL_RES* res) : res_(res) {}
    ~DbResult()
    {
        if (res_ != nullptr)
            mysql_free_result(res_);
    }
    DbResult(const DbResult&) = delete;
    DbResult& operator=(const DbResult&) = delete;
    MYSQL_RES* get() const { return res_; }

private:
    MYSQL_RES* res_;
};

/* CString - a malloc()ed string freed at scope exit. */
class CString {
public:
    explicit CString(char* s) : s_(s) {}
    ~CString() { free(s_); }
    CString(const CString&) = delete;
    CString& operator=(const CString&) = delete;
    const char* get() const { return s_; }

private:
    char* s_;
};

/* query_or_report - run a query and store its result; null after a message. */
MYSQL_RES* query_or_report(MYSQL* conn, const char* query, const char* what)
{
    MYSQL_RES* res = nullptr;
    if (mysql_query(conn, query) != 0 || (res = mysql_store_result(conn)) == nullptr) {
        errno = 0;
        quota_report("%s: %s", what, mysql_error(conn));
    }
    return res;
}

/* parse_quota - a quota value read with "%lld"; false when it does not parse. */
bool parse_quota(const char* text, long long* quota)
{
    return text != nullptr && sscanf(text, "%lld", quota) == 1;
}

} // namespace

/* store_mbox_quota - the quota of one mailbox, less its attachment store. */
int store_mbox_quota(const char* MailDomain, const char* MailName, long long quota)
{
    if (!mail_path_component_ok(MailName)) {
        errno = 0;
        quota_report("invalid mail name '%s'", MailName == nullptr ? "" : MailName);
        return 0;
    }
    CString domain(idn_toascii(MailDomain));
    if (domain.get() == nullptr) {
        errno = 0;
        quota_report("idn_toascii(%s) failed: %s", MailDomain, idn_strerror(idn_errno));
        return 0;
    }
    if (!mail_path_component_ok(domain.get())) {
        errno = 0;
        quota_report("invalid domain name '%s'", MailDomain);
        return 0;
    }
    char home[4096];
    int n = snprintf(home, sizeof home, "%s/%s/%s",
                     hspConfGetDefaultByIndex(HSP_CONF_OSTRA_MAILNAMES_D), domain.get(), MailName);
    if (n < 0 || n >= (int)sizeof home) {
        errno = 0;
        quota_report("domain and/or user name too long to be stored on the filesystem");
        return 0;
    }

    ostra::mail::TreeFd home_dir = ostra::mail::openTreeDir(home);
    if (!home_dir) {
        int saved = errno;
        quota_report("unable to change to mbox folder %s: %s", home,
                     ostra::mail::treeStrerror(saved));
        return 0;
    }
    long long value = quota;
    if (quota >= 0) {
        long long attached = mailbox_attachments_size(home_dir.get());
        if (attached < 0) {
            quota_report("unable to count attachments folder size");
            return 0;
        }
        int overflow;
        value = maildirpp_effective_quota(quota, attached, &overflow);
        if (overflow) {
            errno = 0;
            quota_report("WARNING: @attachments directory is big enough to disable delivery!");
        }
    }
    std::string maildir = std::string(home) + "/Maildir";
    ostra::mail::TreeFd maildir_dir = ostra::mail::openDirAt(home_dir.get(), "Maildir");
    if (!maildir_dir) {
        quota_open_report(maildir.c_str(), errno);
        return 0;
    }
    return store_maildirpp_quota_raw_at(maildir_dir.get(), maildir.c_str(), value);
}

/* rm_mbox_quota - the domain's "mbox_quota" limit for one mailbox. */
int rm_mbox_quota(const char* MailDomain, const char* MailName)
{
    PanelDb db;
    if (db.get() == nullptr) {
        errno = 0;
        quota_report("unable to connect to MySQL");
        return 0;
    }
    CString escaped(mysql_escape_mail_entity(db.get(), MailDomain));
    if (escaped.get() == nullptr)
        return 0;
    char query[4096];
    int n = snprintf(query, sizeof query, "SELECT id FROM domains WHERE name='%s'", escaped.get());
    if (n < 0 || n >= (int)sizeof query) {
        errno = 0;
        quota_report("domain name is too long to fit query buffer");
        return 0;
    }
    if (mysql_query(db.get(), query) != 0) {
        errno = 0;
        quota_report("Unable to query domain ID: %s", mysql_error(db.get()));
        return 0;
    }
    DbResult res(mysql_store_result(db.get()));
    if (res.get() == nullptr) {
        errno = 0;
        quota_report("Unable to get domain ID query result: %s", mysql_error(db.get()));
        return 0;
    }
    MYSQL_ROW row = mysql_fetch_row(res.get());
    if (row == nullptr || row[0] == nullptr) {
        errno = 0;
        quota_report("No such domain %s", MailDomain);
        return 0;
    }

    const char* limit = get_dom_Limit(row[0], "mbox_quota", db.get());
    /* A failed lookup is not taken for "no limit": that would lift the quota. */
    if (limit == nullptr)
        return 0;
    long long quota;
    if (*limit == '\0' || !parse_quota(limit, &quota))
        quota = -1;
    return store_mbox_quota(MailDomain, MailName, quota);
}

/* store_default_mbox_quota - quota for every mailbox without one of its own. */
int store_default_mbox_quota(const char* DomainName, long long quota)
{
    PanelDb db;
    if (db.get() == nullptr) {
        errno = 0;
        quota_report("unable to connect to MySQL");
        return 0;
    }
    CString escaped(mysql_escape_mail_entity(db.get(), DomainName));
    if (escaped.get() == nullptr)
        return 0;
    char query[4096];
    int n = snprintf(query, sizeof query,
                     "SELECT m.mail_name, m.mbox_quota FROM mail m, domains d "
                     "WHERE d.id = m.dom_id AND d.name='%s' ",
                     escaped.get());
    if (n < 0 || n >= (int)sizeof query) {
        errno = 0;
        quota_report("domain name is too long to fit query buffer");
        return 0;
    }
    DbResult res(query_or_report(db.get(), query, "Unable to query mailnames"));
    if (res.get() == nullptr)
        return 0;

    MYSQL_ROW row;
    while ((row = mysql_fetch_row(res.get())) != nullptr) {
        if (row[0] == nullptr)
            continue;
        long long own;
        if (parse_quota(row[1], &own) && own != -1)
            continue;
        if (!store_mbox_quota(DomainName, row[0], quota)) {
            errno = 0;
            quota_report("unable to set default mbox quota for domain '%s' (processing '%s')",
                         DomainName, row[0]);
            return 0;
        }
    }
    return 1;
}

/* store_domain_quota - the same as store_default_mbox_quota. */
int store_domain_quota(const char* MailDomain, long long quota)
{
    return store_default_mbox_quota(MailDomain, quota);
}
