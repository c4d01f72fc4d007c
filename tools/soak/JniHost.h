// A minimal in-process JNI host, so varnel-soak (and the loopback benchmark) can call the native
// methods without a JVM. Strings and primitive arrays are plain heap objects; a jobject is a
// pointer to one.
// Only the functions the bridge uses are filled in; every other slot of the table is null.
#pragma once

#include <jni.h>

#include <string>
#include <vector>

class JniHost {
  public:
    JniHost();
    JniHost(const JniHost&) = delete;
    JniHost& operator=(const JniHost&) = delete;

    // One environment for every thread: the functions behind it are thread-safe.
    JNIEnv* env() { return &env_; }

  private:
    JNINativeInterface_ functions_{};
    JNIEnv env_{};
};

// Objects the host's functions accept. They live as long as the caller keeps them; the handle
// passed to the bridge is just their address.
class JavaString {
  public:
    explicit JavaString(std::string text) : text_(std::move(text)) {}
    jstring get() { return reinterpret_cast<jstring>(this); }
    const std::string& text() const { return text_; }

  private:
    std::string text_;
};

template <class T>
struct JavaArrayTraits;
template <>
struct JavaArrayTraits<jbyte> {
    using Handle = jbyteArray;
};
template <>
struct JavaArrayTraits<jint> {
    using Handle = jintArray;
};
template <>
struct JavaArrayTraits<jlong> {
    using Handle = jlongArray;
};

// What GetArrayLength needs of any array; every array handle points at one of these.
class JavaArrayBase {
  public:
    explicit JavaArrayBase(size_t length) : length_(static_cast<jsize>(length)) {}
    jsize length() const { return length_; }

  private:
    jsize length_;
};

// A primitive array. Pinning copies out and releasing copies back (as a JVM that never pins
// would), so a bridge that writes past a pin's end or forgets to release shows under ASan.
template <class T>
class JavaArray : public JavaArrayBase {
  public:
    explicit JavaArray(size_t length) : JavaArrayBase(length), elements_(length) {}
    typename JavaArrayTraits<T>::Handle get() {
        return reinterpret_cast<typename JavaArrayTraits<T>::Handle>(
            static_cast<JavaArrayBase*>(this));
    }
    T* data() { return elements_.data(); }

  private:
    std::vector<T> elements_;
};

using JavaBytes = JavaArray<jbyte>;
using JavaInts = JavaArray<jint>;
using JavaLongs = JavaArray<jlong>;
