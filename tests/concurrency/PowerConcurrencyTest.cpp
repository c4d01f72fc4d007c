// The power monitor under real threads: the simulator's thread delivering power and lock reports
// while Java-like threads poll, take lost locks again, and watch and let go ports.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bridge/VarnelPHJNIAPI.h"
#include "port/VarnelPHJNI.h"
#include "power/OstrelPower.h"
#include "support/OpenPort.h"

namespace {

using PowerThreads = PowerTest;

// KOVLAN_0 to _3 are watched throughout (QZ, XJ, each not serial and serial) and polled through
// the native method; KOVLAN_4 (not serial) and _5 (serial) are watched and let go over and over.
TEST_F(PowerThreads, ReportsPollsRelocksAndPortChurnMeetSafely) {
    std::vector<std::unique_ptr<LivePort>> fixed;
    for (uint32_t i = 0; i < 6; ++i)
        VSim_SetConfigNumber(("KOVLAN_" + std::to_string(i)).c_str(), i % 2);
    for (uint32_t type : {0u, 1u, 2u, 2u}) {
        const std::string name = "KOVLAN_" + std::to_string(fixed.size());
        void* handle = SimConnect(name, type);
        fixed.push_back(std::make_unique<LivePort>());
        ASSERT_EQ(
            (*fixed.back())->CreatePH() + (*fixed.back())->SetPHHandle(handle, "", name.c_str()),
            0);
        OstrelPowerInit(handle, "", name.c_str(), type);
    }
    std::atomic<bool> stop{false};
    std::atomic<int> illegal{0}, polls{0}, churns{0};
    auto legal = [](int32_t s, bool serial) {  // only states the port's mode has
        return serial ? s >= 0 && s <= 3 : s == 0 || s == 3 || s == 4;
    };
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        for (uint32_t reading = 0; !stop; reading = (reading + 1) % 4) {
            for (int port = 0; port < 6; ++port) {
                const std::string name = "KOVLAN_" + std::to_string(port);
                for (uint32_t type : {0u, 1u, 2u}) {
                    VSim_ReportPower(name.c_str(), type, (reading + type) % 4);
                    VSim_ReportLock(name.c_str(), type, 0, 1);
                }
            }
            VSim_WaitIdle(1000);  // keeps the queue short
        }
    });
    for (int poller = 0; poller < 2; ++poller) {
        threads.emplace_back([&] {
            for (; !stop; ++polls) {
                for (size_t i = 0; i < 4; ++i) {
                    const jlong port = fixed[i]->handle();
                    illegal +=
                        !legal(PH_JNI(checkOstrelPowerStatus)(nullptr, nullptr, port), i % 2);
                }
            }
        });
    }
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&, i] {
            const std::string name = "KOVLAN_" + std::to_string(4 + i);
            for (uint32_t type = 0; !stop; type = 2 - type, ++churns) {
                void* handle = SimConnect(name, type);
                OstrelPowerInit(handle, "", name.c_str(), type);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                OstrelPowerFree(handle);  // reports reach the own connection until it is closed
                SimDisconnect(handle);
            }
        });
    }
    // A deadlocked thread can be neither joined nor abandoned: missing the bound ends the program.
    auto joined = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        stop = true;
        for (auto& thread : threads) thread.join();
    });
    if (joined.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ADD_FAILURE() << "threads not finished within 60 s: deadlocked";
        std::_Exit(1);
    }
    EXPECT_EQ(illegal, 0);
    EXPECT_TRUE(polls > 0 && churns > 0);
    EXPECT_EQ(VSim_OpenConnections(), 6u) << "every churned second connection closed again";
}

}  // namespace
