// crypto_lazy.cc - the functions of libcrypto the program calls, loaded at first use.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/crypto.h>
#include <openssl/md5.h>

#include "ostra/lazy_library.h"

namespace {

// libcrypto - the process's one handle on the library.
ostra::LazyLibrary libcrypto("libcrypto.so.3");

} // namespace

extern "C" {

unsigned char* MD5(const unsigned char* data, size_t length, unsigned char* digest)
{
    OSTRA_LAZY_FORWARD(libcrypto, MD5, data, length, digest);
}

int OPENSSL_init_crypto(uint64_t opts, const OPENSSL_INIT_SETTINGS* settings)
{
    OSTRA_LAZY_FORWARD(libcrypto, OPENSSL_init_crypto, opts, settings);
}

} // extern "C"
