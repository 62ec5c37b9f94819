// settings_manager.cc - relay policy, RBL checks and the black list.
#include "mail/postfix/settings_manager.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>

#include "mail/postfix/database_helper.h"
#include "mail/postfix/maincf_manager.h"

namespace ostra {
namespace mail {
namespace postfix {

const char SettingsManager::RECIPIENT_RESTRICTIONS[] = "smtpd_recipient_restrictions";
const char SettingsManager::CLIENT_RESTRICTIONS[] = "smtpd_client_restrictions";
const char SettingsManager::SASL_AUTH_ENABLE[] = "smtpd_sasl_auth_enable";
const char SettingsManager::MYNETWORKS[] = "mynetworks";
const char SettingsManager::NO_RELAY_TABLE[] = "pcre:/var/spool/postfix/ostra/no_relay.re";
const char SettingsManager::RBL_CHECK[] = "reject_rbl_client";

namespace {

const char CLIENT_ACCESS[] = "check_client_access";
const char PERMIT_TRUSTED[] = "permit_mynetworks";
const char PERMIT_ALL[] = "permit";
const char REJECT_UNAUTH[] = "reject_unauth_destination";
const char REJECT_ALL[] = "reject";
// One text with an inner ", ": never equal to a single element, so always appended.
const char PERMIT_AUTHENTICATED[] = "permit_sasl_authenticated, reject_unauth_destination";

} // namespace

// restrictRelay - rewrite the recipient restrictions around the no-relay table.
void SettingsManager::restrictRelay(const char* first, const char* last)
{
    MainCfManager& maincf = MainCfManager::getInstance();
    // Three writes make one list: another run's edit must not land between them.
    MainCfManager::EditLock edit(maincf);
    maincf.replaceStringValue(RECIPIENT_RESTRICTIONS, first);
    maincf.appendCompoundStringValue(RECIPIENT_RESTRICTIONS, CLIENT_ACCESS, NO_RELAY_TABLE);
    maincf.appendStringValue(RECIPIENT_RESTRICTIONS, last);
}

// setOpenRelay - permit, the no-relay table, reject.
void SettingsManager::setOpenRelay()
{
    restrictRelay(PERMIT_ALL, REJECT_ALL);
}

// setClosedRelay - trusted networks, the no-relay table, reject the rest.
void SettingsManager::setClosedRelay()
{
    restrictRelay(PERMIT_TRUSTED, REJECT_UNAUTH);
}

// setAuthRelay - closed relay, opened for authenticated clients as asked.
void SettingsManager::setAuthRelay(boost::logic::tribool smtp, boost::logic::tribool pop)
{
    MainCfManager& maincf = MainCfManager::getInstance();
    if (smtp) {
        maincf.replaceStringValue(SASL_AUTH_ENABLE, "yes");
        restrictRelay(PERMIT_TRUSTED, PERMIT_AUTHENTICATED);
    } else if (!smtp) {
        maincf.replaceStringValue(SASL_AUTH_ENABLE, "no");
        setClosedRelay();
    }
    if (pop)
        maincf.appendStringValue(MYNETWORKS, tables::POPLOCK);
    else
        maincf.removeListElement(MYNETWORKS, tables::POPLOCK);
}

// rblRestrictions - keep the non-RBL elements, then one check per zone.
std::string SettingsManager::rblRestrictions(const std::string& current,
                                             const std::vector<std::string>& zones)
{
    std::vector<std::string> kept;
    if (!current.empty()) {
        std::vector<std::string> pieces;
        boost::algorithm::split(pieces, current, boost::algorithm::is_any_of(","),
                                boost::algorithm::token_compress_on);
        for (std::string& piece : pieces) {
            boost::algorithm::trim(piece);
            if (!piece.empty() && piece.find(RBL_CHECK) == std::string::npos)
                kept.push_back(piece);
        }
    }
    for (const std::string& zone : zones)
        if (!zone.empty())
            kept.push_back(std::string(RBL_CHECK) + " " + zone);
    std::string value;
    for (const std::string& element : kept)
        value += (value.empty() ? "" : ", ") + element;
    return value;
}

// setRBLHosts - write the client restrictions with the new RBL checks.
void SettingsManager::setRBLHosts(const std::vector<std::string>& zones)
{
    MainCfManager& maincf = MainCfManager::getInstance();
    MainCfManager::EditLock edit(maincf); // the list written is built on the one read
    maincf.replaceStringValue(CLIENT_RESTRICTIONS,
                              rblRestrictions(maincf.getStringValue(CLIENT_RESTRICTIONS), zones));
}

// addBlackDomain - one (domain, REJECT) record through the change set.
void SettingsManager::addBlackDomain(BatchDatabaseHelper& batch, const std::string& domain)
{
    RecordList records;
    records.push_back(Record(domain, tables::BLACKLIST_VALUE));
    batch.addChanges(tables::BLACKLISTS, records);
}

// addBlackDomain - with an immediate, incremental change set of its own.
void SettingsManager::addBlackDomain(const std::string& domain)
{
    BatchDatabaseHelper batch;
    addBlackDomain(batch, domain);
}

// removeBlackDomain - remove the domain's key from the black list.
void SettingsManager::removeBlackDomain(const std::string& domain)
{
    DatabaseHelper::removeRecord(tables::BLACKLISTS, domain);
}

} // namespace postfix
} // namespace mail
} // namespace ostra
