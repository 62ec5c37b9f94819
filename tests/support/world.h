// world.h - the mail server inside a system test's sandbox as one value:
// reset it, list everything a command can change as sorted lines, and run
// tables of cases that compare the changes a command made with the changes
// expected.
//
// A case starts from an empty server (empty lookup tables, no mail tree, an
// authentication database with no rows, an empty main.cf, the stock
// master.cf, stand-in init scripts that log their calls) with the panel
// database holding the case's rows; its setup lines bring it to the starting
// state, then its command runs and the snapshot taken after is compared with
// the one taken before.
#ifndef MX_TESTS_WORLD_H
#define MX_TESTS_WORLD_H

#include <string>
#include <vector>

#include "systest.h"

namespace mxtest {

// Fixed places of the server that the tests look at.
extern const char* const TABLES;    // lookup tables and the authentication database
extern const char* const MAIL_ROOT; // mail homes
extern const char* const AUTH_DB;   // the authentication database
extern const char* const INIT_LOG;  // one line per call of a stand-in init script

// The standard panel: example.com (limit mbox_quota 3000) with the alias
// domains alias1.com and alias2.com and the mail names info (mail aliases i1
// and i2) and sales (own quota 500); other.com, a second customer, with the alias
// domain other-alias.com and the mail name ceo (mail alias boss).
extern const char* const PANEL;

// resetWorld - an empty server with the given panel rows (SQL; "" for none).
// The first call also sets MXTEST_PRISTINE to a directory holding the stock
// master.cf and the real Postfix init script (postfix.init).
void resetWorld(const std::string& panelSql = "");

// snapshot - every observable line of the server, sorted: "table key value",
// "tree|spool|etc path type+mode owner [content]", "auth ...", "main.cf ...",
// "master.cf ...", "ran ..." (init-script calls).
std::vector<std::string> snapshot();

// changes - "+line" for lines only in after, "-line" for lines only in
// before, one per text line, sorted by line.
std::string changes(const std::vector<std::string>& before, const std::vector<std::string>& after);

// expand - expected changes written with shorthands, made plain (see
// world.cc): "+std D" the six standard addresses of D, "+home D/M" a fresh
// mail home, "+root D" a domain root, "+quota D/M TEXT" its maildirsize,
// "+handler PRIO-TMPL TYPE VALUE HOOK EXECUTABLE CONTEXT" a handler's registry entry.
std::string expand(const std::string& text);

// shell - run a shell line with the built mxadmin first on PATH; the result.
RunResult shell(const std::string& line);

// withoutTable - a shell line: command run while the panel's table is
// renamed away, then the table named back; the command's status.
std::string withoutTable(const std::string& table, const std::string& command);

// setup - run the lines of a starting state, each of which must succeed:
// "sql ..." goes to the panel database, anything else to the shell.
void setup(const std::string& lines);

// Case - one row of a command table. out is the command's exact standard
// output, or with a leading "~" a text it must contain.
struct Case {
    std::string name;
    std::string setup;   // starting state, one line each (see setup)
    std::string command; // a shell line, usually "mxadmin --..."
    int status;
    std::string changes; // expected changes, with shorthands
    std::string out;
};

// runCase - reset with the panel rows, set up, run, compare; failures name the case.
void runCase(const Case& c, const std::string& panelSql = PANEL);

} // namespace mxtest

#endif
