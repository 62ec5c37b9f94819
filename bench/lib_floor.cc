// lib_floor.cc - what the libraries the program must use cost a process that
// does nothing else: the floor under the program's own CPU time.
//
// Usage: lib_floor start | digest | client | authdb DB
// Each step adds to the one before, in the order a command meets them:
//   start   a process that returns at once (C, libc only);
//   digest  libcrypto opened and one MD5, as for a lock file name;
//   client  the MariaDB client opened and started as the panel connection
//           starts it (OpenSSL told not to read its configuration), no
//           connection;
//   authdb  SQLite opened, the authentication database DB opened read-only
//           and one statement prepared, which reads the schema.
// The libraries are opened with dlopen, as the program opens them.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <dlfcn.h>
#include <mysql.h>
#include <openssl/crypto.h>
#include <openssl/md5.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// fail - say what could not be done; the status of a failed step.
int fail(const std::string& what)
{
    std::fprintf(stderr, "lib_floor: %s\n", what.c_str());
    return 1;
}

// Library - one dlopen handle; symbols looked up by the type of the header's declaration.
class Library {
public:
    explicit Library(const char* soname) : handle_(dlopen(soname, RTLD_NOW)), soname_(soname) {}
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    // Never closed: like the program, keep the library until exit.

    bool loaded() const { return handle_ != nullptr; }
    const char* soname() const { return soname_; }

    // get - the function name, or null.
    template <typename F> F get(const char* name) const
    {
        return reinterpret_cast<F>(dlsym(handle_, name));
    }

private:
    void* handle_;
    const char* soname_;
};

// digest - load libcrypto and take one MD5.
int digest()
{
    Library crypto("libcrypto.so.3");
    auto md5 = crypto.get<decltype(&::MD5)>("MD5");
    if (md5 == nullptr)
        return fail(std::string("cannot load ") + crypto.soname());
    const char path[] = "/var/spool/postfix/ostra/virtual";
    unsigned char out[MD5_DIGEST_LENGTH];
    md5(reinterpret_cast<const unsigned char*>(path), sizeof path - 1, out);
    return 0;
}

// client - load and start the MariaDB client, then close the unused handle.
int client()
{
    Library crypto("libcrypto.so.3");
    auto noConfig = crypto.get<decltype(&::OPENSSL_init_crypto)>("OPENSSL_init_crypto");
    if (noConfig == nullptr)
        return fail(std::string("cannot load ") + crypto.soname());
    noConfig(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    Library mariadb("libmariadb.so.3");
    auto init = mariadb.get<decltype(&::mysql_init)>("mysql_init");
    auto closeConn = mariadb.get<decltype(&::mysql_close)>("mysql_close");
    if (init == nullptr || closeConn == nullptr)
        return fail(std::string("cannot load ") + mariadb.soname());
    MYSQL* conn = init(nullptr);
    if (conn == nullptr)
        return fail("mysql_init failed");
    closeConn(conn);
    return 0;
}

// authdb - load SQLite, open path read-only and prepare one lookup.
int authdb(const char* path)
{
    Library sqlite("libsqlite3.so.0");
    auto open = sqlite.get<decltype(&::sqlite3_open_v2)>("sqlite3_open_v2");
    auto prepare = sqlite.get<decltype(&::sqlite3_prepare_v2)>("sqlite3_prepare_v2");
    auto finalize = sqlite.get<decltype(&::sqlite3_finalize)>("sqlite3_finalize");
    auto closeDb = sqlite.get<decltype(&::sqlite3_close)>("sqlite3_close");
    if (open == nullptr || prepare == nullptr || finalize == nullptr || closeDb == nullptr)
        return fail(std::string("cannot load ") + sqlite.soname());
    sqlite3* db = nullptr;
    if (open(path, &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        closeDb(db);
        return fail(std::string("cannot open ") + path);
    }
    sqlite3_stmt* st = nullptr;
    const int rc = prepare(db, "SELECT id FROM domains WHERE name=?", -1, &st, nullptr);
    finalize(st);
    closeDb(db);
    return rc == SQLITE_OK ? 0 : fail(std::string("no domains table in ") + path);
}

} // namespace

int main(int argc, char** argv)
{
    const std::string step = argc > 1 ? argv[1] : "";
    if (step == "start" && argc == 2)
        return 0;
    if (step == "digest" && argc == 2)
        return digest();
    if (step == "client" && argc == 2)
        return digest() || client();
    if (step == "authdb" && argc == 3)
        return digest() || client() || authdb(argv[2]);
    std::fprintf(stderr, "usage: lib_floor start | digest | client | authdb DB\n");
    return 2;
}
