// A fake JNI environment with HotSpot-like copy on pin. It fails the running test on a pin never
// released, a release with mode != 0 or of something never pinned, a non-null isCopy, a region
// outside its array and a write outside a pinned copy (guard bytes; exact copies under ASan).
#pragma once

#include <jni.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class FakeJni {
  public:
    FakeJni();
    ~FakeJni();  // checks that every pin was released
    FakeJni(const FakeJni&) = delete;
    FakeJni& operator=(const FakeJni&) = delete;

    JNIEnv* env() { return &env_.env; }

    // Java objects. A label names the object in the call log; by default "s1", "b2", ...
    jstring NewString(const std::string& modifiedUtf8, const std::string& label = "") {
        return static_cast<jstring>(
            Add(modifiedUtf8.data(), modifiedUtf8.size(), "StringUTF", label));
    }
    jbyteArray NewByteArray(std::vector<uint8_t> contents, const std::string& label = "") {
        return static_cast<jbyteArray>(Add(contents.data(), contents.size(), "Byte", label));
    }
    jbyteArray NewByteArray(const std::string& contents, const std::string& label = "") {
        return static_cast<jbyteArray>(Add(contents.data(), contents.size(), "Byte", label));
    }
    jintArray NewIntArray(std::vector<int32_t> contents, const std::string& label = "") {
        return static_cast<jintArray>(Add(contents.data(), contents.size() * 4, "Int", label));
    }
    jlongArray NewLongArray(std::vector<int64_t> contents, const std::string& label = "") {
        return static_cast<jlongArray>(Add(contents.data(), contents.size() * 8, "Long", label));
    }

    // What Java sees in an array now (pinned copies are not visible until released).
    std::vector<uint8_t> Bytes(jbyteArray array) { return Contents<uint8_t>(array); }
    std::vector<int32_t> Ints(jintArray array) { return Contents<int32_t>(array); }
    std::vector<int64_t> Longs(jlongArray array) { return Contents<int64_t>(array); }

    // The JNI calls made, in order, "GetStringUTFChars(port)", "SetIntArrayRegion(i2)"; only
    // those containing the part if one is given ("Elements": the array pins and releases).
    std::vector<std::string> Calls(const std::string& part = "");
    void ClearCalls() {
        Locked([&] { calls_.clear(); });
    }
    int OutstandingPins() {
        return Locked([&] { return static_cast<int>(pins_.size()); });
    }
    // The nth pin from now (1 = the next) fails, as a JVM out of memory would: it returns null.
    void FailPin(int nth) {
        Locked([&] { pinsUntilFailure_ = nth; });
    }
    // Runs hook, once, just before the object labelled so is next pinned, outside the
    // environment's lock: what another thread could do at that moment. The pin fails when the
    // hook returns false.
    void BeforePin(const std::string& label, std::function<bool()> hook) {
        Locked([&] { hooks_[label] = std::move(hook); });
    }

  private:
    struct Object;
    struct Pin;
    struct Env {
        JNIEnv env;  // first, so that a JNIEnv* is an Env*
        FakeJni* owner;
    };

    static FakeJni* Of(JNIEnv* env) { return reinterpret_cast<Env*>(env)->owner; }
    template <class F>
    auto Locked(F f) -> decltype(f()) {
        std::lock_guard lock(mutex_);
        return f();
    }
    jobject Add(const void* contents, size_t size, const char* kind, const std::string& label);
    // The object, the call logged as verb + its kind + what ("Get", "ArrayRegion"); mutex held.
    Object* Find(jobject handle, const char* verb, const char* what);
    void* PinElements(jobject array, jboolean* isCopy);
    void ReleaseElements(jobject array, void* elements, jint mode);
    void Region(jobject array, jsize start, jsize length, const void* buffer, bool set);
    template <class T>
    std::vector<T> Contents(jobject array);

    JNINativeInterface_ functions_{};
    Env env_{};
    std::mutex mutex_;
    std::vector<std::unique_ptr<Object>> objects_;
    std::vector<std::unique_ptr<Pin>> pins_;
    std::vector<std::string> calls_;
    int pinsUntilFailure_ = 0;
    std::map<std::string, std::function<bool()>> hooks_;  // by label
};
