# Sourced by the other scripts: installs the Debian packages a step needs when
# they are missing, so that a fresh Debian 12 machine can run every command.

# The libraries the engine links on Linux: zlib, the codecs, mbedTLS, BLAKE3's
# C sources (cmake/Blake3.cmake compiles them), and the texture layer's
# libpng, libsquish and astcenc.
ENGINE_LIBRARIES=(zlib1g-dev liblz4-dev liblzma-dev libzstd-dev libbz2-dev libdeflate-dev libmbedtls-dev
    librust-blake3-dev libpng-dev libbrotli-dev libsquish-dev libastcenc-dev)
ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    echo "Installing missing packages: ${missing[*]}" >&2
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Makes sure the locale `name` (e.g. de_DE.UTF-8) is installed, generating it
# from the `locales` package's sources when it is not. Best effort: a machine
# that cannot generate it only skips the tests that need it.
ensure_locale() {
    local name="$1"
    local lang="${name%%.*}"
    local normalized="${lang}.utf8"
    locale -a 2>/dev/null | grep -qix "$normalized" && return 0
    ensure_packages locales
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    echo "Generating locale $name" >&2
    $sudo localedef -i "$lang" -c -f UTF-8 "$name" ||
        echo "Could not generate $name; the tests that need it are skipped" >&2
}
