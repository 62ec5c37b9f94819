/* autoresponder.cc - the autoresponder switch: one "autoresponder" recipient
 * handler per address, added or deleted for lists of mail names and domains. */
#include "mail/postfix/autoresponder.h"

#include <stdio.h>
#include <stdlib.h>

#include "mail/handlers/lib/handlers.h"
#include "mail/lib/string_list.h"
#include "ostra/idn.h"
#include "ostra/log.h"
#include "ostra/str_util.h"

namespace {

const char* const LIST_SEPARATORS = ", ";
const char* const TEMPLATE = "autoresponder";
const char* const TYPE = "recipient";
const char* const HOOK = "before-local";

/* switch_address - add or delete the handler of one address; 0 or -1. */
int switch_address(const char* address, int action)
{
    char* found = get_handler_name(TEMPLATE, TYPE, address, HOOK);
    int result = 0;
    if (action == HOOK_ENABLE && found == nullptr)
        result = mail_handler_add(TEMPLATE, TYPE, address, AUTORESPONDER_EXECUTABLE, "responder",
                                  HOOK, "90", HOOK_ENABLE);
    else if (action == HOOK_DISABLE && found != nullptr)
        result = mail_handler_remove(found);
    free(found);
    return result;
}

} // namespace

/* autoresponder_action - every mail name with every domain; a failing
 * address is remembered and the others are still done. */
int autoresponder_action(const char* mailname, const char* maildomain, int action)
{
    /* No mail names: nothing to do. */
    if (mailname == nullptr)
        return 0;
    StringList names(string_split(mailname, LIST_SEPARATORS));
    if (names.size() == 0) {
        ostra_log(3, "Unable to split mailnames list");
        return -1;
    }
    StringList domains(string_split(maildomain == nullptr ? "" : maildomain, LIST_SEPARATORS));
    if (domains.size() == 0) {
        ostra_log(3, "Unable to split domains list");
        return -1;
    }

    bool failed = false;
    for (size_t i = 0; i < names.size(); ++i) {
        const char* name = names.at(i);
        if (*name == '\0')
            continue;
        for (size_t j = 0; j < domains.size(); ++j) {
            const char* domain = domains.at(j);
            if (*domain == '\0')
                continue;
            char* ascii = idn_toascii(domain);
            if (ascii == nullptr) {
                ostra_log(3, "idn_toascii() failed: %s", idn_strerror(idn_errno));
                return -1;
            }
            char address[255];
            int n = snprintf(address, sizeof address, "%s@%s", name, ascii);
            free(ascii);
            if (n < 0 || static_cast<size_t>(n) >= sizeof address) {
                ostra_log(3, "domain name too long\n");
                return -1;
            }
            if (switch_address(address, action) != 0)
                failed = true;
        }
    }
    if (failed) {
        ostra_log(3, "Unable to make action for some autoresponder handlers");
        return -1;
    }
    return 0;
}
