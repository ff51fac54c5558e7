#!/usr/bin/env bash
# Checks how the native unit tests fail, not only that they fail: plants one fault at a
# time in a scratch copy of the sources (never in the worktree), builds it with the
# sanitizers, runs ctest (each case its own process) and the whole binary in one process
# (as under Wine), and reports for each fault: the time to the first failure report, the
# cases that failed and the cases that still ran, the largest memory any test process
# used, and the test directories left behind.
#
#   scripts/mutants.sh [scratch dir]      (default: build/mutants)
set -uo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
scratch="${1:-$root/build/mutants}"
jobs="${QC_JOBS:-2}"

# name | file | sed expression (one line changed)
mutants=(
  "range ignored (a whole 4+ GiB file for every range)|src/http/request_parser.cpp|s/request.hasRange = true;/request.hasRange = false;/"
  "no end-of-head rule (never answers)|src/http/connection.cpp|s/if (IsHeadComplete(state.buffer.data(), state.length - 1)) {/if (false) {/"
  "share request not added (an ASSERT_ fails while the control-channel loop runs)|src/shares/share_file.cpp|s/added.share = registry.AppendShare(/added.share = std::make_shared<Share>(/"
)

mkdir -p "$scratch"
rm -rf "$scratch/src-tree" && mkdir -p "$scratch/src-tree"
tar -C "$root" --exclude=./build --exclude=./.git -cf - . | tar -C "$scratch/src-tree" -xf -
cmake -S "$scratch/src-tree" -B "$scratch/build" -DCMAKE_BUILD_TYPE=Debug \
  -DQC_SANITIZE="address;undefined" >"$scratch/configure.log" 2>&1 || { tail -20 "$scratch/configure.log"; exit 1; }

runtime="$(mktemp -d "${TMPDIR:-/tmp}/qc-mutants-run-XXXXXX")"
export XDG_RUNTIME_DIR="$runtime"
trap 'rm -rf "$runtime"' EXIT
tmp_base="${TMPDIR:-/tmp}"
# Test directories of this run are recognised by the pids of the processes that made them.
leftovers() { find "$tmp_base" -maxdepth 1 -name 'qc-test-*-*-*' -newer "$1" 2>/dev/null | wc -l; }

for entry in "${mutants[@]}"; do
  IFS='|' read -r name file expr <<<"$entry"
  echo "=== $name"
  cp "$root/$file" "$scratch/src-tree/$file"
  sed -i "$expr" "$scratch/src-tree/$file"
  if cmp -s "$root/$file" "$scratch/src-tree/$file"; then
    echo "    the fault did not apply to $file"; continue
  fi
  if ! cmake --build "$scratch/build" -j"$jobs" >"$scratch/build.log" 2>&1; then
    tail -20 "$scratch/build.log"; cp "$root/$file" "$scratch/src-tree/$file"; continue
  fi
  stamp="$scratch/stamp"; touch "$stamp"; sleep 1
  log="$scratch/ctest-$(echo "$name" | tr -c 'a-z0-9' '-' | cut -c1-40).log"
  start=$(date +%s.%N)
  ( cd "$scratch/build" && /usr/bin/time -f "%M" -o "$scratch/ctest.rss" ctest --output-on-failure >"$log" 2>&1 ) &
  ctest_pid=$!
  first=""
  while kill -0 "$ctest_pid" 2>/dev/null; do
    if [ -z "$first" ] && grep -q -E '\*\*\*Failed|\*\*\*Timeout|\*\*\*Exception|SEGFAULT|Subprocess aborted' "$log" 2>/dev/null; then
      first=$(echo "$(date +%s.%N) - $start" | bc)
    fi
    sleep 0.2
  done
  wait "$ctest_pid"
  total=$(echo "$(date +%s.%N) - $start" | bc)
  summary=$(grep -E "tests passed, .* failed out of" "$log")
  failed=$(grep -E '^\s+[0-9]+ - ' "$log" | sed -E 's/^\s*[0-9]+ - //; s/ +#.*//' | head -n 4 | tr '\n' ';')
  echo "    ctest: $summary; first failure reported after ${first:-?} s, all done after ${total} s"
  echo "    failed (the first four): $failed"
  echo "    largest test process: $(( $(tail -n1 "$scratch/ctest.rss") / 1024 )) MiB; test directories left: $(leftovers "$stamp")"
  # One process for the whole binary, as the Windows build runs it.
  touch "$stamp"; sleep 1
  start=$(date +%s.%N)
  /usr/bin/time -f "%M" -o "$scratch/one.rss" timeout 600 "$scratch/build/tests/unit_tests" --gtest_brief=1 >"$scratch/one.log" 2>&1
  rc=$?
  total=$(echo "$(date +%s.%N) - $start" | bc)
  echo "    one process: exit $rc after ${total} s; $(grep -E '^\[==========\] .* ran' "$scratch/one.log" | sed 's/\[==========\] //'); $(grep -E '^\[  PASSED  \]' "$scratch/one.log" | sed 's/\[  PASSED  \] /passed /'), $(grep -c '^\[  FAILED  \] .*\.' "$scratch/one.log") failed; $(( $(tail -n1 "$scratch/one.rss") / 1024 )) MiB; test directories left: $(leftovers "$stamp")"
  cp "$root/$file" "$scratch/src-tree/$file"
done
# Back to the sources as they are, so the scratch build matches them again.
cmake --build "$scratch/build" -j"$jobs" >"$scratch/build.log" 2>&1
