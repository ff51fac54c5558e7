#!/usr/bin/env bash
# The code's shape: clang-format over every C and C++ file, the floors' include direction,
# clang-tidy over src/.
#   scripts/lint.sh NATIVE_BUILD WINDOWS_BUILD
# Both build folders must be configured (they give compile_commands.json; for a unity
# build, a per-file tree configured beside it, BUILD-per-file, does). A source that
# only the Windows build compiles is checked as mingw-w64 compiles it: clang with the
# Windows target and mingw's own C++ headers, so its Win32 code is read, not skipped.
# Any finding fails the script.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
native="${1:?native build folder}"
windows="${2:?windows build folder}"
cd "$root"

status=0
echo "== clang-format"
git ls-files '*.cpp' '*.h' '*.c' | xargs clang-format --dry-run --Werror || status=1

echo "== include direction"
# A floor names only its own headers and those of the floors below it (the link already
# refuses an upward call; this catches the header that would bring one in):
#   platform -> shares -> http -> app -> ui and cli (side by side, neither over the other)
python3 "$root/scripts/include_direction.py" "$root/src" || status=1
# ... and the check itself, on planted includes.
python3 "$root/tests/scripts/test_include_direction.py" 2>&1 | tail -n 1 || status=1

# A unity build's compile_commands.json names its batches, not its sources; clang-tidy
# reads the sources one by one, with the commands of a tree configured (not built) beside
# it with the batches off and the same choices otherwise.
per_file_commands() {  # per_file_commands BUILD -> prints the folder to read them from
  local build="$1" cache="$1/CMakeCache.txt"
  if ! grep -q '^QC_UNITY:BOOL=ON' "$cache"; then
    echo "$build"
    return
  fi
  local out="$build-per-file" args=(-DQC_UNITY=OFF) key value
  for key in CMAKE_BUILD_TYPE CMAKE_TOOLCHAIN_FILE CMAKE_CXX_COMPILER QC_SANITIZE QC_TESTS QC_FUZZ QC_WERROR; do
    value="$(sed -n "s/^$key:[A-Z]*=//p" "$cache")"
    [ -z "$value" ] || args+=("-D$key=$value")
  done
  cmake -S "$root" -B "$out" "${args[@]}" >"$out.configure.log" 2>&1 ||
    { cat "$out.configure.log" >&2; return 1; }
  echo "$out"
}
native="$(per_file_commands "$native")"
windows="$(per_file_commands "$windows")"

# The sources of src/ each build compiles, the Windows-only ones apart.
sources() {  # sources BUILD
  python3 - "$1/compile_commands.json" "$root/src/" <<'EOF'
import json, sys
for f in sorted({e["file"] for e in json.load(open(sys.argv[1])) if e["file"].startswith(sys.argv[2])}):
    print(f)
EOF
}
native_sources="$(sources "$native")"
windows_only="$(comm -13 <(echo "$native_sources") <(sources "$windows"))"

# mingw's libstdc++ headers, which clang does not find by itself for this target.
gcc_dir="$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")"
mingw_args=(--extra-arg=--target=x86_64-w64-mingw32 --extra-arg=-nostdinc++)
for d in include/c++ include/c++/x86_64-w64-mingw32 include/c++/backward; do
  mingw_args+=("--extra-arg=-isystem$gcc_dir/$d")
done

echo "== clang-tidy (native: $(echo "$native_sources" | wc -l) files)"
echo "$native_sources" | xargs -P2 -n4 clang-tidy -p "$native" --quiet 2>/dev/null || status=1
echo "== clang-tidy (Windows only: $(echo "$windows_only" | wc -l) files)"
echo "$windows_only" | xargs -P2 -n4 clang-tidy -p "$windows" --quiet "${mingw_args[@]}" 2>/dev/null ||
  status=1

[ "$status" -eq 0 ] && echo "lint: clean"
exit "$status"
