// The receive ring at its edges: one slot kept empty, blocks whole or not at all, wrap, maxima.
#include <gtest/gtest.h>

#include <algorithm>

#include "bridge/VarnelPHReceive.h"
#include "port/VarnelPHJNI.h"
#include "unit/RingTestAccess.h"

namespace {

constexpr DCXRESULT kOver = 0x80000009;  // overflow
constexpr int32_t kSize = VarnelPHJNI::kRingSize, kMost = kSize - 1;

struct Case {
    const char* name;
    int32_t start, maximum;  // bytes stored and read first; of each Read until one gives none
    std::vector<std::pair<int32_t, DCXRESULT>> blocks;  // lengths stored in order, with results
};

TEST(RingEdges, StoresBlocksWholeOrNotAtAllAndReadsThemBackInOrder) {
    const Case cases[] = {
        {"one slot stays empty", 0, kSize, {{kSize, kOver}, {kMost, 0}, {0, kOver}, {1, kOver}}},
        {"wraps; small reads do too", kSize - 0x10, 0x0C, {{0x20, 0}}},
        {"one over is refused whole", 0x1FFF0, 0x7FFF, {{0x20, 0}, {0x1FFE0, kOver}, {0x1FFDF, 0}}},
        {"starts in the last slot", kMost, 0x1000, {{kMost, 0}, {1, kOver}}},
        {"negative lengths", 0x1000, kSize, {{9, 0}, {-1, kOver}, {INT32_MIN, kOver}, {0, 0}}},
        {"negative maximum reads nothing", 0, INT32_MIN, {{10, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VarnelPHJNI port;
        ASSERT_EQ(port.SetPHHandle(&port, nullptr, "COM1"), 0);  // any handle but null
        std::vector<uint8_t> expected, read, block(kSize);
        int32_t count = 0;
        ASSERT_EQ(port.WriteData(block.data(), c.start), 0u);  // moves both indices to the start
        port.ReadData(block.data(), c.start, &count);
        for (auto [length, result] : c.blocks) {
            block.resize(std::max(length, 1));  // bytes unlike those of other blocks and places
            for (size_t i = 0; i < block.size(); ++i)
                block[i] = static_cast<uint8_t>(length + i * 7 + i / 251);
            EXPECT_EQ(port.WriteData(block.data(), length), result) << length << " bytes";
            if (result == 0) expected.insert(expected.end(), block.begin(), block.begin() + length);
        }
        for (int32_t maximum : {c.maximum, kSize}) {
            for (count = 1; count > 0;) {
                std::vector<uint8_t> destination(kSize + 1, 0xEE);
                port.ReadData(destination.data(), maximum, &count);
                ASSERT_TRUE(count >= 0 && count <= std::max(maximum, 0)) << count;
                EXPECT_EQ(destination[count], 0xEE) << "copied beyond the count";
                read.insert(read.end(), destination.begin(), destination.begin() + count);
            }
        }
        EXPECT_EQ(read, expected);
    }
}

// Once a block is lost, later ones are not stored either, even one that would fit, until Read
// reports the loss: the reader must never see a stream with a hole in it.
TEST(RingEdges, AfterAnOverflowNothingIsStoredUntilTheLossIsReported) {
    VarnelPHJNI port;
    ASSERT_EQ(port.SetPHHandle(&port, nullptr, "COM1"), 0);
    std::vector<uint8_t> block(kSize);
    for (uint32_t length : {uint32_t{kSize}, 3u}) {
        callbackRead(DCX_EVENT_DATA_RECEIVED, 0, nullptr, length, block.data(), &port);
    }
    EXPECT_EQ(VarnelPHJNITestAccess::FreeSpace(port), uint32_t{kMost});
    EXPECT_EQ(port.GetPHError(), kOver);
}

}  // namespace
