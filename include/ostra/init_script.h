// init_script.h - init scripts of other daemons, and the process table.
#ifndef OSTRA_INIT_SCRIPT_H
#define OSTRA_INIT_SCRIPT_H

#include <sys/types.h>

#include <string>

#include <boost/function.hpp>

// restart_daemon - run the init script of service name with action ("start",
// "stop", "restart", "reload", "status"); 0 on success, -1 on failure (logged).
// With NO_RESTART_DAEMON in the host configuration nothing runs and 0 is returned.
int restart_daemon(const char* name, const char* action);

// rc_script - run the init script at path with one argument, in its own
// directory and session, with /dev/null as stdin and stdout; 0 when it exits
// with 0, else -1 (logged unless action is "status"). A path that is missing
// or not a regular file ends the program with status 1.
int rc_script(const char* path, const char* action);

// print_status - "is running" for code 0, else "is stopped", and a newline, on stdout.
void print_status(int code);

// killproc - send SIGINT to the first process whose executable is exactly
// path; 0 when signalled or when there is none, -1 when kill failed (logged).
int killproc(const char* path);

// parse_proc_stat - command name and parent pid from the text of a
// /proc/<pid>/stat file; 0, or -1 when the text is not of that form.
int parse_proc_stat(const char* text, std::string* comm, pid_t* ppid);

namespace ostra {

// ProcessPredicate - (pid, parent pid, command name): whether the walk stops here.
typedef boost::function<bool(pid_t, pid_t, const std::string&)> ProcessPredicate;

// iterateProcesses - walk /proc until match is true; that process's pid, or
// 0 when none matched or /proc could not be opened (logged).
pid_t iterateProcesses(const ProcessPredicate& match);

} // namespace ostra

#endif
