#!/usr/bin/env bash
# Cross-builds kestrune.exe and its tests for 64-bit Windows with MinGW-w64,
# warnings as errors, and runs the whole test suite under Wine. No Windows
# machine and no display are needed; the Wine prefix is a fresh temporary one,
# removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages cmake make g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64 googletest \
    nlohmann-json3-dev

# Debian's wine64 is the 64-bit loader itself; the "wine" wrapper would ask
# for the 32-bit half as well.
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)

cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)"

WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/kestrune-wine.XXXXXX")
export WINEPREFIX
export WINEDEBUG=-all
# No Mono or Gecko: nothing here needs .NET or HTML, and their installers
# would only slow the prefix's creation down.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

# One server for the whole run, instead of one started and stopped around
# every test process.
wineserver -p
"$wine" wineboot -i >/dev/null 2>&1 || {
    echo "wineboot could not set up the Wine prefix $WINEPREFIX" >&2
    exit 1
}
ctest --preset windows -j "$(nproc)"
