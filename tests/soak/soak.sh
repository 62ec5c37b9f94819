#!/bin/sh
# soak.sh - the long forms of the reliability tests, each in a sandbox: many
# workers running commands at the same time for many rounds (the end state
# must be that of the same runs one after another), many runs killed with
# SIGKILL, and runs against a popuser swapping a directory of its mail home
# with a link. The figures go to standard output and to
# BUILD_DIR/soak-report.txt. MX_SOAK_SEED repeats a run of kills.
#
# Usage: soak.sh BUILD_DIR [WORKERS [ROUNDS [KILLS [RACE]]]]   (16, 10, 1000, 150)
# Needs root, as every system test. Exit status 1 when a form failed.
set -u

if [ "$#" -lt 1 ]; then
    echo "usage: soak.sh BUILD_DIR [WORKERS [ROUNDS [KILLS [RACE]]]]" >&2
    exit 2
fi
case $0 in */*) here=${0%/*} ;; *) here=. ;; esac
reliability=$1/tests/mail_postfix_reliability_systest
hostile=$1/tests/mail_postfix_hostile_home_systest
report=$1/soak-report.txt
for program in "$reliability" "$hostile"; do
    if [ ! -x "$program" ]; then
        echo "soak.sh: $program is missing: build first" >&2
        exit 2
    fi
done

status=0
MX_SOAK_WORKERS=${2:-16} MX_SOAK_ROUNDS=${3:-10} MX_CRASH_KILLS=${4:-1000} \
    "$here/../support/sandbox.sh" "$reliability" --gtest_brief=1 >"$report" 2>&1 || status=1
MX_RACE_RUNS=${5:-150} "$here/../support/sandbox.sh" "$hostile" --gtest_brief=1 \
    --gtest_filter='*Swapping*' >>"$report" 2>&1 || status=1
cat "$report"
exit $status
