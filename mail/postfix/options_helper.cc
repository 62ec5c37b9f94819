// options_helper.cc - declaring, parsing and explaining a command's options.
#include "mail/postfix/options_helper.h"

#include "mail/postfix/mail_config.h"

#include <iostream>
#include <stdlib.h>
#include <string.h>

#include "ostra/uerr.h"

namespace po = boost::program_options;

namespace ostra {
namespace mail {
namespace postfix {
namespace mxadmin_commands {

namespace {

// The placeholders of the options library's message templates. Its what()
// replaces each one until none is left, so an argument holding a placeholder
// (--x=%value%, --%canonical_option%) would make it loop for ever.
const char* const MESSAGE_PLACEHOLDERS[] = {"%canonical_option%", "%option%", "%original_token%",
                                            "%prefix%", "%value%"};

// usageErrorText - the library's message, or one naming the argument that
// would keep the library from ever finishing its message.
std::string usageErrorText(const po::error& e, int argc, char** argv)
{
    if (dynamic_cast<const po::error_with_option_name*>(&e) != nullptr)
        for (int i = 1; i < argc; ++i)
            for (const char* placeholder : MESSAGE_PLACEHOLDERS)
                if (strstr(argv[i], placeholder) != nullptr)
                    return std::string("invalid argument '") + argv[i] + "'";
    return e.what();
}

} // namespace

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
        uerr << usageErrorText(e, argc, argv) << std::endl;
        helper.usage(1, std::cout);
    }
    // Only now: help and usage errors take no lock and load no digest library.
    if (argc > 0 && changesMailConfig(argv[0]))
        helper.configLock.reset(
            new MKLock(MAIL_CONFIG_LOCK, MKLock::HASHED_FILENAME, MKLock::BLOCK, MKLock::SHARED));
}

} // namespace mxadmin_commands
} // namespace postfix
} // namespace mail
} // namespace ostra
