#!/bin/sh
# The Windows build answers as the Linux build does: the same probe and
# enhance answers (numbers, codec and container names, applied stages) on the
# same files, made here on the Linux side.
#   parity.sh WIN_CLI LINUX_CLI WORK EMULATOR...
set -u
WIN=$1 LINUX=$2 WORK=$3
shift 3
[ -x "$LINUX" ] || { echo "parity: no Linux build at $LINUX (make build)"; exit 1; }
rm -rf "$WORK" && mkdir -p "$WORK/lin" "$WORK/win" || exit 1
cd "$WORK" || exit 1

gen() { ffmpeg -nostdin -y -v error "$@" || { echo "parity: ffmpeg failed: $*"; exit 1; }; }
gen -f lavfi -i "sine=f=440:sample_rate=44100:d=6" -f lavfi -i "anoisesrc=color=pink:amplitude=0.05:sample_rate=44100:d=6:seed=7" \
    -filter_complex "[0][1]amix=inputs=2:normalize=0,volume=0.3,aformat=channel_layouts=stereo" \
    -c:a pcm_s16le tone_noise.wav
gen -f lavfi -i "aevalsrc=0.2*sin(2*PI*300*t)*sin(2*PI*2*t):s=48000:d=5" -c:a flac mono.flac
gen -i tone_noise.wav -c:a libmp3lame -b:a 128k stereo.mp3
gen -i mono.flac -c:a libvorbis -q:a 4 mono.ogg

# Answers without the output path, which differs by side; \r from Windows
# text mode dropped.
answer() { tr -d '\r' | sed 's/"output":"[^"]*",\{0,1\}//'; }
fail=0 pass=0
check() {  # name linux-answer windows-answer
    if [ -n "$2" ] && [ "$2" = "$3" ]; then
        pass=$((pass + 1))
    else
        fail=$((fail + 1))
        printf 'parity: %s differs\n  linux:   %s\n  windows: %s\n' "$1" "$2" "$3"
    fi
}

for f in tone_noise.wav mono.flac stereo.mp3 mono.ogg; do
    l=$("$LINUX" probe "$f" --json | answer)
    w=$("$@" "$WIN" probe "$f" --json | answer)
    check "probe $f" "$l" "$w"
done
for f in tone_noise.wav mono.flac; do
    for ext in wav flac m4a mp3 ogg opus; do
        for opts in "--denoise 0" "--denoise 8 --eq podcast --repair-clicks"; do
            out=${f%.*}_$(echo "$opts" | tr -dc 'a-z0-9').$ext
            # shellcheck disable=SC2086
            l=$("$LINUX" enhance "$f" "lin/$out" $opts --json | answer)
            # shellcheck disable=SC2086
            w=$("$@" "$WIN" enhance "$f" "win/$out" $opts --json | answer)
            check "enhance $f -> .$ext ($opts)" "$l" "$w"
            if [ "$ext" = wav ] || [ "$ext" = flac ]; then
                check "probe of the .$ext output ($f, $opts)" \
                    "$("$LINUX" probe "lin/$out" --json | answer)" "$("$LINUX" probe "win/$out" --json | answer)"
            fi
        done
    done
done
echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ]
