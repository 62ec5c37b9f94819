// hsp_conf.h - the control panel's host configuration file "/etc/hsp/hsp.conf"
// and the NAME value store it is read into.
#ifndef OSTRA_HSP_CONF_H
#define OSTRA_HSP_CONF_H

#include <stddef.h>
#include <stdio.h>

// conf_entry - one NAME value pair; both strings are owned by the store.
typedef struct conf_entry {
    char* name;
    char* value;
} conf_entry;

// conf_data - a growable array of entries, sorted by name once finalized.
// A zero-initialised conf_data is an empty store.
typedef struct conf_data {
    conf_entry* data;
    size_t size;   // allocated capacity
    size_t nmemb;  // entries in use
    int finalized; // 1 when sorted by name
} conf_data;

// Indices of the host configuration settings (the program's handle for each).
// The first and last are bounds and never looked up.
enum hsp_conf_index {
    HSP_CONF_MIN_INDEX = 0,
    HSP_CONF_OSTRA_MAILNAMES_D = 1,
    HSP_CONF_COURIER_IMAP_ROOT_D = 2,
    HSP_CONF_RBLSMTPD = 3,
    HSP_CONF_CLIENT_PHP_BIN = 4,
    HSP_CONF_LIB_CRYPTO_PATH = 5,
    HSP_CONF_LIB_SSL_PATH = 6,
    HSP_CONF_AWSTATS_DOC_D = 7,
    HSP_CONF_AWSTATS_TOOLS_D = 8,
    HSP_CONF_AWSTATS_BIN_D = 9,
    HSP_CONF_AWSTATS_ETC_D = 10,
    HSP_CONF_CATALINA_HOME = 11,
    HSP_CONF_MAILMAN_VAR_D = 12,
    HSP_CONF_MAILMAN_ROOT_D = 13,
    HSP_CONF_PGSQL_DATA_D = 14,
    HSP_CONF_PGSQL_BIN_D = 15,
    HSP_CONF_MYSQL_BIN_D = 16,
    HSP_CONF_MYSQL_VAR_D = 17,
    HSP_CONF_WEB_STAT = 18,
    HSP_CONF_DUMP_D = 19,
    HSP_CONF_DUMP_TMP_D = 20,
    HSP_CONF_NAMED_RUN_ROOT_D = 21,
    HSP_CONF_FTPD_CONF_INC = 22,
    HSP_CONF_HTTPD_SERVICE = 23,
    HSP_CONF_HTTPD_LOG_D = 24,
    HSP_CONF_HTTPD_INCLUDE_D = 25,
    HSP_CONF_HTTPD_CONF_D = 26,
    HSP_CONF_HTTPD_VHOSTS_D = 27,
    HSP_CONF_PRODUCT_ROOT_D = 28,
    HSP_CONF_NAMED_OPTIONS_CONF = 29,
    HSP_CONF_NAMED_ZONES_CONF = 30,
    HSP_CONF_MAX_INDEX = 31
};

// The fixed location of the host configuration file.
#define HSP_CONF_PATH "/etc/hsp/hsp.conf"

// hspConfGet - value of a setting from the host configuration file, or null.
const char* hspConfGet(const char* name);

// hspConfGetByIndex - cached value of the setting at index, or null.
const char* hspConfGetByIndex(int index);

// hspConfGetDefaultByIndex - configured value at index, else its compiled-in default.
const char* hspConfGetDefaultByIndex(int index);

// hspConfNameByIndex - the setting name at index, or null outside the table.
const char* hspConfNameByIndex(int index);

// hspConfDefaultByIndex - the compiled-in default at index, or null outside the table.
const char* hspConfDefaultByIndex(int index);

// conf_read_file_r - read a configuration file into conf; 0 or -1 (errno kept).
int conf_read_file_r(const char* path, conf_data* conf);

// conf_read_stream_r - read configuration lines from an open stream; 0 or -1.
int conf_read_stream_r(FILE* in, conf_data* conf);

// conf_get_r - the value stored for name, or null.
const char* conf_get_r(const char* name, const conf_data* conf);

// conf_set_r - store copies of name and value; 0 or -1 when memory ran out.
int conf_set_r(const char* name, const char* value, conf_data* conf);

// conf_finalize_r - sort the entries by name for binary search.
void conf_finalize_r(conf_data* conf);

// conf_init_r - allocate or grow the entry array; 0 or -1.
int conf_init_r(conf_data* conf);

// conf_free_r - free every entry and the array; the store is empty again.
void conf_free_r(conf_data* conf);

#endif
