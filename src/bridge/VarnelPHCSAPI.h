// Service result codes the bridge produces itself, and GetErrorCode, the one translation from a
// service result code to the bridge result code that Java receives.
#pragma once

#include <cstdint>

inline constexpr uint32_t DCX_ERR_NOT_AVAILABLE = 0x80000001;
inline constexpr uint32_t DCX_ERR_NOT_INITIALIZED = 0x80000002;
inline constexpr uint32_t DCX_ERR_PARAMETER = 0x80000003;
inline constexpr uint32_t DCX_ERR_NOT_SUPPORTED = 0x80000008;
inline constexpr uint32_t DCX_ERR_BUFFER_OVERFLOW = 0x80000009;
inline constexpr uint32_t DCX_ERR_HANDLE = 0x8000000E;

// Bridge result codes that do not come out of the translation.
inline constexpr int32_t PH_ERR_NOT_AVAILABLE = -5;  // service library not loadable
inline constexpr int32_t PH_ERR_HANDLE = -1;         // null port handle
inline constexpr int32_t PH_ERR_NO_MEMORY = -6;
inline constexpr int32_t PH_ERR_UNEXPECTED = -100;

int32_t GetErrorCode(uint32_t serviceResult);
