#!/bin/sh
# run.sh - run one fuzz target for a while at the lowest priority.
#
# Usage: fuzz/run.sh BUILD_DIR TARGET SECONDS [LIBFUZZER_OPTION...]
#   TARGET is the name without "_fuzz": mastercf, hspconf, strutil,
#   recordfilter, cmdline. New inputs collect in BUILD_DIR/fuzz-corpus/TARGET,
#   crashes in BUILD_DIR/fuzz-findings/TARGET; the committed seeds in
#   fuzz/corpus/TARGET are read, never written. An input that runs for more
#   than a minute counts as a hang.
set -eu

if [ "$#" -lt 3 ]; then
    echo "usage: run.sh BUILD_DIR TARGET SECONDS [LIBFUZZER_OPTION...]" >&2
    exit 2
fi
build=$1 target=$2 seconds=$3
shift 3
here=$(cd "$(dirname "$0")" && pwd)
exe=$build/fuzz/${target}_fuzz
[ -x "$exe" ] || { echo "run.sh: $exe not built (cmake --build $build --target ${target}_fuzz)" >&2; exit 2; }
mkdir -p "$build/fuzz-corpus/$target" "$build/fuzz-findings/$target"
dict=
[ ! -f "$here/$target.dict" ] || dict=-dict=$here/$target.dict
# The command-line target links every command handler: as root it runs in the
# sandbox of the system tests, where a mistake could change no real system file.
wrap=
[ "$target" != cmdline ] || [ "$(id -u)" != 0 ] || wrap=$here/../tests/support/sandbox.sh

# shellcheck disable=SC2086
exec nice -n 19 $wrap "$exe" -max_total_time="$seconds" -timeout=60 -print_final_stats=1 \
    -artifact_prefix="$build/fuzz-findings/$target/" $dict "$@" "$build/fuzz-corpus/$target" \
    "$here/corpus/$target"
