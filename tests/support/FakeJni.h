// A fake JNI environment for driving the native methods without a JVM. It implements the JNI
// functions the bridge may use with HotSpot-like copy-on-pin semantics: a pin hands out a fresh
// copy, a release with mode 0 copies it back and frees it. It fails the running test on a pin
// never released, a release with a mode other than 0, a non-null isCopy, a release of something
// never pinned, and any write outside an array (guard bytes around each copy; under
// AddressSanitizer the copy is an exact-size allocation, so reads outside are caught as well).
#pragma once

#include <jni.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class FakeJni {
  public:
    FakeJni();
    // Checks that every pin was released.
    ~FakeJni();
    FakeJni(const FakeJni&) = delete;
    FakeJni& operator=(const FakeJni&) = delete;

    JNIEnv* env() { return &env_.env; }

    // Java objects. A label names the object in the call log; by default "s1", "b2", ...
    jstring NewString(const std::string& modifiedUtf8, const std::string& label = "");
    jbyteArray NewByteArray(std::vector<uint8_t> contents, const std::string& label = "");
    jbyteArray NewByteArray(const std::string& contents, const std::string& label = "");
    jintArray NewIntArray(std::vector<int32_t> contents, const std::string& label = "");
    jlongArray NewLongArray(std::vector<int64_t> contents, const std::string& label = "");

    // What Java sees in an array now (pinned copies are not visible until released).
    std::vector<uint8_t> Bytes(jbyteArray array);
    std::vector<int32_t> Ints(jintArray array);
    std::vector<int64_t> Longs(jlongArray array);

    // The JNI calls made, in order: "GetStringUTFChars(port)", "ReleaseByteArrayElements(b1)",
    // "GetArrayLength(b1)"; only those containing the part if one is given ("Elements": the
    // array pins and releases).
    std::vector<std::string> Calls(const std::string& part = "");
    void ClearCalls();
    // Pins made and not yet released.
    int OutstandingPins();
    // The nth pin from now (1 = the next) fails, as a JVM out of memory would: it returns null.
    void FailPin(int nth);

  private:
    struct Object;
    struct Pin;
    struct Env {
        JNIEnv env;
        FakeJni* owner;
    };

    static FakeJni* Of(JNIEnv* env);
    Object* Find(jobject handle);
    void* PinElements(jobject array, jboolean* isCopy, const char* function);
    void ReleaseElements(jobject array, void* elements, jint mode, const char* function);
    jobject Add(std::unique_ptr<Object> object, char prefix, const std::string& label);
    template <class T>
    std::vector<T> Contents(jobject array);

    // JNI entry points.
    static const char* JNICALL GetStringUTFChars(JNIEnv*, jstring, jboolean*);
    static void JNICALL ReleaseStringUTFChars(JNIEnv*, jstring, const char*);
    static jsize JNICALL GetArrayLength(JNIEnv*, jarray);
    static jbyte* JNICALL GetByteArrayElements(JNIEnv*, jbyteArray, jboolean*);
    static void JNICALL ReleaseByteArrayElements(JNIEnv*, jbyteArray, jbyte*, jint);
    static jint* JNICALL GetIntArrayElements(JNIEnv*, jintArray, jboolean*);
    static void JNICALL ReleaseIntArrayElements(JNIEnv*, jintArray, jint*, jint);
    static jlong* JNICALL GetLongArrayElements(JNIEnv*, jlongArray, jboolean*);
    static void JNICALL ReleaseLongArrayElements(JNIEnv*, jlongArray, jlong*, jint);

    JNINativeInterface_ functions_{};
    Env env_{};
    std::mutex mutex_;
    std::vector<std::unique_ptr<Object>> objects_;
    std::vector<std::unique_ptr<Pin>> pins_;
    std::vector<std::string> calls_;
    int pinsUntilFailure_ = 0;
};
