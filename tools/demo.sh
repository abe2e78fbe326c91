#!/usr/bin/env bash
# make demo: runs TavdeskSim.exe (the program with the simulated cable and its
# demo console) under Wine, from build/demo with a fresh INI file. Wine sees
# that folder as C:\Tavdesk, so the pictures show no folder of this machine.
# With DISPLAY set, the window opens on that display for you to use; closing
# it ends the demo. Without DISPLAY, the demo runs under xvfb-run and is
# driven to the end by tools/demo_driver.cpp: the console's script, an ELF
# file executed, the log saved and printed, pictures of the About tab, the
# Settings tab and the device page (docs/*.png, the README's), and the
# ordinary shutdown. Exits 0 only if all of that happened.
set -u
cd "$(dirname "$0")/.."
build=${1:-build/win}
demo=build/demo
started=$(date +%s)

mkdir -p "$demo"
rm -f "$demo"/*
cp "$build/TavdeskSim.exe" "$build/tavdesk_demo_driver.exe" "$demo/" || exit 1

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

# The tests' prefix (TAVDESK_WINEPREFIX, as cmake/wine-run.sh takes it) with
# "-demo" after it: the demo needs a real display driver, the tests the null one.
base=${TAVDESK_WINEPREFIX:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/tavdesk/wineprefix}
export WINEPREFIX=$base-demo
export WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
quiet() { "$@" </dev/null >/dev/null 2>&1; }
if [ ! -f "$WINEPREFIX/.tavdesk-demo-ready" ]; then
  if [ -n "$(ls -A "$WINEPREFIX" 2>/dev/null)" ]; then
    echo "demo: $WINEPREFIX is not empty and was not made by this script; refusing to use it" >&2
    exit 1
  fi
  mkdir -p "$WINEPREFIX"
  quiet wineboot -i || { echo "demo: wineboot failed" >&2; exit 1; }
  quiet wine reg add 'HKCU\Software\Wine\Drivers' /v Audio /d '' /f &&
    quiet wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f ||
    { echo "demo: the Wine prefix could not be set up" >&2; exit 1; }
  touch "$WINEPREFIX/.tavdesk-demo-ready"
fi
# Wine draws caption buttons with its Marlett font (Debian's fonts-wine),
# which this Wine finds only in the prefix's own Fonts folder.
marlett=/usr/share/wine/fonts/marlett.ttf
if [ ! -f "$WINEPREFIX/drive_c/windows/Fonts/marlett.ttf" ] &&
   ! cp "$marlett" "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null; then
  echo "demo: no $marlett (package fonts-wine): caption buttons show as letters" >&2
fi
# The demo folder as C:\Tavdesk (a link, made again for this checkout).
rm -f "$WINEPREFIX/drive_c/Tavdesk"
ln -s "$PWD/$demo" "$WINEPREFIX/drive_c/Tavdesk" || exit 1

if [ -n "${DISPLAY:-}" ]; then
  quiet wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d Y /f
  quiet wineserver -k  # so the new setting holds
  echo "demo: TavdeskSim is shown on $DISPLAY; close its window to end the demo."
  (cd "$demo" && wine 'C:\Tavdesk\TavdeskSim.exe')
  exit $?
fi

echo "demo: DISPLAY is not set, so the demo runs under xvfb-run and drives itself;"
echo "demo: the pictures go to docs/, the saved log to $demo."
# Without a window manager a managed window's destruction waits 2 s.
quiet wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f
# The Wine desktop started by the commands above has no display: a program
# that met it would fail to make its window. Xvfb's run starts a fresh one,
# and ends it (wineserver -k) before the X server goes, so that no Wine
# process is left to complain of a broken X connection. Wine's own messages
# go to a file, shown only when the demo fails.
wine_messages=$(mktemp)
trap 'rm -f "$wine_messages"' EXIT
quiet wineserver -k
(cd "$demo" && xvfb-run -a -s "-screen 0 800x600x24" sh -c '
  wine "C:\Tavdesk\tavdesk_demo_driver.exe" "C:\Tavdesk\TavdeskSim.exe" \
    "C:\Tavdesk\hello.elf" "C:\Tavdesk\demo-log.txt" . TavdeskSim-stderr.txt
  status=$?
  wineserver -k
  wineserver -w
  exit $status') 2>"$wine_messages"
status=$?

echo "== what the demo console reported (TavdeskSim's standard error)"
cat "$demo/TavdeskSim-stderr.txt" 2>/dev/null
echo "== the saved log ($demo/demo-log.txt)"
tr -d '\r' <"$demo/demo-log.txt" 2>/dev/null || { echo "(none)"; status=1; }
for picture in about settings device-page; do
  if [ -f "$demo/$picture.bmp" ] && bmptopnm "$demo/$picture.bmp" 2>/dev/null | pnmtopng >"$demo/$picture.png" 2>/dev/null; then
    mv "$demo/$picture.png" "docs/$picture.png"
    echo "demo: picture docs/$picture.png"
  else
    echo "demo: no picture of $picture" >&2
    status=1
  fi
done
rm -f "$demo"/*.bmp "$demo/TavdeskSim-stderr.txt"
if [ $status -ne 0 ] && [ -s "$wine_messages" ]; then
  echo "== Wine's messages" >&2
  cat "$wine_messages" >&2
fi
echo "demo: took $(($(date +%s) - started)) s; $([ $status -eq 0 ] && echo passed || echo FAILED)"
exit $status
