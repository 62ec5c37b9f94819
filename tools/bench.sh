#!/bin/sh
# bench.sh - run the benchmarks against a build directory, each inside a sandbox.
#
# Usage: tools/bench.sh [BUILD_DIR] [NAME...]
# Without names every benchmark runs. To add one, write a bench_NAME function
# and add NAME to the list below.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
[ "$#" -gt 0 ] && shift
case $build in /*) ;; *) build=$here/$build ;; esac
sandbox=$here/tests/support/sandbox.sh
all="filter"

# bench_filter - whole-table rewrites of 10k, 100k and 1M records; one process
# per size, so that each peak RSS belongs to that size alone.
bench_filter() {
    for n in 10000 100000 1000000; do
        sh "$sandbox" "$build/bench/filter_bench" "$n"
    done
}

[ -x "$build/bench/filter_bench" ] || cmake --build "$build" --target filter_bench
for name in ${*:-$all}; do
    echo "== $name"
    "bench_$name"
done
