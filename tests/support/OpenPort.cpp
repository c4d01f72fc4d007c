#include "support/OpenPort.h"

#include <dlfcn.h>

#include <algorithm>

#include "power/OstrelPower.h"
#include "service/CustomValueIOCtrl.h"

namespace {

void* ServiceLibrary() {
    static void* const library = dlopen(VSIM_ROOT "/varnel_dcx/relayhost/libdcxif.so", RTLD_LAZY);
    return library;
}

}  // namespace

void* SimConnect(const std::string& port, uint32_t deviceType, const char* url) {
    auto open = lookup<DCX_Open_t>(ServiceLibrary(), "DCX_Open");
    void* handle = nullptr;
    if (open == nullptr || open(url, port.c_str(), DCX_CLIENT_NAME, deviceType, &handle) != 0) {
        ADD_FAILURE() << "simulator connection to " << port << " not opened";
        return nullptr;
    }
    return handle;
}

void SimDisconnect(void* handle) {
    auto close = lookup<DCX_Close_t>(ServiceLibrary(), "DCX_Close");
    ASSERT_NE(close, nullptr);
    close(handle);
}

void ForgetProcessState() {
    OstrelPowerFreeGlobal();
    while (CustomValueIOReferences() > 0) TerminateCustomValueIO();
    FreeLibrary(hPortConfig.exchange(nullptr));
}

void PowerTest::SetUp() {
    OstrelPowerFreeGlobal();
    SimTest::SetUp();
}

void PowerTest::TearDown() {
    OstrelPowerFreeGlobal();
    SimTest::TearDown();
}

void NativePortTest::TearDown() {
    CloseAll();
    SimTest::TearDown();
    ForgetProcessState();
}

void NativePortTest::Fresh() {
    CloseAll();
    ForgetProcessState();
    SimTest::SetUp();
    OstrelPowerInitGlobal();
}

void NativePortTest::CloseAll() {
    VSim_ClearResults();
    for (jlong handle : std::vector<jlong>(open_)) EXPECT_EQ(Close(handle), 0);
}

jint NativePortTest::Open(const char* url, const std::string& port, jint deviceType,
                          size_t holderSize) {
    holder_ = jni_.NewLongArray(std::vector<int64_t>(holderSize, kUntouched), "holder");
    const jint result =
        PH_JNI(Open)(jni_.env(), nullptr, url ? jni_.NewString(url, "url") : nullptr,
                     jni_.NewString(port, "port"), deviceType, holder_);
    // Only a handle that was written is closed again by the fixture.
    const std::vector<int64_t> holder = jni_.Longs(holder_);
    if (result == 0 && !holder.empty() && holder[0] != kUntouched) open_.push_back(holder[0]);
    return result;
}

jlong NativePortTest::OpenPort(const std::string& port, const char* url) {
    const jint result = Open(url, port);
    EXPECT_EQ(result, 0) << "open of " << port;
    return result == 0 ? jni_.Longs(holder_)[0] : 0;
}

jint NativePortTest::Close(jlong handle) {
    open_.erase(std::remove(open_.begin(), open_.end(), handle), open_.end());
    return PH_JNI(Close)(jni_.env(), nullptr, handle);
}
