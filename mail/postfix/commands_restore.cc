// commands_restore.cc - the commands that compare the whole mail configuration
// with the panel database and bring it back in line.
#include "mail/postfix/mxadmin_commands.h"

#include <iostream>

#include "mail/postfix/command_util.h"
#include "mail/postfix/mail_config.h"
#include "mail/postfix/options_helper.h"
#include "ostra/lock.h"

namespace po = boost::program_options;

namespace ostra {
namespace mail {
namespace postfix {
namespace mxadmin_commands {

namespace {

// Exit status of a check that found differences: neither success nor a failure.
const int DIFFERENCES_FOUND = 3;

// summaryLine - one line with the counts, after the difference lines.
void summaryLine(const char* command, const ConfigSummary& s, bool repair)
{
    std::cout << command << ": ";
    if (s.total() == 0)
        std::cout << "no differences";
    else
        std::cout << s.total() << (s.total() == 1 ? " difference (" : " differences (") << s.missing
                  << " missing, " << s.differs << " differ, " << s.extra << " extra, " << s.unknown
                  << " unknown)";
    if (repair)
        std::cout << "; " << s.repaired << " repairs made, " << s.failed << " failed";
    std::cout << std::endl;
}

// scopeOf - the domain option, converted and checked like every domain name.
ConfigScope scopeOf(const ProgramOptionsHelper& helper)
{
    ConfigScope scope;
    if (helper.variables.count("domain-name"))
        scope.domain = asciiDomainOption(helper);
    return scope;
}

} // namespace

// checkMailConfig - the --check-mail-config command: 0 when the server
// matches the panel database, 3 when it does not, 1 on failure.
int checkMailConfig(int argc, char** argv)
{
    ProgramOptionsHelper helper("check the mail configuration against the panel database",
                                "--check-mail-config [--domain-name=<domain_name>]");
    // clang-format off
    helper.addOptions()
        ("domain-name", po::value<std::string>(), "only this domain and its alias domains");
    // clang-format on
    standardOptionsParse(helper, argc, argv);
    const ConfigScope scope = scopeOf(helper);
    const MKLock lock(MAIL_CONFIG_LOCK);
    const ConfigSummary summary = compareMailConfig(scope, std::cout);
    summaryLine("check-mail-config", summary, false);
    return summary.total() == 0 ? 0 : DIFFERENCES_FOUND;
}

// restoreMailConfig - the --restore-mail-config command: 0 when every repair
// was made, 1 otherwise.
int restoreMailConfig(int argc, char** argv)
{
    ProgramOptionsHelper helper("restore the mail configuration from the panel database",
                                "--restore-mail-config [--domain-name=<domain_name>] [--prune]");
    // clang-format off
    helper.addOptions()
        ("domain-name", po::value<std::string>(), "only this domain and its alias domains")
        ("prune", "also remove records and credentials of what the panel no longer has");
    // clang-format on
    standardOptionsParse(helper, argc, argv);
    ConfigScope scope = scopeOf(helper);
    scope.repair = true;
    scope.prune = helper.variables.count("prune") != 0;
    const MKLock lock(MAIL_CONFIG_LOCK);
    const ConfigSummary summary = compareMailConfig(scope, std::cout);
    summaryLine("restore-mail-config", summary, true);
    return summary.failed == 0 ? 0 : 1;
}

} // namespace mxadmin_commands
} // namespace postfix
} // namespace mail
} // namespace ostra
