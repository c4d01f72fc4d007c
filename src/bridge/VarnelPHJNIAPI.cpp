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
#include "port/VarnelPHHandles.h"
#include "port/VarnelPHJNI.h"
#include "power/OstrelPower.h"
#include "service/CustomValueIOCtrl.h"
#include "service/DCXServiceAPI.h"
#include "service/VarnelPHClassPath.h"

namespace {

// Shared by GetProperty and GetCapability: asks the service for one 64-bit value, starting at
// 0, and writes it into element 0 of the holder on success only (a failed call leaves the holder
// as it was). A holder too small to receive it is refused before the service is asked.
template <class Query>
jint GetValue(JNIEnv* env, jlongArray valueHolder, Query query) {
    if (valueHolder != nullptr && env->GetArrayLength(valueHolder) < 1) {
        return GetErrorCode(DCX_ERR_PARAMETER);
    }
    int64_t value = 0;
    DCXRESULT result = query(&value);
    if (result != 0) return GetErrorCode(result);
    if (valueHolder != nullptr) {
        const jlong element = value;
        env->SetLongArrayRegion(valueHolder, 0, 1, &element);
    }
    return 0;
}

// Element 0 of an int holder Java passed, when it has one.
void StoreCount(JNIEnv* env, jintArray holder, jsize holderLength, int32_t count) {
    if (holder != nullptr && holderLength >= 1) env->SetIntArrayRegion(holder, 0, 1, &count);
}

// IOCtl codes the bridge serves itself, through port property 6.
constexpr uint32_t IOCTL_GET_PROPERTY6 = 0x40040002;
constexpr uint32_t IOCTL_SET_PROPERTY6 = 0x60040002;

// Calls DCX_Initialize, then binds the configuration library. A bridge result code.
int32_t InitializeDCX(VarnelPHJNI* port) {
    auto initialize = port->DCX().Initialize;
    if (initialize == nullptr) return GetErrorCode(DCX_ERR_NOT_AVAILABLE);
    DCXRESULT result = initialize();
    if (result == 0) result = InitializeCustomValueIO();
    return GetErrorCode(result);
}

// Calls DCX_Terminate; its service result, DCX_ERR_NOT_AVAILABLE when it is missing.
DCXRESULT TerminateService(VarnelPHJNI* port) {
    auto terminate = port->DCX().Terminate;
    return terminate != nullptr ? terminate() : DCX_ERR_NOT_AVAILABLE;
}

// Calls DCX_Terminate and, when it succeeds, gives back the configuration-library reference.
int32_t TerminateDCX(VarnelPHJNI* port) {
    DCXRESULT result = TerminateService(port);
    if (result != 0) return GetErrorCode(result);
    TerminateCustomValueIO();
    return 0;
}

// Open's service steps after initialisation: open the port, bind it to the port object, lock it
// and register the receive callback. A bridge result code; the caller undoes on failure.
int32_t OpenAndLock(JNIEnv* env, VarnelPHJNI* port, jstring serviceURL, jstring portName,
                    uint32_t deviceType) {
    const DCXFunctions& dcx = port->DCX();
    void* portHandle = nullptr;
    {
        ScopedPortStrings strings(env, portName, serviceURL);
        if (strings.failed()) return GetErrorCode(DCX_ERR_PARAMETER);
        if (dcx.Open == nullptr) return GetErrorCode(DCX_ERR_NOT_AVAILABLE);
        DCXRESULT result =
            dcx.Open(strings.url(), strings.name(), DCX_CLIENT_NAME, deviceType, &portHandle);
        int32_t bound =
            result == 0 ? port->SetPHHandle(portHandle, strings.url(), strings.name()) : 0;
        strings.release();
        if (result != 0) return GetErrorCode(result);
        if (bound != 0) return bound;  // a bridge result code already
    }
    if (dcx.Lock == nullptr) return GetErrorCode(DCX_ERR_NOT_AVAILABLE);
    DCXRESULT result = dcx.Lock(portHandle, DCX_LOCK_TIMEOUT);
    if (result != 0) return GetErrorCode(result);
    auto registerCallback = dcx.RegisterCallback;
    if (registerCallback == nullptr) return GetErrorCode(DCX_ERR_NOT_AVAILABLE);
    return GetErrorCode(registerCallback(DCX_CALLBACK_DATA, portHandle, callbackRead, port));
}

// Power monitoring is best effort: a port it cannot watch opens all the same.
void StartPowerMonitor(JNIEnv* env, VarnelPHJNI* port, jstring serviceURL, jstring portName,
                       uint32_t deviceType) {
    OstrelPowerInitGlobal();
    ScopedPortStrings strings(env, portName, serviceURL);
    if (strings.failed()) return;
    OstrelPowerInit(port->GetPHHandle(), strings.url(), strings.name(), deviceType);
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

// Close's steps, also used by Open when the handle cannot reach Java. They run at once, whatever
// calls are still in flight on the port (a send blocked in the service is released by
// DCX_Close); the port object, and the configuration-library reference a custom-value request
// may be using, go once the last of those calls has ended. The port object is gone (or retired)
// afterwards whatever the result.
jint ClosePort(VarnelPHJNI* port) {
    void* portHandle = port->GetPHHandle();
    const DCXFunctions& dcx = port->DCX();
    OstrelPowerFree(portHandle);

    DCXRESULT result = dcx.UnRegisterCallback != nullptr
                           ? dcx.UnRegisterCallback(DCX_CALLBACK_DATA, portHandle)
                           : DCX_ERR_NOT_AVAILABLE;
    if (result != 0) {
        RetirePort(port);
        return GetErrorCode(result);
    }
    result = dcx.Unlock != nullptr ? dcx.Unlock(portHandle) : DCX_ERR_NOT_AVAILABLE;
    if (result == 0) result = dcx.Close != nullptr ? dcx.Close(portHandle) : DCX_ERR_NOT_AVAILABLE;
    bool releasesBinding = false;
    if (result == 0) {
        // No registration on the handle can report any more: the power records may go.
        OstrelPowerClosed(portHandle);
        releasesBinding = TerminateService(port) == 0;
    }
    DestroyPort(port, releasesBinding);
    return GetErrorCode(result);
}

// Hands a request that nobody in the bridge serves to the service's extension entry, after
// making sure the service cannot be sent outside a Java array.
DCXRESULT ExtendFunction(VarnelPHJNI* port, uint32_t code, PinnedBytes input, int32_t inputLength,
                         PinnedBytes output, int32_t outputLength, uint32_t* outputCount) {
    auto extend = port->DCX().ExtendFunction;
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

DCXRESULT DCXFlushSend(const DCXFunctions& dcx, void* portHandle, uint32_t value) {
    if (dcx.CancelOperation == nullptr || dcx.ResumeSending == nullptr) {
        return DCX_ERR_NOT_AVAILABLE;
    }
    dcx.CancelOperation(portHandle, 3, value);
    dcx.ResumeSending(portHandle);
    return 0;
}

DCXRESULT SetDCXProperty(const DCXFunctions& dcx, void* portHandle, uint32_t first, uint32_t second,
                         int64_t value) {
    if (dcx.SetProperty == nullptr) return DCX_ERR_NOT_AVAILABLE;
    return dcx.SetProperty(portHandle, first, second, value);
}

DCXRESULT GetDCXProperty(const DCXFunctions& dcx, void* portHandle, uint32_t id, int64_t* value) {
    if (dcx.GetProperty == nullptr) return DCX_ERR_NOT_AVAILABLE;
    return dcx.GetProperty(portHandle, id, value);
}

extern "C" {

JNIEXPORT jint JNICALL PH_JNI(Open)(JNIEnv* env, jobject, jstring serviceURL, jstring portName,
                                    jint deviceType, jlongArray handleHolder) {
    if (env == nullptr || portName == nullptr || handleHolder == nullptr) {
        return GetErrorCode(DCX_ERR_PARAMETER);
    }
    // A holder with no element could never receive the handle: refuse before opening anything.
    if (env->GetArrayLength(handleHolder) < 1) return GetErrorCode(DCX_ERR_PARAMETER);

    VarnelPHJNI* port = NewPort();
    if (port == nullptr) return PH_ERR_NO_MEMORY;
    int32_t result = port->CreatePH();
    if (result == 0) result = InitializeDCX(port);
    if (result != 0) {
        DestroyPort(port);
        return result;  // already a bridge result code
    }
    result = OpenAndLock(env, port, serviceURL, portName, static_cast<uint32_t>(deviceType));
    if (result != 0) {
        // The port may stay opened (and locked) in the service: DCX_Terminate is all that follows.
        TerminateDCX(port);
        DestroyPort(port);
        return result;
    }
    StartPowerMonitor(env, port, serviceURL, portName, static_cast<uint32_t>(deviceType));

    ScopedLongArray holder(env, handleHolder);
    if (holder.failed()) {
        ClosePort(port);  // Java cannot learn the handle: the port must not stay
        return GetErrorCode(DCX_ERR_PARAMETER);
    }
    // Valid only once written: a Close with the handle read from the holder before then is
    // refused rather than closing a port whose Open has not returned.
    holder.get()[0] = reinterpret_cast<jlong>(port);
    PublishPort(port);
    return 0;
}

JNIEXPORT jint JNICALL PH_JNI(Close)(JNIEnv* env, jobject, jlong handle) {
    if (env == nullptr) return GetErrorCode(DCX_ERR_PARAMETER);
    VarnelPHJNI* port = TakeLivePort(handle);
    if (port == nullptr) return GetErrorCode(DCX_ERR_HANDLE);
    return ClosePort(port);
}

JNIEXPORT jint JNICALL PH_JNI(Write)(JNIEnv* env, jobject, jlong handle, jbyteArray data,
                                     jint first, jint second, jintArray countHolder) {
    if (env == nullptr) return GetErrorCode(DCX_ERR_PARAMETER);
    PortHold port(handle);
    if (!port) return GetErrorCode(DCX_ERR_HANDLE);
    if (data == nullptr) return GetErrorCode(DCX_ERR_PARAMETER);
    // The service decides how many bytes it reads, so the whole array is pinned, and what the
    // service leaves in it goes back to Java.
    ScopedByteArray bytes(env, data);
    if (bytes.failed()) return GetErrorCode(DCX_ERR_PARAMETER);
    const jsize countLength = countHolder != nullptr ? env->GetArrayLength(countHolder) : 0;

    auto send = port->DCX().Send;
    if (send == nullptr) return GetErrorCode(DCX_ERR_NOT_AVAILABLE);
    uint32_t sent = 0;
    // The service takes Java's two ints in swapped order.
    DCXRESULT result =
        send(port->GetPHHandle(), 0, 0, static_cast<uint32_t>(second), static_cast<uint32_t>(first),
             reinterpret_cast<uint8_t*>(bytes.get()), &sent);
    // A failed send may have got part of the way: Java learns how far in either case.
    StoreCount(env, countHolder, countLength, static_cast<int32_t>(sent));
    // A port closed while the send waited is closed in the service too: nothing to flush.
    const bool flush = result == 0x80000010 || result == 0x80000007 || result == 0x80000006;
    if (flush && port.StillOpen()) {
        DCXFlushSend(port->DCX(), port->GetPHHandle(), 0);
    }
    return GetErrorCode(result);
}

JNIEXPORT jint JNICALL PH_JNI(Read)(JNIEnv* env, jobject, jlong handle, jbyteArray destination,
                                    jint maximum, jintArray countHolder) {
    // The arrays are tested before the handle.
    if (env == nullptr || destination == nullptr || countHolder == nullptr) {
        return GetErrorCode(DCX_ERR_PARAMETER);
    }
    PortHold port(handle);
    if (!port) return GetErrorCode(DCX_ERR_HANDLE);
    const jsize countLength = env->GetArrayLength(countHolder);
    // Nothing waiting and nothing to report: only the count is written.
    if (port->Idle()) {
        if (countLength < 1) return GetErrorCode(DCX_ERR_PARAMETER);
        StoreCount(env, countHolder, countLength, 0);
        return 0;
    }
    // A maximum beyond the array must not write past its end. Bytes taken out of the ring
    // without a count to report them would be lost, so a holder without element 0 takes none.
    const jint limit = std::min(maximum, env->GetArrayLength(destination));
    int32_t count = 0;
    const DCXRESULT error = port->TakeData(
        countLength >= 1, limit, &count, [&](uint32_t offset, const uint8_t* bytes, uint32_t n) {
            env->SetByteArrayRegion(destination, static_cast<jsize>(offset), static_cast<jsize>(n),
                                    reinterpret_cast<const jbyte*>(bytes));
        });
    if (error != 0) return GetErrorCode(error);  // the ring was emptied; the count is untouched
    if (countLength < 1) return GetErrorCode(DCX_ERR_PARAMETER);
    StoreCount(env, countHolder, countLength, count);
    return 0;
}

JNIEXPORT jint JNICALL PH_JNI(Clear)(JNIEnv* env, jobject, jlong handle) {
    if (env == nullptr) return GetErrorCode(DCX_ERR_PARAMETER);
    PortHold port(handle);
    if (!port) return GetErrorCode(DCX_ERR_HANDLE);
    return static_cast<jint>(port->ClearBuffer());
}

JNIEXPORT jint JNICALL PH_JNI(GetProperty)(JNIEnv* env, jobject, jlong handle, jint id,
                                           jlongArray valueHolder) {
    if (env == nullptr) return GetErrorCode(DCX_ERR_PARAMETER);
    PortHold port(handle);
    if (!port) return GetErrorCode(DCX_ERR_HANDLE);
    return GetValue(env, valueHolder, [&port, id](int64_t* value) {
        return GetDCXProperty(port->DCX(), port->GetPHHandle(), static_cast<uint32_t>(id), value);
    });
}

JNIEXPORT jint JNICALL PH_JNI(SetProperty)(JNIEnv* env, jobject, jlong handle, jint first,
                                           jint second, jlong value) {
    if (env == nullptr) return GetErrorCode(DCX_ERR_PARAMETER);
    PortHold port(handle);
    if (!port) return GetErrorCode(DCX_ERR_HANDLE);
    return GetErrorCode(SetDCXProperty(port->DCX(), port->GetPHHandle(),
                                       static_cast<uint32_t>(first), static_cast<uint32_t>(second),
                                       value));
}

JNIEXPORT jint JNICALL PH_JNI(GetCapability)(JNIEnv* env, jobject, jlong handle, jint id,
                                             jlongArray valueHolder) {
    if (env == nullptr) return GetErrorCode(DCX_ERR_PARAMETER);
    PortHold port(handle);
    if (!port) return GetErrorCode(DCX_ERR_HANDLE);
    return GetValue(env, valueHolder, [&port, id](int64_t* value) -> DCXRESULT {
        auto getCapability = port->DCX().GetCapability;
        if (getCapability == nullptr) return DCX_ERR_NOT_AVAILABLE;
        return getCapability(port->GetPHHandle(), static_cast<uint32_t>(id), value);
    });
}

JNIEXPORT jint JNICALL PH_JNI(ResetDevice)(JNIEnv* env, jobject, jlong handle, jint argument) {
    if (env == nullptr) return GetErrorCode(DCX_ERR_PARAMETER);
    PortHold port(handle);
    if (!port) return GetErrorCode(DCX_ERR_HANDLE);
    auto resetDevice = port->DCX().ResetDevice;
    if (resetDevice == nullptr) return GetErrorCode(DCX_ERR_NOT_AVAILABLE);
    return GetErrorCode(resetDevice(port->GetPHHandle(), static_cast<uint32_t>(argument)));
}

JNIEXPORT jint JNICALL PH_JNI(IOCtl)(JNIEnv* env, jobject, jlong handle, jint code,
                                     jbyteArray input, jint inputLength, jbyteArray output,
                                     jint outputLength, jintArray countHolder) {
    if (env == nullptr) return GetErrorCode(DCX_ERR_PARAMETER);
    PortHold port(handle);
    if (!port) return GetErrorCode(DCX_ERR_HANDLE);
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
            result = GetDCXProperty(port->DCX(), port->GetPHHandle(), 6, &value);
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
            result = SetDCXProperty(port->DCX(), port->GetPHHandle(), 3, 6, value);
            break;
        default:
            result = CustomValueIOCtrl(port->GetRefServiceURL(), port->GetRefPortName(), code,
                                       inBytes, inputLength, outBytes, outputLength, &outputCount);
    }
    if (result == DCX_ERR_NOT_SUPPORTED) {
        result = ExtendFunction(port.get(), static_cast<uint32_t>(code), inBytes, inputLength,
                                outBytes, outputLength, &outputCount);
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
    PortHold port(handle);
    if (!port) return -1;
    void* portHandle = port->GetPHHandle();
    const int32_t state = OstrelPowerState(portHandle);
    // The service reported the lock lost: take it again, and keep the flag while that fails so
    // the next poll retries (also when a new loss was reported meanwhile). The state is
    // returned either way.
    uint32_t reports = 0;
    if (IsPortUnlocked(portHandle, &reports) != 0 && port.StillOpen()) {
        auto lock = port->DCX().Lock;
        if (lock != nullptr && lock(portHandle, DCX_LOCK_TIMEOUT) == 0) {
            RecoverPortLock(portHandle, reports);
        }
    }
    return state;
}

}  // extern "C"
