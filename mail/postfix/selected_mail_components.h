// selected_mail_components.h - the --mail-component option value: a set of mail components.
#ifndef MAIL_POSTFIX_SELECTED_MAIL_COMPONENTS_H
#define MAIL_POSTFIX_SELECTED_MAIL_COMPONENTS_H

#include <string>
#include <vector>

#include <boost/any.hpp>

namespace ostra {
namespace mail {
namespace postfix {
namespace mxadmin_commands {

// SelectedMailComponents - bits of the components named on the command line;
// repeated options accumulate, and no option at all (0) selects everything.
class SelectedMailComponents {
public:
    enum MailComponents : unsigned {
        MTA = 1,
        SMTP = 2,
        SMTPS = 4,
        SUBMISSION = 8,
        POP3 = 16,
        IMAP = 32,
        POP3S = 64,
        IMAPS = 128,
        ALL = 65535,
        // The master.cf services and the Courier servers as groups.
        MASTER_CF = SMTP | SMTPS | SUBMISSION,
        COURIER = POP3 | IMAP | POP3S | IMAPS,
    };

    SelectedMailComponents() : value(0) {}
    explicit SelectedMailComponents(unsigned bits) : value(bits) {}

    // bitOf - the bit of a component word (exact, case-sensitive); 0 when unknown.
    static unsigned bitOf(const std::string& word);

    // effective - the bits, with "nothing given" read as ALL.
    unsigned effective() const { return value == 0 ? unsigned(ALL) : value; }
    // selected - whether any of bits is selected.
    bool selected(unsigned bits) const { return (effective() & bits) != 0; }

    unsigned value;
};

// validate - the option parser's hook: OR the word's bit into target;
// invalid_option_value "unknown component <word>" for an unknown word.
void validate(boost::any& target, const std::vector<std::string>& values, SelectedMailComponents*,
              int);

} // namespace mxadmin_commands
} // namespace postfix
} // namespace mail
} // namespace ostra

#endif
