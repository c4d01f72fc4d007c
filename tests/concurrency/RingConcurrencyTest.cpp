// Real threads meeting in one port's receive ring: a service thread storing blocks through the
// receive callback while Java threads read (and clear) through the native methods. The stream is
// planned from a seed: blocks of 1 byte to 64 KiB whose bytes are a function of their position in
// the stream, so every byte read can be checked for place and order.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bridge/VarnelPHJNIAPI.h"
#include "bridge/VarnelPHReceive.h"
#include "port/VarnelPHJNI.h"
#include "support/FakeJni.h"
#include "unit/RingTestAccess.h"

namespace {

using Access = VarnelPHJNITestAccess;

#if defined(__SANITIZE_THREAD__)
constexpr uint64_t kScale = 4;  // ThreadSanitizer slows the copies and checks down tenfold
#elif defined(__SANITIZE_ADDRESS__)
constexpr uint64_t kScale = 16;
#else
constexpr uint64_t kScale = 1;
#endif
constexpr uint64_t kMiB = 1 << 20;
constexpr uint32_t kRingCapacity = VarnelPHJNI::kRingSize;
constexpr size_t kDestinationLength = 0x8000;  // Read's maxima go up to twice this
constexpr jint kOverflow = -7;

uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// The stream's bytes from position p on: each 8-byte word is a hash of its index, so the bytes
// never repeat and a byte from anywhere else is noticed.
void FillPattern(uint64_t p, uint8_t* out, size_t n) {
    for (size_t i = 0; i < n;) {
        const uint64_t q = p + i;
        const uint64_t word = Mix(q >> 3);
        for (unsigned b = q & 7; b < 8 && i < n; ++b, ++i)
            out[i] = static_cast<uint8_t>(word >> (8 * b));
    }
}

// Where each block starts. A block of the ring's whole capacity never fits: it is sent on
// purpose to overflow the ring.
struct Plan {
    std::vector<uint64_t> start;  // start of block k; the last entry is the stream's length

    size_t Blocks() const { return start.size() - 1; }
    uint32_t Length(size_t k) const { return static_cast<uint32_t>(start[k + 1] - start[k]); }
    uint64_t Total() const { return start.back(); }
    size_t Overflowing() const {
        size_t n = 0;
        for (size_t k = 0; k < Blocks(); ++k) n += Length(k) >= kRingCapacity;
        return n;
    }
};

// Mostly blocks of up to 64 KiB, a quarter of them tiny; every overflowEvery-th block (when not
// 0) cannot fit. The last block always fits.
Plan MakePlan(uint64_t total, uint32_t seed, size_t overflowEvery) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<uint32_t> tiny(1, 64), large(1, 0x10000), kind(0, 3);
    Plan plan{{0}};
    while (plan.Total() < total) {
        uint64_t length = kind(rng) == 0 ? tiny(rng) : large(rng);
        const bool overflow =
            overflowEvery != 0 && plan.Blocks() % overflowEvery == overflowEvery - 1;
        if (overflow && plan.Total() + kRingCapacity < total) length = kRingCapacity;
        plan.start.push_back(plan.Total() + std::min(length, total - plan.Total()));
    }
    return plan;
}

// Follows a reader through the stream. A Clear, or the Read that reports an overflow, moves the
// reader on to the start of some later block; which one only the bytes tell, so every position
// the bytes read so far allow is kept (one, as soon as a few bytes have been seen).
class StreamFollower {
  public:
    StreamFollower(const Plan& plan, bool clearsRace) : plan_(plan), clearsRace_(clearsRace) {}

    // The bytes of one Read; handed is the end of the newest block given to the callback.
    // False when they continue from no position the reader may be at.
    bool Accept(const uint8_t* bytes, size_t n, uint64_t handed) {
        if (n == 0) return true;
        std::vector<uint64_t> from;
        if (!afterOverflow_) from = at_;
        if (afterOverflow_ || clearsRace_) {
            // After an overflow the bytes start a block beyond everything read; after a Clear,
            // a block at or beyond the read position.
            const uint64_t lowest = afterOverflow_ ? at_.back() + 1 : at_.front();
            auto last = plan_.start.end() - 1;
            for (auto s = std::lower_bound(plan_.start.begin(), last, lowest);
                 s != last && *s < handed; ++s) {
                from.push_back(*s);
            }
        }
        std::vector<uint64_t> next;
        for (uint64_t p : from) {
            if (p + n <= plan_.Total() && Matches(p, bytes, n)) next.push_back(p + n);
        }
        std::sort(next.begin(), next.end());
        next.erase(std::unique(next.begin(), next.end()), next.end());
        if (next.empty()) return false;
        at_ = std::move(next);
        afterOverflow_ = false;
        return true;
    }
    void Overflowed() { afterOverflow_ = true; }
    std::optional<uint64_t> Position() const {
        return at_.size() == 1 ? std::optional(at_.front()) : std::nullopt;
    }

  private:
    bool Matches(uint64_t p, const uint8_t* bytes, size_t n) {
        expected_.resize(n);
        FillPattern(p, expected_.data(), std::min<size_t>(n, 8));
        if (std::memcmp(expected_.data(), bytes, std::min<size_t>(n, 8)) != 0) return false;
        FillPattern(p, expected_.data(), n);
        return std::memcmp(expected_.data(), bytes, n) == 0;
    }

    const Plan& plan_;
    const bool clearsRace_;
    bool afterOverflow_ = false;
    std::vector<uint64_t> at_{0};
    std::vector<uint8_t> expected_;
};

// The service's thread. It may not wait, but this one backs off until a block fits, so that only
// the blocks planned to overflow do; after one of those it waits until Read has reported it, so
// the stream must restart exactly with the next block.
struct Producer {
    const Plan& plan;
    VarnelPHJNI& port;
    std::atomic<uint64_t> handed{0};
    std::atomic<bool> done{false};

    void Run(std::stop_token stop) {
        std::vector<uint8_t> block;
        for (size_t k = 0; k < plan.Blocks(); ++k) {
            const uint32_t length = plan.Length(k);
            block.resize(length);
            FillPattern(plan.start[k], block.data(), length);
            const bool fits = length < kRingCapacity;
            while (fits && Access::FreeSpace(port) < length) {
                if (stop.stop_requested()) return;
                std::this_thread::yield();
            }
            handed.store(plan.start[k + 1], std::memory_order_release);
            callbackRead(DCX_EVENT_DATA_RECEIVED, 0, nullptr, length, block.data(), &port);
            while (!fits && port.GetPHError() != 0) {
                if (stop.stop_requested()) return;
                std::this_thread::yield();
            }
        }
        done.store(true, std::memory_order_release);
    }
};

struct ReadSummary {
    uint64_t reads = 0;
    uint64_t bytes = 0;
    uint64_t overflows = 0;
    std::string failure;  // empty when every Read was sound
};

// Java's reading thread: Read with random maxima (up to twice the destination's length) until the
// producer is done and the ring is empty.
ReadSummary ReadAll(VarnelPHJNI& port, Producer& producer, StreamFollower& follower, uint32_t seed,
                    bool overflowsExpected) {
    FakeJni jni;
    jbyteArray destination = jni.NewByteArray(std::vector<uint8_t>(kDestinationLength));
    jintArray count = jni.NewIntArray({-1});
    const jlong handle = reinterpret_cast<jlong>(&port);
    std::mt19937 rng(seed);
    std::uniform_int_distribution<jint> maximumOf(1, 2 * kDestinationLength);
    ReadSummary summary;
    std::ostringstream why;
    for (;;) {
        const bool finished = producer.done.load(std::memory_order_acquire);
        const jint maximum = maximumOf(rng);
        const jint result = PH_JNI(Read)(jni.env(), nullptr, handle, destination, maximum, count);
        ++summary.reads;
        if (result == kOverflow && overflowsExpected) {
            ++summary.overflows;
            follower.Overflowed();
            continue;
        }
        if (result != 0) {
            why << "Read " << summary.reads << " returned " << result;
            break;
        }
        const int32_t n = jni.Ints(count)[0];
        if (n < 0 || n > std::min<jint>(maximum, kDestinationLength)) {
            why << "Read " << summary.reads << " of at most " << maximum << " reported " << n;
            break;
        }
        const std::vector<uint8_t> bytes = n > 0 ? jni.Bytes(destination) : std::vector<uint8_t>{};
        if (!follower.Accept(bytes.data(), static_cast<size_t>(n),
                             producer.handed.load(std::memory_order_acquire))) {
            why << "Read " << summary.reads << " gave " << n << " bytes from no place in order"
                << " after " << summary.bytes << " bytes";
            break;
        }
        summary.bytes += static_cast<uint64_t>(n);
        if (n == 0) {
            if (finished) break;
            std::this_thread::yield();
        }
    }
    summary.failure = why.str();
    return summary;
}

std::unique_ptr<VarnelPHJNI> BoundPort() {
    static int portHandleTarget;
    auto port = std::make_unique<VarnelPHJNI>();
    EXPECT_EQ(port->SetPHHandle(&portHandleTarget, nullptr, "COM1"), 0);
    return port;
}

// The plan delivered into the port on a service thread while this thread reads it all.
ReadSummary StreamAndReadAll(const Plan& plan, VarnelPHJNI& port, StreamFollower& follower,
                             uint32_t seed, bool overflowsExpected) {
    Producer producer{plan, port};
    std::jthread service([&](std::stop_token stop) { producer.Run(stop); });
    return ReadAll(port, producer, follower, seed, overflowsExpected);
}

TEST(RingThreads, ReceivedStreamArrivesWholeAndInOrder) {
    const Plan plan = MakePlan(256 * kMiB / kScale, 1234, 0);
    auto port = BoundPort();
    StreamFollower follower(plan, false);
    const ReadSummary summary = StreamAndReadAll(plan, *port, follower, 99, false);
    ASSERT_EQ(summary.failure, "");
    EXPECT_EQ(summary.bytes, plan.Total());
    EXPECT_EQ(follower.Position(), plan.Total());
}

TEST(RingThreads, StreamRestartsWithTheNextBlockAfterEachReportedOverflow) {
    const Plan plan = MakePlan(32 * kMiB / kScale, 5678, 17);
    ASSERT_GE(plan.Overflowing(), 3u);
    auto port = BoundPort();
    StreamFollower follower(plan, false);
    const ReadSummary summary = StreamAndReadAll(plan, *port, follower, 42, true);
    ASSERT_EQ(summary.failure, "");
    EXPECT_EQ(summary.overflows, plan.Overflowing()) << "each overflow reported exactly once";
    // The stream's last block comes after the last overflow, so the reader ends at its end.
    EXPECT_EQ(follower.Position(), plan.Total());
}

// A second Java thread clears the ring at random moments while the first reads: each Read still
// returns a count within its bounds and a run of the stream, continuing where the previous one
// ended or starting a later block; the indices stay in the ring.
TEST(RingThreads, ReadAndClearRacingKeepTheIndicesSound) {
    const Plan plan = MakePlan(32 * kMiB / kScale, 4321, 0);
    auto port = BoundPort();
    StreamFollower follower(plan, true);
    Producer producer{plan, *port};
    std::atomic<uint64_t> clears{0};
    ReadSummary summary;
    {
        std::jthread service([&](std::stop_token stop) { producer.Run(stop); });
        std::jthread clearer([&](std::stop_token stop) {
            FakeJni jni;
            std::mt19937 rng(7);
            std::uniform_int_distribution<int> pause(0, 400);
            while (!stop.stop_requested() && !producer.done.load()) {
                EXPECT_EQ(PH_JNI(Clear)(jni.env(), nullptr, reinterpret_cast<jlong>(port.get())),
                          0);
                clears.fetch_add(1);
                std::this_thread::sleep_for(std::chrono::microseconds(pause(rng)));
            }
        });
        summary = ReadAll(*port, producer, follower, 17, false);
    }
    ASSERT_EQ(summary.failure, "");
    EXPECT_GT(clears.load(), 0u);
    EXPECT_GT(summary.bytes, 0u);

    EXPECT_EQ(port->ClearBuffer(), 0u);
    EXPECT_EQ(Access::ReadPos(*port), Access::WritePos(*port));
    EXPECT_GE(Access::WritePos(*port), 0);
    EXPECT_LT(Access::WritePos(*port), static_cast<int32_t>(kRingCapacity));
}

}  // namespace
