// The one place that pins and releases Java data. Each guard pins in its constructor (passing a
// null isCopy) and releases in its destructor (arrays with mode 0, which copies back and frees),
// so no return path can leak a pin. Declare guards in the order the method pins; destructors
// release in reverse. release() lets a method that must release in pin order do so early.
#pragma once

#include <jni.h>

#include <cstddef>

class ScopedUtfChars {
  public:
    ScopedUtfChars(JNIEnv* env, jstring string) : env_(env), string_(string) {
        if (string_ != nullptr) chars_ = env_->GetStringUTFChars(string_, nullptr);
    }
    ~ScopedUtfChars() { release(); }
    ScopedUtfChars(const ScopedUtfChars&) = delete;
    ScopedUtfChars& operator=(const ScopedUtfChars&) = delete;

    // Java passed null.
    bool isNull() const { return string_ == nullptr; }
    // Java passed a string but the JVM could not pin it.
    bool failed() const { return string_ != nullptr && chars_ == nullptr; }
    const char* get() const { return chars_; }

    void release() {
        if (chars_ != nullptr) env_->ReleaseStringUTFChars(string_, chars_);
        chars_ = nullptr;
    }

  private:
    JNIEnv* env_;
    jstring string_;
    const char* chars_ = nullptr;
};

// The port name and service URL of a port, pinned in that order and always released in that
// order too, early returns included. A null service URL reads as the empty one: the local
// service.
class ScopedPortStrings {
  public:
    ScopedPortStrings(JNIEnv* env, jstring portName, jstring serviceURL)
        : name_(env, portName), url_(env, serviceURL) {}
    ~ScopedPortStrings() { release(); }

    bool failed() const { return name_.failed() || url_.failed(); }
    const char* name() const { return name_.get(); }
    const char* url() const { return url_.isNull() ? "" : url_.get(); }
    void release() {
        name_.release();
        url_.release();
    }

  private:
    ScopedUtfChars name_;
    ScopedUtfChars url_;
};

template <class JArray, class Element, Element* (JNIEnv::*Get)(JArray, jboolean*),
          void (JNIEnv::*Release)(JArray, Element*, jint)>
class ScopedArray {
  public:
    ScopedArray(JNIEnv* env, JArray array) : env_(env), array_(array) {
        if (array_ == nullptr) return;
        length_ = env_->GetArrayLength(array_);
        elements_ = (env_->*Get)(array_, nullptr);
    }
    ~ScopedArray() { release(); }
    ScopedArray(const ScopedArray&) = delete;
    ScopedArray& operator=(const ScopedArray&) = delete;

    bool isNull() const { return array_ == nullptr; }
    bool failed() const { return array_ != nullptr && elements_ == nullptr; }
    Element* get() const { return elements_; }
    // Element count of the Java array; 0 for a null array.
    jsize length() const { return length_; }

    void release() {
        if (elements_ != nullptr) (env_->*Release)(array_, elements_, 0);
        elements_ = nullptr;
    }

  private:
    JNIEnv* env_;
    JArray array_;
    jsize length_ = 0;
    Element* elements_ = nullptr;
};

using ScopedByteArray = ScopedArray<jbyteArray, jbyte, &JNIEnv::GetByteArrayElements,
                                    &JNIEnv::ReleaseByteArrayElements>;
using ScopedIntArray =
    ScopedArray<jintArray, jint, &JNIEnv::GetIntArrayElements, &JNIEnv::ReleaseIntArrayElements>;
using ScopedLongArray = ScopedArray<jlongArray, jlong, &JNIEnv::GetLongArrayElements,
                                    &JNIEnv::ReleaseLongArrayElements>;
