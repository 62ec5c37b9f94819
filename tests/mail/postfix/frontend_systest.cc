// frontend_systest.cc - the front end through the real mxadmin: the general
// help texts, every command's own help, command words, usage and fatal
// errors with their exit statuses, and what a start loads.
#include <gtest/gtest.h>

#include <string.h>

#include <regex>
#include <sstream>

#include "world.h"

namespace {

using mxtest::shell;

// clang-format off
const std::string SHORT = "Usage: mxadmin <COMMAND> <COMMAND OPTIONS...>\n"
    "\t for a complete list of commands use ``mxadmin --help-commands''\n"
    "\t for help on syntax for a particular command use ``mxadmin <COMMAND> --help''\n"
    "\t for legacy complete help use ``mxadmin --help-legacy''\n";
#define PASSWORD "\n        The noncrypted password is transferred in the environment variable HSP_PASSWORD,\n        or crypted password is transferred in the environment variable HSP_CRYPTED_PASSWORD"
#define TYPE "--handler-type=(global|sender|recipient|sender-domain|recipient-domain) "
#define HOOK "--hook=(before-queue|before-local|before-remote)"
#define HANDLER "--handler-name=<name> " TYPE "--handler-type-name=<name> " HOOK
#define OWN_HANDLER "--handler-name=<name> " TYPE "[--handler-type-name=<mailname>] "
#define COMPONENT "[--mail-component={mta|smtp|smtps|submission|pop3|imap|pop3s|imaps|all}] [--mail-component=...]"
#define IMAP "--mail-component=imap --mail-component=pop3 --mail-component=imaps --mail-component=pop3s)"
#define DN "--domain-name=<domain_name>"
#define MN DN " --mailname=<mail_name>"
#define ALIAS_ACTION " <--set-bounce 'text'| --set-catchall 'email' | --set-reject>"

// One row of the usage table, and for a command of its own the help it
// prints: its title ("" where it is free), its usage line (nullptr: the name
// and the row's synopsis) and its options in order, "=" taking a value
// (and the default shown), "*" mandatory.
struct Row {
    const char *name, *synopsis, *description, *title, *usage, *options;
};

const Row ROWS[] = {
    {"--add-mailname", MN " [--disk-quota=<quota>]", "adds mailname to the mail domain. Optionally sets the mailbox quota", "add a mailname", nullptr, "domain-name=* mailname=* disk-quota="},
    {"--remove-mailname", MN, "removes mailname to the mail domain", "remove a mailname", nullptr, "domain-name=* mailname=*"},
    {"--rename-mailname", DN " --old-mailname=<old_mail_name> --new-mailname=<new_mail_name>", "renames a mailname in the mail domain. Optionally sets the mailbox password." PASSWORD, "rename a mailname", "--rename-mailname " DN " --old-mailname=<old_mail_name> --new-mailname=<new_mail_name> [--mail-domain-disabled|-D]", "domain-name=* old-mailname=* new-mailname=* mail-domain-disabled"},
    {"--add-mailbox", MN, "adds a mailbox for a given mailname." PASSWORD, "add mailname's mailbox", "--add-mailbox " MN " [--mail-domain-disabled|-D]" PASSWORD, "domain-name=* mailname=* mail-domain-disabled"},
    {"--remove-mailbox", MN, "removes a mailbox for a given mailname.", "remove mailname's mailbox", nullptr, "domain-name=* mailname=*"},
    {"--get-mailbox-size", "[--in-blocks] " MN, "returns the size of mailbox for a mailname.", "get mailbox size", nullptr, "in-blocks domain-name=* mailname=*"},
    {"--set-password", MN, "sets the password for a mailname" PASSWORD, "set mailname's password", "--set-password " MN " [--mail-domain-disabled|-D]" PASSWORD, "domain-name=* mailname=* mail-domain-disabled"},
    {"--set-mailbox-disk-quota", MN " --disk-quota=<quota>", "sets the disk quota for a mailbox. Negative quota == Unlimited", "set mailbox disk quota", nullptr, "domain-name=* mailname=* disk-quota=*"},
    {"--add-redirect", MN " --redirect-email=<email>", "adds mail redirect from the mailname", "add a redirect", nullptr, "domain-name=* mailname=* redirect-email=*"},
    {"--remove-redirect", MN " --redirect-email=<email>", "removes mail redirect from the mailname", "remove a given redirect", nullptr, "domain-name=* mailname=* redirect-email=*"},
    {"--set-autoresponder", MN, "enables autoresponder for mailname", "add autoresponder for a given mailname", nullptr, "domain-name=* mailname=*"},
    {"--reset-autoresponder", MN, "disables autoresponder for mailname", "remove autoresponder for a given mailname", nullptr, "domain-name=* mailname=*"},
    {"--add-alias", MN " --alias=<email_alias>", "adds an alias for mailname", "add alias for a given mailname", nullptr, "domain-name=* mailname=* alias=*"},
    {"--remove-alias", MN " --alias=<email_alias>", "removes an alias for mailname", "remove alias for a given mailname", nullptr, "domain-name=* mailname=* alias=*"},
    {"--add-domain", DN " [--disk-quota=<quota>]", "adds mail domain", "add a domain", "--add-domain --domain-name=<domain> [--disk-quota=quota]", "domain-name=* disk-quota="},
    {"--remove-domain", DN, "removes mail domain", "remove a domain", "--remove-domain --domain-name=<domain>", "domain-name=*"},
    {"--turn-on-domain", DN, "enables mail domain", "enable a domain", "--turn-on-domain --domain-name=<domain>", "domain-name=*"},
    {"--turn-off-domain", DN, "disables mail domain", "disable a domain", "--turn-off-domain --domain-name=<domain>", "domain-name=*"},
    {"--set-domain-disk-quota", DN " --disk-quota=<quota>", "sets a disk space quota to a mail domain. Negative quota == Unlimited", "set a domain disk quota", "--set-domain-disk-quota --domain-name=<domain> --disk-quota=quota", "domain-name=* disk-quota=*"},
    {"--add-badmailfrom", DN, "adds mail domain to the blacklist", "add a badmailfrom", "--add-badmailfrom --domain-name=<domain>", "domain-name=*"},
    {"--remove-badmailfrom", DN, "removes mail domain from the blacklist", "remove a badmailfrom", "--remove-badmailfrom --domain-name=<domain>", "domain-name=*"},
    {"--set-bounce", DN " [--phrase=<phrase>]", "letters sent to a nonexistent mailname, are bounced with this phrase", "set a domain bounce", nullptr, "domain-name=* phrase="},
    {"--set-catchall", DN " --email=<email_address>", "letters sent to a nonexistent mailname, are forwarded to this email", "set a domain catchall address", nullptr, "domain-name=* email=*"},
    {"--set-reject", "--domain-name=<domain-name>", "letters sent to a nonexistent mailname are rejected", "set domain reject flag", nullptr, "domain-name=*"},
    {"--unset-reject", "--domain-name=<domain-name>", "do not reject letters sent to a nonexistent mailname", "remove domain reject flag", nullptr, "domain-name=*"},
    {"--add-whitelist", "--ip-address=<ip_address> --netmask=<netmask>", "adds the subnet to the white-list", "add a network to whitelist", nullptr, "ip-address=* netmask=*"},
    {"--remove-whitelist", "--ip-address=<ip_address> --netmask=<netmask>", "removes the subnet from the white-list", "remove a network from whitelist", nullptr, "ip-address=* netmask=*"},
    {"--set-maps-protection", "[--maps-zones=<zone1,zone2,...,zoneN>]", "installs MAPS protection. Absent list of zones == disabled", "set MAPS protection", nullptr, "maps-zones="},
    {"--set-accounts-format", "--account-format=(\"compound\" | \"both\")", "sets the POP3/IMAP accounts format", "set accounts format", "--set-accounts-format --account-format=\"compound\"", "account-format=*"},
    {"--features", "", "returns PHP code which reflects state of several features support in mxadmin.\n        Currently they are auth-type and format", "", nullptr, ""},
    {"--set-max-letter-size", "--size=<size_in_bytes>", "sets maximum letter size", "set maximal letter size", nullptr, "size=*"},
    {"--get-max-letter-size", "", "gets maximum letter size", "", nullptr, ""},
    {"--get-mailbox-size-limit", "", "gets size limit of mailbox", "", nullptr, ""},
    {"--list-attachments", "[--in-blocks] [--fullname] " DN " (--mailname=<mail_name>|--mail-all)", "lists attachments for <mail_name>", "list attachments", nullptr, "in-blocks fullname domain-name=* mail-all mailname="},
    {"--add-attachment", MN " --file-name=<full_file_name> --attachment-file-name=<attachment_file_name>", "adds attachment for <mail_name>", "add an attachment", nullptr, "domain-name=* mailname=* file-name=* attachment-file-name=*"},
    {"--remove-attachment", MN " --attachment-file-name=<attachment_file_name>", "remove attachment from <mail_name>", "remove an attachment", nullptr, "domain-name=* mailname=* attachment-file-name=*"},
    {"--update-spf", "[--spf-behavior=spf_behavior] [--spf-rules=spf_rules] [--spf-guess=spf_guess] [--spf-exp=<spf_exp>]", "updates SPF support configuration files", "update SPF rules", nullptr, "spf-behavior= spf-rules= spf-guess= spf-exp="},
    {"--add-domain-alias", DN " --domain-alias-name=<domain_alias_name>", "adds alias for <domain_name>", "add a domain alias", "--add-domain-alias " DN " --domain-alias-name=<domain_alias_name>" ALIAS_ACTION, "domain-name=* domain-alias-name=* set-catchall email= set-bounce phrase= set-reject"},
    {"--del-domain-alias", DN " --domain-alias-name=<domain_alias_name>", "removes alias for <domain_name>", "remove a domain alias", nullptr, "domain-name=* domain-alias-name=*"},
    {"--rename-domain-alias", DN " --old-domain-alias-name=<old_domain_alias_name> --new-domain-alias-name=<new_domain_alias_name>", "renames alias for <domain_name>", "rename a given domain alias", "--rename-domain-alias " DN " --old-domain-alias-name=<old_domain_alias_name> --new-domain-alias-name=<new_domain_alias_name>" ALIAS_ACTION, "domain-name=* old-domain-alias-name=* new-domain-alias-name=* set-catchall email= set-bounce phrase= set-reject"},
    {"--add-handler", "--handler-name=<name> " TYPE "--handler-type-name=<name> --executable=<handler> --context=<context> " HOOK " --priority=<number>", "adds a mail-handler", "add a mail-handler", "--add-handler " OWN_HANDLER "--executable=<handler> --context=<context> " HOOK " --priority=<number>", "handler-name=* handler-type=* handler-type-name= executable=* context=* hook=* priority=*"},
    {"--update-handler", "--handler-name=<name> " TYPE "--executable=<handler> --context=<context> " HOOK " --priority=<number>", "updates a given mail-handler", "update a given mail-handler", "--update-handler " OWN_HANDLER "--executable=<handler> --context=<context> " HOOK " --priority=<number>", "handler-name=* handler-type=* handler-type-name= executable=* context=* hook=* priority=*"},
    {"--remove-handler", HANDLER, "removes a given mail-handler", "remove a mail-handler", "--remove-handler " OWN_HANDLER HOOK, "handler-name=* handler-type=* handler-type-name= hook=*"},
    {"--disable-handler", HANDLER, "disables a given mail-handler", "disable a mail-handler", "--disable-handler " OWN_HANDLER HOOK, "handler-name=* handler-type=* handler-type-name= hook=*"},
    {"--enable-handler", HANDLER, "enables a given mail-handler", "enable a mail-handler", "--enable-handler " OWN_HANDLER HOOK, "handler-name=* handler-type=* handler-type-name= hook=*"},
    {"--check-handler", HANDLER, "checks if a given mail-handler exists", "check a mail-handler", "--check-handler " OWN_HANDLER HOOK, "handler-name=* handler-type=* handler-type-name= hook=*"},
    {"--set-domain-key", DN " --file-name=<full_file_name>", "sets DomainKey for <domain_name>", "set DomainKey", "--set-domain-key --domain-name=<domain,domain,... > --file-name=<full_file_name>", "domain-name=* file-name=*"},
    {"--remove-domain-key", DN, "removes DomainKey for <domain_name>", "remove DomainKey", "--remove-domain-key --domain-name=<domain,domain,...>", "domain-name=*"},
    {"--set-mail-params", "[--relayclient] [--smtpauth] [--popauth] [--poplock-time=<time_in_seconds>] [--shortnames]", "sets relaying & mailnames parameters", "set mail server parameters", nullptr, "relayclient smtpauth popauth poplock-time=-1 shortnames"},
    {"--start-service", COMPONENT, "starts entire mail service or one or more of its components", "start a service", nullptr, "mail-component="},
    {"--stop-service", COMPONENT, "stops entire mail service or its components", "stop a service", nullptr, "mail-component="},
    {"--restart-service", COMPONENT, "restarts entire mail service or one or more of its components", "restart a service", nullptr, "mail-component="},
    {"--reload-service", COMPONENT, "reloads configuration for all or selected mail components", "reload a service", nullptr, "mail-component="},
    {"--status-service", COMPONENT, "returns status of entire mail service or its subcomponents", "get service status", nullptr, "mail-component="},
    {"--check-mail-config", "[" DN "]", "compares the mail configuration with the panel database and lists the differences", "check the mail configuration against the panel database", "--check-mail-config [" DN "]", "domain-name="},
    {"--restore-mail-config", "[" DN "] [--prune]", "brings the mail configuration in line with the panel database.\n        --prune also removes what the panel no longer has (never mail homes)", "restore the mail configuration from the panel database", "--restore-mail-config [" DN "] [--prune]", "domain-name= prune"},
    {"-p, --start-smtpd", "", "starts SMTP server (obsoleted, use --start-service --mail-component=smtp --mail-component=smtps)", nullptr, nullptr, nullptr},
    {"-o, --stop-smtpd", "", "stops SMTP server (obsoleted, use --stop-service --mail-component=smtp --mail-component=smtps)", nullptr, nullptr, nullptr},
    {"-r, --restart-smtpd", "", "restarts SMTP server (obsoleted, use --restart-service --mail-component=smtp --mail-component=smtps)", nullptr, nullptr, nullptr},
    {"-s, --status-smtpd", "", "SMTP server status (obsoleted, use --status-service --mail-component=smtp --mail-component=smtps)", nullptr, nullptr, nullptr},
    {"-l, --start-qmail-send", "", "starts qmail (without xinetd), (obsoleted, use --start-service --mail-component=mta)", nullptr, nullptr, nullptr},
    {"-m, --stop-qmail-send", "", "stops qmail(without xinetd), (obsoleted, use --stop-service --mail-component=mta)", nullptr, nullptr, nullptr},
    {"-i, --start-maild", "", "starts courier-imap (obsoleted, use --start-service " IMAP, nullptr, nullptr, nullptr},
    {"-t, --stop-maild", "", "stops courier-imap (obsoleted, use --stop-service " IMAP, nullptr, nullptr, nullptr},
    {"-z, --restart-maild", "", "restarts courier-imap (obsoleted, use --restart-service " IMAP, nullptr, nullptr, nullptr},
    {"-e, --status-maild", "", "returns courier-imap status (obsoleted, use --status-service " IMAP, nullptr, nullptr, nullptr},
    {"-a, --enable-message-submission", "", "enables message submission (obsoleted, use --start-service --mail-component=submission", nullptr, nullptr, nullptr},
    {"-b, --disable-message-submission", "", "disables message submission (obsoleted, use --stop-service --mail-component=submission)", nullptr, nullptr, nullptr},
    {"--help-commands", "", "displays mxadmin commands list and exit", nullptr, nullptr, nullptr},
    {"--help-legacy", "", "displays legacy mxadmin help and exit", nullptr, nullptr, nullptr},
    {"-h, --help", "", "displays mxadmin usage summary and exit", nullptr, nullptr, nullptr},
};
// clang-format on

// summary - a command's help with each option line as a word of the last
// line: the long name, "=" and the default when it takes a value, "*" when mandatory.
std::string summary(const std::string& help)
{
    static const std::regex option(
        "  (?:-\\w \\[ )?--([\\w-]+)(?: \\])?( arg(?: \\(=(\\S*)\\))?)? +(.*?)( \\(mandatory\\))?");
    // The options library continues a long description on lines of its own.
    std::istringstream in(std::regex_replace(help, std::regex("\n {20,}"), ""));
    std::string text, words;
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (!std::regex_match(line, m, option))
            text += line + "\n";
        else
            words += (words.empty() ? "" : " ") + m[1].str() + (m[2].matched ? "=" : "") +
                     m[3].str() + (m[5].matched ? "*" : "");
    }
    return text + words;
}

// Every command's own help, with its mandatory options missing, on
// "--help" or "-h" by turns.
TEST(FrontEnd, CommandHelp)
{
    int n = 0;
    for (const Row& r : ROWS) {
        if (r.title == nullptr)
            continue;
        auto h = shell(std::string("mxadmin ") + r.name + (++n % 2 ? " --help" : " -h"));
        std::string usage =
            r.usage ? r.usage : (r.name + std::string(*r.synopsis ? " " : "") + r.synopsis);
        std::string title = *r.title ? r.title : h.out.substr(0, h.out.find('\n'));
        EXPECT_EQ(title + "\nUsage: " + usage + "\nAllowed options to " + title + ":\n\n" +
                      r.options + (*r.options ? " " : "") + "help",
                  summary(h.out))
            << r.name;
        EXPECT_EQ("0", h.err + std::to_string(h.status)) << r.name;
    }
}

// usageTable - the command list, or with the synopses the legacy help.
std::string usageTable(bool legacy)
{
    std::string text = legacy ? "Usage: mxadmin [OPTIONS]... \n" : "Mxadmin commands:\n";
    for (const Row& r : ROWS)
        text += legacy ? "  " + std::string(r.name) + " " + r.synopsis + "\n        " +
                             r.description + "\n"
                       : r.name + std::string(34 - strlen(r.name), ' ') + r.description + "\n";
    return text;
}

// clang-format off
// CONF - a host configuration file, and the mail root a listing then uses.
#define CONF(text) "printf '" text "' >/etc/hsp/hsp.conf; mxadmin --list-attachments --domain-name=x.com --mailname=j 2>/dev/null | sed 's|^Unable to open dir \\(.*\\)/x.com/j/@attachments: No such file or directory$|\\1|'"
#define NO_DIR "\n\nSystem error 2: No such file or directory\n"
// A usage error is the message on both streams and the command's help on
// standard output ("HELP"); a fatal error the line on both ("ERR"). A
// command's --help after its options shows that they parse.
const struct {
    const char* command; int status; std::string err, out;
} RUNS[] = {
    {"mxadmin --help", 0, "", SHORT},
    {"mxadmin -h --add-domain --bogus", 0, "", SHORT},
    {"mxadmin --help-commands", 0, "", usageTable(false)},
    {"mxadmin --help-legacy", 0, "", usageTable(true)},
    {"mxadmin", 1, "Error: no command specified\n" + SHORT, ""},
    {"mxadmin --frobnicate --domain-name=x.com", 1, "Error: invalid command --frobnicate\n" + SHORT, ""},
    {"mxadmin --ADD-DOMAIN", 1, "Error: invalid command --ADD-DOMAIN\n" + SHORT, ""},
    {"mxadmin --add-dom", 1, "Error: invalid command --add-dom\n" + SHORT, ""},
    {"mxadmin --add-mailname", 1, "mandatory option \"--mailname\" is not specified\n", "HELP"},
    {"mxadmin --add-handler --handler-name=h --handler-type=global --executable=/bin/true", 1, "mandatory option \"--priority\" is not specified\n", "HELP"},
    {"mxadmin --add-domain --domain=x.com", 1, "unrecognised option '--domain=x.com'\n", "HELP"},
    {"mxadmin --add-domain --Domain-Name=x.com", 1, "unrecognised option '--Domain-Name=x.com'\n", "HELP"},
    {"mxadmin --add-domain --help --bogus", 1, "unrecognised option '--bogus'\n", "HELP"},
    {"mxadmin --add-domain --domain-name=a --domain-name=b", 1, "option '--domain-name' cannot be specified more than once\n", "HELP"},
    {"mxadmin --add-domain --domain-name=a --disk-quota=many", 1, "the argument ('many') for option '--disk-quota' is invalid\n", "HELP"},
    {"mxadmin --add-domain --domain-name=a --disk-quota", 1, "the required argument for option '--disk-quota' is missing\n", "HELP"},
    {"mxadmin --add-domain --domain-name=a extra", 1, "too many positional options have been specified on the command line\n", "HELP"},
    {"mxadmin --add-domain --domain-name=a /h", 1, "too many positional options have been specified on the command line\n", "HELP"},
    {"mxadmin --rename-mailname -Dh", 0, "", "HELP"},
    {"mxadmin --list-attachments --domain-name=x.com --mail-all --mailname=i", 1, "you should not use --mailname and --mail-all together\n", "HELP"},
    {"mxadmin --list-attachments --domain-name=x.com", 1, "neither --mailname nor --mail-all are specified\n", "HELP"},
    // Bytes above 127 once made the conversion overflow instead of failing.
    {"mxadmin --set-mail-params --poplock-time=\"$(printf '\\377\\37713964')\"", 1, "the argument ('\xff\xff" "13964') for option '--poplock-time' is invalid\n", "HELP"},
    {"mxadmin --set-mail-params --poplock-time=1x", 1, "the argument ('1x') for option '--poplock-time' is invalid\n", "HELP"},
    {"mxadmin --set-mail-params --poplock-time=+7 -h", 0, "", "HELP"},
    {"mxadmin --add-whitelist --netmask=+24 -h", 0, "", "HELP"},
    {"mxadmin --add-whitelist --ip-address=1.2.3.4 --netmask=33", 1, "the argument ('33') for option '--netmask' is invalid\n", "HELP"},
    {"mxadmin --add-whitelist --ip-address=1.2.3.4 --netmask=\"$(printf '\\377\\377\\3771')\"", 1, "Fatal error: boost::wrapexcept<boost::bad_lexical_cast>(bad lexical cast: source type value could not be interpreted as target)\n", "ERR"},
    // Placeholders of the options library's messages once made it loop for ever.
    {"timeout 20 mxadmin --add-domain --%canonical_option%", 1, "invalid argument '--%canonical_option%'\n", "HELP"},
    {"timeout 20 mxadmin --add-domain -%canonical_option%", 1, "invalid argument '-%canonical_option%'\n", "HELP"},
    {"timeout 20 mxadmin --add-domain --%prefix%", 1, "invalid argument '--%prefix%'\n", "HELP"},
    {"timeout 20 mxadmin --add-domain --%option%", 1, "invalid argument '--%option%'\n", "HELP"},
    {"timeout 20 mxadmin --add-domain --disk-quota=%value%", 1, "invalid argument '--disk-quota=%value%'\n", "HELP"},
    {"timeout 20 mxadmin --add-domain --disk-quota x%original_token%", 1, "invalid argument 'x%original_token%'\n", "HELP"},
    {"mxadmin --add-domain --disk-quota=%v", 1, "the argument ('%v') for option '--disk-quota' is invalid\n", "HELP"},
    {"mxadmin --list-attachments --domain-name=x.com --mailname ''", 1, "MailName empty for domain 'x.com'\n", "ERR"},
    {"mxadmin --set-mail-params --shortnames", 1, "Fatal error: ostra::NotSupportedError(short account-format is not supported for Postfix isn't supported)\n", "ERR"},
    {"mxadmin --add-mailname --domain-name=x.com --mailname='a b'", 1, "Fatal error: std::invalid_argument(invalid mail name 'a b')\n", "ERR"},
    // A legacy letter does what its long word does: the same output, status,
    // init-script calls and master.cf (starting the MTA would wait for it in vain).
    {"mkdir -p /var/spool/postfix/ostra && cp /etc/postfix/master.cf $TMPDIR/m && for s in postfix courier-imap; do printf '#!/bin/sh\\necho ${0##*/} \"$*\" >>/run/init.log\\n' >/etc/init.d/$s; chmod 755 /etc/init.d/$s; done; "
     "for p in p:start-smtpd o:stop-smtpd r:restart-smtpd s:status-smtpd m:stop-qmail-send i:start-maild t:stop-maild z:restart-maild e:status-maild a:enable-message-submission b:disable-message-submission; do "
     "for w in -${p%%:*} --${p#*:}; do cp $TMPDIR/m /etc/postfix/master.cf; : >/run/init.log; mxadmin $w >$TMPDIR/$w 2>&1; echo $? >>$TMPDIR/$w; cat /run/init.log /etc/postfix/master.cf >>$TMPDIR/$w; done; "
     "cmp -s $TMPDIR/-${p%%:*} $TMPDIR/--${p#*:} || echo $p differs; done", 0, "", ""},
    // The host configuration's grammar, seen in the mail root of a listing.
    {"mkdir -p /etc/hsp && " CONF(""), 0, "", "/var/qmail/mailnames" NO_DIR},
    {CONF("# paths\\n\\nOSTRA_MAILNAMES_D   /srv/m   # mail\\n"), 0, "", "/srv/m" NO_DIR},
    {CONF("   \\t OSTRA_MAILNAMES_D\\t/srv/m#x"), 0, "", "/srv/m" NO_DIR},
    {CONF("OSTRA_MAILNAMES_D /srv/a b  c \\t\\r\\n"), 0, "", "/srv/a b  c" NO_DIR},
    {CONF("OSTRA_MAILNAMES_D = /srv/m\\n"), 0, "", "= /srv/m" NO_DIR},
    {CONF("OSTRA_MAILNAMES_D /a\\nOSTRA_MAILNAMES_D /b\\n"), 0, "", "/b" NO_DIR},
    {CONF("# OSTRA_MAILNAMES_D /srv/m\\n"), 0, "", "/var/qmail/mailnames" NO_DIR},
    {CONF("OSTRA_MAILNAMES_D=/srv/m\\n"), 0, "", "/var/qmail/mailnames" NO_DIR},
    {CONF("OSTRA_MAILNAMES_D   # none\\nOSTRA_MAILNAMES_D"), 0, "", "/var/qmail/mailnames" NO_DIR},
    // Bad lines do not stop the rest; past the store's first room and growth, sorted.
    {CONF("BAD=1\\nLONELY\\n'\"$(seq -f 'N%g v' 250)\"'\\nOSTRA_MAILNAMES_D /b"), 0, "", "/b" NO_DIR},
    // Help texts and usage errors load no database or digest library.
    {"for a in --help '--add-domain --help' --add-domain --frobnicate; do LD_DEBUG=files mxadmin $a 2>&1 >/dev/null | grep -o -e file=libidn -e file=libmariadb -e file=libsqlite3 -e file=libcrypto -e file=libssl -e file=libboost | sort -u; done", 0, "", "file=libidn\nfile=libidn\nfile=libidn\nfile=libidn\n"},
    // The lock file's name is the MD5 digest of the table's path; a missing
    // lock directory is made.
    {"rm -r /run/lock/files; mxadmin --add-badmailfrom --domain-name=x.com && ls /run/lock/files", 0, "", "154f7d80923d5386be46e888dc656fec\n"},
};
// clang-format on

TEST(FrontEnd, Runs)
{
    for (const auto& c : RUNS) {
        mxtest::RunResult r = shell(c.command);
        std::string out = c.out == "ERR" ? c.err : c.out;
        if (out == "HELP") {
            std::string word = strstr(c.command, "mxadmin ") + 8;
            out = c.err + shell("mxadmin " + word.substr(0, word.find(' ')) + " --help").out;
        }
        EXPECT_EQ(c.status, r.status) << c.command;
        EXPECT_EQ(c.err, r.err) << c.command;
        EXPECT_EQ(out, r.out) << c.command;
    }
}

} // namespace
