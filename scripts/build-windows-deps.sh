#!/usr/bin/env bash
# Builds the engine's libraries for the Windows cross build: liblz4, liblzma,
# libzstd, libbz2, libdeflate, libbrotli's decoder, mbedTLS's libmbedcrypto,
# BLAKE3's C implementation, libpng and libsquish, each
# from Debian's own
# source package (the same source the Linux build's -dev packages come from),
# compiled with the MinGW-w64 posix toolchain as static archives only, into
# one prefix that cmake/mingw-w64-x86_64.cmake searches:
#
#   build/windows-deps/src/<package>/   the unpacked Debian source and its build
#   build/windows-deps/prefix/include/  headers
#   build/windows-deps/prefix/lib/      lib<name>.a
#   build/windows-deps/prefix/stamps/   <package> holds the Debian version built
#
# A package whose stamp names the version apt would fetch today is not built
# again, so a second run does no download and no compiling. Each project is
# built with its own build system, libraries only (no programs, tests or
# documentation), -j2.
#
# Getting the sources works as for any Debian user: when apt knows no source
# packages yet, a deb-src entry is added for each of the machine's own Debian
# suites (the stanzas of /etc/apt/sources.list* whose suite is this release or
# one of its -updates/-security companions), then `apt-get update`.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh

root=$PWD/build/windows-deps
src=$root/src
prefix=$root/prefix
stamps=$prefix/stamps
toolchain=$PWD/cmake/mingw-w64-x86_64.cmake
host=x86_64-w64-mingw32
jobs=2

# Debian source package names, in build order.
# astc-encoder is not among them: Debian's archive serves no files for its
# source package (4.2.0+ds-2 answers 404), so the Windows build has no ASTC
# decoder (cmake/EngineLibraries.cmake finds it only when it is there).
# BLAKE3 is not among them either: its source package's files answer 404 too,
# and the same C files come in the package librust-blake3-dev (see
# build_blake3).
PACKAGES=(lz4 xz-utils libzstd bzip2 libdeflate brotli mbedtls libpng1.6 libsquish)

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

# What apt knows of source package $1; nothing (not a failure) while apt has
# no deb-src entries yet, where apt-cache exits with 100.
source_stanzas() {
    apt-cache showsrc --only-source "$1" 2>/dev/null || true
}

# The versions of source package $1 that apt knows, newest first.
source_versions() {
    source_stanzas "$1" | sed -n 's/^Version: //p' |
        sort -u | while read -r v; do
            # Rank with dpkg's own ordering: count the versions above v.
            local above=0 w
            for w in $(source_stanzas "$1" | sed -n 's/^Version: //p' | sort -u); do
                dpkg --compare-versions "$w" gt "$v" && above=$((above + 1))
            done
            printf '%d %s\n' "$above" "$v"
        done | sort -n | cut -d' ' -f2
}

# The stamp of a package names the newest version apt offered when it was
# built ("offered") and the version actually built ("built"): the two differ
# when the newest one could not be fetched and an older one was used.
stamp_field() {
    [ -f "$stamps/$1" ] && sed -n "s/^$2: //p" "$stamps/$1"
}

# Writes deb-src entries mirroring the machine's deb entries for its own
# release, keeping their URIs, components and Signed-By, then updates apt.
add_deb_src() {
    local codename
    codename=$(. /etc/os-release && printf '%s' "${VERSION_CODENAME:-}")
    [ -n "$codename" ] || {
        echo "build-windows-deps: /etc/os-release names no release; add a deb-src line yourself" >&2
        exit 1
    }
    local list=/etc/apt/sources.list.d/kestrune-deb-src.sources
    local files=()
    local f
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] && [ "$f" != "$list" ] && files+=("$f")
    done
    # One-line entries ("deb [options] URI suite components") and deb822
    # stanzas both become deb822 stanzas with Types: deb-src.
    local entries
    entries=$(awk -v release="$codename" '
        function ours(suite) { return suite == release || index(suite, release "-") == 1 }
        function flush(   i, n, kept, s, t) {
            if (nlines == 0) return
            n = split(suites, s, /[ \t]+/)
            kept = ""
            for (i = 1; i <= n; i++) if (s[i] != "" && ours(s[i])) kept = kept " " s[i]
            if (isdeb && enabled && kept != "") {
                printf "Types: deb-src\n"
                for (i = 1; i <= nlines; i++) {
                    t = lines[i]
                    if (t ~ /^Types:/) continue
                    if (t ~ /^Suites:/) t = "Suites:" kept
                    print t
                }
                print ""
            }
            nlines = 0; isdeb = 0; enabled = 1; suites = ""
        }
        BEGIN { enabled = 1 }
        FNR == 1 { flush(); deb822 = (FILENAME ~ /\.sources$/) }
        /^[ \t]*#/ { next }
        deb822 && /^[ \t]*$/ { flush(); next }
        deb822 {
            lines[++nlines] = $0
            if ($0 ~ /^Types:/) isdeb = ($0 ~ /[ \t]deb([ \t]|$)/ && $0 !~ /deb-src/)
            if ($0 ~ /^Enabled:/ && tolower($2) == "no") enabled = 0
            if ($0 ~ /^Suites:/) { suites = $0; sub(/^Suites:/, "", suites) }
            next
        }
        $1 == "deb" {
            line = $0; sub(/^[ \t]*deb[ \t]+/, "", line)
            signed = ""
            if (line ~ /^\[/) {
                options = substr(line, 2, index(line, "]") - 2)
                line = substr(line, index(line, "]") + 1)
                if (match(options, /signed-by=[^ \t]+/))
                    signed = substr(options, RSTART + 10, RLENGTH - 10)
            }
            n = split(line, w, /[ \t]+/)
            first = (w[1] == "") ? 2 : 1
            if (n - first + 1 < 3 || !ours(w[first + 1])) next
            printf "Types: deb-src\nURIs: %s\nSuites: %s\nComponents:", w[first], w[first + 1]
            for (i = first + 2; i <= n; i++) printf " %s", w[i]
            printf "\n"
            if (signed != "") printf "Signed-By: %s\n", signed
            print ""
        }
        END { flush() }
    ' "${files[@]}")
    [ -n "$entries" ] || {
        echo "build-windows-deps: no apt source for $codename found to add deb-src for" >&2
        exit 1
    }
    echo "Adding deb-src for $codename's suites in $list" >&2
    printf '# Source packages, for scripts/build-windows-deps.sh (apt-get source).\n\n%s\n' \
        "$entries" | $sudo tee "$list" >/dev/null
    $sudo apt-get update -qq
}

main() {
    build_blake3
    local pkg
    local -A offered=()
    for pkg in "${PACKAGES[@]}"; do offered[$pkg]=$(source_versions "$pkg" | head -n 1); done

    # Nothing to do when every stamp names the version apt offers: no network,
    # no toolchain check.
    local todo=()
    for pkg in "${PACKAGES[@]}"; do
        if [ -z "${offered[$pkg]}" ] || [ "$(stamp_field "$pkg" offered)" != "${offered[$pkg]}" ]; then
            todo+=("$pkg")
        fi
    done
    if [ ${#todo[@]} -eq 0 ]; then
        echo "Windows libraries up to date in $prefix" >&2
        return 0
    fi

    ensure_packages dpkg-dev cmake make gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix \
        binutils-mingw-w64-x86-64

    local missing=0
    for pkg in "${todo[@]}"; do [ -n "${offered[$pkg]}" ] || missing=1; done
    if [ $missing -eq 1 ]; then
        add_deb_src
        for pkg in "${PACKAGES[@]}"; do offered[$pkg]=$(source_versions "$pkg" | head -n 1); done
    fi

    mkdir -p "$src" "$prefix/include" "$prefix/lib" "$stamps"
    local start=$SECONDS t built
    for pkg in "${todo[@]}"; do
        [ -n "${offered[$pkg]}" ] || {
            echo "build-windows-deps: apt knows no source package $pkg" >&2
            exit 1
        }
        [ "$(stamp_field "$pkg" offered)" = "${offered[$pkg]}" ] && continue
        t=$SECONDS
        rm -f "$stamps/$pkg"
        built=$(fetch "$pkg")
        "build_$(tr .- __ <<<"$pkg")" "$src/$pkg/source"
        printf 'offered: %s\nbuilt: %s\n' "${offered[$pkg]}" "$built" >"$stamps/$pkg"
        echo "Built $pkg $built for Windows in $((SECONDS - t)) s" >&2
    done
    echo "Windows libraries built in $((SECONDS - start)) s into $prefix" >&2
}

# Unpacks the newest version of source package $1 that the archive serves
# (with Debian's patches applied) into $src/$1/source, replacing an older one,
# and prints its version. A version that apt lists but whose files cannot be
# fetched gives way to the next older one, with a warning.
fetch() {
    local pkg=$1 version dir
    while read -r version; do
        rm -rf "${src:?}/$pkg"
        mkdir -p "$src/$pkg"
        if (cd "$src/$pkg" && apt-get source -qq --only-source "$pkg=$version" >apt-get-source.log 2>&1); then
            dir=$(find "$src/$pkg" -mindepth 1 -maxdepth 1 -type d | head -n 1)
            if [ -n "$dir" ]; then
                mv "$dir" "$src/$pkg/source"
                printf '%s' "$version"
                return 0
            fi
        fi
        echo "build-windows-deps: warning: could not fetch the source of $pkg $version:" >&2
        grep -E '^(E|W): ' "$src/$pkg/apt-get-source.log" | grep -v unsandboxed >&2 || true
    done < <(source_versions "$pkg")
    echo "build-windows-deps: no version of $pkg could be fetched" >&2
    exit 1
}

# Configures a CMake project for Windows (static, release) in $2 and builds
# only the targets named after "--".
cmake_build() {
    local source=$1 build=$2
    shift 2
    local options=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do
        options+=("$1")
        shift
    done
    shift
    cmake -S "$source" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF "${options[@]}" >"$build.log" 2>&1 || {
        cat "$build.log" >&2
        exit 1
    }
    local target
    for target in "$@"; do
        cmake --build "$build" --target "$target" -j "$jobs" >>"$build.log" 2>&1 || {
            tail -n 50 "$build.log" >&2
            exit 1
        }
    done
}

# install_into <folder under the prefix> <files or folders...>
install_into() {
    local dest=$prefix/$1
    shift
    mkdir -p "$dest"
    cp -R "$@" "$dest/"
}

build_lz4() {
    local s=$1 b=$1/../build
    cmake_build "$s/build/cmake" "$b" -DBUILD_STATIC_LIBS=ON -DLZ4_BUILD_CLI=OFF \
        -DLZ4_BUILD_LEGACY_LZ4C=OFF -- lz4_static
    install_into include "$s"/lib/lz4.h "$s"/lib/lz4hc.h "$s"/lib/lz4frame.h
    install_into lib "$b/liblz4.a"
}

# xz's CMake build always makes the xz and xzdec programs too; only the
# library target is built.
build_xz_utils() {
    local s=$1 b=$1/../build
    cmake_build "$s" "$b" -DBUILD_TESTING=OFF -- liblzma
    install_into include "$s"/src/liblzma/api/lzma.h "$s"/src/liblzma/api/lzma
    install_into lib "$b/liblzma.a"
}

build_libzstd() {
    local s=$1 b=$1/../build
    cmake_build "$s/build/cmake" "$b" -DZSTD_BUILD_STATIC=ON -DZSTD_BUILD_SHARED=OFF \
        -DZSTD_BUILD_PROGRAMS=OFF -DZSTD_BUILD_TESTS=OFF -DZSTD_BUILD_CONTRIB=OFF -- libzstd_static
    install_into include "$s"/lib/zstd.h "$s"/lib/zdict.h "$s"/lib/zstd_errors.h
    install_into lib "$b/lib/libzstd.a"
}

# bzip2 1.0.8 builds with its Makefile, whose libbz2.a target makes the
# static library alone (no programs, no tests).
build_bzip2() {
    local s=$1
    make -C "$s" -j "$jobs" CC="$host-gcc-posix" AR="$host-ar" RANLIB="$host-ranlib" libbz2.a \
        >"$s/../build.log" 2>&1 || {
        tail -n 50 "$s/../build.log" >&2
        exit 1
    }
    install_into include "$s/bzlib.h"
    install_into lib "$s/libbz2.a"
}

# libdeflate 1.14 builds with its Makefile, which names the MinGW static
# library libdeflatestatic.lib; it is installed under the usual MinGW name.
build_libdeflate() {
    local s=$1
    make -C "$s" -j "$jobs" CC="$host-gcc-posix" AR="$host-ar" libdeflatestatic.lib \
        >"$s/../build.log" 2>&1 || {
        tail -n 50 "$s/../build.log" >&2
        exit 1
    }
    install_into include "$s/libdeflate.h"
    cp "$s/libdeflatestatic.lib" "$prefix/lib/libdeflate.a"
}

# libbrotli's decoder and the common part it needs, static, without the
# tests or the brotli program. Brotli 1.0 names its static targets
# brotlidec-static and brotlicommon-static (archives lib<target>.a); 1.1 builds
# brotlidec and brotlicommon as static archives when BUILD_SHARED_LIBS is off.
# Either way they are installed as libbrotlidec.a and libbrotlicommon.a.
build_brotli() {
    local s=$1 b=$1/../build suffix=""
    grep -q 'brotlidec-static\|{lib}-static' "$s/CMakeLists.txt" && suffix=-static
    cmake_build "$s" "$b" -DBROTLI_DISABLE_TESTS=ON -DBROTLI_BUNDLED_MODE=ON \
        -- "brotlicommon$suffix" "brotlidec$suffix"
    install_into include "$s/c/include/brotli"
    local name archive
    for name in brotlidec brotlicommon; do
        archive=$(find "$b" -name "lib$name$suffix.a" | head -n 1)
        [ -n "$archive" ] || {
            echo "build-windows-deps: brotli built no lib$name$suffix.a" >&2
            exit 1
        }
        cp "$archive" "$prefix/lib/lib$name.a"
    done
}

# Upstream's default configuration: the engine uses AES and SHA-1 only. The
# warnings of a newer compiler must not stop the build of a release.
build_mbedtls() {
    local s=$1 b=$1/../build
    cmake_build "$s" "$b" -DENABLE_PROGRAMS=OFF -DENABLE_TESTING=OFF \
        -DUSE_STATIC_MBEDTLS_LIBRARY=ON -DUSE_SHARED_MBEDTLS_LIBRARY=OFF \
        -DMBEDTLS_FATAL_WARNINGS=OFF -- mbedcrypto
    install_into include "$s/include/mbedtls" "$s/include/psa"
    install_into lib "$b/library/libmbedcrypto.a"
}

# BLAKE3's C implementation, from the c/ folder that Debian's
# librust-blake3-dev installs (the files of its source package, unchanged;
# the Linux build compiles the same folder), built again only when that
# package's version changes. The folder has no build system of its own for a
# library: the portable code, the run-time dispatch and the SSE2, SSE4.1,
# AVX2 and AVX-512 code in the assembly written for MinGW (GCC cannot keep
# the 32-byte stack alignment that the AVX intrinsics would need on Windows).
build_blake3() {
    ensure_packages librust-blake3-dev
    local version s
    version=$(dpkg-query -W -f='${Version}' librust-blake3-dev)
    [ "$(stamp_field blake3 built)" = "$version" ] && return 0
    s=$(find /usr/share/cargo/registry -maxdepth 3 -path '*/blake3-*/c/blake3.h' | sort -V | tail -n 1)
    s=${s%/blake3.h}
    [ -n "$s" ] || {
        echo "build-windows-deps: librust-blake3-dev holds no c/blake3.h" >&2
        exit 1
    }
    ensure_packages gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    local t=$SECONDS b=$src/blake3/build object objects=()
    rm -rf "$b" && mkdir -p "$b" "$prefix/include" "$prefix/lib" "$stamps"
    for object in blake3 blake3_dispatch blake3_portable blake3_sse2_x86-64_windows_gnu \
        blake3_sse41_x86-64_windows_gnu blake3_avx2_x86-64_windows_gnu \
        blake3_avx512_x86-64_windows_gnu; do
        if [ -f "$s/$object.c" ]; then
            "$host-gcc-posix" -O3 -c "$s/$object.c" -o "$b/$object.o"
        else
            "$host-gcc-posix" -c "$s/$object.S" -o "$b/$object.o"
        fi
        objects+=("$b/$object.o")
    done
    "$host-ar" rcs "$b/libblake3.a" "${objects[@]}"
    install_into include "$s/blake3.h"
    install_into lib "$b/libblake3.a"
    printf 'offered: %s\nbuilt: %s\n' "$version" "$version" >"$stamps/blake3"
    echo "Built BLAKE3 $version for Windows in $((SECONDS - t)) s" >&2
}

# libpng's own CMake build, the static library only; zlib is the MinGW one
# the toolchain finds. pnglibconf.h is generated in the build tree.
build_libpng1_6() {
    local s=$1 b=$1/../build
    cmake_build "$s" "$b" -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF \
        -DPNG_EXECUTABLES=OFF -- png_static
    install_into include "$s/png.h" "$s/pngconf.h" "$b/pnglibconf.h"
    install_into lib "$b/libpng16.a"
}

# libsquish without OpenMP (whose runtime would be a DLL beside kestrune.exe);
# the engine decodes one block at a time and never asks it for threads.
build_libsquish() {
    local s=$1 b=$1/../build
    cmake_build "$s" "$b" -DBUILD_SQUISH_WITH_OPENMP=OFF -DBUILD_SQUISH_EXTRA=OFF -- squish
    install_into include "$s/squish.h"
    install_into lib "$b/libsquish.a"
}

main "$@"
