// sh_quote.cc - backslash quoting of text handed to a shell.
#include "ostra/str_util.h"

namespace {

enum QuoteClass : unsigned char { PLAIN = 0, SPECIAL = 1, NEWLINE = 2 };

// QuoteTable - the class of every byte value.
struct QuoteTable {
    unsigned char cls[256];

    constexpr QuoteTable() : cls()
    {
        const char* special = "\t \"#$&'()*;<>?[\\`|~";
        for (const char* p = special; *p != '\0'; ++p)
            cls[static_cast<unsigned char>(*p)] = SPECIAL;
        cls[static_cast<unsigned char>('\n')] = NEWLINE;
    }
};

constexpr QuoteTable quote_table;

} // namespace

namespace ostra {

// sh_quote - escape special bytes with a backslash, put line feeds in apostrophes.
std::string sh_quote(const std::string& text)
{
    std::string result;
    result.reserve(text.size() * 2);
    for (char c : text) {
        switch (quote_table.cls[static_cast<unsigned char>(c)]) {
        case SPECIAL:
            result += '\\';
            result += c;
            break;
        case NEWLINE:
            result += "'\n'";
            break;
        default:
            result += c;
            break;
        }
    }
    return result;
}

} // namespace ostra
