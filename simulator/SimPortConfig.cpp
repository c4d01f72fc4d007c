// The simulated configuration library: custom values by (service URL, port, key), a null
// service URL being the same as "", and the per-port configuration number and capabilities.
#include <cstring>

#include "SimService.h"
#include "SimState.h"

using namespace vsim;

namespace {

CustomKey keyOf(const char* serviceURL, const char* portName, const char* key) {
    return {serviceURL != nullptr ? serviceURL : "", portName, key};
}

const CustomValue* findCustom(State& s, const CustomKey& key) {
    auto found = s.customValues.find(key);
    return found != s.customValues.end() ? &found->second : nullptr;
}

// Strings are handed out with a terminating 0 that the capacity must hold too; the length
// reported on success leaves it out, the length asked for on overflow counts it.
DCXRESULT getBytes(State& s, const CustomKey& key, bool terminated, uint32_t* length,
                   uint8_t* bytes) {
    if (length == nullptr) return kErrParameter;
    const CustomValue* value = findCustom(s, key);
    if (value == nullptr || !value->bytes) return kErrNoValue;
    const std::vector<uint8_t>& stored = *value->bytes;
    const size_t needed = stored.size() + (terminated ? 1 : 0);
    if (needed > *length) {
        *length = static_cast<uint32_t>(needed);
        return kErrBufferOverflow;
    }
    if (needed > 0 && bytes == nullptr) return kErrParameter;
    if (!stored.empty()) std::memcpy(bytes, stored.data(), stored.size());
    if (terminated) bytes[stored.size()] = 0;
    *length = static_cast<uint32_t>(stored.size());
    return 0;
}

LogLine customLine(const char* function, const char* serviceURL, const char* portName,
                   const char* key) {
    LogLine line(function);
    line.str(serviceURL).str(portName).str(key);
    return line;
}

// The capacity a get was called with; "(null)" without a length to read it from.
void capacity(LogLine& line, const uint32_t* length) {
    if (length != nullptr)
        line.num(*length);
    else
        line.str(nullptr);
}

}  // namespace

extern "C" {

DCXRESULT VSimSvc_GetCustomValueNumber(const char* serviceURL, const char* portName,
                                       const char* key, uint32_t* value) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    LogLine line = customLine("DCX_GetCustomValueNumber", serviceURL, portName, key);
    if (DCXRESULT r = enter(s, "DCX_GetCustomValueNumber", line.done())) return r;
    if (portName == nullptr || key == nullptr || value == nullptr) return kErrParameter;
    const CustomValue* stored = findCustom(s, keyOf(serviceURL, portName, key));
    if (stored == nullptr || !stored->number) return kErrNoValue;
    *value = *stored->number;
    return 0;
}

DCXRESULT VSimSvc_GetCustomValueString(const char* serviceURL, const char* portName,
                                       const char* key, uint32_t* length, uint8_t* bytes) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    LogLine line = customLine("DCX_GetCustomValueString", serviceURL, portName, key);
    capacity(line, length);
    if (DCXRESULT r = enter(s, "DCX_GetCustomValueString", line.done())) return r;
    if (portName == nullptr || key == nullptr) return kErrParameter;
    return getBytes(s, keyOf(serviceURL, portName, key), true, length, bytes);
}

DCXRESULT VSimSvc_GetCustomValueBinary(const char* serviceURL, const char* portName,
                                       const char* key, uint32_t* length, uint8_t* bytes) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    LogLine line = customLine("DCX_GetCustomValueBinary", serviceURL, portName, key);
    capacity(line, length);
    if (DCXRESULT r = enter(s, "DCX_GetCustomValueBinary", line.done())) return r;
    if (portName == nullptr || key == nullptr) return kErrParameter;
    return getBytes(s, keyOf(serviceURL, portName, key), false, length, bytes);
}

DCXRESULT VSimSvc_SetCustomValueNumber(const char* serviceURL, const char* portName,
                                       const char* key, uint32_t value) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    LogLine line = customLine("DCX_SetCustomValueNumber", serviceURL, portName, key);
    line.num(value);
    if (DCXRESULT r = enter(s, "DCX_SetCustomValueNumber", line.done())) return r;
    if (portName == nullptr || key == nullptr) return kErrParameter;
    s.customValues[keyOf(serviceURL, portName, key)].number = value;
    return 0;
}

DCXRESULT VSimSvc_SetCustomValueString(const char* serviceURL, const char* portName,
                                       const char* key, const char* value) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    LogLine line = customLine("DCX_SetCustomValueString", serviceURL, portName, key);
    line.str(value);
    if (DCXRESULT r = enter(s, "DCX_SetCustomValueString", line.done())) return r;
    if (portName == nullptr || key == nullptr || value == nullptr) return kErrParameter;
    const auto* begin = reinterpret_cast<const uint8_t*>(value);
    s.customValues[keyOf(serviceURL, portName, key)].bytes.emplace(begin,
                                                                   begin + std::strlen(value));
    return 0;
}

DCXRESULT VSimSvc_SetCustomValueBinary(const char* serviceURL, const char* portName,
                                       const char* key, int32_t length, const uint8_t* bytes) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    LogLine line = customLine("DCX_SetCustomValueBinary", serviceURL, portName, key);
    line.num(length);
    if (DCXRESULT r = enter(s, "DCX_SetCustomValueBinary", line.done())) return r;
    if (portName == nullptr || key == nullptr || length < 0 || (length > 0 && bytes == nullptr))
        return kErrParameter;
    auto& stored = s.customValues[keyOf(serviceURL, portName, key)].bytes;
    if (length == 0)
        stored.emplace();
    else
        stored.emplace(bytes, bytes + length);
    return 0;
}

DCXRESULT VSimSvc_GetPortConfigNumber(const char* serviceURL, const char* portName, uint32_t index,
                                      uint32_t* value) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    LogLine line("DCX_GetPortConfigNumber");
    line.str(serviceURL).str(portName).num(index);
    if (DCXRESULT r = enter(s, "DCX_GetPortConfigNumber", line.done())) return r;
    if (portName == nullptr || value == nullptr) return kErrParameter;
    auto found = s.configNumbers.find(portName);
    *value = found != s.configNumbers.end() ? found->second : 0;
    return 0;
}

DCXRESULT VSimSvc_GetPortCapabilityValue(const char* serviceURL, const char* portName, uint32_t id,
                                         uint32_t argument, uint32_t* value) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    LogLine line("DCX_GetPortCapabilityValue");
    line.str(serviceURL).str(portName).num(id).num(argument);
    if (DCXRESULT r = enter(s, "DCX_GetPortCapabilityValue", line.done())) return r;
    if (portName == nullptr || value == nullptr) return kErrParameter;
    auto found = s.portCapabilities.find({portName, id});
    *value = found != s.portCapabilities.end() ? found->second : 0;
    return 0;
}

}  // extern "C"
