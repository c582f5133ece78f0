#!/bin/sh
# Memcheck over the command-line host: valgrind_test.sh CLI WORK SUPP RUN
# RUN is probe, batch or an output extension for enhance (denoise on).
# Passes with no memcheck error and no definite leak.
set -u
CLI=$1 WORK=$2 SUPP=$3 RUN=$4
rm -rf "$WORK" && mkdir -p "$WORK/in" || exit 1
ff() { ffmpeg -nostdin -y -v error -f lavfi -i "$@" || exit 1; }
ff "aevalsrc=0.3*sin(2*PI*300*t)+0.02*(random(0)-0.5)|0.2*sin(2*PI*450*t):s=16000:d=0.5" "$WORK/in.wav"
case $RUN in
    probe) set -- probe "$WORK/in.wav" ;;
    batch)
        ff "sine=f=500:d=0.4:sample_rate=22050" "$WORK/in/a.mp3"
        ff "sine=f=700:d=0.4:sample_rate=48000" -ac 6 "$WORK/in/b.ogg"
        set -- batch "$WORK/in" "$WORK/out" --denoise 3 ;;
    *) set -- enhance "$WORK/in.wav" "$WORK/out.$RUN" --denoise 5 ;;
esac
valgrind -q --error-exitcode=99 --leak-check=full --show-leak-kinds=definite \
    --errors-for-leak-kinds=definite --suppressions="$SUPP" --gen-suppressions=all \
    --log-file="$WORK/memcheck.log" "$CLI" "$@" --json > "$WORK/answer" 2> "$WORK/stderr"
rc=$?
if [ $rc -ne 0 ] || [ -s "$WORK/memcheck.log" ]; then
    echo "FAIL memcheck $RUN: exit $rc"
    cat "$WORK/memcheck.log" "$WORK/stderr"
    exit 1
fi
# The run did its work, so memcheck saw every path it takes.
case $RUN in
    probe) grep -q '"sample_rate":16000' "$WORK/answer" ;;
    batch) grep -q '"processed":2,"failed":0' "$WORK/answer" ;;
    *) [ -s "$WORK/out.$RUN" ] ;;
esac || { echo "FAIL $RUN: unexpected answer"; cat "$WORK/answer" "$WORK/stderr"; exit 1; }
echo "memcheck $RUN: 0 errors, 0 definite leaks"
