#!/usr/bin/env bash
# Builds the program and starts it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/deps.sh" run
# Ninja builds a clean tree faster than make; a folder configured before keeps its generator.
export CMAKE_GENERATOR=${CMAKE_GENERATOR:-Ninja}
cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$top/build" -j"$(nproc)" --target newsbench
exec "$top/build/app/newsbench"
