// postfix_errors.h - failures reported by Postfix tools and configuration.
#ifndef MAIL_POSTFIX_POSTFIX_ERRORS_H
#define MAIL_POSTFIX_POSTFIX_ERRORS_H

#include <stdexcept>
#include <string>

namespace ostra {
namespace mail {
namespace postfix {

// PostfixError - any failure of Postfix or of its configuration.
class PostfixError : public std::runtime_error {
public:
    explicit PostfixError(const std::string& message) : std::runtime_error(message) {}
};

// PostfixConfigurationError - Postfix refused or could not read its configuration.
class PostfixConfigurationError : public PostfixError {
public:
    explicit PostfixConfigurationError(const std::string& message) : PostfixError(message) {}
};

// PostfixDatabaseError - a lookup table could not be read or written.
class PostfixDatabaseError : public PostfixError {
public:
    explicit PostfixDatabaseError(const std::string& message) : PostfixError(message) {}
};

} // namespace postfix
} // namespace mail
} // namespace ostra

#endif
