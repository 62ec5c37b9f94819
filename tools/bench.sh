#!/bin/sh
# shellcheck disable=SC2317 # the bench_NAME functions are called by name
# bench.sh - run the benchmarks against a build directory, each inside a sandbox.
#
# Usage: tools/bench.sh [BUILD_DIR] [NAME...]
# Without names every benchmark runs. To add one, write a bench_NAME function
# and add NAME to the list below. BENCH_RUNS sets the runs per command figure
# (default 5), BENCH_SIZES the numbers of mail names (default 1000 10000 100000).
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
[ "$#" -gt 0 ] && shift
case $build in /*) ;; *) build=$here/$build ;; esac
sandbox=$here/tests/support/sandbox.sh
all="startup commands filter restore"
runs=${BENCH_RUNS:-5}
sizes=${BENCH_SIZES:-1000 10000 100000}

# bench_startup - CPU time and instruction counts of runs that do no work.
bench_startup() {
    sh "$sandbox" sh "$here/bench/startup.sh" "$build"
}

# bench_commands - each command against its floor of tool runs, for each
# number of mail names; one sandbox per number.
bench_commands() {
    "$build/bench/cmd_bench" --header
    for n in $sizes; do
        sh "$sandbox" sh "$here/bench/commands.sh" "$build" "$n" "$runs" || failed=1
    done
}

# bench_filter - whole-table rewrites of 1k to 1M records; one process per
# size, so that each peak RSS belongs to that size alone.
bench_filter() {
    for n in 1000 10000 100000 1000000; do
        sh "$sandbox" "$build/bench/filter_bench" "$n"
    done
}

# bench_restore - the whole-configuration check and restore at 10k and 100k mail names.
bench_restore() {
    sh "$sandbox" sh "$here/bench/restore.sh" "$build" ${BENCH_RESTORE_SIZES:-10000 100000}
}

for target in mxadmin filter_bench cmd_bench bench_fixture lib_floor; do
    [ -x "$build/bench/$target" ] || [ -x "$build/mail/postfix/$target" ] ||
        cmake --build "$build" --target "$target"
done
# A command that fails, or runs other tool command lines than its floor,
# makes the status non-zero; the other figures are still printed.
failed=0
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
# shellcheck disable=SC2048 # the list of names is split on purpose
for name in ${*:-$all}; do
    echo "== $name"
    "bench_$name"
done
exit $failed
