#!/usr/bin/env bash
# CI's fuzzing, with the libFuzzer build of the target (both sanitizers):
# every regression and real file replayed once, then SECONDS_EACH of fuzzing
# per encoding. Any failure fails the run; a crashing input stays in the
# crash folder and is printed in base64, so that the CI log keeps it.
set -uo pipefail
fuzzer=$1 crashes=$2 seconds_each=${3:-60}
mkdir -p "$crashes"

keep_and_fail() {
    echo "fuzz: $1" >&2
    for f in "$crashes"/*; do
        [ -f "$f" ] || continue
        echo "fuzz input kept: $f (base64):" >&2
        base64 -w 76 "$f" >&2
    done
    exit 1
}

"$fuzzer" -runs=1 -artifact_prefix="$crashes/" fuzz/regressions/* tests/data/written/*.pcd > "$crashes/../replay.log" 2>&1 \
    || { tail -40 "$crashes/../replay.log" >&2; keep_and_fail "a regression or real file failed"; }
echo "fuzz: replayed $(ls fuzz/regressions/* tests/data/written/*.pcd | wc -l) inputs"

for encoding in ascii binary binary_compressed; do
    corpus=$(dirname "$crashes")/corpus-$encoding
    mkdir -p "$corpus"
    cp -n tests/data/written/*."$encoding".pcd "$corpus"/
    log=$(dirname "$crashes")/fuzz-$encoding.log
    "$fuzzer" -max_total_time="$seconds_each" -timeout=10 -rss_limit_mb=2048 -max_len=16384 -dict=fuzz/pcd.dict \
        -artifact_prefix="$crashes/" -print_final_stats=1 "$corpus" fuzz/regressions > "$log" 2>&1 \
        || { tail -60 "$log" >&2; keep_and_fail "$encoding: the fuzzer stopped on a failure"; }
    echo "fuzz: $encoding: $(grep -m1 -o 'stat::number_of_executed_units: [0-9]*' "$log" | cut -d' ' -f2) runs in ${seconds_each} s"
done
