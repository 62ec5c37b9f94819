// settings_options.h - option value types of the server-wide settings commands:
// a network prefix length and the POP3/IMAP account name format.
#ifndef MAIL_POSTFIX_SETTINGS_OPTIONS_H
#define MAIL_POSTFIX_SETTINGS_OPTIONS_H

#include <string>
#include <vector>

#include <boost/any.hpp>

namespace ostra {
namespace mail {
namespace postfix {
namespace mxadmin_commands {

// IPv4Mask - the prefix length of an IPv4 network, 0 to 32.
class IPv4Mask {
public:
    static const unsigned short MAX = 32;

    IPv4Mask() : value(0) {}
    explicit IPv4Mask(unsigned short bits) : value(bits) {}

    unsigned short value;
};

// ShortnameFormat - how POP3/IMAP account names are written.
class ShortnameFormat {
public:
    enum Format { COMPOUND = 0, BOTH = 1 };

    ShortnameFormat() : value(COMPOUND) {}
    explicit ShortnameFormat(Format format) : value(format) {}

    // parse - the format a word names ("compound" or "both", case-sensitive);
    // false for any other word.
    static bool parse(const std::string& word, Format& format);
    // name - the word of a format.
    static const char* name(Format format);

    Format value;
};

// validate - the option parser's hooks. One occurrence of one word each; a
// word that is no unsigned 16-bit number fails the conversion
// (boost::bad_lexical_cast), above 32 or not a format word is an
// invalid_option_value naming the word.
void validate(boost::any& target, const std::vector<std::string>& values, IPv4Mask*, int);
void validate(boost::any& target, const std::vector<std::string>& values, ShortnameFormat*, int);

} // namespace mxadmin_commands
} // namespace postfix
} // namespace mail
} // namespace ostra

#endif
