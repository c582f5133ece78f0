#!/bin/sh
# Installs the built tree into a scratch prefix, then builds two tiny C hosts
# against it, one with pkg-config and one with find_package, and runs them.
set -eu
BUILD=$1
WORK=$2
PREFIX="$WORK/prefix"
rm -rf "$WORK" && mkdir -p "$WORK"
cmake --install "$BUILD" --prefix "$PREFIX" >/dev/null

for f in include/audioenhancer.h lib/libaudioenhancer.so lib/pkgconfig/audioenhancer.pc \
         lib/cmake/audioenhancer/audioenhancerConfig.cmake bin/audioenhancer; do
    [ -e "$PREFIX/$f" ] || { echo "missing $f"; exit 1; }
done
soname=$(readelf -d "$PREFIX/lib/libaudioenhancer.so" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
[ "$soname" = "libaudioenhancer.so.1" ] || { echo "SONAME is '$soname'"; exit 1; }

cat > "$WORK/host.c" <<'C'
#include <stdio.h>
#include <string.h>
#include <audioenhancer.h>
int main(int argc, char **argv) {
    const char *json = NULL;
    if (argc != 2 || audioenhancer_probe(argv[1], &json) != 0) {
        fprintf(stderr, "probe failed: %s\n", audioenhancer_last_error());
        return 1;
    }
    puts(json);
    return strstr(json, "\"sample_rate\":22050") ? 0 : 1;
}
C
ffmpeg -nostdin -y -v error -f lavfi -i "sine=f=300:d=1:sample_rate=22050" "$WORK/tone.wav"

export PKG_CONFIG_PATH="$PREFIX/lib/pkgconfig"
cc "$WORK/host.c" -o "$WORK/host_pc" $(pkg-config --cflags --libs audioenhancer)
LD_LIBRARY_PATH="$PREFIX/lib" "$WORK/host_pc" "$WORK/tone.wav"

mkdir -p "$WORK/consumer"
cp "$WORK/host.c" "$WORK/consumer/host.c"
cat > "$WORK/consumer/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.16)
project(consumer C)
find_package(audioenhancer 1.0 REQUIRED)
add_executable(host host.c)
target_link_libraries(host PRIVATE audioenhancer::audioenhancer)
CM
cmake -S "$WORK/consumer" -B "$WORK/consumer/build" -DCMAKE_PREFIX_PATH="$PREFIX" >/dev/null
cmake --build "$WORK/consumer/build" >/dev/null
"$WORK/consumer/build/host" "$WORK/tone.wav"
"$PREFIX/bin/audioenhancer" version
echo "install: ok"
