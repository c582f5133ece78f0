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

"$CLI" --help > "$WORK/out" 2>&1; check help 0 $?
has help "$WORK/out" "enhance IN OUT"
"$CLI" --version > "$WORK/out" 2>&1; check --version 0 $?
has --version "$WORK/out" "1.0.1 (libavformat "
for sub in probe enhance batch; do
    "$CLI" $sub --help > "$WORK/out" 2>&1; check "$sub --help" 0 $?
    has "$sub --help" "$WORK/out" "usage: audioenhancer $sub"
    has "$sub --help" "$WORK/out" "example"
done
has "enhance --help" "$WORK/out" "(default -14)"

"$CLI" probe "$WORK/in/tone.wav" --json > "$WORK/out" 2> "$WORK/err"; check probe 0 $?
has probe "$WORK/out" '{"duration_s":1.0,"sample_rate":44100,"channels":1,'
"$CLI" probe "$WORK/in/tone.wav" > "$WORK/out" 2> "$WORK/err"; check probe-table 0 $?
has probe-table "$WORK/out" "sample rate    44100 Hz"
has probe-table "$WORK/out" "container      wav"
[ -s "$WORK/err" ] && { echo "FAIL probe-table: stderr not empty"; fails=$((fails + 1)); }
"$CLI" probe "$WORK/in/tone.wav" --pretty > "$WORK/out" 2> "$WORK/err"; check probe-pretty 0 $?
has probe-pretty "$WORK/out" '  "sample_rate": 44100,'
"$CLI" probe "$WORK/missing.wav" > "$WORK/out" 2> "$WORK/err"; check probe-missing 2 $?
has probe-missing "$WORK/err" "no such file: $WORK/missing.wav"
"$CLI" probe "$WORK/in/broken.mp3" > "$WORK/out" 2> "$WORK/err"; check probe-broken 1 $?
has probe-broken "$WORK/err" "audioenhancer: cannot open input $WORK/in/broken.mp3"

"$CLI" enhance "$WORK/in/tone.wav" "$WORK/o.wav" --denoise eleven > "$WORK/out" 2>&1
check bad-denoise 2 $?
has bad-denoise "$WORK/out" "--denoise takes a whole number from 0 to 10"
"$CLI" enhance "$WORK/in/tone.wav" "$WORK/o.wav" --loud > "$WORK/out" 2>&1; check unknown-flag 2 $?
"$CLI" enhance "$WORK/in/tone.wav" "$WORK/o.wav" --eq > "$WORK/out" 2>&1; check missing-value 2 $?

"$CLI" enhance "$WORK/in/tone.wav" "$WORK/o.wav" --target=-3 > "$WORK/out" 2>&1; check unknown-flag2 2 $?
"$CLI" enhance "$WORK/in/tone.wav" "$WORK/o.wav" --target -80 > "$WORK/out" 2>&1; check bad-target 2 $?
"$CLI" enhance "$WORK/missing.wav" "$WORK/o.wav" > "$WORK/out" 2>&1; check enhance-missing 2 $?
"$CLI" enhance "$WORK/in/tone.wav" "$WORK/o.wav" --options '[1]' > "$WORK/out" 2>&1; check bad-options 2 $?
[ -e "$WORK/o.wav" ] && { echo "FAIL: a usage error wrote an output"; fails=$((fails + 1)); }

"$CLI" enhance "$WORK/in/tone.wav" "$WORK/o.flac" --eq voice --json > "$WORK/out" 2> "$WORK/err"
check enhance 0 $?
has enhance "$WORK/out" '"applied":["loudnorm","eq_voice"]'
has enhance-summary "$WORK/err" "LUFS"
"$CLI" enhance "$WORK/in/tone.wav" "$WORK/o.ogg" --denoise 3 --repair-clicks > "$WORK/out" 2> "$WORK/err"
check enhance-table 0 $?
has enhance-table "$WORK/out" "applied    denoise, loudnorm, repair_clicks"
[ -s "$WORK/err" ] && { echo "FAIL enhance-table: status line without a terminal"; fails=$((fails + 1)); }
"$CLI" enhance "$WORK/in/tone.wav" "$WORK/o.xyz" --no-loudnorm > "$WORK/out" 2> "$WORK/err"
check enhance-bad-ext 1 $?
has enhance-bad-ext "$WORK/err" "unsupported output extension .xyz"
"$CLI" enhance "$WORK/in/tone.wav" "$WORK/o2.wav" --options '{"loudnorm":false}' --json > "$WORK/out" 2>&1
check enhance-options 0 $?
has enhance-options "$WORK/out" '"applied":[]'

"$CLI" batch "$WORK/in" "$WORK/outdir" --no-loudnorm --json > "$WORK/out" 2> "$WORK/err"
check batch-some-failed 3 $?
has batch-json "$WORK/out" '"processed":1,"failed":1,"skipped":0'
has batch-line "$WORK/err" "ok -> tone.wav"
has batch-line "$WORK/err" "failed: cannot open input"
has batch-line "$WORK/err" "total: 1 processed, 1 failed"
rm "$WORK/in/broken.mp3"
"$CLI" batch "$WORK/in" "$WORK/outdir" --no-loudnorm > "$WORK/out" 2> "$WORK/err"
check batch-ok 0 $?
has batch-ok "$WORK/out" "total: 1 processed, 0 failed"
"$CLI" batch "$WORK/missing" "$WORK/outdir" > "$WORK/out" 2> "$WORK/err"
check batch-missing 2 $?
mkdir -p "$WORK/empty"
"$CLI" batch "$WORK/empty" "$WORK/outdir" > "$WORK/out" 2> "$WORK/err"
check batch-empty 1 $?
has batch-empty "$WORK/err" "no audio files found in $WORK/empty"

# On a terminal, long work shows a live status line on stderr.
if command -v script >/dev/null 2>&1; then
    script -qec "'$CLI' enhance '$WORK/in/tone.wav' '$WORK/tty.wav' 2>&1" /dev/null > "$WORK/tty" 2>&1
    has status-line "$WORK/tty" "enhancing $WORK/in/tone.wav ... "
fi

[ $fails -eq 0 ] && echo "cli: all checks passed"
exit $fails
