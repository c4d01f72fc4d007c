// Natives of com.varnel.bench.Baseline: the least JNI work each bridge method cannot avoid, as
// yardsticks, and a door to the simulator's control API, which Java cannot otherwise reach. The
// service library is the one the bridge loaded (same path, so dlopen hands back the same
// object); the control functions are found through it, in the simulator library it links.
#include <dlfcn.h>
#include <jni.h>

#include <string>

#include "service/DCXServiceAPI.h"

namespace {

DCX_Send_t* send = nullptr;
DCX_GetProperty_t* getProperty = nullptr;
void (*setLoopback)(int) = nullptr;
int (*waitIdle)(uint32_t) = nullptr;
void* (*simHandle)(unsigned) = nullptr;
void (*injectData)(void*, const uint8_t*, uint32_t) = nullptr;
int64_t (*lastCallbackTime)() = nullptr;

// Source of the copies: what a ring would hand over.
jbyte source[0x20000];

template <class Fn>
bool Resolve(void* library, const char* name, Fn*& function) {
    function = reinterpret_cast<Fn*>(dlsym(library, name));
    return function != nullptr;
}

}  // namespace

#define BASELINE(name) Java_com_varnel_bench_Baseline_##name

extern "C" {

// 0 once every function was found under <root>/varnel_dcx/relayhost/libdcxif.so, else -1.
JNIEXPORT jint JNICALL BASELINE(bind)(JNIEnv* env, jclass, jstring root) {
    const char* chars = env->GetStringUTFChars(root, nullptr);
    if (chars == nullptr) return -1;
    const std::string path = std::string(chars) + "/varnel_dcx/relayhost/libdcxif.so";
    env->ReleaseStringUTFChars(root, chars);
    void* library = dlopen(path.c_str(), RTLD_NOW);
    if (library == nullptr) return -1;
    const bool found =
        Resolve(library, "DCX_Send", send) && Resolve(library, "DCX_GetProperty", getProperty) &&
        Resolve(library, "VSim_SetLoopback", setLoopback) &&
        Resolve(library, "VSim_WaitIdle", waitIdle) && Resolve(library, "VSim_Handle", simHandle) &&
        Resolve(library, "VSim_InjectData", injectData) &&
        Resolve(library, "VSim_LastCallbackTime", lastCallbackTime);
    return found ? 0 : -1;
}

// The service handle of the latest connection opened.
JNIEXPORT jlong JNICALL BASELINE(latestServiceHandle)(JNIEnv*, jclass) {
    void* latest = nullptr;
    for (unsigned n = 1; void* handle = simHandle(n); ++n) latest = handle;
    return reinterpret_cast<jlong>(latest);
}

JNIEXPORT jlong JNICALL BASELINE(lastCallbackTime)(JNIEnv*, jclass) {
    return lastCallbackTime();
}

JNIEXPORT void JNICALL BASELINE(loopback)(JNIEnv*, jclass, jboolean on) {
    setLoopback(on ? 1 : 0);
}

JNIEXPORT jboolean JNICALL BASELINE(waitIdle)(JNIEnv*, jclass, jint milliseconds) {
    return waitIdle(static_cast<uint32_t>(milliseconds)) != 0 ? JNI_TRUE : JNI_FALSE;
}

// Queues data to the connection's receive callback, as if the device had sent it (at most 4 KiB).
JNIEXPORT void JNICALL BASELINE(inject)(JNIEnv* env, jclass, jlong serviceHandle, jbyteArray data) {
    jbyte bytes[4096];
    const jsize length = env->GetArrayLength(data);
    if (length > static_cast<jsize>(sizeof bytes)) return;
    env->GetByteArrayRegion(data, 0, length, bytes);
    injectData(reinterpret_cast<void*>(serviceHandle), reinterpret_cast<uint8_t*>(bytes),
               static_cast<uint32_t>(length));
}

// Read's shape, doing nothing.
JNIEXPORT jint JNICALL BASELINE(empty)(JNIEnv*, jclass, jlong, jbyteArray, jint, jintArray) {
    return 0;
}

// What a Read of n waiting bytes must do at least: copy them in and store the count.
JNIEXPORT jint JNICALL BASELINE(copy)(JNIEnv* env, jclass, jlong, jbyteArray data, jint n,
                                      jintArray count) {
    env->SetByteArrayRegion(data, 0, n, source);
    env->SetIntArrayRegion(count, 0, 1, &n);
    return 0;
}

// What a Write must do at least: pin the array, send, release (mode 0), store the count.
JNIEXPORT jint JNICALL BASELINE(pinSend)(JNIEnv* env, jclass, jlong serviceHandle, jbyteArray data,
                                         jint length, jint timeout, jintArray count) {
    jbyte* bytes = env->GetByteArrayElements(data, nullptr);
    if (bytes == nullptr) return -1;
    uint32_t sent = 0;
    const DCXRESULT result =
        send(reinterpret_cast<void*>(serviceHandle), 0, 0, static_cast<uint32_t>(timeout),
             static_cast<uint32_t>(length), reinterpret_cast<uint8_t*>(bytes), &sent);
    env->ReleaseByteArrayElements(data, bytes, 0);
    const auto stored = static_cast<jint>(sent);
    env->SetIntArrayRegion(count, 0, 1, &stored);
    return result == 0 ? 0 : -1;
}

// What a GetProperty must do at least: ask the service, store the value with one region write.
JNIEXPORT jint JNICALL BASELINE(getProperty)(JNIEnv* env, jclass, jlong serviceHandle, jint id,
                                             jlongArray value) {
    int64_t read = 0;
    if (getProperty(reinterpret_cast<void*>(serviceHandle), static_cast<uint32_t>(id), &read) != 0)
        return -1;
    const jlong element = read;
    env->SetLongArrayRegion(value, 0, 1, &element);
    return 0;
}

}  // extern "C"
