// decimal_option.cc - the decimal word check of numeric option values.
#include "mail/postfix/decimal_option.h"

namespace ostra {
namespace mail {
namespace postfix {
namespace mxadmin_commands {

// isDecimalWord - sign, then digits only; at least one digit.
bool isDecimalWord(const std::string& word)
{
    std::string::size_type pos = 0;
    if (pos < word.size() && (word[pos] == '+' || word[pos] == '-'))
        ++pos;
    if (pos == word.size())
        return false;
    for (; pos < word.size(); ++pos)
        if (word[pos] < '0' || word[pos] > '9')
            return false;
    return true;
}

} // namespace mxadmin_commands
} // namespace postfix
} // namespace mail
} // namespace ostra
