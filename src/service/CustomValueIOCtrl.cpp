#include "service/CustomValueIOCtrl.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "bridge/VarnelPHCSAPI.h"
#include "service/VarnelPHClassPath.h"

std::atomic<HMODULE> hPortConfig{nullptr};
std::atomic<DCX_GetCustomValueNumber_t*> funcGetCustomValueNumber{nullptr};
std::atomic<DCX_GetCustomValueString_t*> funcGetCustomValueString{nullptr};
std::atomic<DCX_GetCustomValueBinary_t*> funcGetCustomValueBinary{nullptr};
std::atomic<DCX_SetCustomValueNumber_t*> funcSetCustomValueNumber{nullptr};
std::atomic<DCX_SetCustomValueString_t*> funcSetCustomValueString{nullptr};
std::atomic<DCX_SetCustomValueBinary_t*> funcSetCustomValueBinary{nullptr};

namespace {

// Every open port holds one reference from its InitializeDCX to its TerminateDCX, so a request
// on an open port always finds the library loaded, whatever other ports do meanwhile. Opens
// and closes run on several Java threads: the mutex makes load, resolve, count and unload one
// step each, while requests only read atomics and never wait for it.
std::mutex bindingLock;
std::atomic<uint32_t> bindingReferences{0};

template <class Fn>
bool Resolve(std::atomic<Fn*>& pointer, HMODULE library, const char* name) {
    auto* function = reinterpret_cast<Fn*>(GetProcAddress(library, name));
    // Another open may store the same value again while requests read it; atomic is enough.
    pointer.store(function, std::memory_order_release);
    return function != nullptr;
}

// The function a request may call, or null while no reference is held. Acquire pairs with the
// release increment in InitializeCustomValueIO: a reference seen means its six stores are too.
// The caller's own port holds a reference for the length of the call, so the library cannot be
// unloaded between this check and the call.
template <class Fn>
Fn* Bound(const std::atomic<Fn*>& pointer) {
    if (bindingReferences.load(std::memory_order_acquire) == 0) return nullptr;
    return pointer.load(std::memory_order_acquire);
}

struct FreeDeleter {
    void operator()(char* bytes) const { std::free(bytes); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

// length + 1 zero-filled bytes holding the first length bytes: the library always gets a
// 0-terminated copy, never Java's array. Null when out of memory.
CString TerminatedCopy(const uint8_t* bytes, int32_t length) {
    CString copy(static_cast<char*>(std::calloc(static_cast<size_t>(length) + 1, 1)));
    if (copy && length > 0) std::memcpy(copy.get(), bytes, static_cast<size_t>(length));
    return copy;
}

// Bytes of a number a get copies out: the output length compared unsigned, so a negative one
// also gives all 4.
uint32_t NumberBytes(int32_t outputLength) {
    return std::min<uint32_t>(static_cast<uint32_t>(outputLength), sizeof(uint32_t));
}

// Shared by the string and binary gets: the output length goes in as the capacity and the
// length the library reports comes back as the count.
template <class Fn>
DCXRESULT GetBytes(const std::atomic<Fn*>& pointer, const char* serviceURL, const char* portName,
                   PinnedBytes input, int32_t inputLength, PinnedBytes output, int32_t outputLength,
                   uint32_t* count) {
    if (!input.holds(inputLength) || !output.holds(outputLength)) return DCX_ERR_PARAMETER;
    Fn* get = Bound(pointer);
    if (get == nullptr) return DCX_ERR_NOT_AVAILABLE;
    CString key = TerminatedCopy(input.data, inputLength);
    if (!key) return DCX_ERR_NOT_AVAILABLE;
    uint32_t length = static_cast<uint32_t>(outputLength);
    const DCXRESULT result = get(serviceURL, portName, key.get(), &length, output.data);
    if (result == 0 && count != nullptr) *count = length;
    return result;
}

}  // namespace

DCXRESULT InitializeCustomValueIO() {
    std::lock_guard<std::mutex> guard(bindingLock);
    // Relaxed: hPortConfig changes only under bindingLock.
    HMODULE library = hPortConfig.load(std::memory_order_relaxed);
    if (library == nullptr) {
        library = LoadPHLibrary(PH_CONFIG_LIBRARY);
        hPortConfig.store(library, std::memory_order_relaxed);
    }
    if (library == nullptr) return DCX_ERR_NOT_AVAILABLE;
    int missing = 0;
    missing += !Resolve(funcGetCustomValueNumber, library, "DCX_GetCustomValueNumber");
    missing += !Resolve(funcGetCustomValueString, library, "DCX_GetCustomValueString");
    missing += !Resolve(funcGetCustomValueBinary, library, "DCX_GetCustomValueBinary");
    missing += !Resolve(funcSetCustomValueNumber, library, "DCX_SetCustomValueNumber");
    missing += !Resolve(funcSetCustomValueString, library, "DCX_SetCustomValueString");
    missing += !Resolve(funcSetCustomValueBinary, library, "DCX_SetCustomValueBinary");
    // A failed open never calls TerminateDCX, so a failure must not take a reference. What it
    // loaded stays loaded: a later open reuses the handle instead of loading another.
    if (missing != 0) return DCX_ERR_NOT_AVAILABLE;
    // Release publishes the six stores above to requests that see the new count.
    bindingReferences.fetch_add(1, std::memory_order_release);
    return 0;
}

void TerminateCustomValueIO() {
    std::lock_guard<std::mutex> guard(bindingLock);
    const uint32_t references = bindingReferences.load(std::memory_order_relaxed);
    // Nothing to give back: the count must not wrap, and a library a failed open left loaded
    // belongs to no one who could have asked for its release.
    if (references == 0) return;
    // Release: requests that still see a reference read pointers that are valid.
    bindingReferences.store(references - 1, std::memory_order_release);
    if (references > 1) return;
    FreeLibrary(hPortConfig.load(std::memory_order_relaxed));
    hPortConfig.store(nullptr, std::memory_order_relaxed);
}

uint32_t CustomValueIOReferences() {
    return bindingReferences.load(std::memory_order_acquire);
}

DCXRESULT CustomValueIOCtrl(const char* serviceURL, const char* portName, int32_t code,
                            PinnedBytes input, int32_t inputLength, PinnedBytes output,
                            int32_t outputLength, uint32_t* count) {
    using Operation =
        DCXRESULT(const char*, const char*, PinnedBytes, int32_t, PinnedBytes, int32_t, uint32_t*);
    static constexpr struct {
        int32_t code;
        Operation* operation;
    } kOperations[] = {
        {CUSTOM_VALUE_GET_BINARY, GetBinaryValue}, {CUSTOM_VALUE_GET_NUMBER, GetNumberValue},
        {CUSTOM_VALUE_GET_STRING, GetStringValue}, {CUSTOM_VALUE_SET_BINARY, SetBinaryValue},
        {CUSTOM_VALUE_SET_NUMBER, SetNumberValue}, {CUSTOM_VALUE_SET_STRING, SetStringValue},
    };
    for (const auto& entry : kOperations) {
        if (entry.code == code) {
            return entry.operation(serviceURL, portName, input, inputLength, output, outputLength,
                                   count);
        }
    }
    return DCX_ERR_NOT_SUPPORTED;
}

DCXRESULT GetBinaryValue(const char* serviceURL, const char* portName, PinnedBytes input,
                         int32_t inputLength, PinnedBytes output, int32_t outputLength,
                         uint32_t* count) {
    return GetBytes(funcGetCustomValueBinary, serviceURL, portName, input, inputLength, output,
                    outputLength, count);
}

DCXRESULT GetNumberValue(const char* serviceURL, const char* portName, PinnedBytes input,
                         int32_t inputLength, PinnedBytes output, int32_t outputLength,
                         uint32_t* count) {
    const uint32_t copied = NumberBytes(outputLength);
    if (!input.holds(inputLength) || copied > static_cast<uint32_t>(output.capacity())) {
        return DCX_ERR_PARAMETER;
    }
    DCX_GetCustomValueNumber_t* get = Bound(funcGetCustomValueNumber);
    if (get == nullptr) return DCX_ERR_NOT_AVAILABLE;
    CString key = TerminatedCopy(input.data, inputLength);
    if (!key) return DCX_ERR_NOT_AVAILABLE;
    uint32_t value = 0;
    const DCXRESULT result = get(serviceURL, portName, key.get(), &value);
    if (result != 0) return result;
    // Least significant byte first, whatever the machine's byte order.
    for (uint32_t i = 0; i < copied; ++i) output.data[i] = static_cast<uint8_t>(value >> (8 * i));
    if (count != nullptr) *count = copied;
    return 0;
}

DCXRESULT GetStringValue(const char* serviceURL, const char* portName, PinnedBytes input,
                         int32_t inputLength, PinnedBytes output, int32_t outputLength,
                         uint32_t* count) {
    return GetBytes(funcGetCustomValueString, serviceURL, portName, input, inputLength, output,
                    outputLength, count);
}

DCXRESULT SetBinaryValue(const char* serviceURL, const char* portName, PinnedBytes input,
                         int32_t inputLength, PinnedBytes output, int32_t outputLength, uint32_t*) {
    if (!input.holds(inputLength) || !output.holds(outputLength)) return DCX_ERR_PARAMETER;
    DCX_SetCustomValueBinary_t* set = Bound(funcSetCustomValueBinary);
    if (set == nullptr) return DCX_ERR_NOT_AVAILABLE;
    CString key = TerminatedCopy(input.data, inputLength);
    if (!key) return DCX_ERR_NOT_AVAILABLE;
    return set(serviceURL, portName, key.get(), outputLength, output.data);
}

DCXRESULT SetNumberValue(const char* serviceURL, const char* portName, PinnedBytes input,
                         int32_t inputLength, PinnedBytes output, int32_t, uint32_t*) {
    // The value is the first 4 bytes whatever the output length says; they must exist.
    if (!input.holds(inputLength) || output.capacity() < static_cast<int32_t>(sizeof(uint32_t))) {
        return DCX_ERR_PARAMETER;
    }
    DCX_SetCustomValueNumber_t* set = Bound(funcSetCustomValueNumber);
    if (set == nullptr) return DCX_ERR_NOT_AVAILABLE;
    CString key = TerminatedCopy(input.data, inputLength);
    if (!key) return DCX_ERR_NOT_AVAILABLE;
    const uint8_t* b = output.data;
    const uint32_t value = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
    return set(serviceURL, portName, key.get(), value);
}

DCXRESULT SetStringValue(const char* serviceURL, const char* portName, PinnedBytes input,
                         int32_t inputLength, PinnedBytes output, int32_t outputLength, uint32_t*) {
    if (!input.holds(inputLength) || !output.holds(outputLength)) return DCX_ERR_PARAMETER;
    DCX_SetCustomValueString_t* set = Bound(funcSetCustomValueString);
    if (set == nullptr) return DCX_ERR_NOT_AVAILABLE;
    CString key = TerminatedCopy(input.data, inputLength);
    if (!key) return DCX_ERR_NOT_AVAILABLE;
    CString value = TerminatedCopy(output.data, outputLength);
    if (!value) return DCX_ERR_NOT_AVAILABLE;
    return set(serviceURL, portName, key.get(), value.get());
}
