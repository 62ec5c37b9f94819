// str_util.h - shell quoting and small string helpers of the plain functions.
#ifndef OSTRA_STR_UTIL_H
#define OSTRA_STR_UTIL_H

#include <string>

namespace ostra {

// sh_quote - text with every shell-special byte backslash-escaped.
std::string sh_quote(const std::string& text);

} // namespace ostra

// strtolower - lower-case s in place; returns s.
char* strtolower(char* s);

// strtolower_dynamic - a newly allocated lower-cased copy, or null.
char* strtolower_dynamic(const char* s);

// ostra_trim - cut trailing white space; the first non-white character.
char* ostra_trim(char* s);

// string_split - newly allocated null-terminated token list (free_array), or null.
char** string_split(const char* text, const char* delimiters);

// free_array - free a null-terminated string list and its strings.
void free_array(char** list);

#endif
