// values.cc - syntactic checks of the values that reach lookup tables, main.cf
// and configuration files.
#include "ostra/values.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {

// is_control - a control character or DEL.
bool is_control(unsigned char c)
{
    return c < 0x20 || c == 0x7f;
}

// is_ldh - a letter, digit or hyphen, whatever the locale.
bool is_ldh(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

} // namespace

// domain_name_ok - non-empty LDH labels between single dots.
int domain_name_ok(const char* name)
{
    if (name == nullptr || *name == '\0')
        return 0;
    bool labelStart = true;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p != '\0'; ++p) {
        if (*p == '.') {
            if (labelStart)
                return 0;
            labelStart = true;
        } else if (is_ldh(*p)) {
            labelStart = false;
        } else {
            return 0;
        }
    }
    return labelStart ? 0 : 1;
}

// table_word_ok - nothing that splits a record, a list or a line.
int table_word_ok(const char* text)
{
    if (text == nullptr)
        return 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != '\0'; ++p)
        if (*p == ' ' || *p == ',' || is_control(*p))
            return 0;
    return 1;
}

// ipv4_address_ok - the strict dotted-quad parser: four decimal parts, nothing else.
int ipv4_address_ok(const char* text)
{
    struct in_addr address;
    return text != nullptr && inet_pton(AF_INET, text, &address) == 1 ? 1 : 0;
}

// config_line_ok - no control character.
int config_line_ok(const char* text)
{
    if (text == nullptr)
        return 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != '\0'; ++p)
        if (is_control(*p))
            return 0;
    return 1;
}
