#!/usr/bin/env bash
# Renders docs/screenshots/control-panel.png, docs/screenshots/panel-downloads.png,
# docs/screenshots/panel-progress.png,
# docs/screenshots/qr-code.png, docs/screenshots/new-share.png,
# docs/screenshots/share-limits.png and docs/screenshots/notification-area.png: the real
# quillcast.exe under Wine in a virtual
# desktop (so Wine draws the window frames, and its taskbar holds the notification area)
# on a private Xvfb display, with a sample "common.cfg", "shared.cfg" and "downloads.cfg",
# and a download running (curl, slowed down) while the download columns are shot.
#
#   scripts/screenshots.sh [windows build dir]   (default /tmp/qc-shots-win; built if needed)
#   QC_SHOTS_DISPLAY=:N scripts/screenshots.sh   on that display number (default: one of 60-89)
#
# Needs: mingw-w64, wine64, Xvfb, imagemagick (import, convert), python3, curl.
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck source=wine_prefix.sh
. "$repo/scripts/wine_prefix.sh"
build="${1:-/tmp/qc-shots-win}"
out="$repo/docs/screenshots"
wine=/usr/lib/wine/wine64
# Debian puts wineserver beside the loader, not on the PATH.
wineserver="$(command -v wineserver || echo /usr/lib/wine/wineserver)"
display="${QC_SHOTS_DISPLAY:-:$(( 60 + RANDOM % 30 ))}"
work="$(mktemp -d /tmp/qc-shots.XXXXXX)"
export WINEPREFIX="$work/prefix" WINEDEBUG=-all DISPLAY="$display"
# A fresh prefix would otherwise stop to offer the Mono and Gecko installers; the
# game-controller bus would poll every millisecond.
export WINEDLLOVERRIDES="mscoree,mshtml,winebus.sys="

if [[ ! -f "$build/CMakeCache.txt" ]]; then
  cmake -S "$repo" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
# Always brought up to date: a program or a tool older than the sources would show the
# old windows, or lack a verb this script uses.
cmake --build "$build" -j2 --target quillcast ui_poke window_lister >/dev/null

xvfb_pid=""
server_pid=""
curl_pid=""
cleanup() {
  if [[ -n "$curl_pid" ]]; then kill "$curl_pid" 2>/dev/null || true; fi
  if [[ -n "$server_pid" ]]; then kill "$server_pid" 2>/dev/null || true; fi
  "$wineserver" -k 2>/dev/null || true
  end_prefix_leftovers "$WINEPREFIX"
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

# Sample state: a free local port, a domain and folder, three shares, the first with
# downloads and both limits, the third a real (sparse) file that a slow client fetches.
mkdir -p "$work/run"
truncate -s 400M "$work/run/video.mkv"
win_dir="$("$wine" winepath -w "$work/run" 2>/dev/null | tr -d '\r')"
cp "$build/quillcast.exe" "$build/tests/ui_poke.exe" "$build/tests/window_lister.exe" "$work/run/"
port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
python3 - "$work/run" "$port" "$win_dir" <<'PY'
import struct, sys, os, time
run, port, win_dir = sys.argv[1], int(sys.argv[2]), sys.argv[3].encode()
domain, folder = b"files.example.org", b"/pub"
with open(os.path.join(run, "common.cfg"), "wb") as f:
    f.write(struct.pack("<6H", 0x4351, port, 0, 2, len(domain), len(folder)) + domain + folder)
shares = [(b"/pub/report.pdf", b"C:\\Users\\ann\\Documents\\report.pdf", 0),
          (b"/pub/photos/holiday.jpg", b"C:\\Users\\ann\\Pictures\\holiday.jpg", 1),
          (b"/video.mkv", win_dir + b"\\video.mkv", 0)]
with open(os.path.join(run, "shared.cfg"), "wb") as f:
    for v, p, flags in shares:
        f.write(struct.pack("<3H", len(v), len(p), flags) + v + p)
def fnv1a(data):
    h = 2166136261
    for b in data:
        h = ((h ^ b) * 16777619) & 0xFFFFFFFF
    return h
now = int(time.time())
client = (192 << 24) | (168 << 16) | (1 << 8) | 23
# virtual, physical, count, last time, last client, limit, end time
# The end time on a whole minute, as a user types it.
counts = [(shares[0][0], shares[0][1], 3, now - 2 * 3600 - 600, client, 5,
           (now + 3 * 3600 + 900) // 60 * 60),
          (shares[2][0], shares[2][1], 1234, now - 86400, (10 << 24) | 7, 0, 0)]
with open(os.path.join(run, "downloads.cfg"), "wb") as f:
    f.write(b"QCD1")
    for v, p, count, last, address, limit, until in counts:
        record = struct.pack("<2H", len(v), len(p)) + v + p + struct.pack(
            "<QqIQq", count, last, address, limit, until)
        f.write(record + struct.pack("<I", fnv1a(record)))
PY

cd "$work/run"
run_in_desktop "$win_dir\\quillcast.exe" &
server_pid=$!
# A fresh prefix starts its desktop slowly, the more so on a busy machine: the panel is
# asked for once the server answers on its port.
for _ in $(seq 90); do
  curl -s -o /dev/null "http://127.0.0.1:$port/" && break
  sleep 1
done
sleep 2
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
# The download columns, scrolled into view, while a slow client fetches the video.
curl -s -o /dev/null --limit-rate 1800k "http://127.0.0.1:$port/video.mkv" &
curl_pid=$!
sleep 4
run_in_desktop "$win_dir\\ui_poke.exe" scroll WndClassQuillcastMain 2013 250
sleep 2
shoot "$out/panel-downloads.png"
# Further right: what remains of the limits, and the running download's progress.
run_in_desktop "$win_dir\\ui_poke.exe" scroll WndClassQuillcastMain 2013 250
sleep 2
shoot "$out/panel-progress.png"
kill "$curl_pid" 2>/dev/null || true
wait "$curl_pid" 2>/dev/null || true
curl_pid=""
run_in_desktop "$win_dir\\ui_poke.exe" scroll WndClassQuillcastMain 2013 -500
# Share limits of the first share.
run_in_desktop "$win_dir\\ui_poke.exe" key WndClassQuillcastMain 2013 36
run_in_desktop "$win_dir\\ui_poke.exe" click WndClassQuillcastMain 2019
run_in_desktop "$win_dir\\ui_poke.exe" wait WndClassQuillcastLimits
sleep 1
shoot "$out/share-limits.png"
run_in_desktop "$win_dir\\ui_poke.exe" click WndClassQuillcastLimits 2031
run_in_desktop "$win_dir\\ui_poke.exe" wait WndClassQuillcastMain
sleep 1
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
echo "wrote $out/control-panel.png, $out/panel-downloads.png, $out/panel-progress.png," \
  "$out/share-limits.png," \
  "$out/qr-code.png, $out/new-share.png and $out/notification-area.png"
