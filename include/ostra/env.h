// env.h - password hand-over through the environment, and the features report.
#ifndef OSTRA_ENV_H
#define OSTRA_ENV_H

// env_password_take - move HSP_PASSWORD and HSP_CRYPTED_PASSWORD out of the
// environment into process memory, both whichever is used later, so that no
// child process inherits either. The program does this at start;
// get_env_password does it again for variables set since.
void env_password_take(void);

// get_env_password - hand out the password of HSP_PASSWORD (isEncrypted 0)
// or, when that is not given or empty, of HSP_CRYPTED_PASSWORD (isEncrypted
// 1), each once; both variables are out of the environment afterwards.
// *password receives a newly allocated copy (free() it). Returns 0, or -1
// when no password is left.
int get_env_password(char** password, int* isEncrypted);

// print_feature - one "$features[...]" line on stdout; 0, or -1 when not printed.
int print_feature(const char* feature, const char* value);

#endif
