// domainkeys.h - one DomainKeys key file per mail domain under "/etc/domainkeys".
#ifndef MAIL_LIB_DOMAINKEYS_H
#define MAIL_LIB_DOMAINKEYS_H

/* Plain functions: 0 on success, -1 on failure after a messlog2 message; they
 * never throw. Domain lists are comma-separated; each domain is stored under
 * its lower-case name as DOMAINKEYS_DIR "/<domain>/" DOMAINKEYS_KEY_NAME,
 * owned by root and popuser's group, mode 0440, in a directory of mode 0755. */

#define DOMAINKEYS_DIR "/etc/domainkeys"
#define DOMAINKEYS_KEY_NAME "default"

/* set_domain_key - install a copy of keyFile for every domain of the list;
 * -1 when the key file is missing, a symbolic link or not a regular file, or
 * any domain failed (the others are still done). keyFile is opened once and
 * read through that descriptor; it stays in place. */
int set_domain_key(const char* domains, const char* keyFile);

/* open_key_file - keyFile opened for set_domain_key_fd as open_regular_file
 * does; -1 after the "No source file" message. */
int open_key_file(const char* keyFile);

/* set_domain_key_fd - set_domain_key with the key file already open as keyFd
 * (read from its start); keyFile names it in messages. */
int set_domain_key_fd(const char* domains, int keyFd, const char* keyFile);

/* remove_domain_key - remove the key directory of every domain of the list;
 * a missing directory is no error. -1 when any domain failed. */
int remove_domain_key(const char* domains);

/* get_domainkeys_file - newly allocated path of the domain's key file (it
 * need not exist; free() it), or null when it cannot be built. */
char* get_domainkeys_file(const char* domain);

/* domainkeys_enabled - 1 when the domain's key file is a regular file, else 0. */
int domainkeys_enabled(const char* domain);

/* clone_domain_key - give every target domain the source domain's key; 0 and
 * nothing done when the source has none, else set_domain_key's result. */
int clone_domain_key(const char* source, const char* targets);

#endif
