#!/bin/sh
# Generates a noisy, quiet demo recording (speech over pink noise and hum),
# probes it, enhances it and probes the result.
set -eu
BUILD=${1:-build}
CLI="$BUILD/audioenhancer"
mkdir -p demo
IN=demo/demo_noisy.wav
OUT=demo/demo_enhanced.m4a

if [ ! -f "$IN" ]; then
    espeak-ng -s 145 -w demo/speech.wav "Welcome to the audio enhancer demo. \
This recording was made in a noisy room, far from the microphone. \
The library removes the background noise, shapes the voice for a podcast, \
and levels everything to fourteen LUFS, ready to publish."
    ffmpeg -nostdin -y -v error -i demo/speech.wav \
        -f lavfi -i "anoisesrc=color=pink:amplitude=0.02:sample_rate=44100:duration=30" \
        -f lavfi -i "sine=f=50:sample_rate=44100:duration=30" \
        -filter_complex "[0:a]aresample=44100,volume=0.3,apad=pad_dur=1[s];[1:a]volume=1[n];[2:a]volume=0.004[h];[s][n][h]amix=inputs=3:duration=first:normalize=0,aformat=channel_layouts=stereo" \
        -c:a pcm_s16le "$IN"
    rm -f demo/speech.wav
fi

echo "== probe $IN"
"$CLI" probe "$IN"
echo "== enhance $IN -> $OUT (denoise 6, podcast EQ, loudnorm to -14 LUFS)"
"$CLI" enhance "$IN" "$OUT" --denoise 6 --eq podcast
echo "== probe $OUT"
"$CLI" probe "$OUT"
