#!/usr/bin/env bash
# make demo: runs TavdeskSim.exe (the program with the simulated cable and its
# demo console) under Wine, from build/demo with a fresh INI file.
# With DISPLAY set, the window opens on that display for you to use; closing
# it ends the demo. Without DISPLAY, the demo runs under xvfb-run and is
# driven to the end by tools/demo_driver.cpp: the console's script, an ELF
# file executed, the log saved and printed, pictures of the About tab, the
# Settings tab and the device page in build/demo, and the ordinary shutdown.
# Exits 0 only if all of that happened.
set -u
cd "$(dirname "$0")/.."
build=${1:-build/win}
demo=build/demo
started=$(date +%s)

mkdir -p "$demo"
cp "$build/TavdeskSim.exe" "$build/tavdesk_demo_driver.exe" "$demo/" || exit 1
rm -f "$demo/TavdeskSim.ini" "$demo/tavdesk-demo.txt" "$demo/demo-log.txt" "$demo"/*.bmp

# A MIPS ELF32 program of 100 bytes for the console: the header, one program
# header, and at its entry point 0x100008 a branch to itself.
le32() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $(($1 >> 8 & 255)))\\x$(printf %02x $(($1 >> 16 & 255)))\\x$(printf %02x $(($1 >> 24 & 255)))"; }
le16() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $(($1 >> 8 & 255)))"; }
{
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'
  le16 2; le16 8; le32 1; le32 0x100008; le32 52; le32 0; le32 0
  le16 52; le16 32; le16 1; le16 40; le16 0; le16 0
  le32 1; le32 84; le32 0x100000; le32 0x100000; le32 16; le32 16; le32 5; le32 16
  le32 0; le32 0; le32 0x1000ffff; le32 0
} >"$demo/hello.elf"

# A prefix of its own, on a real display driver (the tests' prefix uses the
# null driver).
export WINEPREFIX=${TAVDESK_DEMO_WINEPREFIX:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/tavdesk/demo-prefix}
export WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
quiet() { "$@" </dev/null >/dev/null 2>&1; }
if [ ! -f "$WINEPREFIX/.tavdesk-demo-ready" ]; then
  mkdir -p "$WINEPREFIX"
  quiet wineboot -i || { echo "demo: wineboot failed" >&2; exit 1; }
  quiet wine reg add 'HKCU\Software\Wine\Drivers' /v Audio /d '' /f &&
    quiet wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f ||
    { echo "demo: the Wine prefix could not be set up" >&2; exit 1; }
  touch "$WINEPREFIX/.tavdesk-demo-ready"
fi

if [ -n "${DISPLAY:-}" ]; then
  quiet wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d Y /f
  quiet wineserver -k  # so the new setting holds
  echo "demo: TavdeskSim is shown on $DISPLAY; close its window to end the demo."
  (cd "$demo" && wine TavdeskSim.exe)
  exit $?
fi

echo "demo: DISPLAY is not set, so the demo runs under xvfb-run and drives itself;"
echo "demo: the pictures and the saved log go to $demo."
# Without a window manager a managed window's destruction waits 2 s.
quiet wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f
elf=$(winepath -w "$PWD/$demo/hello.elf" 2>/dev/null)
log=$(winepath -w "$PWD/$demo/demo-log.txt" 2>/dev/null)
# The Wine desktop started by the commands above has no display: a program
# that met it would fail to make its window. Xvfb's run starts a fresh one.
quiet wineserver -k
(cd "$demo" && xvfb-run -a -s "-screen 0 800x600x24" \
  wine tavdesk_demo_driver.exe TavdeskSim.exe "$elf" "$log" . TavdeskSim-stderr.txt)
status=$?

echo "== what the demo console reported (TavdeskSim's standard error)"
cat "$demo/TavdeskSim-stderr.txt" 2>/dev/null
echo "== the saved log ($demo/demo-log.txt)"
tr -d '\r' <"$demo/demo-log.txt" 2>/dev/null || { echo "(none)"; status=1; }
for picture in about settings device-page; do
  if [ -f "$demo/$picture.bmp" ] && bmptopnm "$demo/$picture.bmp" 2>/dev/null | pnmtopng >"$demo/$picture.png" 2>/dev/null; then
    echo "demo: picture $demo/$picture.png"
  else
    echo "demo: no picture of $picture" >&2
    status=1
  fi
done
echo "demo: took $(($(date +%s) - started)) s; $([ $status -eq 0 ] && echo passed || echo FAILED)"
exit $status
