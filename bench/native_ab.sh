#!/usr/bin/env bash
# Native builds side by side, quickly: each build serves the same 4 KiB and 1 MiB files on
# a port of its own, and the rounds alternate between them (so that a change of the
# machine's speed meets every build alike): ab of 4 KiB at c=1 and c=8, ab of 1 MiB at
# c=1, one line per build and round. With QC_NATIVE_AB_PERF=N, the builds are then also
# measured in turn, N rounds, under `perf stat`: over 20,000 answers of 4 KiB at c=1 and
# over 4 s of `wrk` at c=8 (a new connection per request), the CPU time and context
# switches per answer (where a hand-over between threads shows, and at c=8 what each
# answer's own system calls cost), and the whole machine's busy time per answer
# (/proc/stat: the client's too, as loopback does part of one side's work on the other's
# time).
# With QC_NATIVE_AB_NGINX=1 a plain static nginx (two workers, no access log, sendfile, as
# bench/run.sh runs it) serves the same files after the builds and is measured alike.
#
# usage: bench/native_ab.sh ROUNDS BINARY...   (native quillcast builds)
# Needs ab, python3 (perf and wrk for QC_NATIVE_AB_PERF, nginx for QC_NATIVE_AB_NGINX).
# Asserts nothing; everything it starts is ended by PID, its files are removed.
set -euo pipefail

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=nginx_conf.sh
. "$BENCH_DIR/nginx_conf.sh"
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
wait_ready() {  # wait_ready PORT
  for _ in $(seq 50); do
    curl -fs -o /dev/null "http://127.0.0.1:$1/s4k.bin" && return 0
    sleep 0.1
  done
}

mkdir -p "$work/files"
head -c 4096 /dev/urandom >"$work/files/s4k.bin"
head -c 1048576 /dev/urandom >"$work/files/s1m.bin"
names=() ports=() measured=()  # measured: the PIDs perf watches, comma-separated
for i in $(seq 0 $(($# - 1))); do
  bin=$(realpath "${@:$((i + 1)):1}")
  dir=$work/s$i
  mkdir -p "$dir/xdg"
  chmod 700 "$dir/xdg"
  port=$(free_port)
  python3 "$BENCH_DIR/qc_config.py" "$dir" "$port" "$work/files" s4k.bin s1m.bin
  (cd "$dir" && XDG_RUNTIME_DIR="$dir/xdg" exec "$bin") >"$dir/server.log" 2>&1 &
  pids+=($!)
  names+=("build $i (${@:$((i + 1)):1})")
  ports+=("$port")
  measured+=($!)
  wait_ready "$port"
done

if [ "${QC_NATIVE_AB_NGINX:-0}" = 1 ]; then
  dir=$work/nginx
  mkdir -p "$dir/tmp"
  port=$(free_port)
  # Its workers drop to "nobody": they must be able to read the files.
  chmod 755 "$work" "$work/files"
  chmod 644 "$work/files/"*
  write_nginx_conf "$dir" "$port" "$work/files"
  "$(command -v nginx || echo /usr/sbin/nginx)" -p "$dir" -e "$dir/error.log" \
    -c "$dir/nginx.conf" >"$dir/stdout.log" 2>&1 &
  pids+=($!)
  names+=("nginx")
  ports+=("$port")
  wait_ready "$port"
  # The workers do the serving; the master only watches them.
  measured+=("$(ps -o pid= --ppid "$!" | tr -s ' \n' ',' | sed 's/^,//; s/,$//')")
fi

for round in $(seq "$rounds"); do
  for i in "${!ports[@]}"; do
    url=http://127.0.0.1:${ports[$i]}
    echo "round $round ${names[$i]}: 4 KiB c=1 $(rate -n 5000 -c 1 "$url/s4k.bin")" \
      "c=8 $(rate -n 10000 -c 8 "$url/s4k.bin") req/s, 1 MiB c=1 $(rate -n 1000 -c 1 "$url/s1m.bin") req/s"
  done
done

# busy: the machine's busy clock ticks so far (user, nice, system, irq, softirq; no idle,
# no time stolen by the host)
busy() { awk '/^cpu / {print $2 + $3 + $4 + $7 + $8}' /proc/stat; }
# per_answer FILE COUNT BUSY0 BUSY1: CPU time and context switches per answer from
# `perf stat -o FILE`, and the machine's busy time per answer
per_answer() {
  awk -v n="$2" -v b="$(($4 - $3))" -v hz="$(getconf CLK_TCK)" '
    /task-clock/ {cpu = $1; gsub(",", "", cpu)}
    /context-switches/ {cs = $1; gsub(",", "", cs)}
    END {printf "%.1f us of CPU and %.2f context switches per answer (machine: %.1f us busy)",
      cpu * 1000 / n, cs / n, b * 1e6 / hz / n}
  ' "$1"
}
# QC_NATIVE_AB_PERF=N: N alternating rounds of these.
for _ in $(seq "${QC_NATIVE_AB_PERF:-0}"); do
  n=20000
  for i in "${!ports[@]}"; do
    url=http://127.0.0.1:${ports[$i]}/s4k.bin
    perf stat -e task-clock,context-switches -p "${measured[$i]}" -o "$work/perf.txt" &
    perf_pid=$!
    sleep 0.3
    b0=$(busy)
    r=$(rate -n "$n" -c 1 "$url")
    b1=$(busy)
    kill -INT "$perf_pid"
    wait "$perf_pid" || true
    echo "${names[$i]} under perf, 4 KiB c=1: $r req/s, $(per_answer "$work/perf.txt" "$n" "$b0" "$b1")"
    perf stat -e task-clock,context-switches -p "${measured[$i]}" -o "$work/perf.txt" &
    perf_pid=$!
    sleep 0.3
    b0=$(busy)
    wrk -t8 -c8 -d4s -H "Connection: close" "$url" >"$work/wrk.txt"
    b1=$(busy)
    kill -INT "$perf_pid"
    wait "$perf_pid" || true
    answers=$(awk '/requests in/ {print $1}' "$work/wrk.txt")
    echo "${names[$i]} under perf, 4 KiB c=8 (wrk): $(awk '/Requests\/sec/ {print $2}' \
      "$work/wrk.txt") req/s, $(per_answer "$work/perf.txt" "$answers" "$b0" "$b1")"
  done
done
