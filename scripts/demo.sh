#!/usr/bin/env bash
# Builds kestrune and runs the main job: create the sample package, list it,
# extract it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages cmake g++ make

cmake --preset default -DKESTRUNE_BUILD_TESTS=OFF >/dev/null
cmake --build --preset default -j "$(nproc)" --target kestrune >/dev/null
exe=build/default/app/kestrune
mkdir -p out
set -x
"$exe" --help
# A two-lump WAD made on the spot, to show a listing.
printf 'PWAD\002\000\000\000\030\000\000\000hellomapdata\014\000\000\000\005\000\000\000README\000\000\021\000\000\000\007\000\000\000MAP01\000\000\000' > out/demo.wad
"$exe" --list out/demo.wad
