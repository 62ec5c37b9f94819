// selected_mail_components.cc - component words of the --mail-component option.
#include "mail/postfix/selected_mail_components.h"

#include <boost/program_options/errors.hpp>

namespace ostra {
namespace mail {
namespace postfix {
namespace mxadmin_commands {

namespace {

struct ComponentWord {
    const char* word;
    unsigned bit;
};

const ComponentWord COMPONENT_WORDS[] = {
    {"mta", SelectedMailComponents::MTA},     {"smtp", SelectedMailComponents::SMTP},
    {"smtps", SelectedMailComponents::SMTPS}, {"submission", SelectedMailComponents::SUBMISSION},
    {"pop3", SelectedMailComponents::POP3},   {"imap", SelectedMailComponents::IMAP},
    {"pop3s", SelectedMailComponents::POP3S}, {"imaps", SelectedMailComponents::IMAPS},
    {"all", SelectedMailComponents::ALL},
};

} // namespace

// bitOf - the table lookup of one word.
unsigned SelectedMailComponents::bitOf(const std::string& word)
{
    for (const ComponentWord& entry : COMPONENT_WORDS)
        if (word == entry.word)
            return entry.bit;
    return 0;
}

// validate - OR each occurrence's component into the value built so far.
void validate(boost::any& target, const std::vector<std::string>& values, SelectedMailComponents*,
              int)
{
    namespace po = boost::program_options;
    // Repeated occurrences accumulate, so a value already there is no error.
    SelectedMailComponents components;
    if (!target.empty())
        components = boost::any_cast<SelectedMailComponents>(target);
    if (values.empty())
        throw po::invalid_option_value("unknown component ");
    for (const std::string& word : values) {
        const unsigned bit = SelectedMailComponents::bitOf(word);
        if (bit == 0)
            throw po::invalid_option_value("unknown component " + word);
        components.value |= bit;
    }
    target = components;
}

} // namespace mxadmin_commands
} // namespace postfix
} // namespace mail
} // namespace ostra
