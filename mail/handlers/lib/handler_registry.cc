// handler_registry.cc - the handler registry: one directory of value files
// and an "executable" link per handler, looked up, added, replaced, removed.
#include "mail/handlers/lib/handlers.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "mail/handlers/lib/handler_util.h"
#include "mail/lib/mail_path.h"
#include "ostra/eintr.h"
#include "ostra/fd_write.h"
#include "ostra/log.h"
#include "ostra/str_util.h"

using ostra::handlers::CStr;
using ostra::handlers::path_format;
using ostra::handlers::PATH_SIZE;
using ostra::handlers::read_value;
using ostra::handlers::VALUE_LIMIT;
using ostra::handlers::VALUE_MISSING;
using ostra::handlers::VALUE_OK;

namespace {

const char* shown(const char* s)
{
    return s == nullptr ? "(null)" : s;
}

bool empty(const char* s)
{
    return s == nullptr || *s == '\0';
}

// create_empty_file - create or truncate path as an empty file of the mode.
int create_empty_file(const char* path, mode_t mode)
{
    int fd = ostra::retry_eintr(
        [&] { return open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode); });
    if (fd < 0)
        return -1;
    return close(fd);
}

// valid_priority - decimal digits only: a "-" would move the split of the name.
bool valid_priority(const char* priority)
{
    if (empty(priority))
        return false;
    for (const char* p = priority; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            return false;
    }
    return true;
}

// valid_hook - one path component that is not the registry's own directory.
bool valid_hook(const char* hook)
{
    return mail_path_component_ok(hook) && strcmp(hook, "info") != 0;
}

// absolute_executable - the link must work from the registry directory, so a
// relative program path is taken from the current directory.
CStr absolute_executable(const char* executable)
{
    if (executable[0] == '/')
        return CStr(asprintf_safe("%s", executable));
    char* cwd = getcwd(nullptr, 0);
    if (cwd == nullptr) {
        ostra_log(3, "Unable to get current directory: %s", strerror(errno));
        return CStr();
    }
    CStr result(asprintf_safe("%s/%s", cwd, executable));
    free(cwd);
    return result;
}

// remove_draft - best-effort removal of a draft directory, which holds only
// files and the link; what stays behind is skipped by every listing.
void remove_draft(const char* dir)
{
    DIR* d = opendir(dir);
    if (d != nullptr) {
        while (struct dirent* e = readdir(d)) {
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                unlinkat(dirfd(d), e->d_name, 0);
        }
        closedir(d);
    }
    rmdir(dir);
}

// RegistryDraft - a new handler's registry directory, built under a dot name
// that registry listings skip and renamed into place only when complete, so
// that a run killed half way leaves no handler without its entries. A draft
// left by a killed run is ignored, not removed: it may be a concurrent add.
class RegistryDraft {
public:
    RegistryDraft() { path_[0] = final_[0] = '\0'; }
    ~RegistryDraft()
    {
        if (path_[0] != '\0' && !published_) {
            int saved = errno;
            remove_draft(path_);
            errno = saved;
        }
    }
    RegistryDraft(const RegistryDraft&) = delete;
    RegistryDraft& operator=(const RegistryDraft&) = delete;

    // create - make the draft ".<priority>-<template>-XXXXXX" whose random part
    // no registered handler has; false after logging.
    bool create(const char* priority, const char* tmpl)
    {
        char pattern[PATH_SIZE];
        if (!path_format(final_, "%s/%s-%s-XXXXXX", HANDLERS_INFO_ROOT, priority, tmpl) ||
            !path_format(pattern, "%s/.%s-%s-XXXXXX", HANDLERS_INFO_ROOT, priority, tmpl)) {
            ostra_log(3,
                      "Name template '%s' or priority '%s' are too long to form a valid handler "
                      "name",
                      tmpl, priority);
            return false;
        }
        // The registry root is made on first use, like the queue directories.
        if (ostra::handlers::ensure_dir(HANDLERS_INFO_ROOT) != 0) {
            ostra_log(3, "Unable to create directory %s: %s", HANDLERS_INFO_ROOT, strerror(errno));
            return false;
        }
        const size_t random = strlen(final_) - 6;
        for (int attempt = 0; attempt < 100; ++attempt) {
            memcpy(path_, pattern, strlen(pattern) + 1);
            if (mkdtemp(path_) == nullptr) {
                ostra_log(3, "Unable to create directory %s: %s", pattern, strerror(errno));
                path_[0] = '\0';
                return false;
            }
            memcpy(final_ + random, path_ + strlen(path_) - 6, 6);
            struct stat st;
            if (lstat(final_, &st) != 0 && errno == ENOENT)
                break;
            // The random part names a handler already: draw again.
            rmdir(path_);
            path_[0] = '\0';
        }
        if (path_[0] == '\0') {
            ostra_log(3, "Unable to create directory %s: %s", pattern, strerror(EEXIST));
            return false;
        }
        if (chmod(path_, 0755) != 0) {
            ostra_log(3, "Unable to change permissions for directory '%s': %s", path_,
                      strerror(errno));
            return false;
        }
        return true;
    }

    // publish - rename the complete draft to the handler's name; rename(2)
    // never replaces a directory that holds entries, as every handler's does.
    bool publish()
    {
        if (rename(path_, final_) != 0) {
            ostra_log(3, "Unable to rename directory '%s' to '%s': %s", path_, final_,
                      strerror(errno));
            return false;
        }
        published_ = true;
        return true;
    }

    const char* path() const { return path_; }
    // name - the handler's name, the last component of its final path.
    const char* name() const { return strrchr(final_, '/') + 1; }

private:
    char path_[PATH_SIZE];
    char final_[PATH_SIZE];
    bool published_ = false;
};

// handler_register - steps 1 to 6 of mail_handler_add: check the arguments,
// write the registry directory as a draft and rename it into place. The new
// handler's name, or null after logging; a failed draft is removed.
CStr handler_register(const char* tmpl, const char* type, const char* typeName,
                      const char* executable, const char* context, const char* hook,
                      const char* priority)
{
    struct stat st;
    if (executable == nullptr || stat(executable, &st) != 0) {
        ostra_log(3, "Unable to stat executable '%s': %s", shown(executable),
                  executable == nullptr ? strerror(EINVAL) : strerror(errno));
        return CStr();
    }
    int typeIndex = handler_type_find(type);
    if (typeIndex < 0) {
        ostra_log(3, "Handler type is invalid: %s", shown(type));
        return CStr();
    }
    bool global = typeIndex == HANDLER_TYPE_GLOBAL;
    if (!global && empty(typeName)) {
        ostra_log(3, "HandlerTypeName parameter is not defined");
        return CStr();
    }
    // Every part below becomes a path component of the registry or a queue.
    if (empty(tmpl) || strchr(tmpl, '/') != nullptr) {
        ostra_log(3, "Invalid handler name template '%s'", shown(tmpl));
        return CStr();
    }
    if (!valid_priority(priority)) {
        ostra_log(3, "Invalid handler priority '%s': a decimal number is expected",
                  shown(priority));
        return CStr();
    }
    if (!valid_hook(hook)) {
        ostra_log(3, "Invalid hook '%s'", shown(hook));
        return CStr();
    }
    CStr lowered;
    if (!global) {
        lowered.reset(strtolower_dynamic(typeName));
        if (!lowered) {
            ostra_log(3, "Unable to convert HandlerTypeName to lowercase");
            return CStr();
        }
        if (!mail_path_component_ok(lowered.get()) || strlen(lowered.get()) >= VALUE_LIMIT) {
            ostra_log(3, "Invalid handler type name '%s'", typeName);
            return CStr();
        }
    }
    if (context != nullptr &&
        (strchr(context, '\n') != nullptr || strlen(context) >= VALUE_LIMIT)) {
        ostra_log(3, "Invalid handler context '%s'", context);
        return CStr();
    }
    CStr program = absolute_executable(executable);
    if (!program)
        return CStr();

    RegistryDraft draft;
    if (!draft.create(priority, tmpl))
        return CStr();
    const char* dir = draft.path();
    const char* canonical = handler_types[typeIndex];
    if (string_to_file(dir, "hook", hook) != 0 || string_to_file(dir, "context", context) != 0 ||
        string_to_file(dir, "handler-type", canonical) != 0 ||
        (!global && string_to_file(dir, canonical, lowered.get()) != 0)) {
        ostra_log(3, "Unable to store handler parameters into directory '%s'", dir);
        return CStr();
    }
    char path[PATH_SIZE];
    if (global) {
        if (!path_format(path, "%s/global", dir)) {
            ostra_log(3, "global handler flag name is too long to be stored in the filesystem");
            return CStr();
        }
        if (create_empty_file(path, 0644) != 0) {
            ostra_log(3, "Unable to create file '%s'", path);
            return CStr();
        }
    }
    if (!path_format(path, "%s/executable", dir)) {
        ostra_log(3, "executable link name is too long to be stored in the filesystem");
        return CStr();
    }
    if (symlink(program.get(), path) != 0 && errno != EEXIST) {
        ostra_log(3, "Unable to symlink '%s' to '%s'", program.get(), path);
        return CStr();
    }
    if (!draft.publish())
        return CStr();
    return CStr(asprintf_safe("%s", draft.name()));
}

// parameter_path - the registry path of one value of a handler.
bool parameter_path(char* path, const char* handlerName, const char* param)
{
    return path_format(path, "%s/%s/%s", HANDLERS_INFO_ROOT, handlerName, param);
}

// matching_value - read one value of a candidate and compare it; -1 when it
// cannot be read (the search ends), else 1 for a match and 0 otherwise.
int matching_value(const char* entry, const char* param, const char* wanted, bool caseBlind)
{
    char path[PATH_SIZE];
    if (!parameter_path(path, entry, param)) {
        ostra_log(3, "Path '%s/%s/%s' is too long to be stored in the filesystem",
                  HANDLERS_INFO_ROOT, entry, param);
        return -1;
    }
    char* raw = nullptr;
    if (read_value(path, &raw) != VALUE_OK) {
        ostra_log(3, "Unable to get string from file: %s\n", path);
        return -1;
    }
    CStr value(raw);
    int same = caseBlind ? strcasecmp(value.get(), wanted) : strcmp(value.get(), wanted);
    return same == 0 ? 1 : 0;
}

} // namespace

// string_to_file - one value file: the value, a newline, mode 0644.
int string_to_file(const char* dir, const char* name, const char* value)
{
    if (empty(value))
        return 0;
    char path[PATH_SIZE];
    if (!path_format(path, "%s/%s", shown(dir), shown(name))) {
        messlog2(0, 0, "Unable to create file '%s/%s'", shown(dir), shown(name));
        return -1;
    }
    // A value must read back as written: one line, below the length limit.
    if (strchr(value, '\n') != nullptr || strlen(value) >= VALUE_LIMIT) {
        errno = 0;
        messlog2(0, 0, "Unable to add string '%s' to '%s': not a single line below %zu characters",
                 value, path, VALUE_LIMIT);
        return -1;
    }
    int fd = ostra::retry_eintr(
        [&] { return open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644); });
    if (fd < 0) {
        messlog2(0, 0, "Unable to create file '%s'", path);
        return -1;
    }
    std::string line = std::string(value) + "\n";
    bool ok = ostra::write_all(fd, line.data(), line.size()) == 0 && fchmod(fd, 0644) == 0;
    int saved = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        errno = saved;
        messlog2(0, 0, "Unable to add string '%s' to '%s'", value, path);
        return -1;
    }
    return 0;
}

// get_handler_parameter - read one registry value of a handler.
char* get_handler_parameter(const char* handlerName, const char* param)
{
    char path[PATH_SIZE];
    if (!parameter_path(path, shown(handlerName), shown(param))) {
        ostra_log(3,
                  "either handler name '%s' or param '%s' are too long to be stored in the "
                  "filesystem",
                  shown(handlerName), shown(param));
        return nullptr;
    }
    char* value = nullptr;
    switch (read_value(path, &value)) {
    case VALUE_OK:
        return value;
    case VALUE_MISSING:
        ostra_log(3, "No such parameter '%s' for handler '%s'", shown(param), shown(handlerName));
        return nullptr;
    default:
        ostra_log(3, "Unable to get string from file: %s\n", path);
        return nullptr;
    }
}

// get_handler_name - the first registry entry in listing order that matches.
char* get_handler_name(const char* tmpl, const char* type, const char* typeName, const char* hook)
{
    if (empty(tmpl) || empty(hook)) {
        ostra_log(3, "Some parameter(s) were not defined");
        return nullptr;
    }
    int typeIndex = handler_type_find(type);
    if (typeIndex < 0) {
        ostra_log(3, "Invalid handler type '%s'", shown(type));
        return nullptr;
    }
    bool global = typeIndex == HANDLER_TYPE_GLOBAL;
    if (!global && empty(typeName)) {
        ostra_log(3, "Some parameter was not defined");
        return nullptr;
    }
    std::vector<std::string> entries;
    if (ostra::handlers::list_registry(entries) != 0)
        return nullptr;
    for (const std::string& entry : entries) {
        const char* name = entry.c_str();
        if (strstr(name, tmpl) == nullptr)
            continue;
        int r = matching_value(name, "hook", hook, false);
        if (r == 1)
            r = matching_value(name, "handler-type", type, false);
        if (r == 1 && !global)
            r = matching_value(name, type, typeName, true);
        if (r < 0)
            return nullptr;
        if (r == 1)
            return asprintf_safe("%s", name);
    }
    return nullptr;
}

// mail_handler_add - register a handler, then enable or disable it.
int mail_handler_add(const char* tmpl, const char* type, const char* typeName,
                     const char* executable, const char* context, const char* hook,
                     const char* priority, int action)
{
    CStr name = handler_register(tmpl, type, typeName, executable, context, hook, priority);
    if (!name)
        return -1;
    return control_handler_queue(name.get(), nullptr, action);
}

// mail_handler_remove - take the handler out of its queue, then out of the registry.
int mail_handler_remove(const char* handlerName)
{
    char dir[PATH_SIZE];
    if (!path_format(dir, "%s/%s", HANDLERS_INFO_ROOT, shown(handlerName))) {
        ostra_log(3, "handler name is too long to form a valid filesystem object name");
        return -1;
    }
    // "", "." or a "/" would make the recursive removal hit the registry itself.
    if (!mail_path_component_ok(handlerName)) {
        ostra_log(3, "Invalid handler name '%s'", shown(handlerName));
        return -1;
    }
    int r = control_handler_queue(handlerName, nullptr, HOOK_DISABLE);
    if (r != 0)
        return r;
    ostra::handlers::remove_tree(dir);
    ostra::handlers::handlers_refresh();
    return 0;
}

// mail_handler_update - replace a handler by a new one with the changed values.
int mail_handler_update(const char* tmpl, const char* type, const char* typeName,
                        const char* executable, const char* context, const char* hook,
                        const char* priority)
{
    CStr old(get_handler_name(tmpl, type, typeName, hook));
    if (!old) {
        ostra_log(3, "Handler %s for %s does not exist in queue %s", shown(tmpl), shown(typeName),
                  shown(hook));
        return -1;
    }
    CStr program;
    if (!empty(executable)) {
        struct stat st;
        if (stat(executable, &st) != 0) {
            ostra_log(3, "Unable to stat executable '%s': %s", executable, strerror(errno));
            return -1;
        }
        program.reset(asprintf_safe("%s", executable));
    } else {
        char link[PATH_SIZE];
        if (!path_format(link, "%s/%s/executable", HANDLERS_INFO_ROOT, old.get())) {
            ostra_log(3, "handler name '%s' is too long to form a valid filesystem object name",
                      old.get());
            return -1;
        }
        program.reset(ostra::handlers::read_link(link));
        if (!program) {
            // Without a program the new handler cannot be made: stop while the old one is intact.
            ostra_log(4, "Unable to fetch executable link target: %s", strerror(errno));
            return -1;
        }
    }
    CStr storedContext;
    if (empty(context)) {
        storedContext.reset(get_handler_parameter(old.get(), "context"));
        if (!storedContext)
            return -1;
        context = storedContext.get();
    }
    std::string oldPriority;
    if (empty(priority)) {
        const char* dash = strchr(old.get(), '-');
        if (dash == nullptr) {
            ostra_log(3, handler_name_error(HANDLER_NAME_NO_PRIORITY), old.get());
            return -1;
        }
        oldPriority.assign(old.get(), static_cast<size_t>(dash - old.get()));
        priority = oldPriority.c_str();
    }
    bool enabled = control_handler_queue(old.get(), nullptr, HOOK_CHECK) != 0;

    // The replacement is registered before the old handler goes, so a failing
    // update leaves the old handler as it was.
    CStr fresh = handler_register(tmpl, type, typeName, program.get(), context, hook, priority);
    if (!fresh)
        return -1;
    if (mail_handler_remove(old.get()) != 0) {
        mail_handler_remove(fresh.get());
        return -1;
    }
    return control_handler_queue(fresh.get(), nullptr, enabled ? HOOK_ENABLE : HOOK_DISABLE);
}
