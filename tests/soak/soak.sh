#!/bin/sh
# soak.sh - the long forms of the reliability tests in a sandbox: many
# workers running commands at the same time for many rounds (the end state
# must be that of the same runs one after another), and many runs killed with
# SIGKILL. The figures go to standard output and to
# BUILD_DIR/soak-report.txt. MX_SOAK_SEED repeats a run of kills.
#
# Usage: soak.sh BUILD_DIR [WORKERS [ROUNDS [KILLS]]]   (16, 10, 1000)
# Needs root, as every system test. Exit status 1 when a form failed.
set -u

if [ "$#" -lt 1 ]; then
    echo "usage: soak.sh BUILD_DIR [WORKERS [ROUNDS [KILLS]]]" >&2
    exit 2
fi
case $0 in */*) here=${0%/*} ;; *) here=. ;; esac
program=$1/tests/mail_postfix_reliability_systest
report=$1/soak-report.txt
if [ ! -x "$program" ]; then
    echo "soak.sh: $program is missing: build first" >&2
    exit 2
fi

MX_SOAK_WORKERS=${2:-16} MX_SOAK_ROUNDS=${3:-10} MX_CRASH_KILLS=${4:-1000} \
    "$here/../support/sandbox.sh" "$program" --gtest_brief=1 >"$report" 2>&1
status=$?
cat "$report"
exit $status
