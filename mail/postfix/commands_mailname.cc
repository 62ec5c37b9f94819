// commands_mailname.cc - the mail name commands: mail names, mailboxes,
// passwords, mailbox quotas and sizes, mail aliases, forwards and the
// autoresponder switch, with the authentication database and the handlers
// kept in step for the domain and every alias domain.
#include "mail/postfix/mxadmin_commands.h"

#include <stdlib.h>
#include <string.h>

#include <iostream>
#include <string>

#include "mail/handlers/lib/handlers.h"
#include "mail/lib/mail_authenticate.h"
#include "mail/lib/maildirpp_manager.h"
#include "mail/lib/mbox_quota.h"
#include "mail/lib/panel_lookups.h"
#include "mail/lib/string_list.h"
#include "mail/postfix/autoresponder.h"
#include "mail/postfix/command_util.h"
#include "mail/postfix/mailname_manager.h"
#include "mail/postfix/options_helper.h"
#include "ostra/env.h"
#include "ostra/idn.h"
#include "ostra/names.h"
#include "ostra/str_util.h"
#include "ostra/uerr.h"

namespace po = boost::program_options;

namespace ostra {
namespace mail {
namespace postfix {
namespace mxadmin_commands {

namespace {

const char PASSWORD_SYNOPSIS[] =
    "\n        The noncrypted password is transferred in the environment variable HSP_PASSWORD,"
    "\n        or crypted password is transferred in the environment variable "
    "HSP_CRYPTED_PASSWORD";

// EnvPassword - the password handed over in the environment (both variables
// left it at start); wiped and freed at scope exit. Null when none was given.
class EnvPassword {
public:
    EnvPassword()
    {
        if (get_env_password(&value_, &encrypted_) != 0) {
            value_ = nullptr;
            encrypted_ = 0;
        }
    }
    ~EnvPassword()
    {
        if (value_ != nullptr) {
            explicit_bzero(value_, strlen(value_));
            free(value_);
        }
    }
    EnvPassword(const EnvPassword&) = delete;
    EnvPassword& operator=(const EnvPassword&) = delete;

    const char* get() const { return value_; }
    bool given() const { return value_ != nullptr; }

    // flags - the authentication flags for this password and the -D switch.
    int flags(bool domainDisabled) const
    {
        return (encrypted_ ? MAIL_AUTH_CRYPTED : 0) |
               (domainDisabled ? MAIL_DOMAIN_AUTH_DISABLED : 0);
    }

private:
    char* value_ = nullptr;
    int encrypted_ = 0;
};

// given - whether an option or switch was on the command line.
bool given(const ProgramOptionsHelper& helper, const char* name)
{
    return helper.variables.count(name) != 0;
}

// validMailname - a mail name option after the mail name check.
std::string validMailname(const ProgramOptionsHelper& helper, const char* option)
{
    const std::string name = stringOption(helper, option);
    mailname_validators::mailValidateExc(name, VALIDATE_EMAIL_LOCAL_PART);
    checkMailName(name);
    return name;
}

// plainName - a mail name or alias used as given, but safe as a path
// component and a table key.
std::string plainName(const ProgramOptionsHelper& helper, const char* option, const char* what)
{
    const std::string name = stringOption(helper, option);
    checkMailName(name, what);
    return name;
}

// address - local part "@" domain.
std::string address(const std::string& local, const std::string& domain)
{
    return local + "@" + domain;
}

// domainAliases - the alias domains of domain from the panel database.
bool domainAliases(const std::string& domain, StringList& list)
{
    return get_domaliases_by_domain(nullptr, list.out(), domain.c_str()) == 0;
}

// mailAliases - the mail aliases of mailname@domain from the panel database.
bool mailAliases(const std::string& mailname, const std::string& domain, StringList& list)
{
    return get_aliases_by_mailname(nullptr, list.out(), mailname.c_str(), domain.c_str()) == 0;
}

// authStatus - exit status of a propagation function's result.
int authStatus(int result)
{
    return result < 0 ? 1 : 0;
}

} // namespace

// addMailname - the --add-mailname command.
int addMailname(int argc, char** argv)
{
    ProgramOptionsHelper helper("add a mailname", "--add-mailname --domain-name=<domain_name> "
                                                  "--mailname=<mail_name> [--disk-quota=<quota>]");
    // clang-format off
    helper.addOptions()
        ("domain-name", po::value<std::string>(), "domain name", true)
        ("mailname", po::value<std::string>(), "mailname", true)
        ("disk-quota", po::value<long long>(), "disk quota");
    // clang-format on
    standardOptionsParse(helper, argc, argv);
    const std::string mailname = validMailname(helper, "mailname");
    const std::string domain = asciiDomainOption(helper);
    if (given(helper, "disk-quota"))
        MailnameManager::createMailname(domain, mailname,
                                        helper.variables["disk-quota"].as<long long>());
    else
        MailnameManager::createMailname(domain, mailname);
    return 0;
}

// removeMailname - the --remove-mailname command.
int removeMailname(int argc, char** argv)
{
    ProgramOptionsHelper helper("remove a mailname",
                                "--remove-mailname --domain-name=<domain_name> "
                                "--mailname=<mail_name>");
    // clang-format off
    helper.addOptions()
        ("domain-name", po::value<std::string>(), "domain name", true)
        ("mailname", po::value<std::string>(), "mailname", true);
    // clang-format on
    standardOptionsParse(helper, argc, argv);
    const std::string mailname = validMailname(helper, "mailname");
    const std::string domain = asciiDomainOption(helper);
    const std::string mailAddress = address(mailname, domain);

    // The credentials go first: when that fails nothing else is touched.
    if (rm_mails_from_domains(mailname.c_str(), domain.c_str()) < 0)
        return 1;
    MailnameManager::removeMailname(domain, mailname, OnRemovalRemove);
    if (!handlersOf(mailAddress, nullptr, HOOK_DELETE))
        uerr << "WARNING: unable to remove some of mail handlers for " << mailAddress << std::endl;

    StringList aliasDomains;
    if (!domainAliases(domain, aliasDomains)) {
        uerr << "ERROR: unable get domain aliases for domain " << domain << std::endl;
        return 1;
    }
    StringList aliases;
    if (!mailAliases(mailname, domain, aliases)) {
        uerr << "ERROR: unable get mail aliases for mailname " << mailAddress << std::endl;
        return 1;
    }
    // removeHandlers - one address's handlers; a failure is reported and the walk goes on.
    auto removeHandlers = [](const std::string& target) {
        if (!handlersOf(target, nullptr, HOOK_DELETE))
            uerr << "ERROR: unable to remove mail handler for " << target << std::endl;
    };
    for (size_t i = 0; i < aliasDomains.size(); ++i)
        removeHandlers(address(mailname, aliasDomains.at(i)));
    for (size_t a = 0; a < aliases.size(); ++a)
        removeHandlers(address(aliases.at(a), domain));
    for (size_t a = 0; a < aliases.size(); ++a)
        for (size_t i = 0; i < aliasDomains.size(); ++i)
            removeHandlers(address(aliases.at(a), aliasDomains.at(i)));
    return 0;
}

// renameMailname - the --rename-mailname command.
int renameMailname(int argc, char** argv)
{
    ProgramOptionsHelper helper("rename a mailname",
                                "--rename-mailname --domain-name=<domain_name> "
                                "--old-mailname=<old_mail_name> --new-mailname=<new_mail_name> "
                                "[--mail-domain-disabled|-D]");
    // clang-format off
    helper.addOptions()
        ("domain-name", po::value<std::string>(), "domain name", true)
        ("old-mailname", po::value<std::string>(), "old mailname", true)
        ("new-mailname", po::value<std::string>(), "new mailname", true)
        ("mail-domain-disabled,D", "the domain is disabled (currently unused)");
    // clang-format on
    standardOptionsParse(helper, argc, argv);
    EnvPassword password;
    const std::string oldName = validMailname(helper, "old-mailname");
    const std::string newName = validMailname(helper, "new-mailname");
    const std::string domain = asciiDomainOption(helper);

    MailnameManager::renameMailname(domain, oldName, newName);
    if (!password.given()) {
        // Without a password the old credentials go and none are made.
        if (rm_mname_from_domains(oldName.c_str(), domain.c_str()) < 0)
            return 1;
    } else {
        int result = mailAuthRename(oldName.c_str(), newName.c_str(), domain.c_str());
        StringList aliasDomains;
        if (!domainAliases(domain, aliasDomains)) {
            uerr << "ERROR: unable get domain aliases for domain " << domain << std::endl;
            return 1;
        }
        for (size_t i = 0; i < aliasDomains.size(); ++i) {
            if (mailAuthRename(oldName.c_str(), newName.c_str(), aliasDomains.at(i)) < 0)
                return 1;
            MailnameManager::renameMailnameOnDomainAlias(aliasDomains.at(i), oldName, newName);
        }
        if (result != 0)
            return result;
    }

    const std::string oldAddress = address(oldName, domain);
    const std::string newAddress = address(newName, domain);
    if (!handlersOf(oldAddress, &newAddress, HOOK_MOVE))
        uerr << "WARNING: unable to re-assign some of mail handlers from " << oldAddress << " to "
             << newAddress << std::endl;
    return 0;
}

namespace {

// parsePasswordOptions - the options of the commands that set a mailbox
// password, declared on helper and parsed.
void parsePasswordOptions(ProgramOptionsHelper& helper, int argc, char** argv)
{
    // clang-format off
    helper.addOptions()
        ("domain-name", po::value<std::string>(), "domain name", true)
        ("mailname", po::value<std::string>(), "mailname", true)
        ("mail-domain-disabled,D", "the domain is disabled (currently unused)");
    // clang-format on
    standardOptionsParse(helper, argc, argv);
}

} // namespace

// addMailbox - the --add-mailbox command.
int addMailbox(int argc, char** argv)
{
    ProgramOptionsHelper helper("add mailname's mailbox",
                                std::string("--add-mailbox --domain-name=<domain_name> "
                                            "--mailname=<mail_name> [--mail-domain-disabled|-D]") +
                                    PASSWORD_SYNOPSIS);
    parsePasswordOptions(helper, argc, argv);
    EnvPassword password;
    const std::string mailname = validMailname(helper, "mailname");
    const std::string domain = asciiDomainOption(helper);

    MailnameManager::enableDelivery(domain, mailname);
    return authStatus(
        set_passwd_for_domains(mailname.c_str(), domain.c_str(), password.get(),
                               password.flags(given(helper, "mail-domain-disabled"))));
}

// removeMailbox - the --remove-mailbox command.
int removeMailbox(int argc, char** argv)
{
    ProgramOptionsHelper helper("remove mailname's mailbox",
                                "--remove-mailbox --domain-name=<domain_name> "
                                "--mailname=<mail_name>");
    // clang-format off
    helper.addOptions()
        ("domain-name", po::value<std::string>(), "domain name", true)
        ("mailname", po::value<std::string>(), "mailname", true);
    // clang-format on
    standardOptionsParse(helper, argc, argv);
    const std::string mailname = validMailname(helper, "mailname");
    const std::string domain = asciiDomainOption(helper);

    MailnameManager::disableDelivery(domain, mailname);
    return authStatus(rm_mails_from_domains(mailname.c_str(), domain.c_str()));
}

// getMailboxSize - the --get-mailbox-size command.
int getMailboxSize(int argc, char** argv)
{
    ProgramOptionsHelper helper("get mailbox size",
                                "--get-mailbox-size [--in-blocks] --domain-name=<domain_name> "
                                "--mailname=<mail_name>");
    // clang-format off
    helper.addOptions()
        ("in-blocks", "count result in blocks rather than bytes")
        ("domain-name", po::value<std::string>(), "domain name", true)
        ("mailname", po::value<std::string>(), "mailname", true);
    // clang-format on
    standardOptionsParse(helper, argc, argv);
    const std::string mailname = validMailname(helper, "mailname");
    const std::string domain = asciiDomainOption(helper);

    long long size = get_mbox_size(mailname.c_str(), domain.c_str(), given(helper, "in-blocks"));
    if (size < 0)
        return 1;
    std::cout << size << std::flush;
    return 0;
}

// setPassword - the --set-password command.
int setPassword(int argc, char** argv)
{
    ProgramOptionsHelper helper("set mailname's password",
                                std::string("--set-password --domain-name=<domain_name> "
                                            "--mailname=<mail_name> [--mail-domain-disabled|-D]") +
                                    PASSWORD_SYNOPSIS);
    parsePasswordOptions(helper, argc, argv);
    EnvPassword password;
    const std::string mailname = validMailname(helper, "mailname");
    const std::string domain = asciiDomainOption(helper);

    return authStatus(
        set_mass_postbox_passwd(mailname.c_str(), domain.c_str(), password.get(),
                                password.flags(given(helper, "mail-domain-disabled"))));
}

// setMailboxDiskQuota - the --set-mailbox-disk-quota command.
int setMailboxDiskQuota(int argc, char** argv)
{
    ProgramOptionsHelper helper("set mailbox disk quota",
                                "--set-mailbox-disk-quota --domain-name=<domain_name> "
                                "--mailname=<mail_name> --disk-quota=<quota>");
    // clang-format off
    helper.addOptions()
        ("domain-name", po::value<std::string>(), "domain name", true)
        ("mailname", po::value<std::string>(), "mailname", true)
        ("disk-quota", po::value<long long>(), "disk quota", true);
    // clang-format on
    standardOptionsParse(helper, argc, argv);
    const std::string mailname = validMailname(helper, "mailname");
    const std::string domain = asciiDomainOption(helper);

    MaildirPPManager::getInstance().setMailboxQuota(domain, mailname,
                                                    helper.variables["disk-quota"].as<long long>());
    return 0;
}

namespace {

// ForwardChange - MailnameManager::addForward or removeForward.
typedef void (*ForwardChange)(const std::string& domain, const std::string& mailname,
                              const std::string& target);

// redirectCommand - the two redirect commands, which differ only in the change made.
int redirectCommand(const char* title, const char* synopsis, ForwardChange change, int argc,
                    char** argv)
{
    ProgramOptionsHelper helper(title, synopsis);
    // clang-format off
    helper.addOptions()
        ("domain-name", po::value<std::string>(), "domain name", true)
        ("mailname", po::value<std::string>(), "mailname", true)
        ("redirect-email", po::value<std::string>(), "redirect email", true);
    // clang-format on
    standardOptionsParse(helper, argc, argv);
    const std::string mailname = plainName(helper, "mailname", "mail name");
    const std::string domain = asciiDomainOption(helper);

    change(domain, mailname, asciiAddress(stringOption(helper, "redirect-email")));
    return 0;
}

// AliasArguments - the checked options of the two mail alias commands.
struct AliasArguments {
    std::string mailname;
    std::string alias;
    std::string domain;
};

// aliasCommand - parse a mail alias command.
AliasArguments aliasCommand(const char* title, const char* synopsis, int argc, char** argv)
{
    ProgramOptionsHelper helper(title, synopsis);
    // clang-format off
    helper.addOptions()
        ("domain-name", po::value<std::string>(), "domain name", true)
        ("mailname", po::value<std::string>(), "mailname", true)
        ("alias", po::value<std::string>(), "alias email", true);
    // clang-format on
    standardOptionsParse(helper, argc, argv);
    AliasArguments args;
    args.mailname = plainName(helper, "mailname", "mail name");
    args.alias = plainName(helper, "alias", "mail alias");
    args.domain = asciiDomainOption(helper);
    return args;
}

// autoresponderCommand - the two autoresponder commands; the mail name and
// domain options may be lists, passed on as such.
int autoresponderCommand(const char* title, const char* synopsis, int action, int argc, char** argv)
{
    ProgramOptionsHelper helper(title, synopsis);
    // clang-format off
    helper.addOptions()
        ("domain-name", po::value<std::string>(), "domain name", true)
        ("mailname", po::value<std::string>(), "mailname", true);
    // clang-format on
    standardOptionsParse(helper, argc, argv);
    const std::string mailnames = stringOption(helper, "mailname");
    for (const std::string& name : listItems(mailnames, ", "))
        checkMailName(name);
    const std::string domains = asciiDomainList(stringOption(helper, "domain-name"), ", ");
    return autoresponder_action(mailnames.c_str(), domains.c_str(), action);
}

} // namespace

// addRedirect - the --add-redirect command.
int addRedirect(int argc, char** argv)
{
    return redirectCommand("add a redirect",
                           "--add-redirect --domain-name=<domain_name> "
                           "--mailname=<mail_name> --redirect-email=<email>",
                           MailnameManager::addForward, argc, argv);
}

// removeRedirect - the --remove-redirect command.
int removeRedirect(int argc, char** argv)
{
    return redirectCommand("remove a given redirect",
                           "--remove-redirect --domain-name=<domain_name> "
                           "--mailname=<mail_name> --redirect-email=<email>",
                           MailnameManager::removeForward, argc, argv);
}

// addAutoresponder - the --set-autoresponder command.
int addAutoresponder(int argc, char** argv)
{
    return autoresponderCommand("add autoresponder for a given mailname",
                                "--set-autoresponder --domain-name=<domain_name> "
                                "--mailname=<mail_name>",
                                HOOK_ENABLE, argc, argv);
}

// removeAutoresponder - the --reset-autoresponder command.
int removeAutoresponder(int argc, char** argv)
{
    return autoresponderCommand("remove autoresponder for a given mailname",
                                "--reset-autoresponder --domain-name=<domain_name> "
                                "--mailname=<mail_name>",
                                HOOK_DISABLE, argc, argv);
}

// addAlias - the --add-alias command.
int addAlias(int argc, char** argv)
{
    const AliasArguments args = aliasCommand("add alias for a given mailname",
                                             "--add-alias --domain-name=<domain_name> "
                                             "--mailname=<mail_name> --alias=<email_alias>",
                                             argc, argv);
    const std::string& mailname = args.mailname;
    const std::string& alias = args.alias;
    const std::string& domain = args.domain;

    MailnameManager::createMailAlias(domain, mailname, alias);
    const std::string aliasAddress = address(alias, domain);
    if (!handlersOf(address(mailname, domain), &aliasAddress, HOOK_CLONE))
        uerr << "WARNING: unable to set all mail handlers for " << aliasAddress << std::endl;

    StringList aliasDomains;
    if (!domainAliases(domain, aliasDomains))
        return 1;
    if (mailAuthClone(mailname.c_str(), domain.c_str(), alias.c_str(), domain.c_str()) < 0)
        return 1;
    for (size_t i = 0; i < aliasDomains.size(); ++i)
        if (mailAuthClone(alias.c_str(), domain.c_str(), alias.c_str(), aliasDomains.at(i)) < 0)
            return 1;
    return 0;
}

// removeAlias - the --remove-alias command.
int removeAlias(int argc, char** argv)
{
    const AliasArguments args = aliasCommand("remove alias for a given mailname",
                                             "--remove-alias --domain-name=<domain_name> "
                                             "--mailname=<mail_name> --alias=<email_alias>",
                                             argc, argv);
    const std::string& mailname = args.mailname;
    const std::string& alias = args.alias;
    const std::string& domain = args.domain;

    MailnameManager::removeMailAlias(domain, mailname, alias);
    const std::string aliasAddress = address(alias, domain);
    if (!handlersOf(aliasAddress, nullptr, HOOK_DELETE))
        uerr << "WARNING: unable to properly remove all mail handlers for " << aliasAddress
             << std::endl;
    return authStatus(rm_mname_from_domains(alias.c_str(), domain.c_str()));
}

} // namespace mxadmin_commands
} // namespace postfix
} // namespace mail
} // namespace ostra
