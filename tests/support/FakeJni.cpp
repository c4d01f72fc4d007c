#include "support/FakeJni.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

#if defined(__has_feature)  // clang names AddressSanitizer only this way
#if __has_feature(address_sanitizer)
#define FAKE_JNI_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(FAKE_JNI_ASAN)
constexpr size_t kGuardBytes = 0;  // exact-size copies: AddressSanitizer sees any stray access
#else
constexpr size_t kGuardBytes = 16;
#endif
constexpr uint8_t kGuardValue = 0xA5;

}  // namespace

struct FakeJni::Object {
    std::string label;
    bool isString = false;
    size_t elementSize = 1;
    std::vector<uint8_t> data;  // raw element bytes; a string's modified UTF-8 bytes
    size_t Length() const { return data.size() / elementSize; }
};

struct FakeJni::Pin {
    Object* object;
    std::unique_ptr<uint8_t[]> storage;  // guard, copy, guard
    uint8_t* elements;
    size_t size;
};

FakeJni::FakeJni() {
    functions_.GetStringUTFChars = &FakeJni::GetStringUTFChars;
    functions_.ReleaseStringUTFChars = &FakeJni::ReleaseStringUTFChars;
    functions_.GetArrayLength = &FakeJni::GetArrayLength;
    functions_.GetByteArrayElements = &FakeJni::GetByteArrayElements;
    functions_.ReleaseByteArrayElements = &FakeJni::ReleaseByteArrayElements;
    functions_.GetIntArrayElements = &FakeJni::GetIntArrayElements;
    functions_.ReleaseIntArrayElements = &FakeJni::ReleaseIntArrayElements;
    functions_.GetLongArrayElements = &FakeJni::GetLongArrayElements;
    functions_.ReleaseLongArrayElements = &FakeJni::ReleaseLongArrayElements;
    env_.env.functions = &functions_;
    env_.owner = this;
}

FakeJni::~FakeJni() {
    for (const auto& pin : pins_) {
        ADD_FAILURE() << "pin of " << pin->object->label << " never released";
    }
}

FakeJni* FakeJni::Of(JNIEnv* env) {
    return reinterpret_cast<Env*>(env)->owner;  // env is the first member of Env
}

jobject FakeJni::Add(std::unique_ptr<Object> object, char prefix, const std::string& label) {
    std::lock_guard<std::mutex> guard(mutex_);
    object->label = label.empty() ? prefix + std::to_string(objects_.size() + 1) : label;
    objects_.push_back(std::move(object));
    return reinterpret_cast<jobject>(objects_.back().get());
}

FakeJni::Object* FakeJni::Find(jobject handle) {
    for (const auto& object : objects_) {
        if (reinterpret_cast<jobject>(object.get()) == handle) return object.get();
    }
    ADD_FAILURE() << "JNI call on an object this environment never made";
    return nullptr;
}

jstring FakeJni::NewString(const std::string& modifiedUtf8, const std::string& label) {
    auto object = std::make_unique<Object>();
    object->isString = true;
    object->data.assign(modifiedUtf8.begin(), modifiedUtf8.end());
    return static_cast<jstring>(Add(std::move(object), 's', label));
}

jbyteArray FakeJni::NewByteArray(std::vector<uint8_t> contents, const std::string& label) {
    auto object = std::make_unique<Object>();
    object->data = std::move(contents);
    return static_cast<jbyteArray>(Add(std::move(object), 'b', label));
}

jbyteArray FakeJni::NewByteArray(const std::string& contents, const std::string& label) {
    return NewByteArray(std::vector<uint8_t>(contents.begin(), contents.end()), label);
}

jintArray FakeJni::NewIntArray(std::vector<int32_t> contents, const std::string& label) {
    auto object = std::make_unique<Object>();
    object->elementSize = sizeof(int32_t);
    object->data.resize(contents.size() * sizeof(int32_t));
    if (!contents.empty()) std::memcpy(object->data.data(), contents.data(), object->data.size());
    return static_cast<jintArray>(Add(std::move(object), 'i', label));
}

jlongArray FakeJni::NewLongArray(std::vector<int64_t> contents, const std::string& label) {
    auto object = std::make_unique<Object>();
    object->elementSize = sizeof(int64_t);
    object->data.resize(contents.size() * sizeof(int64_t));
    if (!contents.empty()) std::memcpy(object->data.data(), contents.data(), object->data.size());
    return static_cast<jlongArray>(Add(std::move(object), 'l', label));
}

template <class T>
std::vector<T> FakeJni::Contents(jobject array) {
    std::lock_guard<std::mutex> guard(mutex_);
    Object* object = Find(array);
    std::vector<T> values(object ? object->data.size() / sizeof(T) : 0);
    if (!values.empty()) std::memcpy(values.data(), object->data.data(), object->data.size());
    return values;
}

std::vector<uint8_t> FakeJni::Bytes(jbyteArray array) {
    return Contents<uint8_t>(array);
}
std::vector<int32_t> FakeJni::Ints(jintArray array) {
    return Contents<int32_t>(array);
}
std::vector<int64_t> FakeJni::Longs(jlongArray array) {
    return Contents<int64_t>(array);
}

std::vector<std::string> FakeJni::Calls(const std::string& part) {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::string> calls;
    for (const auto& call : calls_) {
        if (call.find(part) != std::string::npos) calls.push_back(call);
    }
    return calls;
}

void FakeJni::ClearCalls() {
    std::lock_guard<std::mutex> guard(mutex_);
    calls_.clear();
}

int FakeJni::OutstandingPins() {
    std::lock_guard<std::mutex> guard(mutex_);
    return static_cast<int>(pins_.size());
}

void FakeJni::FailPin(int nth) {
    std::lock_guard<std::mutex> guard(mutex_);
    pinsUntilFailure_ = nth;
}

void* FakeJni::PinElements(jobject array, jboolean* isCopy, const char* function) {
    std::lock_guard<std::mutex> guard(mutex_);
    Object* object = Find(array);
    if (object == nullptr) return nullptr;
    calls_.push_back(std::string(function) + "(" + object->label + ")");
    if (isCopy != nullptr) ADD_FAILURE() << function << " given a non-null isCopy";
    if (pinsUntilFailure_ > 0 && --pinsUntilFailure_ == 0) return nullptr;

    // A string's copy carries its terminating 0, as GetStringUTFChars gives it.
    size_t size = object->data.size() + (object->isString ? 1 : 0);
    auto pin = std::make_unique<Pin>();
    pin->object = object;
    pin->size = size;
    // At least one byte, so an empty array still pins to a distinct non-null pointer.
    pin->storage.reset(new uint8_t[std::max<size_t>(size, 1) + 2 * kGuardBytes]);
    std::memset(pin->storage.get(), kGuardValue, std::max<size_t>(size, 1) + 2 * kGuardBytes);
    pin->elements = pin->storage.get() + kGuardBytes;
    if (!object->data.empty()) std::memcpy(pin->elements, object->data.data(), object->data.size());
    if (object->isString) pin->elements[object->data.size()] = 0;
    void* elements = pin->elements;
    pins_.push_back(std::move(pin));
    return elements;
}

void FakeJni::ReleaseElements(jobject array, void* elements, jint mode, const char* function) {
    std::lock_guard<std::mutex> guard(mutex_);
    Object* object = Find(array);
    if (object == nullptr) return;
    calls_.push_back(std::string(function) + "(" + object->label + ")");
    if (mode != 0) ADD_FAILURE() << function << "(" << object->label << ") with mode " << mode;
    auto it = std::find_if(pins_.begin(), pins_.end(), [&](const auto& pin) {
        return pin->elements == elements && pin->object == object;
    });
    if (it == pins_.end()) {
        ADD_FAILURE() << function << "(" << object->label << ") of elements never pinned";
        return;
    }
    Pin& pin = **it;
    const uint8_t* before = pin.storage.get();
    const uint8_t* after = pin.elements + std::max<size_t>(pin.size, 1);
    for (size_t i = 0; i < kGuardBytes; ++i) {
        if (before[i] != kGuardValue || after[i] != kGuardValue) {
            ADD_FAILURE() << "write outside " << object->label << " while pinned";
            break;
        }
    }
    if (!object->isString && !object->data.empty()) {
        std::memcpy(object->data.data(), pin.elements, object->data.size());
    } else if (object->isString && !object->data.empty() &&
               std::memcmp(object->data.data(), pin.elements, object->data.size()) != 0) {
        ADD_FAILURE() << "string " << object->label << " written through its pinned characters";
    }
    pins_.erase(it);
}

const char* JNICALL FakeJni::GetStringUTFChars(JNIEnv* env, jstring s, jboolean* isCopy) {
    return static_cast<const char*>(Of(env)->PinElements(s, isCopy, "GetStringUTFChars"));
}
void JNICALL FakeJni::ReleaseStringUTFChars(JNIEnv* env, jstring s, const char* chars) {
    Of(env)->ReleaseElements(s, const_cast<char*>(chars), 0, "ReleaseStringUTFChars");
}
jsize JNICALL FakeJni::GetArrayLength(JNIEnv* env, jarray array) {
    FakeJni* self = Of(env);
    std::lock_guard<std::mutex> guard(self->mutex_);
    Object* object = self->Find(array);
    if (object == nullptr) return 0;
    self->calls_.push_back("GetArrayLength(" + object->label + ")");
    return static_cast<jsize>(object->Length());
}
jbyte* JNICALL FakeJni::GetByteArrayElements(JNIEnv* env, jbyteArray a, jboolean* isCopy) {
    return static_cast<jbyte*>(Of(env)->PinElements(a, isCopy, "GetByteArrayElements"));
}
void JNICALL FakeJni::ReleaseByteArrayElements(JNIEnv* env, jbyteArray a, jbyte* e, jint mode) {
    Of(env)->ReleaseElements(a, e, mode, "ReleaseByteArrayElements");
}
jint* JNICALL FakeJni::GetIntArrayElements(JNIEnv* env, jintArray a, jboolean* isCopy) {
    return static_cast<jint*>(Of(env)->PinElements(a, isCopy, "GetIntArrayElements"));
}
void JNICALL FakeJni::ReleaseIntArrayElements(JNIEnv* env, jintArray a, jint* e, jint mode) {
    Of(env)->ReleaseElements(a, e, mode, "ReleaseIntArrayElements");
}
jlong* JNICALL FakeJni::GetLongArrayElements(JNIEnv* env, jlongArray a, jboolean* isCopy) {
    return static_cast<jlong*>(Of(env)->PinElements(a, isCopy, "GetLongArrayElements"));
}
void JNICALL FakeJni::ReleaseLongArrayElements(JNIEnv* env, jlongArray a, jlong* e, jint mode) {
    Of(env)->ReleaseElements(a, e, mode, "ReleaseLongArrayElements");
}
