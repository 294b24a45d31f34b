#!/usr/bin/env bash
# Builds the benchmark programs in a Release tree and runs them one after another. Each
# prints its figures against a baseline measured in the same run, and "target met: yes/no".
#   bench/run.sh [build-dir]        default: build-bench at the top of the work tree
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-bench}
# bench also brings wrk and nginx for bench_reportd.
"$top/scripts/deps.sh" bench
# Ninja builds a clean tree faster than make; a folder configured before keeps its generator.
export CMAKE_GENERATOR=${CMAKE_GENERATOR:-Ninja}
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target newsbench_benchmarks

# No desktop needed; a private runtime directory keeps Qt from complaining about its absence.
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
if [[ -z "${XDG_RUNTIME_DIR:-}" ]]; then
    XDG_RUNTIME_DIR=$(mktemp -d)
    export XDG_RUNTIME_DIR
    trap 'rm -rf "$XDG_RUNTIME_DIR"' EXIT
fi

cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
memory=$(awk '/MemTotal/ {printf "%.1f GB", $2 / 1048576}' /proc/meminfo)
echo "machine: $(nproc) CPUs, $cpu, $memory; load average $(cut -d' ' -f1-3 /proc/loadavg)"

status=0
for program in bench_list bench_speed bench_memory bench_idle bench_retention bench_articles bench_reportd; do
    echo
    "$build/bench/$program" || status=1
done
exit $status
