#!/usr/bin/env bash
# The Wine wrapper's own test: a GoogleTest program that crashes fails its
# run every time, one that passes passes, and a folder the wrapper did not
# make is neither used nor deleted. $1: the crash_test program.
set -u
wrapper="$(cd "$(dirname "$0")/../.." && pwd)/cmake/wine-run.sh"
status=0
fail() { echo "$1"; status=1; }
for crash in Trap DivideByZero PageFault; do
  ! "$wrapper" "$1" --gtest_filter="Crash.$crash" >/dev/null 2>&1 ||
    fail "a test program that crashed ($crash) passed"
done
"$wrapper" "$1" --gtest_filter=Crash.None >/dev/null 2>&1 || fail "a passing program failed"
foreign=$(mktemp -d)
trap 'rm -rf "$foreign" "$foreign.lock"' EXIT
echo mine >"$foreign/keep"
! TAVDESK_WINEPREFIX="$foreign" "$wrapper" "$1" --gtest_filter=Crash.None >/dev/null 2>&1 ||
  fail "the wrapper ran in a folder it did not make"
[ "$(cat "$foreign/keep" 2>/dev/null)" = mine ] ||
  fail "the wrapper changed a folder it did not make"
exit $status
