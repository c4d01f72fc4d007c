#include "support/FakeJni.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <utility>

namespace {

#if defined(__has_feature)  // clang names AddressSanitizer only this way
#if __has_feature(address_sanitizer)
#define FAKE_JNI_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(FAKE_JNI_ASAN)
constexpr size_t kGuard = 0;  // exact-size copies: AddressSanitizer sees any stray access
#else
constexpr size_t kGuard = 16;
#endif
constexpr uint8_t kGuardValue = 0xA5;
}  // namespace

// What each Get...Elements returns, for the generic lambda (declared for decltype only).
const char* FakeJniElementsOf(jstring);
jbyte* FakeJniElementsOf(jbyteArray);
jint* FakeJniElementsOf(jintArray);
jlong* FakeJniElementsOf(jlongArray);

struct FakeJni::Object {
    std::string label, kind;    // kind: "StringUTF", "Byte", "Int" or "Long"
    std::vector<uint8_t> data;  // raw element bytes; a string's modified UTF-8 bytes
    size_t elementSize() const { return kind == "Int" ? 4 : kind == "Long" ? 8 : 1; }
};

struct FakeJni::Pin {
    Object* object;
    std::vector<uint8_t> storage;  // guard, copy (at least one byte: a distinct pointer), guard
    uint8_t* elements() { return storage.data() + kGuard; }
};

FakeJni::FakeJni() {
    // Captureless lambdas, one a JNI function; the generic ones serve every array type.
    auto get = [](JNIEnv* env, auto array, jboolean* isCopy) {
        return static_cast<decltype(FakeJniElementsOf(array))>(Of(env)->PinElements(array, isCopy));
    };
    functions_.GetStringUTFChars = get;
    functions_.ReleaseStringUTFChars = [](JNIEnv* env, jstring s, const char* chars) {
        Of(env)->ReleaseElements(s, const_cast<char*>(chars), 0);
    };
    functions_.GetArrayLength = [](JNIEnv* env, jarray array) {
        std::lock_guard<std::mutex> guard(Of(env)->mutex_);
        Object* object = Of(env)->Find(array, "GetArrayLength", nullptr);
        return static_cast<jsize>(object ? object->data.size() / object->elementSize() : 0);
    };
    auto release = [](JNIEnv* env, auto array, auto* elements, jint mode) {
        Of(env)->ReleaseElements(array, elements, mode);
    };
    auto getRegion = [](JNIEnv* env, auto array, jsize start, jsize length, auto* buffer) {
        Of(env)->Region(array, start, length, buffer, false);
    };
    auto setRegion = [](JNIEnv* env, auto array, jsize start, jsize length, const auto* buffer) {
        Of(env)->Region(array, start, length, buffer, true);
    };
    functions_.GetByteArrayElements = get;
    functions_.GetIntArrayElements = get;
    functions_.GetLongArrayElements = get;
    functions_.ReleaseByteArrayElements = release;
    functions_.ReleaseIntArrayElements = release;
    functions_.ReleaseLongArrayElements = release;
    functions_.GetByteArrayRegion = getRegion;
    functions_.GetIntArrayRegion = getRegion;
    functions_.SetByteArrayRegion = setRegion;
    functions_.SetIntArrayRegion = setRegion;
    functions_.SetLongArrayRegion = setRegion;
    env_.env.functions = &functions_;
    env_.owner = this;
}

FakeJni::~FakeJni() {
    for (const auto& pin : pins_) ADD_FAILURE() << "pin of " << pin->object->label << " kept";
}

jobject FakeJni::Add(const void* contents, size_t size, const char* kind,
                     const std::string& label) {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto* bytes = static_cast<const uint8_t*>(contents);
    const std::string name =
        static_cast<char>(std::tolower(kind[0])) + std::to_string(objects_.size() + 1);
    objects_.push_back(std::make_unique<Object>(
        Object{label.empty() ? name : label, kind, std::vector<uint8_t>(bytes, bytes + size)}));
    return reinterpret_cast<jobject>(objects_.back().get());
}

FakeJni::Object* FakeJni::Find(jobject handle, const char* verb, const char* what) {
    for (const auto& object : objects_) {
        if (reinterpret_cast<jobject>(object.get()) != handle) continue;
        const std::string name =
            what ? object->kind + (object->kind[0] == 'S' ? "Chars" : what) : "";
        if (verb) calls_.push_back(verb + name + "(" + object->label + ")");
        return object.get();
    }
    ADD_FAILURE() << "JNI call on an object this environment never made";
    return nullptr;
}

template <class T>
std::vector<T> FakeJni::Contents(jobject array) {
    std::lock_guard<std::mutex> guard(mutex_);
    Object* object = Find(array, nullptr, nullptr);
    std::vector<T> values(object ? object->data.size() / sizeof(T) : 0);
    if (object)
        std::copy(object->data.begin(), object->data.end(),
                  reinterpret_cast<uint8_t*>(values.data()));
    return values;
}
template std::vector<uint8_t> FakeJni::Contents(jobject);
template std::vector<int32_t> FakeJni::Contents(jobject);
template std::vector<int64_t> FakeJni::Contents(jobject);

std::vector<std::string> FakeJni::Calls(const std::string& part) {
    std::vector<std::string> calls;
    Locked([&] {
        std::copy_if(calls_.begin(), calls_.end(), std::back_inserter(calls),
                     [&](const std::string& call) { return call.find(part) != call.npos; });
    });
    return calls;
}

void* FakeJni::PinElements(jobject array, jboolean* isCopy) {
    std::function<bool()> hook;
    Locked([&] {
        if (Object* object = Find(array, nullptr, nullptr))
            hook = std::exchange(hooks_[object->label], nullptr);
    });
    if (hook && !hook()) return nullptr;
    std::lock_guard<std::mutex> guard(mutex_);
    Object* object = Find(array, "Get", "ArrayElements");
    if (object == nullptr) return nullptr;
    if (isCopy != nullptr) ADD_FAILURE() << calls_.back() << " given a non-null isCopy";
    if (pinsUntilFailure_ > 0 && --pinsUntilFailure_ == 0) return nullptr;
    // A string's copy carries its terminating 0, as GetStringUTFChars gives it.
    const size_t size = std::max<size_t>(object->data.size() + (object->kind == "StringUTF"), 1);
    pins_.push_back(
        std::make_unique<Pin>(Pin{object, std::vector<uint8_t>(size + 2 * kGuard, kGuardValue)}));
    std::fill_n(pins_.back()->elements(), size, 0);
    std::copy(object->data.begin(), object->data.end(), pins_.back()->elements());
    return pins_.back()->elements();
}

void FakeJni::ReleaseElements(jobject array, void* elements, jint mode) {
    std::lock_guard<std::mutex> guard(mutex_);
    Object* object = Find(array, "Release", "ArrayElements");
    if (object == nullptr) return;
    if (mode != 0) ADD_FAILURE() << calls_.back() << " with mode " << mode;
    auto it = std::find_if(pins_.begin(), pins_.end(), [&](const auto& pin) {
        return pin->elements() == elements && pin->object == object;
    });
    if (it == pins_.end()) {
        ADD_FAILURE() << calls_.back() << " of elements never pinned";
        return;
    }
    const std::vector<uint8_t>& s = (*it)->storage;
    auto intact = [](uint8_t b) { return b == kGuardValue; };
    if (!std::all_of(s.begin(), s.begin() + kGuard, intact) ||
        !std::all_of(s.end() - kGuard, s.end(), intact)) {
        ADD_FAILURE() << "write outside " << object->label << " while pinned";
    }
    const uint8_t* copy = (*it)->elements();
    if (object->kind != "StringUTF") {
        std::copy(copy, copy + object->data.size(), object->data.begin());
    } else if (!std::equal(object->data.begin(), object->data.end(), copy)) {
        ADD_FAILURE() << "string " << object->label << " written through its pinned characters";
    }
    pins_.erase(it);
}

void FakeJni::Region(jobject array, jsize start, jsize length, const void* buffer, bool set) {
    std::lock_guard<std::mutex> guard(mutex_);
    Object* object = Find(array, set ? "Set" : "Get", "ArrayRegion");
    if (object == nullptr) return;
    const size_t size = object->elementSize(), elements = object->data.size() / size;
    // A JVM would throw ArrayIndexOutOfBoundsException and copy nothing.
    if (start < 0 || length < 0 || static_cast<size_t>(start) + length > elements) {
        ADD_FAILURE() << calls_.back() << " from " << start << " for " << length
                      << " outside an array of " << elements;
        return;
    }
    uint8_t* java = object->data.data() + start * size;
    auto* native = static_cast<uint8_t*>(const_cast<void*>(buffer));
    set ? std::copy_n(native, length * size, java) : std::copy_n(java, length * size, native);
}
