// tmpfile.h - self-naming temporary output files and self-deleting streams.
#ifndef OSTRA_TMPFILE_H
#define OSTRA_TMPFILE_H

#include <ext/stdio_filebuf.h>
#include <ios>
#include <memory>
#include <ostream>
#include <string>

namespace ostra {

// TmpFileBase - a new file made by mkstemp and a stream buffer on it.
class TmpFileBase {
public:
    // path - the name mkstemp chose.
    const std::string& path() const { return path_; }
    // fd - the open descriptor, or -1 once closed.
    int fd() const { return fd_; }

protected:
    // Throws SystemError ("mkstemp() failed: ") when the file cannot be made.
    explicit TmpFileBase(const std::string& prefix);
    ~TmpFileBase();
    TmpFileBase(const TmpFileBase&) = delete;
    TmpFileBase& operator=(const TmpFileBase&) = delete;

    std::string path_;
    int fd_;
    std::unique_ptr<__gnu_cxx::stdio_filebuf<char>> buf_;
};

// TmpFile - an output stream on a new file named prefix + six characters.
// Write, set the mode, clear autoclean, destroy (or close()), then rename.
class TmpFile : public TmpFileBase, public std::ostream {
public:
    explicit TmpFile(const std::string& prefix, bool autoclean = true);
    // Deletes the file when autoclean is still set, then closes it.
    ~TmpFile() override;

    // close - flush and close now; throws SystemError when either fails.
    void close();

    bool autoclean;
};

// AutocleanOFStream - an output file stream whose file is deleted with it.
// The file is opened close-on-exec (mode 0644 when created), so no program
// run while it is open inherits it; a failed open sets failbit.
class AutocleanOFStream : public std::ostream {
public:
    explicit AutocleanOFStream(const std::string& path,
                               std::ios_base::openmode mode = std::ios_base::out);
    ~AutocleanOFStream() override;
    AutocleanOFStream(const AutocleanOFStream&) = delete;
    AutocleanOFStream& operator=(const AutocleanOFStream&) = delete;

    const std::string& path() const { return path_; }
    bool is_open() const { return buf_ != nullptr && buf_->is_open(); }
    // close - flush and close; failbit (and its exception, when enabled) on failure.
    void close();

private:
    std::string path_;
    std::unique_ptr<__gnu_cxx::stdio_filebuf<char>> buf_;
    bool created_; // never delete a file this stream failed to open
};

} // namespace ostra

#endif
