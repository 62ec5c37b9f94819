// mail_tree.h - walking the mail tree through directory descriptors.
//
// Mail homes and everything in them belong to popuser, who can plant links
// and swap directories there while root works in them. So below the mail
// root nothing is looked up by path: each directory is opened one component
// at a time without following a link, and every change is made relative to
// an open directory. A link where a directory or file belongs fails with
// errno ELOOP (treeStrerror names it); it is never followed. The mail root
// itself, and any path outside it, is the administrator's and is taken as
// configured.
#ifndef MAIL_LIB_MAIL_TREE_H
#define MAIL_LIB_MAIL_TREE_H

#include <errno.h>
#include <string.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace ostra {
namespace mail {

// TreeFd - one open descriptor, closed at scope exit (errno kept); a
// failed open leaves it empty with errno set.
class TreeFd {
public:
    explicit TreeFd(int fd = -1) : fd_(fd) {}
    ~TreeFd() { reset(); }
    TreeFd(TreeFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    TreeFd& operator=(TreeFd&& other) noexcept;
    TreeFd(const TreeFd&) = delete;
    TreeFd& operator=(const TreeFd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // reset - close the held descriptor (errno kept) and hold fd instead.
    void reset(int fd = -1);
    // close - close now; the close(2) result.
    int close();
    // release - hand the descriptor over to the caller.
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

// openTreeDir - the directory at path, each component below the mail root
// opened without following a link.
TreeFd openTreeDir(const std::string& path);

// openTreeParent - the directory holding path, as openTreeDir opens it;
// name gets the last component (EPERM when it is not one plain name).
TreeFd openTreeParent(const std::string& path, std::string* name);

// openDirAt - the directory name directly below dir: ELOOP for a link,
// ENOTDIR for anything else that is not a directory, EPERM for a name that
// is not one plain component.
TreeFd openDirAt(int dir, const std::string& name);

// openPathAt - the directory at the relative path "a/b" below dir, one
// component at a time as openDirAt opens them.
TreeFd openPathAt(int dir, const std::string& relative);

// openFileAt - the regular file name below dir, opened with flags (O_CREAT
// allowed, O_TRUNC not: truncate after the check): never through a link
// (ELOOP), never blocking on a FIFO; a directory is EISDIR, anything else
// that is not a regular file EINVAL, a file with several links EMLINK, so
// that what popuser planted can neither redirect nor hang the open.
TreeFd openFileAt(int dir, const std::string& name, int flags, mode_t mode = 0);

// makeDirAt - mkdir name below dir with mode; 1 when made, 0 when
// something of that name exists, -1 with errno set.
int makeDirAt(int dir, const std::string& name, mode_t mode);

// listDirAt - the entry names of an open directory but "." and "..";
// 0, or -1 with errno set.
int listDirAt(int dir, std::vector<std::string>* names);

// removeTreeAt - remove name below dir and, for a directory, everything in
// it, never following a link (a link goes itself) and never looking a path
// up again; an absent name is no error. 0, or -1 with errno of the first
// failure (the rest is still removed as far as it can be).
int removeTreeAt(int dir, const std::string& name);

// treeStrerror - strerror, but with the refusals of this module named.
inline const char* treeStrerror(int err)
{
    switch (err) {
    case ELOOP:
        return "symbolic link refused";
    case EINVAL:
        return "not a regular file";
    case EMLINK:
        return "file with several links refused";
    default:
        return strerror(err);
    }
}

} // namespace mail
} // namespace ostra

#endif
