// dotqmail.h - the ".qmail" delivery instruction file of a mail home.
#ifndef MAIL_LIB_DOTQMAIL_H
#define MAIL_LIB_DOTQMAIL_H

#include <string>

/* Plain functions: 0 on success, -1 on failure after a messlog2 message.
 * Every change writes the whole new file as "<file>.tmp", owned by popuser
 * with mode 0600, and renames it over the file under the file's lock, so the
 * file is at every moment its old or its new content; a failed change leaves
 * it as it was. Below the mail root the file is reached through directory
 * descriptors, and only a regular file is read (mail_tree.h). */

/* dotqmail_reset - rewrite the file as the single line "| true". */
int dotqmail_reset(const char* file);
/* dotqmail_add_delivery - the delivery line present once, at the end. */
int dotqmail_add_delivery(const char* file);
/* dotqmail_remove_delivery - no delivery line (nor the legacy "./Maildir/"). */
int dotqmail_remove_delivery(const char* file);
/* dotqmail_add_forward - "&address" (ASCII domain) present once, at the end. */
int dotqmail_add_forward(const char* file, const char* address);
/* dotqmail_remove_forward - no forward line for the address. */
int dotqmail_remove_forward(const char* file, const char* address);

namespace ostra {
namespace mail {

// DotQMailManager - the edits of one ".qmail" file; failures throw SystemError
// "unable to modify <path>".
class DotQMailManager {
public:
    // Position - where addRedirect puts the line; only the end of the file.
    enum Position { End };

    explicit DotQMailManager(const std::string& path) : path_(path) {}

    void reset();
    void enableDelivery();
    void disableDelivery();
    void addRedirect(const std::string& address, Position position = End);
    void removeRedirect(const std::string& address);

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

} // namespace mail
} // namespace ostra

#endif
