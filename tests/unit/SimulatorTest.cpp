// The port-service simulator's guarantees that the bridge tests build on: loopback on the
// delivery thread, callbacks never called after their removal, programmed results, the call log,
// the variant roots, custom value capacities, scenarios and device reports.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <semaphore>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "VSimControl.h"
#include "service/DCXServiceAPI.h"
#include "support/SimLibrary.h"

namespace fs = std::filesystem;

namespace {

constexpr DCXRESULT kParameter = 0x80000003;
constexpr DCXRESULT kBufferOverflow = 0x80000009;
constexpr DCXRESULT kHandle = 0x8000000E;

void* Load(const std::string& root, const char* file) {
    return dlopen((root + "/varnel_dcx/relayhost/" + file).c_str(), RTLD_LAZY);
}

// A function of the complete simulator's service or configuration library.
template <class Fn>
Fn* SimFunction(const char* name) {
    static void* const service = Load(VSIM_ROOT, "libdcxif.so");
    static void* const config = Load(VSIM_ROOT, "libportconfig.so");
    Fn* function = lookup<Fn>(service, name);
    return function != nullptr ? function : lookup<Fn>(config, name);
}
#define SIM(function) SimFunction<function##_t>(#function)

// Keeps every event its callback receives, and the thread of the last.
struct Recorder {
    struct Event {
        uint32_t event;
        std::vector<uint32_t> values;  // empty for a null array
        std::vector<uint8_t> bytes;
        bool operator==(const Event&) const = default;
    };
    static uint32_t Callback(uint32_t event, uint32_t count, uint32_t* values, uint32_t length,
                             uint8_t* bytes, void* context) {
        auto* self = static_cast<Recorder*>(context);
        Event e{event, {}, {}};
        if (values != nullptr) e.values.assign(values, values + count);
        if (bytes != nullptr) e.bytes.assign(bytes, bytes + length);
        std::lock_guard lock(self->mutex);
        self->events.push_back(std::move(e));
        self->thread = std::this_thread::get_id();
        return 0;
    }
    std::vector<Event> Events() {
        std::lock_guard lock(mutex);
        return events;
    }
    std::mutex mutex;
    std::vector<Event> events;
    std::thread::id thread;
};
using Events = std::vector<Recorder::Event>;

// A callback that holds its delivery in flight until opened.
struct Gate {
    static uint32_t Callback(uint32_t, uint32_t, uint32_t*, uint32_t, uint8_t*, void* context) {
        auto* self = static_cast<Gate*>(context);
        ++self->calls;
        self->entered.release();
        self->opened.acquire();
        return 0;
    }
    std::atomic<int> calls{0};
    std::counting_semaphore<> entered{0}, opened{0};
};

class Simulator : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(SIM(DCX_Open), nullptr) << "simulator libraries not loaded from " VSIM_ROOT;
        VSim_Reset();
    }
    void TearDown() override { VSim_Reset(); }

    static void* Open(const char* port, uint32_t deviceType = 1) {
        void* handle = nullptr;
        EXPECT_EQ(SIM(DCX_Open)("svc", port, "UPOS", deviceType, &handle), 0u);
        EXPECT_NE(handle, nullptr);
        return handle;
    }
    static void Listen(uint32_t kind, void* port, Recorder& recorder) {
        ASSERT_EQ(SIM(DCX_RegisterCallback)(kind, port, &Recorder::Callback, &recorder), 0u);
    }
    static void Idle() { ASSERT_EQ(VSim_WaitIdle(5000), 1); }
};

TEST_F(Simulator, SendEchoesExactlyTheCountedBytesOnTheDeliveryThread) {
    void* port = Open("COM1");
    Recorder data, power;
    Listen(DCX_CALLBACK_DATA, port, data);
    Listen(DCX_CALLBACK_POWER, port, power);
    // Sized to the count, so reading past it is caught under AddressSanitizer; arg1 (a timeout)
    // is larger than the count, so taking it as the count shows in the echo.
    std::vector<uint8_t> bytes = {0x11, 0x22, 0x33};
    uint32_t sent = 99;
    EXPECT_EQ(SIM(DCX_Send)(port, 0, 0, 500, 3, bytes.data(), &sent), 0u);
    EXPECT_EQ(sent, 3u);
    EXPECT_EQ(SIM(DCX_Send)(port, 0, 0, 3, uint32_t(-1), bytes.data(), &sent), kParameter);
    EXPECT_EQ(sent, 0u);
    Idle();
    EXPECT_EQ(data.Events(), (Events{{DCX_EVENT_DATA_RECEIVED, {}, bytes}}));
    EXPECT_NE(data.thread, std::this_thread::get_id());
    EXPECT_TRUE(power.Events().empty());
}

TEST_F(Simulator, RemovingACallbackWaitsForItsCallInFlight) {
    for (const bool byClose : {false, true}) {
        SCOPED_TRACE(byClose ? "Close" : "UnRegisterCallback");
        VSim_Reset();
        void* port = Open("COM1");
        Gate gate;
        ASSERT_EQ(SIM(DCX_RegisterCallback)(DCX_CALLBACK_DATA, port, &Gate::Callback, &gate), 0u);
        const uint8_t byte = 7;
        VSim_InjectData(port, &byte, 1);
        ASSERT_TRUE(gate.entered.try_acquire_for(std::chrono::seconds(5)));

        std::atomic<bool> returned{false};
        std::thread remover([&] {
            EXPECT_EQ(byClose ? SIM(DCX_Close)(port)
                              : SIM(DCX_UnRegisterCallback)(DCX_CALLBACK_DATA, port),
                      0u);
            returned = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(returned) << "returned while its callback was still running";
        gate.opened.release(2);  // a wrong second call must not hang
        remover.join();

        VSim_InjectData(port, &byte, 1);
        Idle();
        EXPECT_EQ(gate.calls, 1) << "called after its removal";
    }
}

// Calls made before programming do not count towards nth; a result for one call wins over the
// result for every call; a failed call has no effect.
TEST_F(Simulator, ProgrammedResultsFailOnlyTheCallsTheyNameAndHaveNoEffect) {
    void* port = Open("COM1");
    ASSERT_EQ(SIM(DCX_SetProperty)(port, 3, 6, 10), 0u);
    VSim_SetResultOnCall("DCX_SetProperty", 2, 0x80000005);
    VSim_SetResult("DCX_Lock", 0x80000004);
    VSim_SetResultOnCall("DCX_Lock", 2, 0);
    std::vector<int64_t> seen;  // per round: set result, value, lock result, locked
    for (int64_t set : {20, 30, 40}) {
        seen.push_back(SIM(DCX_SetProperty)(port, 3, 6, set));
        seen.push_back(-1);
        EXPECT_EQ(SIM(DCX_GetProperty)(port, 6, &seen.back()), 0u);
        seen.push_back(SIM(DCX_Lock)(port, 100));
        seen.push_back(VSim_IsLocked(port));
    }
    EXPECT_EQ(seen, (std::vector<int64_t>{0, 20, 0x80000004, 0, 0x80000005, 20, 0, 1, 0, 40,
                                          0x80000004, 1}));

    // A failed send reports half its bytes sent and echoes nothing.
    Recorder data;
    Listen(DCX_CALLBACK_DATA, port, data);
    VSim_SetResult("DCX_Send", 0x80000007);
    uint8_t bytes[5] = {1, 2, 3, 4, 5};
    uint32_t sent = 0;
    EXPECT_EQ(SIM(DCX_Send)(port, 0, 0, 0, 5, bytes, &sent), 0x80000007u);
    EXPECT_EQ(sent, 2u);
    Idle();
    EXPECT_TRUE(data.Events().empty());
    VSim_ClearResults();
    EXPECT_EQ(SIM(DCX_Lock)(port, 100), 0u);
    EXPECT_EQ(VSim_CallCount("DCX_Lock"), 4u);
}

TEST_F(Simulator, LogShowsCallsInTheirDocumentedForm) {
    void* p1 = Open("COM1");
    void* p2 = nullptr;
    ASSERT_EQ(SIM(DCX_Open)(nullptr, "COM2", "UPOS", 2, &p2), 0u);
    ASSERT_EQ(VSim_Handle(2), p2);
    uint8_t bytes[8] = {};
    uint32_t count = 0;
    int unknown = 0;
    SIM(DCX_Send)(p2, 0, 0, 7, 2, bytes, &count);
    SIM(DCX_SetProperty)(p1, 3, 6, -5);
    SIM(DCX_ExtendFunction)(p1, 3, 0x4007000A, bytes, 2, bytes, 8, &count);
    SIM(DCX_SetCustomValueString)("svc", "COM1", "key", "abc");
    EXPECT_EQ(SIM(DCX_Close)(p1), 0u);
    EXPECT_EQ(SIM(DCX_Close)(p1), kHandle);
    EXPECT_EQ(SIM(DCX_Unlock)(&unknown), kHandle);

    EXPECT_EQ(SimLog(), (std::vector<std::string>{
                            "DCX_Open(svc, COM1, UPOS, 1)", "DCX_Open((null), COM2, UPOS, 2)",
                            "DCX_Send(P2, 0, 0, 7, 2)", "DCX_SetProperty(P1, 3, 6, -5)",
                            "DCX_ExtendFunction(P1, 3, 0x4007000A, 2, 8)",
                            "DCX_SetCustomValueString(svc, COM1, key, abc)", "DCX_Close(P1)",
                            "DCX_Close(P1)", "DCX_Unlock(P?)"}));
}

// The log is a ring of the latest 65536 calls; switched off (here by a scenario line) calls are
// still counted but leave no line, and the ring goes on from where it was.
TEST_F(Simulator, LogKeepsTheLatestCallsAndOnlyWhileOn) {
    void* port = Open("COM1");
    constexpr uint32_t kCalls = 65536 + 3;
    for (uint32_t timeout = 1; timeout <= kCalls; ++timeout) SIM(DCX_Lock)(port, timeout);
    auto entry = [](size_t i) {
        char line[32] = {};
        return VSim_LogEntry(i, line, sizeof line) < 0 ? std::string("-") : std::string(line);
    };
    EXPECT_EQ(std::make_tuple(VSim_LogSize(), entry(0), entry(65535), entry(65536)),
              std::make_tuple(size_t{65536}, std::string("DCX_Lock(P1, 4)"),
                              std::string("DCX_Lock(P1, 65539)"), std::string("-")));
    EXPECT_EQ(VSim_ApplyScenarioText("log off\n"), 0);
    SIM(DCX_Unlock)(port);
    EXPECT_EQ(VSim_ApplyScenarioText("log on\nlog maybe\n"), 2);
    SIM(DCX_Lock)(port, 0);
    EXPECT_EQ(std::make_tuple(VSim_LogSize(), VSim_CallCount("DCX_Unlock"), entry(0), entry(65535)),
              std::make_tuple(size_t{65536}, size_t{1}, std::string("DCX_Lock(P1, 5)"),
                              std::string("DCX_Lock(P1, 0)")));
}

// The functions are named by the variant directories, so a function added to the simulator is
// covered without being listed here.
TEST_F(Simulator, EachVariantRootLacksExactlyItsFunction) {
    std::vector<std::string> functions;
    for (const auto& entry : fs::directory_iterator(VSIM_VARIANTS))
        functions.push_back(entry.path().filename().string().substr(3));  // after "no-"
    for (const char* used : {"DCX_Send", "DCX_ExtendFunction", "DCX_GetCustomValueString"})
        EXPECT_NE(std::find(functions.begin(), functions.end(), used), functions.end()) << used;

    // Which library holds each function, as the bridge looks it up there.
    auto lookUp = [&](const std::string& root) {
        void* libraries[] = {Load(root, "libdcxif.so"), Load(root, "libportconfig.so")};
        std::map<std::string, int> where;
        for (const auto& f : functions) {
            where[f] = -1;
            for (int i = 0; i < 2; ++i)
                if (libraries[i] != nullptr && lookup<void>(libraries[i], f.c_str()) != nullptr)
                    where[f] = i;
        }
        for (void* library : libraries)
            if (library != nullptr) dlclose(library);
        return where;
    };
    const std::map<std::string, int> complete = lookUp(SimRoot());
    for (const auto& [f, library] : complete) EXPECT_NE(library, -1) << f << " missing";
    for (const std::string& omitted : functions) {
        std::map<std::string, int> expected = complete;
        expected[omitted] = -1;
        EXPECT_EQ(lookUp(SimRootWithout(omitted)), expected) << omitted;
    }
}

// A get reports the size it needs and writes nothing unless the whole value fits; a string
// needs room for its terminator. Stored under a null service URL, read back under "".
TEST_F(Simulator, CustomValueGetsRespectTheCapacity) {
    ASSERT_EQ(SIM(DCX_SetCustomValueString)(nullptr, "COM1", "s", "abc"), 0u);
    const uint8_t binary[3] = {1, 0, 2};
    ASSERT_EQ(SIM(DCX_SetCustomValueBinary)(nullptr, "COM1", "b", 3, binary), 0u);
    EXPECT_EQ(SIM(DCX_SetCustomValueBinary)(nullptr, "COM1", "b", -1, binary), kParameter);
    struct Case {
        const char* key;
        DCX_GetCustomValueBinary_t* get;  // both gets share this shape
        uint32_t needed;
        std::vector<uint8_t> value;
    };
    const Case cases[] = {
        {"s", SIM(DCX_GetCustomValueString), 4, {'a', 'b', 'c', 0}},
        {"b", SIM(DCX_GetCustomValueBinary), 3, {1, 0, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        auto buffer = std::make_unique<uint8_t[]>(c.needed);
        std::fill_n(buffer.get(), c.needed, 0xEE);
        uint32_t length = c.needed - 1;
        EXPECT_EQ(c.get("", "COM1", c.key, &length, buffer.get()), kBufferOverflow);
        EXPECT_EQ(length, c.needed);
        EXPECT_EQ(buffer[0], 0xEE);
        length = c.needed;
        EXPECT_EQ(c.get("", "COM1", c.key, &length, buffer.get()), 0u);
        EXPECT_EQ(length, 3u);  // a string's length leaves the terminator out
        EXPECT_EQ(std::vector<uint8_t>(buffer.get(), buffer.get() + c.needed), c.value);
    }
}

TEST_F(Simulator, ReportsReachKind2CallbacksOfEveryOpenConnectionToTheDevice) {
    void* first = Open("COM1");
    void* second = Open("COM1");
    Recorder r1, r2, otherType, otherPort, data;
    Listen(DCX_CALLBACK_POWER, first, r1);
    Listen(DCX_CALLBACK_POWER, second, r2);
    Listen(DCX_CALLBACK_POWER, Open("COM1", 2), otherType);
    Listen(DCX_CALLBACK_POWER, Open("COM2"), otherPort);
    Listen(DCX_CALLBACK_DATA, first, data);
    ASSERT_EQ(SIM(DCX_Lock)(first, 100), 0u);

    VSim_ReportPower("COM1", 1, 3);
    Idle();
    int64_t reading = -1, lockHeld = -1;
    EXPECT_EQ(SIM(DCX_GetProperty)(second, 4, &reading), 0u);
    EXPECT_EQ(reading, 3);
    ASSERT_EQ(SIM(DCX_Close)(second), 0u);
    VSim_ReportLock("COM1", 1, 0, 2);
    Idle();
    EXPECT_EQ(SIM(DCX_GetProperty)(first, 0x7F01, &lockHeld), 0u);
    EXPECT_EQ(lockHeld, 0);
    EXPECT_EQ(VSim_IsLocked(first), 0);

    const Recorder::Event power{DCX_EVENT_POWER_STATE, {3}, {}};
    EXPECT_EQ(r1.Events(), (Events{power, {DCX_EVENT_LOCK_STATE, {0, 0}, {}}}));
    EXPECT_EQ(r2.Events(), Events{power});
    EXPECT_EQ(otherType.Events().size() + otherPort.Events().size() + data.Events().size(), 0u);
}

// Programs that cannot call the control API write a scenario file beside libdcxif.so (here a
// copy of it in a directory of its own), applied at DCX_Initialize when its text changed.
TEST_F(Simulator, ScenarioFileProgramsResultsSettingsAndReadTriggers) {
    char root[] = "/tmp/vsim-scenario-XXXXXX";
    ASSERT_NE(mkdtemp(root), nullptr);
    const fs::path dir = fs::path(root) / "varnel_dcx/relayhost";
    fs::create_directories(dir);
    fs::copy_file(std::string(VSIM_ROOT) + "/varnel_dcx/relayhost/libdcxif.so",
                  dir / "libdcxif.so");
    void* library = Load(root, "libdcxif.so");
    auto initialize = lookup<DCX_Initialize_t>(library, "DCX_Initialize");
    ASSERT_NE(initialize, nullptr) << dlerror();
    auto write = [&](const char* text) { std::ofstream(dir / "vsim-scenario.txt") << text; };
    auto config = [] {
        uint32_t value = 99;
        EXPECT_EQ(SIM(DCX_GetPortConfigNumber)("svc", "COM1", 0, &value), 0u);
        return value;
    };
    VSim_SetScenarioFiles(1);
    write(
        "# power of COM1\nresult DCX_Initialize 0x80000002 2\n"
        "property COM1 1 6 -7   # trailing comment\ncapability COM1 1 9 0x10\n\n"
        "config COM1 1\nportcap COM1 21 3\n"
        "power COM1 1 2 after-reads 2\nlock-lost COM1 1 after-reads 3\n");
    ASSERT_EQ(initialize(), 0u);
    void* port = Open("COM1");
    Recorder power;
    Listen(DCX_CALLBACK_POWER, port, power);
    ASSERT_EQ(SIM(DCX_Lock)(port, 100), 0u);
    int64_t property = 0, capability = 0;
    uint32_t portCapability = 0;
    SIM(DCX_GetProperty)(port, 6, &property);
    SIM(DCX_GetCapability)(port, 9, &capability);
    SIM(DCX_GetPortCapabilityValue)("svc", "COM1", 21, 0, &portCapability);
    EXPECT_EQ(std::make_tuple(property, capability, config(), portCapability),
              std::make_tuple(int64_t{-7}, int64_t{16}, 1u, 3u));

    // The reports come after the second and third power reads, not before.
    std::vector<int64_t> readingsAndReports;
    for (int read = 0; read < 3; ++read) {
        ASSERT_EQ(SIM(DCX_GetProperty)(port, 4, &property), 0u);
        Idle();
        readingsAndReports.push_back(property);
        readingsAndReports.push_back(static_cast<int64_t>(power.Events().size()));
    }
    EXPECT_EQ(readingsAndReports, (std::vector<int64_t>{0, 0, 0, 1, 2, 2}));
    EXPECT_EQ(VSim_IsLocked(port), 0);

    // Unchanged text is not applied again, so settings made since stay; new text replaces all.
    VSim_SetConfigNumber("COM1", 9);
    EXPECT_EQ(initialize(), 0x80000002u);
    EXPECT_EQ(config(), 9u);
    write("config COM1 6\n");
    EXPECT_EQ(initialize(), 0u);
    EXPECT_EQ(SIM(DCX_GetProperty)(port, 6, &property), 0u);
    EXPECT_EQ(std::make_pair(config(), property), std::make_pair(6u, int64_t{0}));
    // After a reset the program is the control API's alone.
    VSim_Reset();
    write("config COM1 7\n");
    EXPECT_EQ(initialize(), 0u);
    EXPECT_EQ(config(), 0u);
    dlclose(library);
    fs::remove_all(root);
}

}  // namespace
