// env.h - password hand-over through the environment, and the features report.
#ifndef OSTRA_ENV_H
#define OSTRA_ENV_H

// get_env_password - take the password from HSP_PASSWORD (isEncrypted 0) or
// HSP_CRYPTED_PASSWORD (isEncrypted 1) and remove that variable from the
// environment. *password receives a newly allocated copy (free() it).
// Returns 0, or -1 when neither variable is set and non-empty.
int get_env_password(char** password, int* isEncrypted);

// print_feature - one "$features[...]" line on stdout; 0, or -1 when not printed.
int print_feature(const char* feature, const char* value);

#endif
