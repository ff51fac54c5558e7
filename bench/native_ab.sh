#!/usr/bin/env bash
# Native builds side by side, quickly: each build serves the same 4 KiB and 1 MiB files on
# a port of its own, and the rounds alternate between them (so that a change of the
# machine's speed meets every build alike): ab of 4 KiB at c=1 and c=8, ab of 1 MiB at
# c=1, one line per build and round. With QC_NATIVE_AB_PERF=1, each build is then also
# measured under `perf stat` over 20,000 answers of 4 KiB at c=1: CPU time and context
# switches per answer (where a hand-over between threads shows).
#
# usage: bench/native_ab.sh ROUNDS BINARY...   (native quillcast builds)
# Needs ab, python3 (and perf for QC_NATIVE_AB_PERF). Asserts nothing; everything it starts
# is ended by PID, its files are removed.
set -euo pipefail

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
rounds=${1:?usage: native_ab.sh ROUNDS BINARY...}
shift
[ $# -ge 1 ] || { echo "usage: native_ab.sh ROUNDS BINARY..." >&2; exit 2; }
work=$(mktemp -d "${TMPDIR:-/tmp}/qc-native-ab.XXXXXX")
pids=()
cleanup() {
  set +e
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
rate() {  # rate AB-ARGS...: ab's requests per second
  ab -q "$@" 2>/dev/null | awk '/Requests per second/ {print $4}'
}

mkdir -p "$work/files"
head -c 4096 /dev/urandom >"$work/files/s4k.bin"
head -c 1048576 /dev/urandom >"$work/files/s1m.bin"
ports=()
for i in $(seq 0 $(($# - 1))); do
  bin=$(realpath "${@:$((i + 1)):1}")
  dir=$work/s$i
  mkdir -p "$dir/xdg"
  chmod 700 "$dir/xdg"
  port=$(free_port)
  python3 "$BENCH_DIR/qc_config.py" "$dir" "$port" "$work/files" s4k.bin s1m.bin
  (cd "$dir" && XDG_RUNTIME_DIR="$dir/xdg" exec "$bin") >"$dir/server.log" 2>&1 &
  pids+=($!)
  ports+=("$port")
  for _ in $(seq 50); do
    curl -fs -o /dev/null "http://127.0.0.1:$port/s4k.bin" && break
    sleep 0.1
  done
done

for round in $(seq "$rounds"); do
  for i in "${!ports[@]}"; do
    url=http://127.0.0.1:${ports[$i]}
    echo "round $round build $i (${@:$((i + 1)):1}): 4 KiB c=1 $(rate -n 5000 -c 1 "$url/s4k.bin")" \
      "c=8 $(rate -n 10000 -c 8 "$url/s4k.bin") req/s, 1 MiB c=1 $(rate -n 1000 -c 1 "$url/s1m.bin") req/s"
  done
done

if [ "${QC_NATIVE_AB_PERF:-0}" = 1 ]; then
  n=20000
  for i in "${!ports[@]}"; do
    perf stat -e task-clock,context-switches -p "${pids[$i]}" -o "$work/perf$i.txt" &
    perf_pid=$!
    sleep 0.3
    r=$(rate -n "$n" -c 1 "http://127.0.0.1:${ports[$i]}/s4k.bin")
    kill -INT "$perf_pid"
    wait "$perf_pid" || true
    awk -v n="$n" -v r="$r" -v b="${@:$((i + 1)):1}" '
      /task-clock/ {cpu = $1; gsub(",", "", cpu)}
      /context-switches/ {cs = $1; gsub(",", "", cs)}
      END {printf "build %s under perf: %s req/s, %.1f us of CPU and %.2f context switches per answer\n", b, r, cpu * 1000 / n, cs / n}
    ' "$work/perf$i.txt"
  done
fi
