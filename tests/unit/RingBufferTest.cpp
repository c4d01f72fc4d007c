// The port object's receive ring at its edges: capacity with one slot kept empty, blocks stored
// whole or not at all, wrap-around order, clearing, and binding a port (including running out of
// memory part of the way).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "port/VarnelPHJNI.h"
#include "unit/RingTestAccess.h"

// Fails the nth nothrow array allocation from now (1 = the next); 0 disarms. Everything else
// goes to the ordinary allocator, so sanitizers still pair each allocation with its delete[].
static std::atomic<int> nothrowArraysUntilFailure{0};

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (nothrowArraysUntilFailure.load() > 0 && nothrowArraysUntilFailure.fetch_sub(1) == 1) {
        return nullptr;
    }
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}

namespace {

using Access = VarnelPHJNITestAccess;

constexpr DCXRESULT kParameter = 0x80000003;
constexpr DCXRESULT kOverflow = 0x80000009;
constexpr int32_t kCapacity = 0x20000;
constexpr int32_t kMostStored = kCapacity - 1;

int portHandleTarget;
void* const kPortHandle = &portHandleTarget;

// Distinct bytes per seed, so bytes from a wrong place or a wrong block show.
std::vector<uint8_t> Pattern(size_t length, uint8_t seed) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
    return bytes;
}

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class BoundPort : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(port_.SetPHHandle(kPortHandle, "svc", "COM1"), 0); }

    DCXRESULT Write(const std::vector<uint8_t>& bytes) {
        return port_.WriteData(bytes.data(), static_cast<int32_t>(bytes.size()));
    }
    // Everything the ring holds, in order.
    std::vector<uint8_t> Drain() { return Read(kCapacity); }
    std::vector<uint8_t> Read(int32_t maximum) {
        std::vector<uint8_t> bytes(kCapacity);
        int32_t count = -1;
        port_.ReadData(bytes.data(), maximum, &count);
        EXPECT_GE(count, 0);
        bytes.resize(static_cast<size_t>(std::max(count, 0)));
        return bytes;
    }

    VarnelPHJNI port_;
};

TEST_F(BoundPort, HoldsOneByteLessThanItsCapacityThenRefusesEvenAnEmptyBlock) {
    const auto block = Pattern(kMostStored, 1);
    ASSERT_EQ(Write(block), 0u);
    const uint8_t one = 0x55;
    EXPECT_EQ(port_.WriteData(&one, 0), kOverflow);
    EXPECT_EQ(port_.WriteData(&one, 1), kOverflow);
    EXPECT_EQ(Drain(), block);
}

TEST_F(BoundPort, RefusesABlockOfTheWholeCapacityAndStoresNothing) {
    EXPECT_EQ(Write(Pattern(kCapacity, 2)), kOverflow);
    EXPECT_EQ(Access::WritePos(port_), 0);
    EXPECT_TRUE(Drain().empty());
}

// With k bytes free, k + 1 bytes are refused whole and k bytes fill the ring, wherever the
// stored bytes lie, across the end of the storage included.
TEST(RingSpace, BlockOneLargerThanTheFreeSpaceIsRefusedWholeAndTheFreeSpaceFits) {
    struct Case {
        int32_t start;   // both indices before anything is stored
        int32_t stored;  // bytes stored first
    } cases[] = {
        {0, 0},
        {0, 1000},
        {0x1FFF0, 0x20},
        {0x1FF00, 0x1FE00},
        {0x100, 0x1FFF0},
        {0x10000, kMostStored - 1},
        {0x1FFFF, 0x5000},
        {0x1FFFF, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "start " << c.start << ", stored " << c.stored);
        VarnelPHJNI port;
        ASSERT_EQ(port.SetPHHandle(kPortHandle, nullptr, "COM1"), 0);
        Access::PlaceIndices(port, c.start, c.start);
        const auto first = Pattern(static_cast<size_t>(c.stored), 3);
        if (c.stored > 0) {
            ASSERT_EQ(port.WriteData(first.data(), c.stored), 0u);
        }
        const int32_t free = kMostStored - c.stored;
        const int32_t writeIndex = Access::WritePos(port);

        const auto second = Pattern(static_cast<size_t>(free) + 1, 4);
        EXPECT_EQ(port.WriteData(second.data(), free + 1), kOverflow);
        EXPECT_EQ(Access::WritePos(port), writeIndex);
        EXPECT_EQ(port.WriteData(second.data(), free), 0u);
        EXPECT_EQ(port.WriteData(second.data(), 0), kOverflow) << "ring should be full";

        std::vector<uint8_t> all(kCapacity);
        int32_t count = -1;
        port.ReadData(all.data(), kCapacity, &count);
        ASSERT_EQ(count, kMostStored);
        all.resize(kMostStored);
        EXPECT_EQ(all, Concat(first, std::vector<uint8_t>(second.begin(), second.end() - 1)));
    }
}

TEST_F(BoundPort, WriteIndexOneSlotBehindTheReadIndexIsFull) {
    for (auto [read, write] : {std::pair{0, 0x1FFFF}, {0x100, 0xFF}, {0x1FFFF, 0x1FFFE}}) {
        SCOPED_TRACE(testing::Message() << "read " << read << ", write " << write);
        Access::PlaceIndices(port_, read, write);
        const uint8_t one = 0x55;
        EXPECT_EQ(port_.WriteData(&one, 0), kOverflow);
        EXPECT_EQ(port_.WriteData(&one, 1), kOverflow);
        EXPECT_EQ(Access::WritePos(port_), write);
        EXPECT_EQ(Drain().size(), static_cast<size_t>(kMostStored));
    }
}

TEST_F(BoundPort, BlockAcrossTheEndOfTheStorageWrapsAndReadsBackInOrder) {
    Access::PlaceIndices(port_, kCapacity - 0x10, kCapacity - 0x10);
    const auto block = Pattern(0x20, 5);
    ASSERT_EQ(Write(block), 0u);

    EXPECT_EQ(Access::WritePos(port_), 0x10);
    const uint8_t* storage = Access::Storage(port_);
    EXPECT_EQ(std::memcmp(storage + kCapacity - 0x10, block.data(), 0x10), 0);
    EXPECT_EQ(std::memcmp(storage, block.data() + 0x10, 0x10), 0);

    // Reads smaller than what is stored, the second one across the end of the storage.
    std::vector<uint8_t> read;
    for (int32_t expected : {0x0C, 0x0C, 0x08, 0}) {
        const auto chunk = Read(0x0C);
        EXPECT_EQ(chunk.size(), static_cast<size_t>(expected));
        read = Concat(read, chunk);
    }
    EXPECT_EQ(read, block);
    EXPECT_EQ(Access::ReadPos(port_), 0x10);
}

TEST_F(BoundPort, ReadOfZeroOrANegativeMaximumCopiesNothingAndReportsZero) {
    const auto block = Pattern(10, 6);
    ASSERT_EQ(Write(block), 0u);
    for (int32_t maximum : {0, -1, INT32_MIN}) {
        std::vector<uint8_t> destination(4, 0xEE);
        int32_t count = -1;
        port_.ReadData(destination.data(), maximum, &count);
        EXPECT_EQ(count, 0) << maximum;
        EXPECT_EQ(destination, std::vector<uint8_t>(4, 0xEE)) << maximum;
    }
    EXPECT_EQ(Drain(), block);
}

TEST_F(BoundPort, ReadWithoutDestinationOrCountTakesNothing) {
    const auto block = Pattern(10, 7);
    ASSERT_EQ(Write(block), 0u);
    int32_t count = -1;
    port_.ReadData(nullptr, 10, &count);
    EXPECT_EQ(count, -1);
    std::vector<uint8_t> destination(10, 0xEE);
    port_.ReadData(destination.data(), 10, nullptr);
    EXPECT_EQ(destination, std::vector<uint8_t>(10, 0xEE));
    EXPECT_EQ(Drain(), block);
}

TEST_F(BoundPort, RefusedBlocksLeaveTheRingAsItWas) {
    const auto stored = Pattern(100, 8);
    ASSERT_EQ(Write(stored), 0u);
    const uint8_t byte = 1;
    struct Case {
        const char* name;
        const uint8_t* data;
        int32_t length;
        DCXRESULT expected;
    } cases[] = {
        {"no data", nullptr, 1, kParameter},
        {"negative length", &byte, -1, kOverflow},
        {"length of 2^31 or more", &byte, INT32_MIN, kOverflow},
        {"empty block", &byte, 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(port_.WriteData(c.data, c.length), c.expected) << c.name;
        EXPECT_EQ(Access::WritePos(port_), 100) << c.name;
    }
    EXPECT_EQ(Drain(), stored);
}

TEST_F(BoundPort, ClearMovesTheReadIndexUpToTheWriteIndexAndForgetsTheError) {
    Access::PlaceIndices(port_, 0x1000, 0x1000);
    ASSERT_EQ(Write(Pattern(100, 9)), 0u);
    port_.SetPHError(kOverflow);

    EXPECT_EQ(port_.ClearBuffer(), 0u);
    EXPECT_EQ(Access::ReadPos(port_), 0x1064);
    EXPECT_EQ(Access::WritePos(port_), 0x1064);
    EXPECT_EQ(port_.GetPHError(), 0u);
    EXPECT_TRUE(Drain().empty());

    const auto after = Pattern(5, 10);
    ASSERT_EQ(Write(after), 0u);
    EXPECT_EQ(Drain(), after);
}

TEST(PortBinding, SecondBindingIsRefusedAndKeepsTheFirst) {
    VarnelPHJNI port;
    int other;
    ASSERT_EQ(port.SetPHHandle(kPortHandle, "svcA", "COM1"), 0);
    const uint8_t byte = 0x42;
    ASSERT_EQ(port.WriteData(&byte, 1), 0u);

    EXPECT_EQ(port.SetPHHandle(&other, "svcB", "COM2"), -100);
    EXPECT_EQ(port.GetPHHandle(), kPortHandle);
    EXPECT_STREQ(port.GetRefServiceURL(), "svcA");
    EXPECT_STREQ(port.GetRefPortName(), "COM1");
    uint8_t read = 0;
    int32_t count = 0;
    port.ReadData(&read, 1, &count);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(read, 0x42);
}

TEST(PortBinding, NullPortHandleIsRefusedAndBindsNothing) {
    VarnelPHJNI port;
    EXPECT_EQ(port.SetPHHandle(nullptr, "svc", "COM1"), -1);
    EXPECT_EQ(Access::Storage(port), nullptr);
    EXPECT_EQ(port.GetRefPortName(), nullptr);
    EXPECT_EQ(port.GetRefServiceURL(), nullptr);
    EXPECT_EQ(port.SetPHHandle(kPortHandle, "svc", "COM1"), 0);
}

TEST(PortBinding, KeepsCopiesOfTheStringsAndNoCopyOfAnEmptyURL) {
    struct Case {
        const char* url;
        const char* expected;
    } cases[] = {{nullptr, nullptr}, {"", nullptr}, {"svc://host", "svc://host"}};
    for (const Case& c : cases) {
        std::string url = c.url != nullptr ? c.url : "";
        char name[] = "COM7";
        VarnelPHJNI port;
        ASSERT_EQ(port.SetPHHandle(kPortHandle, c.url != nullptr ? url.c_str() : nullptr, name), 0);
        std::fill(url.begin(), url.end(), 'x');
        name[0] = 'x';
        EXPECT_STREQ(port.GetRefPortName(), "COM7");
        if (c.expected == nullptr) {
            EXPECT_EQ(port.GetRefServiceURL(), nullptr) << (c.url ? "empty" : "null");
        } else {
            EXPECT_STREQ(port.GetRefServiceURL(), c.expected);
        }
    }
}

// The ring, the port name copy and the URL copy are the three allocations; whichever fails, the
// object stays unbound and what was already allocated is freed (the sanitizer build checks leaks).
TEST(PortBinding, RunningOutOfMemoryLeavesThePortUnbound) {
    for (int failing : {1, 2, 3}) {
        SCOPED_TRACE(testing::Message() << "allocation " << failing << " fails");
        VarnelPHJNI port;
        nothrowArraysUntilFailure = failing;
        EXPECT_EQ(port.SetPHHandle(kPortHandle, "svc", "COM1"), -6);
        nothrowArraysUntilFailure = 0;
        EXPECT_EQ(Access::Storage(port), nullptr);
        EXPECT_EQ(port.GetPHHandle(), nullptr);
        EXPECT_EQ(port.GetRefPortName(), nullptr);
        EXPECT_EQ(port.GetRefServiceURL(), nullptr);
        EXPECT_EQ(port.SetPHHandle(kPortHandle, "svc", "COM1"), 0);
        EXPECT_STREQ(port.GetRefServiceURL(), "svc");
    }
}

}  // namespace
