// libportconfig.so of the simulator: the configuration library's entry points, each passing
// the call on to libvarnelsim.so. Variant roots build it with VSIM_OMIT_<function> defined to
// leave exactly that one function out.
#include <type_traits>

#include "SimService.h"

#define VSIM_EXPORT extern "C" __attribute__((visibility("default")))

#ifndef VSIM_OMIT_DCX_GetCustomValueNumber
VSIM_EXPORT DCXRESULT DCX_GetCustomValueNumber(const char* serviceURL, const char* portName,
                                               const char* key, uint32_t* value) {
    return VSimSvc_GetCustomValueNumber(serviceURL, portName, key, value);
}
static_assert(std::is_same_v<decltype(DCX_GetCustomValueNumber), DCX_GetCustomValueNumber_t>);
#endif

#ifndef VSIM_OMIT_DCX_GetCustomValueString
VSIM_EXPORT DCXRESULT DCX_GetCustomValueString(const char* serviceURL, const char* portName,
                                               const char* key, uint32_t* length, uint8_t* bytes) {
    return VSimSvc_GetCustomValueString(serviceURL, portName, key, length, bytes);
}
static_assert(std::is_same_v<decltype(DCX_GetCustomValueString), DCX_GetCustomValueString_t>);
#endif

#ifndef VSIM_OMIT_DCX_GetCustomValueBinary
VSIM_EXPORT DCXRESULT DCX_GetCustomValueBinary(const char* serviceURL, const char* portName,
                                               const char* key, uint32_t* length, uint8_t* bytes) {
    return VSimSvc_GetCustomValueBinary(serviceURL, portName, key, length, bytes);
}
static_assert(std::is_same_v<decltype(DCX_GetCustomValueBinary), DCX_GetCustomValueBinary_t>);
#endif

#ifndef VSIM_OMIT_DCX_SetCustomValueNumber
VSIM_EXPORT DCXRESULT DCX_SetCustomValueNumber(const char* serviceURL, const char* portName,
                                               const char* key, uint32_t value) {
    return VSimSvc_SetCustomValueNumber(serviceURL, portName, key, value);
}
static_assert(std::is_same_v<decltype(DCX_SetCustomValueNumber), DCX_SetCustomValueNumber_t>);
#endif

#ifndef VSIM_OMIT_DCX_SetCustomValueString
VSIM_EXPORT DCXRESULT DCX_SetCustomValueString(const char* serviceURL, const char* portName,
                                               const char* key, const char* value) {
    return VSimSvc_SetCustomValueString(serviceURL, portName, key, value);
}
static_assert(std::is_same_v<decltype(DCX_SetCustomValueString), DCX_SetCustomValueString_t>);
#endif

#ifndef VSIM_OMIT_DCX_SetCustomValueBinary
VSIM_EXPORT DCXRESULT DCX_SetCustomValueBinary(const char* serviceURL, const char* portName,
                                               const char* key, int32_t length,
                                               const uint8_t* bytes) {
    return VSimSvc_SetCustomValueBinary(serviceURL, portName, key, length, bytes);
}
static_assert(std::is_same_v<decltype(DCX_SetCustomValueBinary), DCX_SetCustomValueBinary_t>);
#endif

#ifndef VSIM_OMIT_DCX_GetPortConfigNumber
VSIM_EXPORT DCXRESULT DCX_GetPortConfigNumber(const char* serviceURL, const char* portName,
                                              uint32_t index, uint32_t* value) {
    return VSimSvc_GetPortConfigNumber(serviceURL, portName, index, value);
}
static_assert(std::is_same_v<decltype(DCX_GetPortConfigNumber), DCX_GetPortConfigNumber_t>);
#endif

#ifndef VSIM_OMIT_DCX_GetPortCapabilityValue
VSIM_EXPORT DCXRESULT DCX_GetPortCapabilityValue(const char* serviceURL, const char* portName,
                                                 uint32_t id, uint32_t argument, uint32_t* value) {
    return VSimSvc_GetPortCapabilityValue(serviceURL, portName, id, argument, value);
}
static_assert(std::is_same_v<decltype(DCX_GetPortCapabilityValue), DCX_GetPortCapabilityValue_t>);
#endif
