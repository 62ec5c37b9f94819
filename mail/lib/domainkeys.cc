// domainkeys.cc - per-domain DomainKeys key files under "/etc/domainkeys".
#include "mail/lib/domainkeys.h"

#include <errno.h>
#include <ftw.h>
#include <limits.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mail/lib/conf_log.h"
#include "mail/lib/string_list.h"
#include "ostra/file_util.h"
#include "ostra/open_file.h"
#include "ostra/str_util.h"

namespace {

const size_t PATH_LIMIT = 4096;
const mode_t DIR_MODE = 0755;
const mode_t KEY_MODE = 0440;
const char KEY_GROUP_USER[] = "popuser";

// CString - owns one malloc'ed string.
class CString {
public:
    explicit CString(char* s = nullptr) : s_(s) {}
    ~CString() { free(s_); }
    CString(const CString&) = delete;
    CString& operator=(const CString&) = delete;

    char* get() const { return s_; }

private:
    char* s_;
};

// safe_domain - whether a lower-cased name can only name a directory directly
// inside DOMAINKEYS_DIR: removal is recursive, so "..", "." or a "/" would
// reach outside it.
bool safe_domain(const char* domain)
{
    return strcmp(domain, ".") != 0 && strcmp(domain, "..") != 0 && strchr(domain, '/') == nullptr;
}

// domain_dir - DOMAINKEYS_DIR "/" domain into buf; false (logged) when too long.
bool domain_dir(char (&buf)[PATH_LIMIT], const char* domain)
{
    int n = snprintf(buf, sizeof buf, "%s/%s", DOMAINKEYS_DIR, domain);
    if (n < 0 || static_cast<size_t>(n) >= sizeof buf) {
        conf_log("Domain name '%s' is too long to be stored in %s", domain, DOMAINKEYS_DIR);
        return false;
    }
    return true;
}

// key_path - the key file path of domain into buf; false when too long.
bool key_path(char (&buf)[PATH_LIMIT], const char* domain)
{
    int n = snprintf(buf, sizeof buf, "%s/%s/%s", DOMAINKEYS_DIR, domain, DOMAINKEYS_KEY_NAME);
    return n >= 0 && static_cast<size_t>(n) < sizeof buf;
}

// make_dirs - create path and its missing parents, mode DIR_MODE; 0 or -1 (logged).
int make_dirs(const char* path)
{
    char buf[PATH_LIMIT];
    snprintf(buf, sizeof buf, "%s", path);
    for (char* p = buf + 1;; ++p) {
        if (*p != '/' && *p != '\0')
            continue;
        char saved = *p;
        *p = '\0';
        // A directory made here gets its mode whatever the umask.
        if (mkdir(buf, DIR_MODE) == 0 ? chmod(buf, DIR_MODE) != 0 : errno != EEXIST) {
            conf_log("Unable to create directory %s: %s", buf, strerror(errno));
            return -1;
        }
        *p = saved;
        if (saved == '\0')
            break;
    }
    struct stat st;
    int error = stat(path, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    if (error != 0) {
        conf_log("Unable to create directory %s: %s", path, strerror(error));
        return -1;
    }
    // The domain's own directory gets its owner and mode whatever the umask
    // or an earlier hand-made copy left there.
    if (chown(path, 0, 0) != 0 || chmod(path, DIR_MODE) != 0) {
        conf_log("Unable to set owner and mode of %s: %s", path, strerror(errno));
        return -1;
    }
    return 0;
}

// key_group - the primary group of popuser; 0 when there is no such user.
gid_t key_group()
{
    struct passwd* pw = getpwnam(KEY_GROUP_USER);
    return pw != nullptr ? pw->pw_gid : 0;
}

// remove_entry - nftw callback removing one entry of a tree, deepest first.
int remove_entry(const char* path, const struct stat*, int type, struct FTW*)
{
    int rc = type == FTW_DP ? rmdir(path) : unlink(path);
    if (rc != 0 && errno != ENOENT) {
        conf_log("Unable to remove %s: %s", path, strerror(errno));
        return -1;
    }
    return 0;
}

// remove_tree - remove path with everything in it; a missing path is no error.
int remove_tree(const char* path)
{
    struct stat st;
    if (lstat(path, &st) != 0) {
        if (errno == ENOENT)
            return 0;
        conf_log("Unable to remove %s: %s", path, strerror(errno));
        return -1;
    }
    return nftw(path, remove_entry, 16, FTW_DEPTH | FTW_PHYS) == 0 ? 0 : -1;
}

// KeySource - the open key file to install, and its name for messages.
struct KeySource {
    int fd;
    const char* name;
};

// DomainAction - what is done for one lower-cased domain: 0 or -1.
typedef int (*DomainAction)(const char* domain, const char* dir, const KeySource* key);

// for_each_domain - run action for every domain of the comma-separated list,
// each independently; -1 when any failed. Empty list entries (a trailing
// comma) name no domain and are skipped.
int for_each_domain(const char* domains, DomainAction action, const KeySource* key)
{
    StringList list(string_split(domains, ","));
    if (list.size() == 0) {
        conf_log("cannot split domains list '%s'\n", domains);
        return -1;
    }
    int result = 0;
    for (size_t i = 0; i < list.size(); ++i) {
        const char* given = list.at(i);
        if (*given == '\0')
            continue;
        CString domain(strtolower_dynamic(given));
        if (domain.get() == nullptr) {
            conf_log("cannot convert %s to lower case", given);
            result = -1;
            continue;
        }
        if (!safe_domain(domain.get())) {
            conf_log("Invalid domain name '%s'", given);
            result = -1;
            continue;
        }
        char dir[PATH_LIMIT];
        if (!domain_dir(dir, domain.get()) || action(domain.get(), dir, key) != 0)
            result = -1;
    }
    return result;
}

// install_key - make dir and copy the key file into it.
int install_key(const char* domain, const char* dir, const KeySource* key)
{
    if (make_dirs(dir) != 0)
        return -1;
    char path[PATH_LIMIT];
    if (!key_path(path, domain)) {
        conf_log("File name '%s' is too long to be stored in %s/%s", DOMAINKEYS_KEY_NAME,
                 DOMAINKEYS_DIR, domain);
        return -1;
    }
    copy_fd_atomic(key->fd, key->name, path, 0, key_group(), KEY_MODE);
    return 0;
}

// remove_key - remove dir with everything in it.
int remove_key(const char*, const char* dir, const KeySource*)
{
    return remove_tree(dir);
}

} // namespace

// open_key_file - the key file opened once, never through a link.
int open_key_file(const char* keyFile)
{
    if (keyFile == nullptr) {
        conf_log("set_domain_key: a key file is required");
        return -1;
    }
    const int fd = open_upload(keyFile);
    if (fd < 0)
        conf_log("No source file '%s': %s", keyFile, open_regular_file_error(errno));
    return fd;
}

// set_domain_key_fd - install the open key file for every listed domain.
int set_domain_key_fd(const char* domains, int keyFd, const char* keyFile)
{
    if (domains == nullptr || keyFd < 0 || keyFile == nullptr) {
        conf_log("set_domain_key: a domain list and a key file are required");
        return -1;
    }
    const KeySource key = {keyFd, keyFile};
    return for_each_domain(domains, install_key, &key);
}

// set_domain_key - install keyFile as the key of every listed domain.
int set_domain_key(const char* domains, const char* keyFile)
{
    if (domains == nullptr) {
        conf_log("set_domain_key: a domain list and a key file are required");
        return -1;
    }
    const int fd = open_key_file(keyFile);
    if (fd < 0)
        return -1;
    const int result = set_domain_key_fd(domains, fd, keyFile);
    close(fd);
    return result;
}

// remove_domain_key - remove the key directory of every listed domain.
int remove_domain_key(const char* domains)
{
    if (domains == nullptr) {
        conf_log("remove_domain_key: a domain list is required");
        return -1;
    }
    return for_each_domain(domains, remove_key, nullptr);
}

// get_domainkeys_file - the key file path of a domain, newly allocated.
char* get_domainkeys_file(const char* domain)
{
    if (domain == nullptr)
        return nullptr;
    CString lower(strtolower_dynamic(domain));
    char path[PATH_LIMIT];
    if (lower.get() == nullptr || !key_path(path, lower.get()))
        return nullptr;
    return strdup(path);
}

// domainkeys_enabled - whether the domain's key file is a regular file.
int domainkeys_enabled(const char* domain)
{
    CString path(get_domainkeys_file(domain));
    struct stat st;
    return path.get() != nullptr && stat(path.get(), &st) == 0 && S_ISREG(st.st_mode) ? 1 : 0;
}

// clone_domain_key - copy the source domain's key to every target domain.
int clone_domain_key(const char* source, const char* targets)
{
    if (!domainkeys_enabled(source))
        return 0;
    CString path(get_domainkeys_file(source));
    if (path.get() == nullptr) {
        conf_log("Cannot get domainkeys key file for %s", source);
        return -1;
    }
    return set_domain_key(targets, path.get());
}
