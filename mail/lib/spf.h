// spf.h - the one-value settings files of the SPF checker.
#ifndef MAIL_LIB_SPF_H
#define MAIL_LIB_SPF_H

#define SPF_BEHAVIOR_FILE "/etc/hsp-spf/spfbehavior"
#define SPF_RULES_FILE "/etc/hsp-spf/spfrules"
#define SPF_GUESS_FILE "/etc/hsp-spf/spfguess"
#define SPF_EXP_FILE "/etc/hsp-spf/spfexp"

/* update_spf - write each given value (null: leave that file alone) as the
 * whole content of its file, without a line end, in the order behavior,
 * rules, guess, exp; 0, or -1 at the first failure (logged; the files after
 * it are not touched). Never throws. */
int update_spf(const char* behavior, const char* rules, const char* guess, const char* exp);

#endif
