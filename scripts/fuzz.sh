#!/bin/sh
# Builds the fuzz targets with clang (build-fuzz) and runs each for SECONDS (default 60) from its
# seed corpus in tests/fuzz/corpus/<target>. Prints each target's executions; fails on a crash,
# whose input is then kept in the seed corpus as a regression input.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-60}
CC=${CC:-clang-14} CXX=${CXX:-clang++-14} cmake -S . -B build-fuzz -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNEL_FUZZ=ON >/dev/null
cmake --build build-fuzz -j2 --target fuzz_ioctl fuzz_ring fuzz_path
failed=0
for target in ioctl ring path; do
    seeds=tests/fuzz/corpus/$target
    found=build-fuzz/corpus/$target  # inputs found on the way stay out of the sources
    log=build-fuzz/fuzz_$target.log
    mkdir -p "$found"
    if build-fuzz/tests/fuzz/fuzz_$target -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$seeds/" "$found" "$seeds" >"$log" 2>&1; then
        status=ok
    else
        status="CRASH (see $log; input kept in $seeds)"
        failed=1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz_$target: ${runs:-?} executions in ${seconds}s: $status"
done
exit $failed
