// sys_util.h - system-call helpers private to the support library.
#ifndef OSTRA_LIB_SYS_UTIL_H
#define OSTRA_LIB_SYS_UTIL_H

#include <errno.h>
#include <stddef.h>
#include <unistd.h>

#include "ostra/eintr.h"
#include "ostra/fd_write.h"
#include "ostra/lock.h"
#include "ostra/scoped_fd.h"

namespace ostra {
namespace detail {

using ostra::retry_eintr;
using ostra::ScopedFd;
using ostra::write_all;

// close_from_3 - close every descriptor above standard error (in a child
// before exec).
void close_from_3();

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

} // namespace detail
} // namespace ostra

#endif
