// idn.cc - domain names and addresses to their ASCII (IDNA) form, on libidn.
#include "ostra/idn.h"

#include <idn-free.h>
#include <idna.h>
#include <new>
#include <stdlib.h>
#include <string.h>

#include "ostra/log.h"

int idn_errno = 0;

// idn_strerror - the text for a conversion result code.
const char* idn_strerror(int code)
{
    switch (code) {
    case IDNA_SUCCESS:
        return "Success";
    case IDNA_STRINGPREP_ERROR:
        return "Stringprep error";
    case IDNA_PUNYCODE_ERROR:
        return "Punycode error";
    case IDNA_CONTAINS_NON_LDH:
        return "Contains non-LDH characters";
    case IDNA_CONTAINS_MINUS:
        return "Contains minus";
    case IDNA_INVALID_LENGTH:
        return "Invalid length";
    case IDNA_NO_ACE_PREFIX:
        return "ACE prefix not found";
    case IDNA_ROUNDTRIP_VERIFY_ERROR:
        return "Verify error";
    case IDNA_CONTAINS_ACE_PREFIX:
        return "ACE prefix found";
    case IDNA_ICONV_ERROR:
        return "Iconv error";
    case IDNA_MALLOC_ERROR:
        return "Cannot allocate buffer";
    default:
        return "Unknown error";
    }
}

// convert - idna_to_ascii_8z of name; the result code, *ascii set on success.
static int convert(const char* name, char** ascii)
{
    *ascii = nullptr;
    int rc = idna_to_ascii_8z(name, ascii, 0);
    if (rc != IDNA_SUCCESS && *ascii != nullptr) {
        idn_free(*ascii);
        *ascii = nullptr;
    }
    return rc;
}

namespace ostra {
namespace idn {

// IdnaError::what - the text of the carried code.
const char* IdnaError::what() const noexcept
{
    return idn_strerror(code_);
}

// toAscii - convert a UTF-8 domain name; throws IdnaError.
std::string toAscii(const std::string& name)
{
    char* ascii = nullptr;
    int rc = convert(name.c_str(), &ascii);
    if (rc != IDNA_SUCCESS)
        throw IdnaError(rc);
    if (ascii == nullptr)
        throw std::bad_alloc();
    std::string result;
    try {
        result = ascii;
    } catch (...) {
        idn_free(ascii);
        throw;
    }
    idn_free(ascii);
    return result;
}

// emailToAscii - convert the part after the first "@", keep the local part.
std::string emailToAscii(const std::string& address)
{
    std::string::size_type at = address.find('@');
    if (at == std::string::npos)
        return address;
    return address.substr(0, at + 1) + toAscii(address.substr(at + 1));
}

} // namespace idn
} // namespace ostra

// idn_toascii - newly allocated ASCII form (free() it), or null with idn_errno set.
char* idn_toascii(const char* name)
{
    if (name == nullptr) {
        idn_errno = IDNA_STRINGPREP_ERROR;
        return nullptr;
    }
    char* ascii = nullptr;
    int rc = convert(name, &ascii);
    if (rc == IDNA_MALLOC_ERROR)
        messlog2(1, 0, "Allocation failed");
    if (rc != IDNA_SUCCESS) {
        idn_errno = rc;
        return nullptr;
    }
    return ascii;
}

// idn_email_toascii - "local@" plus the converted domain, or null.
char* idn_email_toascii(const char* address)
{
    const char* at = address != nullptr ? strchr(address, '@') : nullptr;
    if (at == nullptr)
        return nullptr;
    char* domain = idn_toascii(at + 1);
    if (domain == nullptr)
        return nullptr;
    char* result = asprintf_safe("%.*s@%s", static_cast<int>(at - address), address, domain);
    free(domain);
    return result;
}
