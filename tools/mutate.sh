#!/usr/bin/env bash
# Mutation testing: applies each mutant of tools/mutants.txt alone (one text
# of one file replaced), rebuilds only the test programs that cover that
# file, runs them, and puts the file back. A mutant is killed when a test
# program fails, crashes or hangs; it survives when they all pass.
#
# The mutants build in folders of their own (build/mutate-win and
# build/mutate-native), so build/win and build/native are never left holding
# a mutated program. Usage: tools/mutate.sh [list] (default tools/mutants.txt)
set -u
cd "$(dirname "$0")/.."
root=$(pwd)
list=${1:-tools/mutants.txt}
win=build/mutate-win
native=build/mutate-native
jobs=${JOBS:-2}
# A mutant that makes a program hang is killed; it need not wait long for it.
export TAVDESK_WINE_TIMEOUT=${TAVDESK_WINE_TIMEOUT:-120}
log=build/mutate.log

# The test programs that cover a file: the suites of its own component, and
# of the component whose tests drive it hardest. "native:" marks a program of
# the native build.
tests_for() {
  case "$1" in
    link/link_device.cpp | link/cable_driver.h | link/cable_protocol.h | link/packet_transport.cpp)
      echo link_test ;;
    link/packet_format.* | link/byte_reader.h) echo native:portable_test link_test ;;
    link/device_info.*) echo native:portable_test link_test ;;
    session/request_format.*) echo native:portable_test session_test ;;
    session/elf_check.*) echo native:portable_test session_test ;;
    session/target_session.cpp | session/host_file_service.cpp | session/console_files.cpp) echo session_test ;;
    session/stall_watchdog.cpp) echo worker_pages_test ;;
    session/path_map.cpp) echo native:portable_test ;;
    session/path_map_win32.cpp) echo session_test ;;
    ui/log_queue.cpp) echo log_queue_test ;;
    ui/device_page.cpp | ui/tavdesk.rc) echo worker_pages_test log_queue_test ;;
    ui/main_window.cpp) echo main_window_test worker_pages_test dll_search_test ;;
    sim/virtual_cable.cpp) echo virtual_cable_test ;;
    session/link_worker.cpp) echo worker_pages_test program_test ;;
    config/settings_page.cpp) echo worker_pages_test ;;
    ui/program.cpp) echo program_test ;;
    sim/sim_timing.cpp) echo link_test ;;
    config/settings.cpp) echo settings_test ;;
    *) return 1 ;;
  esac
}

configure() {
  [ -f "$win/CMakeCache.txt" ] ||
    cmake -S . -B "$win" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >>"$log" 2>&1 || return 1
  [ -f "$native/CMakeCache.txt" ] ||
    cmake -S . -B "$native" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >>"$log" 2>&1
}

# Builds and runs the given programs; fails at the first one that fails.
build_and_run() {
  local winTargets=() nativeTargets=() t
  for t in "$@"; do
    if [[ $t == native:* ]]; then nativeTargets+=("${t#native:}"); else winTargets+=("$t"); fi
  done
  if [ ${#nativeTargets[@]} -gt 0 ]; then
    cmake --build "$native" -j "$jobs" --target "${nativeTargets[@]}" >>"$log" 2>&1 || return 2
  fi
  if [ ${#winTargets[@]} -gt 0 ]; then
    cmake --build "$win" -j "$jobs" --target "${winTargets[@]}" >>"$log" 2>&1 || return 2
  fi
  for t in "${nativeTargets[@]}"; do
    timeout --kill-after=5 "$TAVDESK_WINE_TIMEOUT" "$native/$t" --gtest_brief=1 >>"$log" 2>&1 || return 1
  done
  # The code page 932 suite needs Wine in a ja_JP locale, which only its
  # own ctest entry starts; it is left out here.
  for t in "${winTargets[@]}"; do
    cmake/wine-run.sh "$win/$t.exe" --gtest_brief=1 '--gtest_filter=-CodePage932Test.*' >>"$log" 2>&1 || return 1
  done
  return 0
}

backup=$(mktemp)
current=""
restore() {
  # A new modification time, so that every build folder rebuilds the file.
  if [ -n "$current" ]; then cat "$backup" >"$current" && touch "$current"; fi
  current=""
}
trap 'restore; rm -f "$backup"; exit 130' INT TERM
trap 'restore; rm -f "$backup"' EXIT

mkdir -p build
: >"$log"
configure || { echo "mutate: configuring the build folders failed (see $log)"; exit 1; }

# Every program must pass unmutated, or no verdict would mean anything.
all=$(grep -v '^\s*\(#\|$\)' "$list" | sed 's/ @@.*//' | sort -u | while read -r f; do tests_for "$f"; done |
      tr ' ' '\n' | sort -u | tr '\n' ' ')
echo "mutate: building and running the unmutated programs: $all"
build_and_run $all || { echo "mutate: the unmutated programs do not pass (see $log)"; exit 1; }

killed=0
total=0
invalid=0
number=0
while IFS= read -r line; do
  [[ $line =~ ^[[:space:]]*(#|$) ]] && continue
  number=$((number + 1))
  if [[ ! $line =~ ^([^\ ]+)\ @@\ (.+)\ @@(\ (.*))?$ ]]; then
    echo "INVALID   $number: not 'file @@ text @@ replacement': $line"
    invalid=$((invalid + 1))
    continue
  fi
  file=${BASH_REMATCH[1]}
  old=${BASH_REMATCH[2]}
  new=${BASH_REMATCH[4]}
  label="$number $file: '$old' -> '$new'"
  if ! programs=$(tests_for "$file"); then
    echo "INVALID   $label (no test programs for this file)"
    invalid=$((invalid + 1))
    continue
  fi
  cp "$file" "$backup"
  current=$file
  # \n in the texts stands for a line break; the old text must occur once.
  if ! OLD=$old NEW=$new perl -0777 -i -pe '
        BEGIN { ($o, $n) = map { s/\\n/\n/g; $_ } ($ENV{OLD}, $ENV{NEW}); }
        $c = () = /\Q$o\E/g; die "found $c times\n" if $c != 1; s/\Q$o\E/$n/;' "$file" 2>>"$log"; then
    restore
    echo "INVALID   $label (the text does not occur exactly once)"
    invalid=$((invalid + 1))
    continue
  fi
  echo "== mutant $label" >>"$log"
  build_and_run $programs
  outcome=$?
  restore
  case $outcome in
    0) echo "SURVIVED  $label" ;;
    1) echo "killed    $label"; killed=$((killed + 1)) ;;
    *) echo "INVALID   $label (does not build)"; invalid=$((invalid + 1)); continue ;;
  esac
  total=$((total + 1))
done <"$list"

echo
echo "killed $killed of $total"
[ $invalid -eq 0 ] || echo "mutate: $invalid mutants of the list are invalid"
[ $invalid -eq 0 ]
