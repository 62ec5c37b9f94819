// copy_file.cc - a copy under the target's lock, and an atomic copy by rename.
#include "ostra/file_util.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ostra/lock.h"
#include "ostra/log.h"
#include "sys_util.h"

using ostra::detail::retry_eintr;
using ostra::detail::ScopedFd;
using ostra::detail::ScopedLock;
using ostra::detail::write_all;

static const size_t COPY_BLOCK = 4096;

// copy_locked - the copy itself, with dst's lock held; 0 or 1.
static int copy_locked(const char* src, const char* dst)
{
    ScopedFd in(retry_eintr([&] { return open(src, O_RDONLY | O_CLOEXEC); }));
    if (in.get() < 0) {
        messlog2(0, 0, "Unable to open file %s: %s", src, strerror(errno));
        return 1;
    }
    struct stat st;
    if (fstat(in.get(), &st) != 0) {
        messlog2(0, 0, "Unable to get info for file '%s': %s", src, strerror(errno));
        return 1;
    }
    bool to_stdout = strcmp(dst, "-") == 0;
    // The same file under another name (a link, "./f"): truncating dst
    // would empty src, and there is nothing to copy.
    struct stat target;
    if (!to_stdout && stat(dst, &target) == 0 && target.st_dev == st.st_dev &&
        target.st_ino == st.st_ino)
        return 0;
    ScopedFd out(to_stdout ? -1 : retry_eintr([&] {
        return open(dst, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 07777);
    }));
    int out_fd = to_stdout ? STDOUT_FILENO : out.get();
    if (out_fd < 0) {
        messlog2(0, 0, "Unable to open file %s: %s", dst, strerror(errno));
        return 1;
    }
    if (to_stdout)
        fflush(stdout);

    char block[COPY_BLOCK];
    for (;;) {
        ssize_t n = retry_eintr([&] { return read(in.get(), block, sizeof block); });
        if (n == 0)
            break;
        if (n < 0) {
            messlog2(0, 0, "Error while copying file %s to %s: %s", src, dst, strerror(errno));
            return 1;
        }
        if (write_all(out_fd, block, static_cast<size_t>(n)) != 0) {
            messlog2(0, 0, "Unable to copy file %s to %s: %s\n", src, dst, strerror(errno));
            return 1;
        }
    }
    if (out.close() != 0) {
        messlog2(0, 0, "Unable to close file %s: %s\n", dst, strerror(errno));
        return 1;
    }
    if (in.close() != 0) {
        messlog2(0, 0, "Unable to close file %s: %s\n", src, strerror(errno));
        return 1;
    }
    return 0;
}

// copy_file - copy src over dst's content ("-": standard output) under dst's lock.
int copy_file(const char* src, const char* dst)
{
    if (src == nullptr || dst == nullptr)
        return 1;
    if (strcmp(src, dst) == 0)
        return 0;
    ScopedLock lock(mk_lock(dst, 1));
    if (!lock.held()) {
        messlog2(0, 0, "Error occurred while locking the file %s\n", dst);
        return 1;
    }
    if (copy_locked(src, dst) != 0)
        return 1;
    if (lock.release() != 0)
        messlog2(0, 0, "Error occurred while unlocking the file %s\n", dst);
    return 0;
}

// atomic_fail - remove the temporary file, then end the program with the message.
[[noreturn]] static void atomic_fail(const char* what, const char* src, const char* dst,
                                     const char* tmp)
{
    int saved = errno;
    if (tmp != nullptr)
        unlink(tmp);
    errno = saved;
    messlog2(1, 0, "copy_file_atomic(%s -> %s): %s", src, dst, what);
    exit(1);
}

// copy_file_atomic - open src, then copy it as copy_fd_atomic does.
void copy_file_atomic(const char* src, const char* dst, uid_t owner, gid_t group, mode_t mode)
{
    if (src == nullptr || dst == nullptr) {
        errno = EINVAL;
        atomic_fail("open failed", src ? src : "(null)", dst ? dst : "(null)", nullptr);
    }
    ScopedFd in(retry_eintr([&] { return open(src, O_RDONLY | O_CLOEXEC); }));
    if (in.get() < 0)
        atomic_fail("open failed", src, dst, nullptr);
    copy_fd_atomic(in.get(), src, dst, owner, group, mode);
}

// copy_fd_atomic - copy into dst.XXXXXX, set owner and mode, rename over dst.
void copy_fd_atomic(int in, const char* src, const char* dst, uid_t owner, gid_t group, mode_t mode)
{
    if (src == nullptr || dst == nullptr) {
        errno = EINVAL;
        atomic_fail("open failed", src ? src : "(null)", dst ? dst : "(null)", nullptr);
    }
    char* tmp = nullptr;
    if (asprintf(&tmp, "%s.XXXXXX", dst) < 0)
        messlog2(1, 0, "Allocation failed");
    ScopedFd out(mkostemp(tmp, O_CLOEXEC));
    if (out.get() < 0)
        atomic_fail("mkstemp failed", src, dst, nullptr);

    char block[COPY_BLOCK];
    for (off_t offset = 0;;) {
        ssize_t n = retry_eintr([&] { return pread(in, block, sizeof block, offset); });
        if (n == 0)
            break;
        if (n < 0)
            atomic_fail("read failed", src, dst, tmp);
        if (write_all(out.get(), block, static_cast<size_t>(n)) != 0)
            atomic_fail("write failed", src, dst, tmp);
        offset += n;
    }
    if (fchown(out.get(), owner, group) != 0)
        atomic_fail("chown failed", src, dst, tmp);
    if (fchmod(out.get(), mode) != 0)
        atomic_fail("chmod failed", src, dst, tmp);
    if (out.close() != 0)
        atomic_fail("flush failed", src, dst, tmp);
    if (rename(tmp, dst) != 0)
        atomic_fail("rename failed", src, dst, tmp);
    free(tmp);
}
