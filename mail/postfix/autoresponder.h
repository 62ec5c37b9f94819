/* autoresponder.h - the autoresponder switch: the built-in "autoresponder"
 * recipient handler of the handler registry (plain function). */
#ifndef MAIL_POSTFIX_AUTORESPONDER_H
#define MAIL_POSTFIX_AUTORESPONDER_H

/* The program the autoresponder handler runs. */
#define AUTORESPONDER_EXECUTABLE "/usr/local/hsp/handlers/hooks/autoresponder"

/* autoresponder_action - for every address made of one of the mail names and
 * one of the domains (both lists separated by commas and blanks), add the
 * autoresponder handler (HOOK_ENABLE) or delete it (HOOK_DISABLE). 0, or -1
 * when anything failed; the other addresses are still done. */
int autoresponder_action(const char* mailname, const char* maildomain, int action);

#endif
