// Loading from an install root, with real dlopen calls of the simulator's libraries, and the
// POSIX stand-ins for the Windows calls the loaders use.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "bridge/VarnelPHJNIAPI.h"
#include "service/VarnelPHClassPath.h"
#include "support/OpenPort.h"

namespace {

TEST_F(SimTest, LibrariesLoadFromTheFixedDirectoryUnderARootThatFitsEveryPath) {
    FakeJni jni;
    auto set = [&](const std::string& bytes) {
        return PH_JNI(SetDCXPath)(jni.env(), nullptr, jni.NewByteArray(bytes));
    };
    auto path = [](const char* file) {
        char path[PH_PATH_SIZE];
        BuildPHLibraryPath(file, path);
        return std::string(path);
    };
    EXPECT_EQ(set(SimRoot() + std::string(1, '\0') + "ignored"), 0);
    HMODULE service = LoadPHLibrary(PH_SERVICE_LIBRARY), config = LoadPHLibrary(PH_CONFIG_LIBRARY);
    EXPECT_NE(GetProcAddress(service, "DCX_Open"), nullptr);
    EXPECT_NE(GetProcAddress(config, "DCX_GetPortConfigNumber"), nullptr);
    EXPECT_EQ(FreeLibrary(service) + FreeLibrary(config), 2);
    const std::string longest = "/varnel_dcx/relayhost/libportconfig.so";
    const std::string fits(PH_PATH_SIZE - 1 - longest.size(), 'r');
    EXPECT_EQ(set(fits + "r"), -3);
    jni.FailPin(1);
    EXPECT_EQ(set("/other"), -3);
    EXPECT_EQ(path(PH_CONFIG_LIBRARY), SimRoot() + longest) << "a refused root keeps the old one";
    EXPECT_EQ(set(fits), 0);  // no terminator: up to the array's end
    EXPECT_EQ(path(PH_CONFIG_LIBRARY), fits + longest);
    EXPECT_EQ(set(std::string(1, '\0')), 0);
    EXPECT_EQ(path(PH_SERVICE_LIBRARY), "/opt/varnel_dcx/relayhost/libdcxif.so");
}

TEST(WinApiClone, CallsKeepThePromisesOfTheirWindowsNames) {
    const auto start = std::chrono::steady_clock::now();
    Sleep(1200);  // whole seconds, then the rest
    const auto slept = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(slept >= std::chrono::milliseconds(1200) &&
                slept < std::chrono::milliseconds(1900));
    EXPECT_EQ(GetProcAddress(nullptr, "malloc"), nullptr);
    EXPECT_EQ(FreeLibrary(nullptr), 0);
    wchar_t target[4] = {L'x', L'x', L'x', L'x'};
    wcscpy_s(target, 2, nullptr);
    wcscpy_s(target, 3, L"abcd");
    EXPECT_EQ(std::wstring(target, 4), L"abcx");

    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    auto othersGetIn = [&] {  // from another thread, without waiting
        int result = -1;
        std::thread([&] { result = pthread_mutex_trylock(&section); }).join();
        return result == 0;
    };
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);
    LeaveCriticalSection(&section);
    EXPECT_FALSE(othersGetIn()) << "the owner still holds one level";
    LeaveCriticalSection(&section);
    EXPECT_TRUE(othersGetIn());
}

}  // namespace
