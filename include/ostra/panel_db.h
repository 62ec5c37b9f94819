// panel_db.h - client of the control panel's database (read only).
#ifndef OSTRA_PANEL_DB_H
#define OSTRA_PANEL_DB_H

#include <stddef.h>

#include <exception>
#include <string>

#include <mysql.h>

// File whose first line is the panel administrator's database password.
#define OSTRA_DB_PASSWORD_FILE "/etc/hsp/.hsp.shadow"
#define OSTRA_DB_HOST "localhost"
#define OSTRA_DB_USER "admin"
#define OSTRA_DB_NAME "hsp"

// ostra_db_connect - connect to the panel database; null with the reason in
//                    reason[size] (may be null/0) on failure.
MYSQL* ostra_db_connect(char* reason, size_t size);

// db_connect - ostra_db_connect, logging the reason through messlog2.
MYSQL* db_connect();

// db_connect_nothrow - ostra_db_connect, leaving the reason in the caller's buffer.
MYSQL* db_connect_nothrow(char* reason, size_t size);

// exec_mysql_query - run query on conn (null: a connection of its own, closed
//                    again) and append the first column of every row to *list,
//                    a null-terminated array freed with free_array; 0 or -1.
int exec_mysql_query(MYSQL* conn, const char* query, char*** list);

// mysql_format_query - fmt with every "%s" replaced by the next argument (a
//                      const char*) escaped for conn, for use inside quotes;
//                      "%%" is one "%", other conversions are refused. A new
//                      string (free()), or null with errno EINVAL.
char* mysql_format_query(MYSQL* conn, const char* fmt, ...);

// exec_mysql_queryf - exec_mysql_query of mysql_format_query(fmt, ...) on conn
//                     (null: a connection of its own, closed again); 0 or -1.
int exec_mysql_queryf(MYSQL* conn, char*** list, const char* fmt, ...);

namespace ostra {
namespace mysql {

// mError - a failure of the panel database client.
class mError : public std::exception {
public:
    explicit mError(const char* message);
    explicit mError(const std::string& message);
    // "Mysql error %d: %s\n%s" from the client's error state, or
    // "Unknown error\n%s" when the client reports none.
    mError(MYSQL* conn, const std::string& query);
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Result - the stored rows of one query, read one row at a time.
class Result {
public:
    Result(Result&& other) noexcept;
    Result& operator=(Result&&) = delete;
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    ~Result();

    // next - advance to the next row; false when there are no more rows.
    //        Throws mError when the fetch fails.
    bool next();
    // value - column of the current row by name; "" for NULL. Throws mError
    //         for an unknown column or when there is no current row.
    std::string value(const char* column) const;
    // value - column of the current row by position; "" for NULL.
    std::string value(unsigned int index) const;
    // isNull - whether a column of the current row is NULL.
    bool isNull(unsigned int index) const;
    unsigned int columns() const { return columns_; }

private:
    friend class Connection;
    Result(MYSQL* conn, MYSQL_RES* res, const std::string& query);
    void checkIndex(unsigned int index) const;

    MYSQL* conn_;
    MYSQL_RES* res_;
    MYSQL_ROW row_;
    unsigned long* lengths_;
    unsigned int columns_;
    std::string query_;
};

// Connection - one connection to the panel database, closed by the destructor.
class Connection {
public:
    // With connectNow, connects at once (see connect()).
    explicit Connection(bool connectNow = false);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // connect - connect through db_connect (which logs the reason);
    //           throws mError("connection failed"). No-op when connected.
    void connect();
    void close();
    bool connected() const { return conn_ != nullptr; }
    // get - the client handle for the plain functions; null when not connected.
    MYSQL* get() const { return conn_; }

    // query - run a statement and store its whole result; throws mError
    //         (with the client's error) on failure or when not connected.
    Result query(const std::string& text);
    // execute - run a statement that returns no rows; throws mError.
    void execute(const std::string& text);
    // escape - text escaped for use inside single quotes on this connection.
    std::string escape(const std::string& text);

private:
    MYSQL* conn_;
};

} // namespace mysql
} // namespace ostra

#endif
