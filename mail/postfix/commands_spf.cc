// commands_spf.cc - the SPF settings command.
#include "mail/postfix/mxadmin_commands.h"

#include <string>

#include "mail/lib/spf.h"
#include "mail/postfix/command_util.h"
#include "mail/postfix/options_helper.h"
#include "ostra/values.h"

namespace po = boost::program_options;

namespace ostra {
namespace mail {
namespace postfix {
namespace mxadmin_commands {

namespace {

// spfValue - the value of an SPF option: null when not given, "" for "-".
// Each file holds one value on one line: control characters are refused.
const char* spfValue(const ProgramOptionsHelper& helper, const char* name)
{
    if (helper.variables.count(name) == 0)
        return nullptr;
    const std::string& value = helper.variables[name].as<std::string>();
    checkValue(value, config_line_ok, "SPF value");
    return value == "-" ? "" : value.c_str();
}

} // namespace

// updateSPF - the --update-spf command: the given SPF settings files, nothing of Postfix.
int updateSPF(int argc, char** argv)
{
    ProgramOptionsHelper helper(
        "update SPF rules", "--update-spf [--spf-behavior=spf_behavior] [--spf-rules=spf_rules] "
                            "[--spf-guess=spf_guess] [--spf-exp=<spf_exp>]");
    // clang-format off
    helper.addOptions()
        ("spf-behavior", po::value<std::string>(), "SPF behavior")
        ("spf-rules", po::value<std::string>(), "SPF rules")
        ("spf-guess", po::value<std::string>(), "SPF guess")
        ("spf-exp", po::value<std::string>(), "SPF exp");
    // clang-format on
    standardOptionsParse(helper, argc, argv);
    const int rc = update_spf(spfValue(helper, "spf-behavior"), spfValue(helper, "spf-rules"),
                              spfValue(helper, "spf-guess"), spfValue(helper, "spf-exp"));
    return rc != 0 ? 1 : 0;
}

} // namespace mxadmin_commands
} // namespace postfix
} // namespace mail
} // namespace ostra
