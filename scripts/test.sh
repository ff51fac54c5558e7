#!/usr/bin/env bash
# Builds both trees and runs every test: the native suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, the threading tests under ThreadSanitizer, the end-to-end
# tests of the native program, the same unit tests and the Windows-only tests of
# quillcast.exe under Wine (with Xvfb for the windows and message boxes), the end-to-end
# tests of quillcast.exe, the code's shape (scripts/lint.sh)
# and a short run of each fuzzer. Installs what is missing first.
#
# Three lanes run side by side, their lines marked [native], [windows] and [lint]: the
# Windows tests mostly wait on Wine, and the native builds use the cores meanwhile; the
# lint, which needs both trees configured, starts once both are built, at a lower
# priority, and fills the time the others wait.
#
#   scripts/test.sh              everything
#   QC_FUZZ_SECONDS=60 scripts/test.sh   longer fuzzing (10 s per target by default)
set -uo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=wine_prefix.sh
. "$root/scripts/wine_prefix.sh"
build="$root/build"
jobs="$(nproc)"
# The checked-in corpora already reach what a minute per target found (docs/TESTING.md):
# each run starts there, and a short one still tries hundreds of thousands of new inputs.
fuzz_seconds="${QC_FUZZ_SECONDS:-10}"

"$root/scripts/deps.sh" all || exit 1

# Native tests keep their control sockets and instance locks in a private runtime
# directory, so nothing here meets a server the user runs.
runtime="$(mktemp -d "${TMPDIR:-/tmp}/qc-test-run-XXXXXX")"
export XDG_RUNTIME_DIR="$runtime"
# Every temporary file of the run inside it too, removed with it: Debian's Wine makes each
# wineserver's socket directory with mkdtemp in TMPDIR ("wine-XXXXXX") and leaves it behind
# when the server ends, a few more in /tmp for every run (114 after a day's work here).
# Wine's clients find their server there, so the cleanup's `wineserver -k` runs with it too.
mkdir "$runtime/tmp"
export TMPDIR="$runtime/tmp"

# One line per step, from either lane: passed|FAILED, seconds, CPU seconds, name.
results="$runtime/steps"
: >"$results"
# The CPU seconds of this shell's finished children (user and system): what a step's own
# processes cost, whatever the other lane was doing meanwhile. Daemons (wineserver, Xvfb)
# are nobody's child here and are left out.
children_cpu() {  # -> REPLY, in milliseconds; called in this shell, never in $(...)
  local f="$runtime/times.$BASHPID" user sys ms=0 t
  times >"$f"
  { read -r _ _; read -r user sys; } <"$f"
  for t in "$user" "$sys"; do
    local minutes="${t%%m*}" seconds="${t#*m}"
    seconds="${seconds%s}"
    ms=$((ms + 10#$minutes * 60000 + 10#${seconds%.*} * 1000 + 10#${seconds#*.}))
  done
  REPLY=$ms
}
step() {
  local name="$1"
  shift
  echo
  echo "=== $name"
  local started=$SECONDS status=passed cpu
  children_cpu
  cpu=$REPLY
  "$@" || status=FAILED
  children_cpu
  cpu=$(((REPLY - cpu) / 1000))
  echo "=== $name: $status ($((SECONDS - started)) s, $cpu s of CPU)"
  printf '%s\t%s\t%s\t%s\n' "$status" "$((SECONDS - started))" "$cpu" "$name" >>"$results"
}

# Configures and builds one of the presets in CMakePresets.json (binary dir build/NAME):
# every target, or the ones named after it.
configure_and_build() {
  local preset="$1"
  shift
  local dir="$build/$preset" targets=()
  [ "$#" -eq 0 ] || targets=(--target "$@")
  mkdir -p "$dir"
  if (cd "$root" && cmake --preset "$preset" >"$dir/configure.log" 2>&1 &&
      cmake --build --preset "$preset" -j"$jobs" "${targets[@]}" >"$dir/build.log" 2>&1); then
    return 0
  fi
  tail -n 60 "$dir/configure.log" "$dir/build.log"
  return 1
}

# --- Windows under Wine: one display and one wineserver for the whole run ---------------
export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
# No Mono or Gecko: their installers would wait for an answer (and a network) at the
# prefix's first start. No game-controller bus (winebus.sys): its thread polls for devices
# every millisecond, two of them per prefix, about 4 % of a core each for the whole run.
export WINEDLLOVERRIDES="mscoree,mshtml,winebus.sys="
wine_loader="$(command -v wine64 || echo /usr/lib/wine/wine64)"
wineserver_bin="$(command -v wineserver || echo /usr/lib/wine/wineserver)"

# Two seats for Wine, each a display, a prefix and a wineserver of its own: a named object,
# a window or the clipboard in one is never seen in the other, so the Windows tests run
# two at a time. Seat a is build/wineprefix, seat b build/wineprefix-b.
seat_prefix() { if [ "$1" = a ]; then echo "$build/wineprefix"; else echo "$build/wineprefix-$1"; fi; }

cleanup() {
  # A lane still running (the run was interrupted) ends first, with what it started.
  local lane prefix pid dir
  for lane in $(cat "$runtime/lanes" 2>/dev/null); do kill -- "-$lane" 2>/dev/null; done
  for prefix in $(cat "$runtime/wine-prefixes" 2>/dev/null); do
    WINEPREFIX="$prefix" "$wineserver_bin" -k 2>/dev/null
    end_prefix_leftovers "$prefix"
  done
  # The journey test's own prefix, should the test itself have been cut short.
  if [ -d "$build/journey-prefix" ]; then
    WINEPREFIX="$build/journey-prefix" "$wineserver_bin" -k 2>/dev/null
    end_prefix_leftovers "$build/journey-prefix"
  fi
  for pid in $(cat "$runtime"/xvfb-*.pid 2>/dev/null); do kill "$pid" 2>/dev/null; done
  for dir in $(cat "$runtime/memory-dirs" 2>/dev/null); do rm -rf "$dir"; done
  rm -rf "$runtime"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A directory in memory for tests whose files are large and sparse, where the machine has
# a tmpfs with room (1 GiB; a container's is often 64 MiB): reading a sparse file's holes
# there maps pages instead of going through the disk's cache. The 4 GiB file of the writer's
# tests took 15.3 s of system time on ext4 and 0.24 s on tmpfs; the long archive cases'
# 5 GiB file 93 against 39 s.
memory_tmp() {
  if [ -d /dev/shm ] && [ -w /dev/shm ] &&
    [ "$(df -Pk /dev/shm | awk 'NR == 2 {print $4}')" -ge $((1024 * 1024)) ]; then
    echo /dev/shm
  else
    echo "${TMPDIR:-/tmp}"
  fi
}
start_seat() {  # start_seat NAME
  local name="$1" prefix fifo="$runtime/display-$1"
  prefix="$(seat_prefix "$name")"
  # -displayfd picks a free display number and tells it once the server is ready.
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fifo" 2>/dev/null &
  echo $! >"$runtime/xvfb-$name.pid"
  for _ in $(seq 100); do
    [ -s "$fifo" ] && break
    sleep 0.1
  done
  [ -s "$fifo" ] || return 1
  local display=":$(head -n1 "$fifo")"
  echo "seat $name: Xvfb on $display (pid $(cat "$runtime/xvfb-$name.pid")), prefix $prefix"
  mkdir -p "$prefix"
  echo "$prefix" >>"$runtime/wine-prefixes"
  # The temporary folder an earlier run linked into memory is gone with that run.
  local temp="$prefix/drive_c/users/${USER:-$(id -un)}/Temp" memory
  if [ -L "$temp" ]; then rm -f "$temp" && mkdir "$temp" || return 1; fi
  if [ "$name" = a ]; then
    # The first start creates the prefix (half a minute of the cores): once here, with a
    # wineserver that ends with its last process and so writes the registry out, and the
    # other seats' prefixes are copies of it (a second, where a start of their own cost
    # the Windows lane about 30 s while its tests waited for it).
    WINEPREFIX="$prefix" DISPLAY="$display" timeout 300 "$wine_loader" wineboot -i >/dev/null 2>&1
    # Xvfb has no window manager, and Wine waits up to 2 s for one to acknowledge every
    # managed window that is shown or hidden: each panel opening and closing would cost 4 s.
    # Unmanaged windows are drawn by Wine itself and need no answer.
    WINEPREFIX="$prefix" DISPLAY="$display" "$wine_loader" reg add 'HKCU\Software\Wine\X11 Driver' \
      /v Managed /d N /f >/dev/null 2>&1
    WINEPREFIX="$prefix" timeout 60 "$wineserver_bin" -w || return 1
    rm -rf "$(seat_prefix b)" && cp -a "$prefix" "$(seat_prefix b)" || return 1
  fi
  # The prefix's temporary folder in memory, as the native tests' (memory_tmp): the 4 GiB
  # sparse file of the writer's tests took 14 s of system time under Wine from the disk.
  memory="$(memory_tmp)"
  if [ "$memory" = /dev/shm ] && [ -d "$temp" ]; then
    memory="$(mktemp -d /dev/shm/qc-wine-temp-XXXXXX)" || return 1
    echo "$memory" >>"$runtime/memory-dirs"
    rm -rf "$temp" && ln -s "$memory" "$temp" || return 1
  fi
  : >"$runtime/prefix-$name"
  # A persistent server for the whole run: each later wine process starts in well under a
  # second.
  WINEPREFIX="$prefix" DISPLAY="$display" "$wineserver_bin" -p || return 1
  echo "$display" >"$runtime/seat-$name"
}

in_seat() (  # in_seat NAME COMMAND...: the command with that seat's display and prefix
  # A seat still starting is waited for.
  while [ ! -s "$runtime/seat-$1" ] && [ ! -e "$runtime/seat-$1.failed" ]; do sleep 0.5; done
  [ -s "$runtime/seat-$1" ] || { echo "Wine seat $1 did not start"; exit 1; }
  DISPLAY="$(cat "$runtime/seat-$1")" && WINEPREFIX="$(seat_prefix "$1")" || exit 1
  export DISPLAY WINEPREFIX
  shift
  "$@"
)

# Runs COMMAND... in seat a and the one after "--" in seat b side by side, their output
# shown one after the other; fails when either fails.
side_by_side() {
  local first=() second=() status=0
  while [ "$1" != -- ]; do first+=("$1"); shift; done
  shift
  second=("$@")
  in_seat a "${first[@]}" >"$runtime/seat-a.log" 2>&1 &
  local a=$!
  in_seat b "${second[@]}" >"$runtime/seat-b.log" 2>&1
  status=$?
  wait "$a" || status=1
  cat "$runtime/seat-a.log" "$runtime/seat-b.log"
  return "$status"
}

# Runs a GoogleTest binary (COMMAND...) in SHARDS processes side by side, its output in
# $runtime/NAME-shard-K.log; fails when one fails, with its last lines shown. Most cases
# wait on clients, servers and time limits rather than use a core, so the shards overlap.
in_shards() {  # in_shards SHARDS NAME COMMAND...
  local shards="$1" name="$2" shard pids=() status=0
  shift 2
  for shard in $(seq 0 $((shards - 1))); do
    GTEST_TOTAL_SHARDS=$shards GTEST_SHARD_INDEX=$shard timeout 600 "$@" \
      >"$runtime/$name-shard-$shard.log" 2>&1 &
    pids+=($!)
  done
  for shard in $(seq 0 $((shards - 1))); do
    if ! wait "${pids[$shard]}"; then
      status=1
      echo "shard $shard of $shards failed:"
      tail -n 40 "$runtime/$name-shard-$shard.log"
    fi
  done
  grep -h '^\[  PASSED  \]\|^\[  SKIPPED \]' "$runtime/$name"-shard-*.log
  return "$status"
}
native_unit() {
  # The one binary in four shards: each case as a process of its own (ctest) costs a
  # sanitizer start each, 611 of them. Should a shard fail, ctest runs every case again,
  # one process each, so that a crash or a hang names its case and the rest still run; the
  # step fails either way.
  local status=0
  TMPDIR="$(memory_tmp)" in_shards 4 unit "$build/native/tests/unit_tests" --gtest_brief=1 || status=1
  if [ "$status" -ne 0 ]; then
    echo "every case again, one process each:"
    (cd "$root" && TMPDIR="$(memory_tmp)" ctest --preset native -j"$jobs")
  fi
  return "$status"
}
native_tsan() {
  # The threads: accept, connections, stop, one-shot, concurrent lookups and deletes; the
  # cases the build's filter names (tests/CMakeLists.txt), from the files that hold them.
  # Three shards: one after the other they took 54 s, 19 s of it on a core.
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" in_shards 3 tsan \
    "$build/tsan/tests/threading_tests" --gtest_brief=1 \
    --gtest_filter="$(cat "$build/tsan/threading_filter.txt")"
}
native_e2e() (
  # Three rows side by side, each with a part of the lane's ports of its own (two processes
  # that each find a port free may both pick it, and a test then talks to the other's
  # server): the hostile-input table, which waits out head time limits; the request
  # battery; the downloads, then Chromium's resume of a cut folder download (natively only:
  # under Wine the folder share tests cover quillcast.exe, and the browser would add
  # nothing of Windows). One after the other the last two rows took 20 + 10 + 16 s beside
  # the table's 18. Each test keeps its own runtime directory. The outputs follow in order.
  export QC_E2E_MODE=native QC_BIN="$build/native/quillcast"
  local e2e="$root/tests/e2e" pids=() status=0 pid
  QC_PORTS=20000-21999 python3 "$e2e/test_hostile.py" >"$runtime/e2e-1.log" 2>&1 &
  pids+=($!)
  QC_PORTS=22000-23999 python3 "$e2e/test_quillcast.py" >"$runtime/e2e-2.log" 2>&1 &
  pids+=($!)
  (export QC_PORTS=24000-26383
    python3 "$e2e/test_downloads.py" && python3 "$e2e/test_browser_resume.py") >"$runtime/e2e-3.log" 2>&1 &
  pids+=($!)
  for pid in "${pids[@]}"; do wait "$pid" || status=1; done
  cat "$runtime"/e2e-1.log "$runtime"/e2e-2.log "$runtime"/e2e-3.log
  return "$status"
)
native_zip() {
  # The folder archive judged by unzip, Python's zipfile and bsdtar, the long cases (a 5 GiB
  # sparse file, 70,000 files) included: natively only. The short cases run the sanitizers'
  # tool; the long ones the release tree's, as the sanitizers made them take half again as
  # long (164 against 107 s) over reading 5 GiB, and the unit tests already check the same
  # Zip64 fields under them (ZipArchive.Zip64FieldsFromTheEntrySizeOn).
  # Their files in memory where there is a tmpfs: the 5 GiB file and its archives are sparse
  # (holes for the zeros), so they take next to no memory there, and reading holes maps
  # pages instead of going through the disk's cache (93 against 39 s, 58 against 2 s of
  # system time; the 70,000 files 14 against 5 s).
  local sparse
  sparse="$(memory_tmp)"
  QC_ZIP_LONG=0 QC_ZIP_TOOL="$build/native/tests/zip_folder" python3 "$root/tests/e2e/test_zip_archive.py" &&
    TMPDIR="$sparse" QC_ZIP_TOOL="$build/release/zip_folder" python3 "$root/tests/e2e/test_zip_archive.py" \
      ZipArchiveTest.test_five_gib_sparse_file_zip64 ZipArchiveTest.test_seventy_thousand_files_zip64_entry_count &&
    QC_E2E_MODE=native QC_BIN="$build/native/quillcast" python3 "$root/tests/e2e/test_folder_share.py"
}
native_cli() {
  # The host in links runs in network namespaces of its own (as root; skipped otherwise).
  QC_BIN="$build/native/quillcast" python3 "$root/tests/e2e/test_cli.py" &&
    QC_BIN="$build/native/quillcast" python3 "$root/tests/e2e/test_host_addresses.py" &&
    QC_BIN="$build/native/quillcast" python3 "$root/tests/e2e/test_qr.py"
}
with_ports() {  # with_ports FIRST-LAST COMMAND...: the command with that part of the test ports
  QC_PORTS="$1"
  export QC_PORTS
  shift
  "$@"
}
wine_exe() {  # wine_exe EXE ARGS...: a test program under Wine, from its folder as ctest runs it
  local exe="$1"
  shift
  (cd "$(dirname "$exe")" && timeout 600 "$wine_loader" "$exe" "$@" </dev/null)
}
wine_unit() {
  # The unit tests and the window tests side by side, one seat each (ctest --preset win
  # runs the same two one after the other in one prefix); the shorter in seat b, which is
  # still starting.
  side_by_side with_ports 26384-29575 wine_exe "$build/win/tests/unit_tests.exe" --gtest_brief=1 -- \
    with_ports 29576-32767 wine_exe "$build/win/tests/win_tests.exe" --gtest_brief=1
}
wine_zip() {
  # The archives quillcast.exe's code writes, from a folder with a Cyrillic name (its
  # argument passes in code page 1251); the long cases run natively.
  QC_E2E_MODE=wine QC_WINE="$wine_loader" QC_ZIP_LONG=0 QC_ZIP_TOOL="$build/win/tests/zip_folder.exe" \
    python3 "$root/tests/e2e/test_zip_archive.py"
}
wine_cyrillic() {
  # Wine takes the ANSI code page from LC_ALL: ru_RU gives 1251.
  LC_ALL=ru_RU.UTF-8 "$wine_loader" "$build/win/tests/win_tests.exe" --gtest_filter='*CodePage*:*Cyrillic*'
}
windows_packages() {
  # The installer and the portable zip, into dist/ (quillcast-VERSION-setup.exe,
  # quillcast-VERSION-windows-x64.zip), and the resources of quillcast.exe checked.
  cmake --build "$build/win" --target packages >"$build/win/packages.log" 2>&1 ||
    { tail -n 40 "$build/win/packages.log"; return 1; }
  local version
  version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/win/CMakeCache.txt")"
  ls -l "$root/dist/quillcast-$version-setup.exe" "$root/dist/quillcast-$version-windows-x64.zip" &&
    QC_BIN="$build/win/quillcast.exe" QC_VERSION="$version" python3 "$root/tests/e2e/test_exe_resources.py"
}
windows_journey() {
  # Install, Send to, paste, download, uninstall: in a fresh prefix and a wineserver of
  # its own, so nothing of the other Wine tests' prefix helps or hinders.
  local version
  version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/win/CMakeCache.txt")"
  QC_SETUP="$root/dist/quillcast-$version-setup.exe" QC_TOOLS="$build/win/tests" \
    QC_JOURNEY_PREFIX="$build/journey-prefix" QC_WINE="$wine_loader" QC_WINESERVER="$wineserver_bin" \
    python3 "$root/tests/e2e/test_windows_journey.py"
}
wine_e2e() (
  export QC_E2E_MODE=wine QC_BIN="$build/win/quillcast.exe" QC_TOOLS="$build/win/tests" QC_WINE="$wine_loader"
  # In one prefix the single-instance mutex is shared, so two servers cannot run side by
  # side as they do natively: each seat runs its files one after the other, on its own
  # half of the lane's ports.
  # The files are split so that the two seats take about as long (in a fresh-clone run
  # 94 + 6 + 15 s against 36 + 34 + 31 s).
  side_by_side bash -c 'export QC_PORTS=26384-29575; python3 "$1/test_quillcast.py" &&
      python3 "$1/test_qr_windows.py" && python3 "$1/test_folder_share.py"' _ "$root/tests/e2e" -- \
    bash -c 'export QC_PORTS=29576-32767; python3 "$1/test_hostile.py" && python3 "$1/test_windows_program.py" &&
      python3 "$1/test_downloads.py"' _ "$root/tests/e2e"
)

native_lane() {
  # Lane-wide disjoint ports (tests/e2e/ports.py): the other lane's servers run meanwhile.
  export QC_PORTS=20000-26383
  step "native build (ASan+UBSan)" configure_and_build native
  # The Windows lane checks the folder archive with this tree's tool once it is built.
  cp "$results" "$runtime/native-built"
  step "native unit tests (ASan+UBSan)" native_unit
  step "native end-to-end tests and hostile-input table" native_e2e
  # The threading tests are unit tests: the rest of the tree is built (and checked) above.
  step "native build (TSan)" configure_and_build tsan threading_tests
  step "threading tests (TSan)" native_tsan
  step "native command-line tests" native_cli
  step "fuzzing (${fuzz_seconds} s per target)" "$root/scripts/fuzz.sh" "$fuzz_seconds"
}
windows_lane() {
  export QC_PORTS=26384-32767
  # Seat a starts while the tree builds (the first start of a prefix takes a while and
  # little of the cores); seat b, a copy of its prefix, once the tree is built: two
  # prefixes made beside the two builds slowed the builds by about 50 s.
  (start_seat a || : >"$runtime/seat-a.failed") &
  step "windows build (mingw-w64)" configure_and_build win
  : >"$runtime/windows-built"
  (while [ ! -e "$runtime/prefix-a" ] && [ ! -e "$runtime/seat-a.failed" ]; do sleep 0.5; done
    [ -e "$runtime/prefix-a" ] && start_seat b || : >"$runtime/seat-b.failed") &
  if in_seat a true; then
    step "windows unit and window tests (Wine, two seats)" wine_unit
    step "windows code page 1251 (Wine)" in_seat a wine_cyrillic
    step "windows folder archive checked by unzip, zipfile, bsdtar (Wine)" in_seat a wine_zip
    step "windows end-to-end tests and hostile-input table (Wine, two seats)" wine_e2e
    step "windows packages (installer, zip, resources)" windows_packages
    step "windows journey: install, Send to, paste, download, uninstall (Wine)" in_seat a windows_journey
  else
    step "Xvfb and Wine start" false
  fi
  # The build scripts/run.sh makes for a newcomer: Release, where gcc warns of other things;
  # and the archive tool for the long archive cases below. Here rather than in the native
  # lane, which is the longer one.
  step "native release build (scripts/run.sh)" configure_and_build release all zip_folder
  # The archive cases, natively, while the other lane fuzzes: here rather than in the
  # native lane, which is the longer one.
  while [ ! -e "$runtime/native-built" ]; do sleep 1; done
  if grep -q '^FAILED.*native build (ASan' "$runtime/native-built" ||
    grep -q '^FAILED.*native release build' "$results"; then
    step "native folder archive and folder shares (unzip, zipfile, bsdtar)" false
  else
    step "native folder archive and folder shares (unzip, zipfile, bsdtar)" native_zip
  fi
}
lint_lane() {
  # The code's shape needs both trees configured, not tested: it starts once both are built
  # and runs at a lower priority, so it takes the cores the lanes leave while they wait on
  # Wine, servers and clients, and never holds up a test that waits on time.
  while [ ! -e "$runtime/native-built" ] || [ ! -e "$runtime/windows-built" ]; do sleep 1; done
  step "lint (clang-format, clang-tidy)" nice -n 10 "$root/scripts/lint.sh" "$build/native" "$build/win"
}

# Each lane in a process group of its own (set -m), so that an interrupted run ends it
# whole. A lane writes to a file, not a pipe: Xvfb, wineserver and Wine's helper processes
# outlive the lane and would hold a pipe open for ever. Its lines are shown as they come,
# marked with its name, until the lane has ended.
set -m
native_lane >"$runtime/native.log" 2>&1 &
native_pid=$!
windows_lane >"$runtime/windows.log" 2>&1 &
windows_pid=$!
lint_lane >"$runtime/lint.log" 2>&1 &
lint_pid=$!
set +m
echo "$native_pid $windows_pid $lint_pid" >"$runtime/lanes"
tail -n +1 -f --pid="$native_pid" "$runtime/native.log" | sed -u 's/^/[native]  /' &
tail -n +1 -f --pid="$windows_pid" "$runtime/windows.log" | sed -u 's/^/[windows] /' &
tail -n +1 -f --pid="$lint_pid" "$runtime/lint.log" | sed -u 's/^/[lint]    /' &
wait
: >"$runtime/lanes"

echo
echo "Time of each step (the lanes side by side), and the CPU its processes used:"
awk -F'\t' '{printf "%5d s %5d s CPU  %s\n", $2, $3, $4; cpu += $3}
  END {printf "%5d s %5d s CPU  in all\n", '"$SECONDS"', cpu}' "$results"
echo
awk -F'\t' '$1 == "FAILED" {print "failed: " $4}' "$results"
# A long log is often seen by its end alone: the failing cases and their first lines of
# evidence are repeated here.
if grep -q '^FAILED' "$results"; then
  echo
  echo "What failed, from the lanes' logs:"
  grep -h -E '^\[  FAILED  \]|^(FAIL|ERROR): |: Failure$|^(AssertionError|Exception|TimeoutError|RuntimeError)|Expected|Which is|Value of|Actual|^wine: |Segmentation|Sanitizer|\*\*\*(Failed|Exception)|Timeout' \
    "$runtime/native.log" "$runtime/windows.log" 2>/dev/null | awk '!seen[$0]++' | head -n 80
fi
passed=$(grep -c '^passed' "$results")
failed=$(grep -c '^FAILED' "$results")
echo "Summary: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
