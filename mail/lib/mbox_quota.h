/* mbox_quota.h - Maildir++ quota files and mailbox usage (plain functions).
 *
 * Quotas are signed 64-bit byte counts; negative means no limit. Unless said
 * otherwise the functions return 1 on success and 0 on failure, after writing
 * their message through messlog2. */
#ifndef MAIL_LIB_MBOX_QUOTA_H
#define MAIL_LIB_MBOX_QUOTA_H

#include <stddef.h>
#include <sys/types.h>
#include <time.h>

/* store_mbox_quota - quota of one mailbox, less its "@attachments" tree. */
int store_mbox_quota(const char* MailDomain, const char* MailName, long long quota);

/* rm_mbox_quota - the domain's "mbox_quota" limit (or no limit) for one mailbox. */
int rm_mbox_quota(const char* MailDomain, const char* MailName);

/* store_default_mbox_quota - quota for every mailbox of a domain without its own. */
int store_default_mbox_quota(const char* DomainName, long long quota);

/* store_domain_quota - the same as store_default_mbox_quota. */
int store_domain_quota(const char* MailDomain, long long quota);

/* store_maildirpp_quota_raw - write a quota (negative: none, 0: full) for popuser. */
int store_maildirpp_quota_raw(const char* maildir, long long quota);

/* write_maildirpp_maildirsize - replace maildir's "maildirsize" by rename. */
int write_maildirpp_maildirsize(const char* maildir, uid_t owner, gid_t group, long long sq,
                                unsigned long long cq);

/* get_mbox_size - bytes held by a mailbox and its attachments; ends the
 * program on failure. */
long long get_mbox_size(const char* MailName, const char* DomainName, int in_blocks);

/* get_maildirpp_usage - size and message count of a Maildir, from its
 * "maildirsize" when trusted, else by scanning its folders. */
int get_maildirpp_usage(const char* maildir, long long* size, unsigned long long* count);

/* get_dir_size - size of a tree without following symbolic links, in bytes or
 * (in_blocks) in allocated 512-byte blocks times 512; -1 when not examinable. */
long long get_dir_size(const char* path, int in_blocks);

/* The same on an open Maildir (or, for the size, an entry name below an
 * open directory), for callers that walked the mail tree by descriptor; shown
 * names the Maildir in messages. Below the descriptor nothing is followed:
 * a link in place of a folder counts as absent, one in place of "tmp" or
 * "maildirsize" is refused (replaced, for "maildirsize"). */
int write_maildirpp_maildirsize_at(int maildir, const char* shown, uid_t owner, gid_t group,
                                   long long sq, unsigned long long cq);
int store_maildirpp_quota_raw_at(int maildir, const char* shown, long long quota);
int get_maildirpp_usage_at(int maildir, long long* size, unsigned long long* count);
int maildirpp_scan_at(int maildir, long long* size, unsigned long long* count, time_t* newest);
long long get_dir_size_at(int dir, const char* name, int in_blocks);

/* mailbox_attachments_size - bytes of "@attachments" below an open mail
 * home; 0 when there is none (or a link is in its place), -1 with errno set
 * when it cannot be measured. */
long long mailbox_attachments_size(int home);

/* Building blocks of the above, usable on any directory. */

/* maildirpp_effective_quota - the size quota written for quota and attachment
 * size: 0 (no limit) for a negative quota, else quota - attachments but at
 * least 1. *overflow is set to 1 when the attachments exceed the quota. */
long long maildirpp_effective_quota(long long quota, long long attachments, int* overflow);

/* maildirsize_format - the two-line file body into buf; its length, or -1
 * with errno EINVAL when empty or longer than 99 characters. */
int maildirsize_format(char* buf, size_t bufsize, long long sq, unsigned long long cq,
                       long long size, unsigned long long count);

/* maildirsize_parse - totals of a "maildirsize" text; 0 when not trusted. */
int maildirsize_parse(const char* text, size_t len, long long* size, unsigned long long* count);

/* maildirpp_scan - count "cur" and "new" of a Maildir and its subfolders
 * except Trash; newest gets the latest folder modification time (0: none). */
int maildirpp_scan(const char* maildir, long long* size, unsigned long long* count, time_t* newest);

/* maildirpp_name_size - the size carried by a message name (",S=<digits>"
 * ending the name or followed by ':'); 1 when found, 0 otherwise. */
int maildirpp_name_size(const char* name, long long* size);

#endif
