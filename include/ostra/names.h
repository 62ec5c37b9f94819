// names.h - the syntactic check of mail names.
#ifndef OSTRA_NAMES_H
#define OSTRA_NAMES_H

#include <string>

typedef enum validation_type { VALIDATE_EMAIL_LOCAL_PART = 0 } validation_type;

// mail_validate - 1 when name is valid for type, 0 otherwise.
int mail_validate(const char* name, validation_type type);

namespace ostra {
namespace mail {
namespace postfix {
namespace mailname_validators {

// mailValidateExc - the mail_validate result; throws std::invalid_argument
// carrying the name when it is invalid.
int mailValidateExc(const std::string& name, validation_type type = VALIDATE_EMAIL_LOCAL_PART);

} // namespace mailname_validators
} // namespace postfix
} // namespace mail
} // namespace ostra

#endif
