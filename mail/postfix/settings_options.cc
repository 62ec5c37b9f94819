// settings_options.cc - parsing the --netmask and --account-format option values.
#include "mail/postfix/settings_options.h"

#include <boost/lexical_cast.hpp>
#include <boost/program_options/errors.hpp>
#include <boost/program_options/value_semantic.hpp>

namespace po = boost::program_options;

namespace ostra {
namespace mail {
namespace postfix {
namespace mxadmin_commands {

namespace {

const struct {
    const char* word;
    ShortnameFormat::Format format;
} FORMAT_WORDS[] = {
    {"compound", ShortnameFormat::COMPOUND},
    {"both", ShortnameFormat::BOTH},
};

} // namespace

// parse - look a format word up.
bool ShortnameFormat::parse(const std::string& word, Format& format)
{
    for (const auto& entry : FORMAT_WORDS) {
        if (word == entry.word) {
            format = entry.format;
            return true;
        }
    }
    return false;
}

// name - the word of a format.
const char* ShortnameFormat::name(Format format)
{
    for (const auto& entry : FORMAT_WORDS)
        if (entry.format == format)
            return entry.word;
    return "unknown";
}

// validate - one prefix length, 0 to 32.
void validate(boost::any& target, const std::vector<std::string>& values, IPv4Mask*, int)
{
    po::validators::check_first_occurrence(target);
    const std::string& word = po::validators::get_single_string(values);
    const unsigned short bits = boost::lexical_cast<unsigned short>(word);
    if (bits > IPv4Mask::MAX)
        throw po::invalid_option_value(word);
    target = IPv4Mask(bits);
}

// validate - one account name format word.
void validate(boost::any& target, const std::vector<std::string>& values, ShortnameFormat*, int)
{
    po::validators::check_first_occurrence(target);
    const std::string& word = po::validators::get_single_string(values);
    ShortnameFormat::Format format;
    if (!ShortnameFormat::parse(word, format))
        throw po::invalid_option_value(word);
    target = ShortnameFormat(format);
}

} // namespace mxadmin_commands
} // namespace postfix
} // namespace mail
} // namespace ostra
