#!/bin/sh
# install-deps.sh - install the Debian packages the build and the tests need
# (dpkg-dev, man-db and groff-base for the package and its manual page), and
# any further packages named as arguments.
# Idempotent: installs only what is missing, starts no mail or database service
# and leaves no Postfix configuration behind.
set -eu

PKGS="build-essential cmake pkg-config clang-format
libboost-program-options-dev libboost-filesystem-dev libboost-system-dev libboost-dev
libsqlite3-dev sqlite3 libmariadb-dev libidn-dev libssl-dev
libgtest-dev libgmock-dev
postfix postfix-pcre mariadb-server mariadb-client
util-linux iproute2 procps passwd strace
dpkg-dev man-db groff-base"
# Extra packages a caller names (make coverage: gcovr).
PKGS="$PKGS $*"

missing=""
for p in $PKGS; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" != 0 ]; then
    echo "install-deps: missing packages:$missing (run as root)" >&2
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive
echo "postfix postfix/main_mailer_type select No configuration" | debconf-set-selections

# Keep the packages' maintainer scripts from starting daemons on the host.
policy=/usr/sbin/policy-rc.d
created_policy=0
if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' >"$policy"
    chmod 755 "$policy"
    created_policy=1
fi
cleanup() { if [ "$created_policy" = 1 ]; then rm -f "$policy"; fi; }
trap cleanup EXIT

apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing

# A package may still have started its daemon where no init policy applies.
for svc in postfix mariadb; do
    if [ -x /etc/init.d/$svc ] && /etc/init.d/$svc status >/dev/null 2>&1; then
        /etc/init.d/$svc stop >/dev/null 2>&1 || true
    fi
done
