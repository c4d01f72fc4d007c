// End to end through the bridge's native Write and Read and the simulator's loopback (sent bytes
// come back from the delivery thread): echo throughput of 4 KiB blocks, and the round trip of
// 16 B with its p50 and p99. The JNI environment is the soak tool's in-process host.
#include <benchmark/benchmark.h>
#include <jni.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "bridge/VarnelPHJNIAPI.h"
#include "soak/JniHost.h"

namespace {

using Bytes = JavaBytes;
using Ints = JavaInts;

JNIEnv* Env() {
    static JniHost host;
    return host.env();
}

// An open port on the simulator's complete install root, closed at the end.
class Port {
  public:
    Port() {
        std::string root = VSIM_ROOT;
        Bytes path(root.size() + 1);
        std::memcpy(path.data(), root.data(), root.size());
        PH_JNI(SetDCXPath)(Env(), nullptr, path.get());
        JavaString name("BENCH1"), url("");
        JavaLongs holder(1);
        opened_ = PH_JNI(Open)(Env(), nullptr, url.get(), name.get(), 1, holder.get()) == 0;
        handle_ = holder.data()[0];
    }
    ~Port() {
        if (opened_) PH_JNI(Close)(Env(), nullptr, handle_);
    }
    bool opened() const { return opened_; }

    // Sends the block and reads until it is all back; false on an error or after a second.
    bool Echo(Bytes& out, Bytes& in, jsize length) {
        Ints count(1);
        if (PH_JNI(Write)(Env(), nullptr, handle_, out.get(), length, 0, count.get()) != 0)
            return false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        for (jsize got = 0; got < length;) {
            if (PH_JNI(Read)(Env(), nullptr, handle_, in.get(), length - got, count.get()) != 0)
                return false;
            got += count.data()[0];
            if (std::chrono::steady_clock::now() > deadline) return false;
        }
        return true;
    }

  private:
    bool opened_ = false;
    jlong handle_ = 0;
};

void BM_LoopbackEcho4K(benchmark::State& state) {
    Port port;
    Bytes out(4096), in(4096);
    if (!port.opened()) state.SkipWithError("Open failed");
    for (auto _ : state) {
        if (!port.Echo(out, in, 4096)) state.SkipWithError("echo lost");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 4096);
}

void BM_LoopbackRoundTrip16(benchmark::State& state) {
    Port port;
    Bytes out(16), in(16);
    if (!port.opened()) state.SkipWithError("Open failed");
    std::vector<double> micros;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        if (!port.Echo(out, in, 16)) state.SkipWithError("echo lost");
        micros.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
    }
    if (micros.empty()) return;
    std::sort(micros.begin(), micros.end());
    state.counters["p50_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
}

BENCHMARK(BM_LoopbackEcho4K)->UseRealTime();
BENCHMARK(BM_LoopbackRoundTrip16)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
