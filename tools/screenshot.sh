#!/usr/bin/env bash
# Takes docs/about.png: the main window with its About page, drawn by the
# program's own code under Wine on a virtual X server. Uses a Wine prefix of
# its own with the X11 driver (the tests' prefix has no display).
# Usage: tools/screenshot.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/win}
cmake --build "$build" --target about_screenshot -j2

export WINEPREFIX=${TAVDESK_SHOT_PREFIX:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/tavdesk/shotprefix}
export WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/.tavdesk-ready" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  wineboot -i </dev/null >/dev/null 2>&1
  # Without a window manager, a managed window blocks in DestroyWindow.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Drivers' /v Audio /d '' /f </dev/null >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.tavdesk-ready"
fi

shot=$(mktemp --suffix=.bmp)
trap 'rm -f "$shot"' EXIT
# The wineserver must start inside the X session, so that Wine's desktop
# finds the display.
wineserver -k 2>/dev/null || true
wineserver -w
xvfb-run -a -s "-screen 0 800x600x24" \
  timeout 120 wine "$build/about_screenshot.exe" "Z:${shot//\//\\}" </dev/null
wineserver -k 2>/dev/null || true
mkdir -p docs
python3 - "$shot" docs/about.png <<'PY'
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
offset, = struct.unpack_from("<I", data, 10)
w, h = struct.unpack_from("<ii", data, 18)
stride = (w * 3 + 3) & ~3
rows = []
for y in reversed(range(h)):
    row = data[offset + y * stride: offset + y * stride + w * 3]
    rows.append(b"\0" + bytes(row[i + k] for i in range(0, w * 3, 3) for k in (2, 1, 0)))
def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)) +
       chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))
open(sys.argv[2], "wb").write(png)
PY
echo "wrote docs/about.png"
