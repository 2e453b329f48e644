#!/usr/bin/env bash
# Runs every fuzz target for SECONDS each (default 60), one after the other,
# starting from the seed corpus that kestrune_fuzz_seeds writes. New inputs go
# to a scratch corpus under build/fuzz/corpus/<target>, emptied at the start
# of every run. Any crash, hang or sanitizer report fails the script; the
# input that caused it is kept under build/fuzz/artifacts/<target>/.
#
#   bash scripts/fuzz.sh [SECONDS] [TARGET...]    (default: every fuzz_* target built)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages cmake make clang libclang-rt-14-dev "${ENGINE_LIBRARIES[@]}"

seconds="${1:-60}"
shift || true
targets=("$@")

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

build=build/fuzz
if [ ${#targets[@]} -eq 0 ]; then
    for exe in "$build"/fuzz/fuzz_*; do
        [ -x "$exe" ] && targets+=("$(basename "$exe")")
    done
fi
rm -rf "$build/seeds"
"$build/fuzz/kestrune_fuzz_seeds" "$build/seeds"

status=0
scratch=""
trap 'if [ -n "$scratch" ]; then rm -rf "$scratch"; fi' EXIT
for target in "${targets[@]}"; do
    exe="$build/fuzz/$target"
    if [ ! -x "$exe" ]; then
        echo "no fuzz target $target" >&2
        exit 1
    fi
    corpus="$build/corpus/$target"
    artifacts="$build/artifacts/$target"
    # The targets' temporary files (every input is written to a package file,
    # and extracted) go to a RAM disk when there is one: on a real disk the
    # file system's journal, not the code under test, sets the pace.
    if [ -d /dev/shm ] && [ -w /dev/shm ]; then
        scratch="$(mktemp -d /dev/shm/kestrune-fuzz-XXXXXX)"
    else
        scratch="$PWD/$build/scratch/$target"
        rm -rf "$scratch"
        mkdir -p "$scratch"
    fi
    rm -rf "$corpus"
    mkdir -p "$corpus" "$artifacts"
    printf '\n=== %s for %s seconds\n' "$target" "$seconds"
    log="$build/$target.log"
    if TMPDIR="$scratch" "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -dict=fuzz/kestrune.dict -artifact_prefix="$artifacts/" -print_final_stats=1 \
        "$corpus" "$build/seeds" >"$log" 2>&1; then
        grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || true
    else
        tail -n 60 "$log" >&2
        echo "$target: finding kept in $artifacts (full log: $log)" >&2
        status=1
    fi
    rm -rf "$scratch"
    scratch=""
done
exit $status
