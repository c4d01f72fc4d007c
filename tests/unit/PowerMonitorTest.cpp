// The power monitor against the simulated service: which ports it watches, the calls it makes
// to start watching (serial mode with its second connection), what polls return as reports
// arrive, the lost-lock recovery of checkOstrelPowerStatus, the power-reporting capability, and
// what happens while its libraries are unavailable and after a port is let go.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bridge/VarnelPHJNIAPI.h"
#include "port/VarnelPHJNI.h"
#include "power/OstrelPower.h"
#include "service/DCXServiceAPI.h"
#include "support/OpenPort.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kUrl = "svc";
constexpr DCXRESULT kNotInitialized = 0x80000002;
constexpr DCXRESULT kFailure = 0x80000005;  // translates to -9

class PowerMonitor : public PowerTest {
  protected:
    // Opens a port as Open does and starts watching it.
    void* Watch(const std::string& port, uint32_t deviceType) {
        void* handle = SimConnect(port, deviceType);
        OstrelPowerInit(handle, kUrl, port.c_str(), deviceType);
        return handle;
    }

    // The port object Java would hold for the handle.
    std::unique_ptr<VarnelPHJNI> PortObject(void* handle, const std::string& port) {
        auto object = std::make_unique<VarnelPHJNI>();
        EXPECT_EQ(object->CreatePH(), 0);
        EXPECT_EQ(object->SetPHHandle(handle, kUrl, port.c_str()), 0);
        return object;
    }

    static jint Check(const std::unique_ptr<VarnelPHJNI>& port) {
        return PH_JNI(checkOstrelPowerStatus)(nullptr, nullptr,
                                              reinterpret_cast<jlong>(port.get()));
    }

    static void Deliver() { ASSERT_EQ(VSim_WaitIdle(5000), 1); }
};

TEST_F(PowerMonitor, WatchesPortsWhoseNameCarriesTheMarkerAnywhere) {
    const std::vector<std::pair<std::string, bool>> names = {
        {"KOVLAN", true},        {"KOVLAN_COM1", true},  {"COM_KOVLAN_1", true},
        {"COM1_KOVLAN", true},   {"kovlan_COM1", false}, {"Kovlan1", false},
        {"KOV_LAN_COM1", false}, {"COM1", false},
    };
    for (const auto& [name, watched] : names) {
        VSim_SetProperty(name.c_str(), 0, 4, 1);  // reading 1: state 3
        void* handle = SimConnect(name, 0);
        const size_t mark = SimLog().size();
        OstrelPowerInit(handle, kUrl, name.c_str(), 0);
        const std::vector<std::string> calls = SimLogSince(mark);
        if (watched) {
            EXPECT_EQ(calls.size(), 3u) << name;  // configuration, registration, property read
            EXPECT_EQ(OstrelPowerState(handle), 3) << name;
        } else {
            EXPECT_TRUE(calls.empty()) << name << ": " << testing::PrintToString(calls);
            EXPECT_EQ(OstrelPowerState(handle), -1) << name;
        }
    }
}

TEST_F(PowerMonitor, UnwatchedPortPollsUnknownAndNeverLocks) {
    void* handle = Watch("kovlan_COM1", 0);
    auto port = PortObject(handle, "kovlan_COM1");
    VSim_ReportLock("kovlan_COM1", 0, 0, 1);
    Deliver();
    EXPECT_EQ(Check(port), -1);
    EXPECT_TRUE(SimLogOf({"DCX_Lock"}).empty());
}

TEST_F(PowerMonitor, SerialModeOpensTheOtherRoleBeforeReadingItsOwn) {
    VSim_SetConfigNumber("KOVLAN_S", 1);
    void* handle = SimConnect("KOVLAN_S", 0);
    const size_t mark = SimLog().size();
    OstrelPowerInit(handle, kUrl, "KOVLAN_S", 0);
    EXPECT_EQ(SimLogSince(mark), (std::vector<std::string>{
                                     "DCX_GetPortConfigNumber(svc, KOVLAN_S, 0)",
                                     "DCX_Open(svc, KOVLAN_S, UPOS, 2)",
                                     "DCX_RegisterCallback(2, P2)",
                                     "DCX_GetProperty(P2, 4)",
                                     "DCX_RegisterCallback(2, P1)",
                                     "DCX_GetProperty(P1, 4)",
                                 }));
    // Both connections report into the same record.
    void* context = VSim_CallbackContext(VSim_Handle(1), DCX_CALLBACK_POWER);
    EXPECT_NE(context, nullptr);
    EXPECT_EQ(VSim_CallbackContext(VSim_Handle(2), DCX_CALLBACK_POWER), context);
}

TEST_F(PowerMonitor, DeviceTypeTwoIsTheXJRoleEveryOtherTheQZRole) {
    struct Row {
        uint32_t type;
        uint32_t other;
        int32_t state;  // own reading 1 (powered), other reading 0
    };
    for (const Row& row : {Row{0, 2, 1}, Row{1, 2, 1}, Row{2, 1, 2}}) {
        const std::string port = "KOVLAN_T" + std::to_string(row.type);
        VSim_SetConfigNumber(port.c_str(), 1);
        VSim_SetProperty(port.c_str(), row.type, 4, 1);
        VSim_SetProperty(port.c_str(), row.other, 4, 0);
        void* handle = Watch(port, row.type);
        EXPECT_EQ(SimLogOf({"DCX_Open(svc, " + port + ", UPOS, "}).back(),
                  "DCX_Open(svc, " + port + ", UPOS, " + std::to_string(row.other) + ")");
        EXPECT_EQ(OstrelPowerState(handle), row.state) << "type " << row.type;
        VSim_ReportPower(port.c_str(), row.other, 3);
        Deliver();
        EXPECT_EQ(OstrelPowerState(handle), 3) << "type " << row.type;
    }
}

TEST_F(PowerMonitor, FailedSecondConnectionLeavesThePortNotSerial) {
    VSim_SetConfigNumber("KOVLAN_S", 1);
    VSim_SetProperty("KOVLAN_S", 0, 4, 1);
    void* handle = SimConnect("KOVLAN_S", 0);
    VSim_SetResultOnCall("DCX_Open", 1, kFailure);
    const size_t mark = SimLog().size();
    OstrelPowerInit(handle, kUrl, "KOVLAN_S", 0);
    EXPECT_EQ(SimLogSince(mark), (std::vector<std::string>{
                                     "DCX_GetPortConfigNumber(svc, KOVLAN_S, 0)",
                                     "DCX_Open(svc, KOVLAN_S, UPOS, 2)",
                                     "DCX_RegisterCallback(2, P1)",
                                     "DCX_GetProperty(P1, 4)",
                                 }));
    // Not serial: the own role's 3. Serial with an unknown other role would give -1.
    EXPECT_EQ(OstrelPowerState(handle), 3);
    OstrelPowerFree(handle);
    EXPECT_TRUE(SimLogOf({"DCX_Close"}).empty());
}

TEST_F(PowerMonitor, SerialPollCombinesFreshOwnReadingWithOtherRolesLastReport) {
    VSim_SetConfigNumber("KOVLAN_S", 1);
    VSim_SetProperty("KOVLAN_S", 0, 4, 0);
    VSim_SetProperty("KOVLAN_S", 2, 4, 0);
    void* handle = Watch("KOVLAN_S", 0);
    EXPECT_EQ(OstrelPowerState(handle), 0);
    VSim_ReportPower("KOVLAN_S", 2, 1);
    Deliver();
    EXPECT_EQ(OstrelPowerState(handle), 2);
    // The own role is read at the poll, reported or not.
    VSim_SetProperty("KOVLAN_S", 0, 4, 3);
    EXPECT_EQ(OstrelPowerState(handle), 3);
    VSim_ReportPower("KOVLAN_S", 2, 0);
    Deliver();
    EXPECT_EQ(OstrelPowerState(handle), 1);
}

TEST_F(PowerMonitor, StateFourReachedBetweenPollsIsReturnedOnce) {
    for (uint32_t type : {0u, 2u}) {
        const std::string port = "KOVLAN_" + std::to_string(type);
        VSim_SetProperty(port.c_str(), type, 4, 0);
        void* handle = Watch(port, type);
        EXPECT_EQ(OstrelPowerState(handle), 0) << "type " << type;
        VSim_ReportPower(port.c_str(), type, 2);
        VSim_ReportPower(port.c_str(), type, 0);
        Deliver();
        EXPECT_EQ(OstrelPowerState(handle), 4) << "type " << type;
        EXPECT_EQ(OstrelPowerState(handle), 0) << "type " << type;
    }
}

TEST_F(PowerMonitor, StateFourReadWhileStartingIsReturnedByTheFirstPoll) {
    // The made-up first report runs before the record is registered; it must still count.
    VSim_SetProperty("KOVLAN_4", 0, 4, 2);
    void* handle = Watch("KOVLAN_4", 0);
    VSim_SetProperty("KOVLAN_4", 0, 4, 1);
    EXPECT_EQ(OstrelPowerState(handle), 4);
    EXPECT_EQ(OstrelPowerState(handle), 3);
}

TEST_F(PowerMonitor, LostLockIsTakenAgainByTheNextPoll) {
    VSim_SetProperty("KOVLAN_L", 0, 4, 1);
    void* handle = Watch("KOVLAN_L", 0);
    auto port = PortObject(handle, "KOVLAN_L");
    EXPECT_EQ(Check(port), 3);
    EXPECT_TRUE(SimLogOf({"DCX_Lock"}).empty());

    VSim_ReportLock("KOVLAN_L", 0, 0, 1);
    Deliver();
    EXPECT_EQ(IsPortUnlocked(handle), 1);
    EXPECT_EQ(Check(port), 3);
    EXPECT_EQ(SimLogOf({"DCX_Lock"}), std::vector<std::string>{"DCX_Lock(P1, 100)"});
    EXPECT_EQ(IsPortUnlocked(handle), 0);
    EXPECT_EQ(Check(port), 3);
    EXPECT_EQ(SimLogOf({"DCX_Lock"}).size(), 1u) << "locked again although recovered";
}

TEST_F(PowerMonitor, FailedRelockIsRetriedByEveryPoll) {
    VSim_SetProperty("KOVLAN_L", 2, 4, 0);
    void* handle = Watch("KOVLAN_L", 2);
    auto port = PortObject(handle, "KOVLAN_L");
    VSim_ReportLock("KOVLAN_L", 2, 0, 1);
    Deliver();
    VSim_SetResult("DCX_Lock", kFailure);
    for (int poll = 1; poll <= 3; ++poll) {
        EXPECT_EQ(Check(port), 0) << "the state is returned while the lock fails";
        EXPECT_EQ(SimLogOf({"DCX_Lock(P1, 100)"}).size(), static_cast<size_t>(poll));
        EXPECT_EQ(IsPortUnlocked(handle), 1);
    }
    VSim_ClearResults();
    EXPECT_EQ(Check(port), 0);
    EXPECT_EQ(IsPortUnlocked(handle), 0);
    EXPECT_EQ(Check(port), 0);
    EXPECT_EQ(SimLogOf({"DCX_Lock"}).size(), 4u);
}

TEST_F(PowerMonitor, ReportsThatAreNeitherAPowerReadingNorALostLockChangeNothing) {
    VSim_SetProperty("KOVLAN_R", 0, 4, 0);
    void* handle = Watch("KOVLAN_R", 0);
    auto port = PortObject(handle, "KOVLAN_R");
    const uint32_t two[] = {2, 2};
    const uint32_t zero[] = {0, 0};
    struct Report {
        const char* name;
        std::function<void()> send;
    };
    const std::vector<Report> reports = {
        {"lock report with value 1", [] { VSim_ReportLock("KOVLAN_R", 0, 1, 1); }},
        {"lock report with count 2", [] { VSim_ReportLock("KOVLAN_R", 0, 0, 2); }},
        {"lock report without values",
         [&] { VSim_InjectEvent(handle, 2, DCX_EVENT_LOCK_STATE, 1, nullptr, nullptr, 0); }},
        {"power report with count 2",
         [&] { VSim_InjectEvent(handle, 2, DCX_EVENT_POWER_STATE, 2, two, nullptr, 0); }},
        {"power report with count 0",
         [&] { VSim_InjectEvent(handle, 2, DCX_EVENT_POWER_STATE, 0, two, nullptr, 0); }},
        {"power report without values",
         [&] { VSim_InjectEvent(handle, 2, DCX_EVENT_POWER_STATE, 1, nullptr, nullptr, 0); }},
        {"other event", [&] { VSim_InjectEvent(handle, 2, 0x40000005, 1, zero, nullptr, 0); }},
    };
    for (const auto& report : reports) {
        report.send();
        Deliver();
        EXPECT_EQ(IsPortUnlocked(handle), 0) << report.name;
        EXPECT_EQ(Check(port), 0) << report.name << ": a reading of 2 would have latched 4";
    }
    EXPECT_TRUE(SimLogOf({"DCX_Lock"}).empty());
    // The same port does react to the real thing.
    VSim_ReportLock("KOVLAN_R", 0, 0, 1);
    Deliver();
    EXPECT_EQ(IsPortUnlocked(handle), 1);
}

TEST_F(PowerMonitor, FreeForgetsThePortAndClosesOnlyTheSecondConnection) {
    VSim_SetConfigNumber("KOVLAN_F", 1);
    void* handle = Watch("KOVLAN_F", 0);
    auto port = PortObject(handle, "KOVLAN_F");
    VSim_ReportLock("KOVLAN_F", 0, 0, 1);
    Deliver();
    ASSERT_EQ(IsPortUnlocked(handle), 1);
    ASSERT_EQ(VSim_OpenConnections(), 2u);

    const size_t mark = SimLog().size();
    OstrelPowerFree(handle);
    EXPECT_EQ(SimLogSince(mark), std::vector<std::string>{"DCX_Close(P2)"});
    EXPECT_EQ(VSim_OpenConnections(), 1u);
    EXPECT_EQ(IsPortUnlocked(handle), 0);
    EXPECT_EQ(OstrelPowerState(handle), -1);
    EXPECT_EQ(Check(port), -1);
    EXPECT_TRUE(SimLogOf({"DCX_Lock"}).empty());

    // The own handle's registration lives on until Close closes the port; its reports must not
    // reach the deleted record (AddressSanitizer would see it).
    EXPECT_NE(VSim_CallbackContext(handle, DCX_CALLBACK_POWER), nullptr);
    VSim_ReportPower("KOVLAN_F", 0, 2);
    VSim_ReportLock("KOVLAN_F", 0, 0, 1);
    Deliver();
    EXPECT_EQ(IsPortUnlocked(handle), 0);
    EXPECT_EQ(OstrelPowerState(handle), -1);

    OstrelPowerFree(handle);
    EXPECT_EQ(SimLogOf({"DCX_Close"}).size(), 1u);
}

TEST_F(PowerMonitor, SecondStartOnARegisteredHandleKeepsTheFirstRecord) {
    VSim_SetProperty("KOVLAN_D", 0, 4, 0);
    void* handle = Watch("KOVLAN_D", 0);
    // Now configured serial: the second start opens a second connection, which must not leak.
    VSim_SetConfigNumber("KOVLAN_D", 1);
    OstrelPowerInit(handle, kUrl, "KOVLAN_D", 0);
    EXPECT_EQ(SimLogOf({"DCX_Close"}), std::vector<std::string>{"DCX_Close(P2)"});
    EXPECT_EQ(VSim_OpenConnections(), 1u);
    // The kept record is not serial (serial with no other role would poll -1) and still gets
    // the own handle's reports.
    EXPECT_EQ(OstrelPowerState(handle), 0);
    VSim_ReportPower("KOVLAN_D", 0, 2);
    VSim_ReportPower("KOVLAN_D", 0, 0);
    Deliver();
    EXPECT_EQ(OstrelPowerState(handle), 4);
    EXPECT_EQ(OstrelPowerState(handle), 0);
}

TEST_F(PowerMonitor, TeardownClosesEverySecondConnectionAndStartsAfresh) {
    VSim_SetConfigNumber("KOVLAN_A", 1);
    VSim_SetConfigNumber("KOVLAN_B", 1);
    void* a = Watch("KOVLAN_A", 0);
    void* b = Watch("KOVLAN_B", 2);
    ASSERT_EQ(VSim_OpenConnections(), 4u);
    OstrelPowerFreeGlobal();
    EXPECT_EQ(VSim_OpenConnections(), 2u);
    EXPECT_EQ(SimLogOf({"DCX_Close"}).size(), 2u);
    EXPECT_EQ(IsPortUnlocked(a), 0);
    EXPECT_EQ(OstrelPowerState(b), -1);

    // The next call loads everything again and watches new ports as before.
    VSim_SetProperty("KOVLAN_C", 0, 4, 1);
    void* c = Watch("KOVLAN_C", 0);
    EXPECT_EQ(OstrelPowerState(c), 3);
}

// GetPortCapability through a fake JNI: what Java gets back and what the service was asked.
TEST_F(PowerMonitor, PortCapabilityAsksOnlyForPowerReporting) {
    VSim_SetPortCapabilityValue("KOVLAN_P", 21, 7);
    struct Case {
        std::string name;
        std::function<void()> setup;
        bool nullUrl, nullPort;
        jint id;
        std::vector<int32_t> holder;  // empty vector: a null array
        bool nullHolder;
        jint result;
        std::vector<int32_t> after;
        std::vector<std::string> asked;
    };
    const std::string asked = "DCX_GetPortCapabilityValue(svc, KOVLAN_P, 21, 5)";
    const std::vector<Case> cases = {
        {"21", [] {}, false, false, 21, {99}, false, 0, {7}, {asked}},
        {"21, null array", [] {}, false, false, 21, {}, true, 0, {}, {asked}},
        {"21, failing",
         [] { VSim_SetResult("DCX_GetPortCapabilityValue", kFailure); },
         false,
         false,
         21,
         {99},
         false,
         -9,
         {0},
         {asked}},
        {"20", [] {}, false, false, 20, {99}, false, -3, {0}, {}},
        {"-1", [] {}, false, false, -1, {99}, false, -3, {0}, {}},
        {"null URL", [] {}, true, false, 21, {99}, false, -3, {99}, {}},
        {"null port", [] {}, false, true, 21, {99}, false, -3, {99}, {}},
        {"empty array", [] {}, false, false, 21, {}, false, -3, {}, {}},
    };
    for (const auto& c : cases) {
        VSim_ClearResults();
        VSim_LogClear();
        c.setup();
        FakeJni jni;
        jstring url = c.nullUrl ? nullptr : jni.NewString(kUrl);
        jstring port = c.nullPort ? nullptr : jni.NewString("KOVLAN_P");
        jintArray holder = c.nullHolder ? nullptr : jni.NewIntArray(c.holder);
        EXPECT_EQ(PH_JNI(GetPortCapability)(jni.env(), nullptr, url, port, c.id, 5, holder),
                  c.result)
            << c.name;
        if (holder != nullptr) {
            EXPECT_EQ(jni.Ints(holder), c.after) << c.name;
        }
        EXPECT_EQ(SimLogOf({"DCX_GetPortCapabilityValue"}), c.asked) << c.name;
        EXPECT_EQ(jni.OutstandingPins(), 0) << c.name;
    }
}

TEST_F(PowerMonitor, PortCapabilityReleasesWhatWasPinnedWhenAPinFails) {
    for (int nth = 1; nth <= 3; ++nth) {
        VSim_LogClear();
        FakeJni jni;
        jstring url = jni.NewString(kUrl);
        jstring port = jni.NewString("KOVLAN_P");
        jintArray holder = jni.NewIntArray({99});
        jni.FailPin(nth);
        EXPECT_EQ(PH_JNI(GetPortCapability)(jni.env(), nullptr, url, port, 21, 0, holder), -3)
            << "pin " << nth;
        EXPECT_EQ(jni.OutstandingPins(), 0) << "pin " << nth;
        EXPECT_TRUE(SimLog().empty()) << "pin " << nth;
    }
}

// A root where the monitor finds only part of what it needs, and whether switching to a good
// root later lets it start: a missing service library is tried again, anything else is not.
TEST_F(PowerMonitor, UnavailableLibrariesLeaveTheMonitorUninitialised) {
    const fs::path temp = fs::temp_directory_path() / ("power-roots-" + std::to_string(getpid()));
    const fs::path empty = temp / "empty";
    const fs::path serviceOnly = temp / "service-only";
    fs::remove_all(temp);  // left behind by a run that crashed
    fs::create_directories(empty);
    fs::create_directories(serviceOnly / "varnel_dcx/relayhost");
    fs::create_symlink(VSIM_ROOT "/varnel_dcx/relayhost/libdcxif.so",
                       serviceOnly / "varnel_dcx/relayhost/libdcxif.so");
    struct Row {
        std::string name;
        std::string root;
        bool retried;
    };
    const std::vector<Row> rows = {
        {"no libraries", empty.string(), true},
        {"no configuration library", serviceOnly.string(), false},
        {"service function missing", SimRootWithout("DCX_RegisterCallback"), false},
        {"configuration function missing", SimRootWithout("DCX_GetPortCapabilityValue"), false},
    };
    for (const Row& row : rows) {
        OstrelPowerFreeGlobal();
        VSim_SetProperty("KOVLAN_U", 0, 4, 1);
        void* handle = SimConnect("KOVLAN_U", 0);
        auto port = PortObject(handle, "KOVLAN_U");
        // The monitor loads at its first call, from the root set then.
        UseInstallRoot(row.root);
        VSim_LogClear();
        OstrelPowerInit(handle, kUrl, "KOVLAN_U", 0);
        EXPECT_TRUE(SimLog().empty()) << row.name;
        EXPECT_EQ(OstrelPowerState(handle), -1) << row.name;
        EXPECT_EQ(Check(port), -1) << row.name;
        uint32_t value = 0;
        EXPECT_EQ(OstrelCapPowerReporting(kUrl, "KOVLAN_U", 0, &value), kNotInitialized)
            << row.name;
        FakeJni jni;
        jintArray holder = jni.NewIntArray({99});
        EXPECT_EQ(PH_JNI(GetPortCapability)(jni.env(), nullptr, jni.NewString(kUrl),
                                            jni.NewString("KOVLAN_U"), 21, 0, holder),
                  -100)
            << row.name;
        EXPECT_EQ(jni.Ints(holder), std::vector<int32_t>{0}) << row.name;

        UseInstallRoot(SimRoot());
        EXPECT_EQ(OstrelCapPowerReporting(kUrl, "KOVLAN_U", 0, &value) == 0, row.retried)
            << row.name;
    }
    fs::remove_all(temp);
}

}  // namespace
