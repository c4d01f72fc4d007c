// The checks every native method makes before any work: a null environment first, then
// handle 0, then the required arrays (Read tests its arrays before its handle). Whatever is
// refused here touches no Java data and reaches no service.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "bridge/VarnelPHJNIAPI.h"
#include "support/FakeJni.h"

namespace {

struct Case {
    std::string name;
    std::function<jint(JNIEnv*, FakeJni&)> call;
    jint expected;
};

constexpr jint kHandle = -1;
constexpr jint kParameter = -3;
// Any non-zero value: the frame must refuse before it would be trusted as a port object.
constexpr jlong kSomePort = 0x10;

std::vector<Case> FrameCases() {
    return {
        {"Open/null env",
         [](JNIEnv*, FakeJni& j) {
             return PH_JNI(Open)(nullptr, nullptr, j.NewString("svc"), j.NewString("COM1"), 1,
                                 j.NewLongArray({0}));
         },
         kParameter},
        {"Open/null port name",
         [](JNIEnv* e, FakeJni& j) {
             return PH_JNI(Open)(e, nullptr, j.NewString("svc"), nullptr, 1, j.NewLongArray({0}));
         },
         kParameter},
        {"Open/null holder",
         [](JNIEnv* e, FakeJni& j) {
             return PH_JNI(Open)(e, nullptr, j.NewString("svc"), j.NewString("COM1"), 1, nullptr);
         },
         kParameter},
        {"Close/null env",
         [](JNIEnv*, FakeJni&) { return PH_JNI(Close)(nullptr, nullptr, kSomePort); }, kParameter},
        {"Close/handle 0", [](JNIEnv* e, FakeJni&) { return PH_JNI(Close)(e, nullptr, 0); },
         kHandle},
        {"Write/null env",
         [](JNIEnv*, FakeJni& j) {
             return PH_JNI(Write)(nullptr, nullptr, kSomePort, j.NewByteArray("x"), 1, 0,
                                  j.NewIntArray({0}));
         },
         kParameter},
        {"Write/handle 0 before null data",
         [](JNIEnv* e, FakeJni&) { return PH_JNI(Write)(e, nullptr, 0, nullptr, 1, 0, nullptr); },
         kHandle},
        {"Write/null data",
         [](JNIEnv* e, FakeJni& j) {
             return PH_JNI(Write)(e, nullptr, kSomePort, nullptr, 1, 0, j.NewIntArray({0}));
         },
         kParameter},
        {"Read/null env",
         [](JNIEnv*, FakeJni& j) {
             return PH_JNI(Read)(nullptr, nullptr, kSomePort, j.NewByteArray("x"), 1,
                                 j.NewIntArray({0}));
         },
         kParameter},
        {"Read/null destination before handle 0",
         [](JNIEnv* e, FakeJni& j) {
             return PH_JNI(Read)(e, nullptr, 0, nullptr, 1, j.NewIntArray({0}));
         },
         kParameter},
        {"Read/null count before handle 0",
         [](JNIEnv* e, FakeJni& j) {
             return PH_JNI(Read)(e, nullptr, 0, j.NewByteArray("x"), 1, nullptr);
         },
         kParameter},
        {"Read/handle 0",
         [](JNIEnv* e, FakeJni& j) {
             return PH_JNI(Read)(e, nullptr, 0, j.NewByteArray("x"), 1, j.NewIntArray({0}));
         },
         kHandle},
        {"Clear/null env",
         [](JNIEnv*, FakeJni&) { return PH_JNI(Clear)(nullptr, nullptr, kSomePort); }, kParameter},
        {"Clear/handle 0", [](JNIEnv* e, FakeJni&) { return PH_JNI(Clear)(e, nullptr, 0); },
         kHandle},
        {"GetProperty/null env",
         [](JNIEnv*, FakeJni& j) {
             return PH_JNI(GetProperty)(nullptr, nullptr, kSomePort, 4, j.NewLongArray({0}));
         },
         kParameter},
        {"GetProperty/handle 0",
         [](JNIEnv* e, FakeJni& j) {
             return PH_JNI(GetProperty)(e, nullptr, 0, 4, j.NewLongArray({0}));
         },
         kHandle},
        {"SetProperty/null env",
         [](JNIEnv*, FakeJni&) {
             return PH_JNI(SetProperty)(nullptr, nullptr, kSomePort, 3, 6, 1);
         },
         kParameter},
        {"SetProperty/handle 0",
         [](JNIEnv* e, FakeJni&) { return PH_JNI(SetProperty)(e, nullptr, 0, 3, 6, 1); }, kHandle},
        {"GetCapability/null env",
         [](JNIEnv*, FakeJni& j) {
             return PH_JNI(GetCapability)(nullptr, nullptr, kSomePort, 1, j.NewLongArray({0}));
         },
         kParameter},
        {"GetCapability/handle 0",
         [](JNIEnv* e, FakeJni& j) {
             return PH_JNI(GetCapability)(e, nullptr, 0, 1, j.NewLongArray({0}));
         },
         kHandle},
        {"ResetDevice/null env",
         [](JNIEnv*, FakeJni&) { return PH_JNI(ResetDevice)(nullptr, nullptr, kSomePort, 0); },
         kParameter},
        {"ResetDevice/handle 0",
         [](JNIEnv* e, FakeJni&) { return PH_JNI(ResetDevice)(e, nullptr, 0, 0); }, kHandle},
        {"IOCtl/null env",
         [](JNIEnv*, FakeJni& j) {
             return PH_JNI(IOCtl)(nullptr, nullptr, kSomePort, 0x40040002, j.NewByteArray("k"), 1,
                                  j.NewByteArray("12345678"), 8, j.NewIntArray({0}));
         },
         kParameter},
        {"IOCtl/handle 0",
         [](JNIEnv* e, FakeJni& j) {
             return PH_JNI(IOCtl)(e, nullptr, 0, 0x40040002, j.NewByteArray("k"), 1,
                                  j.NewByteArray("12345678"), 8, j.NewIntArray({0}));
         },
         kHandle},
        {"SetDCXPath/null env",
         [](JNIEnv*, FakeJni& j) {
             return PH_JNI(SetDCXPath)(nullptr, nullptr, j.NewByteArray("/x"));
         },
         kParameter},
        {"GetPortCapability/null env",
         [](JNIEnv*, FakeJni& j) {
             return PH_JNI(GetPortCapability)(nullptr, nullptr, j.NewString("svc"),
                                              j.NewString("COM1"), 21, 0, j.NewIntArray({0}));
         },
         kParameter},
        {"checkOstrelPowerStatus/handle 0",
         [](JNIEnv* e, FakeJni&) { return PH_JNI(checkOstrelPowerStatus)(e, nullptr, 0); },
         kHandle},
        {"checkOstrelPowerStatus/handle 0, null env",
         [](JNIEnv*, FakeJni&) { return PH_JNI(checkOstrelPowerStatus)(nullptr, nullptr, 0); },
         kHandle},
    };
}

TEST(NativeFrame, RefusesInOrderWithoutTouchingJavaData) {
    for (const auto& c : FrameCases()) {
        FakeJni jni;
        EXPECT_EQ(c.call(jni.env(), jni), c.expected) << c.name;
        // No pin, no length query: a refused call reads nothing of Java's.
        EXPECT_TRUE(jni.Calls().empty()) << c.name << " touched Java data first";
    }
}

}  // namespace
