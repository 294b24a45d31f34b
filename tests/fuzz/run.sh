#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a fixed time on a copy of its seed
# inputs. Usage: tests/fuzz/run.sh [seconds per target, default 20]
# Fails when a target finds a crash, a hang or a broken invariant, naming the input that did it.
set -euo pipefail
seconds=${1:-20}
top=$(cd "$(dirname "$0")/../.." && pwd)
build="$top/build-fuzz"
targets=(fuzz_integers fuzz_splitfields fuzz_datekey fuzz_grouplist
         fuzz_urlencoder fuzz_readers)
lanes=$(nproc)

cmake -S "$top/tests/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j"$lanes" >/dev/null

# New inputs go to a scratch copy, never into the repository; reproducers stay in the build tree.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
artifacts="$build/artifacts"
rm -rf "$artifacts"

run_target() {
    local target=$1
    mkdir -p "$work/$target" "$artifacts/$target"
    cp -r "$top/tests/fuzz/corpus/$target/." "$work/$target/"
    local rc=0
    # Short of libFuzzer's own limits, the outer one only catches a target that never starts.
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        timeout $((seconds + 120)) "$build/$target" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/$target/" \
        "$work/$target" >"$work/$target.log" 2>&1 || rc=$?
    echo "$rc" >"$work/$target.rc"
}

for target in "${targets[@]}"; do
    while (($(jobs -rp | wc -l) >= lanes)); do
        wait -n || true
    done
    run_target "$target" &
done
wait

failed=0
for target in "${targets[@]}"; do
    log="$work/$target.log"
    rc=$(cat "$work/$target.rc" 2>/dev/null || echo "no result")
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    if [[ -z $runs ]]; then
        # A run that died prints no final statistics: take its last progress line.
        runs=$(sed -n 's/^#\([0-9][0-9]*\).*/\1/p' "$log" | tail -1)
        rate=$(sed -n 's/.*exec\/s: \([0-9][0-9]*\).*/\1/p' "$log" | tail -1)
    fi
    if [[ $rc == 0 ]]; then
        printf '%-18s ok      %10s runs %8s exec/s\n' "$target" "${runs:-?}" "${rate:-?}"
    else
        failed=1
        printf '%-18s FAILED  %10s runs %8s exec/s (exit %s)\n' "$target" "${runs:-?}" \
            "${rate:-?}" "$rc"
        grep -E 'invariant broken|^SUMMARY|ERROR: libFuzzer' "$log" | head -5 | sed 's/^/    /'
        for reproducer in "$artifacts/$target"/*; do
            [[ -e $reproducer ]] || continue
            echo "    reproducer: $reproducer"
            echo "    replay:     $build/$target $reproducer"
        done
    fi
done
exit "$failed"
