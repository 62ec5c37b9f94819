// panel_lookups.h - panel database lookups, and carrying changes of the mail
//                   authentication database over to domain and mail aliases.
#ifndef MAIL_LIB_PANEL_LOOKUPS_H
#define MAIL_LIB_PANEL_LOOKUPS_H

#include "ostra/panel_db.h"

// Lookups: conn may be null (a connection of their own is opened and closed).
// Lists are null-terminated arrays freed with free_array; no rows give null.
// Values go into the queries escaped for the connection, so a mail name may
// hold an apostrophe. Result 0, or -1 after logging.

// get_domaliases_by_domain - the domain aliases of domain.
int get_domaliases_by_domain(MYSQL* conn, char*** list, const char* domain);

// get_aliases_by_mailname - the mail aliases of mailname@domain.
int get_aliases_by_mailname(MYSQL* conn, char*** list, const char* mailname, const char* domain);

// get_mailnames_by_domain - the mail names of domain.
int get_mailnames_by_domain(MYSQL* conn, char*** list, const char* domain);

// get_domain_by_domainalias - the domain of a domain alias, stored in *domain
//                             as a new string (free()); untouched when none.
int get_domain_by_domainalias(MYSQL* conn, char** domain, const char* alias);

// get_dom_Limit - a domain's limit by domain id: the value ("" when there is
//                 none) in a buffer the next call overwrites, or null.
const char* get_dom_Limit(const char* domainId, const char* limitName, MYSQL* conn);

// mysql_escape_mail_entity - a domain in ASCII form, escaped for use inside
//                            quotes on conn (null: no connection charset);
//                            a new string (free()) or null.
char* mysql_escape_mail_entity(MYSQL* conn, const char* entity);

// Propagation: -1 on the first failure (earlier changes stay), else 0.

// rm_mname_from_domains - remove mailname from domain and its domain aliases.
int rm_mname_from_domains(const char* mailname, const char* domain);

// rm_mails_from_domains - remove mailname and its mail aliases from domain
//                         and its domain aliases.
int rm_mails_from_domains(const char* mailname, const char* domain);

// domain_auth_action - apply a domain operation (mailAuthEnableDomain,
//                      mailAuthDisableDomain, mailAuthRemoveDomain) to domain
//                      and its domain aliases; actionName names it in messages.
int domain_auth_action(const char* domain, int (*action)(const char*), const char* actionName);

// set_passwd_for_domains - set_postbox_passwd for domain and its domain
//                          aliases; a null or empty password removes the user.
int set_passwd_for_domains(const char* mailname, const char* domain, const char* password,
                           int flags);

// set_mass_postbox_passwd - set_passwd_for_domains for mailname and each of
//                           its mail aliases.
int set_mass_postbox_passwd(const char* mailname, const char* domain, const char* password,
                            int flags);

// add_domain_auth_alias - copy every user of domain (mail names and their mail
//                         aliases) to the new domain alias.
int add_domain_auth_alias(const char* domain, const char* alias);

// rm_domain_auth_alias - remove a domain alias and its users.
int rm_domain_auth_alias(const char* alias);

#endif
