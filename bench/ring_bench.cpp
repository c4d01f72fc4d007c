// Throughput of the receive ring: one block stored and read back per iteration, for blocks of
// 16 B, 1 KiB and 16 KiB. Beside it, the same ring copying byte by byte with the wrap test on
// every byte, to show what copying in at most two segments buys.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "port/VarnelPHJNI.h"

namespace {

constexpr uint32_t kSize = VarnelPHJNI::kRingSize;
constexpr uint32_t kFull = 0x80000009;
// Blocks start this far into the storage, so that some of them straddle its end.
constexpr int32_t kOffset = 7;

// The port object's ring rules (one slot kept empty, whole blocks, the consumer's lock) with
// byte-at-a-time copies.
class ByteLoopRing {
  public:
    uint32_t WriteData(const uint8_t* data, int32_t length) {
        if (data == nullptr) return 0x80000003;
        int32_t w = write_.load(std::memory_order_relaxed);
        const int32_t r = read_.load(std::memory_order_acquire);
        if (r - 1 == w || (r == 0 && w == static_cast<int32_t>(kSize) - 1)) return kFull;
        const int32_t space = r - 1 > w ? r - w - 1 : static_cast<int32_t>(kSize) - w + r - 1;
        if (length > space || length < 0) return kFull;
        for (int32_t i = 0; i < length; ++i) {
            storage_[w] = data[i];
            if (++w == static_cast<int32_t>(kSize)) w = 0;
        }
        write_.store(w, std::memory_order_release);
        return 0;
    }

    void ReadData(uint8_t* destination, int32_t maximum, int32_t* count) {
        while (lock_.exchange(1, std::memory_order_acquire) != 0) {
        }
        const int32_t w = write_.load(std::memory_order_acquire);
        int32_t r = read_.load(std::memory_order_relaxed);
        int32_t n = r == w ? 0 : r < w ? w - r : static_cast<int32_t>(kSize) - r + w;
        if (maximum < n) n = maximum;
        *count = n;
        for (int32_t i = 0; i < n; ++i) {
            destination[i] = storage_[r];
            if (++r == static_cast<int32_t>(kSize)) r = 0;
        }
        read_.store(r, std::memory_order_release);
        lock_.store(0, std::memory_order_release);
    }

  private:
    std::unique_ptr<uint8_t[]> storage_{new uint8_t[kSize]};
    std::atomic<int32_t> read_{0};
    std::atomic<int32_t> write_{0};
    std::atomic<uint32_t> lock_{0};
};

template <class Ring>
void WriteThenRead(benchmark::State& state, Ring& ring) {
    const auto size = static_cast<int32_t>(state.range(0));
    std::vector<uint8_t> in(static_cast<size_t>(size) + kOffset, 0x5A);
    std::vector<uint8_t> out(in.size());
    int32_t count = 0;
    ring.WriteData(in.data(), kOffset);
    ring.ReadData(out.data(), kOffset, &count);
    for (auto _ : state) {
        if (ring.WriteData(in.data(), size) != 0) state.SkipWithError("block refused");
        ring.ReadData(out.data(), size, &count);
        if (count != size) state.SkipWithError("short read");
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

void BM_PortRing(benchmark::State& state) {
    static int portHandleTarget;
    VarnelPHJNI port;
    if (port.SetPHHandle(&portHandleTarget, nullptr, "COM1") != 0) {
        state.SkipWithError("port not bound");
        return;
    }
    WriteThenRead(state, port);
}

void BM_ByteLoopRing(benchmark::State& state) {
    ByteLoopRing ring;
    WriteThenRead(state, ring);
}

BENCHMARK(BM_PortRing)->Arg(16)->Arg(1024)->Arg(16384);
BENCHMARK(BM_ByteLoopRing)->Arg(16)->Arg(1024)->Arg(16384);

}  // namespace

BENCHMARK_MAIN();
