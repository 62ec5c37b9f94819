// panel_db.cc - connection to the control panel's database and the row
//               readers built on it.
#include "ostra/panel_db.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <openssl/crypto.h>

#include <memory>
#include <string>
#include <vector>

#include "ostra/log.h"

namespace {

// Room for the password line: at most 99 characters and the terminator.
const int PasswordBufferSize = 100;
// A server that accepts but never answers must not hang a run for ever.
const unsigned int ConnectTimeoutSeconds = 10;

// setReason - format a failure reason into the caller's buffer, if any.
void setReason(char* reason, size_t size, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

void setReason(char* reason, size_t size, const char* fmt, ...)
{
    if (reason == nullptr || size == 0)
        return;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(reason, size, fmt, ap);
    va_end(ap);
}

// readPassword - first line of the password file into buf; 0, or -1 with a reason.
int readPassword(char* buf, int bufSize, char* reason, size_t size)
{
    FILE* f = fopen(OSTRA_DB_PASSWORD_FILE, "re");
    if (f == nullptr) {
        setReason(reason, size, "Unable to open admin password file: %s", strerror(errno));
        return -1;
    }
    clearerr(f);
    errno = 0;
    char* line = fgets(buf, bufSize, f);
    int readErrno = errno;
    bool failed = ferror(f) != 0;
    fclose(f);
    if (line == nullptr) {
        // An empty file has no error number to show; say what is wrong instead.
        setReason(reason, size, "Unable to read admin password file: %s",
                  failed && readErrno != 0 ? strerror(readErrno) : "the file is empty");
        return -1;
    }
    size_t len = strcspn(buf, "\r\n");
    buf[len] = '\0';
    return 0;
}

// appendString - append a copy of s to the null-terminated list *list; 0 or -1.
int appendString(char*** list, const char* s)
{
    size_t n = 0;
    if (*list != nullptr)
        while ((*list)[n] != nullptr)
            ++n;
    char* copy = strdup(s);
    if (copy == nullptr)
        return -1;
    char** grown = static_cast<char**>(realloc(*list, (n + 2) * sizeof(char*)));
    if (grown == nullptr) {
        free(copy);
        return -1;
    }
    grown[n] = copy;
    grown[n + 1] = nullptr;
    *list = grown;
    return 0;
}

// OwnedConnection - a connection closed at scope exit when this code opened it.
class OwnedConnection {
public:
    explicit OwnedConnection(MYSQL* given) : conn_(given), owned_(given == nullptr) {}
    ~OwnedConnection()
    {
        if (owned_ && conn_ != nullptr)
            mysql_close(conn_);
    }
    OwnedConnection(const OwnedConnection&) = delete;
    OwnedConnection& operator=(const OwnedConnection&) = delete;

    // open - the given connection, or a new one; null when connecting failed.
    MYSQL* open()
    {
        if (conn_ == nullptr && owned_)
            conn_ = db_connect();
        return conn_;
    }

private:
    MYSQL* conn_;
    bool owned_;
};

// ResultOwner - a stored result freed at scope exit.
class ResultOwner {
public:
    explicit ResultOwner(MYSQL_RES* res) : res_(res) {}
    ~ResultOwner()
    {
        if (res_ != nullptr)
            mysql_free_result(res_);
    }
    ResultOwner(const ResultOwner&) = delete;
    ResultOwner& operator=(const ResultOwner&) = delete;
    MYSQL_RES* get() const { return res_; }

private:
    MYSQL_RES* res_;
};

} // namespace

// ostra_db_connect - connect as the panel administrator and select utf8.
MYSQL* ostra_db_connect(char* reason, size_t size)
{
    char password[PasswordBufferSize];
    if (readPassword(password, sizeof password, reason, size) != 0)
        return nullptr;

    // The client library loads OpenSSL's configuration when it first starts,
    // a third of its start-up; this connection is a local socket without TLS,
    // and the MD5 of lock file names must not depend on that file either.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    MYSQL* conn = mysql_init(nullptr);
    if (conn == nullptr) {
        explicit_bzero(password, sizeof password);
        setReason(reason, size, "Unable to initialize MySQL connection structure: %s",
                  strerror(ENOMEM));
        return nullptr;
    }
    mysql_options(conn, MYSQL_OPT_CONNECT_TIMEOUT, &ConnectTimeoutSeconds);
    MYSQL* connected = mysql_real_connect(conn, OSTRA_DB_HOST, OSTRA_DB_USER, password,
                                          OSTRA_DB_NAME, 0, nullptr, 0);
    explicit_bzero(password, sizeof password);
    if (connected == nullptr) {
        setReason(reason, size, "Unable to connect to Ostra Database: %s", mysql_error(conn));
        mysql_close(conn);
        return nullptr;
    }
    // The client library opens its socket without close-on-exec; no program
    // run meanwhile may inherit the connection.
    const my_socket sock = mysql_get_socket(conn);
    if (sock >= 0 && fcntl(sock, F_SETFD, FD_CLOEXEC) != 0) {
        setReason(reason, size, "Unable to connect to Ostra Database: %s", strerror(errno));
        mysql_close(conn);
        return nullptr;
    }
    if (mysql_query(conn, "SET NAMES utf8") != 0) {
        unsigned int code = mysql_errno(conn);
        if (code != 0)
            setReason(reason, size, "DB error (%s) %u: %s", "set names query", code,
                      mysql_error(conn));
        else
            setReason(reason, size, "DB error (%s): unknown error", "set names query");
        mysql_close(conn);
        return nullptr;
    }
    return conn;
}

// db_connect - connect, logging the reason of a failure.
MYSQL* db_connect()
{
    char reason[1024];
    MYSQL* conn = ostra_db_connect(reason, sizeof reason);
    if (conn == nullptr) {
        // The reason carries its own error text; a stale errno would only add noise.
        errno = 0;
        messlog2(0, 1, "%s", reason);
    }
    return conn;
}

// db_connect_nothrow - connect, leaving the reason of a failure to the caller.
MYSQL* db_connect_nothrow(char* reason, size_t size)
{
    if (reason != nullptr && size > 0)
        reason[0] = '\0';
    return ostra_db_connect(reason, size);
}

namespace {

// vformat_query - mysql_format_query with its arguments in ap.
char* vformat_query(MYSQL* conn, const char* fmt, va_list ap)
{
    if (conn == nullptr || fmt == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    std::string query;
    for (const char* p = fmt; *p != '\0'; ++p) {
        if (*p != '%') {
            query += *p;
            continue;
        }
        ++p;
        if (*p == '%') {
            query += '%';
            continue;
        }
        const char* value = *p == 's' ? va_arg(ap, const char*) : nullptr;
        if (value == nullptr) {
            errno = EINVAL;
            return nullptr;
        }
        const unsigned long length = strlen(value);
        std::vector<char> escaped(2 * length + 1);
        const unsigned long n = mysql_real_escape_string(conn, escaped.data(), value, length);
        if (n == static_cast<unsigned long>(-1)) {
            errno = EINVAL;
            return nullptr;
        }
        query.append(escaped.data(), n);
    }
    char* copy = strdup(query.c_str());
    if (copy == nullptr)
        messlog2(1, 0, "Allocation failed");
    return copy;
}

// run_list_query - append the first column of every row of query to *list on conn.
int run_list_query(MYSQL* conn, const char* query, char*** list)
{
    if (mysql_query(conn, query) != 0) {
        ostra_log(3, "Unable to get data from mysql database");
        return -1;
    }
    ResultOwner res(mysql_store_result(conn));
    if (res.get() == nullptr) {
        ostra_log(3, "Unable to get data from mysql database");
        return -1;
    }
    MYSQL_ROW row;
    while ((row = mysql_fetch_row(res.get())) != nullptr) {
        // A NULL name names nothing; it is left out rather than turned into "".
        if (row[0] == nullptr)
            continue;
        if (appendString(list, row[0]) != 0) {
            ostra_log(3, "Query error: %s", mysql_error(conn));
            return -1;
        }
    }
    if (mysql_errno(conn) != 0) {
        ostra_log(3, "Unable to get data from mysql database");
        return -1;
    }
    return 0;
}

// query_connection - the connection a list query runs on (owner's, opened
// when needed); null after the log line, also when text or list is missing.
MYSQL* query_connection(OwnedConnection& owner, const char* text, char*** list)
{
    if (text == nullptr || list == nullptr) {
        ostra_log(3, "Unable to get data from mysql database");
        return nullptr;
    }
    MYSQL* conn = owner.open();
    if (conn == nullptr)
        ostra_log(3, "Unable to connect to mysql database");
    return conn;
}

} // namespace

// exec_mysql_query - append the first column of every row of query to *list.
int exec_mysql_query(MYSQL* given, const char* query, char*** list)
{
    OwnedConnection owner(given);
    MYSQL* conn = query_connection(owner, query, list);
    return conn != nullptr ? run_list_query(conn, query, list) : -1;
}

// mysql_format_query - the query with its values escaped for the connection.
char* mysql_format_query(MYSQL* conn, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    char* query = vformat_query(conn, fmt, ap);
    va_end(ap);
    return query;
}

// exec_mysql_queryf - connect when needed, escape the values, run the query.
int exec_mysql_queryf(MYSQL* given, char*** list, const char* fmt, ...)
{
    OwnedConnection owner(given);
    MYSQL* conn = query_connection(owner, fmt, list);
    if (conn == nullptr)
        return -1;
    va_list ap;
    va_start(ap, fmt);
    std::unique_ptr<char, decltype(&free)> query(vformat_query(conn, fmt, ap), free);
    va_end(ap);
    if (!query) {
        ostra_log(3, "Unable to get data from mysql database");
        return -1;
    }
    return run_list_query(conn, query.get(), list);
}

namespace ostra {
namespace mysql {

// mError::mError - a failure described by a message.
mError::mError(const char* message) : message_(message != nullptr ? message : "")
{
}

mError::mError(const std::string& message) : message_(message)
{
}

// mError::mError - the client's last error on conn, with the query text.
mError::mError(MYSQL* conn, const std::string& query)
{
    unsigned int code = conn != nullptr ? mysql_errno(conn) : 0;
    std::vector<char> buf(query.size() + 1024);
    if (code != 0)
        snprintf(buf.data(), buf.size(), "Mysql error %d: %s\n%s", static_cast<int>(code),
                 mysql_error(conn), query.c_str());
    else
        snprintf(buf.data(), buf.size(), "Unknown error\n%s", query.c_str());
    message_ = buf.data();
}

// Result::Result - take over a stored result.
Result::Result(MYSQL* conn, MYSQL_RES* res, const std::string& query)
    : conn_(conn), res_(res), row_(nullptr), lengths_(nullptr),
      columns_(res != nullptr ? mysql_num_fields(res) : 0), query_(query)
{
}

Result::Result(Result&& other) noexcept
    : conn_(other.conn_), res_(other.res_), row_(other.row_), lengths_(other.lengths_),
      columns_(other.columns_), query_(std::move(other.query_))
{
    other.res_ = nullptr;
    other.row_ = nullptr;
}

Result::~Result()
{
    if (res_ != nullptr)
        mysql_free_result(res_);
}

// Result::next - fetch the next row.
bool Result::next()
{
    if (res_ == nullptr)
        return false;
    row_ = mysql_fetch_row(res_);
    if (row_ == nullptr) {
        if (mysql_errno(conn_) != 0)
            throw mError(conn_, query_);
        return false;
    }
    lengths_ = mysql_fetch_lengths(res_);
    return true;
}

// Result::checkIndex - refuse a read without a current row or past the columns.
void Result::checkIndex(unsigned int index) const
{
    if (row_ == nullptr)
        throw mError("no current row\n" + query_);
    if (index >= columns_)
        throw mError("no column " + std::to_string(index) + "\n" + query_);
}

// Result::value - column of the current row by position.
std::string Result::value(unsigned int index) const
{
    checkIndex(index);
    if (row_[index] == nullptr)
        return std::string();
    return std::string(row_[index], lengths_ != nullptr ? lengths_[index] : strlen(row_[index]));
}

// Result::value - column of the current row by name.
std::string Result::value(const char* column) const
{
    MYSQL_FIELD* fields = mysql_fetch_fields(res_);
    for (unsigned int i = 0; i < columns_; ++i)
        if (strcmp(fields[i].name, column) == 0)
            return value(i);
    throw mError(std::string("no column ") + column + "\n" + query_);
}

// Result::isNull - whether a column of the current row is NULL.
bool Result::isNull(unsigned int index) const
{
    checkIndex(index);
    return row_[index] == nullptr;
}

// Connection::Connection - optionally connect at once.
Connection::Connection(bool connectNow) : conn_(nullptr)
{
    if (connectNow)
        connect();
}

Connection::~Connection()
{
    close();
}

// Connection::connect - connect through the logging connection routine.
void Connection::connect()
{
    if (conn_ != nullptr)
        return;
    conn_ = db_connect();
    if (conn_ == nullptr)
        throw mError("connection failed");
}

// Connection::close - end the connection, if any.
void Connection::close()
{
    if (conn_ != nullptr) {
        mysql_close(conn_);
        conn_ = nullptr;
    }
}

// Connection::query - run a statement and store its result.
Result Connection::query(const std::string& text)
{
    if (conn_ == nullptr)
        throw mError("not connected\n" + text);
    if (mysql_real_query(conn_, text.data(), text.size()) != 0)
        throw mError(conn_, text);
    MYSQL_RES* res = mysql_store_result(conn_);
    if (res == nullptr && mysql_field_count(conn_) != 0)
        throw mError(conn_, text);
    return Result(conn_, res, text);
}

// Connection::execute - run a statement and drop any result.
void Connection::execute(const std::string& text)
{
    Result ignored = query(text);
    (void)ignored;
}

// Connection::escape - escape for use inside single quotes.
std::string Connection::escape(const std::string& text)
{
    if (conn_ == nullptr)
        throw mError("not connected");
    std::vector<char> buf(text.size() * 2 + 1);
    unsigned long n = mysql_real_escape_string(conn_, buf.data(), text.data(), text.size());
    if (n == static_cast<unsigned long>(-1))
        throw mError(conn_, text);
    return std::string(buf.data(), n);
}

} // namespace mysql
} // namespace ostra
