// Every function here works on the objects it is handed and nothing else, so any number of
// threads may call through one environment, as long as no two write one array at once.
#include "JniHost.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

JavaArrayBase* Base(jarray array) {
    return reinterpret_cast<JavaArrayBase*>(array);
}

template <class T>
JavaArray<T>* Typed(jarray array) {
    return static_cast<JavaArray<T>*>(Base(array));
}

const char* GetStringUTFChars(JNIEnv*, jstring string, jboolean* isCopy) {
    if (isCopy != nullptr) *isCopy = JNI_TRUE;
    const std::string& text = reinterpret_cast<JavaString*>(string)->text();
    auto* copy = new char[text.size() + 1];
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

void ReleaseStringUTFChars(JNIEnv*, jstring, const char* chars) {
    delete[] chars;
}

jsize GetArrayLength(JNIEnv*, jarray array) {
    return Base(array)->length();
}

// Copy semantics: the caller gets its own buffer; mode 0 copies back and frees, JNI_COMMIT
// copies back and keeps it, JNI_ABORT frees without copying.
template <class T, class Handle>
T* GetElements(JNIEnv*, Handle array, jboolean* isCopy) {
    if (isCopy != nullptr) *isCopy = JNI_TRUE;
    JavaArray<T>* typed = Typed<T>(array);
    auto* copy = new T[std::max<jsize>(typed->length(), 1)];
    std::copy_n(typed->data(), typed->length(), copy);
    return copy;
}

template <class T, class Handle>
void ReleaseElements(JNIEnv*, Handle array, T* elements, jint mode) {
    JavaArray<T>* typed = Typed<T>(array);
    if (mode != JNI_ABORT) std::copy_n(elements, typed->length(), typed->data());
    if (mode != JNI_COMMIT) delete[] elements;
}

// Region calls out of bounds would throw in a JVM; here they abort, so no bridge bug hides.
template <class T>
T* Region(jarray array, jsize start, jsize length) {
    JavaArray<T>* typed = Typed<T>(array);
    if (start < 0 || length < 0 || start > typed->length() - length) {
        std::fprintf(stderr, "varnel-soak: array region %d+%d outside length %d\n", start, length,
                     typed->length());
        std::abort();
    }
    return typed->data() + start;
}

template <class T, class Handle>
void GetRegion(JNIEnv*, Handle array, jsize start, jsize length, T* buffer) {
    std::copy_n(Region<T>(array, start, length), length, buffer);
}

template <class T, class Handle>
void SetRegion(JNIEnv*, Handle array, jsize start, jsize length, const T* buffer) {
    std::copy_n(buffer, length, Region<T>(array, start, length));
}

}  // namespace

JniHost::JniHost() {
    functions_.GetStringUTFChars = GetStringUTFChars;
    functions_.ReleaseStringUTFChars = ReleaseStringUTFChars;
    functions_.GetArrayLength = GetArrayLength;
    functions_.GetByteArrayElements = GetElements<jbyte, jbyteArray>;
    functions_.GetIntArrayElements = GetElements<jint, jintArray>;
    functions_.GetLongArrayElements = GetElements<jlong, jlongArray>;
    functions_.ReleaseByteArrayElements = ReleaseElements<jbyte, jbyteArray>;
    functions_.ReleaseIntArrayElements = ReleaseElements<jint, jintArray>;
    functions_.ReleaseLongArrayElements = ReleaseElements<jlong, jlongArray>;
    functions_.GetByteArrayRegion = GetRegion<jbyte, jbyteArray>;
    functions_.GetIntArrayRegion = GetRegion<jint, jintArray>;
    functions_.GetLongArrayRegion = GetRegion<jlong, jlongArray>;
    functions_.SetByteArrayRegion = SetRegion<jbyte, jbyteArray>;
    functions_.SetIntArrayRegion = SetRegion<jint, jintArray>;
    functions_.SetLongArrayRegion = SetRegion<jlong, jlongArray>;
    env_.functions = &functions_;
}
