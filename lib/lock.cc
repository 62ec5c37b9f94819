// lock.cc - exclusive flock locks on hashed or exact lock files.
// MD5() is deprecated in favour of EVP_Digest, which first loads OpenSSL's
// configuration and providers: millions of instructions per run for one digest.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "ostra/lock.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/md5.h>
#include <stdexcept>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ostra/errors.h"
#include "ostra/log.h"
#include "sys_util.h"

using ostra::detail::retry_eintr;
using ostra::detail::ScopedFd;

// lock_file_name - OSTRA_LOCK_DIR "/" md5-hex(path), or a copy of path.
char* lock_file_name(const char* path, int hashed)
{
    if (path == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    if (!hashed)
        return strdup(path);

    unsigned char digest[MD5_DIGEST_LENGTH];
    if (MD5(reinterpret_cast<const unsigned char*>(path), strlen(path), digest) == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    char hex[2 * MD5_DIGEST_LENGTH + 1];
    for (unsigned int i = 0; i < MD5_DIGEST_LENGTH; ++i)
        snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    char* name = nullptr;
    if (asprintf(&name, "%s/%s", OSTRA_LOCK_DIR, hex) < 0)
        return nullptr;
    return name;
}

// lock_dir_safe - whether the lock directory is a directory of the user
// running the program (root) that no one else can write: a local user who
// made it first could plant links named like lock files.
static bool lock_dir_safe(const struct stat& st)
{
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// open_lock_dir - the checked lock directory, made (mode 0755) when missing;
// -1 after a message when it cannot be opened or is not safe.
static int open_lock_dir()
{
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = retry_eintr([&] { return open(OSTRA_LOCK_DIR, flags); });
    bool made = false;
    if (fd < 0 && errno == ENOENT) {
        made = mkdir(OSTRA_LOCK_DIR, 0755) == 0;
        if (made || errno == EEXIST)
            fd = retry_eintr([&] { return open(OSTRA_LOCK_DIR, flags); });
    }
    // A link or anything but a directory in its place is refused as well.
    struct stat st;
    if (fd < 0 ? errno == ELOOP || errno == ENOTDIR : fstat(fd, &st) != 0 || !lock_dir_safe(st)) {
        if (fd >= 0)
            close(fd);
        errno = 0;
        messlog2(0, 0,
                 "Refusing lock directory \"%s\": it must be a directory owned by root and "
                 "writable by no one else.",
                 OSTRA_LOCK_DIR);
        errno = EPERM;
        return -1;
    }
    if (fd < 0 || (made && fchmod(fd, 0755) != 0)) {
        int saved = errno;
        if (fd >= 0)
            close(fd);
        errno = 0;
        messlog2(0, 0, "Unable to open lock directory \"%s\": %s.", OSTRA_LOCK_DIR,
                 strerror(saved));
        errno = saved;
        return -1;
    }
    return fd;
}

// open_lock_file - open (and create) the lock file, never through a link and
// never as descriptor 0, which would read as "already locked". A hashed lock
// file is opened inside the checked lock directory.
static int open_lock_file(const char* path, int hashed)
{
    const int dir = hashed ? open_lock_dir() : AT_FDCWD;
    if (dir == -1)
        return -1;
    ScopedFd dirOwner(dir); // AT_FDCWD is negative and stays open
    const char* name = hashed ? strrchr(path, '/') + 1 : path;
    int fd = retry_eintr([&] {
        return openat(dir, name, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    });
    if (fd < 0) {
        int saved = errno;
        messlog2(0, 0, "Unable to open file \"%s\": %s.", path, strerror(saved));
        errno = saved;
        return -1;
    }
    if (fd == 0) {
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
        int saved = errno;
        close(fd);
        errno = saved;
        fd = moved;
    }
    return fd;
}

// take_lock - the common part of the waiting, non-blocking and shared locks.
static lock_struct_t* take_lock(const char* path, int opt, bool wait, bool shared = false)
{
    lock_struct_t* lock = static_cast<lock_struct_t*>(calloc(1, sizeof(lock_struct_t)));
    if (lock == nullptr)
        return nullptr;
    lock->path = lock_file_name(path, opt);
    if (lock->path == nullptr) {
        free(lock);
        return nullptr;
    }
    lock->fd = open_lock_file(lock->path, opt);
    if (lock->fd < 0) {
        lock->fd = -1;
        return lock;
    }
    int operation = (shared ? LOCK_SH : LOCK_EX) | (wait ? 0 : LOCK_NB);
    if (retry_eintr([&] { return flock(lock->fd, operation); }) != 0) {
        int saved = errno;
        close(lock->fd);
        lock->fd = saved == EWOULDBLOCK ? 0 : -1;
        errno = saved;
    }
    return lock;
}

// mk_lock - wait for the exclusive lock.
lock_struct_t* mk_lock(const char* path, int opt)
{
    return take_lock(path, opt, true);
}

// mk_nonblock_lock - take the exclusive lock only when it is free.
lock_struct_t* mk_nonblock_lock(const char* path, int opt)
{
    return take_lock(path, opt, false);
}

// mk_shared_lock - wait for a lock shared with other shared holders.
lock_struct_t* mk_shared_lock(const char* path, int opt)
{
    return take_lock(path, opt, true, true);
}

// is_locked - a held lock has its lock file open.
int is_locked(const lock_struct_t* lock)
{
    return lock != nullptr && lock->fd > 0;
}

// rm_lock - close the lock file (releasing the lock) and free the structure.
int rm_lock(lock_struct_t* lock)
{
    if (lock == nullptr) {
        errno = EINVAL;
        return -1;
    }
    int result = 0;
    if (lock->fd > 0 && close(lock->fd) != 0) {
        int saved = errno;
        messlog2(0, 0, "An error occured during closing '%s' file: %s\n", lock->path,
                 strerror(saved));
        errno = saved;
        result = -1;
    }
    free(lock->path);
    free(lock);
    return result;
}

namespace ostra {

// MKLock::MKLock - take the lock or throw.
MKLock::MKLock(const std::string& path, FilenameFlag name, BlockFlag block, ShareFlag share)
{
    int hashed = name == HASHED_FILENAME ? 1 : 0;
    lock_ = share == SHARED     ? mk_shared_lock(path.c_str(), hashed)
            : block == NONBLOCK ? mk_nonblock_lock(path.c_str(), hashed)
                                : mk_lock(path.c_str(), hashed);
    if (lock_ == nullptr)
        throw std::bad_alloc();
    if (is_locked(lock_))
        return;
    int error = errno;
    bool busy = lock_->fd == 0;
    rm_lock(lock_);
    lock_ = nullptr;
    if (busy)
        throw std::runtime_error("lock(" + path + ") failed: file is already locked");
    throwSystemError("lock() failed", error != 0 ? error : EIO);
}

// MKLock::~MKLock - release the lock.
MKLock::~MKLock()
{
    if (lock_ != nullptr)
        rm_lock(lock_);
}

} // namespace ostra
