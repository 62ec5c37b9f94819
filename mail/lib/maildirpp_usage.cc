/* maildirpp_usage.cc - how much a Maildir++ mailbox and a directory tree hold. */
#include "mail/lib/mbox_quota.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "mail/lib/mail_path.h"
#include "mail/lib/mail_tree.h"
#include "mail/lib/quota_log.h"
#include "ostra/hsp_conf.h"
#include "ostra/idn.h"
#include "ostra/log.h"

namespace {

/* A "maildirsize" this large is not read; the folders are scanned instead. */
const size_t MAILDIRSIZE_MAX = 5120;

/* DirStream - a directory stream (and its descriptor) closed at scope exit. */
class DirStream {
public:
    explicit DirStream(int fd) : dir_(fd >= 0 ? fdopendir(fd) : nullptr)
    {
        if (dir_ == nullptr && fd >= 0)
            close(fd);
    }
    ~DirStream()
    {
        if (dir_ != nullptr)
            closedir(dir_);
    }
    DirStream(const DirStream&) = delete;
    DirStream& operator=(const DirStream&) = delete;
    DIR* get() const { return dir_; }
    int fd() const { return dirfd(dir_); }

private:
    DIR* dir_;
};

/* is_dot_or_dotdot - "." and "..". */
bool is_dot_or_dotdot(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

/* next_entry - the next entry of dir other than "." and ".."; null at the
 * end (errno 0) or after a read error (errno set). */
struct dirent* next_entry(DirStream& dir)
{
    for (;;) {
        errno = 0;
        struct dirent* de = readdir(dir.get());
        if (de == nullptr || !is_dot_or_dotdot(de->d_name))
            return de;
    }
}

/* is_subfolder - a Maildir++ folder name other than Trash. */
bool is_subfolder(const char* name)
{
    return name[0] == '.' && !is_dot_or_dotdot(name) && strcmp(name, ".Trash") != 0;
}

/* add_checked - *total += value; false on overflow. */
bool add_checked(long long* total, long long value)
{
    return !__builtin_add_overflow(*total, value, total);
}

/* scan_messages - add the messages of one "cur" or "new" directory; a
 * directory that cannot be opened (a link in its place included) adds
 * nothing. 0 on a failed listing. */
int scan_messages(int maildir_fd, const char* sub, long long* size, unsigned long long* count,
                  time_t* newest)
{
    ostra::mail::TreeFd sub_dir = ostra::mail::openDirAt(maildir_fd, sub);
    if (!sub_dir)
        return 1;
    int fd = sub_dir.get();
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_mtime > *newest)
        *newest = st.st_mtime;
    DirStream dir(sub_dir.release());
    if (dir.get() == nullptr)
        return 1;
    while (struct dirent* de = next_entry(dir)) {
        long long msg_size;
        if (!maildirpp_name_size(de->d_name, &msg_size)) {
            struct stat mst;
            if (fstatat(dir.fd(), de->d_name, &mst, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT || errno == ENOTDIR)
                    continue; /* delivered or expunged meanwhile */
                return 0;
            }
            msg_size = mst.st_size;
        }
        if (!add_checked(size, msg_size)) {
            errno = EOVERFLOW;
            return 0;
        }
        ++*count;
    }
    return errno == 0;
}

/* entry_is_dir - whether a listed entry is a directory, by the listing's own
 * type (links are not followed), asking the file system only when unknown. */
bool entry_is_dir(int dir_fd, const struct dirent* de)
{
    if (de->d_type != DT_UNKNOWN)
        return de->d_type == DT_DIR;
    struct stat st;
    return fstatat(dir_fd, de->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

/* parse_usage_line - "[blanks][sign]size blanks count" of [p, end); 0 when
 * the line has another shape or holds an untrusted value. */
int parse_usage_line(const char* p, const char* end, long long* size, unsigned long long* count)
{
    char buf[64];
    size_t len = (size_t)(end - p);
    if (len >= sizeof buf)
        return 0;
    memcpy(buf, p, len);
    buf[len] = '\0';

    const char* s = buf;
    while (*s == ' ' || *s == '\t')
        ++s;
    const char* num = s;
    if (*s == '+' || *s == '-')
        ++s;
    if (!isdigit((unsigned char)*s))
        return 0;
    while (isdigit((unsigned char)*s))
        ++s;
    if (*s != ' ' && *s != '\t')
        return 0;
    while (*s == ' ' || *s == '\t')
        ++s;
    const char* cnt = s;
    if (!isdigit((unsigned char)*s))
        return 0;
    while (isdigit((unsigned char)*s))
        ++s;
    if (*s != '\0')
        return 0;

    *size = strtoll(num, nullptr, 10);
    if (*size == LLONG_MAX || *size == LLONG_MIN)
        return 0;
    *count = strtoull(cnt, nullptr, 10);
    if (*count == 0 || *count == ULLONG_MAX)
        return 0;
    return 1;
}

/* tree_size - add the entries below an open directory, without following links. */
int tree_size(int dir_fd, int in_blocks, long long* total)
{
    DirStream dir(dir_fd);
    if (dir.get() == nullptr)
        return 0;
    while (struct dirent* de = next_entry(dir)) {
        struct stat st;
        if (fstatat(dir.fd(), de->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue; /* removed meanwhile */
            return 0;
        }
        if (!add_checked(total, in_blocks ? (long long)st.st_blocks * 512 : (long long)st.st_size))
            return 0;
        if (S_ISDIR(st.st_mode)) {
            int fd = ostra::mail::openDirAt(dir.fd(), de->d_name).release();
            if (fd < 0 || !tree_size(fd, in_blocks, total))
                return 0;
        }
    }
    return errno == 0;
}

} // namespace

/* maildirpp_name_size - the first usable ",S=<digits>" of a message name. */
int maildirpp_name_size(const char* name, long long* size)
{
    for (const char* p = strstr(name, ",S="); p != nullptr; p = strstr(p + 1, ",S=")) {
        const char* digits = p + 3;
        const char* end = digits;
        long long value = 0;
        bool overflow = false;
        for (; isdigit((unsigned char)*end); ++end) {
            if (__builtin_mul_overflow(value, 10LL, &value) ||
                __builtin_add_overflow(value, (long long)(*end - '0'), &value))
                overflow = true;
        }
        if (end == digits || (*end != '\0' && *end != ':') || overflow)
            continue;
        *size = value;
        return 1;
    }
    return 0;
}

/* maildirpp_scan - the same on the Maildir at a path. */
int maildirpp_scan(const char* maildir, long long* size, unsigned long long* count, time_t* newest)
{
    *size = 0;
    *count = 0;
    *newest = 0;
    ostra::mail::TreeFd dir = ostra::mail::openTreeDir(maildir);
    return dir ? maildirpp_scan_at(dir.get(), size, count, newest) : 0;
}

/* maildirpp_scan_at - add up "cur" and "new" of the Maildir and its folders. */
int maildirpp_scan_at(int maildir, long long* size, unsigned long long* count, time_t* newest)
{
    *size = 0;
    *count = 0;
    *newest = 0;
    if (!scan_messages(maildir, "cur", size, count, newest) ||
        !scan_messages(maildir, "new", size, count, newest))
        return 0;

    DirStream dir(openat(maildir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() == nullptr)
        return 0;
    while (struct dirent* de = next_entry(dir)) {
        if (!is_subfolder(de->d_name) || !entry_is_dir(dir.fd(), de))
            continue;
        ostra::mail::TreeFd folder = ostra::mail::openDirAt(dir.fd(), de->d_name);
        if (!folder)
            continue; /* swapped for a link or removed since it was listed */
        for (const char* sub : {"cur", "new"}) {
            if (!scan_messages(folder.get(), sub, size, count, newest))
                return 0;
        }
    }
    return errno == 0;
}

/* maildirsize_parse - sum the usage lines after the quota definition. A last
 * line without its newline may still be being written, so the file is then
 * not trusted and the folders are counted instead. */
int maildirsize_parse(const char* text, size_t len, long long* size, unsigned long long* count)
{
    if (len >= MAILDIRSIZE_MAX)
        return 0;
    const char* end = text + len;
    const char* nl = static_cast<const char*>(memchr(text, '\n', len));
    if (nl == nullptr)
        return 0;
    long long total_size = 0;
    unsigned long long total_count = 0;
    for (const char* p = nl + 1; p < end;) {
        const char* eol = static_cast<const char*>(memchr(p, '\n', (size_t)(end - p)));
        if (eol == nullptr)
            return 0;
        long long line_size;
        unsigned long long line_count;
        if (!parse_usage_line(p, eol, &line_size, &line_count))
            return 0;
        if (__builtin_add_overflow(total_size, line_size, &total_size) ||
            __builtin_add_overflow(total_count, line_count, &total_count))
            return 0;
        p = eol + 1;
    }
    *size = total_size;
    *count = total_count;
    return 1;
}

/* get_maildirpp_usage - the same on the Maildir at a path. */
int get_maildirpp_usage(const char* maildir, long long* size, unsigned long long* count)
{
    ostra::mail::TreeFd dir = ostra::mail::openTreeDir(maildir);
    return dir ? get_maildirpp_usage_at(dir.get(), size, count) : 0;
}

/* get_maildirpp_usage_at - usage from "maildirsize" when trusted, else a
 * scan. A "maildirsize" that is not a regular file (a link, a FIFO) is not
 * read at all, so it can neither leak another file nor hang the read. */
int get_maildirpp_usage_at(int maildir, long long* size, unsigned long long* count)
{
    int ok = 0;
    ostra::mail::TreeFd file = ostra::mail::openFileAt(maildir, "maildirsize", O_RDONLY);
    if (file) {
        char buf[MAILDIRSIZE_MAX];
        size_t len = 0;
        ssize_t n = 0;
        while (len < sizeof buf) {
            n = read(file.get(), buf + len, sizeof buf - len);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            len += (size_t)n;
        }
        if (n >= 0 && len < sizeof buf)
            ok = maildirsize_parse(buf, len, size, count);
    }
    if (!ok) {
        time_t newest;
        ok = maildirpp_scan_at(maildir, size, count, &newest);
    }
    return ok;
}

/* get_dir_size - the same for the path. */
long long get_dir_size(const char* path, int in_blocks)
{
    std::string name;
    ostra::mail::TreeFd dir = ostra::mail::openTreeParent(path, &name);
    return dir ? get_dir_size_at(dir.get(), name.c_str(), in_blocks) : -1;
}

/* get_dir_size_at - a tree's bytes (or allocated blocks in bytes); -1 on failure. */
long long get_dir_size_at(int dir, const char* name, int in_blocks)
{
    struct stat st;
    if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return -1;
    long long total = in_blocks ? (long long)st.st_blocks * 512 : (long long)st.st_size;
    if (!S_ISDIR(st.st_mode))
        return total;
    ostra::mail::TreeFd top = ostra::mail::openDirAt(dir, name);
    if (!top || !tree_size(top.release(), in_blocks, &total))
        return -1;
    return total;
}

/* mailbox_attachments_size - the store's tree size; nothing for no store. */
long long mailbox_attachments_size(int home)
{
    struct stat st;
    if (fstatat(home, "@attachments", &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? 0 : -1;
    if (!S_ISDIR(st.st_mode))
        return 0;
    return get_dir_size_at(home, "@attachments", 0);
}

/* get_mbox_size - attachments plus Maildir usage of one mailbox. */
long long get_mbox_size(const char* MailName, const char* DomainName, int in_blocks)
{
    if (!mail_path_component_ok(MailName)) {
        errno = 0;
        quota_report("invalid mail name '%s'", MailName);
        return -1;
    }
    char* domain = idn_toascii(DomainName);
    if (domain == nullptr) {
        errno = 0;
        messlog2(1, 0, "idn_toascii() failed: %s", idn_strerror(idn_errno));
    }
    if (!mail_path_component_ok(domain)) {
        errno = 0;
        quota_report("invalid domain name '%s'", DomainName);
        free(domain);
        return -1;
    }
    char home[4096];
    int n = snprintf(home, sizeof home, "%s/%s/%s/",
                     hspConfGetDefaultByIndex(HSP_CONF_OSTRA_MAILNAMES_D), domain, MailName);
    free(domain);
    /* Room for "@attachments" or "Maildir" below it, as the paths once were. */
    if (n < 0 || (size_t)n + sizeof "@attachments" > sizeof home) {
        errno = 0;
        messlog2(1, 0, "user mailbox path is too long");
    }

    ostra::mail::TreeFd home_dir = ostra::mail::openTreeDir(home);
    ostra::mail::TreeFd maildir;
    if (home_dir)
        maildir = ostra::mail::openDirAt(home_dir.get(), "Maildir");
    long long size = 0;
    unsigned long long count = 0;
    if (!maildir || !get_maildirpp_usage_at(maildir.get(), &size, &count)) {
        int saved = errno;
        errno = 0;
        messlog2(1, 0, "Unable to calculate Maildir++ size: %s", ostra::mail::treeStrerror(saved));
    }
    long long attached = get_dir_size_at(home_dir.get(), "@attachments", in_blocks);
    return (attached < 0 ? 0 : attached) + size;
}
