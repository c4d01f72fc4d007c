// The native methods of PortHandlerIO: each checks its arguments in the common order (null
// environment, handle 0, required arrays), pins through the scoped guards, forwards to the
// port service and translates the service result once, here, at the Java boundary.
#include "bridge/VarnelPHJNIAPI.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <type_traits>
#include <vector>

#include "bridge/ScopedJni.h"
#include "bridge/VarnelPHCSAPI.h"
#include "bridge/VarnelPHReceive.h"
#include "port/VarnelPHJNI.h"
#include "power/OstrelPower.h"
#include "service/CustomValueIOCtrl.h"
#include "service/DCXServiceAPI.h"
#include "service/VarnelPHClassPath.h"

namespace {

VarnelPHJNI* PortOf(jlong handle) {
    return reinterpret_cast<VarnelPHJNI*>(handle);
}

// Shared by GetProperty and GetCapability: asks the service for one 64-bit value, starting at
// 0, and stores it in element 0 of the holder on success only. A holder too small to receive it
// is refused before the service is asked.
template <class Query>
jint GetValue(JNIEnv* env, jlongArray valueHolder, Query query) {
    ScopedLongArray holder(env, valueHolder);
    if (holder.failed() || (!holder.isNull() && holder.length() < 1)) {
        return GetErrorCode(DCX_ERR_PARAMETER);
    }
    int64_t value = 0;
    DCXRESULT result = query(&value);
    if (result != 0) return GetErrorCode(result);
    if (!holder.isNull()) holder.get()[0] = value;
    return 0;
}

// IOCtl codes the bridge serves itself, through port property 6.
constexpr uint32_t IOCTL_GET_PROPERTY6 = 0x40040002;
constexpr uint32_t IOCTL_SET_PROPERTY6 = 0x60040002;

// Calls DCX_Initialize, then binds the configuration library. A bridge result code.
int32_t InitializeDCX(VarnelPHJNI* port) {
    auto initialize = lookup<DCX_Initialize_t>(port->GetPH(), "DCX_Initialize");
    if (initialize == nullptr) return GetErrorCode(DCX_ERR_NOT_AVAILABLE);
    DCXRESULT result = initialize();
    if (result == 0) result = InitializeCustomValueIO();
    return GetErrorCode(result);
}

// Calls DCX_Terminate and, when it succeeds, gives back the configuration-library reference.
int32_t TerminateDCX(VarnelPHJNI* port) {
    auto terminate = lookup<DCX_Terminate_t>(port->GetPH(), "DCX_Terminate");
    if (terminate == nullptr) return GetErrorCode(DCX_ERR_NOT_AVAILABLE);
    DCXRESULT result = terminate();
    if (result != 0) return GetErrorCode(result);
    TerminateCustomValueIO();
    return 0;
}

// Open's service steps after initialisation: open the port, bind it to the port object, lock it
// and register the receive callback. A bridge result code; the caller undoes on failure.
int32_t OpenAndLock(JNIEnv* env, VarnelPHJNI* port, jstring serviceURL, jstring portName,
                    uint32_t deviceType) {
    void* portHandle = nullptr;
    {
        ScopedUtfChars name(env, portName);
        ScopedUtfChars url(env, serviceURL);
        if (name.failed() || url.failed()) return GetErrorCode(DCX_ERR_PARAMETER);
        // A null service URL is taken as the empty one: the local service.
        const char* urlChars = url.isNull() ? "" : url.get();
        auto open = lookup<DCX_Open_t>(port->GetPH(), "DCX_Open");
        if (open == nullptr) return GetErrorCode(DCX_ERR_NOT_AVAILABLE);
        DCXRESULT result = open(urlChars, name.get(), DCX_CLIENT_NAME, deviceType, &portHandle);
        int32_t bound = result == 0 ? port->SetPHHandle(portHandle, urlChars, name.get()) : 0;
        // The strings go back port name first, then service URL.
        name.release();
        url.release();
        if (result != 0) return GetErrorCode(result);
        if (bound != 0) return bound;  // a bridge result code already
    }
    auto lock = reinterpret_cast<DCX_Lock_t*>(GetProcAddress(port->GetPH(), "DCX_Lock"));
    if (lock == nullptr) return GetErrorCode(DCX_ERR_NOT_AVAILABLE);
    DCXRESULT result = lock(portHandle, DCX_LOCK_TIMEOUT);
    if (result != 0) return GetErrorCode(result);
    auto registerCallback = lookup<DCX_RegisterCallback_t>(port->GetPH(), "DCX_RegisterCallback");
    if (registerCallback == nullptr) return GetErrorCode(DCX_ERR_NOT_AVAILABLE);
    return GetErrorCode(registerCallback(DCX_CALLBACK_DATA, portHandle, callbackRead, port));
}

// Power monitoring is best effort: a port it cannot watch opens all the same.
void StartPowerMonitor(JNIEnv* env, VarnelPHJNI* port, jstring serviceURL, jstring portName,
                       uint32_t deviceType) {
    OstrelPowerInitGlobal();
    ScopedUtfChars name(env, portName);
    ScopedUtfChars url(env, serviceURL);
    if (name.failed() || url.failed()) return;
    OstrelPowerInit(port->GetPHHandle(), url.isNull() ? "" : url.get(), name.get(), deviceType);
    name.release();
    url.release();
}

// Port objects whose receive callback could not be unregistered: the service may still call it
// with them as context, so they stay whole, and reachable, for the life of the process. The list
// is never destroyed, so they stay reachable through exit as well.
void RetirePort(VarnelPHJNI* port) {
    static auto* retiredPortsLock = new std::mutex;
    static auto* retiredPorts = new std::vector<VarnelPHJNI*>;
    std::lock_guard<std::mutex> guard(*retiredPortsLock);
    try {
        retiredPorts->push_back(port);
    } catch (const std::bad_alloc&) {
        // Unlisted, but kept all the same: no exception may reach Java.
    }
}

// Close's steps, also used by Open when the handle cannot reach Java. The port object is gone
// (or retired) afterwards whatever the result.
jint ClosePort(VarnelPHJNI* port) {
    void* portHandle = port->GetPHHandle();
    HMODULE library = port->GetPH();
    OstrelPowerFree(portHandle);

    auto unregisterCallback = lookup<DCX_UnRegisterCallback_t>(library, "DCX_UnRegisterCallback");
    DCXRESULT result = unregisterCallback != nullptr
                           ? unregisterCallback(DCX_CALLBACK_DATA, portHandle)
                           : DCX_ERR_NOT_AVAILABLE;
    if (result != 0) {
        RetirePort(port);
        return GetErrorCode(result);
    }
    auto unlock = lookup<DCX_Unlock_t>(library, "DCX_Unlock");
    result = unlock != nullptr ? unlock(portHandle) : DCX_ERR_NOT_AVAILABLE;
    if (result == 0) {
        auto close = lookup<DCX_Close_t>(library, "DCX_Close");
        result = close != nullptr ? close(portHandle) : DCX_ERR_NOT_AVAILABLE;
    }
    if (result == 0) TerminateDCX(port);
    delete port;
    return GetErrorCode(result);
}

// Hands a request that nobody in the bridge serves to the service's extension entry, after
// making sure the service cannot be sent outside a Java array.
DCXRESULT ExtendFunction(VarnelPHJNI* port, uint32_t code, PinnedBytes input, int32_t inputLength,
                         PinnedBytes output, int32_t outputLength, uint32_t* outputCount) {
    auto extend = lookup<DCX_ExtendFunction_t>(port->GetPH(), "DCX_ExtendFunction");
    if (extend == nullptr) return DCX_ERR_NOT_AVAILABLE;
    if (!input.holds(inputLength) || !output.holds(outputLength)) return DCX_ERR_PARAMETER;
    return extend(port->GetPHHandle(), 3, code, input.data, inputLength, output.data, outputLength,
                  outputCount);
}

}  // namespace

static_assert(std::is_same_v<decltype(&callbackRead), DCX_CALLBACK>);

uint32_t callbackRead(uint32_t event, uint32_t, uint32_t*, uint32_t length, uint8_t* bytes,
                      void* context) {
    if (event != DCX_EVENT_DATA_RECEIVED || context == nullptr) return 0;
    if (length == 0 || bytes == nullptr) return 0;
    auto* port = static_cast<VarnelPHJNI*>(context);
    // Once a block has been lost, later ones are dropped too until Read reports the loss: the
    // reader must never see a stream with a hole in it.
    if (port->GetPHError() != 0) return 0;
    if (DCXRESULT result = port->WriteData(bytes, static_cast<int32_t>(length)); result != 0) {
        port->SetPHError(result);
    }
    return 0;
}

DCXRESULT DCXFlushSend(HMODULE library, void* portHandle, uint32_t value) {
    auto cancel = lookup<DCX_CancelOperation_t>(library, "DCX_CancelOperation");
    if (cancel == nullptr) return DCX_ERR_NOT_AVAILABLE;
    auto resume = lookup<DCX_ResumeSending_t>(library, "DCX_ResumeSending");
    if (resume == nullptr) return DCX_ERR_NOT_AVAILABLE;
    cancel(portHandle, 3, value);
    resume(portHandle);
    return 0;
}

DCXRESULT SetDCXProperty(HMODULE library, void* portHandle, uint32_t first, uint32_t second,
                         int64_t value) {
    auto setProperty = lookup<DCX_SetProperty_t>(library, "DCX_SetProperty");
    if (setProperty == nullptr) return DCX_ERR_NOT_AVAILABLE;
    return setProperty(portHandle, first, second, value);
}

DCXRESULT GetDCXProperty(HMODULE library, void* portHandle, uint32_t id, int64_t* value) {
    auto getProperty = lookup<DCX_GetProperty_t>(library, "DCX_GetProperty");
    if (getProperty == nullptr) return DCX_ERR_NOT_AVAILABLE;
    return getProperty(portHandle, id, value);
}

extern "C" {

JNIEXPORT jint JNICALL PH_JNI(Open)(JNIEnv* env, jobject, jstring serviceURL, jstring portName,
                                    jint deviceType, jlongArray handleHolder) {
    if (env == nullptr || portName == nullptr || handleHolder == nullptr) {
        return GetErrorCode(DCX_ERR_PARAMETER);
    }
    // A holder with no element could never receive the handle: refuse before opening anything.
    if (env->GetArrayLength(handleHolder) < 1) return GetErrorCode(DCX_ERR_PARAMETER);

    auto* port = new (std::nothrow) VarnelPHJNI;
    if (port == nullptr) return PH_ERR_NO_MEMORY;
    int32_t result = port->CreatePH();
    if (result == 0) result = InitializeDCX(port);
    if (result != 0) {
        delete port;
        return result;  // already a bridge result code
    }
    result = OpenAndLock(env, port, serviceURL, portName, static_cast<uint32_t>(deviceType));
    if (result != 0) {
        // The port may stay opened (and locked) in the service: DCX_Terminate is all that follows.
        TerminateDCX(port);
        delete port;
        return result;
    }
    StartPowerMonitor(env, port, serviceURL, portName, static_cast<uint32_t>(deviceType));

    ScopedLongArray holder(env, handleHolder);
    if (holder.failed()) {
        ClosePort(port);  // Java cannot learn the handle, so the port must not stay open
        return GetErrorCode(DCX_ERR_PARAMETER);
    }
    holder.get()[0] = reinterpret_cast<jlong>(port);
    return 0;
}

JNIEXPORT jint JNICALL PH_JNI(Close)(JNIEnv* env, jobject, jlong handle) {
    if (env == nullptr) return GetErrorCode(DCX_ERR_PARAMETER);
    if (handle == 0) return GetErrorCode(DCX_ERR_HANDLE);
    return ClosePort(PortOf(handle));
}

JNIEXPORT jint JNICALL PH_JNI(Write)(JNIEnv* env, jobject, jlong handle, jbyteArray data,
                                     jint first, jint second, jintArray countHolder) {
    if (env == nullptr) return GetErrorCode(DCX_ERR_PARAMETER);
    if (handle == 0) return GetErrorCode(DCX_ERR_HANDLE);
    if (data == nullptr) return GetErrorCode(DCX_ERR_PARAMETER);
    VarnelPHJNI* port = PortOf(handle);
    // Declared data first: the guards release the count holder, then the data.
    ScopedByteArray bytes(env, data);
    if (bytes.failed()) return GetErrorCode(DCX_ERR_PARAMETER);
    ScopedIntArray count(env, countHolder);
    if (count.failed()) return GetErrorCode(DCX_ERR_PARAMETER);

    uint32_t sent = 0;
    auto send = lookup<DCX_Send_t>(port->GetPH(), "DCX_Send");
    if (send == nullptr) return GetErrorCode(DCX_ERR_NOT_AVAILABLE);
    // The service takes Java's two ints in swapped order.
    DCXRESULT result =
        send(port->GetPHHandle(), 0, 0, static_cast<uint32_t>(second), static_cast<uint32_t>(first),
             reinterpret_cast<uint8_t*>(bytes.get()), &sent);
    // A failed send may have got part of the way: Java learns how far in either case.
    if (count.length() > 0) count.get()[0] = static_cast<jint>(sent);
    if (result == 0x80000010 || result == 0x80000007 || result == 0x80000006) {
        DCXFlushSend(port->GetPH(), port->GetPHHandle(), 0);
    }
    return GetErrorCode(result);
}

JNIEXPORT jint JNICALL PH_JNI(Read)(JNIEnv* env, jobject, jlong handle, jbyteArray destination,
                                    jint maximum, jintArray countHolder) {
    // The arrays are tested before the handle.
    if (env == nullptr || destination == nullptr || countHolder == nullptr) {
        return GetErrorCode(DCX_ERR_PARAMETER);
    }
    if (handle == 0) return GetErrorCode(DCX_ERR_HANDLE);
    VarnelPHJNI* port = PortOf(handle);
    // While the error is set the callback stores nothing, so clearing after the test loses no
    // block that arrived in between.
    if (DCXRESULT error = port->GetPHError(); error != 0) {
        port->ClearBuffer();
        return GetErrorCode(error);
    }
    ScopedByteArray bytes(env, destination);
    if (bytes.failed()) return GetErrorCode(DCX_ERR_PARAMETER);
    ScopedIntArray count(env, countHolder);
    // Bytes taken out of the ring without a count to report them would be lost.
    if (count.failed() || count.length() < 1) return GetErrorCode(DCX_ERR_PARAMETER);
    // A maximum beyond the array must not write past its end.
    port->ReadData(reinterpret_cast<uint8_t*>(bytes.get()), std::min(maximum, bytes.length()),
                   count.get());
    return 0;
}

JNIEXPORT jint JNICALL PH_JNI(Clear)(JNIEnv* env, jobject, jlong handle) {
    if (env == nullptr) return GetErrorCode(DCX_ERR_PARAMETER);
    if (handle == 0) return GetErrorCode(DCX_ERR_HANDLE);
    return static_cast<jint>(PortOf(handle)->ClearBuffer());
}

JNIEXPORT jint JNICALL PH_JNI(GetProperty)(JNIEnv* env, jobject, jlong handle, jint id,
                                           jlongArray valueHolder) {
    if (env == nullptr) return GetErrorCode(DCX_ERR_PARAMETER);
    if (handle == 0) return GetErrorCode(DCX_ERR_HANDLE);
    VarnelPHJNI* port = PortOf(handle);
    return GetValue(env, valueHolder, [port, id](int64_t* value) {
        return GetDCXProperty(port->GetPH(), port->GetPHHandle(), static_cast<uint32_t>(id), value);
    });
}

JNIEXPORT jint JNICALL PH_JNI(SetProperty)(JNIEnv* env, jobject, jlong handle, jint first,
                                           jint second, jlong value) {
    if (env == nullptr) return GetErrorCode(DCX_ERR_PARAMETER);
    if (handle == 0) return GetErrorCode(DCX_ERR_HANDLE);
    VarnelPHJNI* port = PortOf(handle);
    return GetErrorCode(SetDCXProperty(port->GetPH(), port->GetPHHandle(),
                                       static_cast<uint32_t>(first), static_cast<uint32_t>(second),
                                       value));
}

JNIEXPORT jint JNICALL PH_JNI(GetCapability)(JNIEnv* env, jobject, jlong handle, jint id,
                                             jlongArray valueHolder) {
    if (env == nullptr) return GetErrorCode(DCX_ERR_PARAMETER);
    if (handle == 0) return GetErrorCode(DCX_ERR_HANDLE);
    VarnelPHJNI* port = PortOf(handle);
    return GetValue(env, valueHolder, [port, id](int64_t* value) -> DCXRESULT {
        auto getCapability = lookup<DCX_GetCapability_t>(port->GetPH(), "DCX_GetCapability");
        if (getCapability == nullptr) return DCX_ERR_NOT_AVAILABLE;
        return getCapability(port->GetPHHandle(), static_cast<uint32_t>(id), value);
    });
}

JNIEXPORT jint JNICALL PH_JNI(ResetDevice)(JNIEnv* env, jobject, jlong handle, jint argument) {
    if (env == nullptr) return GetErrorCode(DCX_ERR_PARAMETER);
    if (handle == 0) return GetErrorCode(DCX_ERR_HANDLE);
    VarnelPHJNI* port = PortOf(handle);
    auto resetDevice = lookup<DCX_ResetDevice_t>(port->GetPH(), "DCX_ResetDevice");
    if (resetDevice == nullptr) return GetErrorCode(DCX_ERR_NOT_AVAILABLE);
    return GetErrorCode(resetDevice(port->GetPHHandle(), static_cast<uint32_t>(argument)));
}

JNIEXPORT jint JNICALL PH_JNI(IOCtl)(JNIEnv* env, jobject, jlong handle, jint code,
                                     jbyteArray input, jint inputLength, jbyteArray output,
                                     jint outputLength, jintArray countHolder) {
    if (env == nullptr) return GetErrorCode(DCX_ERR_PARAMETER);
    if (handle == 0) return GetErrorCode(DCX_ERR_HANDLE);
    VarnelPHJNI* port = PortOf(handle);
    ScopedByteArray in(env, input);
    ScopedByteArray out(env, output);
    ScopedIntArray count(env, countHolder);
    if (in.failed() || out.failed() || count.failed() || (!count.isNull() && count.length() < 1)) {
        return GetErrorCode(DCX_ERR_PARAMETER);
    }
    const PinnedBytes inBytes{reinterpret_cast<uint8_t*>(in.get()), in.length()};
    const PinnedBytes outBytes{reinterpret_cast<uint8_t*>(out.get()), out.length()};

    uint32_t outputCount = 0;
    DCXRESULT result = 0;
    int64_t value = 0;
    switch (static_cast<uint32_t>(code)) {
        case IOCTL_GET_PROPERTY6:
            if (outBytes.capacity() < static_cast<int32_t>(sizeof value)) {
                result = DCX_ERR_PARAMETER;
                break;
            }
            result = GetDCXProperty(port->GetPH(), port->GetPHHandle(), 6, &value);
            if (result == 0) {
                std::memcpy(outBytes.data, &value, sizeof value);  // native order: little-endian
                outputCount = sizeof value;
            }
            break;
        case IOCTL_SET_PROPERTY6:
            if (inBytes.capacity() < static_cast<int32_t>(sizeof value)) {
                result = DCX_ERR_PARAMETER;
                break;
            }
            std::memcpy(&value, inBytes.data, sizeof value);
            result = SetDCXProperty(port->GetPH(), port->GetPHHandle(), 3, 6, value);
            break;
        default:
            result = CustomValueIOCtrl(port->GetRefServiceURL(), port->GetRefPortName(), code,
                                       inBytes, inputLength, outBytes, outputLength, &outputCount);
    }
    if (result == DCX_ERR_NOT_SUPPORTED) {
        result = ExtendFunction(port, static_cast<uint32_t>(code), inBytes, inputLength, outBytes,
                                outputLength, &outputCount);
    }
    if (!count.isNull()) count.get()[0] = static_cast<jint>(outputCount);
    return GetErrorCode(result);
}

JNIEXPORT jint JNICALL PH_JNI(SetDCXPath)(JNIEnv* env, jobject, jbyteArray root) {
    if (env == nullptr || root == nullptr) return GetErrorCode(DCX_ERR_PARAMETER);
    ScopedByteArray bytes(env, root);
    if (bytes.failed()) return GetErrorCode(DCX_ERR_PARAMETER);
    // The root ends at its first 0 byte, or at the array's end when Java left none.
    const void* end = std::memchr(bytes.get(), 0, static_cast<size_t>(bytes.length()));
    size_t length = end != nullptr
                        ? static_cast<size_t>(static_cast<const jbyte*>(end) - bytes.get())
                        : static_cast<size_t>(bytes.length());
    if (!SetPHClassPath(reinterpret_cast<const char*>(bytes.get()), length)) {
        return GetErrorCode(DCX_ERR_PARAMETER);
    }
    return 0;
}

JNIEXPORT jint JNICALL PH_JNI(GetPortCapability)(JNIEnv* env, jobject, jstring serviceURL,
                                                 jstring portName, jint id, jint argument,
                                                 jintArray valueHolder) {
    if (env == nullptr) return GetErrorCode(DCX_ERR_PARAMETER);
    // Java always passes both strings; a null one is refused before anyone is asked.
    if (serviceURL == nullptr || portName == nullptr) return GetErrorCode(DCX_ERR_PARAMETER);
    ScopedUtfChars port(env, portName);
    ScopedUtfChars url(env, serviceURL);
    ScopedIntArray holder(env, valueHolder);
    // An empty holder has no element 0 to receive the value.
    if (port.failed() || url.failed() || holder.failed() ||
        (!holder.isNull() && holder.length() < 1)) {
        return GetErrorCode(DCX_ERR_PARAMETER);
    }
    uint32_t value = 0;
    DCXRESULT result = DCX_ERR_PARAMETER;  // any other id, without asking
    if (static_cast<uint32_t>(id) == OSTREL_CAP_POWER_REPORTING) {
        result =
            OstrelCapPowerReporting(url.get(), port.get(), static_cast<uint32_t>(argument), &value);
    }
    url.release();
    port.release();
    // Stored on failure too: Java then reads 0 unless the configuration library wrote a value.
    if (!holder.isNull()) holder.get()[0] = static_cast<jint>(value);
    return GetErrorCode(result);
}

JNIEXPORT jint JNICALL PH_JNI(checkOstrelPowerStatus)(JNIEnv*, jobject, jlong handle) {
    if (handle == 0) return -1;
    VarnelPHJNI* port = PortOf(handle);
    void* portHandle = port->GetPHHandle();
    const int32_t state = OstrelPowerState(portHandle);
    // The service reported the lock lost: take it again, and keep the flag while that fails so
    // the next poll retries. The state is returned either way.
    if (IsPortUnlocked(portHandle) != 0) {
        auto lock = reinterpret_cast<DCX_Lock_t*>(GetProcAddress(port->GetPH(), "DCX_Lock"));
        if (lock != nullptr && lock(portHandle, DCX_LOCK_TIMEOUT) == 0) {
            RecoverPortLock(portHandle);
        }
    }
    return state;
}

}  // extern "C"
