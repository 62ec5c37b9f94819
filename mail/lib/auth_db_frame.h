// auth_db_frame.h - the connection and statement frame shared by the
//                   operations on the mail authentication database.
#ifndef MAIL_LIB_AUTH_DB_FRAME_H
#define MAIL_LIB_AUTH_DB_FRAME_H

#include <sqlite3.h>

namespace ostra {
namespace mail {
namespace authdb {

// How long SQLite itself waits for a lock before reporting SQLITE_BUSY.
const int BusyTimeoutMs = 50;
// Retries of one phase before giving up on a lock that is never released
// (implementer's choice: about ten seconds, so a stuck holder cannot hang a
// run for ever while ordinary contention always gets through).
const int MaxRetries = 200;

// retryPause - sleep before retry number attempt (0: no pause, then 10 us
//              longer each time); false when the system refuses to pause.
bool retryPause(int attempt);

// Database - one connection to the database file, closed at scope exit.
class Database {
public:
    Database() : db_(nullptr) {}
    ~Database() { close(); }
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // open - open an existing file read-write (or read-only) with the busy
    //        timeout; 0, or -1 after logging.
    int open(const char* path, bool readOnly);
    // close - close, retrying while busy; 0 or -1 (logged).
    int close();
    sqlite3* get() const { return db_; }

private:
    sqlite3* db_;
};

// Statement - one prepared statement, finalised at scope exit.
class Statement {
public:
    explicit Statement(sqlite3* db) : db_(db), stmt_(nullptr), sql_("") {}
    ~Statement() { finalize(); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // prepare - compile sql, retrying while busy; 0, or -1 after logging.
    int prepare(const char* sql);
    // bindText, bindInt - bind parameter index (from 1); false on failure.
    bool bindText(int index, const char* value);
    bool bindInt(int index, int value);
    // step - run one step, resetting and retrying while busy or locked;
    //        SQLITE_ROW, SQLITE_DONE or the error code.
    int step();
    void finalize();

    // Column readers for the current row.
    int columnInt(int index) const { return sqlite3_column_int(stmt_, index); }
    bool columnIsNull(int index) const;
    const char* columnText(int index) const;

    const char* sql() const { return sql_; }
    // error - the connection's latest error text.
    const char* error() const { return sqlite3_errmsg(db_); }

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_;
    const char* sql_;
};

} // namespace authdb
} // namespace mail
} // namespace ostra

#endif
