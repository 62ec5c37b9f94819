/* attachments.h - the attachment store of a mail home, "@attachments"
 * (plain functions; 0 on success, -1 after a message through messlog2). */
#ifndef MAIL_LIB_ATTACHMENTS_H
#define MAIL_LIB_ATTACHMENTS_H

/* add_attachment - copy the uploaded file FileName into the store of
 * MailName@DomainName as AttachmentFileName (mode 0644), replacing one of
 * that name. */
int add_attachment(const char* MailName, const char* DomainName, const char* FileName,
                   const char* AttachmentFileName);

/* remove_attachment - delete one attachment; a missing one counts as deleted. */
int remove_attachment(const char* MailName, const char* DomainName, const char* AttachmentFileName);

/* list_attachments - print "<name>\t<size>\n" per attachment of one mail name
 * on standard output; fullname prints the full path, in_blocks the allocated
 * size (512-byte blocks times 512). */
int list_attachments(const char* MailName, const char* DomainName, int in_blocks, int fullname);

/* list_all_attachments - list_attachments for every mail name of the domain. */
int list_all_attachments(const char* DomainName, int in_blocks, int fullname);

#endif
