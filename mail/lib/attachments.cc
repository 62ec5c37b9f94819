/* attachments.cc - the attachment store "@attachments" of a mail home: add a
 * file by locked copy, remove one, list names and sizes. The store belongs to
 * popuser, so it is reached and used only through descriptors (mail_tree.h). */
#include "mail/lib/attachments.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "mail/lib/mail_path.h"
#include "mail/lib/mail_tree.h"
#include "ostra/fd_write.h"
#include "ostra/hsp_conf.h"
#include "ostra/idn.h"
#include "ostra/lock.h"
#include "ostra/log.h"
#include "ostra/open_file.h"

using ostra::mail::TreeFd;
using ostra::mail::treeStrerror;

namespace {

const size_t PATH_SIZE = 4096;
const size_t COPY_BLOCK = 4096;

/* AsciiDomain - the ASCII form of a domain; a failed conversion ends the program. */
class AsciiDomain {
public:
    explicit AsciiDomain(const char* domain) : ascii_(idn_toascii(domain == nullptr ? "" : domain))
    {
        if (ascii_ == nullptr) {
            errno = 0;
            messlog2(1, 0, "idn_toascii() failed: %s", idn_strerror(idn_errno));
        }
    }
    ~AsciiDomain() { free(ascii_); }
    AsciiDomain(const AsciiDomain&) = delete;
    AsciiDomain& operator=(const AsciiDomain&) = delete;
    const char* get() const { return ascii_; }

private:
    char* ascii_;
};

/* fail - log a message that has no system error behind it; -1. */
int fail(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
int fail(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    char* text = vasprintf_safe(fmt, ap);
    va_end(ap);
    errno = 0;
    messlog2(0, 0, "%s", text);
    free(text);
    return -1;
}

/* path_format - bounded snprintf into a PATH_SIZE buffer; false when cut. */
bool path_format(char* buf, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
bool path_format(char* buf, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, PATH_SIZE, fmt, ap);
    va_end(ap);
    return n >= 0 && static_cast<size_t>(n) < PATH_SIZE;
}

/* check_names - the mail name and ASCII domain must each be one directory
 * below the mail root, or the path would leave it. */
int check_names(const char* mailName, const char* domain)
{
    if (!mail_path_component_ok(domain))
        return fail("Invalid domain name '%s'", domain);
    if (!mail_path_component_ok(mailName))
        return fail("Invalid mail name '%s'", mailName == nullptr ? "" : mailName);
    return 0;
}

/* tree_fail - log a failure of the mail tree walk on path, the reason err in
 * the walk's words (the message log adds the system's); -1. */
int tree_fail(const char* fmt, const char* path, int err)
{
    errno = err;
    messlog2(0, 0, fmt, path, treeStrerror(err));
    return -1;
}

/* has_control - whether name holds a control character, which would break
 * the tab- and line-separated listing the panel reads. */
bool has_control(const char* name)
{
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p != 0; ++p)
        if (*p < 0x20 || *p == 0x7f)
            return true;
    return false;
}

/* printable - name with each control character shown as '?', for messages. */
std::string printable(const char* name)
{
    std::string out(name);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return out;
}

/* attachment_path - the path of one attachment; -1 after a message when a
 * name would leave the store or the path does not fit (it is never cut). */
int attachment_path(char* path, const char* mailName, const char* domain, const char* fileName)
{
    if (check_names(mailName, domain) != 0)
        return -1;
    if (!mail_path_component_ok(fileName))
        return fail("Invalid attachment file name '%s': a single file name is expected, not empty, "
                    "\".\" or \"..\" and without \"/\"",
                    fileName == nullptr ? "" : fileName);
    if (!path_format(path, "%s/%s/%s/@attachments/%s",
                     hspConfGetDefaultByIndex(HSP_CONF_OSTRA_MAILNAMES_D), domain, mailName,
                     fileName))
        return fail("Attachment path for '%s' of %s@%s is too long", fileName, mailName, domain);
    return 0;
}

/* open_attachment_upload - the uploaded file, opened as open_upload opens
 * it; empty after logging. */
TreeFd open_attachment_upload(const char* file)
{
    TreeFd in(open_upload(file));
    if (!in)
        messlog2(0, 0, "Unable to open file %s: %s", file, open_regular_file_error(errno));
    return in;
}

/* copy_upload - the upload's content over the attachment's, through both
 * descriptors; 0, or -1 after logging. An attachment that is the upload
 * itself is left as it is. */
int copy_upload(int in, const char* src, int out, const char* dst)
{
    struct stat from;
    struct stat to;
    if (fstat(in, &from) != 0 || fstat(out, &to) != 0) {
        messlog2(0, 0, "Unable to get info for file '%s': %s", src, strerror(errno));
        return -1;
    }
    if (from.st_dev == to.st_dev && from.st_ino == to.st_ino)
        return 0;
    if (ftruncate(out, 0) != 0) {
        messlog2(0, 0, "Unable to copy file %s to %s: %s\n", src, dst, strerror(errno));
        return -1;
    }
    char block[COPY_BLOCK];
    for (;;) {
        ssize_t n = read(in, block, sizeof block);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            return 0;
        if (n < 0) {
            messlog2(0, 0, "Error while copying file %s to %s: %s", src, dst, strerror(errno));
            return -1;
        }
        if (ostra::write_all(out, block, static_cast<size_t>(n)) != 0) {
            messlog2(0, 0, "Unable to copy file %s to %s: %s\n", src, dst, strerror(errno));
            return -1;
        }
    }
}

/* store_attachment - copy the open upload into the store under the
 * attachment's lock and give it mode 0644; 0, or -1 after logging. */
int store_attachment(int in, const char* src, const char* path)
{
    std::string name;
    TreeFd store = ostra::mail::openTreeParent(path, &name);
    if (!store)
        return tree_fail("Unable to open dir %s: %s\n",
                         std::string(path, strrchr(path, '/') - path).c_str(), errno);
    /* The hashed lock every copy onto the path takes. */
    ostra::ScopedLock lock(mk_lock(path, 1));
    if (!lock.held()) {
        messlog2(0, 0, "Error occurred while locking the file %s\n", path);
        return -1;
    }
    struct stat st;
    if (fstat(in, &st) != 0) {
        messlog2(0, 0, "Unable to get info for file '%s': %s", src, strerror(errno));
        return -1;
    }
    TreeFd out = ostra::mail::openFileAt(store.get(), name, O_WRONLY | O_CREAT, st.st_mode & 07777);
    if (!out)
        return tree_fail("Unable to open file %s: %s", path, errno);
    if (copy_upload(in, src, out.get(), path) != 0)
        return -1;
    if (fchmod(out.get(), 0644) != 0) {
        messlog2(0, 0, "Unable to change mode of the attachment file %s: %s\n", path,
                 strerror(errno));
        return -1;
    }
    if (out.close() != 0) {
        messlog2(0, 0, "Unable to close file %s: %s\n", path, strerror(errno));
        return -1;
    }
    return 0;
}

} // namespace

/* add_attachment - copy the upload over the attachment, then fix its mode. */
int add_attachment(const char* MailName, const char* DomainName, const char* FileName,
                   const char* AttachmentFileName)
{
    AsciiDomain domain(DomainName);
    char path[PATH_SIZE];
    if (attachment_path(path, MailName, domain.get(), AttachmentFileName) != 0)
        return -1;
    if (has_control(AttachmentFileName))
        return fail("Invalid attachment file name '%s': control characters are not allowed",
                    printable(AttachmentFileName).c_str());
    if (FileName == nullptr || *FileName == '\0')
        return fail("Uploaded file name is empty");
    TreeFd in = open_attachment_upload(FileName);
    if (!in || store_attachment(in.get(), FileName, path) != 0) {
        messlog2(0, 0, "Unable to copy the attachment file %s to %s\n", FileName, path);
        return -1;
    }
    return 0;
}

/* remove_attachment - unlink one attachment (a link in the store goes itself). */
int remove_attachment(const char* MailName, const char* DomainName, const char* AttachmentFileName)
{
    AsciiDomain domain(DomainName);
    char path[PATH_SIZE];
    if (attachment_path(path, MailName, domain.get(), AttachmentFileName) != 0)
        return -1;
    std::string name;
    TreeFd store = ostra::mail::openTreeParent(path, &name);
    if (!store)
        return errno == ENOENT
                   ? 0
                   : tree_fail("Unable to delete the attachment file %s: %s\n", path, errno);
    if (unlinkat(store.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
        messlog2(0, 0, "Unable to delete the attachment file %s: %s\n", path, strerror(errno));
        return -1;
    }
    return 0;
}

/* list_attachments - one line per file of the store. Directories are not
 * attachments; neither is a link, whatever it points to, nor a name that
 * would break the listing. */
int list_attachments(const char* MailName, const char* DomainName, int in_blocks, int fullname)
{
    AsciiDomain domain(DomainName);
    if (MailName == nullptr || *MailName == '\0') {
        errno = 0;
        messlog2(1, 0, "MailName empty for domain '%s'", domain.get());
    }
    if (check_names(MailName, domain.get()) != 0)
        return -1;
    char dirPath[PATH_SIZE];
    if (!path_format(dirPath, "%s/%s/%s/@attachments",
                     hspConfGetDefaultByIndex(HSP_CONF_OSTRA_MAILNAMES_D), domain.get(), MailName))
        return fail("Attachment store path of %s@%s is too long", MailName, domain.get());
    TreeFd store = ostra::mail::openTreeDir(dirPath);
    std::vector<std::string> names;
    if (!store || ostra::mail::listDirAt(store.get(), &names) != 0)
        return tree_fail("Unable to open dir %s: %s\n", dirPath, errno);
    for (const std::string& name : names) {
        char path[PATH_SIZE];
        if (!path_format(path, "%s/%s", dirPath, name.c_str()))
            return fail("Attachment path %s/%s is too long", dirPath, name.c_str());
        struct stat st;
        if (fstatat(store.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            messlog2(0, 0, "stat %s failed: %s", path, strerror(errno));
            return -1;
        }
        if (S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode) || has_control(name.c_str()))
            continue;
        long long size = in_blocks ? static_cast<long long>(st.st_blocks) * 512
                                   : static_cast<long long>(st.st_size);
        printf("%s\t%lld\n", fullname ? path : name.c_str(), size);
    }
    return 0;
}

/* list_all_attachments - every directory of the domain root is a mail home;
 * a mail home that cannot be listed is reported and skipped. */
int list_all_attachments(const char* DomainName, int in_blocks, int fullname)
{
    AsciiDomain domain(DomainName);
    if (!mail_path_component_ok(domain.get()))
        return fail("Invalid domain name '%s'", domain.get());
    char rootPath[PATH_SIZE];
    if (!path_format(rootPath, "%s/%s", hspConfGetDefaultByIndex(HSP_CONF_OSTRA_MAILNAMES_D),
                     domain.get()))
        return fail("Domain path of %s is too long", domain.get());
    TreeFd root = ostra::mail::openTreeDir(rootPath);
    std::vector<std::string> names;
    if (!root || ostra::mail::listDirAt(root.get(), &names) != 0)
        return tree_fail("Unable to open dir %s: %s\n", rootPath, errno);
    for (const std::string& name : names) {
        struct stat st;
        if (fstatat(root.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
            list_attachments(name.c_str(), domain.get(), in_blocks, fullname);
    }
    return 0;
}
