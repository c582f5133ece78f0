#!/bin/sh
# Writes the seed corpora for the fuzz targets into DIR/{options,probe,enhance}
# from recordings generated here: every container, mono, stereo and 5.1,
# tiny and truncated files.
set -eu
DIR=$1
rm -rf "$DIR" && mkdir -p "$DIR/options" "$DIR/probe" "$DIR/enhance" "$DIR/gen"
G=$DIR/gen

gen() {  # gen NAME CHANNELS [encoder args]
    name=$1 ch=$2; shift 2
    ffmpeg -nostdin -y -v error -f lavfi -i "sine=f=440:d=0.12:sample_rate=16000" \
        -af "pan=$ch|c0=c0" -ac "$(echo "$ch" | sed 's/mono/1/;s/stereo/2/;s/5.1/6/')" \
        "$@" "$G/$name" 2>/dev/null || true
}
for layout in mono stereo 5.1; do
    tag=$(echo "$layout" | tr -d .)
    gen "$tag.wav" "$layout"
    gen "$tag.flac" "$layout"
    gen "$tag.ogg" "$layout" -c:a libvorbis -b:a 48k
    gen "$tag.opus" "$layout" -c:a libopus -b:a 24k
    gen "$tag.m4a" "$layout" -c:a aac -b:a 32k
    gen "$tag.mka" "$layout" -c:a flac
    gen "$tag.aiff" "$layout"
done
gen mono.mp3 mono -c:a libmp3lame -b:a 32k
gen stereo.mp3 stereo -c:a libmp3lame -b:a 32k
gen stereo.ac3 stereo -c:a ac3 -ar 48000
ffmpeg -nostdin -y -v error -f lavfi -i "anullsrc=r=8000:cl=mono" -t 0.001 "$G/tiny.wav"
[ "$(ls "$G" | wc -l)" -ge 20 ] || { echo "seeds: too few recordings generated" >&2; exit 1; }

for f in "$G"/*; do
    b=$(basename "$f")
    cp "$f" "$DIR/probe/$b"
    size=$(wc -c < "$f")
    head -c $((size / 2)) "$f" > "$DIR/probe/half-$b"
    head -c 64 "$f" > "$DIR/probe/head-$b"
done

i=0
for doc in '' '{}' '{"denoise":5}' '{"loudnorm":false}' \
    '{"denoise":9,"eq":"podcast","repair_clicks":true,"normalize_peak":true,"target_lufs":-20}' \
    '{"eq":"voice","target_lufs":-70}' '{"eq":"music","denoise":10.5,"loudnorm":1}' \
    '[1]' '{"denoise":5,}' '{"a":[{"b":null}],"target_lufs":1e400}' '"text"' \
    '{"eq":"\u00e9\ud83d\ude00"}' '{"denoise":-1e308,"target_lufs":0}'; do
    i=$((i + 1))
    printf '%s' "$doc" > "$DIR/options/doc$i"
done

n=0
for f in mono.wav stereo.flac 51.ogg mono.m4a stereo.opus mono.mp3 tiny.wav half-stereo.wav; do
    src=$DIR/probe/$f
    [ -f "$src" ] || continue
    for doc in '' '{"denoise":5}' '{"loudnorm":false,"eq":"podcast","repair_clicks":true}'; do
        n=$((n + 1))
        { printf '%s' "$doc"; printf '\000'; printf "\\$(printf '%03o' $((n % 6)))"; cat "$src"; } \
            > "$DIR/enhance/seed$n"
    done
done
rm -rf "$G"
