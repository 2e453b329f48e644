#!/usr/bin/env bash
# Builds kestrune and runs the main job: create the sample package, list it,
# extract it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages cmake g++ make "${ENGINE_LIBRARIES[@]}"

cmake --preset default -DKESTRUNE_BUILD_TESTS=OFF >/dev/null
cmake --build --preset default -j "$(nproc)" --target kestrune >/dev/null
exe=build/default/app/kestrune
mkdir -p out
set -x
"$exe" --create-sample out/sample.pak
"$exe" --list out/sample.pak
rm -rf out/extracted
"$exe" --extract out/sample.pak out/extracted
ls -l out/extracted
