#!/bin/sh
# Runs every benchmark against a 10-minute stereo 44.1 kHz recording.
set -eu
BUILD=${1:-build}
MINUTES=${2:-10}
python3 bench/probe_bench.py "$BUILD" "$MINUTES"
python3 bench/enhance_bench.py "$BUILD" "$MINUTES"
"$BUILD/bench/denoise_bench" "$MINUTES"
