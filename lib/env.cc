// env.cc - password hand-over through the environment and the features report.
#include "ostra/env.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ostra/log.h"

namespace {

const char* const PASSWORD_VARIABLES[] = {"HSP_PASSWORD", "HSP_CRYPTED_PASSWORD"};

// taken - the passwords moved out of the environment, by variable; null when
// not given (or empty) or already handed out.
char* taken[2];

} // namespace

// env_password_take - move both variables into process memory.
void env_password_take(void)
{
    for (int i = 0; i < 2; ++i) {
        const char* value = getenv(PASSWORD_VARIABLES[i]);
        if (value == nullptr)
            continue;
        if (taken[i] != nullptr) {
            explicit_bzero(taken[i], strlen(taken[i]));
            free(taken[i]);
            taken[i] = nullptr;
        }
        // A copy: unsetenv may invalidate the environment's own string.
        if (*value != '\0') {
            taken[i] = strdup(value);
            if (taken[i] == nullptr)
                messlog2(1, 0, "Cannot allocate memory: %s", strerror(errno));
        }
        unsetenv(PASSWORD_VARIABLES[i]);
    }
}

// get_env_password - hand out the first password given, the clear one first.
int get_env_password(char** password, int* isEncrypted)
{
    if (password == nullptr || isEncrypted == nullptr)
        return -1;
    env_password_take();
    for (int encrypted = 0; encrypted < 2; ++encrypted) {
        if (taken[encrypted] == nullptr)
            continue;
        *password = taken[encrypted];
        taken[encrypted] = nullptr;
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
