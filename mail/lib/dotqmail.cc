// dotqmail.cc - edits of the ".qmail" delivery instruction file of a mail home.
#include "mail/lib/dotqmail.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ostra/errors.h"
#include "ostra/file_util.h"
#include "ostra/idn.h"
#include "ostra/log.h"

namespace {

const char* const POPUSER = "popuser";
const char* const DELIVERY_LINE = "| /usr/bin/deliverquota ./Maildir";
const char* const LEGACY_DELIVERY_LINE = "./Maildir/";
const char* const RESET_CONTENT = "| true\n";

// CString - a malloc()ed string freed at scope exit.
class CString {
public:
    explicit CString(char* s) : s_(s) {}
    ~CString() { free(s_); }
    CString(const CString&) = delete;
    CString& operator=(const CString&) = delete;
    char* get() const { return s_; }
    char** out() { return &s_; }

private:
    char* s_;
};

// remove_line - drop every copy of line; 0, or non-zero when the file is missing
// or could not be rewritten.
int remove_line(const char* file, const char* line)
{
    return file_str(file, line, FILE_STR_REMOVE, 0);
}

// append_line - add line at the end, creating the file when absent.
int append_line(const char* file, const char* line)
{
    return file_str(file, line, FILE_STR_ADD, FILE_STR_APPEND);
}

// set_owner_and_mode - popuser, mode 0600. The file is opened without following
// a symbolic link: the mail home belongs to popuser, who could plant one.
int set_owner_and_mode(const char* file)
{
    errno = 0;
    struct passwd* pw = getpwnam(POPUSER);
    if (pw == nullptr) {
        messlog2(0, 0, "user %s not found", POPUSER);
        return -1;
    }
    int fd;
    do {
        fd = open(file, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        messlog2(0, 0, "ERROR: unable to chown %s: %s\n", file, strerror(errno));
        return -1;
    }
    int rc = fchown(fd, pw->pw_uid, pw->pw_gid);
    if (rc != 0) {
        messlog2(0, 0, "ERROR: unable to chown %s: %s\n", file, strerror(errno));
    } else if ((rc = fchmod(fd, 0600)) != 0) {
        messlog2(0, 0, "ERROR: unable to chmod %s: %s\n", file, strerror(errno));
    }
    int saved = errno;
    close(fd);
    errno = saved;
    return rc == 0 ? 0 : -1;
}

// forward_address - the address with its domain in ASCII form, or null after a
// message. A line end in the address would smuggle another instruction into
// the file, so such an address is refused.
char* forward_address(const char* address)
{
    if (strpbrk(address, "\r\n") != nullptr) {
        errno = 0;
        messlog2(0, 0, "invalid forward address: line end in '%s'", address);
        return nullptr;
    }
    char* ascii = idn_email_toascii(address);
    if (ascii == nullptr) {
        errno = 0;
        messlog2(0, 0, "idn_email_toascii(%s) failed: %s", address,
                 strchr(address, '@') == nullptr ? "no '@' in the address"
                                                 : idn_strerror(idn_errno));
    }
    return ascii;
}

} // namespace

// dotqmail_reset - the file becomes the single line "| true".
int dotqmail_reset(const char* file)
{
    int fd;
    do {
        fd = open(file, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    FILE* out = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (out == nullptr) {
        int saved = errno;
        if (fd >= 0)
            close(fd);
        messlog2(0, 0, "Unable to open %s: %s", file, strerror(saved));
        return -1;
    }
    bool written = fputs(RESET_CONTENT, out) != EOF;
    bool closed = fclose(out) == 0;
    if (!written || !closed) {
        int saved = errno;
        unlink(file);
        errno = saved;
        messlog2(0, 0, "Unable to write to %s: %s", file, strerror(saved));
        return -1;
    }
    if (set_owner_and_mode(file) != 0) {
        int saved = errno;
        unlink(file); // a root-owned file would not be readable at delivery
        errno = saved;
        return -1;
    }
    return 0;
}

// dotqmail_add_delivery - the delivery line once, at the end.
int dotqmail_add_delivery(const char* file)
{
    remove_line(file, LEGACY_DELIVERY_LINE);
    remove_line(file, DELIVERY_LINE);
    if (append_line(file, DELIVERY_LINE) != 0) {
        messlog2(0, 0, "Unable to add string to %s file.", file);
        return -1;
    }
    return set_owner_and_mode(file);
}

// dotqmail_remove_delivery - neither delivery line remains.
int dotqmail_remove_delivery(const char* file)
{
    if (remove_line(file, LEGACY_DELIVERY_LINE) != 0) {
        messlog2(0, 0, "Unable to remove string from %s file", file);
        return -1;
    }
    remove_line(file, DELIVERY_LINE);
    return set_owner_and_mode(file);
}

// dotqmail_add_forward - "&address" once, at the end.
int dotqmail_add_forward(const char* file, const char* address)
{
    CString ascii(forward_address(address));
    if (ascii.get() == nullptr)
        return -1;
    CString line(nullptr);
    if (asprintf(line.out(), "&%s", ascii.get()) < 0) {
        *line.out() = nullptr;
        messlog2(0, 0, "asprintf(\"&%%s\", %s) failed: %s", ascii.get(), strerror(errno));
        return -1;
    }
    remove_line(file, line.get());
    if (append_line(file, line.get()) != 0) {
        messlog2(0, 0, "Unable to add string to %s file.", file);
        return -1;
    }
    return set_owner_and_mode(file);
}

// dotqmail_remove_forward - no "&address" line remains.
int dotqmail_remove_forward(const char* file, const char* address)
{
    CString ascii(forward_address(address));
    if (ascii.get() == nullptr)
        return -1;
    CString line(nullptr);
    if (asprintf(line.out(), "&%s\n", ascii.get()) < 0) {
        *line.out() = nullptr;
        messlog2(0, 0, "asprintf(\"&%%s\", %s): %s", ascii.get(), strerror(errno));
        return -1;
    }
    if (remove_line(file, line.get()) != 0) {
        messlog2(0, 0, "Unable to remove string from %s file.", file);
        return -1;
    }
    return set_owner_and_mode(file);
}

namespace ostra {
namespace mail {

namespace {

// check - turn a failed plain-function edit into a SystemError.
void check(int result, const std::string& path)
{
    if (result != 0)
        throw SystemError("unable to modify " + path, errno);
}

} // namespace

// DotQMailManager::reset - the single line "| true".
void DotQMailManager::reset()
{
    check(dotqmail_reset(path_.c_str()), path_);
}

// DotQMailManager::enableDelivery - deliver into the Maildir with quota.
void DotQMailManager::enableDelivery()
{
    check(dotqmail_add_delivery(path_.c_str()), path_);
}

// DotQMailManager::disableDelivery - no delivery into the Maildir.
void DotQMailManager::disableDelivery()
{
    check(dotqmail_remove_delivery(path_.c_str()), path_);
}

// DotQMailManager::addRedirect - forward to address; the line always goes last.
void DotQMailManager::addRedirect(const std::string& address, Position)
{
    check(dotqmail_add_forward(path_.c_str(), address.c_str()), path_);
}

// DotQMailManager::removeRedirect - stop forwarding to address.
void DotQMailManager::removeRedirect(const std::string& address)
{
    check(dotqmail_remove_forward(path_.c_str(), address.c_str()), path_);
}

} // namespace mail
} // namespace ostra
