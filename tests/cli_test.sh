#!/bin/sh
# Exit codes and output streams of the command-line host.
set -u
CLI=$1
WORK=$2
rm -rf "$WORK" && mkdir -p "$WORK/in" || exit 1
fails=0
check() {  # check NAME EXPECTED_RC ACTUAL_RC
    if [ "$2" != "$3" ]; then echo "FAIL $1: exit $3, want $2"; fails=$((fails + 1)); fi
}
has() {  # has NAME FILE TEXT
    if ! grep -qF -- "$3" "$2"; then echo "FAIL $1: '$3' not in $2:"; cat "$2"; fails=$((fails + 1)); fi
}

ffmpeg -nostdin -y -v error -f lavfi -i "sine=f=440:d=1:sample_rate=44100" -af volume=-20dB "$WORK/in/tone.wav" || exit 1
printf 'not audio' > "$WORK/in/broken.mp3"

"$CLI" version > "$WORK/out" 2>&1; check version 0 $?
has version "$WORK/out" "1.0.1 (libavformat "

"$CLI" > "$WORK/out" 2>&1; check no-args 2 $?
has no-args "$WORK/out" "usage:"
"$CLI" frobnicate x > "$WORK/out" 2>&1; check unknown-command 2 $?

"$CLI" probe "$WORK/in/tone.wav" > "$WORK/out" 2> "$WORK/err"; check probe 0 $?
has probe "$WORK/out" '{"duration_s":1.0,"sample_rate":44100,"channels":1,'
"$CLI" probe "$WORK/missing.wav" > "$WORK/out" 2> "$WORK/err"; check probe-missing 1 $?
has probe-missing "$WORK/err" "file not found: $WORK/missing.wav"

"$CLI" enhance "$WORK/in/tone.wav" "$WORK/o.wav" --denoise eleven > "$WORK/out" 2>&1
check bad-denoise 2 $?
has bad-denoise "$WORK/out" "--denoise takes a whole number from 0 to 10"
"$CLI" enhance "$WORK/in/tone.wav" "$WORK/o.wav" --loud > "$WORK/out" 2>&1; check unknown-flag 2 $?
"$CLI" enhance "$WORK/in/tone.wav" "$WORK/o.wav" --eq > "$WORK/out" 2>&1; check missing-value 2 $?

"$CLI" enhance "$WORK/in/tone.wav" "$WORK/o.flac" --eq voice > "$WORK/out" 2> "$WORK/err"
check enhance 0 $?
has enhance "$WORK/out" '"applied":["loudnorm","eq_voice"]'
has enhance-summary "$WORK/err" "LUFS"
"$CLI" enhance "$WORK/in/tone.wav" "$WORK/o.xyz" --no-loudnorm > "$WORK/out" 2> "$WORK/err"
check enhance-bad-ext 1 $?
has enhance-bad-ext "$WORK/err" "unsupported output extension .xyz"
"$CLI" enhance "$WORK/in/tone.wav" "$WORK/o2.wav" --options '{"loudnorm":false}' > "$WORK/out" 2>&1
check enhance-options 0 $?
has enhance-options "$WORK/out" '"applied":[]'

"$CLI" batch "$WORK/in" "$WORK/outdir" --no-loudnorm > "$WORK/out" 2> "$WORK/err"
check batch-some-failed 3 $?
has batch-line "$WORK/err" "tone.wav: ok -> tone.wav"
has batch-line "$WORK/err" "broken.mp3: failed: "
rm "$WORK/in/broken.mp3"
"$CLI" batch "$WORK/in" "$WORK/outdir" --no-loudnorm > "$WORK/out" 2> "$WORK/err"
check batch-ok 0 $?
"$CLI" batch "$WORK/missing" "$WORK/outdir" > "$WORK/out" 2> "$WORK/err"
check batch-missing 1 $?
has batch-missing "$WORK/err" "input dir not found: $WORK/missing"

[ $fails -eq 0 ] && echo "cli: all checks passed"
exit $fails
