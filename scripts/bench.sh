#!/bin/sh
# usage: scripts/bench.sh [BUILD_DIR]     (what `make bench` runs)
#   BENCH_MINUTES="3 10"  lengths of the main table; "3 10 60" adds the 60-minute point
#   BENCH_REPEATS=3       ours/peer pairs per row and runs per batch setting
#   BENCH_EXTRA=1         also the denoise-stage and Dask cluster benchmarks (a few
#                         minutes more; off by default)
# e.g. make bench BENCH_MINUTES="3 10 60"
set -eu
BUILD=${1:-build}
# shellcheck disable=SC2086 # the minutes are words on purpose
python3 bench/bench.py "$BUILD" ${BENCH_MINUTES:-3 10} --repeats "${BENCH_REPEATS:-3}"
if [ "${BENCH_EXTRA:-0}" = 1 ]; then
  echo
  "$BUILD/bench/denoise_bench" 10
  echo
  /usr/bin/python3 bench/cluster_bench.py "$BUILD"
fi
