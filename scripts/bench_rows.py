"""Turns Google Benchmark JSON (with repetitions) into rows of scripts/bench.sh's table: medians,
and the ring's ratios to its baselines."""
import json
import sys

runs = json.load(sys.stdin)["benchmarks"]
median = {r["run_name"].split("/")[0]: r for r in runs if r.get("aggregate_name") == "median"}


def row(measure, ours, baseline="", ratio="", target=""):
    print(f"| after | {measure} | {ours} | {baseline} | {ratio} | {target} |")


def gbps(name):
    return median[name]["bytes_per_second"] / 1e9


if sys.argv[1] == "ring":
    ring = gbps("BM_RingStoreDrain4K")
    ns = median["BM_RingStoreDrain4K"]["cpu_time"]
    two = gbps("BM_TwoMemcpy4K")
    row("Ring store + drain 4 KiB vs two memcpy", f"{ns:.0f} ns ({ring:.1f} GB/s)",
        f"{median['BM_TwoMemcpy4K']['cpu_time']:.0f} ns ({two:.1f} GB/s)", f"{ring / two:.2f}x",
        ">= 0.8x (throughput)")
    if "BM_BoostSpscQueue4K" in median:
        boost = gbps("BM_BoostSpscQueue4K")
        row("Ring store + drain 4 KiB vs Boost spsc_queue push/pop", f"{ring:.1f} GB/s",
            f"{median['BM_BoostSpscQueue4K']['cpu_time']:.0f} ns ({boost:.1f} GB/s)",
            f"{ring / boost:.2f}x", ">= 0.95x (throughput)")
    else:
        row("Ring vs Boost spsc_queue", "skipped: boost/lockfree/spsc_queue.hpp not installed")
else:
    echo = median["BM_LoopbackEcho4K"]
    row("Loopback echo of 4 KiB blocks (Write, Read until back)",
        f"{echo['bytes_per_second'] / 1e6:.0f} MB/s ({echo['real_time'] / 1e3:.1f} us a block)")
    trip = median["BM_LoopbackRoundTrip16"]
    row("Loopback round trip of 16 B: p50; p99", f"{trip['p50_us']:.1f} us; {trip['p99_us']:.1f} us")
