// commands_domain.cc - the domain commands: mail domains, alias domains, what
// becomes of mail to unknown addresses, domain quotas and DomainKeys keys.
#include "mail/postfix/mxadmin_commands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <optional>
#include <string>

#include "mail/handlers/lib/handlers.h"
#include "mail/lib/domainkeys.h"
#include "mail/lib/mail_authenticate.h"
#include "mail/lib/maildirpp_manager.h"
#include "mail/lib/panel_lookups.h"
#include "mail/postfix/command_util.h"
#include "mail/postfix/domain_manager.h"
#include "mail/postfix/options_helper.h"
#include "ostra/idn.h"
#include "ostra/open_file.h"
#include "ostra/init_script.h"
#include "ostra/log.h"
#include "ostra/uerr.h"
#include "process/fd_owner.h"

namespace po = boost::program_options;

namespace ostra {
namespace mail {
namespace postfix {
namespace mxadmin_commands {

namespace {

const char TRIVIAL_REWRITE[] = "/usr/lib/postfix/trivial-rewrite";
const int LOG_ERROR = 3;

// NotexistingAction - what becomes of mail to unknown addresses of an alias domain.
struct NotexistingAction {
    enum Kind { None, Bounce, Catchall, Reject };
    Kind kind;
    std::string text; // the bounce message or the catch-all address
};

// formNotexistingMailOptions - declare the options choosing that action.
void formNotexistingMailOptions(ProgramOptionsHelper& helper)
{
    // clang-format off
    helper.addOptions()
        ("set-catchall", "set a domain catchall address")
        ("email", po::value<std::string>(), "catchall e-mail address")
        ("set-bounce", "set a domain bounce")
        ("phrase", po::value<std::string>(), "phrase")
        ("set-reject", "set domain reject flag");
    // clang-format on
}

// catchallTarget - the ASCII form of --email; an empty one counts as missing.
std::string catchallTarget(const ProgramOptionsHelper& helper)
{
    const std::string target = asciiAddress(stringOption(helper, "email"));
    if (target.empty())
        throw MissingMandatoryOption("email");
    return target;
}

// notexistingAction - the chosen action: bounce, else catch-all, else reject.
NotexistingAction notexistingAction(const ProgramOptionsHelper& helper)
{
    const po::variables_map& vm = helper.variables;
    if (vm.count("set-bounce"))
        return {NotexistingAction::Bounce, optionalString(helper, "phrase")};
    if (vm.count("set-catchall"))
        return {NotexistingAction::Catchall, catchallTarget(helper)};
    if (vm.count("set-reject"))
        return {NotexistingAction::Reject, std::string()};
    return {NotexistingAction::None, std::string()};
}

// processNotexistingMailnamesOptions - apply the chosen action to alias domain
// alias only (its domain's own catch-all or bounce stays); 0, or 1 without one.
int processNotexistingMailnamesOptions(const ProgramOptionsHelper& helper, const std::string& alias)
{
    const NotexistingAction action = notexistingAction(helper);
    const DomainManager::DomainList domains(1, alias);
    switch (action.kind) {
    case NotexistingAction::Bounce: {
        BatchDatabaseHelper batch;
        DomainManager::setBounceFor(batch, domains, action.text);
        return 0;
    }
    case NotexistingAction::Catchall: {
        BatchDatabaseHelper batch;
        DomainManager::createCatchallFor(batch, domains, action.text);
        return 0;
    }
    case NotexistingAction::Reject:
        // An alias domain without a "@" record rejects already.
        return 0;
    case NotexistingAction::None:
        break;
    }
    ostra_log(LOG_ERROR, "Action for notexisting mail names is not specified "
                         "(--set-bounce/--set-catchall/--set-reject)");
    return 1;
}

// domainOnlyCommand - parse a command whose one option is the mandatory domain
// name; its ASCII form.
std::string domainOnlyCommand(const char* title, const char* synopsis, int argc, char** argv)
{
    ProgramOptionsHelper helper(title, synopsis);
    helper.addOptions()("domain-name", po::value<std::string>(), "domain name", true);
    standardOptionsParse(helper, argc, argv);
    return asciiDomainOption(helper);
}

// removeIfSame - unlink path when it still names the file open as fd and
// may be deleted at all; true when it did.
bool removeIfSame(const std::string& path, int fd)
{
    return upload_removable(path.c_str(), fd) && ::unlink(path.c_str()) == 0;
}

// authFor - the auth step for domain and its alias domains; true on success.
bool authFor(const std::string& domain, int (*action)(const char*), const char* actionName)
{
    return domain_auth_action(domain.c_str(), action, actionName) != -1;
}

} // namespace

// addDomain - the --add-domain command.
int addDomain(int argc, char** argv)
{
    ProgramOptionsHelper helper("add a domain",
                                "--add-domain --domain-name=<domain> [--disk-quota=quota]");
    // clang-format off
    helper.addOptions()
        ("domain-name", po::value<std::string>(), "domain name", true)
        ("disk-quota", po::value<long long>(), "disk quota");
    // clang-format on
    standardOptionsParse(helper, argc, argv);
    const std::string domain = asciiDomainOption(helper);
    std::optional<long long> quota;
    if (helper.variables.count("disk-quota"))
        quota = helper.variables["disk-quota"].as<long long>();

    DomainManager::createDomain(domain, quota);
    // The address rewriter caches which domains exist; make it start afresh.
    // A failed signal is logged by killproc and does not undo the domain.
    killproc(TRIVIAL_REWRITE);
    return 0;
}

// removeDomain - the --remove-domain command.
int removeDomain(int argc, char** argv)
{
    const std::string domain =
        domainOnlyCommand("remove a domain", "--remove-domain --domain-name=<domain>", argc, argv);
    if (!authFor(domain, mailAuthRemoveDomain, "remove auth record"))
        return 1;
    DomainManager::removeDomain(domain, OnRemovalRemove);
    if (!handlersOf(domain, nullptr, HOOK_DELETE))
        uerr << "WARNING: unable to properly remove all mail handlers for " << domain << std::endl;
    return 0;
}

// enableDomain - the --turn-on-domain command.
int enableDomain(int argc, char** argv)
{
    const std::string domain =
        domainOnlyCommand("enable a domain", "--turn-on-domain --domain-name=<domain>", argc, argv);
    if (!authFor(domain, mailAuthEnableDomain, "enable auth records"))
        return 1;
    DomainManager::enableDomain(domain);
    handlersOf(domain, nullptr, HOOK_ENABLE);
    return 0;
}

// disableDomain - the --turn-off-domain command.
int disableDomain(int argc, char** argv)
{
    const std::string domain = domainOnlyCommand(
        "disable a domain", "--turn-off-domain --domain-name=<domain>", argc, argv);
    if (!authFor(domain, mailAuthDisableDomain, "disable auth records"))
        return 1;
    DomainManager::disableDomain(domain);
    handlersOf(domain, nullptr, HOOK_DISABLE);
    return 0;
}

// setDomainDiskQuota - the --set-domain-disk-quota command.
int setDomainDiskQuota(int argc, char** argv)
{
    ProgramOptionsHelper helper(
        "set a domain disk quota",
        "--set-domain-disk-quota --domain-name=<domain> --disk-quota=quota");
    // clang-format off
    helper.addOptions()
        ("domain-name", po::value<std::string>(), "domain name", true)
        ("disk-quota", po::value<long long>(), "disk quota", true);
    // clang-format on
    standardOptionsParse(helper, argc, argv);
    const std::string domain = asciiDomainOption(helper);
    const long long quota = helper.variables["disk-quota"].as<long long>();
    MaildirPPManager::getInstance().setDomainQuota(domain, quota);
    return 0;
}

// setBounce - the --set-bounce command.
int setBounce(int argc, char** argv)
{
    ProgramOptionsHelper helper("set a domain bounce",
                                "--set-bounce --domain-name=<domain_name> [--phrase=<phrase>]");
    // clang-format off
    helper.addOptions()
        ("domain-name", po::value<std::string>(), "domain name", true)
        ("phrase", po::value<std::string>(), "phrase");
    // clang-format on
    standardOptionsParse(helper, argc, argv);
    const std::string domain = asciiDomainOption(helper);
    DomainManager::setBounce(domain, optionalString(helper, "phrase"));
    return 0;
}

// setCatchAll - the --set-catchall command.
int setCatchAll(int argc, char** argv)
{
    ProgramOptionsHelper helper(
        "set a domain catchall address",
        "--set-catchall --domain-name=<domain_name> --email=<email_address>");
    // clang-format off
    helper.addOptions()
        ("domain-name", po::value<std::string>(), "domain name", true)
        ("email", po::value<std::string>(), "catchall e-mail address", true);
    // clang-format on
    standardOptionsParse(helper, argc, argv);
    const std::string domain = asciiDomainOption(helper);
    // An empty target would make a record without a value: as for alias domains,
    // it counts as not given.
    const std::string target = catchallTarget(helper);
    DomainManager::createCatchall(domain, target);
    return 0;
}

// setReject - the --set-reject command.
int setReject(int argc, char** argv)
{
    const std::string domain = domainOnlyCommand(
        "set domain reject flag", "--set-reject --domain-name=<domain-name>", argc, argv);
    DomainManager::removeCatchall(domain);
    return 0;
}

// removeReject - the --unset-reject command.
int removeReject(int argc, char** argv)
{
    const std::string domain = domainOnlyCommand(
        "remove domain reject flag", "--unset-reject --domain-name=<domain-name>", argc, argv);
    DomainManager::removeCatchall(domain);
    return 0;
}

// addDomainAlias - the --add-domain-alias command.
int addDomainAlias(int argc, char** argv)
{
    ProgramOptionsHelper helper(
        "add a domain alias",
        "--add-domain-alias --domain-name=<domain_name> --domain-alias-name=<domain_alias_name> "
        "<--set-bounce 'text'| --set-catchall 'email' | --set-reject>");
    // clang-format off
    helper.addOptions()
        ("domain-name", po::value<std::string>(), "domain name", true)
        ("domain-alias-name", po::value<std::string>(), "domain alias name", true);
    // clang-format on
    formNotexistingMailOptions(helper);
    standardOptionsParse(helper, argc, argv);
    const std::string domain = asciiDomainOption(helper);
    const std::string alias = asciiDomainOption(helper, "domain-alias-name");
    // A bad catch-all address must stop the command before the alias exists.
    notexistingAction(helper);

    DomainManager::createDomainAlias(domain, alias);
    if (!handlersOf(domain, &alias, HOOK_CLONE))
        uerr << "WARNING: unable to clone all mail handlers for " << alias << std::endl;
    if (clone_domain_key(domain.c_str(), alias.c_str()) != 0)
        uerr << "WARNING: cannot clone domain key for " << alias << std::endl;
    if (add_domain_auth_alias(domain.c_str(), alias.c_str()) == -1)
        return 1;
    return processNotexistingMailnamesOptions(helper, alias);
}

// removeDomainAlias - the --del-domain-alias command.
int removeDomainAlias(int argc, char** argv)
{
    ProgramOptionsHelper helper(
        "remove a domain alias",
        "--del-domain-alias --domain-name=<domain_name> --domain-alias-name=<domain_alias_name>");
    // clang-format off
    helper.addOptions()
        ("domain-name", po::value<std::string>(), "domain name", true)
        ("domain-alias-name", po::value<std::string>(), "domain alias name", true);
    // clang-format on
    standardOptionsParse(helper, argc, argv);
    // The alias domain alone names everything to remove; --domain-name is not used.
    const std::string alias = asciiDomainOption(helper, "domain-alias-name");

    DomainManager::removeDomainAlias(alias);
    if (!handlersOf(alias, nullptr, HOOK_DELETE))
        uerr << "WARNING: unable to properly remove mail handlers for " << alias << std::endl;
    remove_domain_key(alias.c_str());
    return rm_domain_auth_alias(alias.c_str()) == -1 ? 1 : 0;
}

// renameDomainAlias - the --rename-domain-alias command.
int renameDomainAlias(int argc, char** argv)
{
    ProgramOptionsHelper helper("rename a given domain alias",
                                "--rename-domain-alias --domain-name=<domain_name> "
                                "--old-domain-alias-name=<old_domain_alias_name> "
                                "--new-domain-alias-name=<new_domain_alias_name> "
                                "<--set-bounce 'text'| --set-catchall 'email' | --set-reject>");
    // clang-format off
    helper.addOptions()
        ("domain-name", po::value<std::string>(), "domain name", true)
        ("old-domain-alias-name", po::value<std::string>(), "old domain alias name", true)
        ("new-domain-alias-name", po::value<std::string>(), "new domain alias name", true);
    // clang-format on
    formNotexistingMailOptions(helper);
    standardOptionsParse(helper, argc, argv);
    const std::string domain = asciiDomainOption(helper);
    const std::string oldAlias = asciiDomainOption(helper, "old-domain-alias-name");
    const std::string newAlias = asciiDomainOption(helper, "new-domain-alias-name");
    // A bad catch-all address must stop the command before the rename.
    notexistingAction(helper);

    DomainManager::renameDomainAlias(oldAlias, newAlias);
    if (!handlersOf(oldAlias, &newAlias, HOOK_MOVE))
        uerr << "WARNING: unable to properly re-assign mail handlers from " << oldAlias << " to "
             << newAlias << std::endl;
    if (clone_domain_key(oldAlias.c_str(), newAlias.c_str()) != 0)
        uerr << "WARNING: cannot create domainkey for " << newAlias << std::endl;
    remove_domain_key(oldAlias.c_str());
    if (add_domain_auth_alias(domain.c_str(), newAlias.c_str()) == -1)
        return 1;
    if (rm_domain_auth_alias(oldAlias.c_str()) == -1)
        return 1;
    return processNotexistingMailnamesOptions(helper, newAlias);
}

// setDomainKey - the --set-domain-key command.
int setDomainKey(int argc, char** argv)
{
    ProgramOptionsHelper helper(
        "set DomainKey",
        "--set-domain-key --domain-name=<domain,domain,... > --file-name=<full_file_name>");
    // clang-format off
    helper.addOptions()
        ("domain-name", po::value<std::string>(), "domain name", true)
        ("file-name", po::value<std::string>(), "full path to uploaded key", true);
    // clang-format on
    standardOptionsParse(helper, argc, argv);
    const std::string domains = asciiDomainList(stringOption(helper, "domain-name"), ",");
    const std::string keyFile = stringOption(helper, "file-name");

    // The upload is opened once, never through a link, and read through that
    // descriptor; it goes only when its name still names what was read.
    FdOwner key(open_key_file(keyFile.c_str()));
    if (!key.valid())
        return 1;
    const int r = set_domain_key_fd(domains.c_str(), key.get(), keyFile.c_str());
    if (r == -1)
        return 1;
    // Only a key installed for every domain lets the upload go.
    if (r == 0 && !removeIfSame(keyFile, key.get()))
        uerr << "WARNING: cannot remove uploaded key file " << keyFile << std::endl;
    return 0;
}

// removeDomainKey - the --remove-domain-key command.
int removeDomainKey(int argc, char** argv)
{
    ProgramOptionsHelper helper("remove DomainKey",
                                "--remove-domain-key --domain-name=<domain,domain,...>");
    helper.addOptions()("domain-name", po::value<std::string>(), "domain name", true);
    standardOptionsParse(helper, argc, argv);
    const std::string domains = asciiDomainList(stringOption(helper, "domain-name"), ",");
    return remove_domain_key(domains.c_str()) == -1 ? 1 : 0;
}

} // namespace mxadmin_commands
} // namespace postfix
} // namespace mail
} // namespace ostra
