// crypto_lazy.cc - the digest function of libcrypto, loaded at first use.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>

#include "ostra/lazy_library.h"

namespace {

// libcrypto - the process's one handle on the library.
ostra::LazyLibrary& libcrypto()
{
    static ostra::LazyLibrary library("libcrypto.so.3");
    return library;
}

} // namespace

extern "C" {

unsigned char* MD5(const unsigned char* data, size_t length, unsigned char* digest)
{
    OSTRA_LAZY_FORWARD(libcrypto(), MD5, data, length, digest);
}

} // extern "C"
