// The power monitor against the simulated service: the ports it watches, serial mode's second
// connection, what polls return as reports arrive, lost-lock recovery and letting ports go.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "bridge/VarnelPHJNIAPI.h"
#include "port/VarnelPHJNI.h"
#include "power/OstrelPower.h"
#include "support/OpenPort.h"

namespace {

using Polls = std::vector<jint>;

TEST(PowerModel, ReadingsMapToUposValuesAndSerialStatesAddUpBothRoles) {
    const std::pair<uint32_t, int32_t> readings[] = {{0, 0}, {1, 3}, {2, 4}, {3, 3}, {4, -1}};
    for (auto [reading, upos] : readings) EXPECT_EQ(OstrelPowerToUPOSPower(reading), upos);
    // Powered QZ adds 1, powered XJ adds 2; unknown on either side wins.
    const std::tuple<int32_t, int32_t, int32_t> serial[] = {{-1, 0, -1}, {0, -1, -1}, {0, 0, 0},
                                                            {3, 0, 1},   {0, 4, 2},   {4, 3, 3}};
    for (auto [qz, xj, state] : serial) EXPECT_EQ(GetSerialPowerState(qz, xj), state) << qz << xj;
}

// A port connected and watched as Open does it, polled through the native method.
class WatchedPort : public PowerTest {
  protected:
    void* Watch(const std::string& name, uint32_t type, bool serial, uint32_t reading) {
        VSim_SetConfigNumber(name.c_str(), serial ? 1 : 0);
        VSim_SetProperty(name.c_str(), type, 4, reading);  // the other role reads 0
        void* handle = SimConnect(name, type);
        port_ = std::make_unique<LivePort>();
        EXPECT_EQ((*port_)->CreatePH() + (*port_)->SetPHHandle(handle, "svc", name.c_str()), 0);
        OstrelPowerInit(handle, "svc", name.c_str(), type);
        return handle;
    }
    jint Poll() { return PH_JNI(checkOstrelPowerStatus)(nullptr, nullptr, (*port_).handle()); }
    static void Deliver() { ASSERT_EQ(VSim_WaitIdle(5000), 1); }
    std::unique_ptr<LivePort> port_;
};

TEST_F(WatchedPort, SerialModeWatchesTheOtherRoleOnASecondConnection) {
    // Own reading 1 (powered), other 0: the QZ role alone powered is 1, the XJ role alone 2.
    for (auto [type, other, state] : {std::tuple{0u, 2u, 1}, {1u, 2u, 1}, {2u, 1u, 2}}) {
        const std::string name = "KOVLAN_S" + std::to_string(type);
        Watch(name, type, true, 1);
        EXPECT_EQ(SimLogOf({"DCX_Open"}).back(),
                  "DCX_Open(svc, " + name + ", UPOS, " + std::to_string(other) + ")");
        const jint first = Poll();
        VSim_ReportPower(name.c_str(), other, 4);    // unknown
        VSim_SetProperty(name.c_str(), type, 4, 0);  // the own role is read at the poll
        Deliver();
        EXPECT_EQ(std::make_pair(first, Poll()), std::make_pair(state, -1)) << name;
    }
}

TEST_F(WatchedPort, StateFourSinceTheLastPollIsReturnedOnceByPortsWithTheMarker) {
    for (auto [name, type, watched] :
         {std::tuple{"KOVLAN", 0u, true}, {"COM_KOVLAN_2", 2u, true}, {"kovlan", 0u, false}}) {
        Watch(name, type, false, 2);  // read as 4 while starting
        VSim_SetProperty(name, type, 4, 0);
        Polls polls = {Poll(), Poll()};
        VSim_ReportPower(name, type, 2);
        VSim_ReportPower(name, type, 0);
        Deliver();
        polls.insert(polls.end(), {Poll(), Poll()});
        EXPECT_EQ(polls, watched ? (Polls{4, 0, 4, 0}) : Polls(4, -1)) << name;
    }
}

TEST_F(WatchedPort, LostLockIsTakenAgainByEveryPollUntilALockSucceeds) {
    Watch("KOVLAN_L", 0, false, 1);
    VSim_ReportLock("KOVLAN_L", 0, 1, 1);  // the lock held
    Deliver();
    EXPECT_EQ(Poll(), 3) << "no lost lock was reported";
    VSim_ReportLock("KOVLAN_L", 0, 0, 1);
    Deliver();
    VSim_SetResult("DCX_Lock", kFailure);
    Polls polls = {Poll(), Poll()};
    VSim_ClearResults();
    polls.insert(polls.end(), {Poll(), Poll()});
    EXPECT_EQ(polls, (Polls{3, 3, 3, 3}));
    EXPECT_EQ(SimLogOf({"DCX_Lock"}), std::vector<std::string>(3, "DCX_Lock(P1, 100)"));
}

TEST_F(WatchedPort, ReportsForARecordNeverRegisteredChangeNothing) {
    _OSTREL_PORT_INFO stray{};
    uint32_t reading = 2, lost = 0;
    for (auto* update : {powerUpdateQZ, powerUpdateXJ}) {
        update(DCX_EVENT_POWER_STATE, 1, &reading, 0, nullptr, &stray);
        update(DCX_EVENT_LOCK_STATE, 1, &lost, 0, nullptr, &stray);
    }
    EXPECT_EQ(std::tie(stray.nQZPower, stray.nXJPower, stray.bPortUnlocked), std::tuple(0, 0, 0));
}

}  // namespace
