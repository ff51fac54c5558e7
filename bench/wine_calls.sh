#!/usr/bin/env bash
# Counts the wineserver requests a server under Wine makes per small answer: where the
# Windows build's time goes, as a count that does not depend on the machine's load. Runs a
# wineserver of its own with request tracing (-d2), serves a 4 KiB file, lets ab make N
# requests one at a time, and prints the requests traced during that window per HTTP
# request, by kind (calls made by Wine's own helper processes included: a query that
# reaches a driver shows as the driver's requests too).
#
# usage: bench/wine_calls.sh quillcast.exe [N]
#        bench/wine_calls.sh --reference win32_reference.exe [N]
# QC_WINE_CALLS_TRACE=FILE keeps the requests traced during the window in FILE, to read
# one answer's calls in order. QC_WINE_CALLS_RATE=1 traces nothing and prints ab's rate
# instead, in the same setting (for side-by-side runs of two builds and the Win32 loop), with
# the CPU time per answer of the server and of its wineserver, and how often wineserver was
# preempted.
# QC_WINE_CALLS_SIZE=BYTES serves a file of that size instead of 4 KiB.
# QC_AB_EXTRA passes more options to ab: "-g FILE" keeps each request's times, where the
# time to the first byte and the time to the server's close part.
# Needs wine64, ab, curl, python3. Its prefix and files live in a temporary directory that
# is removed at the end; its wineserver is ended with `wineserver -k`.
set -euo pipefail

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
reference=0
if [ "${1:-}" = --reference ]; then
  reference=1
  shift
fi
exe=$(realpath "${1:?usage: wine_calls.sh [--reference] EXE [N]}")
n=${2:-200}
wine64=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
[ -x "$wine64" ] || wine64=$(command -v wine64)
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)

work=$(mktemp -d "${TMPDIR:-/tmp}/qc-winecalls.XXXXXX")
# Debian's wineserver leaves its socket directory (TMPDIR/wine-XXXXXX) behind: here it goes
# with the rest.
mkdir "$work/tmp"
export TMPDIR="$work/tmp"
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winebus.sys="
unset DISPLAY WAYLAND_DISPLAY
# shellcheck source=../scripts/wine_prefix.sh
. "$BENCH_DIR/../scripts/wine_prefix.sh"
server_pid="" traced=""
cleanup() {
  set +e
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  "$wineserver" -k 2>/dev/null
  [ -n "$traced" ] && wait "$traced" 2>/dev/null
  end_prefix_leftovers "$WINEPREFIX"
  rm -rf "$work"
}
trap cleanup EXIT

timeout 300 "$wine64" wineboot -i >/dev/null 2>&1 || true
"$wineserver" -k 2>/dev/null || true
"$wineserver" -w 2>/dev/null || true
# In the foreground, so that its trace goes to the file; -p keeps it between processes.
if [ "${QC_WINE_CALLS_RATE:-0}" = 1 ]; then
  "$wineserver" -f -p 2>/dev/null &
  : >"$work/trace"
else
  "$wineserver" -f -d2 -p 2>"$work/trace" &
fi
traced=$!
sleep 1

mkdir -p "$work/files"
head -c "${QC_WINE_CALLS_SIZE:-4096}" /dev/urandom >"$work/files/answer.bin"
port=$(python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); from ports import free_port; print(free_port())' "$BENCH_DIR/../tests/e2e")
if [ "$reference" = 1 ]; then
  "$wine64" "$exe" "$port" "Z:${work//\//\\}\\files" 1048576 >"$work/server.log" 2>&1 &
else
  python3 "$BENCH_DIR/qc_config.py" "$work" "$port" "$work/files" --windows answer.bin
  (cd "$work" && exec "$wine64" "$exe") >"$work/server.log" 2>&1 &
fi
server_pid=$!
for _ in $(seq 200); do
  curl -s -o /dev/null --max-time 2 "http://127.0.0.1:$port/answer.bin" && break
  sleep 0.2
done
# A few answers first, so that what each process does once is behind us.
for _ in 1 2 3 4 5; do curl -s -o /dev/null "http://127.0.0.1:$port/answer.bin"; done
sleep 1
# user+system clock ticks and involuntary switches of a process so far
cpu_of() { awk '{print $14 + $15}' "/proc/$1/stat"; }
switches_of() { awk '/^nonvoluntary_ctxt_switches/ {print $2}' "/proc/$1/status"; }
before=$(wc -l <"$work/trace")
cpu_before="$(cpu_of "$server_pid") $(cpu_of "$traced") $(switches_of "$traced")"
ab -q -n "$n" -c 1 ${QC_AB_EXTRA:-} "http://127.0.0.1:$port/answer.bin" >"$work/ab.txt" 2>&1
sleep 1
after=$(wc -l <"$work/trace")
complete=$(awk '/^Complete requests:/ {print $3}' "$work/ab.txt")
[ "${complete:-0}" = "$n" ] || { echo "ab completed ${complete:-0} of $n" >&2; exit 1; }
if [ "${QC_WINE_CALLS_RATE:-0}" = 1 ]; then
  awk '/^Requests per second:/ {print $4 " requests per second"}' "$work/ab.txt"
  # Where the time went: the server's and its wineserver's CPU per answer, and how often
  # wineserver was preempted (a request waiting for a core).
  read -r server0 wineserver0 switches0 <<<"$cpu_before"
  hz=$(getconf CLK_TCK)
  awk -v n="$n" -v hz="$hz" -v s0="$server0" -v s1="$(cpu_of "$server_pid")" \
    -v w0="$wineserver0" -v w1="$(cpu_of "$traced")" -v c0="$switches0" \
    -v c1="$(switches_of "$traced")" 'BEGIN {
      printf "CPU per answer: server %.0f us, wineserver %.0f us; wineserver preempted %.1f times\n",
        (s1 - s0) * 1e6 / hz / n, (w1 - w0) * 1e6 / hz / n, (c1 - c0) / n }'
  exit 0
fi
if [ -n "${QC_WINE_CALLS_TRACE:-}" ]; then
  sed -n "$((before + 1)),${after}p" "$work/trace" >"$QC_WINE_CALLS_TRACE"
fi
# A request line is "TID: name( args )"; its reply line is "TID: name() = ...".
sed -n "$((before + 1)),${after}p" "$work/trace" | grep -aE '^[0-9a-f]{4}: [a-z_]+\( ' |
  awk -v n="$n" '{split($2, f, "("); count[f[1]]++; total++}
    END {printf "%.1f wineserver requests per answer\n", total / n;
         for (k in count) printf "%7.2f %s\n", count[k] / n, k}' | sort -k1,1nr
