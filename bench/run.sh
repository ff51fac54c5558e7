#!/usr/bin/env bash
# Measures the quillcast server (native, and quillcast.exe under Wine) against nginx,
# `python3 -m http.server` and a plain Win32 loop under Wine (the Windows reference), all
# serving the same files on 127.0.0.1, one server at a time. Each row runs QC_BENCH_RUNS
# times (3 by default); the table shows the median, and the 1-minute load average when
# each row began:
#   - a 1 GiB download with curl (MB/s = 10^6 bytes/s), status and size checked on every
#     run, and one more download whose SHA-256 is compared with the file's;
#   - 4 KiB and 1 MiB files, one request per connection, with ab -c 1 (req/s, p50/p99);
#   - the same files with 8 concurrent connections, each on its own copy of the file
#     (wrk, -t8 -c8, Connection: close, time-bounded);
#   - 8 clients downloading the same 64 MiB file at once (aggregate MB/s);
#   - 64 clients downloading 64 distinct 16 MiB files at once (aggregate MB/s);
#   - the 4 KiB ab load again while 1,000 idle connections are held open;
#   - each server's peak memory (VmHWM) after all of it.
# Prints a table with the medians and the ratios against the peers.
#
# usage: bench/run.sh            (run as root on Debian: installs what is missing)
# env:   QC_NATIVE_BIN=path      use this native build instead of building build/release
#        QC_WIN_BIN=path         use this quillcast.exe instead of building build/win-release
#        QC_BENCH_WIN_BASE=commit  the older builds ("winbase", "nativebase") run beside
#                                today's: built from that commit into build/win-base-COMMIT
#                                (a88ba73)
#        QC_WINBASE_BIN=path     use this older quillcast.exe instead
#        QC_NATIVEBASE_BIN=path  use this older native quillcast instead
#        QC_BENCH_SKIP_WINE=1    leave out the Wine measurements (quillcast.exe and the loop)
#        QC_BENCH_SERVERS="native nginx python wine winbase winref"   which ones, in order
#                                (also "nativebase": the older commit's native build)
#        QC_BENCH_RESULTS=path   also copy the raw results (server, metric, value) there
#        QC_BENCH_RUNS           runs per row (3)
#        QC_BENCH_N_4K / QC_BENCH_N_1M / QC_BENCH_C8_SECONDS / QC_BENCH_BIG_MIB  load sizes
#        QC_BENCH_IDLE           idle connections held during the 4 KiB load (1000)
#        QC_BENCH_REF_PIECE      the Win32 loop's piece size in bytes (1 MiB)
#
# Everything it starts is ended by PID at exit (and the Wine prefix's own wineserver with
# `wineserver -k`); its temporary directory, test files included, is removed. It is not
# part of the tests: it measures, it asserts nothing.
set -euo pipefail

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO=$(cd "$BENCH_DIR/.." && pwd)

N_4K=${QC_BENCH_N_4K:-2000}
N_1M=${QC_BENCH_N_1M:-300}
C8_SECONDS=${QC_BENCH_C8_SECONDS:-5}
BIG_MIB=${QC_BENCH_BIG_MIB:-1024}
SKIP_WINE=${QC_BENCH_SKIP_WINE:-0}
RUNS=${QC_BENCH_RUNS:-3}
IDLE=${QC_BENCH_IDLE:-1000}
REF_PIECE=${QC_BENCH_REF_PIECE:-1048576}
WIN_BASE=${QC_BENCH_WIN_BASE:-a88ba73}
SERVERS=${QC_BENCH_SERVERS:-native nginx python wine winbase winref}
[ "$SKIP_WINE" = 1 ] && SERVERS=${SERVERS//winref/} && SERVERS=${SERVERS//winbase/} &&
  SERVERS=${SERVERS//wine/}
# Upper bounds on every client run, so that a stuck server never hangs the benchmark.
AB_TIME_LIMIT=120
CURL_TIME_LIMIT=600
START_TIMEOUT=60

log() { echo "[bench] $*" >&2; }
die() {
  log "error: $*"
  exit 1
}

WORK=""
PIDS=()
WINE_PREFIX=""
WINE64=""
WINESERVER=""
POLICY_CREATED=0
REF_BIN=""

stop_pid() {  # stop_pid PID [SIGNAL]: ends one process we started and reaps it
  local pid=$1 sig=${2:-TERM} i
  kill -0 "$pid" 2>/dev/null || return 0
  kill "-$sig" "$pid" 2>/dev/null || true
  for ((i = 0; i < 50; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    log "process $pid ignored SIG$sig; killing it"
    kill -KILL "$pid" 2>/dev/null || true
  fi
  wait "$pid" 2>/dev/null || true
  # Forget it, so that cleanup never signals a later process that reuses the number.
  local keep=() p
  for p in "${PIDS[@]}"; do [ "$p" = "$pid" ] || keep+=("$p"); done
  PIDS=("${keep[@]}")
}

# shellcheck source=../scripts/wine_prefix.sh
. "$BENCH_DIR/../scripts/wine_prefix.sh"
# shellcheck source=nginx_conf.sh
. "$BENCH_DIR/nginx_conf.sh"
cleanup() {
  set +e
  local pid
  for pid in "${PIDS[@]}"; do stop_pid "$pid"; done
  if [ -n "$WINE_PREFIX" ] && [ -d "$WINE_PREFIX" ] && [ -n "$WINESERVER" ]; then
    WINEPREFIX="$WINE_PREFIX" "$WINESERVER" -k 2>/dev/null
    WINEPREFIX="$WINE_PREFIX" "$WINESERVER" -w 2>/dev/null
    end_prefix_leftovers "$WINE_PREFIX"
  fi
  [ -n "$WORK" ] && rm -rf "$WORK"
  [ "$POLICY_CREATED" = 1 ] && rm -f /usr/sbin/policy-rc.d
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ---------------------------------------------------------------------------- tools
find_wine() {
  local c
  for c in "${WINE64_BIN:-}" /usr/lib/wine/wine64 "$(command -v wine64 || true)"; do
    [ -n "$c" ] && [ -x "$c" ] && { echo "$c"; return; }
  done
}
find_wineserver() {
  local c
  for c in /usr/lib/wine/wineserver "$(command -v wineserver || true)"; do
    [ -n "$c" ] && [ -x "$c" ] && { echo "$c"; return; }
  done
}

install_missing() {
  local need=()
  command -v nginx >/dev/null 2>&1 || [ -x /usr/sbin/nginx ] || need+=(nginx)
  command -v ab >/dev/null 2>&1 || need+=(apache2-utils)
  command -v curl >/dev/null 2>&1 || need+=(curl)
  command -v wrk >/dev/null 2>&1 || need+=(wrk)
  command -v python3 >/dev/null 2>&1 || need+=(python3)
  if [ -z "${QC_NATIVE_BIN:-}" ] || { [[ " $SERVERS " == *" wine "* ]] && [ -z "${QC_WIN_BIN:-}" ]; }; then
    command -v cmake >/dev/null 2>&1 || need+=(cmake)
    command -v g++ >/dev/null 2>&1 || need+=(g++ make)
  fi
  if [[ " $SERVERS " == *" wine"* ]]; then
    [ -n "$(find_wine)" ] || need+=(wine64)
    command -v x86_64-w64-mingw32-gcc >/dev/null 2>&1 || need+=(gcc-mingw-w64-x86-64-posix)
    if [ -z "${QC_WIN_BIN:-}" ]; then
      command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 ||
        need+=(g++-mingw-w64-x86-64-posix)
    fi
  fi
  [ ${#need[@]} -eq 0 ] && return 0
  [ "$(id -u)" = 0 ] || die "missing ${need[*]}; run as root or install them"
  log "installing ${need[*]}"
  # Keep the nginx package from starting the system's own nginx on port 80.
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    POLICY_CREATED=1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >&2
  if [ "$POLICY_CREATED" = 1 ]; then
    rm -f /usr/sbin/policy-rc.d
    POLICY_CREATED=0
  fi
}

build_binaries() {
  if [ -z "${QC_NATIVE_BIN:-}" ]; then
    log "building the native release into $REPO/build/release"
    (cd "$REPO" && cmake --preset release && cmake --build --preset release -j"$(nproc)") >&2
    QC_NATIVE_BIN="$REPO/build/release/quillcast"
  fi
  if [[ " $SERVERS " == *" wine "* ]] && [ -z "${QC_WIN_BIN:-}" ]; then
    log "building the Windows release into $REPO/build/win-release"
    cmake -S "$REPO" -B "$REPO/build/win-release" -DCMAKE_BUILD_TYPE=Release -DQC_TESTS=OFF \
      -DCMAKE_TOOLCHAIN_FILE="$REPO/cmake/mingw-w64-x86_64.cmake" >&2
    cmake --build "$REPO/build/win-release" -j"$(nproc)" >&2
    QC_WIN_BIN="$REPO/build/win-release/quillcast.exe"
  fi
  if [[ " $SERVERS " == *" winbase "* ]] && [ -z "${QC_WINBASE_BIN:-}" ]; then
    # The older commit's sources as they were, built the way today's are: a change that
    # costs the Windows build shows against its own past, in the same run.
    local base_dir="$REPO/build/win-base-$WIN_BASE"
    if [ ! -f "$base_dir/build/quillcast.exe" ]; then
      log "building the Windows release of $WIN_BASE into $base_dir"
      rm -rf "$base_dir/src-tree"
      mkdir -p "$base_dir/src-tree"
      git -C "$REPO" archive "$WIN_BASE" | tar -x -C "$base_dir/src-tree" ||
        die "cannot read commit $WIN_BASE"
      cmake -S "$base_dir/src-tree" -B "$base_dir/build" -DCMAKE_BUILD_TYPE=Release -DQC_TESTS=OFF \
        -DCMAKE_TOOLCHAIN_FILE="$base_dir/src-tree/cmake/mingw-w64-x86_64.cmake" >&2
      cmake --build "$base_dir/build" -j"$(nproc)" --target quillcast >&2
    fi
    QC_WINBASE_BIN="$base_dir/build/quillcast.exe"
  fi
  if [[ " $SERVERS " == *" nativebase "* ]] && [ -z "${QC_NATIVEBASE_BIN:-}" ]; then
    local base_dir="$REPO/build/win-base-$WIN_BASE"
    if [ ! -f "$base_dir/native-release/quillcast" ]; then
      log "building the native release of $WIN_BASE into $base_dir/native-release"
      if [ ! -d "$base_dir/src-tree" ]; then
        mkdir -p "$base_dir/src-tree"
        git -C "$REPO" archive "$WIN_BASE" | tar -x -C "$base_dir/src-tree" ||
          die "cannot read commit $WIN_BASE"
      fi
      cmake -S "$base_dir/src-tree" -B "$base_dir/native-release" -DCMAKE_BUILD_TYPE=Release \
        -DQC_TESTS=OFF >&2
      cmake --build "$base_dir/native-release" -j"$(nproc)" --target quillcast >&2
    fi
    QC_NATIVEBASE_BIN="$base_dir/native-release/quillcast"
  fi
  if [[ " $SERVERS " == *" winref "* ]]; then
    REF_BIN="$REPO/build/bench/win32_reference.exe"
    mkdir -p "$REPO/build/bench"
    x86_64-w64-mingw32-gcc -O2 -static -o "$REF_BIN" "$BENCH_DIR/win32_reference.c" -lws2_32 -lmswsock ||
      die "cannot build the Win32 reference loop"
  fi
  QC_NATIVE_BIN=$(realpath "$QC_NATIVE_BIN")
  [ -x "$QC_NATIVE_BIN" ] || die "no native server at $QC_NATIVE_BIN"
  if [[ " $SERVERS " == *" winbase "* ]]; then
    QC_WINBASE_BIN=$(realpath "$QC_WINBASE_BIN")
  fi
  if [[ " $SERVERS " == *" nativebase "* ]]; then
    QC_NATIVEBASE_BIN=$(realpath "$QC_NATIVEBASE_BIN")
  fi
  if [[ " $SERVERS " == *" wine "* ]]; then
    QC_WIN_BIN=$(realpath "$QC_WIN_BIN")
    [ -f "$QC_WIN_BIN" ] || die "no quillcast.exe at $QC_WIN_BIN"
  fi
}

# ---------------------------------------------------------------------------- files
SMALL_NAMES=(s4k.bin m1.bin)
for i in 1 2 3 4 5 6 7 8; do SMALL_NAMES+=("c4k_$i.bin" "c1m_$i.bin"); done
DISTINCT_NAMES=()
for i in $(seq 1 64); do DISTINCT_NAMES+=("d16m_$i.bin"); done
ALL_NAMES=(big.bin same64.bin "${SMALL_NAMES[@]}" "${DISTINCT_NAMES[@]}")
BIG_BYTES=$((BIG_MIB * 1024 * 1024))
BIG_SHA256=""

make_files() {
  local files=$WORK/files avail_kib need_kib=$(((BIG_MIB + 1400) * 1024)) name
  avail_kib=$(df --output=avail -k "$WORK" | tail -1 | tr -d ' ')
  [ "$avail_kib" -ge "$need_kib" ] ||
    die "$WORK has $((avail_kib / 1024)) MiB free; the files need $((need_kib / 1024)) MiB"
  mkdir -p "$files"
  log "writing ${BIG_MIB} MiB of random bytes to $files/big.bin"
  dd if=/dev/urandom of="$files/big.bin" bs=1M count="$BIG_MIB" iflag=fullblock status=none
  BIG_SHA256=$(sha256sum "$files/big.bin" | cut -d' ' -f1)
  head -c $((64 << 20)) /dev/urandom >"$files/same64.bin"
  head -c $((16 << 20)) /dev/urandom >"$files/d16m_1.bin"
  for i in $(seq 2 64); do cp "$files/d16m_1.bin" "$files/d16m_$i.bin"; done
  head -c 4096 /dev/urandom >"$files/s4k.bin"
  head -c 1048576 /dev/urandom >"$files/m1.bin"
  for i in 1 2 3 4 5 6 7 8; do
    cp "$files/s4k.bin" "$files/c4k_$i.bin"
    cp "$files/m1.bin" "$files/c1m_$i.bin"
  done
  # nginx's workers drop to "nobody": they must be able to read the files.
  chmod 755 "$WORK" "$files"
  for name in "${ALL_NAMES[@]}"; do chmod 644 "$files/$name"; done
}

# ---------------------------------------------------------------------------- helpers
RESULTS=""
record() { printf '%s\t%s\t%s\n' "$1" "$2" "$3" >>"$RESULTS"; }
# The 1-minute load average as a row begins: the machine is shared, and a busy moment
# shows in the numbers.
record_load() { record "$1" "$2_load1" "$(cut -d' ' -f1 /proc/loadavg)"; }

free_port() {
  python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); from ports import free_port; print(free_port())' "$BENCH_DIR/../tests/e2e"
}

wait_ready() {  # wait_ready PID PORT: until GET /s4k.bin answers 200
  local pid=$1 port=$2 deadline=$((SECONDS + START_TIMEOUT)) code
  while ((SECONDS < deadline)); do
    kill -0 "$pid" 2>/dev/null || return 1
    code=$(curl -s -o /dev/null --max-time 5 -w '%{http_code}' "http://127.0.0.1:$port/s4k.bin" ||
      true)
    [ "$code" = 200 ] && return 0
    sleep 0.2
  done
  return 1
}

hwm_kib() { awk '/^VmHWM:/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }
# The resident memory of the server being measured (SERVER_PIDS: its processes, nginx's
# workers and Wine's wineserver included), summed: an upper bound (shared pages count twice).
server_rss_kib() {
  local total=0 p
  for p in $SERVER_PIDS; do
    total=$((total + $(rss_kib "$p")))
    for child in $(ps -o pid= --ppid "$p"); do total=$((total + $(rss_kib "$child"))); done
  done
  echo "$total"
}
SERVER_PIDS=""

# A client that reads a whole answer and connects again at once may reach quillcast
# before the previous connection has closed its file: a short pause between runs keeps
# that from turning one run's end into the next run's 404.
pause() { sleep 0.3; }

measure_download() {  # measure_download SERVER PORT
  local server=$1 port=$2 run out code size speed digest
  record_load "$server" dl_1g
  for ((run = 1; run <= RUNS; run++)); do
    pause
    out=$(curl -s -o /dev/null --max-time "$CURL_TIME_LIMIT" \
      -w '%{http_code} %{size_download} %{speed_download}' \
      "http://127.0.0.1:$port/big.bin" || true)
    read -r code size speed <<<"$out"
    log "$server: 1 GiB download $run: HTTP $code, $size bytes, $speed bytes/s"
    if [ "$code" != 200 ] || [ "$size" != "$BIG_BYTES" ]; then
      record "$server" dl_1g_failed 1
      continue
    fi
    record "$server" dl_1g_failed 0
    record "$server" dl_1g_MBps "$(python3 -c "print($speed / 1e6)")"
  done
  # The bytes themselves, once, outside the timed runs (hashing is slower than serving).
  pause
  digest=$(curl -s -f --max-time "$CURL_TIME_LIMIT" "http://127.0.0.1:$port/big.bin" | sha256sum |
    cut -d' ' -f1)
  log "$server: 1 GiB download SHA-256 $digest (file $BIG_SHA256)"
  [ "$digest" = "$BIG_SHA256" ] && record "$server" dl_1g_failed 0 || record "$server" dl_1g_failed 1
}

measure_ab() {  # measure_ab SERVER PORT PATH REQUESTS KEY
  local server=$1 port=$2 path=$3 n=$4 key=$5 out=$WORK/ab.out csv=$WORK/ab.csv run
  for ((run = 1; run <= RUNS; run++)); do
    pause
    rm -f "$out" "$csv"
    # -t first: it resets -n, which then bounds the count; no -k, so no keep-alive.
    ab -q -t "$AB_TIME_LIMIT" -n "$n" -c 1 -e "$csv" "http://127.0.0.1:$port$path" >"$out" 2>&1 ||
      log "$server: ab exited non-zero for $path: $(tail -1 "$out")"
    local complete failed non2xx rps p50 p99
    complete=$(awk '/^Complete requests:/ {print $3}' "$out")
    failed=$(awk '/^Failed requests:/ {print $3}' "$out")
    non2xx=$(awk '/^Non-2xx responses:/ {print $3}' "$out")
    rps=$(awk '/^Requests per second:/ {print $4}' "$out")
    p50=$(awk -F, '$1 == 50 {print $2}' "$csv" 2>/dev/null)
    p99=$(awk -F, '$1 == 99 {print $2}' "$csv" 2>/dev/null)
    log "$server: ab $path ($key) $run: ${complete:-0} complete, ${failed:-?} failed," \
      "${non2xx:-0} non-2xx, ${rps:-?} req/s, p50 ${p50:-?} ms, p99 ${p99:-?} ms"
    record "$server" "${key}_requests" "${complete:-0}"
    record "$server" "${key}_non2xx" "${non2xx:-0}"
    # Requests that never completed count as failed too.
    record "$server" "${key}_failed" "$((${failed:-0} + n - ${complete:-0}))"
    [ -n "$rps" ] && record "$server" "${key}_rps" "$rps"
    [ -n "$p50" ] && record "$server" "${key}_p50_ms" "$p50"
    [ -n "$p99" ] && record "$server" "${key}_p99_ms" "$p99"
  done
  return 0
}

measure_wrk() {  # measure_wrk SERVER PORT PREFIX KEY
  local server=$1 port=$2 prefix=$3 key=$4 out=$WORK/wrk.out line run
  for ((run = 1; run <= RUNS; run++)); do
    pause
    timeout $((C8_SECONDS + 60)) wrk -t8 -c8 -d"${C8_SECONDS}s" --timeout 10s \
      -H 'Connection: close' -s "$BENCH_DIR/distinct_paths.lua" \
      "http://127.0.0.1:$port/" -- "$prefix" >"$out" 2>&1 || log "$server: wrk exited non-zero"
    line=$(grep '^WRK ' "$out" || true)
    if [ -z "$line" ]; then
      log "$server: wrk gave no result: $(tail -3 "$out")"
      record "$server" "${key}_failed" 1
      continue
    fi
    log "$server: wrk ${prefix}N.bin $run: $line"
    # Set by the eval below from wrk's result line; bytes is kept for the log only.
    # shellcheck disable=SC2034
    local requests duration_us non2xx connect_err read_err write_err timeouts p50_us p99_us bytes
    eval "$(echo "${line#WRK }" | tr ' ' '\n' | grep -E '^[a-z0-9_]+=[0-9]+$')"
    record "$server" "${key}_requests" "$requests"
    record "$server" "${key}_non2xx" "$non2xx"
    record "$server" "${key}_failed" "$((connect_err + read_err + write_err + timeouts))"
    record "$server" "${key}_rps" "$(python3 -c "print(($requests - $non2xx) / ($duration_us / 1e6))")"
    record "$server" "${key}_p50_ms" "$(python3 -c "print($p50_us / 1000)")"
    record "$server" "${key}_p99_ms" "$(python3 -c "print($p99_us / 1000)")"
  done
}

measure_parallel() {  # measure_parallel SERVER PORT KEY BYTES NAME...: all at once, one curl
  local server=$1 port=$2 key=$3 bytes=$4 run start end bad total name
  shift 4
  local -a args=()
  for name in "$@"; do args+=(-o /dev/null "http://127.0.0.1:$port/$name"); done
  for ((run = 1; run <= RUNS; run++)); do
    pause
    start=$(date +%s.%N)
    curl -s -Z --parallel-immediate --parallel-max "$#" --max-time "$CURL_TIME_LIMIT" \
      -w '%{http_code} %{size_download}\n' "${args[@]}" >"$WORK/parallel.out" 2>/dev/null || true
    end=$(date +%s.%N)
    total=$(wc -l <"$WORK/parallel.out")
    bad=$(($# - $(grep -c "^200 $bytes\$" "$WORK/parallel.out" || true)))
    log "$server: $key $run: $# downloads at once, $bad failed ($total answers), $(python3 -c "print(round($end - $start, 3))") s"
    record "$server" "${key}_failed" "$bad"
    record "$server" "${key}_MBps" "$(python3 -c "print(($# - $bad) * $bytes / ($end - $start) / 1e6)")"
  done
}

measure_idle_load() {  # measure_idle_load SERVER PORT: the 4 KiB load beside IDLE idle connections
  local server=$1 port=$2 fifo=$WORK/idle.fifo ready=$WORK/idle.ready holder
  rm -f "$fifo" "$ready"
  mkfifo "$fifo"
  python3 "$BENCH_DIR/idle_clients.py" "$port" "$IDLE" "$ready" <"$fifo" >>"$WORK/idle.log" 2>&1 &
  holder=$!
  PIDS+=("$holder")
  exec 7>"$fifo"  # the holder keeps its connections until this closes
  local i=0
  while [ ! -s "$ready" ] && ((i++ < 600)); do sleep 0.1; done
  log "$server: idle connections held: $(cat "$ready" 2>/dev/null || echo none)"
  record "$server" idle_held "$(cut -d' ' -f1 "$ready" 2>/dev/null || echo 0)"
  record_load "$server" s4k_idle
  measure_ab "$server" "$port" /s4k.bin "$N_4K" s4k_idle
  # While they are still held, after the load beside them.
  record "$server" idle_rss_MiB "$(python3 -c "print($(server_rss_kib) / 1024)")"
  exec 7>&-
  stop_pid "$holder"
}

run_loads() {  # run_loads SERVER PORT
  measure_download "$1" "$2"
  record_load "$1" s4k_c1
  measure_ab "$1" "$2" /s4k.bin "$N_4K" s4k_c1
  record_load "$1" m1_c1
  measure_ab "$1" "$2" /m1.bin "$N_1M" m1_c1
  record_load "$1" s4k_c8
  measure_wrk "$1" "$2" /c4k_ s4k_c8
  record_load "$1" m1_c8
  measure_wrk "$1" "$2" /c1m_ m1_c8
  record_load "$1" same64_c8
  measure_parallel "$1" "$2" same64_c8 $((64 << 20)) same64.bin same64.bin same64.bin same64.bin \
    same64.bin same64.bin same64.bin same64.bin
  record_load "$1" d16m_c64
  measure_parallel "$1" "$2" d16m_c64 $((16 << 20)) "${DISTINCT_NAMES[@]}"
  measure_idle_load "$1" "$2"
}

# The Win32 loop serves one connection at a time: the rows its targets compare with.
run_reference_loads() {  # run_reference_loads SERVER PORT
  measure_download "$1" "$2"
  record_load "$1" s4k_c1
  measure_ab "$1" "$2" /s4k.bin "$N_4K" s4k_c1
  record_load "$1" m1_c1
  measure_ab "$1" "$2" /m1.bin "$N_1M" m1_c1
}

record_memory() {  # record_memory SERVER KIB
  record "$1" peak_rss_MiB "$(python3 -c "print($2 / 1024)")"
}

# ---------------------------------------------------------------------------- servers
bench_native() { bench_native_build native "$QC_NATIVE_BIN" run_loads; }
# The native build of the older commit, on the rows of the reference.
bench_nativebase() { bench_native_build nativebase "$QC_NATIVEBASE_BIN" run_loads; }

bench_native_build() {  # bench_native_build SERVER BINARY LOADS
  local name=$1 bin=$2 loads=$3 dir=$WORK/qc-$1 port pid
  mkdir -p "$dir/xdg"
  chmod 700 "$dir/xdg"
  port=$(free_port)
  python3 "$BENCH_DIR/qc_config.py" "$dir" "$port" "$WORK/files" "${ALL_NAMES[@]}"
  log "$name: $bin on port $port"
  (cd "$dir" && XDG_RUNTIME_DIR="$dir/xdg" exec "$bin") >"$dir/server.log" 2>&1 &
  pid=$!
  PIDS+=("$pid")
  if ! wait_ready "$pid" "$port"; then
    log "$name: the server does not serve /s4k.bin; skipped ($(tail -3 "$dir/server.log"))"
    stop_pid "$pid"
    return 0
  fi
  SERVER_PIDS=$pid
  "$loads" "$name" "$port"
  record_memory "$name" "$(hwm_kib "$pid")"
  # The asking instance exits with 1 whatever happens: whether the server ends is what counts.
  (cd "$dir" && XDG_RUNTIME_DIR="$dir/xdg" timeout 20 "$bin" -stop) \
    >>"$dir/server.log" 2>&1 || true
  # -stop only asks: give the server a moment to end by itself before stop_pid insists.
  for ((i = 0; i < 100; i++)); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$pid" 2>/dev/null && log "$name: still running 10 s after -stop"
  stop_pid "$pid"
}

bench_nginx() {
  local dir=$WORK/nginx port pid child hwm=0
  mkdir -p "$dir/tmp"
  port=$(free_port)
  write_nginx_conf "$dir" "$port" "$WORK/files"
  local nginx_bin
  nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
  log "nginx: $("$nginx_bin" -v 2>&1) on port $port"
  "$nginx_bin" -p "$dir" -e "$dir/error.log" -c "$dir/nginx.conf" >"$dir/stdout.log" 2>&1 &
  pid=$!
  PIDS+=("$pid")
  if ! wait_ready "$pid" "$port"; then
    log "nginx: did not start; skipped ($(tail -3 "$dir/error.log" 2>/dev/null))"
    stop_pid "$pid"
    return 0
  fi
  SERVER_PIDS=$pid
  run_loads nginx "$port"
  # Master plus workers, each counted whole: an upper bound (shared pages count twice).
  hwm=$(hwm_kib "$pid")
  for child in $(ps -o pid= --ppid "$pid"); do hwm=$((hwm + $(hwm_kib "$child"))); done
  record_memory nginx "$hwm"
  stop_pid "$pid" QUIT
}

bench_python() {
  local dir=$WORK/python port pid
  mkdir -p "$dir"
  port=$(free_port)
  log "python: $(python3 --version) http.server on port $port"
  python3 -m http.server "$port" --bind 127.0.0.1 --directory "$WORK/files" \
    >"$dir/server.log" 2>&1 &
  pid=$!
  PIDS+=("$pid")
  if ! wait_ready "$pid" "$port"; then
    log "python: did not start; skipped"
    stop_pid "$pid"
    return 0
  fi
  SERVER_PIDS=$pid
  run_loads python "$port"
  record_memory python "$(hwm_kib "$pid")"
  stop_pid "$pid"
}

# The wineserver of this script's prefix (never another prefix's): the one whose
# environment names it.
prefix_wineserver() {
  local p
  for p in $(pgrep -x wineserver64) $(pgrep -x wineserver); do
    if tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINE_PREFIX"; then
      echo "$p"
      return
    fi
  done
}

WINE_ENV=()
prepare_wine() {  # creates the prefix once; false when Wine is missing
  [ ${#WINE_ENV[@]} -gt 0 ] && return 0
  WINE64=$(find_wine)
  WINESERVER=$(find_wineserver)
  if [ -z "$WINE64" ] || [ -z "$WINESERVER" ]; then
    log "wine: no wine64/wineserver; skipped"
    return 1
  fi
  WINE_PREFIX=$WORK/wineprefix
  # No display: the servers show no window; no Mono/Gecko prompts while the prefix is made.
  WINE_ENV=(env -u DISPLAY -u WAYLAND_DISPLAY WINEPREFIX="$WINE_PREFIX" WINEDEBUG=-all
    WINEDLLOVERRIDES="mscoree,mshtml,winebus.sys=")
  log "wine: $("$WINE64" --version) creating the prefix $WINE_PREFIX"
  "${WINE_ENV[@]}" timeout 300 "$WINE64" wineboot -i >"$WORK/wineboot.log" 2>&1 ||
    log "wine: wineboot exited non-zero"
  return 0
}

bench_wine() { bench_wine_build wine "$QC_WIN_BIN" run_loads; }
# The Windows build of an older commit (QC_BENCH_WIN_BASE), on the rows of the reference.
bench_winbase() { bench_wine_build winbase "$QC_WINBASE_BIN" run_reference_loads; }

bench_wine_build() {  # bench_wine_build SERVER EXE LOADS
  local name=$1 exe=$2 loads=$3 dir=$WORK/qc-$1 port pid
  prepare_wine || return 0
  mkdir -p "$dir"
  port=$(free_port)
  python3 "$BENCH_DIR/qc_config.py" "$dir" "$port" "$WORK/files" --windows "${ALL_NAMES[@]}"
  log "$name: $exe on port $port"
  (cd "$dir" && exec "${WINE_ENV[@]}" "$WINE64" "$exe") >"$dir/server.log" 2>&1 &
  pid=$!
  PIDS+=("$pid")
  if ! wait_ready "$pid" "$port"; then
    log "$name: the server does not serve /s4k.bin; skipped ($(tail -3 "$dir/server.log"))"
    stop_pid "$pid"
    return 0
  fi
  # The loader execs into the Windows process, so this PID is quillcast.exe itself. Its
  # sockets and handles live in the prefix's wineserver, which counts with it.
  log "$name: server process $pid is '$(cat "/proc/$pid/comm" 2>/dev/null)'"
  SERVER_PIDS="$pid $(prefix_wineserver)"
  log "$name: counted processes $SERVER_PIDS"
  "$loads" "$name" "$port"
  record_memory "$name" "$(hwm_kib "$pid")"
  (cd "$dir" && "${WINE_ENV[@]}" timeout 60 "$WINE64" "$exe" -stop) >>"$dir/server.log" 2>&1 || true
  for ((i = 0; i < 200; i++)); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$pid" 2>/dev/null && log "$name: still running 20 s after -stop"
  stop_pid "$pid"
}

bench_winref() {
  local dir=$WORK/winref port pid
  prepare_wine || return 0
  mkdir -p "$dir"
  port=$(free_port)
  log "winref: $REF_BIN, pieces of $REF_PIECE bytes, on port $port"
  "${WINE_ENV[@]}" "$WINE64" "$REF_BIN" "$port" "Z:${WORK//\//\\}\\files" "$REF_PIECE" \
    >"$dir/server.log" 2>&1 &
  pid=$!
  PIDS+=("$pid")
  if ! wait_ready "$pid" "$port"; then
    log "winref: does not serve /s4k.bin; skipped ($(tail -3 "$dir/server.log"))"
    stop_pid "$pid"
    return 0
  fi
  run_reference_loads winref "$port"
  record_memory winref "$(hwm_kib "$pid")"
  stop_pid "$pid"
}

# ---------------------------------------------------------------------------- main
main() {
  # ab's percentile table indexes past its samples below 100 requests.
  ((N_4K >= 100 && N_1M >= 100)) || die "QC_BENCH_N_4K and QC_BENCH_N_1M must be 100 or more"
  install_missing
  build_binaries
  # Every server and client here holds over a thousand sockets at once.
  ulimit -n "$(ulimit -Hn)" 2>/dev/null || ulimit -n 65536 2>/dev/null || true
  WORK=$(mktemp -d "${TMPDIR:-/tmp}/qcbench.XXXXXX")
  # Debian's wineserver leaves its socket directory (TMPDIR/wine-XXXXXX) behind: here it
  # goes with the rest.
  mkdir "$WORK/tmp"
  export TMPDIR="$WORK/tmp"
  RESULTS=$WORK/results.tsv
  : >"$RESULTS"
  make_files

  local load_before server
  load_before=$(cut -d' ' -f1-3 /proc/loadavg)
  for server in $SERVERS; do
    case $server in
      native | nativebase | nginx | python | wine | winbase | winref) "bench_$server" ;;
      *) die "unknown server '$server' in QC_BENCH_SERVERS" ;;
    esac
  done

  echo "Quillcast benchmark, $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "machine: $(nproc) cores, $(awk -F': ' '/^model name/ {print $2; exit}' /proc/cpuinfo)," \
    "$(awk '/^MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo), kernel $(uname -r)"
  echo "clients: $(curl --version | head -1 | cut -d' ' -f1-2), ab $(ab -V | awk '/Version/ {print $5}'), $(wrk -v 2>&1 | head -1 | cut -d' ' -f1-2)"
  echo "load, each row $RUNS times (median shown): 1 GiB (curl); ${N_4K} x 4 KiB and ${N_1M} x 1 MiB" \
    "at c=1 (ab); 8 connections x 8 files for ${C8_SECONDS} s (wrk); 8 x the same 64 MiB and" \
    "64 x distinct 16 MiB at once (curl -Z); ${N_4K} x 4 KiB at c=1 beside $IDLE idle connections;" \
    "Win32 loop pieces $REF_PIECE bytes"
  echo "load average (1/5/15 min) before: $load_before, after: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo
  python3 "$BENCH_DIR/table.py" "$RESULTS"
  if [ -n "${QC_BENCH_RESULTS:-}" ]; then cp "$RESULTS" "$QC_BENCH_RESULTS"; fi
}

main "$@"
