// Natives of the testkit's SimulatorControl: the simulator's control API, reached through the
// handle of a simulated libdcxif.so so that the calls steer the very libvarnelsim.so instance that
// library is bound to, whichever copy of it the process loaded first.
#include <dlfcn.h>
#include <jni.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using LogSize_t = size_t();
using LogEntry_t = int(size_t, char*, size_t);
using CallCount_t = size_t(const char*);
using ApplyScenarioText_t = int(const char*);
using ScenarioError_t = int(char*, size_t);
using Reset_t = void();
using SetFlag_t = void(int);
using WaitIdle_t = int(uint32_t);

void* library(jlong handle) {
    return reinterpret_cast<void*>(static_cast<intptr_t>(handle));
}

void raise(JNIEnv* env, const char* className, const std::string& message) {
    jclass type = env->FindClass(className);
    if (type != nullptr) env->ThrowNew(type, message.c_str());
}

// The control function, or null with UnsupportedOperationException pending: a simulator older
// than the testkit may lack it.
template <class Fn>
Fn* lookup(JNIEnv* env, jlong handle, const char* name) {
    auto* fn = reinterpret_cast<Fn*>(dlsym(library(handle), name));
    if (fn == nullptr) {
        raise(env, "java/lang/UnsupportedOperationException",
              std::string("the simulator has no ") + name);
    }
    return fn;
}

// Java bytes as a 0-terminated C string.
std::string cString(JNIEnv* env, jbyteArray bytes) {
    const jsize length = env->GetArrayLength(bytes);
    std::string text(static_cast<size_t>(length), '\0');
    env->GetByteArrayRegion(bytes, 0, length, reinterpret_cast<jbyte*>(text.data()));
    return text;
}

jbyteArray javaBytes(JNIEnv* env, const char* bytes, size_t length) {
    jbyteArray result = env->NewByteArray(static_cast<jsize>(length));
    if (result != nullptr) {
        env->SetByteArrayRegion(result, 0, static_cast<jsize>(length),
                                reinterpret_cast<const jbyte*>(bytes));
    }
    return result;
}

}  // namespace

extern "C" {

JNIEXPORT jlong JNICALL Java_com_varnel_pos_comm_v4_10001_testkit_SimulatorControl_open(
    JNIEnv* env, jclass, jbyteArray path) {
    const std::string file = cString(env, path);
    void* handle = dlopen(file.c_str(), RTLD_LAZY);
    if (handle == nullptr) {
        const char* reason = dlerror();
        raise(env, "java/lang/IllegalStateException",
              "cannot load " + file + ": " + (reason != nullptr ? reason : "unknown reason"));
    }
    return static_cast<jlong>(reinterpret_cast<intptr_t>(handle));
}

JNIEXPORT void JNICALL
Java_com_varnel_pos_comm_v4_10001_testkit_SimulatorControl_close(JNIEnv*, jclass, jlong handle) {
    dlclose(library(handle));
}

JNIEXPORT void JNICALL Java_com_varnel_pos_comm_v4_10001_testkit_SimulatorControl_reset(
    JNIEnv* env, jclass, jlong handle) {
    auto* reset = lookup<Reset_t>(env, handle, "VSim_Reset");
    auto* files = lookup<SetFlag_t>(env, handle, "VSim_SetScenarioFiles");
    if (reset == nullptr || files == nullptr) return;
    reset();
    // The reset turns scenario files off, but the service under test reads its script from one.
    files(1);
}

JNIEXPORT jint JNICALL Java_com_varnel_pos_comm_v4_10001_testkit_SimulatorControl_apply(
    JNIEnv* env, jclass, jlong handle, jbyteArray text) {
    auto* apply = lookup<ApplyScenarioText_t>(env, handle, "VSim_ApplyScenarioText");
    if (apply == nullptr) return -1;
    return apply(cString(env, text).c_str());
}

JNIEXPORT jbyteArray JNICALL
Java_com_varnel_pos_comm_v4_10001_testkit_SimulatorControl_scenarioError(JNIEnv* env, jclass,
                                                                         jlong handle) {
    auto* error = lookup<ScenarioError_t>(env, handle, "VSim_ScenarioError");
    if (error == nullptr) return nullptr;
    std::vector<char> buffer(256);
    const int length = error(buffer.data(), buffer.size());
    if (length >= static_cast<int>(buffer.size())) {
        buffer.resize(static_cast<size_t>(length) + 1);
        error(buffer.data(), buffer.size());
    }
    return javaBytes(env, buffer.data(), static_cast<size_t>(length > 0 ? length : 0));
}

JNIEXPORT jint JNICALL Java_com_varnel_pos_comm_v4_10001_testkit_SimulatorControl_logSize(
    JNIEnv* env, jclass, jlong handle) {
    auto* size = lookup<LogSize_t>(env, handle, "VSim_LogSize");
    return size == nullptr ? 0 : static_cast<jint>(size());
}

// Entry i of the log, or null when i is out of range.
JNIEXPORT jbyteArray JNICALL Java_com_varnel_pos_comm_v4_10001_testkit_SimulatorControl_logEntry(
    JNIEnv* env, jclass, jlong handle, jint i) {
    auto* entry = lookup<LogEntry_t>(env, handle, "VSim_LogEntry");
    if (entry == nullptr || i < 0) return nullptr;
    std::vector<char> buffer(128);
    int length = entry(static_cast<size_t>(i), buffer.data(), buffer.size());
    if (length >= static_cast<int>(buffer.size())) {
        buffer.resize(static_cast<size_t>(length) + 1);
        length = entry(static_cast<size_t>(i), buffer.data(), buffer.size());
    }
    if (length < 0) return nullptr;
    return javaBytes(env, buffer.data(), std::strlen(buffer.data()));
}

JNIEXPORT jlong JNICALL Java_com_varnel_pos_comm_v4_10001_testkit_SimulatorControl_callCount(
    JNIEnv* env, jclass, jlong handle, jbyteArray function) {
    auto* count = lookup<CallCount_t>(env, handle, "VSim_CallCount");
    return count == nullptr ? 0 : static_cast<jlong>(count(cString(env, function).c_str()));
}

JNIEXPORT jboolean JNICALL Java_com_varnel_pos_comm_v4_10001_testkit_SimulatorControl_waitIdle(
    JNIEnv* env, jclass, jlong handle, jint timeoutMillis) {
    auto* wait = lookup<WaitIdle_t>(env, handle, "VSim_WaitIdle");
    return wait != nullptr && wait(static_cast<uint32_t>(timeoutMillis)) != 0;
}

}  // extern "C"
