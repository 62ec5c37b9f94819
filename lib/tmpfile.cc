// tmpfile.cc - temporary output files and output streams that delete their file.
#include "ostra/tmpfile.h"

#include <errno.h>
#include <fcntl.h>
#include <iostream>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <vector>

#include "ostra/eintr.h"
#include "ostra/errors.h"

namespace ostra {

static const size_t TMPFILE_BUFFER_SIZE = 2048;

// TmpFileBase::TmpFileBase - make prefix + "XXXXXX" and put a stream buffer on it.
TmpFileBase::TmpFileBase(const std::string& prefix) : fd_(-1)
{
    std::string pattern = prefix + "XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        throwSystemError("mkstemp() failed: ", errno);
    try {
        path_ = name.data();
        buf_.reset(new __gnu_cxx::stdio_filebuf<char>(fd, std::ios_base::out, TMPFILE_BUFFER_SIZE));
    } catch (...) {
        unlink(name.data());
        close(fd);
        throw;
    }
    fd_ = fd;
}

// TmpFileBase::~TmpFileBase - the buffer flushes and closes the file.
TmpFileBase::~TmpFileBase() = default;

// TmpFile::TmpFile - an output stream on a new file.
TmpFile::TmpFile(const std::string& prefix, bool autoclean_)
    : TmpFileBase(prefix), std::ostream(buf_.get()), autoclean(autoclean_)
{
}

// TmpFile::close - flush and close, reporting what the destructor cannot.
void TmpFile::close()
{
    if (fd_ < 0)
        return;
    bool ok = !fail();
    int error = 0;
    if (ok) {
        flush();
        ok = !fail();
    }
    if (!ok)
        error = errno != 0 ? errno : EIO;
    errno = 0;
    if (buf_->close() == nullptr && ok) {
        ok = false;
        error = errno != 0 ? errno : EIO;
    }
    fd_ = -1;
    if (!ok)
        throwSystemError("cannot write " + path_, error);
}

// TmpFile::~TmpFile - delete the file unless the caller kept it, then close.
TmpFile::~TmpFile()
{
    if (autoclean && unlink(path_.c_str()) != 0)
        std::cerr << "TmpFile autoclean failed: " << strerror(errno) << std::endl;
}

// AutocleanOFStream::AutocleanOFStream - open path for output (appending or
// truncated), close-on-exec; only a file opened here is deleted.
AutocleanOFStream::AutocleanOFStream(const std::string& path, std::ios_base::openmode mode)
    : std::ostream(nullptr), path_(path), created_(false)
{
    const int flags =
        O_WRONLY | O_CREAT | O_CLOEXEC | ((mode & std::ios_base::app) ? O_APPEND : O_TRUNC);
    int fd = retry_eintr([&] { return open(path.c_str(), flags, 0644); });
    if (fd < 0) {
        setstate(std::ios_base::failbit);
        return;
    }
    try {
        buf_.reset(new __gnu_cxx::stdio_filebuf<char>(fd, std::ios_base::out, TMPFILE_BUFFER_SIZE));
    } catch (...) {
        ::close(fd);
        unlink(path.c_str());
        throw;
    }
    created_ = true;
    rdbuf(buf_.get());
}

// AutocleanOFStream::close - as an output file stream closes.
void AutocleanOFStream::close()
{
    if (buf_ == nullptr || buf_->close() == nullptr)
        setstate(std::ios_base::failbit);
}

// AutocleanOFStream::~AutocleanOFStream - delete the file, then close (errno kept).
AutocleanOFStream::~AutocleanOFStream()
{
    int saved = errno;
    if (created_)
        unlink(path_.c_str());
    buf_.reset();
    errno = saved;
}

} // namespace ostra
