// systest.h - helpers for system tests, which run inside a fresh sandbox.
//
// Every test case runs in its own tests/support/sandbox.sh: the fixed system
// paths are private and writable, Postfix has an empty, back-dated main.cf,
// the popuser account exists, TMPDIR is private scratch space and
// SANDBOX_UPPER holds what the case changed under /etc, /var, /usr, /run and
// /tmp. A test program linked with these helpers refuses to run its cases
// outside a sandbox. Failures of the helpers throw std::runtime_error.
#ifndef MX_TESTS_SYSTEST_H
#define MX_TESTS_SYSTEST_H

#include <map>
#include <string>

#include "testsupport.h"

namespace mxtest {

// RunResult - what a finished command printed and how it ended.
struct RunResult {
    std::string out;
    std::string err;
    int status = -1; // exit status, or 128 + signal number
};

// run - run a shell command line, feeding input, and collect its output.
RunResult run(const std::string& command, const std::string& input = "");

// shellQuote - text as one word for /bin/sh.
std::string shellQuote(const std::string& text);

// startMariaDB - start the panel database server on the default socket:
// database "hsp" with the panel tables, empty; account "admin"@"localhost"
// (SELECT only) whose password is the first line of /etc/hsp/.hsp.shadow.
// Doing nothing when it already runs.
void startMariaDB();

// sql - run statements in database hsp as the server's root; the rows of
// queries come back one line each, columns separated by tabs, in the
// client's batch escaping (NULL, \t, \n, \\).
std::string sql(const std::string& statements);

// fileExists - whether a path exists, a dangling link included.
bool fileExists(const std::string& path);

// makeDirs - create a directory and its missing parents with the given mode.
void makeDirs(const std::string& path, int mode = 0755);

// installScript - write an executable script (mode 0755), creating parents;
// "#!/bin/sh" comes first unless the text starts with "#!". For stand-in
// init scripts and helper programs.
void installScript(const std::string& path, const std::string& shellText);

// backdate - set a file's access and modification times seconds into the
// past: Postfix tools pause on a main.cf younger than a second or so.
void backdate(const std::string& path, int seconds = 60);

} // namespace mxtest

#endif
