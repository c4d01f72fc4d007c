#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "service/CustomValueIOCtrl.h"
#include "support/SimLibrary.h"

namespace {

constexpr const char* kURL = "svc://cv";
constexpr const char* kPort = "COM7";

// Opens and closes of ports on several Java threads meet the binding's reference count and
// handle, while requests on an open port read its function pointers.
class CustomValueBinding : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        while (CustomValueIOReferences() > 0) TerminateCustomValueIO();
        ASSERT_EQ(hPortConfig, nullptr);
    }
    void TearDown() override {
        while (CustomValueIOReferences() > 0) TerminateCustomValueIO();
        SimTest::TearDown();
    }
};

// A port that opens, asks for its value once while open, and closes, again and again.
void OpenAskAndClose(int rounds, std::atomic<int>& failures) {
    uint8_t key[] = {'n'};
    for (int i = 0; i < rounds; ++i) {
        if (InitializeCustomValueIO() != 0) {
            ++failures;
            continue;
        }
        uint8_t output[4] = {};
        uint32_t count = 0;
        if (CustomValueIOCtrl(kURL, kPort, CUSTOM_VALUE_GET_NUMBER, {key, 1}, 1, {output, 4}, 4,
                              &count) != 0 ||
            output[0] != 0x04) {
            ++failures;
        }
        TerminateCustomValueIO();
    }
}

TEST_F(CustomValueBinding, RequestsOnAnOpenPortSurviveOtherPortsOpeningAndClosing) {
    ASSERT_EQ(InitializeCustomValueIO(), 0u);  // the port the requests are made on
    VSim_SetCustomNumber(kURL, kPort, "n", 0x01020304);

    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    int requests = 0, wrong = 0;
    std::thread requester([&] {
        uint8_t key[] = {'n'};
        while (!done.load() || requests < 200) {
            uint8_t output[4] = {};
            uint32_t count = 0;
            const DCXRESULT r = CustomValueIOCtrl(kURL, kPort, CUSTOM_VALUE_GET_NUMBER, {key, 1}, 1,
                                                  {output, 4}, 4, &count);
            if (r != 0 || count != 4 || output[0] != 0x04 || output[3] != 0x01) ++wrong;
            ++requests;
        }
    });
    std::vector<std::thread> others;
    for (int t = 0; t < 3; ++t) {
        others.emplace_back(OpenAskAndClose, 300, std::ref(failures));
    }
    for (auto& thread : others) thread.join();
    done = true;
    requester.join();

    EXPECT_EQ(wrong, 0) << "of " << requests << " requests";
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(CustomValueIOReferences(), 1u);
    EXPECT_NE(hPortConfig, nullptr);
    TerminateCustomValueIO();
    EXPECT_EQ(hPortConfig, nullptr);
}

TEST_F(CustomValueBinding, PortsOpeningAndClosingTogetherLeaveNothingBound) {
    VSim_SetCustomNumber(kURL, kPort, "n", 0x01020304);
    // Starting from nothing, the library is loaded and unloaded over and over: two threads must
    // never both load it, nor one unload it under another's fresh reference.
    std::atomic<int> failures{0};
    std::vector<std::thread> ports;
    for (int t = 0; t < 4; ++t) {
        ports.emplace_back(OpenAskAndClose, 300, std::ref(failures));
    }
    for (auto& thread : ports) thread.join();

    EXPECT_EQ(failures, 0);
    EXPECT_EQ(CustomValueIOReferences(), 0u);
    EXPECT_EQ(hPortConfig, nullptr);
}

}  // namespace
