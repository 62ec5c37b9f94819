#!/bin/sh
# package_systest.sh - the Debian package of a build tree, inside the
# sandbox: cpack builds it, dpkg -i installs it, the installed program lists
# its commands and adds a black-list record through the real postmap, its
# manual page shows every listed command, and dpkg -r leaves none of its
# files behind.
#
# Usage: sandbox.sh /bin/sh package_systest.sh BUILD_DIR
set -eu

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
# show LOG WHAT - the log of a failed step, then the failure.
show() {
    cat "$1" >&2
    fail "$2"
}
[ "${SANDBOX:-}" = 1 ] || fail "this installs a package: run it through tests/support/sandbox.sh"
build=$(cd "$1" && pwd)
work=$TMPDIR/package
bin=/usr/sbin/mxadmin
mkdir "$work"

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work" >"$work/log" 2>&1 || show "$work/log" "cpack"
set -- "$work"/mxadmin_*.deb
if [ "$#" != 1 ] || [ ! -f "$1" ]; then
    fail "cpack made no single package: $*"
fi
deb=$1

# Only the program, its page and the files every package carries.
dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' >"$work/contents"
printf '%s\n' ./usr/sbin/mxadmin ./usr/share/doc/mxadmin/changelog.gz \
    ./usr/share/doc/mxadmin/copyright ./usr/share/man/man8/mxadmin.8.gz >"$work/expected"
diff -u "$work/expected" "$work/contents" >&2 || fail "the package holds other files"

# Rebuilding the manual page index would take most of the test's time.
rm -f /var/lib/man-db/auto-update
dpkg -i "$deb" >"$work/log" 2>&1 || show "$work/log" "dpkg -i"
[ "$(stat -c '%a %U %G' "$bin")" = "754 root root" ] ||
    fail "$bin is $(stat -c '%a %U %G' "$bin"), not a root tool of mode 754"

"$bin" --help-commands >"$work/commands" || fail "$bin --help-commands"
"$build/mail/postfix/mxadmin" --help-commands >"$work/built" || fail "the built --help-commands"
cmp "$work/built" "$work/commands" >&2 || fail "the installed program is not the built one"

mkdir -p /var/spool/postfix/ostra
"$bin" --add-badmailfrom --domain-name=Spam.Example || fail "$bin --add-badmailfrom"
record=$(postmap -s hash:/var/spool/postfix/ostra/blacklists)
[ "$record" = "$(printf 'spam.example\tREJECT')" ] || fail "blacklists holds '$record'"

# Each row of the command list heads an entry of the page: "mxadmin" and
# the command with its synopsis, or the spellings of a command without options.
page=$(dpkg -L mxadmin | grep '/man8/mxadmin\.8\.gz$') || fail "no manual page installed"
LC_ALL=C MANWIDTH=200 man --warnings=w -l "$page" >"$work/page" 2>"$work/log" || show "$work/log" "man -l"
[ ! -s "$work/log" ] || show "$work/log" "man warns about the page"
sed -n 's/^\(-[^ ]*\(, -[^ ]*\)*\)  .*/\1/p' "$work/commands" >"$work/names"
if [ ! -s "$work/names" ] || [ "$(wc -l <"$work/names")" != "$(grep -c '^-' "$work/commands")" ]; then
    fail "cannot read the command names of --help-commands"
fi
while IFS= read -r name; do
    grep -qE "^ +(mxadmin )?$name( |\$)" "$work/page" || fail "the manual page has no entry for $name"
done <"$work/names"

dpkg -L mxadmin >"$work/files"
dpkg -r mxadmin >"$work/log" 2>&1 || show "$work/log" "dpkg -r"
! dpkg -s mxadmin >/dev/null 2>&1 || fail "mxadmin is still known to dpkg after dpkg -r"
while IFS= read -r path; do
    if [ -e "$path" ] && ! { [ -d "$path" ] && dpkg -S "$path" >/dev/null 2>&1; }; then
        fail "dpkg -r left $path"
    fi
done <"$work/files"
echo "package: built, installed, used, documented and removed"
