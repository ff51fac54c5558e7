#!/usr/bin/env bash
# Measures what a folder share costs on its own, before the HTTP server serves it:
#   - the listing of a folder of many small files (100,000 by default: 100 folders of
#     1,000 files of 1 KiB) and the archive's layout from it, best of 3, each taken whole
#     as for a request;
#   - the whole archive of that folder, and of a folder of 16 files of 64 MiB (1 GiB),
#     written to a sink that keeps nothing: with an empty CRC cache (the first download,
#     every CRC computed as the bytes go out), with the cache warm (later downloads), and
#     the same files read plainly for comparison (MB/s, 10^6 bytes/s).
# Natively (a Release build of tests/tools/zip_folder.cpp in build/bench-zip) and, unless
# QC_BENCH_SKIP_WINE=1, the Windows build's zip_folder.exe under Wine (build/win, the win
# preset: Release). The files stay in the page cache: disk speed plays no part.
#
# usage: bench/folder_archive.sh [FILES]
# env:   QC_ZIP_TOOL=path          a native zip_folder instead of building one
#        QC_WIN_ZIP_TOOL=path      zip_folder.exe (default build/win/tests/zip_folder.exe)
#        QC_BENCH_SKIP_WINE=1      native only
#
# Its temporary directory and the Wine prefix's own wineserver (with the prefix it makes
# in that directory) are removed at exit. It measures; it asserts nothing.
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
FILES=${1:-100000}
SKIP_WINE=${QC_BENCH_SKIP_WINE:-0}
WINE=$(command -v wine64 || echo /usr/lib/wine/wine64)
WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver)

WORK=$(mktemp -d "${TMPDIR:-/tmp}/qc-bench-zip-XXXXXX")
cleanup() {
  if [ -d "$WORK/wineprefix" ]; then WINEPREFIX="$WORK/wineprefix" "$WINESERVER" -k 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT

tool=${QC_ZIP_TOOL:-}
if [ -z "$tool" ]; then
  cmake -S "$REPO" -B "$REPO/build/bench-zip" -DCMAKE_BUILD_TYPE=Release -DQC_WERROR=ON >/dev/null
  cmake --build "$REPO/build/bench-zip" --target zip_folder -j2 >/dev/null
  tool="$REPO/build/bench-zip/tests/zip_folder"
fi
win_tool=${QC_WIN_ZIP_TOOL:-$REPO/build/win/tests/zip_folder.exe}

echo "[bench] $FILES small files and 16 x 64 MiB in $WORK" >&2
# The same tree the HTTP benchmark serves (bench/folder_http.py).
python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); from folder_http import make_files; make_files(sys.argv[2], int(sys.argv[3]))' \
  "$REPO/bench" "$WORK" "$FILES"

run() {  # run LABEL COMMAND...
  local label="$1"
  shift
  for folder in many large; do
    local path="$WORK/$folder"
    [ "$label" = wine ] && path="Z:${path//\//\\}"
    echo "== $label $folder"
    "$@" "$path" --bench 3
  done
}

run native "$tool"
if [ "$SKIP_WINE" != 1 ] && [ -x "$win_tool" ]; then
  export WINEPREFIX="$WORK/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winebus.sys="
  mkdir -p "$WINEPREFIX"
  "$WINESERVER" -p
  timeout 300 "$WINE" wineboot -i >/dev/null 2>&1 || true
  run wine "$WINE" "$win_tool"
fi
