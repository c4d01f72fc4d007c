// The power monitor under real threads: the simulator's thread delivering power and lock reports
// while Java-like threads poll, re-take lost locks, and let ports go and watch new ones. Every
// test runs its workload on a thread of its own and fails, instead of hanging, on a deadlock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bridge/VarnelPHJNIAPI.h"
#include "port/VarnelPHJNI.h"
#include "power/OstrelPower.h"
#include "service/DCXServiceAPI.h"
#include "support/OpenPort.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kUrl = "svc";

// Runs the work on a thread of its own. A deadlocked thread can be neither joined nor
// abandoned safely, so missing the bound ends the whole program with a failure.
void RunWithin(std::chrono::seconds bound, const std::function<void()>& work) {
    std::packaged_task<void()> task(work);
    std::future<void> done = task.get_future();
    std::thread runner(std::move(task));
    if (done.wait_for(bound) != std::future_status::ready) {
        std::fprintf(stderr, "%s: not finished within %lld s, deadlocked\n",
                     testing::UnitTest::GetInstance()->current_test_info()->name(),
                     static_cast<long long>(bound.count()));
        std::fflush(stderr);
        std::_Exit(1);
    }
    runner.join();
    done.get();
}

uint32_t OtherType(uint32_t type) {
    return type == 2 ? 1 : 2;
}

using PowerConcurrency = PowerTest;

// A port watched for the whole test, polled through the native method.
struct FixedPort {
    std::string name;
    uint32_t type;
    bool serial;
    std::unique_ptr<VarnelPHJNI> object;
};

// Polls must only ever give a state the port's mode can produce. A watched port whose readings
// are all defined never polls -1 while its record lives.
bool Legal(int32_t state, bool serial, bool mayBeGone) {
    if (state == -1) return mayBeGone;
    return serial ? (state >= 0 && state <= 3) : (state == 0 || state == 3 || state == 4);
}

TEST_F(PowerConcurrency, ReportsPollsRelocksAndPortChurnMeetSafely) {
    // Fixed ports: two not serial (QZ, XJ), two serial (QZ, XJ).
    std::vector<FixedPort> fixed;
    for (auto [type, serial] : {std::pair{0u, false}, {2u, false}, {1u, true}, {2u, true}}) {
        const std::string name = "KOVLAN_FIX" + std::to_string(fixed.size());
        if (serial) VSim_SetConfigNumber(name.c_str(), 1);
        VSim_SetProperty(name.c_str(), type, 4, 0);
        VSim_SetProperty(name.c_str(), OtherType(type), 4, 0);
        void* handle = SimConnect(name, type);
        ASSERT_NE(handle, nullptr);
        auto object = std::make_unique<VarnelPHJNI>();
        ASSERT_EQ(object->CreatePH(), 0);
        ASSERT_EQ(object->SetPHHandle(handle, kUrl, name.c_str()), 0);
        OstrelPowerInit(handle, kUrl, name.c_str(), type);
        fixed.push_back({name, type, serial, std::move(object)});
    }
    // Churned ports: watched, let go and replaced by a fresh connection over and over.
    const std::vector<std::string> churnNames = {"KOVLAN_CHURN0", "KOVLAN_CHURN1"};
    VSim_SetConfigNumber(churnNames[1].c_str(), 1);
    std::atomic<void*> churnHandles[2] = {nullptr, nullptr};

    std::atomic<bool> stop{false};
    std::atomic<int> illegal{0};
    std::atomic<long> polls{0};
    std::atomic<long> churns{0};

    RunWithin(60s, [&] {
        std::vector<std::thread> threads;
        // The reporter: readings and lost locks for every role of every port.
        threads.emplace_back([&] {
            uint32_t reading = 0;
            while (!stop.load()) {
                reading = (reading + 1) % 4;
                for (const auto& port : fixed) {
                    VSim_ReportPower(port.name.c_str(), port.type, reading);
                    VSim_ReportPower(port.name.c_str(), OtherType(port.type), 3 - reading);
                    VSim_ReportLock(port.name.c_str(), port.type, 0, 1);
                }
                for (const auto& name : churnNames) {
                    VSim_ReportPower(name.c_str(), 0, reading);
                    VSim_ReportPower(name.c_str(), 2, reading);
                    VSim_ReportLock(name.c_str(), 0, 0, 1);
                }
                VSim_WaitIdle(1000);  // keeps the queue short
            }
        });
        // Java-like pollers.
        for (int t = 0; t < 3; ++t) {
            threads.emplace_back([&] {
                while (!stop.load()) {
                    for (const auto& port : fixed) {
                        const jint state = PH_JNI(checkOstrelPowerStatus)(
                            nullptr, nullptr, reinterpret_cast<jlong>(port.object.get()));
                        if (!Legal(state, port.serial, false)) ++illegal;
                    }
                    for (size_t i = 0; i < 2; ++i) {
                        void* handle = churnHandles[i].load();
                        if (handle == nullptr) continue;
                        if (!Legal(OstrelPowerState(handle), i == 1, true)) ++illegal;
                        if (IsPortUnlocked(handle) != 0) RecoverPortLock(handle);
                    }
                    ++polls;
                }
            });
        }
        // Churners: one per churned port, alternating the port's role.
        for (size_t i = 0; i < 2; ++i) {
            threads.emplace_back([&, i] {
                const std::string& name = churnNames[i];
                for (uint32_t round = 0; !stop.load(); ++round) {
                    const uint32_t type = round % 2 == 0 ? 0 : 2;
                    void* handle = SimConnect(name, type);
                    if (handle == nullptr) {
                        ++illegal;
                        return;
                    }
                    OstrelPowerInit(handle, kUrl, name.c_str(), type);
                    churnHandles[i].store(handle);
                    std::this_thread::sleep_for(1ms);
                    OstrelPowerFree(handle);
                    // Reports keep arriving on the own handle until it is closed.
                    std::this_thread::sleep_for(1ms);
                    churnHandles[i].store(nullptr);
                    SimDisconnect(handle);
                    ++churns;
                }
            });
        }
        std::this_thread::sleep_for(2s);
        stop.store(true);
        for (auto& thread : threads) thread.join();
    });

    EXPECT_EQ(illegal.load(), 0);
    EXPECT_GT(polls.load(), 0);
    EXPECT_GT(churns.load(), 0);
    // Every second connection the churn opened was closed again: only the fixed ports and the
    // two serial fixed ports' second connections remain.
    EXPECT_EQ(VSim_OpenConnections(), 6u);
}

// A report on the second connection is in flight, blocked in the callback on csLock, while
// OstrelPowerFree lets the port go and closes that connection. DCX_Close waits for the report
// in flight, so closing with csLock held would wait forever.
TEST_F(PowerConcurrency, FreeClosesTheSecondConnectionWhileItsReportWaitsForTheLock) {
    VSim_SetConfigNumber("KOVLAN_DL", 1);
    void* handle = SimConnect("KOVLAN_DL", 0);
    ASSERT_NE(handle, nullptr);
    OstrelPowerInit(handle, kUrl, "KOVLAN_DL", 0);
    ASSERT_EQ(VSim_OpenConnections(), 2u);

    for (int round = 0; round < 5; ++round) {
        if (round > 0) OstrelPowerInit(handle, kUrl, "KOVLAN_DL", 0);
        RunWithin(30s, [&] {
            EnterCriticalSection(&csLock);
            // Free queues up on the lock first, the report second, so Free gets the lock first
            // when it is released and the report is still in flight when Free closes.
            std::thread freeing([&] { OstrelPowerFree(handle); });
            std::this_thread::sleep_for(100ms);
            VSim_ReportPower("KOVLAN_DL", 2, 1);
            EXPECT_EQ(VSim_WaitIdle(200), 0) << "the report should be waiting for the lock";
            LeaveCriticalSection(&csLock);
            freeing.join();
            EXPECT_EQ(VSim_WaitIdle(5000), 1);
        });
        EXPECT_EQ(VSim_OpenConnections(), 1u);
        EXPECT_EQ(OstrelPowerState(handle), -1);
    }
}

}  // namespace
