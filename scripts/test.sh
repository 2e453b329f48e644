#!/usr/bin/env bash
# Builds everything and runs every test: formatting, the native build with
# warnings as errors and its whole test suite, the man page, completion,
# install and Debian package, the extraction tests on an exFAT volume, the
# same suite again under AddressSanitizer and UndefinedBehaviorSanitizer, a
# short run of every fuzzer, then the Windows build and the suite under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
# freedoom provides two real WADs that the extraction tests unpack in full;
# doomsday-data real pk3 files (ZIP) that they compare with Python's zipfile.
# b3sum, Debian's BLAKE3 tool, checks our own BLAKE3.
# deutex reads the WADs that --pack writes, as a tool of its own; unzip and
# Python's zipfile its pk3s.
ensure_packages cmake g++ make "${ENGINE_LIBRARIES[@]}" libgtest-dev libgmock-dev clang-format freedoom \
    doomsday-data deutex python3 unzip nlohmann-json3-dev b3sum
# The OBJ export is checked under a locale that writes a decimal comma.
ensure_locale de_DE.UTF-8

step() { printf '\n=== %s\n' "$*"; }

step "clang-format check"
git ls-files -- '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

step "native build (warnings as errors) and tests"
cmake --preset ci >/dev/null
cmake --build --preset ci -j "$(nproc)"
ctest --preset ci -j "$(nproc)"

step "man page, completion, cmake --install and the Debian package"
bash scripts/test-package.sh build/ci

step "extraction onto a volume that folds letter case (exFAT through FUSE)"
bash scripts/test-exfat.sh build/ci

step "sanitizer build (AddressSanitizer, UndefinedBehaviorSanitizer) and tests"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$(nproc)"
ctest --preset asan -j "$(nproc)"

step "fuzzers (libFuzzer, ASan, UBSan), about a minute each"
bash scripts/fuzz.sh 60

step "Windows build (MinGW-w64, warnings as errors) and tests under Wine"
start=$SECONDS
bash scripts/test-windows.sh
echo "Windows stage: $((SECONDS - start)) s"
