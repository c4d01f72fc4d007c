// Custom values of a port, kept by the configuration library (libportconfig.so): the
// process-wide binding to its six custom-value functions and the marshalling of the six IOCtl
// requests between Java's byte arrays and the library's arguments.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/WinApiClone.h"
#include "service/DCXServiceAPI.h"

// IOCtl request codes served here.
inline constexpr int32_t CUSTOM_VALUE_GET_BINARY = 0x40070009;
inline constexpr int32_t CUSTOM_VALUE_GET_NUMBER = 0x4007000A;
inline constexpr int32_t CUSTOM_VALUE_GET_STRING = 0x4007000B;
inline constexpr int32_t CUSTOM_VALUE_SET_BINARY = 0x6007000D;
inline constexpr int32_t CUSTOM_VALUE_SET_NUMBER = 0x6007000E;
inline constexpr int32_t CUSTOM_VALUE_SET_STRING = 0x6007000F;

// A Java byte array pinned for one call: its elements (null when Java passed none) and the
// array's real length, against which every length Java states is checked.
// From IOCtl: PinnedBytes{reinterpret_cast<uint8_t*>(guard.get()), guard.length()}.
struct PinnedBytes {
    uint8_t* data = nullptr;
    int32_t length = 0;

    // Bytes that may be touched: none without elements, whatever length claims.
    int32_t capacity() const { return data != nullptr && length > 0 ? length : 0; }
    // A length Java states for this array: neither negative nor beyond the real array.
    bool holds(int32_t stated) const { return stated >= 0 && stated <= capacity(); }
};

// The binding. Written only by Initialize/TerminateCustomValueIO (under their mutex), read by
// requests on any Java thread, hence atomic. The pointers always come from hPortConfig.
extern std::atomic<HMODULE> hPortConfig;
extern std::atomic<DCX_GetCustomValueNumber_t*> funcGetCustomValueNumber;
extern std::atomic<DCX_GetCustomValueString_t*> funcGetCustomValueString;
extern std::atomic<DCX_GetCustomValueBinary_t*> funcGetCustomValueBinary;
extern std::atomic<DCX_SetCustomValueNumber_t*> funcSetCustomValueNumber;
extern std::atomic<DCX_SetCustomValueString_t*> funcSetCustomValueString;
extern std::atomic<DCX_SetCustomValueBinary_t*> funcSetCustomValueBinary;

// Takes one reference on the binding: loads the configuration library when none is held, then
// resolves all six functions again. 0, or DCX_ERR_NOT_AVAILABLE when the library or one of the
// functions is missing; a failure takes no reference but leaves loaded what it loaded.
DCXRESULT InitializeCustomValueIO();
// Gives one reference back; the last one unloads the library. No-op while none is held.
void TerminateCustomValueIO();
// References currently held (one per successful Initialize not yet terminated).
uint32_t CustomValueIOReferences();

// Dispatches one of the six request codes; DCX_ERR_NOT_SUPPORTED for any other, with nothing
// allocated or called. The input bytes are the key, the output bytes the value; count is written
// by a successful get only.
DCXRESULT CustomValueIOCtrl(const char* serviceURL, const char* portName, int32_t code,
                            PinnedBytes input, int32_t inputLength, PinnedBytes output,
                            int32_t outputLength, uint32_t* count);

// One per request code. Each returns the library's result unchanged, or, before calling it,
// DCX_ERR_PARAMETER for lengths that do not fit the arrays and DCX_ERR_NOT_AVAILABLE while
// nothing is bound. A refused request writes nothing.
DCXRESULT GetBinaryValue(const char* serviceURL, const char* portName, PinnedBytes input,
                         int32_t inputLength, PinnedBytes output, int32_t outputLength,
                         uint32_t* count);
DCXRESULT GetNumberValue(const char* serviceURL, const char* portName, PinnedBytes input,
                         int32_t inputLength, PinnedBytes output, int32_t outputLength,
                         uint32_t* count);
DCXRESULT GetStringValue(const char* serviceURL, const char* portName, PinnedBytes input,
                         int32_t inputLength, PinnedBytes output, int32_t outputLength,
                         uint32_t* count);
DCXRESULT SetBinaryValue(const char* serviceURL, const char* portName, PinnedBytes input,
                         int32_t inputLength, PinnedBytes output, int32_t outputLength,
                         uint32_t* count);
DCXRESULT SetNumberValue(const char* serviceURL, const char* portName, PinnedBytes input,
                         int32_t inputLength, PinnedBytes output, int32_t outputLength,
                         uint32_t* count);
DCXRESULT SetStringValue(const char* serviceURL, const char* portName, PinnedBytes input,
                         int32_t inputLength, PinnedBytes output, int32_t outputLength,
                         uint32_t* count);
