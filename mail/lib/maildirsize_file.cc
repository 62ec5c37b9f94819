/* maildirsize_file.cc - the Maildir++ quota file "maildirsize", replaced by rename. */
#include "mail/lib/mbox_quota.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "mail/lib/mail_tree.h"
#include "mail/lib/quota_log.h"
#include "ostra/eintr.h"
#include "ostra/fd_write.h"

namespace {

const int CREATE_ATTEMPTS = 5;
const unsigned int ATTEMPT_PAUSE = 2; /* seconds */
/* How far "maildirsize" is back-dated when the folders changed under us, so
 * that the delivery agent recounts. */
const time_t STALE_BACKDATE = 960;

/* pause_seconds - sleep the whole time, also when a signal interrupts. */
void pause_seconds(unsigned int seconds)
{
    struct timespec left = {(time_t)seconds, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

/* TmpQuotaFile - the uniquely named temporary quota file in the Maildir's
 * "tmp", made through its descriptor; unless committed, it is closed and
 * deleted at scope exit (errno kept). */
class TmpQuotaFile {
public:
    TmpQuotaFile() = default;
    ~TmpQuotaFile() { discard(); }
    TmpQuotaFile(const TmpQuotaFile&) = delete;
    TmpQuotaFile& operator=(const TmpQuotaFile&) = delete;

    /* create - one attempt: a new file in tmp, verified to be the one just made. */
    bool create(int tmp, const char* name)
    {
        struct stat st;
        if (fstatat(tmp, name, &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT)
            return false;
        int fd = ostra::retry_eintr([&] {
            return openat(tmp, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        });
        if (fd < 0)
            return false;
        fd_ = fd;
        tmp_ = tmp;
        snprintf(name_, sizeof name_, "%s", name);
        struct stat by_fd;
        struct stat by_name;
        if (fstat(fd_, &by_fd) != 0 || fstatat(tmp_, name_, &by_name, AT_SYMLINK_NOFOLLOW) != 0 ||
            by_fd.st_dev != by_name.st_dev || by_fd.st_ino != by_name.st_ino) {
            /* Someone else's file now holds the name: close ours, delete nothing. */
            int saved = errno;
            close(fd_);
            fd_ = -1;
            name_[0] = '\0';
            errno = saved;
            return false;
        }
        if (ftruncate(fd_, 0) != 0) {
            discard();
            return false;
        }
        return true;
    }

    int fd() const { return fd_; }
    const char* name() const { return name_; }

    /* close_synced - flush to disk and close; false on failure (the file stays to be discarded). */
    bool close_synced()
    {
        int rc = fsync(fd_);
        int saved = errno;
        if (close(fd_) != 0 && rc == 0) {
            rc = -1;
            saved = errno;
        }
        fd_ = -1;
        errno = saved;
        return rc == 0;
    }

    /* commit - rename it to "maildirsize" in maildir; false with errno set. */
    bool commit(int maildir)
    {
        if (renameat(tmp_, name_, maildir, "maildirsize") != 0)
            return false;
        name_[0] = '\0';
        return true;
    }

    void discard()
    {
        int saved = errno;
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
        if (name_[0] != '\0')
            unlinkat(tmp_, name_, 0);
        name_[0] = '\0';
        errno = saved;
    }

private:
    int fd_ = -1;
    int tmp_ = -1;
    char name_[PATH_MAX] = "";
};

/* create_tmp_file - up to five attempts at a unique "tmp/...-maildirsize".
 * A link in place of "tmp" is refused at once. */
bool create_tmp_file(TmpQuotaFile& tmp, int maildir, const char* shown, const char* host,
                     ostra::mail::TreeFd* tmp_dir)
{
    for (int attempt = 0; attempt < CREATE_ATTEMPTS; ++attempt) {
        char name[PATH_MAX];
        int n = snprintf(name, sizeof name, "%lu.%u.%s-maildirsize", (unsigned long)time(nullptr),
                         (unsigned int)getpid(), host);
        if (n < 0 || n >= (int)sizeof name - 4) {
            errno = ENAMETOOLONG;
            quota_report("host name is too long to be used in filename");
            return false;
        }
        *tmp_dir = ostra::mail::openDirAt(maildir, "tmp");
        if (!*tmp_dir && errno == ELOOP) {
            quota_open_report((std::string(shown) + "/tmp").c_str(), errno);
            return false;
        }
        if (*tmp_dir && tmp.create(tmp_dir->get(), name))
            return true;
        pause_seconds(ATTEMPT_PAUSE);
    }
    errno = EAGAIN;
    quota_report("Maximal allowed number of attempts to create a maildirsize file exceeded");
    return false;
}

/* folder_time - modification time of the directory sub below dir into
 * *newest; false when it cannot be examined (reported). */
bool folder_time(int dir, const char* sub, time_t* newest)
{
    struct stat st;
    if (fstatat(dir, sub, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) {
        errno = EIO;
        quota_report("Maildir subfolder '%s' stat failed", sub);
        return false;
    }
    if (st.st_mtime > *newest)
        *newest = st.st_mtime;
    return true;
}

/* newest_folder_time - latest change of the counted folders, taken again;
 * false when the Maildir itself could not be examined. */
bool newest_folder_time(int maildir, const char* shown, time_t* newest)
{
    *newest = 0;
    if (!folder_time(maildir, "cur", newest) || !folder_time(maildir, "new", newest))
        return false;
    std::vector<std::string> names;
    if (ostra::mail::listDirAt(maildir, &names) != 0) {
        quota_report("Unable to open Maildir folder. Has it just been removed?");
        return false;
    }
    for (const std::string& name : names) {
        if (name[0] != '.' || name == ".Trash")
            continue;
        struct stat st;
        if (fstatat(maildir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        ostra::mail::TreeFd folder;
        if (S_ISDIR(st.st_mode))
            folder = ostra::mail::openDirAt(maildir, name);
        if (!folder) {
            errno = 0;
            quota_report("Bad/unrecognized entry %s within Maildir folder %s\n", name.c_str(),
                         shown);
            continue;
        }
        folder_time(folder.get(), "cur", newest);
        folder_time(folder.get(), "new", newest);
    }
    return true;
}

/* backdate_if_stale - when the folders changed after they were counted, make
 * "maildirsize" look old so that it is recounted at the next delivery. */
void backdate_if_stale(int maildir, const char* shown, time_t counted)
{
    time_t newest;
    if (newest_folder_time(maildir, shown, &newest) && newest <= counted)
        return;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_NOW;
    times[1].tv_sec = counted - STALE_BACKDATE;
    times[1].tv_nsec = 0;
    utimensat(maildir, "maildirsize", times, AT_SYMLINK_NOFOLLOW);
}

} // namespace

/* maildirpp_effective_quota - the size quota written for a mailbox. */
long long maildirpp_effective_quota(long long quota, long long attachments, int* overflow)
{
    if (overflow != nullptr)
        *overflow = 0;
    if (quota < 0)
        return 0;
    if (attachments < 0)
        attachments = 0;
    if (attachments > quota) {
        if (overflow != nullptr)
            *overflow = 1;
        return 1;
    }
    /* A written 0 would mean no limit; 1 byte is a full mailbox. */
    return quota - attachments > 0 ? quota - attachments : 1;
}

/* maildirsize_format - the quota definition line and the usage line. */
int maildirsize_format(char* buf, size_t bufsize, long long sq, unsigned long long cq,
                       long long size, unsigned long long count)
{
    int n = snprintf(buf, bufsize, "%lldS,%lluC\n%12lld%12llu\n", sq, cq, size, count);
    if (n <= 0 || n > 99 || (size_t)n >= bufsize) {
        errno = EINVAL;
        return -1;
    }
    return n;
}

/* write_maildirpp_maildirsize - the same on the Maildir at a path. */
int write_maildirpp_maildirsize(const char* maildir, uid_t owner, gid_t group, long long sq,
                                unsigned long long cq)
{
    ostra::mail::TreeFd dir = ostra::mail::openTreeDir(maildir);
    return dir ? write_maildirpp_maildirsize_at(dir.get(), maildir, owner, group, sq, cq) : 0;
}

/* write_maildirpp_maildirsize_at - count the Maildir and replace its quota
 * file, all relative to the open Maildir. */
int write_maildirpp_maildirsize_at(int maildir, const char* shown, uid_t owner, gid_t group,
                                   long long sq, unsigned long long cq)
{
    char host[65];
    if (gethostname(host, sizeof host) != 0) {
        quota_report("Unable to receive hostname");
        return 0;
    }
    host[sizeof host - 1] = '\0';

    ostra::mail::TreeFd tmp_dir; /* outlives the file made in it */
    TmpQuotaFile tmp;
    if (!create_tmp_file(tmp, maildir, shown, host, &tmp_dir))
        return 0;
    if (fchown(tmp.fd(), owner, group) != 0) {
        quota_report("unable to change owner of %s/tmp/%s", shown, tmp.name());
        return 0;
    }

    long long size;
    unsigned long long count;
    time_t counted;
    if (!maildirpp_scan_at(maildir, &size, &count, &counted)) {
        quota_report("Unable to count messages of Maildir %s", shown);
        return 0;
    }
    char text[128];
    int len = maildirsize_format(text, sizeof text, sq, cq, size, count);
    if (len < 0) {
        quota_report("unable to format maildirsize contents");
        return 0;
    }
    /* A new regular file opened blocking: a write never fails with EAGAIN. */
    if (ostra::write_all(tmp.fd(), text, (size_t)len) != 0) {
        quota_report("unable to write data to file");
        return 0;
    }
    if (!tmp.close_synced()) {
        quota_report("unable to commit written data to file");
        return 0;
    }
    if (!tmp.commit(maildir)) {
        quota_report("unable to rename %s/tmp/%s to maildirsize", shown, tmp.name());
        return 0;
    }
    backdate_if_stale(maildir, shown, counted);
    return 1;
}

/* store_maildirpp_quota_raw - the same on the Maildir at a path. */
int store_maildirpp_quota_raw(const char* maildir, long long quota)
{
    ostra::mail::TreeFd dir = ostra::mail::openTreeDir(maildir);
    return dir ? store_maildirpp_quota_raw_at(dir.get(), maildir, quota) : 0;
}

/* store_maildirpp_quota_raw_at - write quota (negative: none, 0: full) for popuser. */
int store_maildirpp_quota_raw_at(int maildir, const char* shown, long long quota)
{
    errno = 0;
    struct passwd* pw = getpwnam("popuser");
    if (pw == nullptr) {
        quota_report("user %s not found", "popuser");
        return 0;
    }
    long long value = quota < 0 ? 0 : (quota == 0 ? 1 : quota);
    return write_maildirpp_maildirsize_at(maildir, shown, pw->pw_uid, pw->pw_gid, value, 0);
}
