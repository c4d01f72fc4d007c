// libportconfig.so of the recording stand-in: each call goes to the real configuration library
// and is written down with its result. Its calls are few, so it reads vsim-record.conf at each.
#include <type_traits>

#include "Recorder.h"

#define VREC_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr const char* kLibrary = "libportconfig.so";

template <class Fn, class... Args>
DCXRESULT forward(const char* function, Args... args) {
    vrec::readConfiguration();
    Fn* real = vrec::real<Fn>(kLibrary, function);
    return real != nullptr ? real(args...) : vrec::kNotAvailable;
}

vrec::CallLine custom(const char* function, const char* serviceURL, const char* portName,
                      const char* key) {
    vrec::CallLine line(function);
    line.str(serviceURL).str(portName).str(key);
    return line;
}

// What a get of a string or binary value handed back: its length, and its bytes.
std::string gotBytes(DCXRESULT r, const uint32_t* length, const uint8_t* bytes) {
    if (length == nullptr) return "";
    std::string out = " length " + std::to_string(*length);
    if (r == 0 && bytes != nullptr) out += " data " + vrec::hex(bytes, *length);
    return out;
}

// A get of a string or binary value: the capacity asked with, then the length and bytes got.
template <class Fn>
DCXRESULT getBytes(const char* function, const char* serviceURL, const char* portName,
                   const char* key, uint32_t* length, uint8_t* bytes) {
    vrec::CallLine line = custom(function, serviceURL, portName, key);
    if (length != nullptr) line.num(*length);
    const DCXRESULT r = forward<Fn>(function, serviceURL, portName, key, length, bytes);
    line.done(r, gotBytes(r, length, bytes));
    return r;
}

}  // namespace

VREC_EXPORT DCXRESULT DCX_GetCustomValueNumber(const char* serviceURL, const char* portName,
                                               const char* key, uint32_t* value) {
    const DCXRESULT r = forward<DCX_GetCustomValueNumber_t>("DCX_GetCustomValueNumber", serviceURL,
                                                            portName, key, value);
    custom("DCX_GetCustomValueNumber", serviceURL, portName, key)
        .done(r, r == 0 && value != nullptr ? " value " + std::to_string(*value) : "");
    return r;
}

VREC_EXPORT DCXRESULT DCX_GetCustomValueString(const char* serviceURL, const char* portName,
                                               const char* key, uint32_t* length, uint8_t* bytes) {
    return getBytes<DCX_GetCustomValueString_t>("DCX_GetCustomValueString", serviceURL, portName,
                                                key, length, bytes);
}

VREC_EXPORT DCXRESULT DCX_GetCustomValueBinary(const char* serviceURL, const char* portName,
                                               const char* key, uint32_t* length, uint8_t* bytes) {
    return getBytes<DCX_GetCustomValueBinary_t>("DCX_GetCustomValueBinary", serviceURL, portName,
                                                key, length, bytes);
}

VREC_EXPORT DCXRESULT DCX_SetCustomValueNumber(const char* serviceURL, const char* portName,
                                               const char* key, uint32_t value) {
    const DCXRESULT r = forward<DCX_SetCustomValueNumber_t>("DCX_SetCustomValueNumber", serviceURL,
                                                            portName, key, value);
    custom("DCX_SetCustomValueNumber", serviceURL, portName, key).num(value).done(r);
    return r;
}

VREC_EXPORT DCXRESULT DCX_SetCustomValueString(const char* serviceURL, const char* portName,
                                               const char* key, const char* value) {
    const DCXRESULT r = forward<DCX_SetCustomValueString_t>("DCX_SetCustomValueString", serviceURL,
                                                            portName, key, value);
    custom("DCX_SetCustomValueString", serviceURL, portName, key).str(value).done(r);
    return r;
}

VREC_EXPORT DCXRESULT DCX_SetCustomValueBinary(const char* serviceURL, const char* portName,
                                               const char* key, int32_t length,
                                               const uint8_t* bytes) {
    const DCXRESULT r = forward<DCX_SetCustomValueBinary_t>("DCX_SetCustomValueBinary", serviceURL,
                                                            portName, key, length, bytes);
    vrec::CallLine line = custom("DCX_SetCustomValueBinary", serviceURL, portName, key);
    line.num(length).done(r, length > 0 && bytes != nullptr
                                 ? " data " + vrec::hex(bytes, static_cast<size_t>(length))
                                 : "");
    return r;
}

VREC_EXPORT DCXRESULT DCX_GetPortConfigNumber(const char* serviceURL, const char* portName,
                                              uint32_t index, uint32_t* value) {
    const DCXRESULT r = forward<DCX_GetPortConfigNumber_t>("DCX_GetPortConfigNumber", serviceURL,
                                                           portName, index, value);
    vrec::CallLine("DCX_GetPortConfigNumber")
        .str(serviceURL)
        .str(portName)
        .num(index)
        .done(r, r == 0 && value != nullptr ? " value " + std::to_string(*value) : "");
    return r;
}

VREC_EXPORT DCXRESULT DCX_GetPortCapabilityValue(const char* serviceURL, const char* portName,
                                                 uint32_t id, uint32_t argument, uint32_t* value) {
    const DCXRESULT r = forward<DCX_GetPortCapabilityValue_t>(
        "DCX_GetPortCapabilityValue", serviceURL, portName, id, argument, value);
    vrec::CallLine("DCX_GetPortCapabilityValue")
        .str(serviceURL)
        .str(portName)
        .num(id)
        .num(argument)
        .done(r, r == 0 && value != nullptr ? " value " + std::to_string(*value) : "");
    return r;
}

static_assert(std::is_same_v<decltype(DCX_SetCustomValueBinary), DCX_SetCustomValueBinary_t>);
static_assert(std::is_same_v<decltype(DCX_GetPortCapabilityValue), DCX_GetPortCapabilityValue_t>);
