#!/bin/sh
# Cross-builds the libraries the Windows DLL imports (FFmpeg 5.1, lame,
# libogg, libvorbis, opus, RNNoise, yyjson) and GoogleTest for the Windows
# tests, from the Debian source packages of the versions this machine's
# Linux build uses. The result goes to a cache outside the work tree, one
# directory per set of source versions and build recipe; a later run with
# the same key only prints the prefix.
#
#   scripts/cross-deps-win64.sh [cache-root]     prints the prefix on stdout
#
# Needs root (or sudo) once, to install the cross tools and add deb-src lines.
set -eu

HOST=x86_64-w64-mingw32
CACHE_ROOT=${1:-${AE_WIN64_CACHE:-/var/cache/audioenhancer-win64}}
JOBS=${JOBS:-2}
SCRIPT=$(readlink -f "$0")
SRC_LIST=/etc/apt/sources.list.d/audioenhancer-src.sources

log() { echo "cross-deps: $*" >&2; }

if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
export DEBIAN_FRONTEND=noninteractive

# The cross tools, Wine for the tests, and what the source packages need to
# configure. Quiet when present.
TOOLS="mingw-w64 gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix wine wine64
dpkg-dev nasm autoconf automake libtool cmake pkg-config make xz-utils"
missing=""
for p in $TOOLS; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    log "installing$missing"
    $SUDO apt-get update -qq >/dev/null
    # shellcheck disable=SC2086
    $SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi

# deb-src entries mirroring the machine's Debian deb entries (same URIs,
# suites and keyrings), for Debian 12 and for unstable, whose RNNoise and
# yyjson the Linux build uses too.
src_entries() {
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] && [ "$f" != "$SRC_LIST" ] || continue
        awk '
            function flush() {
                if (types ~ /(^| )deb( |$)/ && uri != "" && !(uri in seen)) {
                    n = split(suites, s, " "); keep = ""
                    for (i = 1; i <= n; i++)
                        if (s[i] ~ /^(bookworm|stable|unstable|sid)(-updates|-security)?$/) keep = keep " " s[i]
                    if (keep != "") {
                        print "Types: deb-src"; print "URIs: " uri; print "Suites:" keep
                        print "Components: main"; if (key != "") print "Signed-By: " key; print ""
                    }
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
                if (suite ~ /^(bookworm|stable|unstable|sid)(-updates|-security)?$/) {
                    print "Types: deb-src"; print "URIs: " uri; print "Suites: " suite
                    print "Components: main"; if (key != "") print "Signed-By: " key; print ""
                }
            }
        ' "$f"
    done
}

if [ ! -f "$SRC_LIST" ]; then
    entries=$(src_entries)
    if [ -z "$entries" ]; then
        log "no Debian mirror found in the apt configuration"
        exit 1
    fi
    printf '%s\n' "$entries" | $SUDO tee "$SRC_LIST" >/dev/null
    $SUDO apt-get update -qq >/dev/null
fi

# Each source package is named by a binary package the Linux build uses, so
# the Windows build gets exactly the versions apt installs here.
PKGS="ffmpeg:libavcodec-dev lame:libmp3lame-dev libogg:libogg-dev
libvorbis:libvorbis-dev opus:libopus-dev rnnoise:librnnoise-dev
yyjson:libyyjson-dev googletest:googletest"
versions=""
for entry in $PKGS; do
    src=${entry%%:*}
    bin=${entry#*:}
    ver=$(apt-cache policy "$bin" | awk '/Candidate:/ { print $2 }')
    if [ -z "$ver" ] || [ "$ver" = "(none)" ]; then
        log "no candidate for $bin; run scripts/install-deps.sh first"
        exit 1
    fi
    # A binNMU names its source version in parentheses after the source.
    srcver=$(apt-cache show "$bin=$ver" | awk -v v="$ver" '
        /^Source:/ { if ($3 != "") { gsub(/[()]/, "", $3); v = $3 } }
        /^$/ { exit } END { print v }')
    versions="$versions $src=$srcver"
done

# Bumped whenever a change below changes what gets built.
RECIPE=1
KEY=$(echo "$versions recipe=$RECIPE" | sha256sum | cut -c1-16)
PREFIX=$CACHE_ROOT/$KEY
if [ -f "$PREFIX/.complete" ]; then
    echo "$PREFIX"
    exit 0
fi

log "building into $PREFIX:$versions"
$SUDO mkdir -p "$CACHE_ROOT"
[ -n "$SUDO" ] && $SUDO chown "$(id -u):$(id -g)" "$CACHE_ROOT"
WORK=$PREFIX/.work
mkdir -p "$WORK" "$PREFIX/bin" "$PREFIX/lib" "$PREFIX/include"

export PKG_CONFIG_LIBDIR="$PREFIX/lib/pkgconfig"
export PKG_CONFIG_PATH=
CC=$HOST-gcc-posix
CXX=$HOST-g++-posix
TOOLCHAIN=$(dirname "$SCRIPT")/../cmake/mingw-w64-x86_64.cmake

# Fetches every source package first, so a mirror that lacks one stops the
# run before anything is built.
fetch_all() {
    lacking=""
    for entry in $versions; do
        name=${entry%%=*}
        [ -f "$WORK/$name.done" ] && continue
        mkdir -p "$WORK/$name"
        [ -f "$WORK/$name/.fetched" ] && continue
        if (cd "$WORK/$name" && apt-get source -qq -d "$entry" >/dev/null 2>&1); then
            touch "$WORK/$name/.fetched"
        else
            lacking="$lacking $entry"
        fi
    done
    if [ -n "$lacking" ]; then
        log "the apt sources give no complete source package for:$lacking"
        log "(each needs its .dsc and tarballs; 'apt-get source -d NAME=VERSION' shows what is missing)"
        exit 1
    fi
}

# Unpacks one fetched source package, Debian's patches applied, into
# $WORK/<name>/src, afresh.
unpack() {
    rm -rf "${WORK:?}/$1/src"
    (cd "$WORK/$1" && dpkg-source -x --no-check ./*.dsc src >/dev/null 2>&1)
}

# step NAME KIND ARGS...: builds and installs one source package, KIND
# autotools, cmake or ffmpeg. A step an interrupted run finished is kept.
step() {
    name=$1
    kind=$2
    shift 2
    [ -f "$WORK/$name.done" ] && return 0
    log "$name"
    dir=$WORK/$name/src
    logf=$WORK/$name.log
    unpack "$name" || { log "cannot unpack the source of $name"; exit 1; }
    case $name in
        # lame's export list names a function it no longer has, which
        # Windows linkers refuse.
        lame) sed -i '/^lame_init_old$/d' "$dir/include/libmp3lame.sym" ;;
    esac
    case $kind in
        autotools)
            (cd "$dir" && { [ -x configure ] || autoreconf -fi; } &&
                ./configure --host=$HOST --prefix="$PREFIX" --enable-shared --disable-static \
                    CC="$CC" CXX="$CXX" "$@" && make -j"$JOBS" && make install) ;;
        cmake)
            (cmake -S "$dir" -B "$dir/_b" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
                -DCMAKE_INSTALL_PREFIX="$PREFIX" -DCMAKE_BUILD_TYPE=Release "$@" &&
                cmake --build "$dir/_b" -j"$JOBS" && cmake --install "$dir/_b") ;;
        ffmpeg)
            (cd "$dir" && ./configure --prefix="$PREFIX" "$@" && make -j"$JOBS" && make install) ;;
    esac >"$logf" 2>&1 || {
        log "building $name failed; see $logf"
        exit 1
    }
    rm -rf "${WORK:?}/$name"
    touch "$WORK/$name.done"
}

fetch_all
step libogg autotools
step libvorbis autotools --disable-docs --disable-examples --disable-oggtest
# opus turns _FORTIFY_SOURCE on unless it is set; its checks would need
# libssp, which libtool cannot link into a DLL.
step opus autotools --disable-doc --disable-extra-programs CPPFLAGS=-D_FORTIFY_SOURCE=0
step lame autotools --disable-frontend --disable-gtktest
step rnnoise autotools --disable-examples --disable-doc
step yyjson cmake -DBUILD_SHARED_LIBS=ON -DYYJSON_BUILD_TESTS=OFF
step googletest cmake -DBUILD_GMOCK=OFF -Dgtest_force_shared_crt=ON

# FFmpeg: every demuxer, decoder and parser it has; only the encoders and
# muxers of the six output containers; the filters the library runs; the
# file protocol only. Nothing is autodetected, so the build does not depend
# on what else happens to be installed.
FILTERS="abuffer,abuffersink,aformat,anull,aresample,highpass,lowpass,equalizer,bass,treble,\
afftdn,adeclick,volume,loudnorm,ebur128,astats,adelay,atrim,apad,asetpts,alimiter,acompressor,\
asetnsamples"
step ffmpeg ffmpeg --enable-cross-compile --cross-prefix=$HOST- \
    --arch=x86_64 --target-os=mingw32 --cc="$CC" --cxx="$CXX" \
    --pkg-config=pkg-config --pkg-config-flags= \
    --enable-shared --disable-static --disable-programs --disable-doc --disable-debug \
    --disable-autodetect --enable-w32threads --disable-network \
    --disable-avdevice --disable-postproc --disable-swscale \
    --disable-everything --enable-demuxers --enable-decoders --enable-parsers --enable-bsfs \
    --enable-encoder=pcm_s16le,aac,libmp3lame,libvorbis,libopus,flac \
    --enable-muxer=wav,ipod,mp4,mp3,ogg,opus,flac \
    --enable-filter="$FILTERS" --enable-protocol=file \
    --enable-libmp3lame --enable-libvorbis --enable-libopus \
    --extra-cflags="-I$PREFIX/include" --extra-ldflags="-L$PREFIX/lib"

# The runtime DLLs of the posix-thread toolchain, so the DLL set is complete.
for dll in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
    f=$($CXX -print-file-name=$dll)
    [ -f "$f" ] || f=$(find /usr/lib/gcc/$HOST /usr/$HOST/lib -name "$dll" 2>/dev/null | grep -m1 posix || true)
    [ -n "$f" ] && [ -f "$f" ] && cp "$f" "$PREFIX/bin/"
done

echo "$versions" >"$PREFIX/versions"
rm -rf "$WORK"
touch "$PREFIX/.complete"
echo "$PREFIX"
