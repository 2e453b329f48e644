#!/usr/bin/env bash
# Measures kestrune against the tools that do the same job on the same bytes:
# GNU tar unpacking an uncompressed tar of the same files, cp copying one
# large file, cat moving the same listing text. Every case runs in rounds,
# the tools interleaved (their order alternating from round to round), each
# run into a fresh directory on the same file system as its input; it prints
# the median and the spread (min-max) of each and the ratios against the
# targets, with the peak memory of every run (GNU time).
#
#   bash bench/run.sh
#
# Settings (environment):
#   ROUNDS       rounds per case (default 7)
#   CASES        any of: files lumps repeats large list vpklist vpkfiles codecs unreal iostore
#                unity unityfolder zip pack mesh (default all); "list" also times --list-json and --test on the same
#                package; "codecs" runs kestrune_codec_bench (decoding throughput per
#                codec against the libraries alone, both threads, and 50,000 small
#                files in a few large LZMA blocks); "textures" runs
#                kestrune_texture_bench (1,000 RGBA32 textures of 256x256 to
#                PNG through the texture layer against libpng alone)
#   BENCH_TMPFS  directory on a tmpfs (default /dev/shm/kestrune-bench)
#   BENCH_DISK   directory on the disk (default build/bench-disk); either may
#                be set empty to skip that place
#   DISK_MODE    "image" (default when root): a fresh ext4 file system in an
#                image file in BENCH_DISK, loop-mounted; "direct": BENCH_DISK
#                itself. See "The disk" below.
#   KEEP_DATA=1  keep the generated data and the raw timings
#
# The disk: this machine's root file system is ext4 without a journal. There
# ext4 will not reuse an inode for a minute or more after it was freed and
# scans past every such inode on each file creation, so creating 100,000
# files right after deleting the previous run's 100,000 costs a minute of
# kernel time instead of a few seconds, and each run would measure what the
# one before it deleted. The image is an ordinary journalled ext4 (mkfs
# defaults) on the same disk, where runs do not disturb each other.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages cmake g++ make "${ENGINE_LIBRARIES[@]}" time tar coreutils e2fsprogs python3 unzip

export LC_ALL=C
ROUNDS=${ROUNDS:-7}
CASES=${CASES:-files lumps repeats large list vpklist vpkfiles codecs unreal iostore unity unityfolder zip pack mesh textures}
SEED=${SEED:-20240607}
repo=$(pwd)
build=$repo/build/bench
tmpfs=${BENCH_TMPFS-/dev/shm/kestrune-bench}
disk=${BENCH_DISK-$repo/build/bench-disk}
disk_mode=${DISK_MODE:-image}
[ "$(id -u)" -ne 0 ] && disk_mode=direct
large_bytes=$((1024 * 1024 * 1024))

say() { printf '%s\n' "$*" >&2; }
step() { printf '\n=== %s\n' "$*" >&2; }
has_case() { [[ " $CASES " == *" $1 "* ]]; }
# fastest PREPARE COMMAND...: the fastest of ROUNDS runs of COMMAND, in
# seconds; PREPARE (a command, split at spaces) runs untimed before each.
fastest() {
    local prepare=$1 b="" t0 t1 t
    shift
    for _ in $(seq "$ROUNDS"); do
        $prepare
        t0=$(date +%s%N); "$@" >/dev/null; t1=$(date +%s%N)
        t=$(( (t1 - t0) / 1000 )); [ -z "$b" ] || [ "$t" -lt "$b" ] && b=$t
    done
    awk -v t="$b" 'BEGIN { printf "%.3f", t / 1e6 }'
}
# fastest_printed COMMAND...: the least of the seconds that ROUNDS runs of
# COMMAND print (a yardstick timing itself in process).
fastest_printed() {
    local b="" t
    for _ in $(seq "$ROUNDS"); do
        t=$("$@")
        [ -z "$b" ] || awk -v t="$t" -v b="$b" 'BEGIN { exit !(t < b) }' && b=$t
    done
    echo "$b"
}

step "build (Release)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_BUILD_BENCH=ON \
    -DKESTRUNE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target kestrune kestrune_bench_data kestrune_unreal_bench_data kestrune_iostore_bench_data kestrune_codec_bench kestrune_unity_bench_data kestrune_mesh_bench kestrune_texture_bench >/dev/null
kes=$build/app/kestrune
gen=$build/bench/kestrune_bench_data
codec_bench=$build/bench/kestrune_codec_bench

places=()
mounted=""
loopdev=""
results=$(mktemp)
cleanup() {
    [ -n "$mounted" ] && umount "$mounted" && mounted=""
    [ -n "$loopdev" ] && losetup -d "$loopdev" && loopdev=""
    if [ "${KEEP_DATA:-0}" != 1 ]; then
        [ -n "$tmpfs" ] && rm -rf "$tmpfs"
        [ -n "$disk" ] && rm -rf "$disk"
    fi
    rm -f "$results" "$results.rss"
}
trap cleanup EXIT

# A place holds about 4.8 GiB at the peak: the 1 GiB package, its tar and
# raw peers, one 1 GiB output, and the smaller cases (the VPK cases about
# 0.5 GiB). The places are measured
# one after the other, each emptied before the next, so that the page cache
# holds one place's data at a time.
need_kib=$((5100 * 1024))
check_space() {
    local free_kib
    free_kib=$(df -Pk "$1" | awk 'NR == 2 { print $4 }')
    if [ "$free_kib" -lt "$need_kib" ]; then
        say "not enough space in $1: $((free_kib / 1024)) MiB free, $((need_kib / 1024)) MiB needed"
        exit 1
    fi
}
if [ -n "$tmpfs" ]; then
    mkdir -p "$tmpfs"
    check_space "$tmpfs"
    places+=("tmpfs:$tmpfs")
fi
if [ -n "$disk" ]; then
    mkdir -p "$disk"
    check_space "$disk"
    if [ "$disk_mode" = image ]; then
        rm -f "$disk/ext4.img"
        truncate -s 6G "$disk/ext4.img"
        mkfs.ext4 -q -F "$disk/ext4.img"
        mkdir -p "$disk/mnt"
        # Direct I/O to the image: its blocks are not cached a second time
        # beneath the file system's own page cache.
        loopdev=$(losetup -f --show --direct-io=on "$disk/ext4.img")
        mount "$loopdev" "$disk/mnt"
        mounted=$disk/mnt
        places+=("disk:$disk/mnt")
    else
        places+=("disk:$disk")
    fi
fi

generate() { # dir
    local dir=$1
    if has_case files; then
        "$gen" pak-files 100000 "$SEED" "$dir/files100k.pak" "$dir/files100k.tar"
        "$gen" pak-files 10000 "$SEED" "$dir/files10k.pak" "$dir/files10k.tar"
    fi
    has_case lumps && "$gen" wad-lumps 100000 "$SEED" "$dir/lumps100k.wad" "$dir/lumps100k.tar"
    if has_case repeats; then
        # One name repeated beside its own "~N" names (hostile input).
        "$gen" pak-repeats 40000 "$SEED" "$dir/repeats40k.pak" "$dir/repeats40k.tar"
        "$gen" pak-repeats 4000 "$SEED" "$dir/repeats4k.pak" "$dir/repeats4k.tar"
    fi
    has_case list && "$gen" pak-listing 1000000 "$SEED" "$dir/list1m.pak" "$dir/list1m.txt"
    has_case large &&
        "$gen" pak-large "$large_bytes" "$SEED" "$dir/large.pak" "$dir/large.tar" "$dir/large.bin"
    sync
}

# The VPK cases: a single-file VPK of 1,000,000 entries (data after the
# tree, some of it preloaded) with its listing text, and a VPK directory of
# 100,000 entries of 1 KiB whose data lies in two numbered parts beside it
# (vpkfiles_000.vpk, vpkfiles_001.vpk), with the tar of its files.
generate_vpk() { # dir
    local dir=$1
    has_case vpklist &&
        "$gen" vpk-listing 1000000 "$SEED" "$dir/list1m_dir.vpk" "$dir/list1m-vpk.txt"
    has_case vpkfiles &&
        "$gen" vpk-files 100000 "$SEED" "$dir/vpkfiles_dir.vpk" "$dir/vpkfiles.tar"
    sync
}

check_vpk() { # dir
    local dir=$1
    if has_case vpklist; then
        "$kes" --list "$dir/list1m_dir.vpk" | cmp - "$dir/list1m-vpk.txt"
    fi
    sync
}

measure_vpk() { # place-name dir
    local name=$1 dir=$2 tool
    if has_case vpklist; then
        for tool in $order; do
            if [ "$tool" = kestrune ]; then
                measure "vpklist/$name/kestrune" "$kes" --list "$dir/list1m_dir.vpk"
            else
                measure "vpklist/$name/cat" cat "$dir/list1m-vpk.txt"
            fi
        done
    fi
    has_case vpkfiles && extract_case "$name" "$dir" vpkfiles "$dir/vpkfiles_dir.vpk"
    fresh "$dir"
}

# The output must be what the peers produce, byte for byte, before any of it
# is timed.
check() { # dir
    local dir=$1 case package
    for case in files100k files10k lumps100k repeats40k repeats4k vpkfiles; do
        package=$dir/$case.pak
        [ -f "$package" ] || package=$dir/$case.wad
        [ -f "$package" ] || package=$dir/${case}_dir.vpk
        [ -f "$package" ] || continue
        rm -rf "$dir/out" "$dir/peer" && mkdir "$dir/peer"
        "$kes" --extract "$package" "$dir/out" >/dev/null
        tar -xf "$dir/$case.tar" -C "$dir/peer"
        diff -r "$dir/out" "$dir/peer" >/dev/null || { say "FAIL: $case differs from tar"; exit 1; }
        rm -rf "$dir/out" "$dir/peer"
    done
    if has_case large; then
        "$kes" --extract "$dir/large.pak" "$dir/out" >/dev/null
        cmp "$dir/out/movies_intro_cinematic_4k.bik" "$dir/large.bin"
        rm -rf "$dir/out"
    fi
    if has_case list; then
        "$kes" --list "$dir/list1m.pak" | cmp - "$dir/list1m.txt"
        "$kes" --test "$dir/list1m.pak" >/dev/null # exit 0: every entry whole
    fi
    sync
}

# measure KEY COMMAND...: one timed run; appends "KEY microseconds peakKiB".
measure() {
    local key=$1
    shift
    local start end
    start=$EPOCHREALTIME
    if ! /usr/bin/time -f '%M' -o "$results.rss" "$@" >/dev/null; then
        say "FAIL: $*"
        exit 1
    fi
    end=$EPOCHREALTIME
    echo "$key $((${end/./} - ${start/./})) $(tail -n 1 "$results.rss")" >>"$results"
}

# fresh DIR: removes the previous output and lets the file system settle
# (writeback of what the previous run wrote), so no run pays for another.
fresh() {
    rm -rf "$1/out"
    sync
}

extract_case() { # place-name dir case package
    local name=$1 dir=$2 case=$3 package=$4 tool
    for tool in $order; do
        fresh "$dir"
        if [ "$tool" = kestrune ]; then
            measure "$case/$name/kestrune" "$kes" --extract "$package" "$dir/out"
        else
            mkdir "$dir/out"
            measure "$case/$name/tar" tar -xf "$dir/$case.tar" -C "$dir/out"
        fi
    done
}

for place in "${places[@]}"; do
    name=${place%%:*}
    dir=${place#*:}
    step "$name: generate data (seed $SEED), check the output against the peers"
    generate "$dir"
    generate_vpk "$dir"
    check "$dir"
    check_vpk "$dir"
    say "identical"
    step "$name: measure, $ROUNDS rounds"
    for round in $(seq 1 "$ROUNDS"); do
        if [ $((round % 2)) = 1 ]; then order="kestrune peer"; else order="peer kestrune"; fi
        if has_case files; then
            extract_case "$name" "$dir" files100k "$dir/files100k.pak"
            extract_case "$name" "$dir" files10k "$dir/files10k.pak"
        fi
        has_case lumps && extract_case "$name" "$dir" lumps100k "$dir/lumps100k.wad"
        if has_case repeats; then
            extract_case "$name" "$dir" repeats40k "$dir/repeats40k.pak"
            extract_case "$name" "$dir" repeats4k "$dir/repeats4k.pak"
        fi
        if has_case large; then
            for tool in $order; do
                fresh "$dir"
                if [ "$tool" = kestrune ]; then
                    measure "large/$name/kestrune" "$kes" --extract "$dir/large.pak" "$dir/out"
                else
                    mkdir "$dir/out"
                    measure "large/$name/cp" cp "$dir/large.bin" "$dir/out/movies_intro_cinematic_4k.bik"
                fi
            done
            fresh "$dir"
        fi
        if has_case list; then
            for tool in $order; do
                if [ "$tool" = kestrune ]; then
                    measure "list/$name/kestrune" "$kes" --list "$dir/list1m.pak"
                    measure "listjson/$name/kestrune" "$kes" --list-json "$dir/list1m.pak"
                    measure "test/$name/kestrune" "$kes" --test "$dir/list1m.pak"
                else
                    measure "list/$name/cat" cat "$dir/list1m.txt"
                fi
            done
        fi
        measure_vpk "$name" "$dir"
        say "round $round of $ROUNDS done ($SECONDS s)"
    done
    if [ "${KEEP_DATA:-0}" != 1 ]; then
        find "$dir" -mindepth 1 -maxdepth 1 ! -name lost+found -exec rm -rf {} +
        sync
    fi
done

step "results (median and min-max of $ROUNDS rounds; ratio of medians)"
echo "machine: $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)," \
    "$(free -g | awk '/^Mem:/ { print $2 }') GiB RAM; $(uname -sr)"
for place in "${places[@]}"; do
    echo "  ${place%%:*}: ${place#*:} ($(df -PT "${place#*:}" | awk 'NR == 2 { print $2 " on " $1 }'))"
done
awk -v places="$(printf '%s ' "${places[@]%%:*}")" '
function median(key,   n, i, j, t, v) {
    n = count[key]
    for (i = 1; i <= n; i++) v[i] = times[key, i]
    for (i = 2; i <= n; i++) for (j = i; j > 1 && v[j - 1] > v[j]; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
    lo[key] = v[1]; hi[key] = v[n]
    return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
}
function secs(us) { return sprintf("%.3f", us / 1e6) }
function show(label, place, ours, peer, peerName, target, rssLimit,   a, b, r, verdict) {
    if (!(ours in count) || !(peer in count)) return
    a = median(ours); b = median(peer); r = a / b
    verdict = target == "" ? "" : (r <= target ? "met" : "MISSED")
    if (rssLimit != "" && rss[ours] >= rssLimit) verdict = "MISSED (memory)"
    printf "%-24s %-5s %7s s (%s-%s) %4.0f MiB | %-4s %7s s (%s-%s) %4.0f MiB | %5.2f %-7s %s\n",
        label, place, secs(a), secs(lo[ours]), secs(hi[ours]), rss[ours] / 1024,
        peerName, secs(b), secs(lo[peer]), secs(hi[peer]), rss[peer] / 1024, r,
        target == "" ? "" : "<= " target, verdict
}
{
    times[$1, ++count[$1]] = $2
    if ($3 > rss[$1]) rss[$1] = $3
}
END {
    printf "%-24s %-5s %-37s | %-37s | %5s %s\n", "case", "fs", "kestrune: median (min-max), peak RSS",
        "peer: median (min-max), peak RSS", "ratio", "target"
    n = split(places, p, " ")
    for (i = 1; i <= n; i++) {
        show("extract 100k x 1 KiB", p[i], "files100k/" p[i] "/kestrune", "files100k/" p[i] "/tar", "tar", 0.8, "")
        show("extract 10k x 1 KiB", p[i], "files10k/" p[i] "/kestrune", "files10k/" p[i] "/tar", "tar", "", "")
        show("extract WAD 100k lumps", p[i], "lumps100k/" p[i] "/kestrune", "lumps100k/" p[i] "/tar", "tar", "", "")
        show("extract 40k repeated A", p[i], "repeats40k/" p[i] "/kestrune", "repeats40k/" p[i] "/tar", "tar", "", "")
        show("extract 4k repeated A", p[i], "repeats4k/" p[i] "/kestrune", "repeats4k/" p[i] "/tar", "tar", "", "")
        show("extract 1 GiB entry", p[i], "large/" p[i] "/kestrune", "large/" p[i] "/cp", "cp", 1.1, 16384)
        show("list 1M entries", p[i], "list/" p[i] "/kestrune", "list/" p[i] "/cat", "cat", 2, "")
        show("--list-json 1M entries", p[i], "listjson/" p[i] "/kestrune", "list/" p[i] "/cat", "cat", "", "")
        show("--test 1M entries", p[i], "test/" p[i] "/kestrune", "list/" p[i] "/cat", "cat", "", "")
        show("list VPK 1M entries", p[i], "vpklist/" p[i] "/kestrune", "vpklist/" p[i] "/cat", "cat", 3, "")
        show("extract VPK 100k 2 parts", p[i], "vpkfiles/" p[i] "/kestrune", "vpkfiles/" p[i] "/tar", "tar", "", "")
    }
    for (i = 1; i <= n; i++) {
        big = "files100k/" p[i] "/kestrune"; small = "files10k/" p[i] "/kestrune"
        if (!(big in count)) continue
        r = median(big) / median(small)
        printf "linearity %-5s kestrune 100k / 10k entries: %5.2f (tar %5.2f)  <= 12  %s\n", p[i], r,
            median("files100k/" p[i] "/tar") / median("files10k/" p[i] "/tar"), r <= 12 ? "met" : "MISSED"
    }
    for (i = 1; i <= n; i++) {
        big = "repeats40k/" p[i] "/kestrune"; small = "repeats4k/" p[i] "/kestrune"
        if (!(big in count)) continue
        r = median(big) / median(small)
        printf "linearity %-5s kestrune 40k / 4k repeated names: %5.2f (tar %5.2f)  <= 12  %s\n", p[i], r,
            median("repeats40k/" p[i] "/tar") / median("repeats4k/" p[i] "/tar"), r <= 12 ? "met" : "MISSED"
    }
}' "$results"

# Decoding, in process: each codec through the content layer against the
# library alone on the same 64 KiB blocks (two threads), and the same decoded
# bytes as 5,000 and as 50,000 files in a few large LZMA blocks read through
# the entry reader as extraction reads them (cost linear in decoded bytes:
# the two take the same time).
if has_case codecs; then
    step "codecs"
    codec_dir=${tmpfs:-$disk}/codecs
    mkdir -p "$codec_dir"
    "$codec_bench" "$codec_dir"
    rm -rf "$codec_dir"
fi

# Unreal paks, on tmpfs: the same 100,000 entries of 1 KiB extracted from a
# v11 pak and from our container (<= 1.1); --list of a 1,000,000-entry v11
# pak against cat of its listing (<= 2.5); a zlib pak of 64 KiB blocks
# (UNREAL_ZLIB_MB, default 1024, of assets that compress to about half)
# extracted, against libdeflate alone inflating the same blocks on two
# threads (<= 1.3), with its peak memory (< 32 MiB).
if has_case unreal && [ -n "$tmpfs" ]; then
    step "unreal"
    ud=$tmpfs/unreal
    rm -rf "$ud"; mkdir -p "$ud"
    ugen=$build/bench/kestrune_unreal_bench_data
    best() { fastest "rm -rf $ud/out" "$@"; }
    "$gen" pak-files 100000 "$SEED" "$ud/c.pak" "$ud/c.tar"
    "$ugen" "$ud/c.pak" "$ud/u.pak"
    c=$(best "$kes" --extract "$ud/c.pak" "$ud/out"); u=$(best "$kes" --extract "$ud/u.pak" "$ud/out")
    awk -v c="$c" -v u="$u" 'BEGIN { r = u / c; printf "unreal v11 extract 100k: %s s, container %s s: %.2f <= 1.1 %s\n", u, c, r, r <= 1.1 ? "met" : "MISSED" }'
    rm -f "$ud/c.pak" "$ud/c.tar" "$ud/u.pak"
    "$gen" pak-listing 1000000 "$SEED" "$ud/l.pak" "$ud/l.txt"
    "$ugen" "$ud/l.pak" "$ud/ul.pak"
    "$kes" --list "$ud/ul.pak" >"$ud/ul.txt"
    l=$(best "$kes" --list "$ud/ul.pak"); k=$(best cat "$ud/ul.txt")
    awk -v l="$l" -v k="$k" 'BEGIN { r = l / k; printf "unreal v11 --list 1M: %s s, cat %s s: %.2f <= 2.5 %s\n", l, k, r, r <= 2.5 ? "met" : "MISSED" }'
    rm -f "$ud"/l.* "$ud"/ul.*
    mb=${UNREAL_ZLIB_MB:-1024}
    "$gen" pak-assets $((mb * 1024 * 1024)) "$SEED" "$ud/z.pak"
    "$ugen" "$ud/z.pak" "$ud/uz.pak" zlib
    rm -f "$ud/z.pak"
    "$kes" --test "$ud/uz.pak" >/dev/null # every block decodes to its share
    # The yardstick times itself (after reading the pak into memory).
    y=$(fastest_printed "$ugen" inflate "$ud/uz.pak")
    z=$(best "$kes" --extract "$ud/uz.pak" "$ud/out")
    rm -rf "$ud/out"
    peak=$( { /usr/bin/time -f "%M" "$kes" --extract "$ud/uz.pak" "$ud/out" >/dev/null; } 2>&1 | tail -1)
    awk -v z="$z" -v y="$y" -v p="$peak" -v mb="$mb" 'BEGIN { r = z / y; printf "unreal zlib %d MiB extract: %s s, libdeflate alone on two threads %s s: %.2f <= 1.3 %s; peak %d KiB (< 32768)\n", mb, z, y, r, r <= 1.3 ? "met" : "MISSED", p }'
    rm -rf "$ud"
fi

# Unreal IoStore containers, on tmpfs: the same 100,000 entries of 1 KiB
# extracted from an uncompressed container and from a v11 pak (<= 1.1); one
# chunk of IOSTORE_ZLIB_MB (default 1024) MiB in zlib blocks of 64 KiB
# extracted, against libdeflate alone inflating the same blocks on two
# threads (<= 1.3), with its peak memory (< 32 MiB); --test of it against
# its extraction (<= 1.3).
if has_case iostore && [ -n "$tmpfs" ]; then
    step "iostore"
    id=$tmpfs/iostore
    rm -rf "$id"; mkdir -p "$id"
    igen=$build/bench/kestrune_iostore_bench_data
    ugen=$build/bench/kestrune_unreal_bench_data
    best() { fastest "rm -rf $id/out" "$@"; }
    "$gen" pak-files 100000 "$SEED" "$id/c.pak" "$id/c.tar"
    "$ugen" "$id/c.pak" "$id/u.pak"
    "$igen" "$id/c.pak" "$id/io"
    p=$(best "$kes" --extract "$id/u.pak" "$id/out"); i=$(best "$kes" --extract "$id/io.utoc" "$id/out")
    awk -v p="$p" -v i="$i" 'BEGIN { r = i / p; printf "iostore extract 100k: %s s, v11 pak %s s: %.2f <= 1.1 %s\n", i, p, r, r <= 1.1 ? "met" : "MISSED" }'
    rm -f "$id"/c.* "$id"/u.pak "$id"/io.*
    mb=${IOSTORE_ZLIB_MB:-1024}
    "$igen" one "$mb" "$id/one"
    "$kes" --test "$id/one.utoc" >/dev/null # every block decodes and the hash holds
    y=$(fastest_printed "$igen" inflate "$id/one")
    z=$(best "$kes" --extract "$id/one.utoc" "$id/out")
    v=$(best "$kes" --test "$id/one.utoc")
    rm -rf "$id/out"
    peak=$( { /usr/bin/time -f "%M" "$kes" --extract "$id/one.utoc" "$id/out" >/dev/null; } 2>&1 | tail -1)
    awk -v z="$z" -v y="$y" -v p="$peak" -v mb="$mb" 'BEGIN { r = z / y; printf "iostore one zlib chunk of %d MiB extract: %s s, libdeflate alone on two threads %s s: %.2f <= 1.3 %s; peak %d KiB (< 32768)\n", mb, z, y, r, r <= 1.3 ? "met" : "MISSED", p }'
    awk -v z="$z" -v v="$v" 'BEGIN { r = v / z; printf "iostore --test of it: %s s, extract %s s: %.2f <= 1.3 %s\n", v, z, r, r <= 1.3 ? "met" : "MISSED" }'
    rm -rf "$id"
fi

# A player's data folder, on tmpfs: --list of UNITY_FOLDER_FILES (default
# 5,000) small level files that state the stripped version 0.0.0, read by the
# version of the globalgamemanagers beside them, against a tenth as many
# (<= 12: the cost of a file does not grow with the folder), with the peak
# memory of the larger; --export of UNITY_FOLDER_TEXTURES (default 2,000)
# textures and UNITY_FOLDER_MESHES (default 500) meshes kept in standalone
# files without type trees, their pixels in .resS files beside them, against
# the same objects from one uncompressed bundle whose files carry the same
# layouts as type trees (<= 1.2: the layout table costs no more than a tree).
if has_case unityfolder && [ -n "$tmpfs" ]; then
    step "unityfolder"
    fd=$tmpfs/unityfolder
    rm -rf "$fd"; mkdir -p "$fd/large" "$fd/small"
    n=${UNITY_FOLDER_FILES:-5000}
    "$build/bench/kestrune_unity_bench_data" folder "$n" "$fd/large"
    "$build/bench/kestrune_unity_bench_data" folder $((n / 10)) "$fd/small"
    # Every level listed by its object, none said to lack its version.
    named=$("$kes" --list "$fd/large" 2>"$fd/notes" | grep -c 'TextAsset/scene' || true)
    [ "$named" = "$n" ] && [ ! -s "$fd/notes" ] || { say "FAIL: $named of $n levels listed"; exit 1; }
    large=$(fastest true "$kes" --list "$fd/large")
    small=$(fastest true "$kes" --list "$fd/small")
    awk -v l="$large" -v s="$small" -v n="$n" 'BEGIN { r = l / s; printf "unityfolder --list %d files: %s s, %d files %s s: %.2f <= 12 %s\n", n, l, n / 10, s, r, r <= 12 ? "met" : "MISSED" }'
    /usr/bin/time -f "unityfolder --list $n files: peak %M KiB" "$kes" --list "$fd/large" >/dev/null
    rm -rf "$fd"/large "$fd"/small
    textures=${UNITY_FOLDER_TEXTURES:-2000}
    meshes=${UNITY_FOLDER_MESHES:-500}
    "$build/bench/kestrune_unity_bench_data" export "$textures" "$meshes" "$fd"
    # Both write every object, and the same files.
    for from in folder twin.bundle; do
        "$kes" --export "$fd/$from" "$fd/out-$from" >/dev/null
        written=$(find "$fd/out-$from" -type f | wc -l)
        [ "$written" = $((textures + meshes)) ] || { say "FAIL: $written files exported from $from"; exit 1; }
        (cd "$fd/out-$from" && find . -type f -exec sha1sum {} + | cut -d' ' -f1 | sort) >"$fd/sums-$from"
    done
    cmp -s "$fd/sums-folder" "$fd/sums-twin.bundle" || { say "FAIL: the folder exports other files than its bundle"; exit 1; }
    fclear() { rm -rf "$fd/out"; }
    f=$(fastest fclear "$kes" --export "$fd/folder" "$fd/out")
    b=$(fastest fclear "$kes" --export "$fd/twin.bundle" "$fd/out")
    awk -v f="$f" -v b="$b" -v t="$textures" -v m="$meshes" 'BEGIN { r = f / b; printf "unityfolder --export %d textures + %d meshes without type trees: %s s, bundle with type trees %s s: %.2f <= 1.2 %s\n", t, m, f, b, r, r <= 1.2 ? "met" : "MISSED" }'
    rm -rf "$fd"
fi

# Unity bundles, on tmpfs: UNITY_FILES (default 20,000) files of 4 KiB in
# 128 KiB LZ4HC blocks extracted, against liblz4 alone decoding the same
# blocks (in process, one thread) plus the extraction of our container holding
# the same files (<= 1.3); a single-block LZMA bundle of UNITY_LZMA_MB
# (default 256) MiB extracted, against liblzma alone decoding it (<= 1.15),
# with its peak memory against the 64 MiB content cap.
if has_case unity && [ -n "$tmpfs" ]; then
    step "unity"
    yd=$tmpfs/unity
    rm -rf "$yd"; mkdir -p "$yd"
    ygen=$build/bench/kestrune_unity_bench_data
    yclear() { rm -rf "$yd/out"; sync; }
    files=${UNITY_FILES:-20000}
    "$gen" pak-files-4k "$files" "$SEED" "$yd/c.pak" "$yd/c.tar"
    "$ygen" lz4hc "$yd/c.pak" "$yd/u.bundle"
    rm -rf "$yd/out" "$yd/peer" && mkdir "$yd/peer"
    "$kes" --extract "$yd/u.bundle" "$yd/out" >/dev/null
    tar -xf "$yd/c.tar" -C "$yd/peer"
    diff -r "$yd/out" "$yd/peer" >/dev/null || { say "FAIL: the Unity bundle differs from tar"; exit 1; }
    rm -rf "$yd/peer" "$yd/c.tar"
    u=$(fastest yclear "$kes" --extract "$yd/u.bundle" "$yd/out")
    c=$(fastest yclear "$kes" --extract "$yd/c.pak" "$yd/out")
    l=$(fastest_printed "$ygen" decode "$yd/u.bundle")
    awk -v u="$u" -v c="$c" -v l="$l" -v n="$files" 'BEGIN { r = u / (l + c); printf "unity LZ4HC extract %d x 4 KiB: %s s, liblz4 %s s + container %s s: %.2f <= 1.3 %s\n", n, u, l, c, r, r <= 1.3 ? "met" : "MISSED" }'
    rm -f "$yd"/c.pak "$yd"/u.bundle
    mb=${UNITY_LZMA_MB:-256}
    "$ygen" lzma $((mb * 1024 * 1024)) "$SEED" "$yd/z.bundle"
    m=$(fastest yclear "$kes" --extract "$yd/z.bundle" "$yd/out")
    z=$(fastest_printed "$ygen" decode "$yd/z.bundle")
    awk -v m="$m" -v z="$z" -v mb="$mb" 'BEGIN { r = m / z; printf "unity LZMA extract %d MiB: %s s, liblzma %s s: %.2f <= 1.15 %s\n", mb, m, z, r, r <= 1.15 ? "met" : "MISSED" }'
    rm -rf "$yd/out"
    /usr/bin/time -f "unity LZMA ${mb} MiB extract: peak %M KiB (cap 65536 KiB of decoding)" "$kes" --extract "$yd/z.bundle" "$yd/out" >/dev/null
    rm -rf "$yd"
fi

# Unity meshes, in process: a Mesh object of 1,000,000 triangles read through
# its type tree and exported as OBJ, against the OBJ writer alone producing
# the same text from the same mesh (<= 2).
# ZIP archives, on tmpfs: ZIP_FILES (default 100,000) stored entries of 1 KiB
# extracted, against the same files extracted from our container (<= 1.1)
# and against Info-ZIP's `unzip -q` of the same ZIP (<= 0.6); a deflate ZIP
# of ZIP_MB (default 1024) MiB of compressible files extracted, against
# `unzip -q` (<= 0.5) and libdeflate alone inflating its entries on two
# threads (<= 1.3). Python's zipfile writes the archives from the tar of
# the same files.
if has_case zip && [ -n "$tmpfs" ]; then
    step "zip"
    zd=$tmpfs/zip
    rm -rf "$zd"; mkdir -p "$zd"
    zclear() { rm -rf "$zd/out"; mkdir "$zd/out"; }
    zbest() { # command...: the fastest of ROUNDS runs, in seconds
        fastest zclear "$@"
        rm -rf "$zd/out"
    }
    files=${ZIP_FILES:-100000}
    "$gen" pak-files "$files" "$SEED" "$zd/c.pak" "$zd/c.tar"
    python3 - "$zd/c.tar" "$zd/s.zip" <<'PY'
import sys, tarfile, zipfile
with tarfile.open(sys.argv[1]) as tar, zipfile.ZipFile(sys.argv[2], "w", zipfile.ZIP_STORED) as z:
    for member in tar:
        if member.isfile():
            z.writestr(member.name, tar.extractfile(member).read())
PY
    # The two extractions agree before they are timed.
    "$kes" --extract "$zd/s.zip" "$zd/check" >/dev/null
    mkdir "$zd/tar" && tar -xf "$zd/c.tar" -C "$zd/tar"
    diff -r "$zd/check" "$zd/tar" >/dev/null || { say "FAIL: the ZIP extraction differs from tar's"; exit 1; }
    rm -rf "$zd/check" "$zd/tar"
    c=$(zbest "$kes" --extract "$zd/c.pak" "$zd/out/x")
    s=$(zbest "$kes" --extract "$zd/s.zip" "$zd/out/x")
    u=$(zbest unzip -q "$zd/s.zip" -d "$zd/out")
    awk -v s="$s" -v c="$c" -v u="$u" -v n="$files" 'BEGIN { r = s / c; q = s / u; printf "zip stored extract %d: %s s, container %s s: %.2f <= 1.1 %s; unzip -q %s s: %.2f <= 0.6 %s\n", n, s, c, r, r <= 1.1 ? "met" : "MISSED", u, q, q <= 0.6 ? "met" : "MISSED" }'
    rm -f "$zd"/c.* "$zd/s.zip"
    mb=${ZIP_MB:-1024}
    python3 - "$zd/d.zip" "$mb" <<'PY'
import random, sys, zipfile
random.seed(20240607)
words = [bytes(random.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(random.randint(2, 9))) for _ in range(4000)]
# Each file is a 1 MiB window of one 8 MiB text of random words.
pool = b" ".join(random.choice(words) for _ in range(1600000))[: 8 << 20]
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED, compresslevel=6) as z:
    for i in range(int(sys.argv[2])):
        at = random.randrange(len(pool) - (1 << 20))
        z.writestr("assets/%03d/file%05d.txt" % (i % 64, i), pool[at : at + (1 << 20)])
PY
    d=$(zbest "$kes" --extract "$zd/d.zip" "$zd/out/x")
    u=$(zbest unzip -q "$zd/d.zip" -d "$zd/out")
    awk -v d="$d" -v u="$u" -v mb="$mb" 'BEGIN { q = d / u; printf "zip deflate %d MiB extract: %s s, unzip -q %s s: %.2f <= 0.5 %s\n", mb, d, u, q, q <= 0.5 ? "met" : "MISSED" }'
    # The yardstick: libdeflate alone inflating every entry, on two threads.
    y=$(fastest_printed "$build/bench/kestrune_unreal_bench_data" inflate "$zd/d.zip")
    awk -v d="$d" -v y="$y" -v mb="$mb" 'BEGIN { r = d / y; printf "zip deflate %d MiB extract: %s s, libdeflate alone on two threads %s s: %.2f <= 1.3 %s\n", mb, d, y, r, r <= 1.3 ? "met" : "MISSED" }'
    rm -rf "$zd"
fi

# Packing, on tmpfs: PACK_FILES (default 100,000) files of 1 KiB packed into
# an uncompressed version 11 pak, against `tar -cf` of the same tree
# (<= 1.1); PACK_MB (default 1024) MiB of compressible files (64 KiB to
# 4 MiB each) packed into a Zlib pak on both cores, against zlib alone
# compressing the same 64 KiB blocks on two threads, the files read into
# memory first (<= 1.3), with the packer's peak memory (< 64 MiB). Each
# packing includes reading the package back in full, as --pack always does.
if has_case pack && [ -n "$tmpfs" ]; then
    step "pack"
    pd=$tmpfs/pack
    rm -rf "$pd"; mkdir -p "$pd/tree"
    ugen=$build/bench/kestrune_unreal_bench_data
    pclear() { rm -f "$pd/out.pak" "$pd/out.tar"; sync; }
    pbest() { # command...: the fastest of ROUNDS runs, in seconds
        fastest pclear "$@"
        rm -f "$pd/out.pak" "$pd/out.tar"
    }
    files=${PACK_FILES:-100000}
    "$gen" pak-files "$files" "$SEED" "$pd/c.pak" "$pd/c.tar"
    tar -xf "$pd/c.tar" -C "$pd/tree"
    rm -f "$pd/c.pak" "$pd/c.tar"
    # What is packed extracts to the same tree before it is timed.
    "$kes" --format unreal --pack "$pd/tree" "$pd/out.pak" >/dev/null
    "$kes" --tree --extract "$pd/out.pak" "$pd/check" >/dev/null
    diff -r "$pd/tree" "$pd/check" >/dev/null || { say "FAIL: the packed pak does not extract to its tree"; exit 1; }
    rm -rf "$pd/check"
    k=$(pbest "$kes" --format unreal --pack "$pd/tree" "$pd/out.pak")
    t=$(pbest tar -cf "$pd/out.tar" -C "$pd/tree" .)
    awk -v k="$k" -v t="$t" -v n="$files" 'BEGIN { r = k / t; printf "pack v11 %d x 1 KiB: %s s, tar -cf %s s: %.2f <= 1.1 %s\n", n, k, t, r, r <= 1.1 ? "met" : "MISSED" }'
    rm -rf "$pd/tree"; mkdir -p "$pd/tree"
    mb=${PACK_MB:-1024}
    "$gen" pak-assets $((mb * 1024 * 1024)) "$SEED" "$pd/a.pak"
    "$kes" --tree --extract "$pd/a.pak" "$pd/tree" >/dev/null
    rm -f "$pd/a.pak"
    y=$(fastest_printed "$ugen" deflate "$pd/tree")
    z=$(pbest "$kes" --format unreal --compression Zlib --pack "$pd/tree" "$pd/out.pak")
    peak=$( { /usr/bin/time -f "%M" "$kes" --format unreal --compression Zlib --pack "$pd/tree" "$pd/out.pak" >/dev/null; } 2>&1 | tail -1)
    awk -v z="$z" -v y="$y" -v p="$peak" -v mb="$mb" 'BEGIN { r = z / y; printf "pack zlib %d MiB: %s s, zlib alone on two threads %s s: %.2f <= 1.3 %s; peak %d KiB (< 65536) %s\n", mb, z, y, r, r <= 1.3 ? "met" : "MISSED", p, p < 65536 ? "met" : "MISSED" }'
    rm -rf "$pd"
fi

if has_case mesh; then
    step "mesh"
    "$build/bench/kestrune_mesh_bench" "$ROUNDS"
fi
if has_case textures; then
    step "textures"
    "$build/bench/kestrune_texture_bench" | awk '{ print; r = $NF; printf "textures to PNG: ratio %.2f <= 1.3 %s\n", r, r <= 1.3 ? "met" : "MISSED" }'
fi

if [ "${KEEP_DATA:-0}" = 1 ]; then
    cp "$results" "$build/last-results.txt"
    say "raw timings kept in $build/last-results.txt; data kept in: ${places[*]#*:}"
fi
say "total: $SECONDS s"
