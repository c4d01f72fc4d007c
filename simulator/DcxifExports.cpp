// libdcxif.so of the simulator: the service library's entry points, each passing the call on
// to libvarnelsim.so, which holds the state. Every variant root builds this file once more with
// VSIM_OMIT_<function> defined, so that its library lacks exactly that one function.
#include <type_traits>

#include "OwnDirectory.h"
#include "SimService.h"

#define VSIM_EXPORT extern "C" __attribute__((visibility("default")))

#ifndef VSIM_OMIT_DCX_Initialize
// A scenario file is looked for beside the library the caller loaded, so each root has its own.
VSIM_EXPORT DCXRESULT DCX_Initialize() {
    return VSimSvc_Initialize(vsim::OwnDirectory().c_str());
}
static_assert(std::is_same_v<decltype(DCX_Initialize), DCX_Initialize_t>);
#endif

#ifndef VSIM_OMIT_DCX_Terminate
VSIM_EXPORT DCXRESULT DCX_Terminate() {
    return VSimSvc_Terminate();
}
static_assert(std::is_same_v<decltype(DCX_Terminate), DCX_Terminate_t>);
#endif

#ifndef VSIM_OMIT_DCX_Open
VSIM_EXPORT DCXRESULT DCX_Open(const char* serviceURL, const char* portName, const char* clientName,
                               uint32_t deviceType, void** portHandle) {
    return VSimSvc_Open(serviceURL, portName, clientName, deviceType, portHandle);
}
static_assert(std::is_same_v<decltype(DCX_Open), DCX_Open_t>);
#endif

#ifndef VSIM_OMIT_DCX_Close
VSIM_EXPORT DCXRESULT DCX_Close(void* portHandle) {
    return VSimSvc_Close(portHandle);
}
static_assert(std::is_same_v<decltype(DCX_Close), DCX_Close_t>);
#endif

#ifndef VSIM_OMIT_DCX_Lock
VSIM_EXPORT DCXRESULT DCX_Lock(void* portHandle, uint32_t timeout) {
    return VSimSvc_Lock(portHandle, timeout);
}
static_assert(std::is_same_v<decltype(DCX_Lock), DCX_Lock_t>);
#endif

#ifndef VSIM_OMIT_DCX_Unlock
VSIM_EXPORT DCXRESULT DCX_Unlock(void* portHandle) {
    return VSimSvc_Unlock(portHandle);
}
static_assert(std::is_same_v<decltype(DCX_Unlock), DCX_Unlock_t>);
#endif

#ifndef VSIM_OMIT_DCX_RegisterCallback
VSIM_EXPORT DCXRESULT DCX_RegisterCallback(uint32_t kind, void* portHandle, DCX_CALLBACK callback,
                                           void* context) {
    return VSimSvc_RegisterCallback(kind, portHandle, callback, context);
}
static_assert(std::is_same_v<decltype(DCX_RegisterCallback), DCX_RegisterCallback_t>);
#endif

#ifndef VSIM_OMIT_DCX_UnRegisterCallback
VSIM_EXPORT DCXRESULT DCX_UnRegisterCallback(uint32_t kind, void* portHandle) {
    return VSimSvc_UnRegisterCallback(kind, portHandle);
}
static_assert(std::is_same_v<decltype(DCX_UnRegisterCallback), DCX_UnRegisterCallback_t>);
#endif

#ifndef VSIM_OMIT_DCX_Send
VSIM_EXPORT DCXRESULT DCX_Send(void* portHandle, uint32_t zero1, uint32_t zero2, uint32_t arg1,
                               uint32_t arg2, uint8_t* bytes, uint32_t* sent) {
    return VSimSvc_Send(portHandle, zero1, zero2, arg1, arg2, bytes, sent);
}
static_assert(std::is_same_v<decltype(DCX_Send), DCX_Send_t>);
#endif

#ifndef VSIM_OMIT_DCX_CancelOperation
VSIM_EXPORT DCXRESULT DCX_CancelOperation(void* portHandle, uint32_t operation, uint32_t value) {
    return VSimSvc_CancelOperation(portHandle, operation, value);
}
static_assert(std::is_same_v<decltype(DCX_CancelOperation), DCX_CancelOperation_t>);
#endif

#ifndef VSIM_OMIT_DCX_ResumeSending
VSIM_EXPORT DCXRESULT DCX_ResumeSending(void* portHandle) {
    return VSimSvc_ResumeSending(portHandle);
}
static_assert(std::is_same_v<decltype(DCX_ResumeSending), DCX_ResumeSending_t>);
#endif

#ifndef VSIM_OMIT_DCX_GetProperty
VSIM_EXPORT DCXRESULT DCX_GetProperty(void* portHandle, uint32_t id, int64_t* value) {
    return VSimSvc_GetProperty(portHandle, id, value);
}
static_assert(std::is_same_v<decltype(DCX_GetProperty), DCX_GetProperty_t>);
#endif

#ifndef VSIM_OMIT_DCX_SetProperty
VSIM_EXPORT DCXRESULT DCX_SetProperty(void* portHandle, uint32_t selector1, uint32_t selector2,
                                      int64_t value) {
    return VSimSvc_SetProperty(portHandle, selector1, selector2, value);
}
static_assert(std::is_same_v<decltype(DCX_SetProperty), DCX_SetProperty_t>);
#endif

#ifndef VSIM_OMIT_DCX_GetCapability
VSIM_EXPORT DCXRESULT DCX_GetCapability(void* portHandle, uint32_t id, int64_t* value) {
    return VSimSvc_GetCapability(portHandle, id, value);
}
static_assert(std::is_same_v<decltype(DCX_GetCapability), DCX_GetCapability_t>);
#endif

#ifndef VSIM_OMIT_DCX_ResetDevice
VSIM_EXPORT DCXRESULT DCX_ResetDevice(void* portHandle, uint32_t argument) {
    return VSimSvc_ResetDevice(portHandle, argument);
}
static_assert(std::is_same_v<decltype(DCX_ResetDevice), DCX_ResetDevice_t>);
#endif

#ifndef VSIM_OMIT_DCX_ExtendFunction
VSIM_EXPORT DCXRESULT DCX_ExtendFunction(void* portHandle, uint32_t function, uint32_t code,
                                         uint8_t* input, int32_t inputLength, uint8_t* output,
                                         int32_t outputLength, uint32_t* outputCount) {
    return VSimSvc_ExtendFunction(portHandle, function, code, input, inputLength, output,
                                  outputLength, outputCount);
}
static_assert(std::is_same_v<decltype(DCX_ExtendFunction), DCX_ExtendFunction_t>);
#endif
