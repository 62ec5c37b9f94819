// std_streams.cc - standard input, output and error open before anything else is.
#include "ostra/std_streams.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "ostra/eintr.h"

// std_streams_open - /dev/null for every closed standard descriptor, in order,
// so that each open takes the lowest free number: the one missing.
int std_streams_open(void)
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        int opened = ostra::retry_eintr([] { return open("/dev/null", O_RDWR); });
        if (opened != fd) {
            if (opened >= 0)
                close(opened);
            return -1;
        }
    }
    return 0;
}
