#!/bin/sh
# Builds a Release tree (build-release/) and runs every benchmark, printing one markdown table:
# the Java rows (the bridge in a real JVM beside yardstick natives, same rounds), then the C++
# ones (the receive ring beside two memcpy and Boost's spsc_queue; echo through the loopback).
#   scripts/bench.sh [--seconds N] [--before <build dir of an older tree>]
# --seconds: length of each threaded Java run (default 2). --before: runs the Java rows once more
# with that tree's libVarnelPHJNI.so and simulator, for before/after figures in one session, and
# loads both libraries side by side into one C++ process for the per-call cost of the handle path.
set -eu
cd "$(dirname "$0")/.."
. scripts/prerequisites.sh
varnel_require_packages
varnel_offer_bench_packages

seconds=2
before=""
while [ $# -gt 0 ]; do
    case "$1" in
        --seconds) seconds=$2; shift 2 ;;
        --before) before=$(cd "$2" && pwd); shift 2 ;;
        *) echo "usage: $0 [--seconds N] [--before <build dir>]" >&2; exit 2 ;;
    esac
done

build=build-release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j 2 --target VarnelPHJNI simulator varnel_bench_java varnel_bench_baseline \
      ring_compare_bench loopback_bench library_compare >/dev/null

classpath="$build/java/varnel-porthandler.jar:$build/bench/varnel-bench.jar"
java_rows() {  # label, bridge library, simulator root
    java -Xss1m -Dcom.varnel.pos.comm.library="$2" -Dvarnel.sim.root="$3" \
         -Dvarnel.bench.baseline="$PWD/$build/bench/libvarnel_bench_baseline.so" \
         -Dvarnel.bench.label="$1" -Dvarnel.bench.seconds="$seconds" \
         -cp "$classpath" com.varnel.bench.PortBench
}

echo "| Build | Measure | Ours | Baseline | Ratio | Target |"
echo "|---|---|---|---|---|---|"
java_rows after "$PWD/$build/libVarnelPHJNI.so" "$PWD/$build/simulator/root"
if [ -n "$before" ]; then
    java_rows before "$before/libVarnelPHJNI.so" "$before/simulator/root"
    "$build/bench/library_compare" "$PWD/$build/simulator/root" \
        "$PWD/$build/libVarnelPHJNI.so" "$before/libVarnelPHJNI.so"
fi
"$build/bench/ring_compare_bench" --benchmark_repetitions=5 --benchmark_format=json 2>/dev/null |
    python3 scripts/bench_rows.py ring
"$build/bench/loopback_bench" --benchmark_repetitions=5 --benchmark_format=json 2>/dev/null |
    python3 scripts/bench_rows.py loopback
