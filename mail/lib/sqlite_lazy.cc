// sqlite_lazy.cc - the authentication database's library, loaded at first use.
#include <sqlite3.h>

#include "ostra/lazy_library.h"

namespace {

// libsqlite - the process's one handle on the library.
ostra::LazyLibrary libsqlite("libsqlite3.so.0");

} // namespace

extern "C" {

int sqlite3_open_v2(const char* filename, sqlite3** db, int flags, const char* vfs)
{
    OSTRA_LAZY_FORWARD(libsqlite, sqlite3_open_v2, filename, db, flags, vfs);
}

int sqlite3_close(sqlite3* db)
{
    OSTRA_LAZY_FORWARD(libsqlite, sqlite3_close, db);
}

int sqlite3_close_v2(sqlite3* db)
{
    OSTRA_LAZY_FORWARD(libsqlite, sqlite3_close_v2, db);
}

int sqlite3_busy_timeout(sqlite3* db, int ms)
{
    OSTRA_LAZY_FORWARD(libsqlite, sqlite3_busy_timeout, db, ms);
}

int sqlite3_exec(sqlite3* db, const char* sql, int (*callback)(void*, int, char**, char**),
                 void* argument, char** errmsg)
{
    OSTRA_LAZY_FORWARD(libsqlite, sqlite3_exec, db, sql, callback, argument, errmsg);
}

int sqlite3_prepare_v2(sqlite3* db, const char* sql, int bytes, sqlite3_stmt** stmt,
                       const char** tail)
{
    OSTRA_LAZY_FORWARD(libsqlite, sqlite3_prepare_v2, db, sql, bytes, stmt, tail);
}

int sqlite3_bind_int(sqlite3_stmt* stmt, int index, int value)
{
    OSTRA_LAZY_FORWARD(libsqlite, sqlite3_bind_int, stmt, index, value);
}

int sqlite3_bind_text(sqlite3_stmt* stmt, int index, const char* text, int bytes,
                      void (*destructor)(void*))
{
    OSTRA_LAZY_FORWARD(libsqlite, sqlite3_bind_text, stmt, index, text, bytes, destructor);
}

int sqlite3_step(sqlite3_stmt* stmt)
{
    OSTRA_LAZY_FORWARD(libsqlite, sqlite3_step, stmt);
}

int sqlite3_reset(sqlite3_stmt* stmt)
{
    OSTRA_LAZY_FORWARD(libsqlite, sqlite3_reset, stmt);
}

int sqlite3_finalize(sqlite3_stmt* stmt)
{
    OSTRA_LAZY_FORWARD(libsqlite, sqlite3_finalize, stmt);
}

int sqlite3_column_type(sqlite3_stmt* stmt, int column)
{
    OSTRA_LAZY_FORWARD(libsqlite, sqlite3_column_type, stmt, column);
}

int sqlite3_column_int(sqlite3_stmt* stmt, int column)
{
    OSTRA_LAZY_FORWARD(libsqlite, sqlite3_column_int, stmt, column);
}

const unsigned char* sqlite3_column_text(sqlite3_stmt* stmt, int column)
{
    OSTRA_LAZY_FORWARD(libsqlite, sqlite3_column_text, stmt, column);
}

sqlite3_int64 sqlite3_last_insert_rowid(sqlite3* db)
{
    OSTRA_LAZY_FORWARD(libsqlite, sqlite3_last_insert_rowid, db);
}

sqlite3_filename sqlite3_db_filename(sqlite3* db, const char* name)
{
    OSTRA_LAZY_FORWARD(libsqlite, sqlite3_db_filename, db, name);
}

const char* sqlite3_errmsg(sqlite3* db)
{
    OSTRA_LAZY_FORWARD(libsqlite, sqlite3_errmsg, db);
}

const char* sqlite3_errstr(int code)
{
    OSTRA_LAZY_FORWARD(libsqlite, sqlite3_errstr, code);
}

void sqlite3_free(void* memory)
{
    OSTRA_LAZY_FORWARD(libsqlite, sqlite3_free, memory);
}

} // extern "C"
