// courier_params.cc - setting and removing variables in the Courier-IMAP
// configuration files, then restarting Courier.
#include "mail/lib/courier_params.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include "mail/lib/conf_log.h"
#include "ostra/hsp_conf.h"
#include "ostra/init_script.h"
#include "ostra/lock.h"
#include "ostra/values.h"

const char* const COURIER_FILES[] = {"imapd", "imapd-ssl", "pop3d", "pop3d-ssl", nullptr};

namespace {

const size_t PATH_LIMIT = 4096;
const char COURIER_SERVICE[] = "courier-imap";

// InFile - a stdio stream closed at scope exit.
class InFile {
public:
    explicit InFile(FILE* f) : f_(f) {}
    ~InFile()
    {
        if (f_ != nullptr)
            fclose(f_);
    }
    InFile(const InFile&) = delete;
    InFile& operator=(const InFile&) = delete;

    FILE* get() const { return f_; }

private:
    FILE* f_;
};

// TempOut - the replacement file beside the target, removed at scope exit
// unless it was renamed over the target.
class TempOut {
public:
    TempOut() : out_(nullptr) { name_[0] = '\0'; }
    ~TempOut()
    {
        if (out_ != nullptr)
            fclose(out_);
        if (name_[0] != '\0')
            unlink(name_);
    }
    TempOut(const TempOut&) = delete;
    TempOut& operator=(const TempOut&) = delete;

    // create - mkstemp on target + ".XXXXXX"; 0, or -1 (logged).
    int create(const char* target)
    {
        int n = snprintf(name_, sizeof name_, "%s.XXXXXX", target);
        if (n < 0 || static_cast<size_t>(n) >= sizeof name_) {
            name_[0] = '\0';
            conf_log("File path too long %s\n", target);
            return -1;
        }
        int fd = mkostemp(name_, O_CLOEXEC);
        if (fd < 0) {
            name_[0] = '\0';
            conf_log("Unable to create temporary file for %s: %s\n", target, strerror(errno));
            return -1;
        }
        out_ = fdopen(fd, "w");
        if (out_ == nullptr) {
            int saved = errno;
            ::close(fd);
            conf_log("Unable to create temporary file for %s: %s\n", target, strerror(saved));
            return -1;
        }
        return 0;
    }

    FILE* get() const { return out_; }

    // close - flush and close; 0, or EOF with errno set.
    int close()
    {
        FILE* out = out_;
        out_ = nullptr;
        return fclose(out);
    }

    // replace - rename over target; 0, or -1 with errno set (then removed at scope exit).
    int replace(const char* target)
    {
        if (rename(name_, target) != 0)
            return -1;
        name_[0] = '\0';
        return 0;
    }

private:
    char name_[PATH_LIMIT];
    FILE* out_;
};

// concerned - the index of the first change whose variable this line assigns, or -1.
int concerned(const char* line, size_t len, const EnvChange* changes, int count)
{
    for (int i = 0; i < count; ++i) {
        size_t n = strlen(changes[i].var);
        if (len > n && memcmp(line, changes[i].var, n) == 0 && line[n] == '=')
            return i;
    }
    return -1;
}

// change_count - the records that take effect (logged when the request is longer).
int change_count(const EnvChange* changes)
{
    int count = 0;
    while (changes[count].var != nullptr)
        ++count;
    if (count > COURIER_MAX_CHANGES) {
        conf_log("Too many variables specified, tail is ignored\n");
        count = COURIER_MAX_CHANGES;
    }
    return count;
}

// assignment - write "var=value\n"; false on a write error.
bool assignment(FILE* out, const EnvChange& change)
{
    return fprintf(out, "%s=%s\n", change.var, change.value != nullptr ? change.value : "") >= 0;
}

// copy_edited - copy in to out, applying the changes; false on a write error
// (a read error shows in ferror(in)).
bool copy_edited(FILE* in, FILE* out, const EnvChange* changes, int count)
{
    uint32_t seen = 0;
    bool lineOpen = false; // the output so far ends without a line end
    char* line = nullptr;
    size_t capacity = 0;
    bool ok = true;
    ssize_t len;
    while (ok && (len = getline(&line, &capacity, in)) > 0) {
        size_t size = static_cast<size_t>(len);
        int i = concerned(line, size, changes, count);
        if (i < 0) {
            ok = fwrite(line, 1, size, out) == size;
            lineOpen = line[size - 1] != '\n';
            continue;
        }
        uint32_t bit = uint32_t(1) << i;
        if (changes[i].action == ENV_ADD && (seen & bit) == 0) {
            ok = assignment(out, changes[i]);
            lineOpen = false;
        }
        seen |= bit;
    }
    free(line);
    if (ok && lineOpen)
        ok = fputc('\n', out) != EOF;
    for (int i = 0; ok && i < count; ++i)
        if (changes[i].action == ENV_ADD && (seen & (uint32_t(1) << i)) == 0)
            ok = assignment(out, changes[i]);
    return ok;
}

} // namespace

// edit_env_file - rewrite one file with the changes applied.
int edit_env_file(const char* path, const EnvChange* changes)
{
    if (path == nullptr || changes == nullptr) {
        conf_log("edit_env_file: a path and a request are required\n");
        return -1;
    }
    InFile in(fopen(path, "re"));
    if (in.get() == nullptr) {
        conf_log("Unable to open %s: %s\n", path, strerror(errno));
        return 1;
    }
    int count = change_count(changes);
    TempOut out;
    if (out.create(path) != 0)
        return -1;
    errno = 0;
    bool written = copy_edited(in.get(), out.get(), changes, count);
    int error = errno;
    bool readOk = !ferror(in.get());
    if (written && readOk && out.close() != 0) {
        written = false;
        error = errno;
    }
    if (!written || !readOk) {
        conf_log("Unable to write temporary file content for %s: %s\n", path,
                 strerror(error != 0 ? error : EIO));
        return -1;
    }
    if (out.replace(path) != 0) {
        conf_log("Unable to move changed file to its location %s: %s\n", path, strerror(errno));
        return -1;
    }
    return 0;
}

// set_courier_params_list - edit every Courier file, then restart Courier.
int set_courier_params_list(const EnvChange* changes)
{
    // A value is the rest of one line: a line end would add assignments.
    for (int i = 0; changes != nullptr && changes[i].var != nullptr; ++i)
        if (changes[i].value != nullptr && !config_line_ok(changes[i].value)) {
            conf_log("Invalid value for %s\n", changes[i].var);
            return -1;
        }
    const char* root = hspConfGetDefaultByIndex(HSP_CONF_COURIER_IMAP_ROOT_D);
    for (int f = 0; COURIER_FILES[f] != nullptr; ++f) {
        char path[PATH_LIMIT];
        int n = snprintf(path, sizeof path, "%s/etc/courier-imap/%s", root, COURIER_FILES[f]);
        if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
            conf_log("File path too long %s\n", path);
            return -1;
        }
        // Concurrent runs edit different variables of the same files; the
        // lock keeps one run's rewrite from dropping another's change.
        ostra::ScopedLock lock(mk_lock(path, 1));
        if (!lock.held()) {
            conf_log("Error occurred while locking the file %s\n", path);
            return -1;
        }
        int rc = edit_env_file(path, changes);
        lock.release();
        if (rc < 0)
            return -1;
    }
    return restart_daemon(COURIER_SERVICE, "restart");
}

// set_courier_params - the relay, POP-before-SMTP and account name variables.
int set_courier_params(int relayClient, int popAuth, short poplockTime, int shortNames)
{
    char poplock[16];
    snprintf(poplock, sizeof poplock, "%d", static_cast<int>(poplockTime));
    EnvChange changes[] = {
        {"RELAYCLIENT", relayClient ? ENV_ADD : ENV_DEL, ""},
        {"POPAUTH", popAuth ? ENV_ADD : ENV_DEL, "1"},
        {"SHORTNAMES", shortNames ? ENV_ADD : ENV_DEL, "1"},
        {poplockTime >= 0 ? "POPLOCK_TIME" : nullptr, poplockTime > 0 ? ENV_ADD : ENV_DEL, poplock},
        {nullptr, ENV_ADD, nullptr},
    };
    return set_courier_params_list(changes);
}

// set_courier_shortnames_params - the account name variable alone.
int set_courier_shortnames_params(int shortNames)
{
    EnvChange changes[] = {
        {"SHORTNAMES", shortNames ? ENV_ADD : ENV_DEL, "1"},
        {nullptr, ENV_ADD, nullptr},
    };
    return set_courier_params_list(changes);
}
