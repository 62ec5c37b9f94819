// cwd_keeper.cc - return to the working directory of construction at scope exit.
#include "mail/lib/cwd_keeper.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "mail/lib/quota_log.h"

namespace ostra {
namespace mail {

// CwdKeeper::CwdKeeper - open the current directory.
CwdKeeper::CwdKeeper() : fd_(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC))
{
}

// CwdKeeper::~CwdKeeper - change back and close, errno unchanged.
CwdKeeper::~CwdKeeper()
{
    if (fd_ < 0)
        return;
    int saved = errno;
    if (::fchdir(fd_) != 0)
        quota_report("unable to return to the previous working directory");
    ::close(fd_);
    errno = saved;
}

} // namespace mail
} // namespace ostra
