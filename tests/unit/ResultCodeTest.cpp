#include <gtest/gtest.h>

#include "bridge/VarnelPHCSAPI.h"

namespace {

struct Translation {
    uint32_t service;
    int32_t bridge;
};

TEST(GetErrorCode, TranslatesEveryServiceCodeByTheTable) {
    const Translation table[] = {
        {0, 0},
        {0x20000006, -100},
        {0x20000007, -2},
        {0x20000009, -2},
        {0x2000000B, -2},
        {0x2000000C, -100},
        {0x40000001, -17},
        {0x40000002, -15},
        {0x40000003, -18},
        {0x40000004, -11},
        {0x40000005, -100},
        {0x80000001, -5},
        {0x80000002, -100},
        {0x80000003, -3},
        {0x80000004, -100},
        {0x80000005, -9},
        {0x80000006, -11},
        {0x80000007, -100},
        {0x80000008, -4},
        {0x80000009, -7},
        {0x8000000A, -100},
        {0x8000000B, -10},
        {0x8000000E, -1},
        {0x8000000F, -15},
        {0x80000010, -100},
        {0x00000001, -100},
        {0xFFFFFFFF, -100},
    };
    for (const auto& row : table) {
        EXPECT_EQ(GetErrorCode(row.service), row.bridge) << std::hex << "0x" << row.service;
    }
}

}  // namespace
