#!/usr/bin/env bash
# make bench: runs the benchmark programs (bench/) under Wine and prints one
# table, headed by the machine it ran on and its load. Each figure is the
# median of several runs, with the lowest and highest run beside it.
# Usage: tools/bench.sh BUILD_DIR   (a Release build of the Windows side)
set -u
build=$1
here=$(cd "$(dirname "$0")/.." && pwd)
run() { "$here/cmake/wine-run.sh" "$@"; }

# A busy loop on one core, bounded in time, ended by its own id.
busy=
start_busy() { timeout 600 sh -c 'while :; do :; done' & busy=$!; }
stop_busy() { [ -n "$busy" ] && kill "$busy" 2>/dev/null; wait "$busy" 2>/dev/null; busy=; }
trap stop_busy EXIT

run >/dev/null 2>&1  # prepares the Wine prefix outside the figures
echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'),"
echo "  $(. /etc/os-release; echo "$PRETTY_NAME"), $(wine --version 2>/dev/null), load average at start:$(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| figure                                       | median          | lowest - highest    |  n | goal                   |"
echo "|----------------------------------------------|-----------------|---------------------|----|------------------------|"
status=0
run "$build/host_file_bench.exe" cost "no load of ours" || status=1
start_busy
run "$build/host_file_bench.exe" cost "+1 busy core" || status=1
stop_busy
run "$build/host_file_bench.exe" usb11 || status=1
run "$build/host_file_bench.exe" memory "${TAVDESK_BENCH_MEMORY_MIB:-1024}" || status=1
run "$build/startup_bench.exe" startup || status=1
run "$build/startup_bench.exe" idle || status=1
# The whole program with consoles on virtual cables; its line naming the
# port is not part of the table. The 10 MB floods take about a minute each
# here, the 200 MB one (its memory past the scrollback) many minutes.
whole() {
  TAVDESK_WINE_TIMEOUT=3600 run "$build/whole_program_bench.exe" "$@" > "$scratch" || status=1
  grep -v '^TavdeskSim: virtual cables on' "$scratch"
}
scratch=$(mktemp)
whole flood 16 3
whole flood 16 1 200000
whole cables 3
rm -f "$scratch"
echo
echo "Load average at the end:$(cut -d' ' -f1-3 /proc/loadavg)"
exit $status
