#!/bin/sh
# Runs fuzz targets: run.sh BUILD_DIR WORK_DIR runs|seconds N TARGET...
# Seeds are generated into WORK_DIR/seeds, new inputs kept in
# WORK_DIR/corpus/<target>, findings written to WORK_DIR/findings.
# Prints each target's executions and exits non-zero on any finding.
set -u
BUILD=$1 WORK=$2 MODE=$3 N=$4
shift 4
HERE=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$WORK/findings"
if [ ! -f "$WORK/seeds/.done" ]; then
    sh "$HERE/seeds.sh" "$WORK/seeds" || exit 1
    touch "$WORK/seeds/.done"
fi
case $MODE in
    runs) limit="-runs=$N" ;;
    seconds) limit="-max_total_time=$N" ;;
    *) echo "run.sh: mode is runs or seconds" >&2; exit 2 ;;
esac
# Decoding stops well below the memory libFuzzer allows the process.
export AE_MAX_DECODED_MB=${AE_MAX_DECODED_MB:-256} AE_THREADS=${AE_THREADS:-1}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export LSAN_OPTIONS=suppressions=$HERE/../lsan.supp
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for t in "$@"; do
    mkdir -p "$WORK/corpus/$t"
    log=$WORK/$t.log
    "$BUILD/tests/fuzz/fuzz_$t" "$limit" -max_len=32768 -timeout=60 -rss_limit_mb=3072 \
        -print_final_stats=1 -artifact_prefix="$WORK/findings/$t-" \
        "$WORK/corpus/$t" "$WORK/seeds/$t" > "$log" 2>&1
    rc=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1)
    if [ $rc -ne 0 ]; then
        echo "fuzz_$t: FINDING after ${execs:-?} executions (exit $rc), log $log:"
        grep -A 30 -m 1 'ERROR\|runtime error\|==[0-9]*==' "$log" | head -n 40
        ls "$WORK/findings" | sed -n "/^$t-/p"
        status=1
    else
        echo "fuzz_$t: ${execs:-?} executions, ${cov:-cov: ?} edges, corpus $(ls "$WORK/corpus/$t" | wc -l) new inputs, no findings"
    fi
done
exit $status
