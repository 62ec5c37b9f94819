#!/bin/sh
# soak.sh - the long forms of the reliability tests: many concurrent runs for
# a minute (the whole mix, then the lookup tables alone), a thousand runs
# killed with SIGKILL, and runs against a popuser swapping a directory of its
# mail home with a link (RACE runs of each of four commands). Each form runs
# in a sandbox of its own; the figures go to standard output and to
# BUILD_DIR/soak-report.txt.
#
# Usage: soak.sh BUILD_DIR [WORKERS [SECONDS [KILLS [RACE]]]]   (16, 60, 1000, 150)
# Needs root, as every system test. Exit status 1 when a form failed.
set -u

if [ "$#" -lt 1 ]; then
    echo "usage: soak.sh BUILD_DIR [WORKERS [SECONDS [KILLS [RACE]]]]" >&2
    exit 2
fi
build=$1
workers=${2:-16}
seconds=${3:-60}
kills=${4:-1000}
race=${5:-150}
case $0 in */*) here=${0%/*} ;; *) here=. ;; esac
sandbox=$here/../support/sandbox.sh
report=$build/soak-report.txt
soak=$build/tests/mail_postfix_reliability_soak_systest
crash=$build/tests/mail_postfix_reliability_crash_systest
hostile=$build/tests/mail_postfix_hostile_home_systest

for program in "$soak" "$crash" "$hostile"; do
    if [ ! -x "$program" ]; then
        echo "soak.sh: $program is missing: build first" >&2
        exit 2
    fi
done

: >"$report"
export MX_SOAK_REPORT="$report"
failed=0

# form TITLE ENVIRONMENT PROGRAM FILTER - one form in a fresh sandbox.
form() {
    echo "== $1"
    if ! env $2 "$sandbox" "$3" --gtest_filter="$4" --gtest_brief=1; then
        failed=1
        echo "== $1: FAILED" | tee -a "$report"
    fi
}

form "concurrent runs, whole mix ($workers x ${seconds}s)" \
    "MX_SOAK_WORKERS=$workers MX_SOAK_SECONDS=$seconds" "$soak" '*MixedRuns*'
form "concurrent runs, tables only ($workers x ${seconds}s)" \
    "MX_SOAK_WORKERS=$workers MX_SOAK_SECONDS=$seconds" "$soak" '*TableRewrites*'
form "runs killed with SIGKILL ($kills)" "MX_CRASH_KILLS=$kills" "$crash" '*'
form "runs against a swapping popuser ($race x 4 commands)" "MX_RACE_RUNS=$race" "$hostile" \
    '*Swapping*'

echo
echo "Figures (also in $report):"
cat "$report"
exit "$failed"
