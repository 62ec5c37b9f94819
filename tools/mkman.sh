#!/bin/sh
# mkman.sh - write the manual page mxadmin.8 from the built program's own
# command list (--help-commands) and each command's help (COMMAND --help),
# so that the page cannot drift from the program. Every command the program
# lists must belong to exactly one family below and every family member must
# still be listed: either mistake fails the build. The page must pass
# groff -man -ww -z without a warning.
#
# Usage: mkman.sh MXADMIN VERSION OUTPUT
set -eu

if [ "$#" -ne 3 ]; then
    echo "usage: mkman.sh MXADMIN VERSION OUTPUT" >&2
    exit 2
fi
bin=$1
version=$2
out=$3

die() {
    echo "mkman.sh: $*" >&2
    exit 1
}

# Families in page order: whether the commands take options, the heading,
# the commands by their long word. A "none" command would run if asked for
# its help, so it is never asked.
families='options|Mail domains|--add-domain --remove-domain --turn-on-domain --turn-off-domain --set-domain-disk-quota --add-domain-alias --del-domain-alias --rename-domain-alias --set-bounce --set-catchall --set-reject --unset-reject
options|Mail names|--add-mailname --remove-mailname --rename-mailname --add-mailbox --remove-mailbox --get-mailbox-size --set-password --set-mailbox-disk-quota --add-redirect --remove-redirect --set-autoresponder --reset-autoresponder --add-alias --remove-alias
options|Attachments|--list-attachments --add-attachment --remove-attachment
options|Server-wide settings|--set-mail-params --add-badmailfrom --remove-badmailfrom --add-whitelist --remove-whitelist --set-maps-protection --set-accounts-format --set-max-letter-size --get-max-letter-size --get-mailbox-size-limit --features
options|Services|--start-service --stop-service --restart-service --reload-service --status-service
none|Legacy service commands (no options)|--start-smtpd --stop-smtpd --restart-smtpd --status-smtpd --start-qmail-send --stop-qmail-send --start-maild --stop-maild --restart-maild --status-maild --enable-message-submission --disable-message-submission
options|Mail handlers|--add-handler --update-handler --remove-handler --disable-handler --enable-handler --check-handler
options|DomainKeys and SPF|--set-domain-key --remove-domain-key --update-spf
options|Checking and restoring the whole configuration|--check-mail-config --restore-mail-config
none|Help|--help-commands --help-legacy --help'

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
printf '%s\n' "$families" >"$tmp/families"
"$bin" --help-commands >"$tmp/list" || die "$bin --help-commands failed"

# The commands to ask for help, once the list and the families agree.
awk -v families="$tmp/families" '
    BEGIN {
        while ((getline line < families) > 0) {
            split(line, f, "|")
            n = split(f[3], words, " ")
            for (i = 1; i <= n; i++) {
                if (words[i] in kind) { print "mkman.sh: " words[i] " is in two families" > "/dev/stderr"; bad = 1 }
                kind[words[i]] = f[1]
            }
        }
    }
    NR == 1 { if ($0 != "Mxadmin commands:") { print "mkman.sh: unexpected command list" > "/dev/stderr"; bad = 1 }; next }
    /^-/ {
        name = $0
        sub(/  .*/, "", name)
        n = split(name, spellings, ", ")
        word = spellings[n]
        if (!(word in kind)) { print "mkman.sh: " word " is in no family of the manual page" > "/dev/stderr"; bad = 1 }
        listed[word] = 1
        if (kind[word] == "options") print word
    }
    END {
        for (word in kind)
            if (!(word in listed)) { print "mkman.sh: " word " is no longer a command" > "/dev/stderr"; bad = 1 }
        exit bad
    }
' "$tmp/list" >"$tmp/probe" || die "the families do not match --help-commands"

mkdir "$tmp/help"
while read -r word; do
    "$bin" "$word" --help >"$tmp/help/$word" || die "$bin $word --help failed"
done <"$tmp/probe"

awk -v families="$tmp/families" -v helpdir="$tmp/help" -v version="$version" '
    # esc - text for troff: backslashes, minus signs, a break point after each
    # "|" of a long list of choices, no request at a line start.
    function esc(s,    r, i, c) {
        r = ""
        for (i = 1; i <= length(s); i++) {
            c = substr(s, i, 1)
            if (c == "\\") r = r "\\e"
            else if (c == "-") r = r "\\-"
            else if (c == "|") r = r "|\\:"
            else r = r c
        }
        if (r ~ /^[.\047]/) r = "\\&" r
        return r
    }
    # lines - text lines, one troff line each, set as separate lines.
    function lines(s,    n, part, i, r) {
        n = split(s, part, "\n")
        r = esc(part[1])
        for (i = 2; i <= n; i++) r = r "\n.br\n" esc(part[i])
        return r
    }
    function fail(msg) { print "mkman.sh: " msg > "/dev/stderr"; bad = 1; exit 1 }
    # options - the option list of a command help, one .TP entry per option.
    function options(file, word,    line, state, syn, more, n, raw, cont, first, spell, desc, col, c, cand, i, r) {
        state = 0; n = 0; more = ""
        while ((getline line < file) > 0) {
            if (state == 0) { state = 1; continue }
            if (state == 1) {
                if (substr(line, 1, 7) != "Usage: ") fail(word " --help has no Usage line")
                syn = substr(line, 8)
                state = 2
                continue
            }
            if (state == 2) {
                if (line ~ /^Allowed options to .*:$/) { state = 3; continue }
                sub(/^ +/, "", line)
                more = more (more == "" ? "" : "\n") line
                continue
            }
            if (line == "") continue
            if (line ~ /^  -/) { n++; raw[n] = line; cont[n] = ""; continue }
            if (n == 0) fail(word " --help: text before the first option")
            sub(/^ +/, "", line)
            cont[n] = cont[n] line
        }
        close(file)
        if (state != 3 || n == 0) fail(word " --help has no option list")
        split(syn, first, " ")
        if (first[1] != word) fail(word " --help shows the synopsis of " first[1])
        # The description column: the first column of at least 24 where a
        # word starts on every option line.
        col = 0
        for (c = 24; c <= 80 && col == 0; c++) {
            cand = 1
            for (i = 1; i <= n; i++)
                if (substr(raw[i], c, 1) != " " || substr(raw[i], c + 1, 1) == " " || length(raw[i]) <= c) cand = 0
            if (cand) col = c + 1
        }
        if (col == 0) fail(word " --help: no description column in the option list")
        r = ".PP\n\\fBmxadmin " esc(word) "\\fR" esc(substr(syn, length(word) + 1))
        r = r "\n.RS\n" lines(desc_of[word])
        if (more != "" && index(desc_of[word], more) == 0) r = r "\n.br\n" lines(more)
        # One line per option; the help switch every command has is said once.
        r = r "\n.sp\n.PD 0"
        for (i = 1; i <= n; i++) {
            spell = substr(raw[i], 3, col - 3)
            sub(/ +$/, "", spell)
            if (spell == "-h [ --help ]") continue
            desc = substr(raw[i], col) cont[i]
            r = r "\n.TP 22n\n\\fB" esc(spell) "\\fR\n" esc(desc)
        }
        return r "\n.PD\n.RE"
    }
    BEGIN {
        nf = 0
        while ((getline line < families) > 0) {
            nf++
            split(line, f, "|")
            fkind[nf] = f[1]; fhead[nf] = f[2]
            k = split(f[3], words, " ")
            for (i = 1; i <= k; i++) family[words[i]] = nf
        }
    }
    NR == 1 { next }
    /^-/ {
        rows++
        name = $0
        sub(/  .*/, "", name)
        k = split(name, spellings, ", ")
        word[rows] = spellings[k]
        names[rows] = name
        d = substr($0, length(name) + 1)
        sub(/^ +/, "", d)
        desc_of[spellings[k]] = d
        next
    }
    /^ / { d = $0; sub(/^ +/, "", d); desc_of[word[rows]] = desc_of[word[rows]] "\n" d; next }
    END {
        if (bad) exit 1
        print ".\\\" Generated from mxadmin --help-commands and each command\047s --help; do not edit."
        print ".TH MXADMIN 8 \"\" \"mxadmin " version "\" \"System Administration\""
        print ".nh"
        print ".ad l"
        print ".SH NAME"
        print "mxadmin \\- bring the mail server in line with a web-hosting control panel"
        print ".SH SYNOPSIS"
        print ".B mxadmin"
        print ".I command"
        print ".RI [ options ]"
        print ".br"
        print ".B mxadmin"
        print ".I command"
        print ".B \\-\\-help"
        print ".br"
        print ".B mxadmin \\-\\-help\\-commands"
        print ".SH DESCRIPTION"
        print ".B mxadmin"
        print "is the command-line mail-server manager of a web-hosting control panel."
        print "The panel runs it as root, one command per run, to bring Postfix\047s lookup"
        print "tables and configuration, the POP3/IMAP servers\047 files, the mailbox tree on"
        print "disk and the mail authentication database into line with its own database."
        print ".PP"
        print "The first argument names the command; the command\047s options follow it, each"
        print "a long option with its value after an equals sign or as the next argument."
        print "Abbreviated options are not accepted."
        print "A run prints nothing on success unless the command is a query or a report."
        print "Diagnostics go to standard error and are copied to standard output."
        print ".SH COMMANDS"
        print "Options marked (mandatory) must be given;"
        print "every command that takes options also takes"
        print ".B \\-h"
        print "and"
        print ".BR \\-\\-help ."
        for (g = 1; g <= nf; g++) {
            print ".SS " fhead[g]
            for (i = 1; i <= rows; i++) {
                if (family[word[i]] != g) continue
                if (fkind[g] == "options") {
                    print options(helpdir "/" word[i], word[i])
                } else {
                    k = split(names[i], spellings, ", ")
                    t = "\\fB" esc(spellings[1]) "\\fR"
                    for (j = 2; j <= k; j++) t = t ", \\fB" esc(spellings[j]) "\\fR"
                    print ".TP\n" t "\n" lines(desc_of[word[i]])
                }
            }
        }
        print ".SH EXIT STATUS"
        print ".TP\n0\nSuccess; also help printed on request."
        print ".TP\n1\nA usage error (no command, an unknown command, an unknown, malformed or"
        print "missing mandatory option), or the command failed."
        print "A failure ends with one line starting with \\(lqFatal error: \\(rq."
        print ".TP\n2\nThe command failed with an error of an unknown kind"
        print "(\\(lqUNSPECIFIED ERROR OCCURED\\(rq)."
        print ".TP\n255\nA failure of the password, autoresponder or POP3/IMAP service step of"
        print ".BR \\-\\-rename\\-mailname ,"
        print ".BR \\-\\-set\\-autoresponder ,"
        print ".BR \\-\\-reset\\-autoresponder ,"
        print ".BR \\-i ,"
        print ".B \\-t"
        print "and"
        print ".BR \\-z ."
        print ".PP"
        print ".B \\-\\-check\\-handler"
        print "exits with 1 when the handler exists and 0 when it does not."
        print ".B \\-l"
        print "and"
        print ".B \\-m"
        print "pass on the status of the Postfix init script."
        print "The status commands exit with 0 and print the state."
        print ".B \\-\\-check\\-mail\\-config"
        print "exits with 3 when it found differences between the server and the panel"
        print "database, and with 0 when there are none."
        print ".SH ENVIRONMENT"
        for (i = 1; i <= rows; i++)
            if (index(desc_of[word[i]], "HSP_PASSWORD") != 0) users = users (users == "" ? "" : ", ") "\\fB" esc(word[i]) "\\fR"
        if (users == "") fail("no command mentions HSP_PASSWORD")
        print "Passwords never appear on the command line. " users
        print "take the password of the mail name from the environment:"
        print ".TP\n.B HSP_PASSWORD\nthe password in clear text;"
        print ".TP\n.B HSP_CRYPTED_PASSWORD\nthe password already encrypted, used when"
        print ".B HSP_PASSWORD"
        print "is unset or empty."
        print ".PP\nThe variable read is removed from the environment before any program is run."
        print ".SH FILES"
        print ".TP\n.I /var/spool/postfix/ostra/"
        print "Postfix lookup tables"
        print "(virtual, vmailbox, virtual_domains, aliases, blacklists),"
        print "changed through"
        print ".BR postmap (1);"
        print "the mail authentication database passwd.db;"
        print "master.cf.disabled, the services switched off."
        print ".TP\n.I /etc/postfix/main.cf\nchanged through"
        print ".BR postconf (1);"
        print "then Postfix is reloaded."
        print ".TP\n.I /etc/postfix/master.cf\nthe smtp, smtps and submission services."
        print ".TP\n.I /var/qmail/mailnames/\\fIdomain\\fP/\\fImailname\\fP/"
        print "mail homes: Maildir with its maildirsize quota file, .qmail, @attachments."
        print "The root is OSTRA_MAILNAMES_D of the host configuration."
        print ".TP\n.I /etc/courier\\-imap/"
        print "imapd, imapd\\-ssl, pop3d and pop3d\\-ssl"
        print "(under COURIER_IMAP_ROOT_D of the host configuration)."
        print ".TP\n.I /etc/domainkeys/\\fIdomain\\fP/default\nDomainKeys keys."
        print ".TP\n.I /etc/hsp\\-spf/\nspfbehavior, spfrules, spfguess, spfexp."
        print ".TP\n.I /usr/local/hsp/handlers/\nthe mail handler registry (info) and queues."
        print ".TP\n.I /var/lock/files/\nlock files; the directory must exist."
        print ".TP\n.I /etc/hsp/hsp.conf\nthe host configuration, read only."
        print ".SH SEE ALSO"
        print ".BR postconf (1),"
        print ".BR postmap (1),"
        print ".BR postfix (1)"
    }
' "$tmp/list" >"$tmp/page" || die "cannot write the manual page"

# The page is part of the build: a groff warning fails it.
LC_ALL=C groff -man -ww -z "$tmp/page" 2>"$tmp/warnings" || die "groff failed"
if [ -s "$tmp/warnings" ]; then
    cat "$tmp/warnings" >&2
    die "groff warns about the manual page"
fi
mv "$tmp/page" "$out"
