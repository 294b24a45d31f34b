#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a fixed time on a copy of its seed
# inputs. Usage: tests/fuzz/run.sh [seconds per target, default 20]
# Fails when a target finds a crash, a hang or a broken invariant, naming the input.
set -euo pipefail
seconds=${1:-20}
top=$(cd "$(dirname "$0")/../.." && pwd)
build="$top/build-fuzz"
targets=(fuzz_readers fuzz_grouplist fuzz_shiftjis)

cmake -S "$top/tests/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

# New inputs go to a scratch copy, never into the repository; reproducers stay in the build tree.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in "${targets[@]}"; do
    mkdir -p "$work/$target" "$build/artifacts/$target"
    cp -r "$top/tests/fuzz/corpus/$target/." "$work/$target/"
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        timeout $((seconds + 120)) "$build/$target" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/artifacts/$target/" \
        "$work/$target" >"$work/$target.log" 2>&1 &
done

wait
failed=0
for target in "${targets[@]}"; do
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$target.log" | tail -1)
    if [[ -n $runs ]] && ! grep -q 'invariant broken\|^SUMMARY\|ERROR: libFuzzer' "$work/$target.log"; then
        printf '%-16s ok      %10s runs\n' "$target" "$runs"
    else
        failed=1
        printf '%-16s FAILED\n' "$target"
        grep -E 'invariant broken|^SUMMARY|ERROR: libFuzzer' "$work/$target.log" | head -5 | sed 's/^/    /'
        for reproducer in "$build/artifacts/$target"/*; do
            [[ -e $reproducer ]] && echo "    replay: $build/$target $reproducer"
        done
    fi
done
exit "$failed"
