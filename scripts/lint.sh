#!/usr/bin/env bash
# The code's shape: clang-format over every C and C++ file, the floors' include direction,
# clang-tidy over src/.
#   scripts/lint.sh NATIVE_BUILD WINDOWS_BUILD
# Both build folders must be configured (they give compile_commands.json). A source that
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

# What clang-tidy reads: the units each build compiles that hold sources of src/. In a
# unity build a unit is a batch of up to eight sources (CMakeFiles/TARGET.dir/Unity/*.cxx),
# read once for all of them: the standard and Win32 headers are parsed once a batch
# instead of once a source, a third of the time. What it finds in a source of src/ is
# reported there (HeaderFilterRegex). A batch includes sources by design, so the check
# for included sources is left to the grep below.
#   units BUILD -> lines "UNIT<TAB>SOURCE" for each source of src/ a unit holds
units() {
  python3 - "$1/compile_commands.json" "$root/src/" <<'EOF_PY'
import json, re, sys
src = sys.argv[2]
for unit in sorted({e["file"] for e in json.load(open(sys.argv[1]))}):
    if unit.startswith(src):
        print(f"{unit}\t{unit}")
    elif "/Unity/" in unit:
        for line in open(unit, encoding="utf-8"):
            m = re.match(r'#include "(.*)"', line)
            if m and m.group(1).startswith(src):
                print(f"{unit}\t{m.group(1)}")
EOF_PY
}
native_units="$(units "$native")"
windows_units="$(units "$windows")"
# The Windows build's units that hold a source the native build does not compile: read as
# mingw-w64 compiles them.
windows_only="$(comm -13 <(cut -f2 <<<"$native_units" | sort -u) <(cut -f2 <<<"$windows_units" | sort -u))"
windows_only_units=""
if [ -n "$windows_only" ]; then
  windows_only_units="$(grep -F -f <(printf '\t%s\n' $windows_only) <<<"$windows_units" | cut -f1 | sort -u)"
fi

echo "== included sources"
if grep -rnE '^\s*#\s*include\s*[<"][^">]*\.(c|cc|cpp|cxx)[">]' src; then
  echo "a source includes another source: name its header instead"
  status=1
fi

# mingw's libstdc++ headers, which clang does not find by itself for this target.
gcc_dir="$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")"
mingw_args=(--extra-arg=--target=x86_64-w64-mingw32 --extra-arg=-nostdinc++)
for d in include/c++ include/c++/x86_64-w64-mingw32 include/c++/backward; do
  mingw_args+=("--extra-arg=-isystem$gcc_dir/$d")
done
tidy_args=(--quiet --checks=-bugprone-suspicious-include)

native_list="$(cut -f1 <<<"$native_units" | sort -u)"
echo "== clang-tidy (native: $(cut -f2 <<<"$native_units" | sort -u | wc -l) files in $(wc -l <<<"$native_list") units)"
echo "$native_list" | xargs -P2 -n1 clang-tidy -p "$native" "${tidy_args[@]}" 2>/dev/null || status=1
echo "== clang-tidy (Windows only: $(wc -w <<<"$windows_only") files in $(wc -l <<<"$windows_only_units") units)"
echo "$windows_only_units" | xargs -P2 -n1 clang-tidy -p "$windows" "${tidy_args[@]}" "${mingw_args[@]}" 2>/dev/null ||
  status=1

[ "$status" -eq 0 ] && echo "lint: clean"
exit "$status"
