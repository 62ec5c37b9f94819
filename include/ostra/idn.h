// idn.h - conversion of domain names and addresses to their ASCII (IDNA) form.
#ifndef OSTRA_IDN_H
#define OSTRA_IDN_H

#include <exception>
#include <string>

namespace ostra {
namespace idn {

// IdnaError - a failed conversion, carrying the library's result code.
class IdnaError : public std::exception {
public:
    explicit IdnaError(int code) : code_(code) {}
    const char* what() const noexcept override;
    int code() const noexcept { return code_; }

private:
    int code_;
};

// toAscii - the ASCII form of a UTF-8 domain name; throws IdnaError.
std::string toAscii(const std::string& name);

// emailToAscii - address with its domain part in ASCII form; throws IdnaError.
std::string emailToAscii(const std::string& address);

} // namespace idn
} // namespace ostra

// Result code of the last failed idn_toascii or idn_email_toascii.
extern int idn_errno;

// idn_toascii - newly allocated ASCII form of name, or null (idn_errno set).
char* idn_toascii(const char* name);

// idn_email_toascii - newly allocated address with ASCII domain part, or null.
char* idn_email_toascii(const char* address);

// idn_strerror - the text for a conversion result code.
const char* idn_strerror(int code);

#endif
