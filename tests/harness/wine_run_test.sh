#!/usr/bin/env bash
# The Wine wrapper's own test: a GoogleTest program that crashes fails its
# run every time, one that passes passes, and a folder the wrapper did not
# make is neither used nor deleted. $1: the crash_test program.
set -u
wrapper="$(cd "$(dirname "$0")/../.." && pwd)/cmake/wine-run.sh"
status=0
for crash in Trap DivideByZero PageFault; do
  if "$wrapper" "$1" --gtest_filter="Crash.$crash" >/dev/null 2>&1; then
    echo "a test program that crashed ($crash) passed"
    status=1
  fi
done
"$wrapper" "$1" --gtest_filter=Crash.None >/dev/null 2>&1 || { echo "a passing program failed"; status=1; }

foreign=$(mktemp -d)
trap 'rm -rf "$foreign" "$foreign.lock"' EXIT
echo mine >"$foreign/keep"
if TAVDESK_WINEPREFIX="$foreign" "$wrapper" "$1" --gtest_filter=Crash.None >/dev/null 2>&1; then
  echo "the wrapper ran in a folder it did not make"
  status=1
fi
[ "$(cat "$foreign/keep" 2>/dev/null)" = mine ] || { echo "the wrapper changed a folder it did not make"; status=1; }
exit $status
