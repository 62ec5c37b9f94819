// handlers_systest.cc - the handler commands end to end: the registry and
// the queue markers they leave, their messages and exit statuses.
#include <gtest/gtest.h>

#include <regex>

#include "world.h"

namespace {

using mxtest::Case;

// "hd WORD TYPE VALUES [OPTION...]": mxadmin --WORD-handler for template spam
// at hook before-queue, with /bin/true, context c and priority 10 where the
// command takes them, unless the options say otherwise; VALUES "" is none.
const char HD[] = R"(w=$1 t=$2 v=$3; shift 3
d="handler-name=spam hook=before-queue"
case $w in add | update) d="$d executable=/bin/true context=c priority=10" ;; esac
for o in $d; do case " $* " in *" --${o%%=*}"[=\ ]*) ;; *) set -- "$@" "--$o" ;; esac; done
[ -z "$v" ] || set -- "$@" "--handler-type-name=$v"
exec mxadmin --$w-handler --handler-type=$t "$@"
)";

const std::string BASE = "hd add recipient a@x.com";
const std::string OFF = BASE + "\nhd disable recipient a@x.com";
const std::string GLOBAL = "hd add global '' --hook=before-local";
// The synchronisation program, logging its calls as "ran tmpfs ...".
const std::string SYNC =
    "cd /usr/lib && mkdir -p ostra-9.0 && printf '#!/bin/sh\\necho tmpfs \"$*\" "
    ">>/run/mxtest-init.log\\n' >ostra-9.0/handlers-tmpfs && chmod 755 "
    "ostra-9.0/handlers-tmpfs\n";

const Case CASES[] = {
    {"registry root a file",
     "mkdir -p /usr/local/hsp/handlers && touch /usr/local/hsp/handlers/info",
     "hd add recipient a@x.com", 1, "",
     "Unable to open directory /usr/local/hsp/handlers/info: Not a directory\nUnable to create "
     "directory /usr/local/hsp/handlers/info: File exists\n"},
    // The queue directory cannot be made: the handler stays registered, not enabled.
    {"hook directory a file",
     "mkdir -p /usr/local/hsp/handlers && touch /usr/local/hsp/handlers/before-queue",
     "hd add recipient a@x.com", 1,
     "+handlers info d755 root:root\n+handler 10-spam recipient a@x.com before-queue /bin/true c",
     "Cannot create directory /usr/local/hsp/handlers/before-queue/recipient/a@x.com: File "
     "exists\nSystem error 17: File exists\n"},
    {"add a list to an empty store; a sync program that is not executable is not run",
     SYNC + "chmod 644 /usr/lib/ostra-9.0/handlers-tmpfs",
     "hd add recipient ' ,a@x.com,, ,B@x.com, '", 0, R"(
        +handlers before-queue d755 root:root
        +handlers before-queue/recipient d755 root:root
        +queue before-queue/recipient/a@x.com 10-spam
        +queue before-queue/recipient/b@x.com 10-spam
        +handlers info d755 root:root
        +handler 10-spam recipient a@x.com before-queue /bin/true c
        +handler 10-spam recipient b@x.com before-queue /bin/true c)",
     ""},
    {"add the other types; a relative program is linked by its full path", BASE,
     "cd /usr/bin && hd add sender a@x.com --hook=before-remote --executable=true --priority=5 && "
     "hd add Sender-Domain X.com && hd add recipient-domain x.com",
     0, R"(
        +handlers before-remote d755 root:root
        +handlers before-remote/sender d755 root:root
        +queue before-remote/sender/a@x.com 5-spam
        +handler 5-spam sender a@x.com before-remote /usr/bin/true c
        +handlers before-queue/sender-domain d755 root:root
        +new 10-spam sender-domain x.com
        +handlers before-queue/recipient-domain d755 root:root
        +new 10-spam recipient-domain x.com)",
     ""},
    {"add leaves a value's handler as it is, whatever the case", OFF,
     "hd add Recipient 'A@x.com, c@x.com' --priority=99", 0, "+new 99-spam recipient c@x.com", ""},
    // An empty context is not stored, so an update has none to take over.
    {"add global", BASE, "hd add global '' --context ''; hd update global '' --context ''", 1, R"(
        +queue before-queue/global 10-spam
        +handler 10-spam global - before-queue /bin/true c
        -handlers info/10-spam-*/context f644 root:root c\n
        +handlers info/10-spam-*/global f644 root:root)",
     "~No such parameter 'context' for handler '10-spam-"},
    {"enable global", GLOBAL + "\nhd disable global '' --hook=before-local",
     "hd enable global '' --hook=before-local", 0, "+queue before-local/global 10-spam", ""},
    {"remove global", GLOBAL, "hd remove global '' --hook=before-local", 0, R"(
        -queue before-local/global 10-spam
        -handler 10-spam global - before-local /bin/true c
        -handlers info/10-spam-*/global f644 root:root)",
     ""},
    {"a missing global handler: enable fails silently, update with a message", BASE,
     "hd enable global ''; echo $?; hd disable global ''; echo $?; hd remove global ''; echo $?; "
     "hd update global ''",
     1, "", "1\n0\n0\nHandler spam for (null) does not exist in queue before-queue\n"},
    {"enable warns for a value without the handler and goes on", OFF,
     "hd enable recipient 'c@x.com a@x.com'", 0, "+queue before-queue/recipient/a@x.com 10-spam",
     "Handler spam for recipient c@x.com does not exist in queue before-queue\n"},
    {"disable all: the template in every queue, no other template",
     BASE + "\nhd add sender b@y.com --hook=before-remote\n" + GLOBAL +
         "\nhd add recipient a@x.com --handler-name=spammer",
     "hd disable recipient all", 0, R"(
        -mark before-queue/recipient/a@x.com 10-spam
        -queue before-remote/sender/b@y.com 10-spam
        -queue before-local/global 10-spam)",
     ""},
    {"remove all: the template's handlers of every type",
     BASE + "\nhd add sender b@x.com\nhd add recipient a@x.com --handler-name=spammer",
     "hd remove sender all", 0, R"(
        -mark before-queue/recipient/a@x.com 10-spam
        -handler 10-spam recipient a@x.com before-queue /bin/true c
        -new 10-spam sender b@x.com)",
     ""},
    {"remove takes the values named; each change but a check runs the sync program",
     SYNC + "hd add recipient-domain 'x.com, y.com'",
     "hd check recipient-domain x.com; hd remove recipient-domain x.com", 0, R"(
        -new 10-spam recipient-domain x.com
        +ran tmpfs refresh
        +ran tmpfs refresh)",
     ""},
    {"a failing sync program changes no result",
     SYNC + "echo exit 3 >>/usr/lib/ostra-9.0/handlers-tmpfs\n" + BASE, "hd add recipient c@x.com",
     0, "+new 10-spam recipient c@x.com\n+ran tmpfs refresh", "~Cannot sync tmps storage to fs\n"},
    {"check: 1 for a handler, enabled or not, 0 for none", OFF,
     "hd check reCipient A@x.com; echo $?; hd check recipient b@x.com; echo $?; "
     "hd check recipient a@x.com --hook=x; echo $?",
     0, "", "1\n0\n0\n"},
    // "global" is matched exactly: "Global" is a type needing values.
    {"types but global need values", "", "hd add Global ''", 1, "",
     "Fatal error: ostra::mail::postfix::mxadmin_commands::MissingMandatoryOption(mandatory "
     "option \"--handler-type-name\" is not specified)\n"},
    // The priority is the name's first part: a "-" in it would move the split.
    {"bad input creates nothing", BASE,
     "hd add bogus c@x.com; echo $?; hd add recipient c@x.com --executable=/no/prog; echo $?; "
     "hd add recipient c@x.com --priority=1-2; echo $?",
     0, "",
     "Invalid handler type 'bogus'\nHandler type is invalid: bogus\n1\n"
     "Unable to stat executable '/no/prog': No such file or directory\n1\n"
     "Invalid handler priority '1-2': a decimal number is expected\n1\n"},
    // Succeeding without doing anything would hide the mistake.
    {"an empty list is refused", "", "hd add recipient ' , '", 1, "",
     "~no value in --handler-type-name\nadd a mail-handler\n"},
    // A value that would leave its queue directory is refused.
    {"one failing value does not stop the others", BASE, "hd add recipient '../evil, c@x.com'", 1,
     "+new 10-spam recipient c@x.com", "Invalid handler type name '../evil'\n"},
    {"update: a new handler for each value that has one", BASE,
     "hd update recipient 'a@x.com b@x.com' --executable=/bin/false --context fresh --priority=20",
     0, R"(
        -handler 10-spam recipient a@x.com before-queue /bin/true c
        +handler 20-spam recipient a@x.com before-queue /bin/false fresh
        -mark before-queue/recipient/a@x.com 10-spam
        +mark before-queue/recipient/a@x.com 20-spam)",
     "Handler spam for recipient b@x.com does not exist in queue before-queue\n"},
    {"update keeps what is given empty, and a disabled handler disabled", OFF,
     "hd update recipient a@x.com --executable '' --context=new --priority ''", 0, R"(
        -handlers info/10-spam-*/context f644 root:root c\n
        +handlers info/10-spam-*/context f644 root:root new\n)",
     ""},
    // Drafts are what an add killed before its rename leaves. A value is the
    // first line of its file, trimmed.
    {"registry drafts are skipped, names that cannot be split counted", OFF + R"(
        hd add recipient d@x.com && hd disable recipient d@x.com
        cd /usr/local/hsp/handlers/info && mkdir 10-x nodash 10--x && for f in $(grep -l d@x.com */recipient); do mv ${f%/*} .${f%/*}; done
        cd /usr/local/hsp/handlers/info && printf ' a@x.com \t\nmore\n' >$(grep -l a@x.com */recipient))",
     "{ hd check recipient d@x.com; echo $?; hd enable recipient all; echo $?; } | sort", 0,
     "+queue before-queue/recipient/a@x.com 10-spam",
     "0\n1\nInvalid handler name '10--x': empty template part\n"
     "Invalid handler name '10-x': missing random part\n"
     "Invalid handler name 'nodash': missing priority section\n"
     "Some errors was occured in mass hook operation. errors: 3\n"},
    // The program's full path is too long for a link: the last step fails.
    {"a failing add leaves no draft behind", BASE,
     "D=$(printf %0200d 0 | tr 0 d); P=$TMPDIR; for i in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15; do "
     "P=$P/$D; done; R=$D/$D/$D/$D/$D/$D/$D; mkdir -p $P && cd $P && mkdir -p $R && "
     "cp /bin/true $R/p && hd add recipient c@x.com --executable=$R/p",
     1, "", "~Unable to symlink '"},
    // A registry entry damaged by hand: met by a command, it changes nothing.
    {"entry without its hook: not found", OFF + "\nrm /usr/local/hsp/handlers/info/10-spam-*/hook",
     "hd enable recipient a@x.com", 0, "",
     "~/hook\n\nHandler spam for recipient a@x.com does not exist in queue before-queue\n"},
    {"entry of an unknown type",
     OFF +
         "\nfor f in /usr/local/hsp/handlers/info/10-spam-*/handler-type; do echo bogus >$f; done",
     "hd remove recipient all", 1, "", "~Invalid handler type 'bogus' for handler '10-spam-"},
    // A failing update leaves the old handler as it was.
    {"update to a program that does not exist", BASE,
     "hd update recipient a@x.com --executable=/nonexistent", 1, "",
     "Unable to stat executable '/nonexistent': No such file or directory\n"},
    {"update keeping a program link that is gone",
     BASE + "\nrm /usr/local/hsp/handlers/info/10-spam-*/executable",
     "hd update recipient a@x.com --executable ''", 1, "",
     "Unable to fetch executable link target: No such file or directory\n"},
    {"update keeping a context that is gone",
     BASE + "\nrm /usr/local/hsp/handlers/info/10-spam-*/context",
     "hd update recipient a@x.com --context ''", 1, "",
     "~No such parameter 'context' for handler '10-spam-"},
    {"entry without its value", BASE + "\nrm /usr/local/hsp/handlers/info/10-spam-*/recipient",
     "hd disable recipient all", 1, "",
     "~Unable to fetch 'recipient' parameter value for handler '10-spam-"},
};

// queues - "+new NAME TYPE VALUE" is a handler NAME-* of /bin/true with context c
// in its own new queue directory of before-queue; "+queue DIR NAME" a new queue
// directory with the marker of the handler NAME-*; "+mark DIR NAME" the marker.
std::string queues(std::string text)
{
    static const std::regex add("(^|\\s)([+-])new (\\S+) (\\S+) (\\S+)"),
        queue("(^|\\s)([+-])queue (\\S+) (\\S+)"), mark("(^|\\s)([+-])mark (\\S+) (\\S+)");
    text = std::regex_replace(text, add,
                              "$1$2handler $3 $4 $5 before-queue /bin/true c\n"
                              "$2queue before-queue/$4/$5 $3");
    text = std::regex_replace(text, queue, "$1$2handlers $3 d755 root:root\n$2mark $3 $4");
    return std::regex_replace(text, mark, "$1$2handlers $3/$4-* f644 root:root");
}

TEST(Handlers, Commands)
{
    mxtest::installScript("/usr/local/bin/hd", HD);
    for (Case c : CASES) {
        c.changes = queues(c.changes);
        mxtest::runCase(c, "");
    }
}

} // namespace
