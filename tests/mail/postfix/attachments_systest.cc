// attachments_systest.cc - the attachment store commands end to end: the
// files they leave in a mail home's "@attachments" and what they list.
#include <gtest/gtest.h>

#include "world.h"

namespace {

using mxtest::Case;

// "att add|remove NAME [OPTION...]", "att list [OPTION...]": the attachment
// command for john at x.com, adding the upload $TMPDIR/up, unless the
// options say otherwise.
const char ATT[] = R"(w=$1; shift; d="domain-name=x.com"
case $w in add | remove) set -- "$@" "--attachment-file-name=$1"; shift ;; esac
case $w in add) d="$d file-name=$TMPDIR/up" ;; esac
case " $* " in *" --mail-all "*) ;; *) d="$d mailname=john" ;; esac
for o in $d; do case " $* " in *" --${o%%=*}="*) ;; *) set -- "$@" "--$o" ;; esac; done
[ $w = list ] && exec mxadmin --list-attachments "$@" || exec mxadmin --$w-attachment "$@"
)";

// John's store holds a.txt ("old", mode 0600); the upload holds "new".
const std::string DIR = "/var/qmail/mailnames/x.com/john/@attachments/";
const std::string STORE = "mkdir -p " + DIR + " && echo old >" + DIR + "a.txt && chmod 600 " + DIR +
                          "a.txt && echo new >$TMPDIR/up\n";

const Case CASES[] = {
    {"add, also under a domain's ASCII form",
     STORE + "mkdir -p /var/qmail/mailnames/xn--bcher-kva.de/anna/@attachments",
     "att add b.pdf && att add f --domain-name=bücher.de --mailname=anna", 0, R"(
        +tree x.com/john/@attachments/b.pdf f644 root:root new\n
        +tree xn--bcher-kva.de/anna/@attachments/f f644 root:root new\n)",
     ""},
    {"add under an existing name replaces it", STORE, "att add a.txt", 0, R"(
        -tree x.com/john/@attachments/a.txt f600 root:root old\n
        +tree x.com/john/@attachments/a.txt f644 root:root new\n)",
     ""},
    {"a missing upload fails and keeps the attachment", STORE, "att add a.txt --file-name=/no/such",
     1, "", "~Unable to copy the attachment file /no/such to " + DIR + "a.txt\n"},
    {"remove; a missing file counts as removed, a directory fails", STORE + "mkdir " + DIR + "d",
     "att remove a.txt && att remove a.txt && att remove d", 1,
     "-tree x.com/john/@attachments/a.txt f600 root:root old\\n",
     "~Unable to delete the attachment file " + DIR + "d: "},
    {"list: name, tab and size, or full path, or allocated size",
     STORE + "head -c 1000 /dev/zero >" + DIR + "a.txt",
     "att list && att list --fullname && att list --in-blocks | sed \"s/\t$(( $(stat -c %b " + DIR +
         "a.txt) * 512 ))$/\tBLOCKS/\"",
     0, "", "a.txt\t1000\n" + DIR + "a.txt\t1000\na.txt\tBLOCKS\n"},
    {"list all: every mail home's attachments, no plain files or subdirectories",
     STORE + "cd /var/qmail/mailnames/x.com && mkdir -p none jane/@attachments john/@attachments/d "
             "&& echo b >jane/@attachments/b && touch plain john/@attachments/d/s",
     "{ att list --mail-all; echo $?; } | LC_ALL=C sort", 0, "",
     "\n0\nSystem error 2: No such file or directory\nUnable to open dir "
     "/var/qmail/mailnames/x.com/none/@attachments: No such file or directory\n"
     "a.txt\t4\nb\t2\n"},
    {"over-long paths are errors, never cut", STORE,
     "M=$(printf %04080d 0); { att add f --mailname=$M; echo $?; att list --mailname=$M; echo $?; "
     "att remove $M; echo $?; } | sed 's/.* is too long$/too long/'",
     0, "", "too long\n1\ntoo long\n1\ntoo long\n1\n"},
    // Tabs and line ends would break the listing the panel reads.
    {"names with control characters are refused and not listed",
     STORE + "echo p >\"$(printf '" + DIR + "x\\t5\\nforged')\"",
     "{ att add \"$(printf 'a\\tb')\"; att add \"$(printf 'a\\033b')\"; echo $?; att list; } | "
     "cut -d: -f1",
     0, "",
     "Invalid attachment file name 'a?b'\nInvalid attachment file name 'a?b'\n1\na.txt\t4\n"},
    {"names leaving the store are refused", STORE,
     "{ att add ../e; att add .; att remove s/f; att remove ..; att add f --mailname=../john; "
     "echo $?; } | cut -d: -f1",
     0, "",
     "Invalid attachment file name '../e'\nInvalid attachment file name '.'\n"
     "Invalid attachment file name 's/f'\nInvalid attachment file name '..'\n"
     "Invalid mail name '../john'\n1\n"},
};

TEST(Attachments, Commands)
{
    mxtest::installScript("/usr/local/bin/att", ATT);
    for (const Case& c : CASES)
        mxtest::runCase(c, "");
}

} // namespace
