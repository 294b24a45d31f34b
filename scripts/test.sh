#!/usr/bin/env bash
# Installs what the tests need, starts the test news server, builds and runs every test:
# once in a normal build and once under AddressSanitizer and UndefinedBehaviorSanitizer,
# with the fuzz targets for a short fixed time in between.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)

"$top/scripts/deps.sh" test
# Ninja builds a clean tree faster than make; a folder configured before keeps its generator.
export CMAKE_GENERATOR=${CMAKE_GENERATOR:-Ninja}
# A desktop locale with a decimal comma, for the report's number format.
if ! locale -a | grep -ix 'de_DE.utf8' >/dev/null; then
    "${sudo[@]}" localedef -i de_DE -c -f UTF-8 de_DE.UTF-8
fi
# The news server and the database the tests talk to are the tests' own, each in a folder of
# its own on free ports; what this script starts, it stops again, however it ends.
# Quietly: the last lines of the output are the tests' summary.
stop_servers() {
    "$top/scripts/inn/sample-server.sh" stop >/dev/null 2>&1 || true
    "$top/scripts/postgres-test.sh" stop >/dev/null 2>&1 || true
}
trap stop_servers EXIT
"$top/scripts/inn/sample-server.sh" start
# The report service's tests run once more against PostgreSQL. Without one they say so and
# skip on a developer's machine; in CI, where the script runs as root, that is a failure.
if NEWSBENCH_TEST_POSTGRES=$("$top/scripts/postgres-test.sh" start); then
    export NEWSBENCH_TEST_POSTGRES
elif [[ ${CI:-} == true ]]; then
    echo "PostgreSQL could not be started" >&2
    exit 1
else
    echo "PostgreSQL could not be started: tst_reportd_postgresql will skip" >&2
    export NEWSBENCH_TEST_POSTGRES=
fi

run_suite() {
    local dir=$1; shift
    cmake -S "$top" -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
    # Many tests mostly wait on a server or a child process: run more of them than cores.
    (cd "$dir" && ctest --output-on-failure --timeout 300 -j$((jobs * 2)))
}

echo "== normal build"
run_suite "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON
echo "== libFuzzer targets under AddressSanitizer and UndefinedBehaviorSanitizer"
"$top/tests/fuzz/run.sh"
# Last, so that the closing lines are the summary of every test in the sanitizer build.
echo "== AddressSanitizer and UndefinedBehaviorSanitizer build"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite "$top/build-asan" -DCMAKE_BUILD_TYPE=Debug -DNEWSBENCH_SANITIZE=ON -DBUILD_TESTING=ON \
        -DNEWSBENCH_BENCHMARKS=OFF
