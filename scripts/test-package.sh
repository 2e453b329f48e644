#!/usr/bin/env bash
# Checks what a user installs: the man page renders without a warning, the
# bash completion offers the commands, options and package files,
# `cmake --install` puts every file under a prefix, and the Debian package
# from CPack holds them and installs into a scratch root, where its kestrune
# and its man page work.
# Usage: scripts/test-package.sh [BUILD_DIR]   (default build/ci, built already)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages groff-base man-db dpkg-dev

build=${1:-build/ci}
version=$(sed -n 's/^project(Kestrune VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/kestrune-package.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
fail() {
    echo "test-package: $*" >&2
    exit 1
}

# The man page: groff's warnings all on, none given.
groff -man -ww -Tutf8 docs/kestrune.1 >"$scratch/page.txt" 2>"$scratch/warnings.txt"
[ ! -s "$scratch/warnings.txt" ] || fail "groff warns about docs/kestrune.1: $(cat "$scratch/warnings.txt")"
grep -q -- '--include' "$scratch/page.txt" || fail "the man page lost its options"

# The completion, as bash runs it.
mkdir "$scratch/pkgs" "$scratch/pkgs/sub"
touch "$scratch/pkgs/doom.wad" "$scratch/pkgs/notes.txt"
completion=$PWD/completion/kestrune.bash
completed=$(cd "$scratch/pkgs" && bash -c '
    . "$0"
    complete_words() {
        COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); COMPREPLY=()
        _kestrune; printf "%s " "${COMPREPLY[@]}"; echo
    }
    complete_words kestrune --tr
    complete_words kestrune --tree --ext
    complete_words kestrune --list ""
' "$completion")
[ "$(sed -n 1p <<<"$completed")" = "--tree " ] || fail "completion of --tr: $completed"
[ "$(sed -n 2p <<<"$completed")" = "--extract " ] || fail "completion of --ext: $completed"
grep -q 'doom.wad' <<<"$(sed -n 3p <<<"$completed")" || fail "completion of a package: $completed"
! grep -q 'notes.txt' <<<"$(sed -n 3p <<<"$completed")" || fail "completion offers a text file"

# cmake --install to a prefix.
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
for file in bin/kestrune share/man/man1/kestrune.1 share/bash-completion/completions/kestrune \
    share/doc/kestrune/LICENSE; do
    [ -f "$scratch/prefix/$file" ] || fail "cmake --install did not install $file"
done
[ "$("$scratch/prefix/bin/kestrune" --version)" = "kestrune $version" ] || fail "installed --version"

# The Debian package: its contents, then installed into a scratch root.
(cd "$build" && cpack -G DEB -B "$scratch/cpack" >"$scratch/cpack.log" 2>&1) ||
    fail "cpack: $(cat "$scratch/cpack.log")"
deb=$(ls "$scratch"/cpack/kestrune_"$version"_*.deb)
dpkg-deb --contents "$deb" >"$scratch/contents.txt"
for file in ./usr/bin/kestrune ./usr/share/man/man1/kestrune.1 \
    ./usr/share/bash-completion/completions/kestrune ./usr/share/doc/kestrune/LICENSE; do
    grep -q " $file\$" "$scratch/contents.txt" || fail "the .deb lacks $file"
done
root=$scratch/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
# The scratch root has no other package: its libraries come from this system.
dpkg --root="$root" --log=/dev/null --force-depends --force-not-root -i "$deb" \
    >"$scratch/dpkg.log" 2>&1 || fail "dpkg -i: $(cat "$scratch/dpkg.log")"
[ "$("$root/usr/bin/kestrune" --version)" = "kestrune $version" ] || fail "--version of the .deb's kestrune"
MANWIDTH=80 man -l "$root/usr/share/man/man1/kestrune.1" 2>"$scratch/man-warnings.txt" |
    grep -q 'kestrune - list, check and extract' || fail "man -l of the .deb's page"
[ ! -s "$scratch/man-warnings.txt" ] || fail "man warns: $(cat "$scratch/man-warnings.txt")"
echo "man page, completion, install and $(basename "$deb"): all present and working"
