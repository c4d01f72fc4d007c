#!/bin/sh
# Builds a Release tree (build-release/) and runs every benchmark, printing one markdown table:
# the Java rows (the bridge in a real JVM beside yardstick natives, same rounds), then the C++
# ones (the receive ring beside two memcpy and Boost's spsc_queue; echo through the loopback).
# Then the receive rows (listeners and waiting reads beside a tight Read loop, idle CPU) and the
# console's echo with a data listener beside its echo with readFully.
#   scripts/bench.sh [--seconds N] [--idle N] [--before <build dir of an older tree>]
# --seconds: length of each threaded Java run (default 2). --idle: length of each idle-CPU run
# (default 10). --before: runs the Java rows once more with that tree's libVarnelPHJNI.so and
# simulator, and the echo with that tree's console, for before/after figures in one session; and
# loads both libraries side by side into one C++ process for the per-call cost of the handle path.
set -eu
cd "$(dirname "$0")/.."
. scripts/prerequisites.sh
varnel_require_packages
varnel_offer_bench_packages

seconds=2
idle=10
before=""
while [ $# -gt 0 ]; do
    case "$1" in
        --seconds) seconds=$2; shift 2 ;;
        --idle) idle=$2; shift 2 ;;
        --before) before=$(cd "$2" && pwd); shift 2 ;;
        *) echo "usage: $0 [--seconds N] [--idle N] [--before <build dir>]" >&2; exit 2 ;;
    esac
done

build=build-release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j 2 --target VarnelPHJNI simulator varnel_porthandler varnel_bench_java varnel_bench_baseline \
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
receive_rows() {  # label, bridge library, simulator root
    java -Dcom.varnel.pos.comm.library="$2" -Dvarnel.sim.root="$3" \
         -Dvarnel.bench.baseline="$PWD/$build/bench/libvarnel_bench_baseline.so" \
         -Dvarnel.bench.label="$1" -Dvarnel.bench.idleSeconds="$idle" \
         -cp "$classpath" com.varnel.bench.ReceiveBench
}
receive_rows after "$PWD/$build/libVarnelPHJNI.so" "$PWD/$build/simulator/root"

# The console's echo, 3 runs of each kind alternating; medians of round trips/s and of the median
# round trip. Baseline: the older tree's console (its polling readFully) with --before, else this
# tree's readFully.
echo_run() {  # build dir, options
    java -Dcom.varnel.pos.comm.library="$1/libVarnelPHJNI.so" -jar "$1/java/varnel-porthandler.jar" \
         echo ECHO1 --count 20000 --size 64 --root "$1/simulator/root" $2 |
        sed -n 's/.*, \([0-9]*\) round trips\/s$/\1/p; s/^round trip: min [^,]*, median \([0-9.]*\) us,.*/\1/p' |
        tr '\n' ' '
}
base_dir=${before:-$PWD/$build}
base_name="readFully"
[ -n "$before" ] && base_name="the older tree's readFully (polling)"
for run in 1 2 3; do
    echo "$(echo_run "$PWD/$build" --listener)$(echo_run "$PWD/$build" "")$(echo_run "$base_dir" "")"
done | python3 -c '
import statistics, sys
runs = [list(map(float, line.split())) for line in sys.stdin]
m = [statistics.median(r[i] for r in runs) for i in range(6)]
for name, i in (("--listener", 0), ("readFully", 2)):
    print("| after | Console echo 64 B x 20000, %s vs %s: round trips/s; median round trip (3 runs) "
          "| %.0f/s; %.1f us | %.0f/s; %.1f us | %.2fx |  |" % (name, sys.argv[1], m[i], m[i + 1], m[4], m[5], m[i] / m[4]))
' "$base_name"
