#!/usr/bin/env bash
# Renders docs/screenshots/control-panel.png, docs/screenshots/qr-code.png,
# docs/screenshots/new-share.png and docs/screenshots/notification-area.png: the real quillcast.exe under Wine in a virtual
# desktop (so Wine draws the window frames, and its taskbar holds the notification area)
# on a private Xvfb display, with a sample "common.cfg" and "shared.cfg".
#
#   scripts/screenshots.sh [windows build dir]   (default /tmp/qc-shots-win; built if needed)
#
# Needs: mingw-w64, wine64, Xvfb, imagemagick (import, convert), python3.
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-/tmp/qc-shots-win}"
out="$repo/docs/screenshots"
wine=/usr/lib/wine/wine64
# Debian puts wineserver beside the loader, not on the PATH.
wineserver="$(command -v wineserver || echo /usr/lib/wine/wineserver)"
display=":$(( 60 + RANDOM % 30 ))"
work="$(mktemp -d /tmp/qc-shots.XXXXXX)"
export WINEPREFIX="$work/prefix" WINEDEBUG=-all DISPLAY="$display"
# A fresh prefix would otherwise stop to offer the Mono and Gecko installers.
export WINEDLLOVERRIDES="mscoree,mshtml="

if [[ ! -f "$build/CMakeCache.txt" ]]; then
  cmake -S "$repo" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
# Always brought up to date: a program or a tool older than the sources would show the
# old windows, or lack a verb this script uses.
cmake --build "$build" -j2 --target quillcast ui_poke window_lister >/dev/null

xvfb_pid=""
server_pid=""
cleanup() {
  if [[ -n "$server_pid" ]]; then kill "$server_pid" 2>/dev/null || true; fi
  "$wineserver" -k 2>/dev/null || true
  if [[ -n "$xvfb_pid" ]]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
sleep 1
"$wine" wineboot -i >/dev/null 2>&1
"$wineserver" -p 60 2>/dev/null || true  # keep it up between the short wine runs

desktop_width=640
desktop_height=420
taskbar_height=20
desktop="shot,${desktop_width}x${desktop_height}"
run_in_desktop() { "$wine" explorer /desktop="$desktop" "$@"; }

# Sample state: a free local port, a domain and folder, three shares.
mkdir -p "$work/run"
cp "$build/quillcast.exe" "$build/tests/ui_poke.exe" "$build/tests/window_lister.exe" "$work/run/"
port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
python3 - "$work/run" "$port" <<'PY'
import struct, sys, os
run, port = sys.argv[1], int(sys.argv[2])
domain, folder = b"files.example.org", b"/pub"
with open(os.path.join(run, "common.cfg"), "wb") as f:
    f.write(struct.pack("<6H", 0x4351, port, 0, 2, len(domain), len(folder)) + domain + folder)
shares = [(b"/pub/report.pdf", b"C:\\Users\\ann\\Documents\\report.pdf", 0),
          (b"/pub/photos/holiday.jpg", b"C:\\Users\\ann\\Pictures\\holiday.jpg", 1),
          (b"/video.mkv", b"D:\\video.mkv", 0)]
with open(os.path.join(run, "shared.cfg"), "wb") as f:
    for v, p, flags in shares:
        f.write(struct.pack("<3H", len(v), len(p), flags) + v + p)
PY

cd "$work/run"
win_dir="$("$wine" winepath -w "$work/run" 2>/dev/null | tr -d '\r')"
run_in_desktop "$win_dir\\quillcast.exe" &
server_pid=$!
sleep 8  # a fresh prefix starts its desktop slowly
timeout 30 "$wine" "$win_dir\\quillcast.exe" -ui || true  # exit code 1 on every path
run_in_desktop "$win_dir\\ui_poke.exe" wait WndClassQuillcastMain
sleep 2

shoot() {
  # Without a window manager the Wine desktop sits at the top left of the screen; the
  # desktop around the shown window is one flat colour, so a border of that colour and a
  # trim leave exactly the window with its frame.
  import -display "$display" -window root "$work/shot.png"
  local background
  background="$(convert "$work/shot.png" -format "%[pixel:p{$((desktop_width - 5)),$((desktop_height - taskbar_height - 5))}]" info:)"
  # The taskbar along the bottom (there while the server's icon is in its notification
  # area) is left out, or the trim would keep it.
  convert "$work/shot.png" -crop "${desktop_width}x$((desktop_height - taskbar_height))+0+0" +repage \
    -bordercolor "$background" -border 1 -fuzz 2% -trim +repage "$1"
}

shoot "$out/control-panel.png"
# The first share's QR code in front of the panel: the row selected as a user selects it
# (Home in the list), then "QR code". Its close box hides it again for the next shots.
run_in_desktop "$win_dir\\ui_poke.exe" key WndClassQuillcastMain 2013 36
run_in_desktop "$win_dir\\ui_poke.exe" click WndClassQuillcastMain 2018
run_in_desktop "$win_dir\\ui_poke.exe" wait WndClassQuillcastQrCode
sleep 1
shoot "$out/qr-code.png"
run_in_desktop "$win_dir\\window_lister.exe" close "QR code"
sleep 1
run_in_desktop "$win_dir\\ui_poke.exe" click WndClassQuillcastMain 2014
run_in_desktop "$win_dir\\ui_poke.exe" wait WndClassQuillcastNewFile
run_in_desktop "$win_dir\\ui_poke.exe" text WndClassQuillcastNewFile 2003 'C:\Users\ann\Documents\notes.txt'
run_in_desktop "$win_dir\\ui_poke.exe" text WndClassQuillcastNewFile 2010 '/pub/notes.txt'
sleep 1
shoot "$out/new-share.png"

# The icon and its menu, opened by a right click on the icon as a user opens it. Wine's
# taskbar runs along the desktop's bottom edge with the notification area at its right end,
# the first icon 11 pixels in from the corner; the menu opens above and left of the click.
run_in_desktop "$win_dir\\ui_poke.exe" click WndClassQuillcastMain 2001
sleep 1
run_in_desktop "$win_dir\\ui_poke.exe" rightclick $((desktop_width - 11)) $((desktop_height - 11))
sleep 1
area_width=300
area_height=110
import -display "$display" -window root "$work/shot.png"
convert "$work/shot.png" \
  -crop "${area_width}x${area_height}+$((desktop_width - area_width))+$((desktop_height - area_height))" \
  +repage "$out/notification-area.png"
# The menu closes without a choice.
run_in_desktop "$win_dir\\ui_poke.exe" rightclick 20 20

"$wine" "$win_dir\\quillcast.exe" -stop || true
wait "$server_pid" 2>/dev/null || true
server_pid=""
echo "wrote $out/control-panel.png, $out/qr-code.png, $out/new-share.png and $out/notification-area.png"
