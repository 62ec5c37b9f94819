// mail_path.cc - checks on names used as components of the mail tree.
#include "mail/lib/mail_path.h"

#include <string.h>

// mail_path_component_ok - one harmless directory name, or 0.
int mail_path_component_ok(const char* name)
{
    if (name == nullptr || *name == '\0')
        return 0;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
        return 0;
    return strchr(name, '/') == nullptr;
}
