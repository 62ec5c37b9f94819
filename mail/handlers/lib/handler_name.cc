// handler_name.cc - the handler type table and the parts of a handler name.
#include "mail/handlers/lib/handlers.h"

#include <string.h>
#include <strings.h>

#include "ostra/log.h"

const char* const handler_types[HANDLER_TYPE_COUNT + 1] = {
    "sender", "recipient", "sender-domain", "recipient-domain", "global", nullptr};

// handler_type_find - case-blind lookup in the type table.
int handler_type_find(const char* type)
{
    if (type == nullptr)
        return -1;
    for (int i = 0; i < HANDLER_TYPE_COUNT; ++i) {
        if (strcasecmp(type, handler_types[i]) == 0)
            return i;
    }
    return -1;
}

// handler_type_canonical - the table's spelling of type.
const char* handler_type_canonical(const char* type)
{
    int i = handler_type_find(type);
    return i < 0 ? nullptr : handler_types[i];
}

// handler_name_parse - priority up to the first "-", random part after the
// last, the template (which may hold "-" itself) in between.
int handler_name_parse(const char* name, handler_name_parts* parts)
{
    memset(parts, 0, sizeof *parts);
    if (name == nullptr)
        return HANDLER_NAME_NO_PRIORITY;
    const char* first = strchr(name, '-');
    if (first == nullptr)
        return HANDLER_NAME_NO_PRIORITY;
    const char* last = strrchr(name, '-');
    if (last == first)
        return HANDLER_NAME_NO_RANDOM;
    if (last == first + 1)
        return HANDLER_NAME_EMPTY_TEMPLATE;
    parts->priority = name;
    parts->priority_len = static_cast<size_t>(first - name);
    parts->tmpl = first + 1;
    parts->template_len = static_cast<size_t>(last - first - 1);
    parts->random = last + 1;
    return HANDLER_NAME_OK;
}

// handler_name_error - message format for a split failure.
const char* handler_name_error(int status)
{
    switch (status) {
    case HANDLER_NAME_OK:
        return nullptr;
    case HANDLER_NAME_NO_PRIORITY:
        return "Invalid handler name '%s': missing priority section";
    case HANDLER_NAME_NO_RANDOM:
        return "Invalid handler name '%s': missing random part";
    default:
        return "Invalid handler name '%s': empty template part";
    }
}

// handler_name_split - parse and log why a name is bad.
int handler_name_split(const char* name, handler_name_parts* parts)
{
    const int status = handler_name_parse(name, parts);
    if (status == HANDLER_NAME_OK)
        return 0;
    ostra_log(3, handler_name_error(status), name == nullptr ? "(null)" : name);
    return -1;
}
