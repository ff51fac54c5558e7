#!/usr/bin/env bash
# Installs what the builds and tests need on a Debian/Ubuntu machine, only when missing.
#   scripts/deps.sh native   the native build (g++, CMake, GoogleTest sources)
#   scripts/deps.sh all      also mingw-w64, Wine, Xvfb, clang's libFuzzer and the clients
#                            (curl, wget, aria2, Node.js, Chromium)
set -euo pipefail

want=(g++ cmake make googletest python3)
# The QR tests read the codes back with a reader written by nobody here.
want+=(zbar-tools)
if [ "${1:-native}" = all ]; then
  want+=(g++-mingw-w64-x86-64-posix wine wine64 fonts-wine xvfb xauth clang libclang-rt-14-dev curl wget aria2)
  # Network namespaces for the host-in-links tests (ip netns); unshare comes with util-linux.
  want+=(iproute2)
  # Node.js: its HTTP parser takes only CR LF line ends, stricter than the other clients.
  want+=(nodejs)
  # The installer and the portable zip; the Russian locale for the Cyrillic Send to test.
  want+=(nsis zip locales)
  # The checkers of the folder archive (tests/e2e/test_zip_archive.py): unzip, bsdtar.
  want+=(unzip libarchive-tools)
  # The code's shape: scripts/lint.sh.
  want+=(clang-format clang-tidy)
  # Screenshots of the display (the QR code test under Wine, scripts/screenshots.sh).
  want+=(imagemagick)
  # A browser's resume of a cut download (tests/e2e/test_browser_resume.py), headless.
  want+=(chromium)
fi

missing=()
for package in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "== installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Wine converts a command line from the host's locale: a Cyrillic argument needs the
# locale to exist, or the program receives mojibake.
if [ "${1:-native}" = all ] && ! locale -a 2>/dev/null | grep -qi '^ru_RU\.utf-\?8$'; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo localedef -i ru_RU -f UTF-8 ru_RU.UTF-8
fi
