// auth_db_frame.cc - opening, preparing, stepping and closing with retries.
#include "mail/lib/auth_db_frame.h"

#include <errno.h>
#include <time.h>

#include "ostra/log.h"

namespace ostra {
namespace mail {
namespace authdb {

namespace {

// Log level of every failure of this module.
const int ErrorLevel = 3;

} // namespace

// retryPause - attempt * 10 microseconds, resuming after signals.
bool retryPause(int attempt)
{
    if (attempt <= 0)
        return true;
    long usec = 10L * attempt;
    struct timespec req = {usec / 1000000, (usec % 1000000) * 1000};
    struct timespec rem;
    while (nanosleep(&req, &rem) != 0) {
        if (errno != EINTR)
            return false;
        req = rem;
    }
    return true;
}

// Database::open - open an existing database file and set the busy timeout.
int Database::open(const char* path, bool readOnly)
{
    close();
    // The schema is never created here: a missing file is an error, not a new database.
    int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE;
    int rc = sqlite3_open_v2(path, &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
        const char* reason = db_ != nullptr ? sqlite3_errmsg(db_) : "general DB errror";
        if (readOnly)
            ostra_log(ErrorLevel, "Unable to open database(readonly) %s: %s", path, reason);
        else
            ostra_log(ErrorLevel, "Unable to open database %s: %s", path, reason);
        close();
        return -1;
    }
    sqlite3_busy_timeout(db_, BusyTimeoutMs);
    return 0;
}

// Database::close - close the connection, retrying while it is busy.
int Database::close()
{
    if (db_ == nullptr)
        return 0;
    int rc;
    for (int attempt = 0;; ++attempt) {
        rc = sqlite3_close(db_);
        if (rc != SQLITE_BUSY || attempt >= MaxRetries || !retryPause(attempt + 1))
            break;
    }
    if (rc != SQLITE_OK) {
        ostra_log(ErrorLevel, "Unable to close database %s: %s", sqlite3_db_filename(db_, "main"),
                  sqlite3_errmsg(db_));
        // Nothing more can be done with it; let SQLite release it once it may.
        sqlite3_close_v2(db_);
        db_ = nullptr;
        return -1;
    }
    db_ = nullptr;
    return 0;
}

// Statement::prepare - compile a statement, retrying while the schema is locked.
int Statement::prepare(const char* sql)
{
    finalize();
    sql_ = sql;
    int rc;
    for (int attempt = 0;; ++attempt) {
        if (!retryPause(attempt)) {
            rc = SQLITE_BUSY;
            break;
        }
        rc = sqlite3_prepare_v2(db_, sql, -1, &stmt_, nullptr);
        if (rc != SQLITE_BUSY || attempt >= MaxRetries)
            break;
    }
    if (rc != SQLITE_OK) {
        ostra_log(ErrorLevel, "Unable to prepare SQL statement for query '%s': %s", sql,
                  rc == SQLITE_BUSY ? sqlite3_errstr(rc) : sqlite3_errmsg(db_));
        finalize();
        return -1;
    }
    return 0;
}

// Statement::bindText - bind a string (a null pointer binds NULL).
bool Statement::bindText(int index, const char* value)
{
    return sqlite3_bind_text(stmt_, index, value, -1, SQLITE_TRANSIENT) == SQLITE_OK;
}

// Statement::bindInt - bind an integer.
bool Statement::bindInt(int index, int value)
{
    return sqlite3_bind_int(stmt_, index, value) == SQLITE_OK;
}

// Statement::step - one step; a busy or locked database is waited for.
int Statement::step()
{
    int rc = SQLITE_MISUSE;
    for (int attempt = 0;; ++attempt) {
        if (!retryPause(attempt))
            break;
        rc = sqlite3_step(stmt_);
        if ((rc != SQLITE_BUSY && rc != SQLITE_LOCKED) || attempt >= MaxRetries)
            break;
        sqlite3_reset(stmt_);
    }
    return rc;
}

// Statement::finalize - release the compiled statement.
void Statement::finalize()
{
    if (stmt_ != nullptr) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
    }
}

// Statement::columnIsNull - whether a column of the current row is NULL.
bool Statement::columnIsNull(int index) const
{
    return sqlite3_column_type(stmt_, index) == SQLITE_NULL;
}

// Statement::columnText - a column of the current row as text (null for NULL).
const char* Statement::columnText(int index) const
{
    return reinterpret_cast<const char*>(sqlite3_column_text(stmt_, index));
}

} // namespace authdb
} // namespace mail
} // namespace ostra
