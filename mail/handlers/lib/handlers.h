/* handlers.h - the mail handler registry and its per-hook queues of markers
 * (plain functions).
 *
 * A handler is a directory of value files under HANDLERS_INFO_ROOT, named
 * "<priority>-<template>-<random>"; it is enabled for its context while an
 * empty marker file of the same name sits in its queue directory:
 *   HANDLERS_QUEUE_ROOT/<hook>/global                  (global handlers)
 *   HANDLERS_QUEUE_ROOT/<hook>/<type>/<type value>     (all others)
 * Unless said otherwise the functions return 0 on success and -1 on failure,
 * after logging the reason through ostra_log at level 3. Returned strings are
 * newly allocated; free() them. */
#ifndef MAIL_HANDLERS_LIB_HANDLERS_H
#define MAIL_HANDLERS_LIB_HANDLERS_H

#include <stddef.h>

#define HANDLERS_QUEUE_ROOT "/usr/local/hsp/handlers"
#define HANDLERS_INFO_ROOT "/usr/local/hsp/handlers/info"
/* Run with "refresh" after every change, when installed. */
#define HANDLERS_TMPFS_SYNC "/usr/lib/ostra-9.0/handlers-tmpfs"

/* Actions of control_handler_queue and the mass operations. */
enum handler_action {
    HOOK_ADD = 0, /* not an action of its own: rejected */
    HOOK_DELETE = 1,
    HOOK_ENABLE = 2,
    HOOK_DISABLE = 3,
    HOOK_CHECK = 4, /* result 1 enabled, 0 not */
    HOOK_CLONE = 5,
    HOOK_MOVE = 6
};

/* Handler types, in table order (the index order). */
enum handler_type_index {
    HANDLER_TYPE_SENDER = 0,
    HANDLER_TYPE_RECIPIENT = 1,
    HANDLER_TYPE_SENDER_DOMAIN = 2,
    HANDLER_TYPE_RECIPIENT_DOMAIN = 3,
    HANDLER_TYPE_GLOBAL = 4,
    HANDLER_TYPE_COUNT = 5
};

/* handler_types - "sender", "recipient", "sender-domain", "recipient-domain",
 * "global", then null. */
extern const char* const handler_types[HANDLER_TYPE_COUNT + 1];

/* handler_type_find - table index of type, matched without regard to case;
 * -1 for null or an unknown type. */
int handler_type_find(const char* type);

/* handler_type_canonical - the table's form of type, or null when unknown. */
const char* handler_type_canonical(const char* type);

/* Outcome of splitting a handler name. */
enum handler_name_status {
    HANDLER_NAME_OK = 0,
    HANDLER_NAME_NO_PRIORITY = 1,   /* no "-" at all */
    HANDLER_NAME_NO_RANDOM = 2,     /* no "-" after the first */
    HANDLER_NAME_EMPTY_TEMPLATE = 3 /* the last "-" directly follows the first */
};

/* handler_name_parts - the three parts of a handler name, as spans of it. */
typedef struct handler_name_parts {
    const char* priority; /* up to the first "-" */
    size_t priority_len;
    const char* tmpl; /* between the first and the last "-" */
    size_t template_len;
    const char* random; /* after the last "-", to the end */
} handler_name_parts;

/* handler_name_parse - split name without logging; a handler_name_status. */
int handler_name_parse(const char* name, handler_name_parts* parts);

/* handler_name_error - the message format (one "%s": the name) for a status,
 * or null for HANDLER_NAME_OK. */
const char* handler_name_error(int status);

/* handler_name_split - handler_name_parse, logging a bad name; 0 or -1. */
int handler_name_split(const char* name, handler_name_parts* parts);

/* get_handler_parameter - the value of one registry entry of a handler:
 * its first line without surrounding white space; null on failure. */
char* get_handler_parameter(const char* handlerName, const char* param);

/* get_handler_name - name of the first registered handler with this template
 * (as a substring of its name), type, type value (any case) and hook; null
 * when there is none or on failure. typeName is ignored for "global". */
char* get_handler_name(const char* tmpl, const char* type, const char* typeName, const char* hook);

/* mail_handler_add - register a handler and apply action (HOOK_ENABLE or
 * HOOK_DISABLE) to it; the result of that action. */
int mail_handler_add(const char* tmpl, const char* type, const char* typeName,
                     const char* executable, const char* context, const char* hook,
                     const char* priority, int action);

/* mail_handler_update - replace a handler, keeping its enabled state; a null
 * or empty executable, context or priority keeps the old one. The handler
 * gets a new name. */
int mail_handler_update(const char* tmpl, const char* type, const char* typeName,
                        const char* executable, const char* context, const char* hook,
                        const char* priority);

/* mail_handler_remove - disable a handler and delete its registry entry. */
int mail_handler_remove(const char* handlerName);

/* control_handler_queue - apply one action to one handler; newTypeName is the
 * target type value of HOOK_CLONE and HOOK_MOVE. HOOK_CHECK gives 1 or 0. */
int control_handler_queue(const char* handlerName, const char* newTypeName, int action);

/* mass_control_handler_queue - apply action to every handler with exactly
 * this template, or to every handler for "all"; -1 when any action failed. */
int mass_control_handler_queue(const char* tmpl, int action);

/* mass_control_handler_by_mailname - apply action to every handler whose type
 * value is name and, when name is a domain, whose address lies in it; for
 * those the new value is "<local part>@<newName>" (null without newName). */
int mass_control_handler_by_mailname(const char* name, const char* newName, int action);

/* string_to_file - write value and a newline into dir/name (mode 0644); an
 * empty or null value writes nothing. */
int string_to_file(const char* dir, const char* name, const char* value);

#endif
