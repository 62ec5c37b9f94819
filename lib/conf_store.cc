// conf_store.cc - the NAME value store and the reader of configuration files.
#include "ostra/hsp_conf.h"

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "ostra/log.h"

// Configuration diagnostics are logged above the default level: silent unless asked for.
static const int CONF_LOG_LEVEL = 12;
static const size_t CONF_INITIAL_SIZE = 20;

// conf_init_r - allocate the array, or grow it when it is full.
int conf_init_r(conf_data* conf)
{
    if (conf == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (conf->data != nullptr && conf->nmemb < conf->size)
        return 0;
    size_t size = CONF_INITIAL_SIZE;
    if (conf->data != nullptr) {
        size = conf->size * 2;
        if (size <= conf->nmemb)
            size = conf->nmemb + CONF_INITIAL_SIZE;
    }
    if (size > static_cast<size_t>(-1) / sizeof(conf_entry)) {
        errno = ENOMEM;
        return -1;
    }
    void* data = realloc(conf->data, size * sizeof(conf_entry));
    if (data == nullptr)
        return -1;
    conf->data = static_cast<conf_entry*>(data);
    conf->size = size;
    return 0;
}

// conf_free_r - free every entry and the array.
void conf_free_r(conf_data* conf)
{
    if (conf == nullptr)
        return;
    for (size_t i = 0; i < conf->nmemb; ++i) {
        free(conf->data[i].name);
        free(conf->data[i].value);
    }
    free(conf->data);
    conf->data = nullptr;
    conf->size = 0;
    conf->nmemb = 0;
    conf->finalized = 0;
}

// entry_compare - order entries by name.
static int entry_compare(const void* a, const void* b)
{
    return strcmp(static_cast<const conf_entry*>(a)->name, static_cast<const conf_entry*>(b)->name);
}

// conf_finalize_r - sort by name so that lookups can search by halves.
void conf_finalize_r(conf_data* conf)
{
    if (conf == nullptr)
        return;
    if (conf->nmemb > 1)
        qsort(conf->data, conf->nmemb, sizeof(conf_entry), entry_compare);
    conf->finalized = 1;
}

// find_entry - the entry for name, or null.
static conf_entry* find_entry(const char* name, const conf_data* conf)
{
    if (conf->data == nullptr)
        return nullptr;
    if (conf->finalized) {
        conf_entry key = {const_cast<char*>(name), nullptr};
        return static_cast<conf_entry*>(
            bsearch(&key, conf->data, conf->nmemb, sizeof(conf_entry), entry_compare));
    }
    for (size_t i = 0; i < conf->nmemb; ++i)
        if (strcmp(conf->data[i].name, name) == 0)
            return &conf->data[i];
    return nullptr;
}

// conf_get_r - the value stored for name, or null.
const char* conf_get_r(const char* name, const conf_data* conf)
{
    if (name == nullptr || conf == nullptr)
        return nullptr;
    const conf_entry* entry = find_entry(name, conf);
    return entry != nullptr ? entry->value : nullptr;
}

// conf_set_r - replace the value of an existing name, or append a new entry.
int conf_set_r(const char* name, const char* value, conf_data* conf)
{
    if (name == nullptr || value == nullptr || conf == nullptr) {
        errno = EINVAL;
        return -1;
    }
    char* copy = strdup(value);
    if (copy == nullptr)
        return -1;
    if (conf_entry* entry = find_entry(name, conf)) {
        free(entry->value);
        entry->value = copy;
        return 0;
    }
    char* name_copy = strdup(name);
    if (name_copy == nullptr || conf_init_r(conf) != 0) {
        int saved = errno;
        free(name_copy);
        free(copy);
        errno = saved;
        return -1;
    }
    conf->data[conf->nmemb].name = name_copy;
    conf->data[conf->nmemb].value = copy;
    conf->nmemb++;
    conf->finalized = 0;
    return 0;
}

// is_name_char - letters, digits and "_" make up a setting name.
static bool is_name_char(char c)
{
    return isalnum(static_cast<unsigned char>(c)) || c == '_';
}

static bool is_space(char c)
{
    return isspace(static_cast<unsigned char>(c)) != 0;
}

// parse_line - store one NAME value line; 0, or -1 when the store ran out of memory.
static int parse_line(char* line, conf_data* conf)
{
    size_t len = strlen(line);
    if (len > 0 && line[len - 1] == '\n')
        line[len - 1] = '\0'; // keeps the logged rest of the line on one line
    char* p = line;
    while (is_space(*p))
        ++p;
    if (*p == '\0' || *p == '#')
        return 0;

    char* name = p;
    while (is_name_char(*p))
        ++p;
    if (p == name || !is_space(*p)) {
        ostra_log(CONF_LOG_LEVEL,
                  "Invalid variable definition %s\nExpected a space after variable name\n", name);
        return 0;
    }
    *p++ = '\0';

    while (is_space(*p))
        ++p;
    if (*p == '\0' || *p == '#') {
        ostra_log(CONF_LOG_LEVEL, "Invalid variable definition %s\nExpected a value", name);
        return 0;
    }
    char* value = p;
    char* end = strchr(value + 1, '#');
    if (end == nullptr)
        end = value + strlen(value);
    while (end > value && is_space(end[-1]))
        --end;
    *end = '\0';
    return conf_set_r(name, value, conf);
}

// conf_read_stream_r - read every line of in into conf, then sort it.
int conf_read_stream_r(FILE* in, conf_data* conf)
{
    if (in == nullptr || conf == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (conf_init_r(conf) != 0) {
        int saved = errno;
        ostra_log(CONF_LOG_LEVEL, "Unable to read configuration: %s", strerror(saved));
        errno = saved;
        return -1;
    }
    char* line = nullptr;
    size_t capacity = 0;
    int result = 0;
    for (;;) {
        errno = 0;
        if (getline(&line, &capacity, in) < 0) {
            int saved = errno;
            if (saved == ENOMEM) {
                ostra_log(CONF_LOG_LEVEL, "Unable to read configuration: %s", strerror(saved));
                result = -1;
            } else if (ferror(in)) {
                ostra_log(CONF_LOG_LEVEL, "Unable to read configuration file: %s", strerror(saved));
                result = -1;
            }
            errno = saved;
            break;
        }
        if (parse_line(line, conf) != 0) {
            int saved = errno;
            ostra_log(CONF_LOG_LEVEL, "Unable to form configuration: %s", strerror(saved));
            errno = saved;
            result = -1;
            break;
        }
    }
    int saved = errno;
    free(line);
    if (result == 0)
        conf_finalize_r(conf);
    errno = saved;
    return result;
}

// conf_read_file_r - open path and read it into conf.
int conf_read_file_r(const char* path, conf_data* conf)
{
    if (path == nullptr || conf == nullptr) {
        errno = EINVAL;
        return -1;
    }
    FILE* in = fopen(path, "re");
    if (in == nullptr) {
        int saved = errno;
        ostra_log(CONF_LOG_LEVEL, "unable to open configuration file %s: %s\n", path,
                  strerror(saved));
        errno = saved;
        return -1;
    }
    int result = conf_read_stream_r(in, conf);
    int saved = errno;
    fclose(in);
    errno = saved;
    return result;
}
