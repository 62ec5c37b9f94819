// init_script.cc - running the init scripts of other daemons.
#include "ostra/init_script.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "ostra/hsp_conf.h"
#include "ostra/log.h"
#include "sys_util.h"

using ostra::detail::close_from_3;
using ostra::detail::retry_eintr;

namespace {

// The places an init script may live, tried in this order.
const char* const SCRIPT_FORMATS[] = {"/etc/init.d/%s", "/etc/init.d/%s.sh", "/etc/init.d%s"};

// rc_log - a message log line prefixed with the program name; status != 0 ends the program.
void rc_log(int status, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void rc_log(int status, const char* fmt, ...)
{
    int saved = errno;
    va_list ap;
    va_start(ap, fmt);
    char* text = vasprintf_safe(fmt, ap);
    va_end(ap);
    errno = saved;
    messlog2(status, 0, "%s: %s", program_invocation_short_name, text);
    free(text);
}

// run_script_child - the child's side of rc_script; never returns.
[[noreturn]] void run_script_child(const char* path, const char* action)
{
    std::string dir(path);
    std::string::size_type slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    if (chdir(dir.c_str()) != 0) {
        rc_log(0, "Unable to change directory to %s: %s\n", dir.c_str(), strerror(errno));
        _exit(1);
    }
    if (setsid() < 0) {
        rc_log(0, "setsid() failed");
        _exit(3);
    }
    close_from_3();
    int null = retry_eintr([] { return open("/dev/null", O_RDWR); });
    if (null < 0)
        _exit(errno);
    if (retry_eintr([&] { return dup2(null, 0); }) < 0 ||
        retry_eintr([&] { return dup2(null, 1); }) < 0)
        _exit(errno);
    if (null > 1)
        close(null);
    const char* argv[] = {path, action, nullptr};
    retry_eintr([&] { return execv(path, const_cast<char* const*>(argv)); });
    _exit(errno);
}

} // namespace

// rc_script - run one init script with one action and judge its exit.
int rc_script(const char* path, const char* action)
{
    if (path == nullptr || action == nullptr) {
        errno = 0;
        rc_log(0, "rc_script: a script path and an action are required\n");
        return -1;
    }
    struct stat st;
    if (stat(path, &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            rc_log(1, "No such file '%s': %s", path, strerror(errno));
        rc_log(1, "Error during access to '%s': %s", path, strerror(errno));
    }
    if (!S_ISREG(st.st_mode)) {
        errno = 0;
        rc_log(1, "Not a regular file: '%s'", path);
    }

    // The child must not write out what the parent still has buffered.
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        rc_log(0, "fork: %s for %s: %s\n", action, path, strerror(errno));
        return -1;
    }
    if (pid == 0)
        run_script_child(path, action);

    int status = 0;
    if (retry_eintr([&] { return waitpid(pid, &status, WUNTRACED); }) < 0) {
        rc_log(0, "Error occured during %s service %s: %s\n", action, path, strerror(errno));
        return -1;
    }
    errno = 0;
    if (WIFEXITED(status)) {
        if (WEXITSTATUS(status) == 0)
            return 0;
        if (strcmp(action, "status") != 0)
            rc_log(0, "Service %s failed to %s\n", path, action);
        return -1;
    }
    if (WIFSIGNALED(status)) {
        rc_log(0, "Unable to %s service %s: daemon killed by signal %i\n", action, path,
               WTERMSIG(status));
        return -1;
    }
    rc_log(0, "Unable to %s service %s: daemon stopped by signal %i\n", action, path,
           WSTOPSIG(status));
    return -1;
}

// restart_daemon - find the service's init script and run it with action.
int restart_daemon(const char* name, const char* action)
{
    // A host that manages its daemons otherwise asks us to leave them alone.
    if (hspConfGet("NO_RESTART_DAEMON") != nullptr)
        return 0;
    if (name == nullptr || *name == '\0') {
        errno = 0;
        rc_log(0, "Unknown service\n");
        return -1;
    }
    for (const char* format : SCRIPT_FORMATS) {
        char* path = asprintf_safe(format, name);
        struct stat st;
        // A dangling or otherwise unusable entry is found here and judged by rc_script.
        if (lstat(path, &st) == 0) {
            int result = rc_script(path, action);
            free(path);
            return result;
        }
        free(path);
    }
    errno = 0;
    rc_log(0, "Unable to find start/stop script for '%s'\n", name);
    return -1;
}

// print_status - the status word for an init script's or a running test's result.
void print_status(int code)
{
    fputs(code == 0 ? "is running\n" : "is stopped\n", stdout);
    fflush(stdout);
}
