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

#include <string>

#include "mail/lib/mail_tree.h"
#include "ostra/eintr.h"
#include "ostra/errors.h"
#include "ostra/fd_write.h"
#include "ostra/idn.h"
#include "ostra/lock.h"
#include "ostra/log.h"

using ostra::mail::openFileAt;
using ostra::mail::openTreeParent;
using ostra::mail::TreeFd;
using ostra::mail::treeStrerror;

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

// Owner - the account that owns every ".qmail" file.
struct Owner {
    uid_t uid;
    gid_t gid;
};

// find_popuser - popuser's ids, looked up at each change; false after logging.
bool find_popuser(Owner* owner)
{
    errno = 0;
    struct passwd* pw = getpwnam(POPUSER);
    if (pw == nullptr) {
        messlog2(0, 0, "user %s not found", POPUSER);
        return false;
    }
    owner->uid = pw->pw_uid;
    owner->gid = pw->pw_gid;
    return true;
}

// read_file - the whole file name below dir into *content: 0, 1 when it
// does not exist, -1 after logging. Only a regular file is read: the mail
// home belongs to popuser, who could plant a link to read another file into
// this one, or a FIFO to hang the edit.
int read_file(int dir, const std::string& name, const char* file, std::string* content)
{
    TreeFd fd = openFileAt(dir, name, O_RDONLY);
    if (!fd) {
        if (errno == ENOENT)
            return 1;
        messlog2(0, 0, "Unable to open file %s: %s\n", file, treeStrerror(errno));
        return -1;
    }
    content->clear();
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            messlog2(0, 0, "Unable to read file %s: %s\n", file, strerror(errno));
            return -1;
        }
        if (n == 0)
            return 0;
        content->append(buf, static_cast<size_t>(n));
    }
}

// Replacement - the new content in "<file>.tmp", owned by popuser with mode
// 0600 and on disk before it is renamed over the file, so the file is always
// either the old one or the new one; removed unless renamed. Both names are
// used relative to the directory holding the file.
class Replacement {
public:
    Replacement(int dir, const std::string& name, const char* file)
        : dir_(dir), target_(name), name_(name + ".tmp"), path_(std::string(file) + ".tmp")
    {
    }
    ~Replacement() { discard(); }
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;

    // create - a new, empty temporary; false with errno set. A left-over of
    // a killed run is removed first: the lock says nobody is writing it, and
    // O_EXCL keeps a link or a file planted under the name from being used.
    bool create()
    {
        unlinkat(dir_, name_.c_str(), 0);
        fd_.reset(ostra::retry_eintr([&] {
            return openat(dir_, name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          0600);
        }));
        created_ = fd_.get() >= 0;
        return created_;
    }

    bool write(const std::string& content)
    {
        return ostra::write_all(fd_.get(), content.data(), content.size()) == 0;
    }

    // own - popuser's file of mode 0600; false after logging.
    bool own(const Owner& owner)
    {
        if (fchown(fd_.get(), owner.uid, owner.gid) != 0) {
            messlog2(0, 0, "ERROR: unable to chown %s: %s\n", path_.c_str(), strerror(errno));
            return false;
        }
        if (fchmod(fd_.get(), 0600) != 0) {
            messlog2(0, 0, "ERROR: unable to chmod %s: %s\n", path_.c_str(), strerror(errno));
            return false;
        }
        return true;
    }

    // finish - to disk and closed; false with errno set.
    bool finish()
    {
        if (ostra::retry_eintr([&] { return fsync(fd_.get()); }) != 0) {
            fd_.reset();
            return false;
        }
        return fd_.close() == 0;
    }

    // commit - rename over the file; false after logging.
    bool commit()
    {
        if (renameat(dir_, name_.c_str(), dir_, target_.c_str()) != 0) {
            messlog2(0, 0, "Unable to rename file %s: %s\n", path_.c_str(), strerror(errno));
            return false;
        }
        renamed_ = true;
        return true;
    }

    // discard - close and remove the temporary unless renamed; errno kept.
    void discard()
    {
        if (created_ && !renamed_) {
            int saved = errno;
            fd_.close();
            unlinkat(dir_, name_.c_str(), 0);
            errno = saved;
        }
        created_ = false;
    }

    const char* path() const { return path_.c_str(); }

private:
    int dir_;
    std::string target_;
    std::string name_;
    std::string path_;
    TreeFd fd_;
    bool created_ = false;
    bool renamed_ = false;
};

// same_line - the line, less its newline, is s less a newline of its own.
bool same_line(const std::string& line, const char* s)
{
    size_t len = strlen(s);
    if (len > 0 && s[len - 1] == '\n')
        --len;
    size_t lineLen = !line.empty() && line.back() == '\n' ? line.size() - 1 : line.size();
    return lineLen == len && line.compare(0, len, s, len) == 0;
}

// settle - give the written temporary its owner and mode, sync and close it,
// and rename it over the file; finishFormat reports a failed sync or close.
int settle(Replacement& tmp, const Owner& owner, const char* finishFormat)
{
    // Owner and mode are set before the rename: a root-owned file would not
    // be readable at delivery.
    if (!tmp.own(owner))
        return -1;
    if (!tmp.finish()) {
        messlog2(0, 0, finishFormat, tmp.path(), strerror(errno));
        return -1;
    }
    return tmp.commit() ? 0 : -1;
}

// edit_lines - replace the file by its lines less every copy of the drop
// lines, with add (when given) appended; the file changes in one rename, so
// a run killed at any point leaves the old or the new file. 0; 1 when the
// file is missing and there is nothing to add (no message, errno ENOENT);
// -1 after logging.
int edit_lines(const char* file, const char* const drop[], const char* add)
{
    Owner owner;
    if (!find_popuser(&owner))
        return -1;
    // The file's hashed lock, the one the line-edit facility takes.
    ostra::ScopedLock lock(mk_lock(file, 1));
    if (!lock.held()) {
        messlog2(0, 0, "Error occurred while locking the file %s: %s\n", file, strerror(errno));
        return -1;
    }
    std::string name;
    TreeFd dir = openTreeParent(file, &name);
    if (!dir) {
        if (errno == ENOENT && add == nullptr)
            return 1;
        messlog2(0, 0, "Unable to open file %s: %s\n", file, treeStrerror(errno));
        return -1;
    }
    std::string old;
    int found = read_file(dir.get(), name, file, &old);
    if (found < 0)
        return -1;
    if (found == 1 && add == nullptr) {
        errno = ENOENT;
        return 1;
    }
    std::string content;
    for (size_t at = 0; at < old.size();) {
        size_t end = old.find('\n', at);
        end = end == std::string::npos ? old.size() : end + 1;
        const std::string line = old.substr(at, end - at);
        at = end;
        bool dropped = false;
        for (const char* const* d = drop; *d != nullptr && !dropped; ++d)
            dropped = same_line(line, *d);
        if (!dropped)
            content += line;
    }
    if (add != nullptr) {
        // A last line without its newline would merge with the added one.
        if (!content.empty() && content.back() != '\n')
            content += '\n';
        content += add;
        content += '\n';
    }
    Replacement tmp(dir.get(), name, file);
    if (!tmp.create()) {
        messlog2(0, 0, "Unable to open file %s: %s\n", tmp.path(), strerror(errno));
        return -1;
    }
    if (!tmp.write(content)) {
        // The message ends the program, past every destructor.
        tmp.discard();
        messlog2(1, 0, "cannot write a line to %s.tmp", file);
    }
    return settle(tmp, owner, "Unable to close file %s: %s\n");
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

// forward_line - "&" and the address with its domain in ASCII form, or null
// after a message (failure names the formatting failure).
char* forward_line(const char* address, const char* failure)
{
    CString ascii(forward_address(address));
    if (ascii.get() == nullptr)
        return nullptr;
    char* line = nullptr;
    if (asprintf(&line, "&%s", ascii.get()) < 0) {
        messlog2(0, 0, failure, ascii.get(), strerror(errno));
        return nullptr;
    }
    return line;
}

} // namespace

// dotqmail_reset - the file becomes the single line "| true". It is written
// under the lock of the line edits, which share its temporary name.
int dotqmail_reset(const char* file)
{
    Owner owner;
    if (!find_popuser(&owner))
        return -1;
    ostra::ScopedLock lock(mk_lock(file, 1));
    if (!lock.held()) {
        messlog2(0, 0, "Error occurred while locking the file %s: %s\n", file, strerror(errno));
        return -1;
    }
    std::string name;
    TreeFd dir = openTreeParent(file, &name);
    if (!dir) {
        messlog2(0, 0, "Unable to open %s: %s", file, treeStrerror(errno));
        return -1;
    }
    Replacement tmp(dir.get(), name, file);
    if (!tmp.create()) {
        messlog2(0, 0, "Unable to open %s: %s", tmp.path(), strerror(errno));
        return -1;
    }
    if (!tmp.write(RESET_CONTENT)) {
        messlog2(0, 0, "Unable to write to %s: %s", tmp.path(), strerror(errno));
        return -1;
    }
    return settle(tmp, owner, "Unable to write to %s: %s");
}

// dotqmail_add_delivery - the delivery line once, at the end; the legacy
// line goes.
int dotqmail_add_delivery(const char* file)
{
    const char* const drop[] = {LEGACY_DELIVERY_LINE, DELIVERY_LINE, nullptr};
    if (edit_lines(file, drop, DELIVERY_LINE) != 0) {
        messlog2(0, 0, "Unable to add string to %s file.", file);
        return -1;
    }
    return 0;
}

// dotqmail_remove_delivery - neither delivery line remains; a missing file fails.
int dotqmail_remove_delivery(const char* file)
{
    const char* const drop[] = {LEGACY_DELIVERY_LINE, DELIVERY_LINE, nullptr};
    if (edit_lines(file, drop, nullptr) != 0) {
        messlog2(0, 0, "Unable to remove string from %s file", file);
        return -1;
    }
    return 0;
}

// dotqmail_add_forward - "&address" once, at the end.
int dotqmail_add_forward(const char* file, const char* address)
{
    CString line(forward_line(address, "asprintf(\"&%%s\", %s) failed: %s"));
    if (line.get() == nullptr)
        return -1;
    const char* const drop[] = {line.get(), nullptr};
    if (edit_lines(file, drop, line.get()) != 0) {
        messlog2(0, 0, "Unable to add string to %s file.", file);
        return -1;
    }
    return 0;
}

// dotqmail_remove_forward - no "&address" line remains; a missing file fails.
int dotqmail_remove_forward(const char* file, const char* address)
{
    CString line(forward_line(address, "asprintf(\"&%%s\", %s): %s"));
    if (line.get() == nullptr)
        return -1;
    const char* const drop[] = {line.get(), nullptr};
    if (edit_lines(file, drop, nullptr) != 0) {
        messlog2(0, 0, "Unable to remove string from %s file.", file);
        return -1;
    }
    return 0;
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
