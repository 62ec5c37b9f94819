// mail_auth_init.cc - creating the mail authentication database and its schema.
#include "mail/lib/mail_authenticate.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <sqlite3.h>

#include "ostra/log.h"

namespace {

const int ErrorLevel = 3;

// The schema in one transaction; the triggers stand in for foreign keys.
const char schemaSql[] =
    "BEGIN TRANSACTION;"
    "CREATE TABLE domains ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " name VARCHAR(255) UNIQUE,"
    " status INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX domains_name ON domains (name);"
    "CREATE TABLE users ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " dom_id INTEGER NOT NULL,"
    " name VARCHAR(255) NOT NULL,"
    " userPassword VARCHAR(255),"
    " cmusaslsecretPLAIN VARCHAR(255),"
    " `cmusaslsecretCRAM-MD5` VARCHAR(255),"
    " status INT NOT NULL DEFAULT 0,"
    " UNIQUE (name, dom_id));"
    "CREATE INDEX users_name ON users (name);"
    "CREATE INDEX users_dom_id ON users (dom_id);"
    "CREATE TRIGGER fkd_users_domains_id BEFORE DELETE ON domains FOR EACH ROW BEGIN"
    " DELETE FROM users WHERE dom_id = OLD.id;"
    " END;"
    "CREATE TRIGGER fki_users_domains_id BEFORE INSERT ON users FOR EACH ROW BEGIN"
    " SELECT RAISE(ROLLBACK, 'insert on table \"users\" violates foreign key constraint "
    "\"fk_domains_id\"')"
    " WHERE (SELECT id FROM domains WHERE id = NEW.dom_id) IS NULL;"
    " END;"
    "CREATE TRIGGER fku_users_domains_id BEFORE UPDATE ON users FOR EACH ROW BEGIN"
    " SELECT RAISE(ROLLBACK, 'update on table \"users\" violates foreign key constraint "
    "\"fk_domains_id\"')"
    " WHERE (SELECT id FROM domains WHERE id = NEW.dom_id) IS NULL;"
    " END;"
    "COMMIT;";

// Owner and modes of a style's database.
struct StyleAccess {
    const char* owner; // user name, or null for root
    mode_t dirMode;
    mode_t fileMode;
};

// styleAccess - owner and modes for a known style.
StyleAccess styleAccess(int style)
{
    if (style == MAIL_AUTH_DB_POSTFIX_STYLE)
        return {"postfix", 0770, 0460};
    return {nullptr, 0750, 0600};
}

// makeParents - create every missing directory above path; 0 or -1 (logged).
int makeParents(const std::string& path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        std::string dir = path.substr(0, slash);
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
            ostra_log(ErrorLevel, "Unable to create directory %s: %s", dir.c_str(),
                      strerror(errno));
            return -1;
        }
    }
    return 0;
}

// setAccess - chown and chmod one path; 0 or -1 (logged).
int setAccess(const char* path, uid_t uid, mode_t mode)
{
    if (chown(path, uid, 0) != 0 || chmod(path, mode) != 0) {
        ostra_log(ErrorLevel, "Unable to set owner and mode of %s: %s", path, strerror(errno));
        return -1;
    }
    return 0;
}

// SqliteHandle - a connection used only to create the schema.
class SqliteHandle {
public:
    SqliteHandle() : db_(nullptr) {}
    ~SqliteHandle()
    {
        if (db_ != nullptr)
            sqlite3_close_v2(db_);
    }
    SqliteHandle(const SqliteHandle&) = delete;
    SqliteHandle& operator=(const SqliteHandle&) = delete;
    sqlite3** out() { return &db_; }
    sqlite3* get() const { return db_; }
    // close - close now; 0 or the SQLite result.
    int close()
    {
        int rc = db_ != nullptr ? sqlite3_close(db_) : SQLITE_OK;
        if (rc == SQLITE_OK)
            db_ = nullptr;
        return rc;
    }

private:
    sqlite3* db_;
};

} // namespace

// mailAuthDBCreate - a fresh database file holding the schema.
int mailAuthDBCreate(const char* path)
{
    if (path == nullptr || *path == '\0') {
        ostra_log(ErrorLevel, "mailAuthDBCreate: a required argument is missing");
        return -1;
    }
    if (unlink(path) != 0 && errno != ENOENT) {
        ostra_log(ErrorLevel, "Unable to remove old database %s: %s", path, strerror(errno));
        return -1;
    }
    // Create the file first so that clear-text passwords are never readable by others.
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        ostra_log(ErrorLevel, "Unable to create database %s: %s", path, strerror(errno));
        return -1;
    }
    close(fd);

    SqliteHandle db;
    int rc = sqlite3_open_v2(path, db.out(), SQLITE_OPEN_READWRITE, nullptr);
    if (rc == SQLITE_OK) {
        char* error = nullptr;
        rc = sqlite3_exec(db.get(), schemaSql, nullptr, nullptr, &error);
        if (rc != SQLITE_OK) {
            ostra_log(ErrorLevel, "Unable to create the schema of database %s: %s", path,
                      error != nullptr ? error : sqlite3_errstr(rc));
            sqlite3_free(error);
        }
    } else {
        ostra_log(ErrorLevel, "Unable to open database %s: %s", path,
                  db.get() != nullptr ? sqlite3_errmsg(db.get()) : "general DB errror");
    }
    if (db.close() != SQLITE_OK && rc == SQLITE_OK) {
        ostra_log(ErrorLevel, "Unable to close database %s: %s", path, sqlite3_errmsg(db.get()));
        rc = SQLITE_ERROR;
    }
    if (rc != SQLITE_OK) {
        // Leave no half-made database behind.
        unlink(path);
        return -1;
    }
    return 0;
}

// mailAuthDBInitStyle - select a style and create its database afresh.
int mailAuthDBInitStyle(int style)
{
    const char* stylePath = mailAuthDBStylePath(style);
    if (stylePath == nullptr) {
        ostra_log(ErrorLevel, "Unknown mail authentication database style %d", style);
        return -1;
    }
    mailAuthDBSelectStyle(style);
    std::string path(stylePath);
    std::string dir = path.substr(0, path.rfind('/'));

    StyleAccess access = styleAccess(style);
    uid_t uid = 0;
    if (access.owner != nullptr) {
        errno = 0;
        struct passwd* pw = getpwnam(access.owner);
        if (pw == nullptr) {
            ostra_log(ErrorLevel, "Unable to find user %s: %s", access.owner,
                      errno != 0 ? strerror(errno) : "no such user");
            return -1;
        }
        uid = pw->pw_uid;
    }

    if (makeParents(path) != 0 || mailAuthDBCreate(path.c_str()) != 0)
        return -1;
    if (setAccess(dir.c_str(), uid, access.dirMode) != 0 ||
        setAccess(path.c_str(), uid, access.fileMode) != 0)
        return -1;
    return 0;
}
