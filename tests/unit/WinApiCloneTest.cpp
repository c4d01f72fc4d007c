#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/WinApiClone.h"

// sleep and usleep are interposed for this test program, so the split of a Sleep can be seen
// without waiting for it; every other caller gets the real functions.
namespace {
thread_local bool recordSleeps = false;  // only the testing thread records
std::vector<std::pair<char, unsigned long>> sleeps;
}  // namespace

extern "C" unsigned int sleep(unsigned int seconds) {
    if (recordSleeps) {
        sleeps.emplace_back('s', seconds);
        return 0;
    }
    static auto real = reinterpret_cast<unsigned int (*)(unsigned int)>(dlsym(RTLD_NEXT, "sleep"));
    return real(seconds);
}

extern "C" int usleep(useconds_t microseconds) {
    if (recordSleeps) {
        sleeps.emplace_back('u', microseconds);
        return 0;
    }
    static auto real = reinterpret_cast<int (*)(useconds_t)>(dlsym(RTLD_NEXT, "usleep"));
    return real(microseconds);
}

namespace {

std::vector<std::pair<char, unsigned long>> SleepCalls(uint32_t milliseconds) {
    sleeps.clear();
    recordSleeps = true;
    Sleep(milliseconds);
    recordSleeps = false;
    return sleeps;
}

TEST(Sleep, SplitsIntoWholeSecondsAndMicroseconds) {
    using Calls = std::vector<std::pair<char, unsigned long>>;
    EXPECT_EQ(SleepCalls(0), (Calls{{'s', 0}, {'u', 0}}));
    EXPECT_EQ(SleepCalls(5), (Calls{{'s', 0}, {'u', 5000}}));
    EXPECT_EQ(SleepCalls(999), (Calls{{'s', 0}, {'u', 999000}}));
    EXPECT_EQ(SleepCalls(1000), (Calls{{'s', 1}, {'u', 0}}));
    EXPECT_EQ(SleepCalls(2500), (Calls{{'s', 2}, {'u', 500000}}));
}

TEST(Libraries, NullHandlesCallNothing) {
    EXPECT_EQ(GetProcAddress(nullptr, "malloc"), nullptr);
    EXPECT_EQ(FreeLibrary(nullptr), 0);
}

TEST(Libraries, LoadLookUpAndFree) {
    HMODULE library = LoadLibrary(PROBE_SERVICE_LIB);
    ASSERT_NE(library, nullptr);
    auto probe = reinterpret_cast<const char* (*)()>(GetProcAddress(library, "ProbeName"));
    ASSERT_NE(probe, nullptr);
    EXPECT_STREQ(probe(), "service");
    EXPECT_EQ(GetProcAddress(library, "NoSuchFunction"), nullptr);
    EXPECT_EQ(FreeLibrary(library), 1);
    EXPECT_EQ(LoadLibrary("/nonexistent/libnothing.so"), nullptr);
}

TEST(WideCopy, CopiesExactlyTheCountAndNothingForNull) {
    wchar_t source[4] = {L'a', L'b', L'c', L'd'};
    wchar_t target[4] = {L'x', L'x', L'x', L'x'};
    wcscpy_s(target, 0, source);
    EXPECT_EQ(target[0], L'x');
    wcscpy_s(nullptr, 2, source);
    wcscpy_s(target, 2, nullptr);
    EXPECT_EQ(target[0], L'x');
    wcscpy_s(target, 3, source);
    EXPECT_EQ(target[0], L'a');
    EXPECT_EQ(target[2], L'c');
    EXPECT_EQ(target[3], L'x');
}

TEST(CriticalSection, OwnerReentersAndOthersWaitUntilFullyLeft) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);  // recursion must not deadlock
    std::atomic<bool> entered{false};
    std::thread other([&] {
        EnterCriticalSection(&section);
        entered = true;
        LeaveCriticalSection(&section);
    });
    LeaveCriticalSection(&section);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(entered) << "another thread got in while the owner still held one level";
    LeaveCriticalSection(&section);
    other.join();
    EXPECT_TRUE(entered);
    DeleteCriticalSection(&section);
}

}  // namespace
