// settings_manager.h - server-wide mail settings: relay policy, SMTP
// authentication, POP-before-SMTP, RBL checks and the sender black list.
#ifndef MAIL_POSTFIX_SETTINGS_MANAGER_H
#define MAIL_POSTFIX_SETTINGS_MANAGER_H

#include <string>
#include <vector>

#include <boost/logic/tribool.hpp>

namespace ostra {
namespace mail {
namespace postfix {

class BatchDatabaseHelper;

// SettingsManager - policy choices turned into main.cf list edits and black
// list records. main.cf failures are PostfixConfigurationError, table
// failures those of the lookup table store.
class SettingsManager {
public:
    // main.cf texts.
    static const char RECIPIENT_RESTRICTIONS[]; // "smtpd_recipient_restrictions"
    static const char CLIENT_RESTRICTIONS[];    // "smtpd_client_restrictions"
    static const char SASL_AUTH_ENABLE[];       // "smtpd_sasl_auth_enable"
    static const char MYNETWORKS[];             // "mynetworks"
    static const char NO_RELAY_TABLE[];         // "pcre:/var/spool/postfix/ostra/no_relay.re"
    static const char RBL_CHECK[];              // "reject_rbl_client"

    // setOpenRelay - relaying for everyone.
    static void setOpenRelay();
    // setClosedRelay - relaying for trusted networks only.
    static void setClosedRelay();
    // setAuthRelay - relaying for trusted networks and, when smtp is true,
    // SASL-authenticated clients; pop true puts the POP-before-SMTP table into
    // mynetworks, false or indeterminate takes it out. smtp indeterminate
    // leaves the recipient restrictions and SASL switch alone.
    static void setAuthRelay(boost::logic::tribool smtp, boost::logic::tribool pop);

    // setRBLHosts - replace the RBL checks of the client restrictions by one
    // per non-empty zone, in order; other restrictions stay.
    template <class Iterator> static void setRBLHosts(Iterator first, Iterator last)
    {
        setRBLHosts(std::vector<std::string>(first, last));
    }
    static void setRBLHosts(const std::vector<std::string>& zones);

    // addBlackDomain - reject mail from domain (ASCII form), through batch.
    static void addBlackDomain(BatchDatabaseHelper& batch, const std::string& domain);
    // addBlackDomain - the same with a change set of its own.
    static void addBlackDomain(const std::string& domain);
    // removeBlackDomain - take domain off the black list; absent is no error.
    static void removeBlackDomain(const std::string& domain);

    // rblRestrictions - the client restrictions current (a main.cf value) with
    // every element naming an RBL check replaced by one check per zone.
    static std::string rblRestrictions(const std::string& current,
                                       const std::vector<std::string>& zones);

private:
    SettingsManager() = delete;

    // restrictRelay - the recipient restrictions: first, the no-relay table, last.
    static void restrictRelay(const char* first, const char* last);
};

} // namespace postfix
} // namespace mail
} // namespace ostra

#endif
