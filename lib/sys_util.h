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
using ostra::ScopedLock;
using ostra::write_all;

// close_from_3 - close every descriptor above standard error (in a child
// before exec).
void close_from_3();

} // namespace detail
} // namespace ostra

#endif
