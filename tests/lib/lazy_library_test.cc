// lazy_library_test.cc - libraries opened at first use, and their forwarders.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "ostra/lazy_library.h"

#include <mysql.h>
#include <openssl/md5.h>
#include <string.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

namespace {

using ostra::LazyLibrary;
using ostra::LibraryLoadError;
using ::testing::HasSubstr;

// loadErrorOf - the message of the LibraryLoadError that looking name up throws.
std::string loadErrorOf(LazyLibrary& library, const char* name)
{
    try {
        library.symbol(name);
    } catch (const LibraryLoadError& e) {
        return e.what();
    }
    return "no error";
}

TEST(LazyLibrary, AMissingLibraryIsAnErrorThatNamesIt)
{
    LazyLibrary library("libno-such-library.so.7");
    EXPECT_THAT(loadErrorOf(library, "anything"),
                HasSubstr("cannot load libno-such-library.so.7: "));
    // Asked again, it tries again rather than using a null handle.
    EXPECT_THAT(loadErrorOf(library, "anything"), HasSubstr("cannot load"));
}

TEST(LazyLibrary, AMissingSymbolIsAnErrorThatNamesItAndTheLibrary)
{
    LazyLibrary library("libc.so.6");
    EXPECT_THAT(loadErrorOf(library, "no_such_function_here"),
                HasSubstr("cannot find no_such_function_here in libc.so.6: "));
}

TEST(LazyLibrary, FindsAFunctionThatWorks)
{
    LazyLibrary library("libc.so.6");
    auto length = reinterpret_cast<size_t (*)(const char*)>(library.symbol("strlen"));
    EXPECT_EQ(5u, length("hello"));
}

// The forwarders must reach the real libraries under their sonames.
TEST(LazyForwarders, DigestIsTheLibrarysMd5)
{
    struct Case {
        const char* text;
        const char* hex;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"/var/spool/postfix/ostra/virtual", nullptr},
    };
    std::string previous;
    for (const Case& c : cases) {
        unsigned char digest[MD5_DIGEST_LENGTH];
        ASSERT_EQ(digest,
                  MD5(reinterpret_cast<const unsigned char*>(c.text), strlen(c.text), digest));
        char hex[2 * MD5_DIGEST_LENGTH + 1];
        for (int i = 0; i < MD5_DIGEST_LENGTH; ++i)
            snprintf(hex + 2 * i, 3, "%02x", digest[i]);
        if (c.hex) {
            EXPECT_STREQ(c.hex, hex) << c.text;
        }
        EXPECT_NE(previous, hex);
        previous = hex;
    }
}

TEST(LazyForwarders, PanelClientEscapesWithoutAConnection)
{
    ASSERT_EQ(0, mysql_library_init(0, nullptr, nullptr));
    const char from[] = "it's\n\"x\"";
    char to[2 * sizeof from + 1];
    unsigned long length = mysql_escape_string(to, from, strlen(from));
    EXPECT_EQ("it\\'s\\n\\\"x\\\"", std::string(to, length));
}

} // namespace
