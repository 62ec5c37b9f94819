// mail_tree.cc - walking the mail tree through directory descriptors.
#include "mail/lib/mail_tree.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ostra/eintr.h"
#include "ostra/hsp_conf.h"

namespace ostra {
namespace mail {

namespace {

const int DIR_FLAGS = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// Removal attempts on one name while popuser keeps swapping it.
const int REMOVE_ATTEMPTS = 3;

// openRetry - openat(2), retried after EINTR.
int openRetry(int dir, const char* name, int flags, mode_t mode = 0)
{
    return retry_eintr([&] { return ::openat(dir, name, flags, mode); });
}

// plainName - one component that stays where it is: not empty, ".", "..",
// and without "/", which would let openat() follow links in between.
bool plainName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

// mailRoot - the configured mail root without trailing slashes ("/" stays).
std::string mailRoot()
{
    const char* configured = hspConfGetDefaultByIndex(HSP_CONF_OSTRA_MAILNAMES_D);
    std::string root = configured != nullptr ? configured : "";
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return root;
}

// belowRoot - whether path is root or inside it; rest gets the part below.
bool belowRoot(const std::string& path, const std::string& root, std::string* rest)
{
    if (root.empty() || path.compare(0, root.size(), root) != 0)
        return false;
    if (path.size() == root.size()) {
        rest->clear();
        return true;
    }
    if (root != "/" && path[root.size()] != '/')
        return false;
    *rest = path.substr(root == "/" ? 1 : root.size() + 1);
    return true;
}

// regularFile - whether st is a regular file with one link; errno says why not.
bool regularFile(const struct stat& st)
{
    if (S_ISLNK(st.st_mode))
        errno = ELOOP;
    else if (S_ISDIR(st.st_mode))
        errno = EISDIR;
    else if (!S_ISREG(st.st_mode))
        errno = EINVAL;
    else if (st.st_nlink > 1)
        errno = EMLINK;
    else
        return true;
    return false;
}

} // namespace

// TreeFd::operator= - take over other's descriptor.
TreeFd& TreeFd::operator=(TreeFd&& other) noexcept
{
    if (this != &other) {
        reset(other.fd_);
        other.fd_ = -1;
    }
    return *this;
}

// TreeFd::reset - close the held descriptor, keeping errno.
void TreeFd::reset(int fd)
{
    if (fd_ >= 0) {
        int saved = errno;
        ::close(fd_);
        errno = saved;
    }
    fd_ = fd;
}

// TreeFd::close - close now and report the result.
int TreeFd::close()
{
    int fd = fd_;
    fd_ = -1;
    return fd >= 0 ? ::close(fd) : 0;
}

// openTreeDir - trusted down to the mail root, one checked step below it.
TreeFd openTreeDir(const std::string& path)
{
    const std::string root = mailRoot();
    std::string rest;
    if (!belowRoot(path, root, &rest))
        return TreeFd(openRetry(AT_FDCWD, path.c_str(), DIR_FLAGS));
    TreeFd dir(openRetry(AT_FDCWD, root.c_str(), DIR_FLAGS));
    if (!dir || rest.empty())
        return dir;
    return openPathAt(dir.get(), rest);
}

// openTreeParent - split off the last component and open what holds it.
TreeFd openTreeParent(const std::string& path, std::string* name)
{
    const size_t slash = path.find_last_of('/');
    *name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (!plainName(*name)) {
        errno = EPERM;
        return TreeFd();
    }
    if (slash == std::string::npos)
        return TreeFd(openRetry(AT_FDCWD, ".", DIR_FLAGS));
    return openTreeDir(slash == 0 ? "/" : path.substr(0, slash));
}

// openDirAt - O_NOFOLLOW|O_DIRECTORY, telling a link from other non-directories.
TreeFd openDirAt(int dir, const std::string& name)
{
    if (!plainName(name)) {
        errno = EPERM;
        return TreeFd();
    }
    int fd = openRetry(dir, name.c_str(), DIR_FLAGS | O_NOFOLLOW);
    if (fd < 0 && (errno == ENOTDIR || errno == ELOOP)) {
        struct stat st;
        bool link =
            ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
        errno = link ? ELOOP : ENOTDIR;
    }
    return TreeFd(fd);
}

// openPathAt - openDirAt for each component in turn.
TreeFd openPathAt(int dir, const std::string& relative)
{
    TreeFd current(::fcntl(dir, F_DUPFD_CLOEXEC, 0));
    for (size_t at = 0; current && at < relative.size();) {
        size_t end = relative.find('/', at);
        if (end == std::string::npos)
            end = relative.size();
        if (end > at)
            current = openDirAt(current.get(), relative.substr(at, end - at));
        at = end + 1;
    }
    return current;
}

// openFileAt - checked before the open (so that nothing else is ever
// opened) and again on the descriptor (in case it was swapped meanwhile).
TreeFd openFileAt(int dir, const std::string& name, int flags, mode_t mode)
{
    if (!plainName(name)) {
        errno = EPERM;
        return TreeFd();
    }
    if (flags & O_TRUNC) {
        errno = EINVAL;
        return TreeFd();
    }
    struct stat st;
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!regularFile(st))
            return TreeFd();
    } else if (errno != ENOENT || !(flags & O_CREAT)) {
        return TreeFd();
    }
    TreeFd file(openRetry(dir, name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode));
    if (file && (::fstat(file.get(), &st) != 0 || !regularFile(st)))
        file.reset();
    return file;
}

// makeDirAt - mkdirat(2) that accepts an existing name.
int makeDirAt(int dir, const std::string& name, mode_t mode)
{
    if (!plainName(name)) {
        errno = EPERM;
        return -1;
    }
    if (::mkdirat(dir, name.c_str(), mode) == 0)
        return 1;
    return errno == EEXIST ? 0 : -1;
}

// listDirAt - read the whole directory through a descriptor of its own.
int listDirAt(int dir, std::vector<std::string>* names)
{
    int fd = ::fcntl(dir, F_DUPFD_CLOEXEC, 0);
    DIR* stream = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (stream == nullptr) {
        TreeFd unused(fd);
        return -1;
    }
    ::rewinddir(stream); // the duplicate shares the original's offset
    names->clear();
    int result = 0;
    for (;;) {
        errno = 0;
        const struct dirent* entry = ::readdir(stream);
        if (entry == nullptr) {
            result = errno != 0 ? -1 : 0;
            break;
        }
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            names->push_back(entry->d_name);
    }
    int saved = errno;
    ::closedir(stream);
    errno = saved;
    return result;
}

// removeTreeAt - unlink a non-directory at once; empty a directory through
// its descriptor, then remove it from dir. A name swapped for something else
// meanwhile is tried again from the start.
int removeTreeAt(int dir, const std::string& name)
{
    if (!plainName(name)) {
        errno = EPERM;
        return -1;
    }
    for (int attempt = 0; attempt < REMOVE_ATTEMPTS; ++attempt) {
        if (::unlinkat(dir, name.c_str(), 0) == 0 || errno == ENOENT)
            return 0;
        if (errno != EISDIR)
            return -1;
        TreeFd sub = openDirAt(dir, name);
        if (!sub) {
            if (errno == ELOOP || errno == ENOTDIR)
                continue;
            return errno == ENOENT ? 0 : -1;
        }
        std::vector<std::string> names;
        int failure = listDirAt(sub.get(), &names) == 0 ? 0 : errno;
        for (const std::string& entry : names) {
            if (removeTreeAt(sub.get(), entry) != 0 && failure == 0)
                failure = errno;
        }
        sub.close();
        if (failure != 0) {
            errno = failure;
            return -1;
        }
        if (::unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT)
            return 0;
        if (errno != ENOTDIR) // else swapped for a link since it was emptied
            return -1;
    }
    return -1;
}

} // namespace mail
} // namespace ostra
