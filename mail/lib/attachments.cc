/* attachments.cc - the attachment store "@attachments" of a mail home: add a
 * file by locked copy, remove one, list names and sizes. */
#include "mail/lib/attachments.h"

#include <dirent.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "mail/lib/mail_path.h"
#include "ostra/file_util.h"
#include "ostra/hsp_conf.h"
#include "ostra/idn.h"
#include "ostra/log.h"

namespace {

const size_t PATH_SIZE = 4096;

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

/* Dir - an open directory, closed at scope exit unless closed before. */
class Dir {
public:
    explicit Dir(const char* path) : dir_(opendir(path)) {}
    ~Dir()
    {
        if (dir_ != nullptr)
            closedir(dir_);
    }
    Dir(const Dir&) = delete;
    Dir& operator=(const Dir&) = delete;
    DIR* get() const { return dir_; }
    /* close - closedir now; its result. */
    int close()
    {
        DIR* dir = dir_;
        dir_ = nullptr;
        return dir != nullptr ? closedir(dir) : 0;
    }

private:
    DIR* dir_;
};

/* walk_dir - call visit with every entry name of path ("." and ".."
 * included) until it returns non-zero; 0, or -1 after logging a directory
 * that cannot be opened, read or closed, or when visit returns -1. */
int walk_dir(const char* path, const std::function<int(const char*)>& visit)
{
    Dir dir(path);
    if (dir.get() == nullptr) {
        messlog2(0, 0, "Unable to open dir %s: %s\n", path, strerror(errno));
        return -1;
    }
    for (;;) {
        errno = 0;
        struct dirent* entry = readdir(dir.get());
        if (entry == nullptr) {
            if (errno != 0) {
                messlog2(0, 0, "Unable to read dir %s: %s\n", path, strerror(errno));
                return -1;
            }
            break;
        }
        if (visit(entry->d_name) != 0)
            return -1;
    }
    if (dir.close() != 0) {
        messlog2(0, 0, "Unable to close dir: %s\n", strerror(errno));
        return -1;
    }
    return 0;
}

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

} // namespace

/* add_attachment - copy the upload over the attachment, then fix its mode. */
int add_attachment(const char* MailName, const char* DomainName, const char* FileName,
                   const char* AttachmentFileName)
{
    AsciiDomain domain(DomainName);
    char path[PATH_SIZE];
    if (attachment_path(path, MailName, domain.get(), AttachmentFileName) != 0)
        return -1;
    if (FileName == nullptr || *FileName == '\0')
        return fail("Uploaded file name is empty");
    struct stat st;
    /* Anything but a plain file would be truncated and then fail half-way. */
    if (stat(FileName, &st) == 0 && !S_ISREG(st.st_mode))
        return fail("Uploaded file %s is not a regular file", FileName);
    /* The copy follows links: never write through one planted in the store. */
    if (lstat(path, &st) == 0 && !S_ISREG(st.st_mode))
        return fail("Attachment %s exists and is not a regular file", path);
    if (copy_file(FileName, path) != 0) {
        messlog2(0, 0, "Unable to copy the attachment file %s to %s\n", FileName, path);
        return -1;
    }
    if (chmod(path, 0644) != 0) {
        messlog2(0, 0, "Unable to change mode of the attachment file %s: %s\n", path,
                 strerror(errno));
        return -1;
    }
    return 0;
}

/* remove_attachment - unlink one attachment. */
int remove_attachment(const char* MailName, const char* DomainName, const char* AttachmentFileName)
{
    AsciiDomain domain(DomainName);
    char path[PATH_SIZE];
    if (attachment_path(path, MailName, domain.get(), AttachmentFileName) != 0)
        return -1;
    if (unlink(path) != 0 && errno != ENOENT) {
        messlog2(0, 0, "Unable to delete the attachment file %s: %s\n", path, strerror(errno));
        return -1;
    }
    return 0;
}

/* list_attachments - one line per entry of the store that is not a directory. */
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
    return walk_dir(dirPath, [&](const char* name) {
        char path[PATH_SIZE];
        if (!path_format(path, "%s/%s", dirPath, name))
            return fail("Attachment path %s/%s is too long", dirPath, name);
        struct stat st;
        if (stat(path, &st) != 0) {
            messlog2(0, 0, "stat %s failed: %s", path, strerror(errno));
            return -1;
        }
        if (S_ISDIR(st.st_mode))
            return 0;
        long long size = in_blocks ? static_cast<long long>(st.st_blocks) * 512
                                   : static_cast<long long>(st.st_size);
        printf("%s\t%lld\n", fullname ? path : name, size);
        return 0;
    });
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
    return walk_dir(rootPath, [&](const char* name) {
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
            return 0;
        char path[PATH_SIZE];
        if (!path_format(path, "%s/%s", rootPath, name)) {
            fail("Mail home path %s/%s is too long", rootPath, name);
            return 0;
        }
        struct stat st;
        if (stat(path, &st) != 0 || !S_ISDIR(st.st_mode))
            return 0;
        list_attachments(name, domain.get(), in_blocks, fullname);
        return 0;
    });
}
