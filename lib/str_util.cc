// str_util.cc - lower-casing, trimming and splitting of C strings.
#include "ostra/str_util.h"

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "ostra/log.h"

// strtolower - lower-case s in place.
char* strtolower(char* s)
{
    if (s == nullptr)
        return s;
    for (char* p = s; *p != '\0'; ++p)
        *p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
    return s;
}

// strtolower_dynamic - a lower-cased copy of s.
char* strtolower_dynamic(const char* s)
{
    if (s == nullptr)
        return nullptr;
    char* copy = strdup(s);
    if (copy == nullptr) {
        messlog2(0, 0, "System error: %s\n", strerror(errno));
        return nullptr;
    }
    return strtolower(copy);
}

// ostra_trim - cut trailing white space, skip leading white space.
char* ostra_trim(char* s)
{
    if (s == nullptr)
        return s;
    size_t len = strlen(s);
    while (len > 0 && isspace(static_cast<unsigned char>(s[len - 1])))
        s[--len] = '\0';
    while (isspace(static_cast<unsigned char>(*s)))
        ++s;
    return s;
}

// free_array - free every string of a null-terminated list, then the list.
void free_array(char** list)
{
    if (list == nullptr)
        return;
    for (char** p = list; *p != nullptr; ++p)
        free(*p);
    free(list);
}

// string_split - tokens of text between runs of delimiter bytes.
char** string_split(const char* text, const char* delimiters)
{
    if (text == nullptr)
        return nullptr;
    if (delimiters == nullptr)
        delimiters = "";
    size_t count = 0;
    size_t capacity = 4;
    char** list = static_cast<char**>(calloc(capacity, sizeof(char*)));
    if (list == nullptr) {
        ostra_log(3, "Unable to add string into array");
        return nullptr;
    }
    const char* p = text;
    for (;;) {
        p += strspn(p, delimiters);
        size_t len = strcspn(p, delimiters);
        if (count + 1 >= capacity) {
            void* grown = realloc(list, capacity * 2 * sizeof(char*));
            if (grown == nullptr) {
                ostra_log(3, "Unable to add string into array");
                free_array(list);
                return nullptr;
            }
            list = static_cast<char**>(grown);
            capacity *= 2;
        }
        char* token = strndup(p, len);
        if (token == nullptr) {
            ostra_log(3, "System error: %s\n", strerror(errno));
            free_array(list);
            return nullptr;
        }
        list[count++] = token;
        list[count] = nullptr;
        p += len;
        if (*p == '\0')
            break;
    }
    return list;
}
