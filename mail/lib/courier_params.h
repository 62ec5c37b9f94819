// courier_params.h - shell-style variable assignments in the Courier-IMAP
// configuration files.
#ifndef MAIL_LIB_COURIER_PARAMS_H
#define MAIL_LIB_COURIER_PARAMS_H

/* Plain functions: 0 on success, -1 on failure after a messlog2 message; they
 * never throw. The files are "<COURIER_IMAP_ROOT_D>/etc/courier-imap/" followed
 * by each of COURIER_FILES; an assignment is a line "NAME=value". */

/* env_action - what one change does with its variable. */
enum env_action {
    ENV_ADD = 0, /* set the variable to the value */
    ENV_DEL = 1  /* remove every assignment of it */
};

/* EnvChange - one requested change. A request is an array ended by a record
 * whose var is null; a null value counts as empty. */
typedef struct EnvChange {
    const char* var;
    int action; /* enum env_action */
    const char* value;
} EnvChange;

/* Only this many records of a request take effect; the tail is ignored. */
#define COURIER_MAX_CHANGES 31

/* The Courier configuration files, in the order they are edited; null-terminated. */
extern const char* const COURIER_FILES[];

/* edit_env_file - apply a request to one file, replacing it by rename (the new
 * file has mode 0600). The first assignment of an added variable takes the
 * new value in place, later ones are dropped; added variables not found are
 * appended. 1 when the file cannot be opened for reading (logged, nothing
 * changed), 0 when rewritten, -1 on failure (logged, file untouched). */
int edit_env_file(const char* path, const EnvChange* changes);

/* set_courier_params_list - edit the four Courier files in order (a missing
 * file is skipped) and restart Courier; the restart's result, or -1 at the
 * first file that fails (no restart then). */
int set_courier_params_list(const EnvChange* changes);

/* set_courier_params - RELAYCLIENT set empty or removed, POPAUTH and
 * SHORTNAMES set to "1" or removed; POPLOCK_TIME set when poplockTime > 0,
 * removed when 0, untouched when negative. */
int set_courier_params(int relayClient, int popAuth, short poplockTime, int shortNames);

/* set_courier_shortnames_params - SHORTNAMES set to "1" or removed. */
int set_courier_shortnames_params(int shortNames);

#endif
