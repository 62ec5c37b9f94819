// options_helper.h - one shape for every command's options, help and usage errors.
#ifndef MAIL_POSTFIX_OPTIONS_HELPER_H
#define MAIL_POSTFIX_OPTIONS_HELPER_H

#include <boost/program_options.hpp>
#include <forward_list>
#include <iosfwd>
#include <memory>
#include <string>

#include "ostra/lock.h"

namespace ostra {
namespace mail {
namespace postfix {
namespace mxadmin_commands {

// MissingMandatoryOption - a mandatory option was not given.
class MissingMandatoryOption : public boost::program_options::error {
public:
    explicit MissingMandatoryOption(const std::string& name);
};

// ProgramOptionsHelper - a command's options, their parsed values and its help.
//
// A handler builds one on its stack, declares its options in one chain,
// calls standardOptionsParse() and then reads `variables`:
//
//   ProgramOptionsHelper helper("add a domain", "--add-domain --domain-name=<domain>");
//   helper.addOptions()   // one declaration per line, inside clang-format off/on
//       ("domain-name", po::value<std::string>(), "domain name", true)
//       ("in-blocks", "count in blocks");
//   standardOptionsParse(helper, argc, argv);
//   std::string domain = helper.variables["domain-name"].as<std::string>();
class ProgramOptionsHelper {
public:
    // OptionAppender - declares one option per call, returning itself for chaining.
    class OptionAppender {
    public:
        explicit OptionAppender(ProgramOptionsHelper& helper) : helper_(helper) {}

        // operator() - an option with a value; the description takes ownership of value.
        OptionAppender& operator()(const char* name,
                                   const boost::program_options::value_semantic* value,
                                   const char* description, bool mandatory = false);
        // operator() - a switch without a value.
        OptionAppender& operator()(const char* name, const char* description,
                                   bool mandatory = false);

    private:
        ProgramOptionsHelper& helper_;
    };

    ProgramOptionsHelper(const std::string& title, const std::string& synopsis);
    ProgramOptionsHelper(const ProgramOptionsHelper&) = delete;
    ProgramOptionsHelper& operator=(const ProgramOptionsHelper&) = delete;

    // addOptions - start a declaration chain.
    OptionAppender addOptions() { return OptionAppender(*this); }

    // usage - print the command help to out and end the process with exitCode.
    [[noreturn]] void usage(int exitCode, std::ostream& out) const;

    boost::program_options::options_description options;
    boost::program_options::variables_map variables;
    std::string title;
    // Names of the mandatory options, most recently declared first.
    std::forward_list<std::string> mandatory;
    std::string synopsis;
    // Held from a good parse to the end of a command that changes what
    // --check-mail-config compares (see mail_config.h).
    std::unique_ptr<ostra::MKLock> configLock;
};

typedef ProgramOptionsHelper::OptionAppender OptionAppender;

// standardOptionsParse - parse argv (argv[0] is the command word) into the helper;
// prints help and exits 0 on request, reports a usage error and exits 1.
void standardOptionsParse(ProgramOptionsHelper& helper, int argc, char** argv);

} // namespace mxadmin_commands
} // namespace postfix
} // namespace mail
} // namespace ostra

#endif
