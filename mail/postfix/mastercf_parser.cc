// mastercf_parser.cc - reading a whole service table file into a content.
#include "mail/postfix/mastercf_parser.h"

namespace ostra {
namespace mail {
namespace postfix {

// parseMasterCf - apply the grammar to [first, last); true only for a full match.
bool parseMasterCf(const char* first, const char* last, MasterCfContent& content)
{
    MasterCfParser grammar(content);
    return boost::spirit::classic::parse(first, last, grammar).full;
}

// parseMasterCf - the same for a text held in a string.
bool parseMasterCf(const std::string& text, MasterCfContent& content)
{
    return parseMasterCf(text.data(), text.data() + text.size(), content);
}

} // namespace postfix
} // namespace mail
} // namespace ostra
