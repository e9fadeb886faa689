#!/bin/sh
# Runs each fuzz target for a bounded time from its generated seed corpus
# and prints one line per target: executions, coverage, corpus.
#   run_fuzzers.sh <fuzz build dir> <seconds per target> [target ...]
# A target that finds a fault is reported with its input kept under
# <build>/fuzz-artifacts/; the others still run, and the script then fails.
# FUZZ_CI=1 makes the run repeatable: a fixed random seed, a fixed number of
# executions per target (the time is then only a safety cap) and a corpus
# made afresh from the seed generators, so CI explores exactly the inputs a
# developer's `make fuzz-ci` explored.
# Inputs that once found a fault live in fuzz/found/<target>/, one folder per
# target; each target replays its own before it explores, and a replay that
# fails fails the run like a new fault.
set -eu
build=$1
seconds=$2
shift 2
targets=${*:-"stream param calib_mount zip cmd lens frame_file calib_pkg rec"}

corpus_root=$build/fuzz-corpus
if [ -n "${FUZZ_CI:-}" ]; then
    corpus_root=$build/fuzz-ci-corpus
    rm -rf "$corpus_root"
fi
artifacts=$build/fuzz-artifacts
found_root=$(dirname "$0")/found
mkdir -p "$corpus_root" "$artifacts"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

max_len() {
    case $1 in
    cmd) echo 512 ;;
    calib_mount) echo 262144 ;;
    *) echo 65536 ;;
    esac
}

seed_kind() {
    case $1 in
    calib_mount) echo param ;;
    *) echo "$1" ;;
    esac
}

# Executions per target in a repeatable run: about five seconds each here.
ci_runs() {
    case $1 in
    stream) echo 30000 ;;
    param) echo 80000 ;;
    calib_mount) echo 1500 ;;
    zip) echo 8000 ;;
    cmd) echo 500 ;;
    lens) echo 4000 ;;
    frame_file) echo 5000 ;;
    calib_pkg) echo 25 ;;
    rec) echo 10000 ;;
    *) echo 1000 ;;
    esac
}

# FUZZ_SEED fixes the fuzzer's random seed.
seed_opt=""
if [ -n "${FUZZ_SEED:-}" ]; then seed_opt="-seed=$FUZZ_SEED"; fi
if [ -n "${FUZZ_CI:-}" ]; then seed_opt="-seed=${FUZZ_SEED:-1}"; fi

failed=""
printf '%-12s %10s %8s %8s %8s %s\n' target execs exec/s cov ft corpus
for t in $targets; do
    corpus=$corpus_root/$t
    found=$found_root/$t
    if [ -d "$found" ] && [ -n "$(ls -A "$found")" ]; then
        if ! "$build/fuzz/fuzz_$t" -runs=1 "$found"/* >"$build/fuzz-$t-found.log" 2>&1; then
            tail -n 40 "$build/fuzz-$t-found.log"
            echo "fuzz_$t fails on an input kept in $found" >&2
            failed="$failed $t(found)"
        fi
    fi
    "$build/fuzz/fuzz_seed_gen" "$(seed_kind "$t")" "$corpus"
    log=$build/fuzz-$t.log
    runs_opt=""
    if [ -n "${FUZZ_CI:-}" ]; then runs_opt="-runs=$(ci_runs "$t")"; fi
    if ! "$build/fuzz/fuzz_$t" -max_total_time="$seconds" $runs_opt -max_len="$(max_len "$t")" -timeout=20 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/$t-" $seed_opt \
        "$corpus" >"$log" 2>&1; then
        tail -n 40 "$log"
        echo "fuzz_$t found a fault; input kept in $artifacts" >&2
        failed="$failed $t"
    fi
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
    ft=$(grep -o 'ft: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
    files=$(find "$corpus" -type f | wc -l)
    printf '%-12s %10s %8s %8s %8s %s\n' "$t" "$execs" "$rate" "$cov" "$ft" "$files"
done
if [ -n "$failed" ]; then
    echo "faults found by:$failed" >&2
    exit 1
fi
