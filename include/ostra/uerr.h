// uerr.h - the error stream: every diagnostic on standard error at once,
// and again on standard output whenever the stream is flushed.
#ifndef OSTRA_UERR_H
#define OSTRA_UERR_H

#include <ostream>
#include <streambuf>
#include <string>

namespace ostra {

// UtilityErrorStreamBuf - unbuffered to stderr, collected for stdout.
class UtilityErrorStreamBuf : public std::streambuf {
public:
    UtilityErrorStreamBuf() = default;
    ~UtilityErrorStreamBuf() override;

protected:
    int_type overflow(int_type c) override;
    int sync() override;

private:
    std::string pending_;
};

// UtilityErrorStream - the ostream over one UtilityErrorStreamBuf.
class UtilityErrorStream : public std::ostream {
public:
    UtilityErrorStream();

private:
    UtilityErrorStreamBuf buf_;
};

extern UtilityErrorStream uerr;

} // namespace ostra

#endif
