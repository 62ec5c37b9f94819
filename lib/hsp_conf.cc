// hsp_conf.cc - lookups in the host configuration file, with compiled-in defaults.
#include "ostra/hsp_conf.h"

#include <stddef.h>

namespace {

struct HspConfVar {
    const char* name;
    const char* value;
};

const HspConfVar hsp_conf_defaults[HSP_CONF_MAX_INDEX + 1] = {
    {"_MIN_POSSIBLE_HSP_CONF_VAR_NAME", "_MIN_POSSIBLE_HSP_CONF_VAR_VALUE"},
    {"OSTRA_MAILNAMES_D", "/var/qmail/mailnames"},
    {"COURIER_IMAP_ROOT_D", "/"},
    {"RBLSMTPD", "/usr/sbin/rblsmtpd"},
    {"CLIENT_PHP_BIN", "/usr/local/hsp/bin/php-cli"},
    {"LIB_CRYPTO_PATH", "/lib/libcrypto.so"},
    {"LIB_SSL_PATH", "/lib/libssl.so"},
    {"AWSTATS_DOC_D", "/usr/share/apache2/icons/awstats"},
    {"AWSTATS_TOOLS_D", "/usr/share/awstats"},
    {"AWSTATS_BIN_D", "/srv/www/cgi-bin/awstats"},
    {"AWSTATS_ETC_D", "/etc/awstats"},
    {"CATALINA_HOME", "/usr/share/tomcat6"},
    {"MAILMAN_VAR_D", "/var/lib/mailman"},
    {"MAILMAN_ROOT_D", "/usr/lib/mailman"},
    {"PGSQL_DATA_D", "/var/lib/pgsql/data"},
    {"PGSQL_BIN_D", "/usr/bin"},
    {"MYSQL_BIN_D", "/usr/bin"},
    {"MYSQL_VAR_D", "/var/lib/mysql"},
    {"WEB_STAT", "/usr/bin/webalizer"},
    {"DUMP_D", "/var/lib/hsp/dumps"},
    {"DUMP_TMP_D", "/tmp"},
    {"NAMED_RUN_ROOT_D", "/var/lib/named"},
    {"FTPD_CONF_INC", "/etc/proftpd.include"},
    {"HTTPD_SERVICE", "apache2"},
    {"HTTPD_LOG_D", "/var/log/apache2"},
    {"HTTPD_INCLUDE_D", "/etc/apache2/conf.d"},
    {"HTTPD_CONF_D", "/etc/apache2"},
    {"HTTPD_VHOSTS_D", "/srv/www/vhosts"},
    {"PRODUCT_ROOT_D", "/usr/local/hsp"},
    {"NAMED_OPTIONS_CONF", "/etc/named.conf.include.ostra-options"},
    {"NAMED_ZONES_CONF", "/etc/named.conf.include.ostra-zones"},
    {"_MAX_POSSIBLE_HSP_CONF_VAR_NAME", "_MAX_POSSIBLE_HSP_CONF_VAR_VALUE"},
};

// The host configuration, read once per process, and the by-index results.
conf_data hsp_conf;
bool hsp_conf_read = false;
const char* hsp_conf_cache[HSP_CONF_MAX_INDEX + 1];

// valid_index - the bounds rows are never looked up.
bool valid_index(int index)
{
    return index > HSP_CONF_MIN_INDEX && index < HSP_CONF_MAX_INDEX;
}

} // namespace

// hspConfGet - read the file on first use (again after a failure), then look name up.
const char* hspConfGet(const char* name)
{
    if (name == nullptr)
        return nullptr;
    if (!hsp_conf_read) {
        if (conf_read_file_r(HSP_CONF_PATH, &hsp_conf) != 0) {
            conf_free_r(&hsp_conf);
            return nullptr;
        }
        hsp_conf_read = true;
    }
    return conf_get_r(name, &hsp_conf);
}

// hspConfGetByIndex - the configured value at index, cached once found.
const char* hspConfGetByIndex(int index)
{
    if (!valid_index(index))
        return nullptr;
    if (hsp_conf_cache[index] == nullptr)
        hsp_conf_cache[index] = hspConfGet(hsp_conf_defaults[index].name);
    return hsp_conf_cache[index];
}

// hspConfGetDefaultByIndex - the configured value, else the compiled-in default.
const char* hspConfGetDefaultByIndex(int index)
{
    if (!valid_index(index))
        return nullptr;
    const char* value = hspConfGetByIndex(index);
    return value != nullptr ? value : hsp_conf_defaults[index].value;
}

// hspConfNameByIndex - the setting name at index.
const char* hspConfNameByIndex(int index)
{
    return valid_index(index) ? hsp_conf_defaults[index].name : nullptr;
}

// hspConfDefaultByIndex - the compiled-in default at index.
const char* hspConfDefaultByIndex(int index)
{
    return valid_index(index) ? hsp_conf_defaults[index].value : nullptr;
}
