// cwd_keeper.h - return to the working directory of construction at scope exit.
#ifndef MAIL_LIB_CWD_KEEPER_H
#define MAIL_LIB_CWD_KEEPER_H

namespace ostra {
namespace mail {

// CwdKeeper - holds the working directory open, so that a rename of its path
// does not stop the return; errno is kept across the destructor.
class CwdKeeper {
public:
    CwdKeeper();
    ~CwdKeeper();
    CwdKeeper(const CwdKeeper&) = delete;
    CwdKeeper& operator=(const CwdKeeper&) = delete;

    // ok - whether the working directory could be remembered (errno set if not).
    bool ok() const { return fd_ >= 0; }

private:
    int fd_;
};

} // namespace mail
} // namespace ostra

#endif
