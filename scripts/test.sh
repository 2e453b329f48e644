#!/usr/bin/env bash
# Builds everything and runs every test: formatting, then the native build
# with warnings as errors and its whole test suite, then the Windows build and
# the same suite under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
# freedoom provides two real WADs that the extraction tests unpack in full.
ensure_packages cmake g++ make libgtest-dev libgmock-dev clang-format freedoom
# The OBJ export is checked under a locale that writes a decimal comma.
ensure_locale de_DE.UTF-8

step() { printf '\n=== %s\n' "$*"; }

step "clang-format check"
git ls-files -- '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

step "native build (warnings as errors) and tests"
cmake --preset ci >/dev/null
cmake --build --preset ci -j "$(nproc)"
ctest --preset ci -j "$(nproc)"

step "Windows build (MinGW-w64, warnings as errors) and tests under Wine"
start=$SECONDS
bash scripts/test-windows.sh
echo "Windows stage: $((SECONDS - start)) s"
