// Real threads in one port's ring: the service's thread storing blocks through the receive
// callback while Java threads read (and clear) through the native methods.
#include <gtest/gtest.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bridge/VarnelPHJNIAPI.h"
#include "bridge/VarnelPHReceive.h"
#include "platform/WinApiClone.h"
#include "support/FakeJni.h"
#include "support/OpenPort.h"
#include "unit/RingTestAccess.h"

namespace {

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr uint64_t kMiB = 1 << 16;  // sanitizers slow the copies and checks down tenfold
#else
constexpr uint64_t kMiB = 1 << 20;
#endif
constexpr uint32_t kRing = VarnelPHJNI::kRingSize;
constexpr jint kDestination = 0x8000;  // Read's maxima go up to twice this

// The stream's n bytes from place p on, each a function of its place: a byte from elsewhere shows.
std::vector<uint8_t> Stream(uint64_t p, size_t n) {
    std::vector<uint8_t> bytes(n);
    for (uint64_t q = p; q < p + n; ++q)
        bytes[q - p] = static_cast<uint8_t>((q / 8 + 1) * 0x9E3779B97F4A7C15ull >> (q % 8 * 8));
    return bytes;
}

// Blocks of 16 bytes to 64 KiB, every overflowEvery-th the ring's whole capacity. The service backs
// off until a block fits, or after an overflow until Read reported it, so the stream restarts with
// the next block; with clears, at some later block, which a Read's first 16 bytes tell.
TEST(RingThreads, EveryReadIsTheNextRunOfTheStream) {
    for (auto [name, total, overflowEvery, clears] :
         {std::tuple{"256 MiB whole and in order", 256 * kMiB, 0u, false},
          std::tuple{"restarts after each overflow, reported once", 32 * kMiB, 17u, false},
          std::tuple{"Read racing Clear", 32 * kMiB, 0u, true}}) {
        SCOPED_TRACE(name);
        std::vector<uint64_t> start{0}, restarts;  // block starts; where overflows restart
        for (uint64_t k = 1; start.back() < total; ++k) {
            uint64_t length = k % 4 ? 16 + k * 7919 % 0x10000 : 16 + k % 49;
            if (overflowEvery && k % overflowEvery == 0 && start.back() + 2 * kRing < total)
                restarts.push_back(start.back() + (length = kRing));
            start.push_back(total - start.back() < length + 16 ? total : start.back() + length);
        }
        LivePort live;
        VarnelPHJNI& port = *live.port;
        ASSERT_EQ(port.SetPHHandle(&port, nullptr, "COM1"), 0);  // any handle but null
        const jlong handle = live.handle();
        std::atomic<bool> done{false};
        std::atomic<uint64_t> clearCount{0};
        uint64_t at = 0, overflows = 0;
        std::jthread service([&](std::stop_token stop) {
            for (size_t k = 0; k + 1 < start.size(); ++k) {
                auto block = Stream(start[k], start[k + 1] - start[k]);
                const auto length = static_cast<uint32_t>(block.size());
                while (!stop.stop_requested() &&  // stopped once the reader's deadline passed
                       (port.GetPHError() != 0 ||
                        (length < kRing && VarnelPHJNITestAccess::FreeSpace(port) < length)))
                    std::this_thread::yield();
                callbackRead(DCX_EVENT_DATA_RECEIVED, 0, nullptr, length, block.data(), &port);
            }
            done.store(true, std::memory_order_release);
        });
        std::jthread clearer([&](std::stop_token stop) {
            for (FakeJni jni; clears && !stop.stop_requested() && !done.load(); ++clearCount) {
                EXPECT_EQ(PH_JNI(Clear)(jni.env(), nullptr, handle), 0);
                std::this_thread::sleep_for(std::chrono::microseconds(clearCount * 37 % 400));
            }
        });
        FakeJni jni;
        jbyteArray destination = jni.NewByteArray(std::vector<uint8_t>(kDestination));
        jintArray count = jni.NewIntArray({-1});
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        for (jint maximum = 16, n = -1, finished = 0; !finished || n != 0;
             maximum = 16 + (maximum * 9 + 7) % (2 * kDestination)) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "stream stuck at " << at;
            finished = done.load(std::memory_order_acquire);
            const jint result =
                PH_JNI(Read)(jni.env(), nullptr, handle, destination, maximum, count);
            const bool overflow = result == -7 && overflows < restarts.size();
            if (overflow) at = restarts[overflows++];
            auto read = jni.Bytes(destination);
            read.resize(std::clamp(n = overflow ? 0 : jni.Ints(count)[0], 0, kDestination));
            uint64_t from = at;
            for (auto s = std::lower_bound(start.begin(), start.end(), at);
                 clears && n >= 16 && s != start.end() &&
                 !std::equal(read.begin(), read.begin() + 16, Stream(from, 16).begin());
                 ++s)
                from = *s;
            ASSERT_TRUE(overflow ||
                        (result == 0 && n >= 0 && n <= std::min(maximum, kDestination) &&
                         read == Stream(from, read.size())))
                << "Read at " << at << ": " << result << ", " << n << " of " << maximum;
            at = from + n;
            if (n == 0) std::this_thread::yield();
        }
        EXPECT_EQ(clearCount > 0, clears);
        EXPECT_TRUE(clears || at == total) << at << " of " << total;
    }
}

// The producer never takes the buffer lock: blocks keep being stored while a reader holds it.
TEST(RingThreads, ReceiveCallbackCompletesWhileAReaderHoldsTheLock) {
    LivePort live;
    ASSERT_EQ(live->SetPHHandle(live.port, nullptr, "COM1"), 0);
    std::atomic<int> stored{0};
    live->SetLock();
    std::thread service([&] {
        uint8_t block[16] = {};
        for (int i = 0; i < 100; ++i, ++stored) {
            callbackRead(DCX_EVENT_DATA_RECEIVED, 0, nullptr, 16, block, live.port);
        }
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (stored < 100 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    EXPECT_EQ(stored, 100) << "the receive callback waited for the buffer lock";
    live->Unlock();
    service.join();
    uint8_t all[2000];
    int32_t count = 0;
    live->ReadData(all, sizeof all, &count);
    EXPECT_EQ(count, 1600);
}

// What the kernel says a thread is blocked in: "<syscall> <args...>", or "running".
std::string BlockedIn(pid_t tid) {
    std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/syscall");
    std::string line;
    std::getline(file, line);
    return line;
}

// A reader that finds another one copying sleeps on the lock word itself, with no timeout, and
// the holder's release wakes it: no fixed sleep and no polling, whatever the machine's load.
TEST(RingThreads, AReaderBehindAnotherSleepsOnTheLockUntilItIsGivenBack) {
    LivePort live;
    ASSERT_EQ(live->SetPHHandle(live.port, nullptr, "COM1"), 0);
    FakeJni jni;
    jbyteArray bytes = jni.NewByteArray(std::vector<uint8_t>(64));
    jintArray count = jni.NewIntArray({0});
    uint8_t block[16] = {};
    callbackRead(DCX_EVENT_DATA_RECEIVED, 0, nullptr, 16, block, live.port);
    live->SetLock();  // the other reader, in the middle of its copy
    std::atomic<pid_t> tid{0};
    std::atomic<bool> done{false};
    std::thread reader([&] {
        tid = gettid();
        EXPECT_EQ(PH_JNI(Read)(jni.env(), nullptr, live.handle(), bytes, 64, count), 0);
        done = true;
    });
    const auto lockWord =
        reinterpret_cast<uintptr_t>(VarnelPHJNITestAccess::LockAddress(*live.port));
    std::ostringstream futexWait;  // futex(lock word, FUTEX_WAIT_PRIVATE, 2, no timeout)
    futexWait << SYS_futex << " 0x" << std::hex << lockWord << " 0x" << FUTEX_WAIT_PRIVATE
              << " 0x2 0x0 ";
    std::string seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        seen = tid != 0 ? BlockedIn(tid) : "";
        if (seen.starts_with(futexWait.str())) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(seen.starts_with(futexWait.str())) << "blocked in: " << seen;
    live->Unlock();
    const auto woken = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done && std::chrono::steady_clock::now() < woken) std::this_thread::yield();
    EXPECT_TRUE(done) << "the release did not wake the waiting reader";
    if (!done) WakeByAddressSingle(VarnelPHJNITestAccess::LockAddress(*live.port));
    reader.join();
    EXPECT_EQ(jni.Ints(count)[0], 16);
}

}  // namespace
