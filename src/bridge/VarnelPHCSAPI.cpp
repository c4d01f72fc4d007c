#include "bridge/VarnelPHCSAPI.h"

int32_t GetErrorCode(uint32_t serviceResult) {
    if (serviceResult >= 0x20000007 && serviceResult <= 0x2000000B) return -2;
    // The switch reads as the translation table it implements.
    // clang-format off
    switch (serviceResult) {
        case 0x00000000: return 0;
        case 0x40000001: return -17;
        case 0x40000002: return -15;
        case 0x40000003: return -18;
        case 0x40000004: return -11;
        case 0x80000001: return -5;  // DCX_ERR_NOT_AVAILABLE
        case 0x80000003: return -3;  // DCX_ERR_PARAMETER
        case 0x80000005: return -9;
        case 0x80000006: return -11;
        case 0x80000008: return -4;  // DCX_ERR_NOT_SUPPORTED
        case 0x80000009: return -7;  // DCX_ERR_BUFFER_OVERFLOW
        case 0x8000000B: return -10;
        case 0x8000000E: return -1;  // DCX_ERR_HANDLE
        case 0x8000000F: return -15;
        default: return -100;
    }
    // clang-format on
}
