// names.cc - the syntactic check of mail names.
#include "ostra/names.h"

#include <stdexcept>
#include <string.h>

#include "ostra/log.h"

// mail_validate - a local part is valid unless it holds two dots in a row.
int mail_validate(const char* name, validation_type type)
{
    if (type != VALIDATE_EMAIL_LOCAL_PART) {
        ostra_log(6, "unknown validation_type: %d", static_cast<int>(type));
        return 0;
    }
    if (name == nullptr)
        return 0;
    return strstr(name, "..") == nullptr ? 1 : 0;
}

namespace ostra {
namespace mail {
namespace postfix {
namespace mailname_validators {

// mailValidateExc - mail_validate, with an invalid name thrown as invalid_argument.
int mailValidateExc(const std::string& name, validation_type type)
{
    int valid = mail_validate(name.c_str(), type);
    if (!valid)
        throw std::invalid_argument(name);
    return valid;
}

} // namespace mailname_validators
} // namespace postfix
} // namespace mail
} // namespace ostra
