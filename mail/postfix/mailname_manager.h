// mailname_manager.h - mail names in the lookup tables and their mail homes:
// mailbox and address records, mail aliases, renaming with roll-back, and the
// delivery switches and forwards of the ".qmail" file.
#ifndef MAIL_POSTFIX_MAILNAME_MANAGER_H
#define MAIL_POSTFIX_MAILNAME_MANAGER_H

#include <optional>
#include <string>

#include "mail/lib/maildir_manager.h"
#include "mail/postfix/database_helper.h"

namespace ostra {
namespace mail {
namespace postfix {

// MailnameManager - keeps the lookup tables and mail homes in line with the
// panel's mail names. Domains are in ASCII form; a mail name is the local
// part only. Failures propagate; completed steps stay done, except that a
// failed rename restores both tables.
class MailnameManager {
public:
    // Roll-back failure message: head, table name, tail, then a line end.
    static const char doubleErrorHead[];
    static const char doubleErrorTail[];
    // Table names in roll-back failure messages.
    static const char virtualTableName[];
    static const char vmailboxTableName[];

    // createMailname - mail home, ".qmail" reset, quota (or the domain default), records.
    static void createMailname(const std::string& domain, const std::string& mailname,
                               std::optional<long long> quota = std::nullopt);
    // createMailnameRecord - the "vmailbox" record, then the "virtual" records in one call.
    static void createMailnameRecord(BatchDatabaseHelper& batch, const std::string& domain,
                                     const std::string& mailname);

    // createMailAlias - alias@domain and alias@each alias domain, pointing at mailname@domain.
    static void createMailAlias(BatchDatabaseHelper& batch, const std::string& domain,
                                const std::string& mailname, const std::string& alias);
    static void createMailAlias(const std::string& domain, const std::string& mailname,
                                const std::string& alias);
    // removeMailAlias - drop the alias's "virtual" keys; mailname is not used.
    static void removeMailAlias(const std::string& domain, const std::string& mailname,
                                const std::string& alias);

    // removeMailname - drop the mail name's records; the mail home as mode says.
    static void removeMailname(const std::string& domain, const std::string& mailname,
                               OnRemoval mode);

    // renameMailname - rename in "vmailbox", "virtual" and on disk; when a later
    // step fails both tables are restored and the first error is passed on. A
    // rerun of a rename killed after its home was moved completes it.
    static void renameMailname(const std::string& domain, const std::string& oldMailname,
                               const std::string& newMailname);
    // renameMailnameOnDomainAlias - rename oldMailname@alias in "virtual".
    static void renameMailnameOnDomainAlias(const std::string& alias,
                                            const std::string& oldMailname,
                                            const std::string& newMailname);

    // enableDelivery, disableDelivery - the mailbox delivery line of ".qmail".
    static void enableDelivery(const std::string& domain, const std::string& mailname);
    static void disableDelivery(const std::string& domain, const std::string& mailname);
    // addForward, removeForward - a forward line of ".qmail".
    static void addForward(const std::string& domain, const std::string& mailname,
                           const std::string& address);
    static void removeForward(const std::string& domain, const std::string& mailname,
                              const std::string& address);

private:
    MailnameManager() = delete;
};

} // namespace postfix
} // namespace mail
} // namespace ostra

#endif
