// Declarations of the two port-service libraries (libdcxif.so, libportconfig.so) as the
// bridge calls them, and the one helper through which the native methods look them up.
#pragma once

#include <dlfcn.h>

#include <cstdint>

// Service result code: 0 is success.
using DCXRESULT = uint32_t;

// Event codes delivered to a service callback.
inline constexpr uint32_t DCX_EVENT_DATA_RECEIVED = 0x10000000;
inline constexpr uint32_t DCX_EVENT_POWER_STATE = 0x40000000;
inline constexpr uint32_t DCX_EVENT_LOCK_STATE = 0x40000006;

// Callback kinds for DCX_RegisterCallback.
inline constexpr uint32_t DCX_CALLBACK_DATA = 0;
inline constexpr uint32_t DCX_CALLBACK_POWER = 2;

// Client name the bridge opens every connection under.
inline constexpr const char* DCX_CLIENT_NAME = "UPOS";
// Timeout handed to DCX_Lock.
inline constexpr uint32_t DCX_LOCK_TIMEOUT = 100;

extern "C" {

// Service callback: event code, item count, values, byte length, bytes, context. Returns 0.
typedef uint32_t (*DCX_CALLBACK)(uint32_t event, uint32_t count, uint32_t* values, uint32_t length,
                                 uint8_t* bytes, void* context);

// libdcxif.so
typedef DCXRESULT DCX_Initialize_t();
typedef DCXRESULT DCX_Terminate_t();
typedef DCXRESULT DCX_Open_t(const char* serviceURL, const char* portName, const char* clientName,
                             uint32_t deviceType, void** portHandle);
typedef DCXRESULT DCX_Close_t(void* portHandle);
typedef DCXRESULT DCX_Lock_t(void* portHandle, uint32_t timeout);
typedef DCXRESULT DCX_Unlock_t(void* portHandle);
typedef DCXRESULT DCX_RegisterCallback_t(uint32_t kind, void* portHandle, DCX_CALLBACK callback,
                                         void* context);
typedef DCXRESULT DCX_UnRegisterCallback_t(uint32_t kind, void* portHandle);
typedef DCXRESULT DCX_Send_t(void* portHandle, uint32_t zero1, uint32_t zero2, uint32_t arg1,
                             uint32_t arg2, uint8_t* bytes, uint32_t* sent);
typedef DCXRESULT DCX_CancelOperation_t(void* portHandle, uint32_t operation, uint32_t value);
typedef DCXRESULT DCX_ResumeSending_t(void* portHandle);
typedef DCXRESULT DCX_GetProperty_t(void* portHandle, uint32_t id, int64_t* value);
typedef DCXRESULT DCX_SetProperty_t(void* portHandle, uint32_t selector1, uint32_t selector2,
                                    int64_t value);
typedef DCXRESULT DCX_GetCapability_t(void* portHandle, uint32_t id, int64_t* value);
typedef DCXRESULT DCX_ResetDevice_t(void* portHandle, uint32_t argument);
typedef DCXRESULT DCX_ExtendFunction_t(void* portHandle, uint32_t function, uint32_t code,
                                       uint8_t* input, int32_t inputLength, uint8_t* output,
                                       int32_t outputLength, uint32_t* outputCount);

// libportconfig.so
typedef DCXRESULT DCX_GetCustomValueNumber_t(const char* serviceURL, const char* portName,
                                             const char* key, uint32_t* value);
typedef DCXRESULT DCX_GetCustomValueString_t(const char* serviceURL, const char* portName,
                                             const char* key, uint32_t* length, uint8_t* bytes);
typedef DCXRESULT DCX_GetCustomValueBinary_t(const char* serviceURL, const char* portName,
                                             const char* key, uint32_t* length, uint8_t* bytes);
typedef DCXRESULT DCX_SetCustomValueNumber_t(const char* serviceURL, const char* portName,
                                             const char* key, uint32_t value);
typedef DCXRESULT DCX_SetCustomValueString_t(const char* serviceURL, const char* portName,
                                             const char* key, const char* value);
typedef DCXRESULT DCX_SetCustomValueBinary_t(const char* serviceURL, const char* portName,
                                             const char* key, int32_t length, const uint8_t* bytes);
typedef DCXRESULT DCX_GetPortConfigNumber_t(const char* serviceURL, const char* portName,
                                            uint32_t index, uint32_t* value);
typedef DCXRESULT DCX_GetPortCapabilityValue_t(const char* serviceURL, const char* portName,
                                               uint32_t id, uint32_t argument, uint32_t* value);

}  // extern "C"

// Looks a service function up: dlerror is cleared, dlsym asked, and a pending dlerror afterwards
// means the function is missing (null is returned).
template <class Fn>
Fn* lookup(void* library, const char* name) {
    dlerror();
    void* symbol = dlsym(library, name);
    if (dlerror() != nullptr) return nullptr;
    return reinterpret_cast<Fn*>(symbol);
}

// The service functions a port object calls, looked up once in its library handle (which never
// changes for the object's life); a missing one stays null and is reported where it is called.
struct DCXFunctions {
    DCX_Initialize_t* Initialize = nullptr;
    DCX_Terminate_t* Terminate = nullptr;
    DCX_Open_t* Open = nullptr;
    DCX_Close_t* Close = nullptr;
    DCX_Lock_t* Lock = nullptr;
    DCX_Unlock_t* Unlock = nullptr;
    DCX_RegisterCallback_t* RegisterCallback = nullptr;
    DCX_UnRegisterCallback_t* UnRegisterCallback = nullptr;
    DCX_Send_t* Send = nullptr;
    DCX_CancelOperation_t* CancelOperation = nullptr;
    DCX_ResumeSending_t* ResumeSending = nullptr;
    DCX_GetProperty_t* GetProperty = nullptr;
    DCX_SetProperty_t* SetProperty = nullptr;
    DCX_GetCapability_t* GetCapability = nullptr;
    DCX_ResetDevice_t* ResetDevice = nullptr;
    DCX_ExtendFunction_t* ExtendFunction = nullptr;
};

inline DCXFunctions ResolveDCXFunctions(void* library) {
    DCXFunctions f;
    if (library == nullptr) return f;
#define VARNEL_RESOLVE(name) f.name = lookup<DCX_##name##_t>(library, "DCX_" #name)
    VARNEL_RESOLVE(Initialize);
    VARNEL_RESOLVE(Terminate);
    VARNEL_RESOLVE(Open);
    VARNEL_RESOLVE(Close);
    VARNEL_RESOLVE(Lock);
    VARNEL_RESOLVE(Unlock);
    VARNEL_RESOLVE(RegisterCallback);
    VARNEL_RESOLVE(UnRegisterCallback);
    VARNEL_RESOLVE(Send);
    VARNEL_RESOLVE(CancelOperation);
    VARNEL_RESOLVE(ResumeSending);
    VARNEL_RESOLVE(GetProperty);
    VARNEL_RESOLVE(SetProperty);
    VARNEL_RESOLVE(GetCapability);
    VARNEL_RESOLVE(ResetDevice);
    VARNEL_RESOLVE(ExtendFunction);
#undef VARNEL_RESOLVE
    return f;
}
