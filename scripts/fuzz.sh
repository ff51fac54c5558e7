#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (the fuzz preset, in build/fuzz) and runs each
# one for a while.
#   scripts/fuzz.sh [seconds-per-target]
# The seed corpus under fuzz/corpus is copied first, so new inputs never land in the
# repository. Any crash, leak, sanitizer report or time-out fails the script.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/fuzz"
seconds="${1:-60}"
targets=(fuzz_parse_request fuzz_load_settings fuzz_load_shares fuzz_load_downloads fuzz_connection)

cd "$root"
cmake --preset fuzz >/dev/null
# The fuzzers alone: the program and the floors they do not link are built elsewhere.
cmake --build --preset fuzz -j2 --target "${targets[@]}"

work="$(mktemp -d "${TMPDIR:-/tmp}/qc-fuzz-run-XXXXXX")"
trap 'rm -rf "$work"' EXIT

# One target's run; its output in $work/TARGET.log.
run_target() {
  local target="$1" corpus="$work/corpus/$1"
  mkdir -p "$corpus" "$work/artifacts/$target"
  cp -r "$root/fuzz/corpus/$target/." "$corpus/"
  # The loader fuzzers make their scratch directory under TMPDIR: keep it inside $work.
  (cd "$work" && TMPDIR="$work" "$build/$target" "$corpus" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
    -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/$target/" >"$work/$target.log" 2>&1)
}

# As many targets at a time as there are cores (each fuzzer is one thread), reported in
# their order.
parallel="$(nproc)"
pids=()
for i in "${!targets[@]}"; do
  if [ "$i" -ge "$parallel" ]; then wait "${pids[$((i - parallel))]}"; fi
  (if run_target "${targets[$i]}"; then echo 0; else echo $?; fi) >"$work/${targets[$i]}.status" &
  pids+=($!)
done
wait
status=0
for target in "${targets[@]}"; do
  echo "== $target: ${seconds}s"
  if [ "$(cat "$work/$target.status")" != 0 ]; then
    status=1
    echo "!! $target found a fault:"
    tail -n 60 "$work/$target.log"
    mkdir -p "$build/findings/$target"
    cp -r "$work/artifacts/$target/." "$build/findings/$target/" || true
    echo "!! reproducer(s) kept in $build/findings/$target"
  else
    grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|stat::peak_rss_mb)' "$work/$target.log" || true
  fi
done
exit "$status"
