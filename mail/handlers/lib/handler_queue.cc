// handler_queue.cc - the queues of markers: one action on one handler, and
// the same action over every handler of a template or of an address/domain.
#include "mail/handlers/lib/handlers.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "mail/handlers/lib/handler_util.h"
#include "mail/lib/mail_path.h"
#include "ostra/eintr.h"
#include "ostra/log.h"

using ostra::handlers::CStr;
using ostra::handlers::path_format;
using ostra::handlers::PATH_SIZE;

namespace {

const char* shown(const char* s)
{
    return s == nullptr ? "(null)" : s;
}

// enable_marker - create the queue directory and the (empty) marker.
int enable_marker(const char* queueDir, const char* marker, const char* hook)
{
    if (ostra::handlers::ensure_dir(queueDir) != 0)
        messlog2(1, 0, "Cannot create directory %s: %s", queueDir, strerror(errno));
    int fd = ostra::retry_eintr(
        [&] { return open(marker, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644); });
    if (fd < 0 || close(fd) != 0) {
        ostra_log(3, "Unable to add hook '%s' to directory '%s': %s", hook, queueDir,
                  strerror(errno));
        return -1;
    }
    return 0;
}

// disable_marker - delete the marker; one that is not there is disabled already.
int disable_marker(const char* queueDir, const char* marker, const char* hook)
{
    if (unlink(marker) != 0 && errno != ENOENT) {
        ostra_log(3, "Unable to remove hook '%s' from directory '%s': %s", hook, queueDir,
                  strerror(errno));
        return -1;
    }
    return 0;
}

// clone_handler - a copy of the handler for newTypeName, enabled, unless such
// a handler exists; *existing receives the name of that one.
int clone_handler(const char* handlerName, const char* type, const char* hook,
                  const char* newTypeName, CStr* existing)
{
    handler_name_parts parts;
    if (handler_name_split(handlerName, &parts) != 0)
        return -1;
    std::string tmpl(parts.tmpl, parts.template_len);
    std::string priority(parts.priority, parts.priority_len);
    existing->reset(get_handler_name(tmpl.c_str(), type, newTypeName, hook));
    if (*existing)
        return 0;

    char link[PATH_SIZE];
    if (!path_format(link, "%s/%s/executable", HANDLERS_INFO_ROOT, handlerName)) {
        ostra_log(3, "HandlerName '%s' is too long to form a valid hook filename", handlerName);
        return -1;
    }
    CStr target(ostra::handlers::read_link(link));
    if (!target) {
        ostra_log(3, "Unable to get executable file name for handler\n");
        return -1;
    }
    CStr context(get_handler_parameter(handlerName, "context"));
    if (!context)
        return -1;
    return mail_handler_add(tmpl.c_str(), type, newTypeName, target.get(), context.get(), hook,
                            priority.c_str(), HOOK_ENABLE);
}

// count_failure - note an action that did not return 0.
void count_failure(int result, int* errors)
{
    if (result != 0)
        ++*errors;
}

// mass_result - the common end of the mass operations.
int mass_result(int errors)
{
    if (errors == 0)
        return 0;
    ostra_log(3, "Some errors was occured in mass hook operation. errors: %i", errors);
    return -1;
}

} // namespace

// control_handler_queue - read the handler's place in the queues, apply the
// action, sync the tmpfs copy and drop the queue directory once empty.
int control_handler_queue(const char* handlerName, const char* newTypeName, int action)
{
    CStr type(get_handler_parameter(handlerName, "handler-type"));
    if (!type) {
        ostra_log(3, "Unable to fetch 'handler-type' parameter value for handler '%s'",
                  shown(handlerName));
        return -1;
    }
    int typeIndex = handler_type_find(type.get());
    if (typeIndex < 0) {
        ostra_log(3, "Invalid handler type '%s' for handler '%s'", type.get(), handlerName);
        return -1;
    }
    const char* canonical = handler_types[typeIndex];
    bool global = typeIndex == HANDLER_TYPE_GLOBAL;
    CStr hook(get_handler_parameter(handlerName, "hook"));
    if (!hook) {
        ostra_log(3, "Unable to fetch 'hook' parameter value for handler '%s'", handlerName);
        return -1;
    }
    CStr value;
    if (!global) {
        value.reset(get_handler_parameter(handlerName, canonical));
        if (!value) {
            ostra_log(3, "Unable to fetch '%s' parameter value for handler '%s'", canonical,
                      handlerName);
            return -1;
        }
    }
    // Stored values become path components of the queue: never let one climb out.
    if (!mail_path_component_ok(hook.get()) || (!global && !mail_path_component_ok(value.get()))) {
        ostra_log(3, "handler parameters values are not valid filesystem object names");
        return -1;
    }

    char queueDir[PATH_SIZE];
    bool fits = global ? path_format(queueDir, "%s/%s/global", HANDLERS_QUEUE_ROOT, hook.get())
                       : path_format(queueDir, "%s/%s/%s/%s", HANDLERS_QUEUE_ROOT, hook.get(),
                                     canonical, value.get());
    if (!fits) {
        ostra_log(3,
                  "handler parameters values are too long to form a valid filesystem object name");
        return -1;
    }
    char marker[PATH_SIZE];
    if (!path_format(marker, "%s/%s", queueDir, handlerName)) {
        ostra_log(3, "handler name is too long to form a valid filesystem object name");
        return -1;
    }

    int result;
    switch (action) {
    case HOOK_DELETE:
        result = mail_handler_remove(handlerName);
        break;
    case HOOK_ENABLE:
        result = enable_marker(queueDir, marker, hook.get());
        break;
    case HOOK_DISABLE:
        result = disable_marker(queueDir, marker, hook.get());
        break;
    case HOOK_CHECK: {
        struct stat st;
        return lstat(marker, &st) == 0 ? 1 : 0;
    }
    case HOOK_CLONE: {
        CStr existing;
        result = clone_handler(handlerName, canonical, hook.get(), newTypeName, &existing);
        break;
    }
    case HOOK_MOVE: {
        CStr existing;
        result = clone_handler(handlerName, canonical, hook.get(), newTypeName, &existing);
        // The "existing" handler may be this one (the same value in other
        // letter case): removing it then would lose it.
        if (result == 0 && !(existing && strcmp(existing.get(), handlerName) == 0))
            result = mail_handler_remove(handlerName);
        break;
    }
    default:
        ostra_log(3, "UKNOWN ACTION %d requested for handler %s", action, handlerName);
        return -1;
    }
    ostra::handlers::handlers_refresh();
    ostra::handlers::queue_dir_cleanup(queueDir);
    return result;
}

// mass_control_handler_queue - one action over the handlers of a template.
int mass_control_handler_queue(const char* tmpl, int action)
{
    if (tmpl == nullptr || *tmpl == '\0') {
        ostra_log(3, "Some parameter(s) were not defined");
        return -1;
    }
    std::vector<std::string> entries;
    if (ostra::handlers::list_registry(entries) != 0)
        return -1;
    bool all = strcmp(tmpl, "all") == 0;
    size_t len = strlen(tmpl);
    int errors = 0;
    for (const std::string& entry : entries) {
        const char* name = entry.c_str();
        if (!all) {
            handler_name_parts parts;
            if (handler_name_split(name, &parts) != 0) {
                ++errors;
                continue;
            }
            if (parts.template_len != len || strncmp(parts.tmpl, tmpl, len) != 0)
                continue;
        }
        count_failure(control_handler_queue(name, nullptr, action), &errors);
    }
    return mass_result(errors);
}

// mass_control_handler_by_mailname - one action over the handlers of an
// address or domain, and of the addresses in that domain.
int mass_control_handler_by_mailname(const char* name, const char* newName, int action)
{
    // An empty name would match the empty value of every global handler.
    if (name == nullptr || *name == '\0') {
        ostra_log(3, "Some parameter was not defined");
        return -1;
    }
    std::vector<std::string> entries;
    if (ostra::handlers::list_registry(entries) != 0)
        return -1;
    bool domain = strchr(name, '@') == nullptr;
    bool renamed = newName != nullptr && *newName != '\0';
    int errors = 0;
    for (const std::string& entry : entries) {
        const char* handler = entry.c_str();
        CStr type(get_handler_parameter(handler, "handler-type"));
        if (!type) {
            ostra_log(3, "Unable to get type of handler: %s\n", handler);
            ++errors;
            continue;
        }
        CStr value(get_handler_parameter(handler, type.get()));
        if (!value) {
            ostra_log(3, "Unable to get mailname from handler: %s\n", handler);
            ++errors;
            continue;
        }
        int result = 0;
        // Values are stored lower-cased; the caller's spelling may not be.
        if (strcasecmp(value.get(), name) == 0) {
            result = control_handler_queue(handler, newName, action);
        } else {
            const char* at = domain ? strrchr(value.get(), '@') : nullptr;
            if (at == nullptr || strcasecmp(at + 1, name) != 0)
                continue;
            CStr newValue;
            if (renamed)
                newValue.reset(asprintf_safe("%.*s@%s", static_cast<int>(at - value.get()),
                                             value.get(), newName));
            result = control_handler_queue(handler, newValue.get(), action);
        }
        if (result != 0) {
            ostra_log(3, "Unable to exec action for handler: %s\n", handler);
            ++errors;
        }
    }
    return mass_result(errors);
}
