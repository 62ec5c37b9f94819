// mariadb_lazy.cc - the panel database client library, loaded at first use.
#include <mysql.h>

#include "ostra/lazy_library.h"

namespace {

// libmariadb - the process's one handle on the library.
ostra::LazyLibrary libmariadb("libmariadb.so.3");

} // namespace

extern "C" {

int STDCALL mysql_server_init(int argc, char** argv, char** groups)
{
    OSTRA_LAZY_FORWARD(libmariadb, mysql_server_init, argc, argv, groups);
}

MYSQL* STDCALL mysql_init(MYSQL* mysql)
{
    OSTRA_LAZY_FORWARD(libmariadb, mysql_init, mysql);
}

int STDCALL mysql_options(MYSQL* mysql, enum mysql_option option, const void* arg)
{
    OSTRA_LAZY_FORWARD(libmariadb, mysql_options, mysql, option, arg);
}

MYSQL* STDCALL mysql_real_connect(MYSQL* mysql, const char* host, const char* user,
                                  const char* passwd, const char* db, unsigned int port,
                                  const char* unix_socket, unsigned long clientflag)
{
    OSTRA_LAZY_FORWARD(libmariadb, mysql_real_connect, mysql, host, user, passwd, db, port,
                       unix_socket, clientflag);
}

void STDCALL mysql_close(MYSQL* sock)
{
    OSTRA_LAZY_FORWARD(libmariadb, mysql_close, sock);
}

my_socket STDCALL mysql_get_socket(MYSQL* mysql)
{
    OSTRA_LAZY_FORWARD(libmariadb, mysql_get_socket, mysql);
}

unsigned int STDCALL mysql_errno(MYSQL* mysql)
{
    OSTRA_LAZY_FORWARD(libmariadb, mysql_errno, mysql);
}

const char* STDCALL mysql_error(MYSQL* mysql)
{
    OSTRA_LAZY_FORWARD(libmariadb, mysql_error, mysql);
}

int STDCALL mysql_query(MYSQL* mysql, const char* q)
{
    OSTRA_LAZY_FORWARD(libmariadb, mysql_query, mysql, q);
}

int STDCALL mysql_real_query(MYSQL* mysql, const char* q, unsigned long length)
{
    OSTRA_LAZY_FORWARD(libmariadb, mysql_real_query, mysql, q, length);
}

MYSQL_RES* STDCALL mysql_store_result(MYSQL* mysql)
{
    OSTRA_LAZY_FORWARD(libmariadb, mysql_store_result, mysql);
}

MYSQL_RES* STDCALL mysql_use_result(MYSQL* mysql)
{
    OSTRA_LAZY_FORWARD(libmariadb, mysql_use_result, mysql);
}

void STDCALL mysql_free_result(MYSQL_RES* result)
{
    OSTRA_LAZY_FORWARD(libmariadb, mysql_free_result, result);
}

MYSQL_ROW STDCALL mysql_fetch_row(MYSQL_RES* result)
{
    OSTRA_LAZY_FORWARD(libmariadb, mysql_fetch_row, result);
}

unsigned long* STDCALL mysql_fetch_lengths(MYSQL_RES* result)
{
    OSTRA_LAZY_FORWARD(libmariadb, mysql_fetch_lengths, result);
}

MYSQL_FIELD* STDCALL mysql_fetch_fields(MYSQL_RES* res)
{
    OSTRA_LAZY_FORWARD(libmariadb, mysql_fetch_fields, res);
}

unsigned int STDCALL mysql_num_fields(MYSQL_RES* res)
{
    OSTRA_LAZY_FORWARD(libmariadb, mysql_num_fields, res);
}

unsigned int STDCALL mysql_field_count(MYSQL* mysql)
{
    OSTRA_LAZY_FORWARD(libmariadb, mysql_field_count, mysql);
}

unsigned long STDCALL mysql_escape_string(char* to, const char* from, unsigned long from_length)
{
    OSTRA_LAZY_FORWARD(libmariadb, mysql_escape_string, to, from, from_length);
}

unsigned long STDCALL mysql_real_escape_string(MYSQL* mysql, char* to, const char* from,
                                               unsigned long length)
{
    OSTRA_LAZY_FORWARD(libmariadb, mysql_real_escape_string, mysql, to, from, length);
}

} // extern "C"
