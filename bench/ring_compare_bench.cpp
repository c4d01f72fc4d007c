// The receive ring's store + drain of one 4 KiB block, one thread, beside what the same bytes cost
// with two plain memcpy (in, then out, through a buffer of the ring's size) and through
// boost::lockfree::spsc_queue's bulk push and pop (when its header is installed).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "port/VarnelPHJNI.h"

#if __has_include(<boost/lockfree/spsc_queue.hpp>)
#include <boost/lockfree/spsc_queue.hpp>
#define VARNEL_HAVE_BOOST_SPSC 1
#endif

namespace {

constexpr uint32_t kRing = VarnelPHJNI::kRingSize;
constexpr size_t kBlock = 4096;
// Blocks start this far in, so that now and then one straddles the end of the storage.
constexpr size_t kOffset = 7;

struct Blocks {
    std::vector<uint8_t> in = std::vector<uint8_t>(kBlock, 0x5A);
    std::vector<uint8_t> out = std::vector<uint8_t>(kBlock);
};

void Done(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlock);
}

void BM_RingStoreDrain4K(benchmark::State& state) {
    static int target;
    auto port = std::make_unique<VarnelPHJNI>();
    if (port->SetPHHandle(&target, nullptr, "COM1") != 0) {
        state.SkipWithError("port not bound");
        return;
    }
    Blocks b;
    int32_t count = 0;
    port->WriteData(b.in.data(), kOffset);
    port->ReadData(b.out.data(), kOffset, &count);
    for (auto _ : state) {
        if (port->WriteData(b.in.data(), kBlock) != 0) state.SkipWithError("block refused");
        port->ReadData(b.out.data(), kBlock, &count);
        benchmark::DoNotOptimize(b.out.data());
        benchmark::ClobberMemory();
    }
    if (count != static_cast<int32_t>(kBlock)) state.SkipWithError("short read");
    Done(state);
}

void BM_TwoMemcpy4K(benchmark::State& state) {
    std::vector<uint8_t> middle(kRing);
    Blocks b;
    // Aligned: from offset 7, as the ring's blocks go, these copies ran 3x slower here, which
    // would flatter the ring.
    size_t at = 0;
    for (auto _ : state) {
        std::memcpy(middle.data() + at, b.in.data(), kBlock);
        std::memcpy(b.out.data(), middle.data() + at, kBlock);
        at = (at + kBlock) % (kRing - kBlock);  // the same memory as the ring, never split
        benchmark::DoNotOptimize(b.out.data());
        benchmark::ClobberMemory();
    }
    Done(state);
}

#ifdef VARNEL_HAVE_BOOST_SPSC
void BM_BoostSpscQueue4K(benchmark::State& state) {
    using Queue = boost::lockfree::spsc_queue<uint8_t, boost::lockfree::capacity<kRing>>;
    auto queue = std::make_unique<Queue>();
    Blocks b;
    queue->push(b.in.data(), kOffset);
    queue->pop(b.out.data(), kOffset);
    size_t count = 0;
    for (auto _ : state) {
        if (queue->push(b.in.data(), kBlock) != kBlock) state.SkipWithError("block refused");
        count = queue->pop(b.out.data(), kBlock);
        benchmark::DoNotOptimize(b.out.data());
        benchmark::ClobberMemory();
    }
    if (count != kBlock) state.SkipWithError("short read");
    Done(state);
}
BENCHMARK(BM_BoostSpscQueue4K);
#endif

BENCHMARK(BM_RingStoreDrain4K);
BENCHMARK(BM_TwoMemcpy4K);

}  // namespace

BENCHMARK_MAIN();
