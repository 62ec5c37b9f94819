// sys_util.cc - system-call helpers private to the support library.
#include "sys_util.h"

namespace ostra {
namespace detail {

// write_all - write the whole buffer, continuing after partial writes.
int write_all(int fd, const void* data, size_t size)
{
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = retry_eintr([&] { return ::write(fd, p, size); });
        if (n < 0)
            return -1;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

} // namespace detail
} // namespace ostra
