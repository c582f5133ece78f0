#!/bin/sh
# Installs everything the build, the demo, the tests and the benchmarks need
# on Debian 12: the build (cmake, pkg-config, FFmpeg's -dev packages,
# GoogleTest), fixtures and reference runs (ffmpeg, espeak-ng), the Python
# tests and the Dask cluster (python3, dask, distributed), memcheck (valgrind),
# ThreadSanitizer (libtsan2) and the fuzz stage (clang with its sanitizer and
# libFuzzer runtimes, libclang-rt-14-dev).
# Idempotent and quiet when everything is present. RNNoise and yyjson are not
# in Debian 12; they come from Debian's unstable suite, added as an extra
# source pinned so low that nothing else is ever taken from it.
set -eu

BASE_PKGS="build-essential cmake pkg-config make libavformat-dev libavcodec-dev
libavfilter-dev libavutil-dev libswresample-dev libgtest-dev ffmpeg
espeak-ng python3 clang libclang-rt-14-dev valgrind python3-distributed python3-dask libtsan2"
EXTRA_PKGS="librnnoise-dev libyyjson-dev"

SOURCES=/etc/apt/sources.list.d/audioenhancer-unstable.sources
PREFS=/etc/apt/preferences.d/audioenhancer-unstable

missing=""
for p in $BASE_PKGS $EXTRA_PKGS; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
else
    SUDO=
fi

# Find the machine's main Debian mirror and its keyring: the entry that
# carries the stable suite (not -security / -updates), in either the deb822
# (*.sources) or the one-line (*.list, sources.list) format.
find_mirror() {
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk '
            function flush() {
                if (types ~ /(^| )deb( |$)/ && uri != "" && suites ~ /(^| )(bookworm|stable)( |$)/ && !done) {
                    print uri "|" key; done = 1
                }
                types = ""; uri = ""; suites = ""; key = ""
            }
            /^[ \t]*#/ { next }
            /^[ \t]*$/ { flush(); next }
            /^Types:/     { sub(/^Types:[ \t]*/, ""); types = $0 }
            /^URIs:/      { sub(/^URIs:[ \t]*/, ""); uri = $1 }
            /^Suites:/    { sub(/^Suites:[ \t]*/, ""); suites = $0 }
            /^Signed-By:/ { sub(/^Signed-By:[ \t]*/, ""); key = $1 }
            END { flush() }
        ' "$f"
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        awk '
            /^[ \t]*deb[ \t]/ {
                key = ""; i = 2
                if ($2 ~ /^\[/) {
                    for (; i <= NF; i++) {
                        if ($i ~ /signed-by=/) { k = $i; sub(/.*signed-by=/, "", k); sub(/\]$/, "", k); key = k }
                        if ($i ~ /\]$/) { i++; break }
                    }
                }
                uri = $i; suite = $(i + 1)
                if (suite == "bookworm" || suite == "stable") { print uri "|" key; exit }
            }
        ' "$f"
    done
}

if [ ! -f "$SOURCES" ]; then
    line=$(find_mirror | head -n 1)
    if [ -z "$line" ]; then
        echo "install-deps: no Debian 12 mirror found in the apt configuration" >&2
        exit 1
    fi
    uri=${line%%|*}
    key=${line#*|}
    {
        echo "Types: deb"
        echo "URIs: $uri"
        echo "Suites: unstable"
        echo "Components: main"
        [ -n "$key" ] && echo "Signed-By: $key"
    } | $SUDO tee "$SOURCES" >/dev/null
    $SUDO tee "$PREFS" >/dev/null <<'PIN'
Package: *
Pin: release a=unstable
Pin-Priority: 1

Package: librnnoise0 librnnoise-dev libyyjson0 libyyjson-dev
Pin: release a=unstable
Pin-Priority: 500
PIN
fi

export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq >/dev/null
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $BASE_PKGS $EXTRA_PKGS >/dev/null
