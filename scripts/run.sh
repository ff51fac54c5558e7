#!/usr/bin/env bash
# Builds the native server and runs it in the current directory, where it keeps
# "common.cfg" and "shared.cfg" (port 80 until "common.cfg" names another). Stop it with
# `build/release/quillcast -stop` from the same directory tree, or share a file with
# `build/release/quillcast PATH`.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/deps.sh" native
cmake -S "$root" -B "$root/build/release" -DCMAKE_BUILD_TYPE=Release -DQC_TESTS=OFF >/dev/null
cmake --build "$root/build/release" -j"$(nproc)" --target quillcast
exec "$root/build/release/quillcast" "$@"
