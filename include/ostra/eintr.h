// eintr.h - system calls repeated while a signal interrupts them.
#ifndef OSTRA_EINTR_H
#define OSTRA_EINTR_H

#include <errno.h>

namespace ostra {

// retry_eintr - repeat a system call while it fails with EINTR.
template <class F> auto retry_eintr(F call) -> decltype(call())
{
    decltype(call()) result;
    do {
        result = call();
    } while (result == -1 && errno == EINTR);
    return result;
}

} // namespace ostra

#endif
