#!/usr/bin/env bash
# Builds the native program and runs it in the current directory, where the server keeps
# "common.cfg" and "shared.cfg" (port 80 until "common.cfg" names another).
#   bash scripts/run.sh                      start the server (it prints where it serves)
#   bash scripts/run.sh -config port=8080    any other command of the program
# From another terminal: build/release/quillcast FILE, -list, -unshare, -config, -stop.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/deps.sh" native
build="$root/build/release"
log="$build/build.log"
mkdir -p "$build"
# The release preset (CMakePresets.json) builds in build/release.
if ! { cd "$root" && cmake --preset release &&
       cmake --build --preset release -j"$(nproc)" --target quillcast; } >"$log" 2>&1; then
  tail -n 40 "$log"
  exit 1
fi
if [ "$#" -eq 0 ]; then
  echo "Share a file from another terminal with: $build/quillcast FILE (stop with -stop or Ctrl-C)" >&2
fi
exec "$build/quillcast" "$@"
