#!/usr/bin/env bash
# Runs one Windows program under Wine for ctest and the Makefile.
#
# The prefix is our own (never ~/.wine), created once under a lock and set to
# the null display driver, no audio and no crash dialog. A persistent
# wineserver is started with every descriptor on /dev/null: ctest waits for
# EOF on a test's pipes, and a wineserver that inherited them would hold the
# run for ever. Wine's own stderr goes to a temporary file that is printed
# after the program ends, so that only the program's output reaches ctest.
#
# A program that crashes or hangs fails, every time. Wine's exit status alone
# can't say so (a crashed program sometimes exits 0), so a GoogleTest program
# is judged by its own XML result as well: no result, or one that counts a
# failure, fails the run. Wine's "Unhandled ..." crash report fails it too.
set -u

export WINEPREFIX=${TAVDESK_WINEPREFIX:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/tavdesk/wineprefix}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
# A hung program is killed after this many seconds, so no run can block.
limit=${TAVDESK_WINE_TIMEOUT:-300}

ready="$WINEPREFIX/.tavdesk-ready"
# Written into an empty folder before Wine fills it: the folder is ours, and
# a prefix that never got ready may be deleted and made again.
ours="$WINEPREFIX/.tavdesk-creating"

mkdir -p "$(dirname "$WINEPREFIX")"
lock="$WINEPREFIX.lock"

quiet() { "$@" </dev/null >/dev/null 2>&1 9>&-; }

make_prefix() {
  if [ -e "$WINEPREFIX" ] && [ ! -f "$ours" ] && [ -n "$(ls -A "$WINEPREFIX" 2>/dev/null)" ]; then
    echo "wine-run: $WINEPREFIX is not empty and was not made by this script;" \
         "refusing to use or delete it (set TAVDESK_WINEPREFIX to another folder)" >&2
    return 1
  fi
  if [ -f "$ours" ]; then rm -rf "$WINEPREFIX"; fi
  mkdir -p "$WINEPREFIX" && touch "$ours" || return 1
  quiet wineboot -i || { echo "wine-run: wineboot failed in $WINEPREFIX" >&2; return 1; }
  local setting key value type data
  for setting in 'Drivers|Graphics|REG_SZ|null' 'Drivers|Audio|REG_SZ|' \
                 'WineDbg|ShowCrashDialog|REG_DWORD|0' 'X11 Driver|Managed|REG_SZ|N'; do
    IFS='|' read -r key value type data <<<"$setting"
    quiet wine reg add "HKCU\\Software\\Wine\\$key" /v "$value" /t "$type" /d "$data" /f ||
      { echo "wine-run: setting $key\\$value failed" >&2; return 1; }
  done
  # The desktop picks its display driver when it starts: restart it. The
  # stopped wineserver has written the registry out; it must hold the settings.
  quiet wineserver -k
  quiet wineserver -w
  grep -q '^"Graphics"="null"' "$WINEPREFIX/user.reg" 2>/dev/null &&
    grep -q '^"ShowCrashDialog"=dword:00000000' "$WINEPREFIX/user.reg" ||
    { echo "wine-run: the prefix's registry lacks its settings" >&2; return 1; }
  touch "$ready"
}

prepare_prefix() {
  if [ ! -f "$ready" ]; then make_prefix || return 1; fi
  # A warm wineserver makes each program start in ~0.1 s instead of ~1 s.
  # It exits at once when one already serves this prefix; the first program
  # starts Wine's services, which must not inherit ctest's pipes either.
  quiet wineserver -p60
  quiet wine cmd /c exit
  return 0
}

(
  flock 9
  prepare_prefix
) 9>"$lock" || exit 1

[ $# -gt 0 ] || exit 0

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
errfile="$scratch/stderr"
xml="$scratch/result.xml"
gtest=0
if [ -f "$1" ] && LC_ALL=C grep -qa 'gtest_output' "$1"; then
  gtest=1
  # Wine's Z: drive is the Unix root.
  export GTEST_OUTPUT="xml:Z:${xml//\//\\}"
fi

timeout --kill-after=5 "$limit" wine "$@" 2>"$errfile"
rc=$?
if [ -s "$errfile" ]; then
  cat "$errfile" >&2
fi
if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
  echo "wine-run: $1 did not finish within ${limit} s and was killed" >&2
fi
if [ $rc -eq 0 ] && grep -q 'Unhandled ' "$errfile"; then
  echo "wine-run: $1 crashed" >&2
  rc=70
fi
if [ $rc -eq 0 ] && [ $gtest -eq 1 ]; then
  summary=$(grep -m1 '<testsuites ' "$xml" 2>/dev/null)
  if [ -z "$summary" ]; then
    echo "wine-run: $1 ended without its test result (it crashed or exited early)" >&2
    rc=70
  elif ! grep -q ' failures="0"' <<<"$summary" || ! grep -q ' errors="0"' <<<"$summary"; then
    echo "wine-run: $1 exited 0 but its test result counts failures" >&2
    rc=71
  fi
fi
exit $rc
