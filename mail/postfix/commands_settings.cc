// commands_settings.cc - server-wide mail settings commands: relaying and
// authentication, white and black lists, RBL zones, message size, account
// name format and the features report.
#include "mail/postfix/mxadmin_commands.h"

#include <stdint.h>

#include <iostream>
#include <string>
#include <vector>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/lexical_cast.hpp>

#include "mail/lib/courier_params.h"
#include "mail/postfix/command_util.h"
#include "mail/postfix/decimal_option.h"
#include "mail/postfix/maincf_manager.h"
#include "mail/postfix/options_helper.h"
#include "mail/postfix/service_manager.h"
#include "mail/postfix/settings_manager.h"
#include "mail/postfix/settings_options.h"
#include "ostra/env.h"
#include "ostra/errors.h"
#include "ostra/values.h"

namespace po = boost::program_options;

namespace ostra {
namespace mail {
namespace postfix {
namespace mxadmin_commands {

namespace {

const char NO_SHORT_NAMES[] = "short account-format is not supported for Postfix";
const char MESSAGE_SIZE_LIMIT[] = "message_size_limit";
const char MAILBOX_SIZE_LIMIT[] = "mailbox_size_limit";

// The features report, in its order.
const struct {
    const char* name;
    const char* value;
} FEATURES[] = {
    {"MailName_SetName", "true"},
    {"MailName_SetDomain", "true"},
    {"MailName_Quota", "true"},
    {"MailName_SetQuota", "true"},
    {"MailName_Size", "true"},
    {"MailName_Password", "true"},
    {"MailName_SetPassword", "true"},
    {"MailName_Postbox", "true"},
    {"MailName_SetPostbox", "true"},
    {"MailName_Forward", "true"},
    {"MailName_MultiForward", "true"},
    {"MailName_SetForward", "true"},
    {"MailName_AutoResponder", "true"},
    {"MailName_SetAutoResponder", "true"},
    {"MailName_Aliases", "true"},
    {"Domain_SetName", "true"},
    {"Domain_Enable", "true"},
    {"Domain_SetEnable", "true"},
    {"Domain_Quota", "true"},
    {"Domain_SetQuota", "true"},
    {"Domain_Bounce", "true"},
    {"Domain_SetBounce", "true"},
    {"Domain_Catch", "true"},
    {"Domain_SetCatch", "true"},
    {"Domain_Reject", "true"},
    {"Common_BadMail", "true"},
    {"Common_MaxLetterSize", "true"},
    {"Common_SetMaxLetterSize", "true"},
    {"Relay", "true"},
    {"Relay_Set", "true"},
    {"Relay_Open", "true"},
    {"Relay_Closed", "true"},
    {"Relay_AuthorizationIsRequired", "true"},
    {"Relay_AuthType_None", "true"},
    {"Relay_AuthType_POP3_SMTP", "true"},
    {"Relay_AuthType_POP3", "false"},
    {"Relay_AuthType_SMTP", "true"},
    {"Relay_POP3_LockTime", "true"},
    {"Relay_WhiteList", "true"},
    {"Relay_WhiteList_Mask", "true"},
    {"Relay_BlackList", "true"},
    {"Relay_WhiteList_BlackList", "true"},
    {"MapsProtection", "true"},
    {"SetMapsProtection", "true"},
    {"AccountsFormat_Simple", "false"},
    {"AccountsFormat_Compound", "true"},
    {"AccountsFormat_Both", "false"},
    {"AccountsFormat_Set", "true"},
    {"Mail_Send", "true"},
    {"Mail_Attachments", "true"},
    {"Mail_Forward", "true"},
    {"SMTP_Server", "Postfix"},
    {"IMAP_POP3_Server", "Courier-IMAP"},
    {"SMTP_Server_package", "postfix"},
    {"IMAP_POP3_Server_package", "courier-imap"},
    {"Message_Submission", "true"},
    {"Message_Submission_all_IP", "true"},
    {"Message_Submission_Dedicated_IP", "false"},
};

// parseNone - the options of a command that takes none: only --help.
void parseNone(const char* title, const char* synopsis, int argc, char** argv)
{
    ProgramOptionsHelper helper(title, synopsis);
    standardOptionsParse(helper, argc, argv);
}

// printLimit - a main.cf size parameter as a decimal number and a line end.
int printLimit(const char* parameter)
{
    const std::string value = MainCfManager::getInstance().getStringValue(parameter);
    std::cout << boost::lexical_cast<int64_t>(value) << std::endl;
    return 0;
}

// whiteListEntry - the mynetworks element of the --ip-address and --netmask
// options: one address and one prefix length, nothing more for main.cf.
std::string whiteListEntry(const ProgramOptionsHelper& helper)
{
    const std::string address = helper.variables["ip-address"].as<std::string>();
    checkValue(address, ipv4_address_ok, "IPv4 address");
    return address + "/" + std::to_string(helper.variables["netmask"].as<IPv4Mask>().value);
}

// parseWhiteList - the options of the white list commands.
void parseWhiteList(ProgramOptionsHelper& helper, int argc, char** argv)
{
    // clang-format off
    helper.addOptions()
        ("ip-address", po::value<std::string>(), "IPv4 address", true)
        ("netmask", decimalValueVia<IPv4Mask, unsigned short>(), "netmask", true);
    // clang-format on
    standardOptionsParse(helper, argc, argv);
}

// parseBadMailFrom - the --domain-name option of the black list commands, in ASCII form.
std::string parseBadMailFrom(ProgramOptionsHelper& helper, int argc, char** argv)
{
    // clang-format off
    helper.addOptions()
        ("domain-name", po::value<std::string>(), "domain name", true);
    // clang-format on
    standardOptionsParse(helper, argc, argv);
    return asciiDomainOption(helper);
}

} // namespace

// setMailParams - the --set-mail-params command: Courier variables, then relaying.
int setMailParams(int argc, char** argv)
{
    ProgramOptionsHelper helper("set mail server parameters",
                                "--set-mail-params [--relayclient] [--smtpauth] [--popauth] "
                                "[--poplock-time=<time_in_seconds>] [--shortnames]");
    // clang-format off
    helper.addOptions()
        ("relayclient", "whether to enable mail relaying (disabled by default)")
        ("smtpauth", "whether to enable SMTP authorization (disabled by default)")
        ("popauth", "whether to enable POP3 before SMTP authorization (disabled by default)")
        ("poplock-time", decimalValue<short>()->default_value(-1, "-1"),
         "POP3 authorization validity time")
        ("shortnames", "whether to enable short names (legacy, not supported)");
    // clang-format on
    standardOptionsParse(helper, argc, argv);
    if (helper.variables.count("shortnames"))
        throw NotSupportedError(NO_SHORT_NAMES);

    const bool relayClient = helper.variables.count("relayclient") != 0;
    const bool smtpAuth = helper.variables.count("smtpauth") != 0;
    const bool popAuth = helper.variables.count("popauth") != 0;
    const short poplockTime = helper.variables["poplock-time"].as<short>();
    if (set_courier_params(relayClient, popAuth, poplockTime, 0) != 0)
        return 1;
    if (relayClient)
        SettingsManager::setOpenRelay();
    else
        SettingsManager::setAuthRelay(smtpAuth, popAuth);
    ServiceManager::reloadServer(); // a failed reload changes nothing already written
    return 0;
}

// setMaxLetterSize - the --set-max-letter-size command; 0 means the mailbox size limit.
int setMaxLetterSize(int argc, char** argv)
{
    ProgramOptionsHelper helper("set maximal letter size",
                                "--set-max-letter-size --size=<size_in_bytes>");
    // clang-format off
    helper.addOptions()
        ("size", po::value<long long>(), "letter size", true);
    // clang-format on
    standardOptionsParse(helper, argc, argv);
    MainCfManager& maincf = MainCfManager::getInstance();
    int64_t size = helper.variables["size"].as<long long>();
    if (size == 0)
        size = boost::lexical_cast<int64_t>(maincf.getStringValue(MAILBOX_SIZE_LIMIT));
    maincf.replaceStringValue(MESSAGE_SIZE_LIMIT, std::to_string(size));
    ServiceManager::reloadServer();
    return 0;
}

// getMaxLetterSize - the --get-max-letter-size command.
int getMaxLetterSize(int argc, char** argv)
{
    parseNone("get maximal letter size", "--get-max-letter-size", argc, argv);
    return printLimit(MESSAGE_SIZE_LIMIT);
}

// getMailboxLimit - the --get-mailbox-size-limit command.
int getMailboxLimit(int argc, char** argv)
{
    parseNone("get mailbox size limit", "--get-mailbox-size-limit", argc, argv);
    return printLimit(MAILBOX_SIZE_LIMIT);
}

// addWhiteList - the --add-whitelist command.
int addWhiteList(int argc, char** argv)
{
    ProgramOptionsHelper helper("add a network to whitelist",
                                "--add-whitelist --ip-address=<ip_address> --netmask=<netmask>");
    parseWhiteList(helper, argc, argv);
    MainCfManager::getInstance().appendStringValue(SettingsManager::MYNETWORKS,
                                                   whiteListEntry(helper));
    ServiceManager::reloadServer();
    return 0;
}

// removeWhiteList - the --remove-whitelist command; loopback networks always stay.
int removeWhiteList(int argc, char** argv)
{
    ProgramOptionsHelper helper("remove a network from whitelist",
                                "--remove-whitelist --ip-address=<ip_address> --netmask=<netmask>");
    parseWhiteList(helper, argc, argv);
    const std::string entry = whiteListEntry(helper);
    if (!boost::algorithm::starts_with(entry, "127."))
        MainCfManager::getInstance().removeListElement(SettingsManager::MYNETWORKS, entry);
    ServiceManager::reloadServer();
    return 0;
}

// setMapsProtection - the --set-maps-protection command; no zones removes every RBL check.
int setMapsProtection(int argc, char** argv)
{
    ProgramOptionsHelper helper("set MAPS protection",
                                "--set-maps-protection [--maps-zones=<zone1,zone2,...,zoneN>]");
    // clang-format off
    helper.addOptions()
        ("maps-zones", po::value<std::vector<std::string>>(), "MAPS zones");
    // clang-format on
    standardOptionsParse(helper, argc, argv);
    std::vector<std::string> zones;
    if (helper.variables.count("maps-zones")) {
        for (const std::string& text :
             helper.variables["maps-zones"].as<std::vector<std::string>>()) {
            std::vector<std::string> pieces;
            boost::algorithm::split(pieces, text, boost::algorithm::is_any_of(" \t,"));
            // A line end would reach main.cf as a line of its own.
            for (const std::string& zone : pieces)
                checkValue(zone, table_word_ok, "MAPS zone");
            zones.insert(zones.end(), pieces.begin(), pieces.end());
        }
    }
    SettingsManager::setRBLHosts(zones.begin(), zones.end());
    ServiceManager::reloadServer();
    return 0;
}

// addBadMailFrom - the --add-badmailfrom command.
int addBadMailFrom(int argc, char** argv)
{
    ProgramOptionsHelper helper("add a badmailfrom", "--add-badmailfrom --domain-name=<domain>");
    SettingsManager::addBlackDomain(parseBadMailFrom(helper, argc, argv));
    return 0;
}

// removeBadMailFrom - the --remove-badmailfrom command.
int removeBadMailFrom(int argc, char** argv)
{
    ProgramOptionsHelper helper("remove a badmailfrom",
                                "--remove-badmailfrom --domain-name=<domain>");
    SettingsManager::removeBlackDomain(parseBadMailFrom(helper, argc, argv));
    return 0;
}

// setAccountsFormat - the --set-accounts-format command; only compound names work.
int setAccountsFormat(int argc, char** argv)
{
    ProgramOptionsHelper helper("set accounts format",
                                "--set-accounts-format --account-format=\"compound\"");
    // clang-format off
    helper.addOptions()
        ("account-format", po::value<ShortnameFormat>(),
         "Accounts format (currently only compound supported)", true);
    // clang-format on
    standardOptionsParse(helper, argc, argv);
    if (helper.variables["account-format"].as<ShortnameFormat>().value != ShortnameFormat::COMPOUND)
        throw NotSupportedError(NO_SHORT_NAMES);
    return set_courier_shortnames_params(0);
}

// printFeatures - the --features command: what this back end supports, as PHP lines.
int printFeatures(int argc, char** argv)
{
    parseNone("print supported features", "--features", argc, argv);
    std::cout.flush();
    for (const auto& feature : FEATURES)
        print_feature(feature.name, feature.value);
    return 0;
}

} // namespace mxadmin_commands
} // namespace postfix
} // namespace mail
} // namespace ostra
