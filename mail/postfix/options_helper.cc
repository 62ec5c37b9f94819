// options_helper.cc - declaring, parsing and explaining a command's options.
#include "mail/postfix/options_helper.h"

#include <iostream>
#include <stdlib.h>

#include "ostra/uerr.h"

namespace po = boost::program_options;

namespace ostra {
namespace mail {
namespace postfix {
namespace mxadmin_commands {

// MissingMandatoryOption - "mandatory option "--name" is not specified".
MissingMandatoryOption::MissingMandatoryOption(const std::string& name)
    : po::error("mandatory option \"--" + name + "\" is not specified")
{
}

// ProgramOptionsHelper - an empty set of options captioned after the command.
ProgramOptionsHelper::ProgramOptionsHelper(const std::string& title, const std::string& synopsis)
    : options("Allowed options to " + title), title(title), synopsis(synopsis)
{
}

// OptionAppender::operator() - add an option taking a value, marking it when mandatory.
OptionAppender& OptionAppender::operator()(const char* name, const po::value_semantic* value,
                                           const char* description, bool mandatory)
{
    std::string text(description);
    if (mandatory) {
        helper_.mandatory.push_front(name);
        text += " (mandatory)";
    }
    helper_.options.add_options()(name, value, text.c_str());
    return *this;
}

// OptionAppender::operator() - add a switch, marking it when mandatory.
OptionAppender& OptionAppender::operator()(const char* name, const char* description,
                                           bool mandatory)
{
    std::string text(description);
    if (mandatory) {
        helper_.mandatory.push_front(name);
        text += " (mandatory)";
    }
    helper_.options.add_options()(name, text.c_str());
    return *this;
}

// ProgramOptionsHelper::usage - title, synopsis and option list, then exit.
void ProgramOptionsHelper::usage(int exitCode, std::ostream& out) const
{
    out << title << "\n";
    out << "Usage: " << synopsis << "\n";
    out << options << "\n";
    out.flush();
    exit(exitCode);
}

// standardOptionsParse - parse, store and check; usage errors end the process.
void standardOptionsParse(ProgramOptionsHelper& helper, int argc, char** argv)
{
    try {
        helper.options.add_options()("help,h", "displays this help message");
        // No guessing: an abbreviated long option is an unknown option.
        int style = po::command_line_style::default_style & ~po::command_line_style::allow_guessing;
        // No positional arguments: a stray word is an error, not silently dropped.
        po::positional_options_description none;
        po::store(po::command_line_parser(argc, argv)
                      .options(helper.options)
                      .positional(none)
                      .style(style)
                      .run(),
                  helper.variables);
        po::notify(helper.variables);
        if (helper.variables.count("help"))
            helper.usage(0, std::cout);
        for (const std::string& name : helper.mandatory)
            if (helper.variables.count(name) == 0)
                throw MissingMandatoryOption(name);
    } catch (const po::error& e) {
        // Flushed at once so that on standard output the message precedes the help.
        uerr << e.what() << std::endl;
        helper.usage(1, std::cout);
    }
}

} // namespace mxadmin_commands
} // namespace postfix
} // namespace mail
} // namespace ostra
