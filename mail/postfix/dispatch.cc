// dispatch.cc - find the command named on the command line and run it.
#include "mail/postfix/dispatch.h"

#include <algorithm>
#include <iostream>
#include <stdlib.h>
#include <string.h>

#include "mail/lib/mail_auth_db.h"
#include "mail/postfix/mxadmin_commands.h"

namespace ostra {
namespace mail {
namespace postfix {
namespace mxadmin_commands {

namespace {

// Continuation lines of multi-line descriptions start with eight blanks.
#define PASSWORD_ENV_LINES                                                                         \
    "\n        The noncrypted password is transferred in the environment variable HSP_PASSWORD,"   \
    "\n        or crypted password is transferred in the environment variable "                    \
    "HSP_CRYPTED_PASSWORD"
#define HANDLER_KEY_SYNOPSIS                                                                       \
    "--handler-name=<name> "                                                                       \
    "--handler-type=(global|sender|recipient|sender-domain|recipient-domain) "                     \
    "--handler-type-name=<name> --hook=(before-queue|before-local|before-remote)"
#define COMPONENT_SYNOPSIS                                                                         \
    "[--mail-component={mta|smtp|smtps|submission|pop3|imap|pop3s|imaps|all}] "                    \
    "[--mail-component=...]"
#define IMAP_COMPONENTS                                                                            \
    "--mail-component=imap --mail-component=pop3 --mail-component=imaps --mail-component=pop3s"

// Name column, synopsis, description; all help texts print in this order.
const char* const usageTable[][3] = {
    {"--add-mailname", "--domain-name=<domain_name> --mailname=<mail_name> [--disk-quota=<quota>]",
     "adds mailname to the mail domain. Optionally sets the mailbox quota"},
    {"--remove-mailname", "--domain-name=<domain_name> --mailname=<mail_name>",
     "removes mailname to the mail domain"},
    {"--rename-mailname",
     "--domain-name=<domain_name> --old-mailname=<old_mail_name> --new-mailname=<new_mail_name>",
     "renames a mailname in the mail domain. Optionally sets the mailbox "
     "password." PASSWORD_ENV_LINES},
    {"--add-mailbox", "--domain-name=<domain_name> --mailname=<mail_name>",
     "adds a mailbox for a given mailname." PASSWORD_ENV_LINES},
    {"--remove-mailbox", "--domain-name=<domain_name> --mailname=<mail_name>",
     "removes a mailbox for a given mailname."},
    {"--get-mailbox-size", "[--in-blocks] --domain-name=<domain_name> --mailname=<mail_name>",
     "returns the size of mailbox for a mailname."},
    {"--set-password", "--domain-name=<domain_name> --mailname=<mail_name>",
     "sets the password for a mailname" PASSWORD_ENV_LINES},
    {"--set-mailbox-disk-quota",
     "--domain-name=<domain_name> --mailname=<mail_name> --disk-quota=<quota>",
     "sets the disk quota for a mailbox. Negative quota == Unlimited"},
    {"--add-redirect",
     "--domain-name=<domain_name> --mailname=<mail_name> --redirect-email=<email>",
     "adds mail redirect from the mailname"},
    {"--remove-redirect",
     "--domain-name=<domain_name> --mailname=<mail_name> --redirect-email=<email>",
     "removes mail redirect from the mailname"},
    {"--set-autoresponder", "--domain-name=<domain_name> --mailname=<mail_name>",
     "enables autoresponder for mailname"},
    {"--reset-autoresponder", "--domain-name=<domain_name> --mailname=<mail_name>",
     "disables autoresponder for mailname"},
    {"--add-alias", "--domain-name=<domain_name> --mailname=<mail_name> --alias=<email_alias>",
     "adds an alias for mailname"},
    {"--remove-alias", "--domain-name=<domain_name> --mailname=<mail_name> --alias=<email_alias>",
     "removes an alias for mailname"},
    {"--add-domain", "--domain-name=<domain_name> [--disk-quota=<quota>]", "adds mail domain"},
    {"--remove-domain", "--domain-name=<domain_name>", "removes mail domain"},
    {"--turn-on-domain", "--domain-name=<domain_name>", "enables mail domain"},
    {"--turn-off-domain", "--domain-name=<domain_name>", "disables mail domain"},
    {"--set-domain-disk-quota", "--domain-name=<domain_name> --disk-quota=<quota>",
     "sets a disk space quota to a mail domain. Negative quota == Unlimited"},
    {"--add-badmailfrom", "--domain-name=<domain_name>", "adds mail domain to the blacklist"},
    {"--remove-badmailfrom", "--domain-name=<domain_name>",
     "removes mail domain from the blacklist"},
    {"--set-bounce", "--domain-name=<domain_name> [--phrase=<phrase>]",
     "letters sent to a nonexistent mailname, are bounced with this phrase"},
    {"--set-catchall", "--domain-name=<domain_name> --email=<email_address>",
     "letters sent to a nonexistent mailname, are forwarded to this email"},
    {"--set-reject", "--domain-name=<domain-name>",
     "letters sent to a nonexistent mailname are rejected"},
    {"--unset-reject", "--domain-name=<domain-name>",
     "do not reject letters sent to a nonexistent mailname"},
    {"--add-whitelist", "--ip-address=<ip_address> --netmask=<netmask>",
     "adds the subnet to the white-list"},
    {"--remove-whitelist", "--ip-address=<ip_address> --netmask=<netmask>",
     "removes the subnet from the white-list"},
    {"--set-maps-protection", "[--maps-zones=<zone1,zone2,...,zoneN>]",
     "installs MAPS protection. Absent list of zones == disabled"},
    {"--set-accounts-format", "--account-format=(\"compound\" | \"both\")",
     "sets the POP3/IMAP accounts format"},
    {"--features", "",
     "returns PHP code which reflects state of several features support in mxadmin."
     "\n        Currently they are auth-type and format"},
    {"--set-max-letter-size", "--size=<size_in_bytes>", "sets maximum letter size"},
    {"--get-max-letter-size", "", "gets maximum letter size"},
    {"--get-mailbox-size-limit", "", "gets size limit of mailbox"},
    {"--list-attachments",
     "[--in-blocks] [--fullname] --domain-name=<domain_name> "
     "(--mailname=<mail_name>|--mail-all)",
     "lists attachments for <mail_name>"},
    {"--add-attachment",
     "--domain-name=<domain_name> --mailname=<mail_name> --file-name=<full_file_name> "
     "--attachment-file-name=<attachment_file_name>",
     "adds attachment for <mail_name>"},
    {"--remove-attachment",
     "--domain-name=<domain_name> --mailname=<mail_name> "
     "--attachment-file-name=<attachment_file_name>",
     "remove attachment from <mail_name>"},
    {"--update-spf",
     "[--spf-behavior=spf_behavior] [--spf-rules=spf_rules] [--spf-guess=spf_guess] "
     "[--spf-exp=<spf_exp>]",
     "updates SPF support configuration files"},
    {"--add-domain-alias", "--domain-name=<domain_name> --domain-alias-name=<domain_alias_name>",
     "adds alias for <domain_name>"},
    {"--del-domain-alias", "--domain-name=<domain_name> --domain-alias-name=<domain_alias_name>",
     "removes alias for <domain_name>"},
    {"--rename-domain-alias",
     "--domain-name=<domain_name> --old-domain-alias-name=<old_domain_alias_name> "
     "--new-domain-alias-name=<new_domain_alias_name>",
     "renames alias for <domain_name>"},
    {"--add-handler",
     "--handler-name=<name> "
     "--handler-type=(global|sender|recipient|sender-domain|recipient-domain) "
     "--handler-type-name=<name> --executable=<handler> --context=<context> "
     "--hook=(before-queue|before-local|before-remote) --priority=<number>",
     "adds a mail-handler"},
    {"--update-handler",
     "--handler-name=<name> "
     "--handler-type=(global|sender|recipient|sender-domain|recipient-domain) "
     "--executable=<handler> --context=<context> "
     "--hook=(before-queue|before-local|before-remote) --priority=<number>",
     "updates a given mail-handler"},
    {"--remove-handler", HANDLER_KEY_SYNOPSIS, "removes a given mail-handler"},
    {"--disable-handler", HANDLER_KEY_SYNOPSIS, "disables a given mail-handler"},
    {"--enable-handler", HANDLER_KEY_SYNOPSIS, "enables a given mail-handler"},
    {"--check-handler", HANDLER_KEY_SYNOPSIS, "checks if a given mail-handler exists"},
    {"--set-domain-key", "--domain-name=<domain_name> --file-name=<full_file_name>",
     "sets DomainKey for <domain_name>"},
    {"--remove-domain-key", "--domain-name=<domain_name>", "removes DomainKey for <domain_name>"},
    {"--set-mail-params",
     "[--relayclient] [--smtpauth] [--popauth] [--poplock-time=<time_in_seconds>] [--shortnames]",
     "sets relaying & mailnames parameters"},
    {"--start-service", COMPONENT_SYNOPSIS,
     "starts entire mail service or one or more of its components"},
    {"--stop-service", COMPONENT_SYNOPSIS, "stops entire mail service or its components"},
    {"--restart-service", COMPONENT_SYNOPSIS,
     "restarts entire mail service or one or more of its components"},
    {"--reload-service", COMPONENT_SYNOPSIS,
     "reloads configuration for all or selected mail components"},
    {"--status-service", COMPONENT_SYNOPSIS,
     "returns status of entire mail service or its subcomponents"},
    {"--check-mail-config", "[--domain-name=<domain_name>]",
     "compares the mail configuration with the panel database and lists the differences"},
    {"--restore-mail-config", "[--domain-name=<domain_name>] [--prune]",
     "brings the mail configuration in line with the panel database.\n"
     "        --prune also removes what the panel no longer has (never mail homes)"},
    {"-p, --start-smtpd", "",
     "starts SMTP server (obsoleted, use --start-service --mail-component=smtp "
     "--mail-component=smtps)"},
    {"-o, --stop-smtpd", "",
     "stops SMTP server (obsoleted, use --stop-service --mail-component=smtp "
     "--mail-component=smtps)"},
    {"-r, --restart-smtpd", "",
     "restarts SMTP server (obsoleted, use --restart-service --mail-component=smtp "
     "--mail-component=smtps)"},
    {"-s, --status-smtpd", "",
     "SMTP server status (obsoleted, use --status-service --mail-component=smtp "
     "--mail-component=smtps)"},
    {"-l, --start-qmail-send", "",
     "starts qmail (without xinetd), (obsoleted, use --start-service --mail-component=mta)"},
    {"-m, --stop-qmail-send", "",
     "stops qmail(without xinetd), (obsoleted, use --stop-service --mail-component=mta)"},
    {"-i, --start-maild", "",
     "starts courier-imap (obsoleted, use --start-service " IMAP_COMPONENTS ")"},
    {"-t, --stop-maild", "",
     "stops courier-imap (obsoleted, use --stop-service " IMAP_COMPONENTS ")"},
    {"-z, --restart-maild", "",
     "restarts courier-imap (obsoleted, use --restart-service " IMAP_COMPONENTS ")"},
    {"-e, --status-maild", "",
     "returns courier-imap status (obsoleted, use --status-service " IMAP_COMPONENTS ")"},
    // The missing closing parenthesis is part of the published text.
    {"-a, --enable-message-submission", "",
     "enables message submission (obsoleted, use --start-service --mail-component=submission"},
    {"-b, --disable-message-submission", "",
     "disables message submission (obsoleted, use --stop-service --mail-component=submission)"},
    {"--help-commands", "", "displays mxadmin commands list and exit"},
    {"--help-legacy", "", "displays legacy mxadmin help and exit"},
    {"-h, --help", "", "displays mxadmin usage summary and exit"},
};

const size_t usageRows = sizeof usageTable / sizeof usageTable[0];
static_assert(sizeof usageTable / sizeof usageTable[0] == 71, "one usage row per help entry");

// finish - flush what was printed and end the process.
[[noreturn]] void finish(int exitCode, std::ostream& out)
{
    out.flush();
    exit(exitCode);
}

} // namespace

// CommandMapAssigner::operator() - assign or insert one binding.
CommandMapAssigner& CommandMapAssigner::operator()(const std::string& name, CommandHandler handler)
{
    table_[name] = handler;
    return *this;
}

// commandTable - every command word, legacy letters included, with its handler.
CommandMap commandTable()
{
    // One registration per line, in help order.
    // clang-format off
    return CommandMapAssigner()
        ("--add-mailname", addMailname)
        ("--remove-mailname", removeMailname)
        ("--rename-mailname", renameMailname)
        ("--add-mailbox", addMailbox)
        ("--remove-mailbox", removeMailbox)
        ("--get-mailbox-size", getMailboxSize)
        ("--set-password", setPassword)
        ("--set-mailbox-disk-quota", setMailboxDiskQuota)
        ("--add-redirect", addRedirect)
        ("--remove-redirect", removeRedirect)
        ("--set-autoresponder", addAutoresponder)
        ("--reset-autoresponder", removeAutoresponder)
        ("--add-alias", addAlias)
        ("--remove-alias", removeAlias)
        ("--add-domain", addDomain)
        ("--remove-domain", removeDomain)
        ("--turn-on-domain", enableDomain)
        ("--turn-off-domain", disableDomain)
        ("--set-domain-disk-quota", setDomainDiskQuota)
        ("--add-badmailfrom", addBadMailFrom)
        ("--remove-badmailfrom", removeBadMailFrom)
        ("--set-bounce", setBounce)
        ("--set-catchall", setCatchAll)
        ("--set-reject", setReject)
        ("--unset-reject", removeReject)
        ("--add-whitelist", addWhiteList)
        ("--remove-whitelist", removeWhiteList)
        ("--set-maps-protection", setMapsProtection)
        ("--set-accounts-format", setAccountsFormat)
        ("--features", printFeatures)
        ("--set-max-letter-size", setMaxLetterSize)
        ("--get-max-letter-size", getMaxLetterSize)
        ("--get-mailbox-size-limit", getMailboxLimit)
        ("--list-attachments", listAttachments)
        ("--add-attachment", addAttachment)
        ("--remove-attachment", removeAttachment)
        ("--update-spf", updateSPF)
        ("--add-domain-alias", addDomainAlias)
        ("--del-domain-alias", removeDomainAlias)
        ("--rename-domain-alias", renameDomainAlias)
        ("--add-handler", addHandler)
        ("--update-handler", updateHandler)
        ("--remove-handler", removeHandler)
        ("--disable-handler", disableHandler)
        ("--enable-handler", enableHandler)
        ("--check-handler", checkHandler)
        ("--set-domain-key", setDomainKey)
        ("--remove-domain-key", removeDomainKey)
        ("--set-mail-params", setMailParams)
        ("--start-service", startService)
        ("--stop-service", stopService)
        ("--restart-service", restartService)
        ("--reload-service", reloadService)
        ("--status-service", statusService)
        ("--check-mail-config", checkMailConfig)
        ("--restore-mail-config", restoreMailConfig)
        ("-p", startSMTPD)
        ("--start-smtpd", startSMTPD)
        ("-o", stopSMTPD)
        ("--stop-smtpd", stopSMTPD)
        ("-r", restartSMTPD)
        ("--restart-smtpd", restartSMTPD)
        ("-s", statusMTA)
        ("--status-smtpd", statusMTA)
        ("-l", startMTA)
        ("--start-qmail-send", startMTA)
        ("-m", stopMTA)
        ("--stop-qmail-send", stopMTA)
        ("-i", startIMAP)
        ("--start-maild", startIMAP)
        ("-t", stopIMAP)
        ("--stop-maild", stopIMAP)
        ("-z", restartIMAP)
        ("--restart-maild", restartIMAP)
        ("-e", statusIMAP)
        ("--status-maild", statusIMAP)
        ("-a", enableSubmission)
        ("--enable-message-submission", enableSubmission)
        ("-b", disableSubmission)
        ("--disable-message-submission", disableSubmission)
        ("--help-commands", usageCommandsCmd)
        ("--help-legacy", usageLegacyCmd)
        ("-h", usageShortCmd)
        ("--help", usageShortCmd)
        .table();
    // clang-format on
}

// usageShort - where to find more help.
void usageShort(int exitCode, std::ostream& out)
{
    out << "Usage: mxadmin <COMMAND> <COMMAND OPTIONS...>\n"
        << "\t for a complete list of commands use ``mxadmin --help-commands''\n"
        << "\t for help on syntax for a particular command use ``mxadmin <COMMAND> --help''\n"
        << "\t for legacy complete help use ``mxadmin --help-legacy''\n";
    finish(exitCode, out);
}

// usageCommands - names padded to one column, then the descriptions.
void usageCommands(int exitCode, std::ostream& out)
{
    out << "Mxadmin commands:\n";
    size_t width = 0;
    for (size_t i = 0; i < usageRows; ++i)
        width = std::max(width, strlen(usageTable[i][0]));
    width += 2;
    out.setf(std::ios::left, std::ios::adjustfield);
    for (size_t i = 0; i < usageRows; ++i) {
        out.width(static_cast<std::streamsize>(width));
        out << usageTable[i][0] << usageTable[i][2] << "\n";
    }
    finish(exitCode, out);
}

// usageLegacy - name and synopsis on one line, the description indented below.
void usageLegacy(int exitCode, std::ostream& out)
{
    out << "Usage: mxadmin [OPTIONS]... \n";
    for (size_t i = 0; i < usageRows; ++i) {
        out << "  " << usageTable[i][0] << " " << usageTable[i][1] << "\n";
        out << "        " << usageTable[i][2] << "\n";
    }
    finish(exitCode, out);
}

} // namespace mxadmin_commands
} // namespace postfix
} // namespace mail
} // namespace ostra

using namespace ostra::mail::postfix::mxadmin_commands;

// usageShortCmd - the -h and --help commands.
int usageShortCmd(int, char**)
{
    usageShort(0, std::cout);
}

// usageCommandsCmd - the --help-commands command.
int usageCommandsCmd(int, char**)
{
    usageCommands(0, std::cout);
}

// usageLegacyCmd - the --help-legacy command.
int usageLegacyCmd(int, char**)
{
    usageLegacy(0, std::cout);
}

// do_main - look the command word up and hand the rest of the line to its handler.
int do_main(int argc, char** argv)
{
    if (argc <= 1 || argv == nullptr || argv[1] == nullptr) {
        std::cerr << "Error: "
                  << "no command specified"
                  << "\n";
        usageShort(1, std::cerr);
    }
    const CommandMap table = commandTable();
    CommandMap::const_iterator command = table.find(argv[1]);
    if (command == table.end()) {
        std::cerr << "Error: " << (std::string("invalid command ") + argv[1]) << "\n";
        usageShort(1, std::cerr);
    }
    mailAuthDBSelectStyle(MAIL_AUTH_DB_POSTFIX_STYLE);
    // The handler sees the command word as its argv[0].
    return command->second(argc - 1, argv + 1);
}
