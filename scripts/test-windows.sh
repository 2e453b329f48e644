#!/usr/bin/env bash
# Cross-builds kestrune.exe and its tests for 64-bit Windows with MinGW-w64,
# warnings as errors, and runs the whole test suite under Wine. No Windows
# machine and no display are needed; the Wine prefix is a fresh temporary one,
# removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages cmake make g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 libz-mingw-w64-dev wine wine64 \
    googletest nlohmann-json3-dev

# Debian's wine64 is the 64-bit loader itself; the "wine" wrapper would ask
# for the 32-bit half as well.
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)

# liblz4, liblzma, libzstd, libbz2, libdeflate, libmbedcrypto, libpng and libsquish,
# built statically from Debian's sources once and cached under
# build/windows-deps.
bash scripts/build-windows-deps.sh

cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)"

# kestrune.exe must run on a bare Windows: every DLL it imports is one that
# Windows itself provides. A library linked as a DLL by mistake (zlib1.dll,
# liblzma-5.dll, libwinpthread-1.dll, ...) fails the stage here.
imports=$(x86_64-w64-mingw32-objdump -p build/windows/app/kestrune.exe | sed -n 's/^\s*DLL Name: //p')
[ -n "$imports" ] || {
    echo "objdump found no import table in build/windows/app/kestrune.exe" >&2
    exit 1
}
echo "kestrune.exe imports: $(tr '\n' ' ' <<<"$imports")"
foreign=$(grep -viE '^(kernel32|msvcrt|user32|advapi32|shell32|ole32|oleaut32|gdi32|ws2_32|bcrypt|crypt32|shlwapi|ntdll|api-ms-win-[a-z0-9-]+)\.dll$' \
    <<<"$imports" || true)
if [ -n "$foreign" ]; then
    echo "kestrune.exe imports DLLs that Windows does not provide: $(tr '\n' ' ' <<<"$foreign")" >&2
    exit 1
fi

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
# Now and then Wine fails to start a test process at all: it exits at once
# with no output, before the test's main() runs. Such a test is run again,
# up to three times; a test that fails when it does run fails every time.
ctest --preset windows -j "$(nproc)" --repeat until-pass:3
