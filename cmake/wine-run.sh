#!/usr/bin/env bash
# Runs one Windows program under Wine for ctest and the Makefile.
#
# The prefix is our own (never ~/.wine), created once under a lock and set to
# the null display driver, no audio and no crash dialog. A persistent
# wineserver is started with every descriptor on /dev/null: ctest waits for
# EOF on a test's pipes, and a wineserver that inherited them would hold the
# run for ever. Wine's own stderr goes to a temporary file that is printed
# after the program ends, so that only the program's output reaches ctest.
# A program that crashes or hangs fails; it never blocks the run.
set -u

here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX=${TAVDESK_WINEPREFIX:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/tavdesk/wineprefix}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
# A hung program is killed after this many seconds, so no run can block.
limit=${TAVDESK_WINE_TIMEOUT:-300}

mkdir -p "$(dirname "$WINEPREFIX")"
lock="$WINEPREFIX.lock"

prepare_prefix() {
  if [ ! -f "$WINEPREFIX/.tavdesk-ready" ]; then
    rm -rf "$WINEPREFIX"
    wineboot -i </dev/null >/dev/null 2>&1 9>&-
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1 9>&-
    wine reg add 'HKCU\Software\Wine\Drivers' /v Audio /d '' /f </dev/null >/dev/null 2>&1 9>&-
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f </dev/null >/dev/null 2>&1 9>&-
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1 9>&-
    wineserver -k </dev/null >/dev/null 2>&1 9>&-
    wineserver -w </dev/null >/dev/null 2>&1 9>&-
    touch "$WINEPREFIX/.tavdesk-ready"
  fi
  # A warm wineserver makes each program start in ~0.1 s instead of ~1 s.
  # It exits at once when one already serves this prefix; the first program
  # starts Wine's services, which must not inherit ctest's pipes either.
  wineserver -p60 </dev/null >/dev/null 2>&1 9>&-
  wine cmd /c exit </dev/null >/dev/null 2>&1 9>&-
}

(
  flock 9
  prepare_prefix
) 9>"$lock"

[ $# -gt 0 ] || exit 0

errfile=$(mktemp)
trap 'rm -f "$errfile"' EXIT
timeout --kill-after=5 "$limit" wine "$@" 2>"$errfile"
rc=$?
if [ -s "$errfile" ]; then
  cat "$errfile" >&2
fi
if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
  echo "wine-run: $1 did not finish within ${limit} s and was killed" >&2
fi
# Wine's crash handler can leave a crashed program with exit status 0.
if [ $rc -eq 0 ] && grep -q 'Unhandled \(exception\|page fault\)' "$errfile"; then
  echo "wine-run: $1 crashed" >&2
  rc=70
fi
exit $rc
