// The port-service simulator's own guarantees, which the bridge tests build on: loopback on the
// delivery thread, callbacks never called after their removal, programmed results, the call log,
// the variant roots, custom value capacities, scenarios and device reports.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "VSimControl.h"
#include "service/DCXServiceAPI.h"
#include "support/SimLibrary.h"

namespace fs = std::filesystem;

namespace {

constexpr DCXRESULT kParameter = 0x80000003;
constexpr DCXRESULT kBufferOverflow = 0x80000009;
constexpr DCXRESULT kNoValue = 0x8000000B;
constexpr DCXRESULT kHandle = 0x8000000E;

const std::vector<std::string> kServiceFunctions = {"DCX_Initialize",
                                                    "DCX_Terminate",
                                                    "DCX_Open",
                                                    "DCX_Close",
                                                    "DCX_Lock",
                                                    "DCX_Unlock",
                                                    "DCX_RegisterCallback",
                                                    "DCX_UnRegisterCallback",
                                                    "DCX_Send",
                                                    "DCX_CancelOperation",
                                                    "DCX_ResumeSending",
                                                    "DCX_GetProperty",
                                                    "DCX_SetProperty",
                                                    "DCX_GetCapability",
                                                    "DCX_ResetDevice",
                                                    "DCX_ExtendFunction"};
const std::vector<std::string> kConfigFunctions = {
    "DCX_GetCustomValueNumber", "DCX_GetCustomValueString",  "DCX_GetCustomValueBinary",
    "DCX_SetCustomValueNumber", "DCX_SetCustomValueString",  "DCX_SetCustomValueBinary",
    "DCX_GetPortConfigNumber",  "DCX_GetPortCapabilityValue"};

std::string LibraryDir(const std::string& root) {
    return root + "/varnel_dcx/relayhost/";
}

// The simulator's two libraries as the bridge loads them, with every function looked up.
struct Service {
    DCX_Initialize_t* initialize;
    DCX_Open_t* open;
    DCX_Close_t* close;
    DCX_Lock_t* lock;
    DCX_Unlock_t* unlock;
    DCX_RegisterCallback_t* registerCallback;
    DCX_UnRegisterCallback_t* unregisterCallback;
    DCX_Send_t* send;
    DCX_GetProperty_t* getProperty;
    DCX_SetProperty_t* setProperty;
    DCX_GetCapability_t* getCapability;
    DCX_ExtendFunction_t* extendFunction;
    DCX_GetCustomValueNumber_t* getNumber;
    DCX_GetCustomValueString_t* getString;
    DCX_GetCustomValueBinary_t* getBinary;
    DCX_SetCustomValueNumber_t* setNumber;
    DCX_SetCustomValueString_t* setString;
    DCX_SetCustomValueBinary_t* setBinary;
    DCX_GetPortConfigNumber_t* getConfigNumber;
    DCX_GetPortCapabilityValue_t* getPortCapability;
};

const Service& Sim() {
    static const Service service = [] {
        void* dcx = dlopen((LibraryDir(VSIM_ROOT) + "libdcxif.so").c_str(), RTLD_LAZY);
        void* cfg = dlopen((LibraryDir(VSIM_ROOT) + "libportconfig.so").c_str(), RTLD_LAZY);
        if (dcx == nullptr || cfg == nullptr) return Service{};
        return Service{
            lookup<DCX_Initialize_t>(dcx, "DCX_Initialize"),
            lookup<DCX_Open_t>(dcx, "DCX_Open"),
            lookup<DCX_Close_t>(dcx, "DCX_Close"),
            lookup<DCX_Lock_t>(dcx, "DCX_Lock"),
            lookup<DCX_Unlock_t>(dcx, "DCX_Unlock"),
            lookup<DCX_RegisterCallback_t>(dcx, "DCX_RegisterCallback"),
            lookup<DCX_UnRegisterCallback_t>(dcx, "DCX_UnRegisterCallback"),
            lookup<DCX_Send_t>(dcx, "DCX_Send"),
            lookup<DCX_GetProperty_t>(dcx, "DCX_GetProperty"),
            lookup<DCX_SetProperty_t>(dcx, "DCX_SetProperty"),
            lookup<DCX_GetCapability_t>(dcx, "DCX_GetCapability"),
            lookup<DCX_ExtendFunction_t>(dcx, "DCX_ExtendFunction"),
            lookup<DCX_GetCustomValueNumber_t>(cfg, "DCX_GetCustomValueNumber"),
            lookup<DCX_GetCustomValueString_t>(cfg, "DCX_GetCustomValueString"),
            lookup<DCX_GetCustomValueBinary_t>(cfg, "DCX_GetCustomValueBinary"),
            lookup<DCX_SetCustomValueNumber_t>(cfg, "DCX_SetCustomValueNumber"),
            lookup<DCX_SetCustomValueString_t>(cfg, "DCX_SetCustomValueString"),
            lookup<DCX_SetCustomValueBinary_t>(cfg, "DCX_SetCustomValueBinary"),
            lookup<DCX_GetPortConfigNumber_t>(cfg, "DCX_GetPortConfigNumber"),
            lookup<DCX_GetPortCapabilityValue_t>(cfg, "DCX_GetPortCapabilityValue"),
        };
    }();
    return service;
}

struct Received {
    uint32_t event;
    uint32_t count;
    std::vector<uint32_t> values;
    bool valuesNull;
    std::vector<uint8_t> bytes;
    std::thread::id thread;
};

// Keeps every event its callback receives.
class Recorder {
  public:
    static uint32_t Callback(uint32_t event, uint32_t count, uint32_t* values, uint32_t length,
                             uint8_t* bytes, void* context) {
        auto* self = static_cast<Recorder*>(context);
        Received r{event, count, {}, values == nullptr, {}, std::this_thread::get_id()};
        if (values != nullptr) r.values.assign(values, values + count);
        if (bytes != nullptr) r.bytes.assign(bytes, bytes + length);
        std::lock_guard lock(self->mutex_);
        self->events_.push_back(std::move(r));
        return 0;
    }
    std::vector<Received> Events() {
        std::lock_guard lock(mutex_);
        return events_;
    }

  private:
    std::mutex mutex_;
    std::vector<Received> events_;
};

// A callback that blocks until released, to hold a delivery in flight.
class Gate {
  public:
    static uint32_t Callback(uint32_t, uint32_t, uint32_t*, uint32_t, uint8_t*, void* context) {
        auto* self = static_cast<Gate*>(context);
        std::unique_lock lock(self->mutex_);
        ++self->calls_;
        self->changed_.notify_all();
        self->changed_.wait(lock, [&] { return self->released_; });
        return 0;
    }
    bool AwaitCalls(int calls) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return calls_ >= calls; });
    }
    void Release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }
    int Calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int calls_ = 0;
    bool released_ = false;
};

class Simulator : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(Sim().open, nullptr) << "simulator libraries not loaded from " VSIM_ROOT;
        VSim_Reset();
    }
    void TearDown() override { VSim_Reset(); }

    void* Open(const char* port, uint32_t deviceType) {
        void* handle = nullptr;
        EXPECT_EQ(Sim().open("svc", port, "UPOS", deviceType, &handle), 0u);
        EXPECT_NE(handle, nullptr);
        return handle;
    }
    static void Idle() { ASSERT_EQ(VSim_WaitIdle(5000), 1); }
};

TEST_F(Simulator, SendEchoesExactlyTheCountedBytesOnTheDeliveryThread) {
    void* port = Open("COM1", 1);
    Recorder data, power;
    ASSERT_EQ(Sim().registerCallback(DCX_CALLBACK_DATA, port, &Recorder::Callback, &data), 0u);
    ASSERT_EQ(Sim().registerCallback(DCX_CALLBACK_POWER, port, &Recorder::Callback, &power), 0u);

    // Sized to the count, so reading past it is caught under AddressSanitizer; arg1 (a timeout)
    // is larger than the count, so taking it as the count shows in the echo.
    auto bytes = std::make_unique<uint8_t[]>(3);
    bytes[0] = 0x11;
    bytes[1] = 0x22;
    bytes[2] = 0x33;
    uint32_t sent = 99;
    EXPECT_EQ(Sim().send(port, 0, 0, 500, 3, bytes.get(), &sent), 0u);
    EXPECT_EQ(sent, 3u);
    sent = 99;
    EXPECT_EQ(Sim().send(port, 0, 0, 3, static_cast<uint32_t>(-1), bytes.get(), &sent), kParameter);
    EXPECT_EQ(sent, 0u);
    Idle();

    auto events = data.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].event, DCX_EVENT_DATA_RECEIVED);
    EXPECT_EQ(events[0].count, 0u);
    EXPECT_TRUE(events[0].valuesNull);
    EXPECT_EQ(events[0].bytes, (std::vector<uint8_t>{0x11, 0x22, 0x33}));
    EXPECT_NE(events[0].thread, std::this_thread::get_id());
    EXPECT_TRUE(power.Events().empty());
}

TEST_F(Simulator, RemovingACallbackWaitsForItsCallInFlight) {
    struct Removal {
        const char* name;
        DCXRESULT (*remove)(void* port);
    };
    const Removal removals[] = {
        {"UnRegisterCallback",
         [](void* port) { return Sim().unregisterCallback(DCX_CALLBACK_DATA, port); }},
        {"Close", [](void* port) { return Sim().close(port); }},
    };
    for (const Removal& removal : removals) {
        SCOPED_TRACE(removal.name);
        VSim_Reset();
        void* port = Open("COM1", 1);
        Gate gate;
        ASSERT_EQ(Sim().registerCallback(DCX_CALLBACK_DATA, port, &Gate::Callback, &gate), 0u);
        const uint8_t byte = 7;
        VSim_InjectData(port, &byte, 1);
        ASSERT_TRUE(gate.AwaitCalls(1));

        std::atomic<bool> returned{false};
        std::thread remover([&] {
            EXPECT_EQ(removal.remove(port), 0u);
            returned = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(returned) << "returned while its callback was still running";
        gate.Release();
        remover.join();
        EXPECT_TRUE(returned);

        VSim_InjectData(port, &byte, 1);
        Idle();
        EXPECT_EQ(gate.Calls(), 1);
    }
}

TEST_F(Simulator, CallbackMayCloseItsOwnConnection) {
    struct Closer {
        void* port;
        DCXRESULT result = 1;
        static uint32_t Callback(uint32_t, uint32_t, uint32_t*, uint32_t, uint8_t*, void* c) {
            auto* self = static_cast<Closer*>(c);
            self->result = Sim().close(self->port);
            return 0;
        }
    } closer{Open("COM1", 1)};
    ASSERT_EQ(Sim().registerCallback(DCX_CALLBACK_DATA, closer.port, &Closer::Callback, &closer),
              0u);
    const uint8_t byte = 1;
    VSim_InjectData(closer.port, &byte, 1);
    Idle();
    EXPECT_EQ(closer.result, 0u);
    EXPECT_EQ(VSim_OpenConnections(), 0u);
}

TEST_F(Simulator, ProgrammedResultsFailOnlyTheCallsTheyNameAndHaveNoEffect) {
    void* port = Open("COM1", 1);
    int64_t value = 0;

    // Calls made before programming do not count towards nth.
    ASSERT_EQ(Sim().setProperty(port, 3, 6, 10), 0u);
    VSim_SetResultOnCall("DCX_SetProperty", 2, 0x80000005);
    EXPECT_EQ(Sim().setProperty(port, 3, 6, 20), 0u);
    EXPECT_EQ(Sim().setProperty(port, 3, 6, 30), 0x80000005u);
    EXPECT_EQ(Sim().getProperty(port, 6, &value), 0u);
    EXPECT_EQ(value, 20);
    EXPECT_EQ(Sim().setProperty(port, 3, 6, 40), 0u);
    EXPECT_EQ(Sim().getProperty(port, 6, &value), 0u);
    EXPECT_EQ(value, 40);

    // A result for one call wins over the result for every call.
    VSim_SetResult("DCX_Lock", 0x80000004);
    VSim_SetResultOnCall("DCX_Lock", 2, 0);
    EXPECT_EQ(Sim().lock(port, 100), 0x80000004u);
    EXPECT_EQ(VSim_IsLocked(port), 0);
    EXPECT_EQ(Sim().lock(port, 100), 0u);
    EXPECT_EQ(VSim_IsLocked(port), 1);
    EXPECT_EQ(Sim().lock(port, 100), 0x80000004u);

    // A failed send reports half its bytes sent and echoes nothing.
    Recorder data;
    ASSERT_EQ(Sim().registerCallback(DCX_CALLBACK_DATA, port, &Recorder::Callback, &data), 0u);
    VSim_SetResult("DCX_Send", 0x80000007);
    uint8_t bytes[5] = {1, 2, 3, 4, 5};
    uint32_t sent = 0;
    EXPECT_EQ(Sim().send(port, 0, 0, 0, 5, bytes, &sent), 0x80000007u);
    EXPECT_EQ(sent, 2u);
    Idle();
    EXPECT_TRUE(data.Events().empty());

    VSim_ClearResults();
    EXPECT_EQ(Sim().lock(port, 100), 0u);
    EXPECT_EQ(Sim().send(port, 0, 0, 0, 5, bytes, &sent), 0u);
    Idle();
    EXPECT_EQ(data.Events().size(), 1u);
    EXPECT_EQ(VSim_CallCount("DCX_Lock"), 4u);
    EXPECT_EQ(VSim_CallCount("DCX_Send"), 2u);
}

TEST_F(Simulator, LogShowsEveryCallInItsDocumentedForm) {
    void* p1 = Open("COM1", 1);
    void* p2 = nullptr;
    ASSERT_EQ(Sim().open(nullptr, "COM2", "UPOS", 2, &p2), 0u);
    ASSERT_EQ(VSim_Handle(2), p2);
    Recorder recorder;
    int64_t value = 0;
    uint8_t bytes[8] = {};
    uint32_t count = 0;
    uint32_t number = 0;
    uint32_t length = 16;
    int unknown = 0;

    Sim().lock(p1, 100);
    Sim().registerCallback(0, p1, &Recorder::Callback, &recorder);
    Sim().send(p2, 0, 0, 7, 2, bytes, &count);
    Sim().getProperty(p1, 4, &value);
    Sim().setProperty(p1, 3, 6, -5);
    Sim().extendFunction(p1, 3, 0x4007000A, bytes, 2, bytes, 8, &count);
    Sim().getString("svc", "COM1", "key", &length, bytes);
    Sim().setString("svc", "COM1", "key", "abc");
    Sim().setBinary("svc", "COM1", "key", 3, bytes);
    Sim().setNumber(nullptr, "COM1", "key", 42);
    Sim().getConfigNumber("svc", "COM1", 0, &number);
    Sim().getPortCapability("svc", "COM1", 21, 9, &number);
    EXPECT_EQ(Sim().close(p1), 0u);
    EXPECT_EQ(Sim().close(p1), kHandle);
    EXPECT_EQ(Sim().unlock(&unknown), kHandle);
    EXPECT_EQ(Sim().getProperty(p1, 4, &value), kHandle);

    EXPECT_EQ(SimLog(), (std::vector<std::string>{
                            "DCX_Open(svc, COM1, UPOS, 1)",
                            "DCX_Open((null), COM2, UPOS, 2)",
                            "DCX_Lock(P1, 100)",
                            "DCX_RegisterCallback(0, P1)",
                            "DCX_Send(P2, 0, 0, 7, 2)",
                            "DCX_GetProperty(P1, 4)",
                            "DCX_SetProperty(P1, 3, 6, -5)",
                            "DCX_ExtendFunction(P1, 3, 0x4007000A, 2, 8)",
                            "DCX_GetCustomValueString(svc, COM1, key, 16)",
                            "DCX_SetCustomValueString(svc, COM1, key, abc)",
                            "DCX_SetCustomValueBinary(svc, COM1, key, 3)",
                            "DCX_SetCustomValueNumber((null), COM1, key, 42)",
                            "DCX_GetPortConfigNumber(svc, COM1, 0)",
                            "DCX_GetPortCapabilityValue(svc, COM1, 21, 9)",
                            "DCX_Close(P1)",
                            "DCX_Close(P1)",
                            "DCX_Unlock(P?)",
                            "DCX_GetProperty(P1, 4)",
                        }));
    char cut[8];
    EXPECT_EQ(VSim_LogEntry(0, cut, sizeof cut), 28);
    EXPECT_STREQ(cut, "DCX_Ope");
    EXPECT_EQ(VSim_LogEntry(18, cut, sizeof cut), -1);
}

TEST_F(Simulator, EachVariantRootLacksExactlyItsFunction) {
    std::vector<std::string> roots = {""};
    for (const auto& f : kServiceFunctions) roots.push_back(f);
    for (const auto& f : kConfigFunctions) roots.push_back(f);
    for (const std::string& omitted : roots) {
        const std::string root = omitted.empty() ? SimRoot() : SimRootWithout(omitted);
        SCOPED_TRACE(root);
        void* dcx = dlopen((LibraryDir(root) + "libdcxif.so").c_str(), RTLD_LAZY);
        void* cfg = dlopen((LibraryDir(root) + "libportconfig.so").c_str(), RTLD_LAZY);
        ASSERT_NE(dcx, nullptr) << dlerror();
        ASSERT_NE(cfg, nullptr) << dlerror();
        // The lookup also searches the libraries' dependencies, libvarnelsim.so among them.
        for (const auto& f : kServiceFunctions)
            EXPECT_EQ(lookup<void>(dcx, f.c_str()) != nullptr, f != omitted) << f;
        for (const auto& f : kConfigFunctions)
            EXPECT_EQ(lookup<void>(cfg, f.c_str()) != nullptr, f != omitted) << f;
        dlclose(cfg);
        dlclose(dcx);
    }
}

TEST_F(Simulator, CustomValueGetsRespectTheCapacity) {
    uint32_t length = 16;
    uint8_t scratch[16];
    EXPECT_EQ(Sim().getString("svc", "COM1", "key", &length, scratch), kNoValue);
    uint32_t number = 0;
    EXPECT_EQ(Sim().getNumber("svc", "COM1", "key", &number), kNoValue);

    // Stored under a null service URL, read back under "".
    ASSERT_EQ(Sim().setString(nullptr, "COM1", "key", "abc"), 0u);
    auto buffer = std::make_unique<uint8_t[]>(4);
    std::fill_n(buffer.get(), 4, 0xEE);
    length = 3;
    EXPECT_EQ(Sim().getString("", "COM1", "key", &length, buffer.get()), kBufferOverflow);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(buffer[0], 0xEE);
    length = 4;
    EXPECT_EQ(Sim().getString("", "COM1", "key", &length, buffer.get()), 0u);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.get()), 4), std::string("abc\0", 4));

    const uint8_t binary[3] = {1, 0, 2};
    ASSERT_EQ(Sim().setBinary("svc", "COM1", "bin", 3, binary), 0u);
    EXPECT_EQ(Sim().setBinary("svc", "COM1", "bin", -1, binary), kParameter);
    length = 2;
    EXPECT_EQ(Sim().getBinary("svc", "COM1", "bin", &length, buffer.get()), kBufferOverflow);
    EXPECT_EQ(length, 3u);
    length = 3;
    EXPECT_EQ(Sim().getBinary("svc", "COM1", "bin", &length, buffer.get()), 0u);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(std::vector<uint8_t>(buffer.get(), buffer.get() + 3),
              (std::vector<uint8_t>{1, 0, 2}));

    ASSERT_EQ(Sim().setNumber("svc", "COM1", "n", 0x01020304), 0u);
    EXPECT_EQ(Sim().getNumber("svc", "COM1", "n", &number), 0u);
    EXPECT_EQ(number, 0x01020304u);
    EXPECT_EQ(Sim().getNumber("other", "COM1", "n", &number), kNoValue);
}

TEST_F(Simulator, ExtendFunctionEchoesWithinBothLengths) {
    void* port = Open("COM1", 1);
    struct Case {
        int32_t inLength;
        int32_t outLength;
        bool outNull;
        uint32_t expected;
    };
    for (const Case& c : {Case{5, 3, false, 3}, Case{2, 8, false, 2}, Case{-1, 4, false, 0},
                          Case{4, 4, true, 0}, Case{4, -4, false, 0}}) {
        SCOPED_TRACE(testing::Message() << c.inLength << " -> " << c.outLength);
        // Buffers exactly as long as their lengths say, so an overrun is caught.
        auto in = std::make_unique<uint8_t[]>(std::max(c.inLength, 1));
        auto out = std::make_unique<uint8_t[]>(std::max(c.outLength, 1));
        for (int i = 0; i < c.inLength; ++i) in[i] = static_cast<uint8_t>(i + 1);
        uint32_t count = 99;
        EXPECT_EQ(Sim().extendFunction(port, 3, 0x12345678, in.get(), c.inLength,
                                       c.outNull ? nullptr : out.get(), c.outLength, &count),
                  0u);
        EXPECT_EQ(count, c.expected);
        for (uint32_t i = 0; i < c.expected; ++i) EXPECT_EQ(out[i], i + 1);
    }
    VSim_SetResult("DCX_ExtendFunction", 0x80000008);
    uint8_t in[2] = {1, 2}, out[2] = {9, 9};
    uint32_t count = 99;
    EXPECT_EQ(Sim().extendFunction(port, 3, 1, in, 2, out, 2, &count), 0x80000008u);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(out[0], 9);
}

TEST_F(Simulator, ReportsReachKind2CallbacksOfEveryOpenConnectionToTheDevice) {
    void* first = Open("COM1", 1);
    void* second = Open("COM1", 1);
    void* otherType = Open("COM1", 2);
    void* otherPort = Open("COM2", 1);
    Recorder r1, r2, r3, r4, data;
    Sim().registerCallback(DCX_CALLBACK_POWER, first, &Recorder::Callback, &r1);
    Sim().registerCallback(DCX_CALLBACK_POWER, second, &Recorder::Callback, &r2);
    Sim().registerCallback(DCX_CALLBACK_POWER, otherType, &Recorder::Callback, &r3);
    Sim().registerCallback(DCX_CALLBACK_POWER, otherPort, &Recorder::Callback, &r4);
    Sim().registerCallback(DCX_CALLBACK_DATA, first, &Recorder::Callback, &data);
    ASSERT_EQ(Sim().lock(first, 100), 0u);
    int64_t lockHeld = -1;
    EXPECT_EQ(Sim().getProperty(first, 0x7F01, &lockHeld), 0u);
    EXPECT_EQ(lockHeld, 1);

    VSim_ReportPower("COM1", 1, 3);
    Idle();
    int64_t reading = -1;
    EXPECT_EQ(Sim().getProperty(second, 4, &reading), 0u);
    EXPECT_EQ(reading, 3);
    EXPECT_EQ(Sim().getProperty(otherType, 4, &reading), 0u);
    EXPECT_EQ(reading, 0);

    ASSERT_EQ(Sim().close(second), 0u);
    VSim_ReportLock("COM1", 1, 0, 2);
    Idle();
    EXPECT_EQ(VSim_IsLocked(first), 0);
    EXPECT_EQ(Sim().getProperty(first, 0x7F01, &lockHeld), 0u);
    EXPECT_EQ(lockHeld, 0);

    auto power = r1.Events();
    ASSERT_EQ(power.size(), 2u);
    EXPECT_EQ(power[0].event, DCX_EVENT_POWER_STATE);
    EXPECT_EQ(power[0].values, (std::vector<uint32_t>{3}));
    EXPECT_EQ(power[1].event, DCX_EVENT_LOCK_STATE);
    EXPECT_EQ(power[1].count, 2u);
    EXPECT_EQ(power[1].values, (std::vector<uint32_t>{0, 0}));
    ASSERT_EQ(r2.Events().size(), 1u);
    EXPECT_EQ(r2.Events()[0].event, DCX_EVENT_POWER_STATE);
    EXPECT_TRUE(r3.Events().empty());
    EXPECT_TRUE(r4.Events().empty());
    EXPECT_TRUE(data.Events().empty());
}

TEST_F(Simulator, ScenarioTextProgramsResultsSettingsAndReadTriggers) {
    ASSERT_EQ(VSim_ApplyScenarioText("# power of COM1\n"
                                     "result DCX_Lock 0x80000004 2\n"
                                     "property COM1 1 6 -7   # trailing comment\n"
                                     "capability COM1 1 9 0x10\n"
                                     "\n"
                                     "config COM1 1\n"
                                     "portcap COM1 21 3\n"
                                     "power COM1 1 2 after-reads 2\n"
                                     "lock-lost COM1 1 after-reads 3\n"),
              0);
    void* port = Open("COM1", 1);
    Recorder power;
    Sim().registerCallback(DCX_CALLBACK_POWER, port, &Recorder::Callback, &power);
    int64_t value = 0;
    uint32_t number = 0;
    EXPECT_EQ(Sim().getProperty(port, 6, &value), 0u);
    EXPECT_EQ(value, -7);
    EXPECT_EQ(Sim().getCapability(port, 9, &value), 0u);
    EXPECT_EQ(value, 16);
    EXPECT_EQ(Sim().getConfigNumber("svc", "COM1", 0, &number), 0u);
    EXPECT_EQ(number, 1u);
    EXPECT_EQ(Sim().getPortCapability("svc", "COM1", 21, 0, &number), 0u);
    EXPECT_EQ(number, 3u);
    EXPECT_EQ(Sim().lock(port, 100), 0u);
    EXPECT_EQ(Sim().lock(port, 100), 0x80000004u);

    // The reports come after the second and third power reads, not before.
    std::vector<int64_t> readings;
    std::vector<size_t> reportsSeen;
    for (int read = 0; read < 3; ++read) {
        ASSERT_EQ(Sim().getProperty(port, 4, &value), 0u);
        readings.push_back(value);
        Idle();
        reportsSeen.push_back(power.Events().size());
    }
    EXPECT_EQ(readings, (std::vector<int64_t>{0, 0, 2}));
    EXPECT_EQ(reportsSeen, (std::vector<size_t>{0, 1, 2}));
    auto events = power.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].event, DCX_EVENT_POWER_STATE);
    EXPECT_EQ(events[0].values, (std::vector<uint32_t>{2}));
    EXPECT_EQ(events[1].event, DCX_EVENT_LOCK_STATE);
    EXPECT_EQ(events[1].values, (std::vector<uint32_t>{0}));

    // A new scenario replaces the old one; lines not understood are skipped and reported.
    EXPECT_EQ(VSim_ApplyScenarioText("config COM1 2\n"
                                     "result DCX_Sned 0x80000001\n"
                                     "portcap COM1 21 0x\n"
                                     "portcap COM1 21 4\n"),
              2);
    EXPECT_EQ(Sim().getProperty(port, 6, &value), 0u);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(Sim().getConfigNumber("svc", "COM1", 0, &number), 0u);
    EXPECT_EQ(number, 2u);
    EXPECT_EQ(Sim().getPortCapability("svc", "COM1", 21, 0, &number), 0u);
    EXPECT_EQ(number, 4u);
    EXPECT_EQ(Sim().lock(port, 100), 0u);
}

// A copy of libdcxif.so in a directory of its own, where a scenario file can be written.
class SimulatorScenarioFile : public Simulator {
  protected:
    void SetUp() override {
        Simulator::SetUp();
        char pattern[] = "/tmp/vsim-scenario-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        fs::copy_file(LibraryDir(VSIM_ROOT) + "libdcxif.so", dir_ / "libdcxif.so");
        library_ = dlopen((dir_ / "libdcxif.so").c_str(), RTLD_LAZY);
        ASSERT_NE(library_, nullptr) << dlerror();
        initialize_ = lookup<DCX_Initialize_t>(library_, "DCX_Initialize");
        ASSERT_NE(initialize_, nullptr);
        VSim_SetScenarioFiles(1);
    }
    void TearDown() override {
        if (library_ != nullptr) dlclose(library_);
        fs::remove_all(dir_);
        Simulator::TearDown();
    }
    void Write(const std::string& text) { std::ofstream(dir_ / "vsim-scenario.txt") << text; }
    static uint32_t ConfigNumber() {
        uint32_t value = 99;
        EXPECT_EQ(Sim().getConfigNumber("svc", "COM1", 0, &value), 0u);
        return value;
    }

    fs::path dir_;
    void* library_ = nullptr;
    DCX_Initialize_t* initialize_ = nullptr;
};

TEST_F(SimulatorScenarioFile, IsAppliedAtInitializeWhenItsTextChanged) {
    Write("config COM1 5\nresult DCX_Initialize 0x80000002 2\n");
    EXPECT_EQ(initialize_(), 0u);
    EXPECT_EQ(ConfigNumber(), 5u);

    // Unchanged text is not applied again, so settings made since stay.
    VSim_SetConfigNumber("COM1", 9);
    EXPECT_EQ(initialize_(), 0x80000002u);
    EXPECT_EQ(ConfigNumber(), 9u);

    Write("config COM1 6\n");
    EXPECT_EQ(ConfigNumber(), 9u);
    EXPECT_EQ(initialize_(), 0u);
    EXPECT_EQ(ConfigNumber(), 6u);

    // The file going away clears what it programmed.
    fs::remove(dir_ / "vsim-scenario.txt");
    EXPECT_EQ(initialize_(), 0u);
    EXPECT_EQ(ConfigNumber(), 0u);
    EXPECT_EQ(VSim_CallCount("DCX_Initialize"), 4u);

    // After a reset the program is the control API's alone.
    VSim_Reset();
    VSim_SetConfigNumber("COM1", 3);
    Write("config COM1 7\n");
    EXPECT_EQ(initialize_(), 0u);
    EXPECT_EQ(ConfigNumber(), 3u);
}

// Several clients at once: every echo reaches its own connection, in order, never two callbacks
// at a time, and never after the client's UnRegisterCallback returned.
TEST_F(Simulator, ConcurrentClientsGetTheirOwnEchoesUntilTheyUnregister) {
    struct Client {
        void* port = nullptr;
        std::vector<uint8_t> received;  // touched by the delivery thread only until idle
        std::atomic<bool> unregistered{false};
        std::atomic<int> lateCalls{0};
    };
    static std::atomic<int> inside{0};
    static std::atomic<int> overlaps{0};
    inside = 0;
    overlaps = 0;
    auto callback = [](uint32_t, uint32_t, uint32_t*, uint32_t length, uint8_t* bytes,
                       void* context) -> uint32_t {
        auto* client = static_cast<Client*>(context);
        if (inside.fetch_add(1) != 0) ++overlaps;
        if (client->unregistered) ++client->lateCalls;
        client->received.insert(client->received.end(), bytes, bytes + length);
        inside.fetch_sub(1);
        return 0;
    };

    constexpr int kClients = 4;
    constexpr int kSends = 200;
    Client clients[kClients];
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i] {
            Client& c = clients[i];
            const std::string port = "COM" + std::to_string(i);
            ASSERT_EQ(Sim().open("svc", port.c_str(), "UPOS", 1, &c.port), 0u);
            ASSERT_EQ(Sim().registerCallback(DCX_CALLBACK_DATA, c.port, callback, &c), 0u);
            for (int n = 0; n < kSends; ++n) {
                uint8_t byte = static_cast<uint8_t>(n);
                uint32_t sent = 0;
                ASSERT_EQ(Sim().send(c.port, 0, 0, 0, 1, &byte, &sent), 0u);
                if (n % 50 == 0) VSim_ReportPower(port.c_str(), 1, n % 4);
            }
            ASSERT_EQ(Sim().unregisterCallback(DCX_CALLBACK_DATA, c.port), 0u);
            c.unregistered = true;
            ASSERT_EQ(Sim().close(c.port), 0u);
        });
    }
    for (auto& t : threads) t.join();
    Idle();

    EXPECT_EQ(overlaps, 0);
    for (Client& c : clients) {
        EXPECT_EQ(c.lateCalls, 0);
        ASSERT_LE(c.received.size(), static_cast<size_t>(kSends));
        for (size_t n = 0; n < c.received.size(); ++n)
            ASSERT_EQ(c.received[n], static_cast<uint8_t>(n)) << "echo " << n << " out of order";
    }
    EXPECT_EQ(VSim_CallCount("DCX_Send"), static_cast<size_t>(kClients * kSends));
    EXPECT_EQ(VSim_OpenConnections(), 0u);
}

}  // namespace
