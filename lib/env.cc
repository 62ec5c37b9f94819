// env.cc - password hand-over through the environment and the features report.
#include "ostra/env.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ostra/log.h"

// get_env_password - take the first password variable that is set and not empty.
int get_env_password(char** password, int* isEncrypted)
{
    static const char* const names[] = {"HSP_PASSWORD", "HSP_CRYPTED_PASSWORD"};
    if (password == nullptr || isEncrypted == nullptr)
        return -1;
    for (int encrypted = 0; encrypted < 2; ++encrypted) {
        const char* value = getenv(names[encrypted]);
        if (value == nullptr || *value == '\0')
            continue;
        // A copy: unsetenv may invalidate the environment's own string.
        char* copy = strdup(value);
        if (copy == nullptr)
            messlog2(1, 0, "Cannot allocate memory: %s", strerror(errno));
        unsetenv(names[encrypted]);
        *password = copy;
        *isEncrypted = encrypted;
        return 0;
    }
    return -1;
}

// print_feature - booleans unquoted, every other value in double quotes.
int print_feature(const char* feature, const char* value)
{
    if (feature == nullptr || value == nullptr)
        return -1;
    int n;
    if (strcmp(value, "true") == 0 || strcmp(value, "false") == 0)
        n = printf("$features['%s'] = %s;\n", feature, value);
    else
        n = printf("$features['%s'] = \"%s\";\n", feature, value);
    return n < 0 ? -1 : 0;
}
