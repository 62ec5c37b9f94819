// fd_write.h - whole-buffer writes to a descriptor.
#ifndef OSTRA_FD_WRITE_H
#define OSTRA_FD_WRITE_H

#include <stddef.h>

namespace ostra {

// write_all - write the whole buffer, retrying after EINTR and short writes;
//             0, or -1 with errno set.
int write_all(int fd, const void* data, size_t size);

} // namespace ostra

#endif
