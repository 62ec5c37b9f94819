// handler_util.h - helpers shared by the handler store's modules: bounded
// path building, value files, registry listing, clean-up and the tmpfs sync.
#ifndef MAIL_HANDLERS_LIB_HANDLER_UTIL_H
#define MAIL_HANDLERS_LIB_HANDLER_UTIL_H

#include <stddef.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

namespace ostra {
namespace handlers {

// Every path of the store is built in a buffer of this size.
const size_t PATH_SIZE = 4096;

// A registry value must be shorter than this.
const size_t VALUE_LIMIT = 311;

// FreeDeleter, CStr - a malloc()ed string freed at scope exit.
struct FreeDeleter {
    void operator()(char* p) const { free(p); }
};
typedef std::unique_ptr<char, FreeDeleter> CStr;

// path_format - format into buf (PATH_SIZE bytes); false when it does not fit.
bool path_format(char* buf, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Results of read_value.
enum ReadValueStatus { VALUE_OK = 0, VALUE_MISSING = 1, VALUE_UNREADABLE = 2 };

// read_value - the first line of a file without surrounding white space, into
// *value (newly allocated). Logs nothing; errno tells why it failed.
ReadValueStatus read_value(const char* path, char** value);

// read_link - the target of a symbolic link, as long as readlink says; null
// with errno set on failure (ENAMETOOLONG when it does not fit).
char* read_link(const char* path);

// list_registry - names of the registry entries except dot names (".", ".."
// and the drafts of handler adds); a missing registry is an empty one. 0, or
// -1 after logging.
int list_registry(std::vector<std::string>& names);

// ensure_dir - create path and its missing parents (mode 0755, owner 0:0).
// 0, or -1 with errno set.
int ensure_dir(const char* path);

// remove_tree - delete a directory tree without following links; any
// failure ends the program.
void remove_tree(const char* path);

// queue_dir_cleanup - remove a queue directory if it is empty; errno kept.
void queue_dir_cleanup(const char* dir);

// handlers_refresh - run the tmpfs sync program with "refresh" when installed.
void handlers_refresh();

} // namespace handlers
} // namespace ostra

#endif
