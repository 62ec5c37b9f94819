// sys_util.cc - system-call helpers private to the support library.
#include "sys_util.h"

#include <limits.h>
#include <sys/resource.h>

namespace ostra {

// write_all - write the whole buffer, continuing after partial writes.
int write_all(int fd, const void* data, size_t size)
{
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = detail::retry_eintr([&] { return ::write(fd, p, size); });
        if (n <= 0) {
            if (n == 0) // no progress and no error: give up rather than spin
                errno = EIO;
            return -1;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

namespace detail {

// close_from_3 - close_range, or one close per possible descriptor where the
// kernel lacks it.
void close_from_3()
{
    if (close_range(3, ~0U, 0) == 0)
        return;
    struct rlimit limit;
    long max = sysconf(_SC_OPEN_MAX);
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        max = static_cast<long>(limit.rlim_cur);
    if (max < 0 || max > INT_MAX)
        max = 65536;
    for (int fd = 3; fd < max; ++fd)
        ::close(fd);
}

} // namespace detail
} // namespace ostra
