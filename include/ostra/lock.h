// lock.h - exclusive advisory locks on lock files, plain and as objects.
#ifndef OSTRA_LOCK_H
#define OSTRA_LOCK_H

#include <errno.h>

#include <string>

// The directory of hashed lock files: made (root, 0755) when missing, and
// refused unless root owns it and no one else can write it.
#define OSTRA_LOCK_DIR "/var/lock/files"

// lock_struct_t - a lock: fd > 0 held, 0 already locked (non-blocking), -1 failed.
typedef struct lock_struct {
    int fd;
    char* path; // the lock file, owned
} lock_struct_t;

// lock_file_name - newly allocated lock file path for path: the hashed name
// under OSTRA_LOCK_DIR when hashed is non-zero, else path itself. Null when
// memory ran out.
char* lock_file_name(const char* path, int hashed);

// mk_lock - wait for the lock on path (opt non-zero: hashed lock file). The
// lock file is never opened through a symbolic link. Null only when memory
// ran out; check is_locked().
lock_struct_t* mk_lock(const char* path, int opt);

// mk_nonblock_lock - as mk_lock, but fails at once (fd 0) when already locked.
lock_struct_t* mk_nonblock_lock(const char* path, int opt);

// mk_shared_lock - as mk_lock, but a lock that other shared holders may hold
// at the same time; it waits only for an exclusive holder.
lock_struct_t* mk_shared_lock(const char* path, int opt);

// is_locked - non-zero when lock is held.
int is_locked(const lock_struct_t* lock);

// rm_lock - release the lock and free the structure; 0 or -1.
int rm_lock(lock_struct_t* lock);

namespace ostra {

// MKLock - a lock held for the object's lifetime, exclusive unless shared.
class MKLock {
public:
    enum FilenameFlag { HASHED_FILENAME = 0, EXACT_FILENAME = 1 };
    enum BlockFlag { BLOCK = 0, NONBLOCK = 1 };
    enum ShareFlag { EXCLUSIVE = 0, SHARED = 1 };

    // Throws SystemError ("lock() failed"), or std::runtime_error when the
    // non-blocking form finds the file already locked. A shared lock waits.
    explicit MKLock(const std::string& path, FilenameFlag name = HASHED_FILENAME,
                    BlockFlag block = BLOCK, ShareFlag share = EXCLUSIVE);
    ~MKLock();
    MKLock(const MKLock&) = delete;
    MKLock& operator=(const MKLock&) = delete;

private:
    lock_struct_t* lock_;
};

// ScopedLock - a lock_struct_t released at scope exit unless released earlier.
class ScopedLock {
public:
    explicit ScopedLock(lock_struct_t* lock) : lock_(lock) {}
    ~ScopedLock()
    {
        if (lock_ != nullptr) {
            int saved = errno;
            rm_lock(lock_);
            errno = saved;
        }
    }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

    bool held() const { return is_locked(lock_) != 0; }
    // release - rm_lock now; its result.
    int release()
    {
        lock_struct_t* lock = lock_;
        lock_ = nullptr;
        return lock != nullptr ? rm_lock(lock) : 0;
    }

private:
    lock_struct_t* lock_;
};

} // namespace ostra

#endif
