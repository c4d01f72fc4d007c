// The simulator's own guarantees that no bridge test shows: its call log stays bounded for long
// runs, and scenario files (what Java programs steer it with) are understood line by line.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "service/DCXServiceAPI.h"
#include "support/OpenPort.h"

namespace {

class Simulator : public SimTest {
  protected:
    template <class Fn>
    Fn* Service(const char* name) {
        static void* library = dlopen(VSIM_ROOT "/varnel_dcx/relayhost/libdcxif.so", RTLD_LAZY);
        return lookup<Fn>(library, name);
    }
    static std::string Entry(size_t i) {
        char line[32] = {};
        return VSim_LogEntry(i, line, sizeof line) < 0 ? "-" : line;
    }
};

// A ring of the latest 65536 calls; switched off (here by a scenario line) calls are still
// counted but leave no line, and the ring goes on from where it was.
TEST_F(Simulator, LogKeepsTheLatestCallsAndOnlyWhileOn) {
    void* port = SimConnect("COM1", 1);
    auto lock = Service<DCX_Lock_t>("DCX_Lock");
    for (uint32_t timeout = 1; timeout <= 65536 + 3; ++timeout) lock(port, timeout);
    EXPECT_EQ(VSim_LogSize(), 65536u);
    EXPECT_EQ(Entry(0) + " " + Entry(65535) + " " + Entry(65536),
              "DCX_Lock(P1, 4) DCX_Lock(P1, 65539) -");
    EXPECT_EQ(VSim_ApplyScenarioText("log off\n"), 0);
    Service<DCX_Unlock_t>("DCX_Unlock")(port);
    EXPECT_EQ(VSim_ApplyScenarioText("log on\nlog maybe\n"), 2);
    lock(port, 0);
    EXPECT_EQ(VSim_CallCount("DCX_Unlock"), 1u);
    EXPECT_EQ(Entry(0) + " " + Entry(65535), "DCX_Lock(P1, 5) DCX_Lock(P1, 0)");
}

// Every directive, as the JVM tests and the demo write them, reaches what it programs.
TEST_F(Simulator, ScenarioDirectivesProgramResultsDevicesAndReports) {
    EXPECT_EQ(VSim_ApplyScenarioText("# comment\n\nresult DCX_Lock 0x80000005 2\n"
                                     "property KOVLAN-1 1 4 2\ncapability COM1 1 7 99\n"
                                     "config KOVLAN-1 1\nportcap KOVLAN-1 21 1\nbogus\n"),
              8);
    void* port = SimConnect("KOVLAN-1", 1);
    auto lock = Service<DCX_Lock_t>("DCX_Lock");
    EXPECT_EQ(lock(port, 1), 0u);
    EXPECT_EQ(lock(port, 1), 0x80000005u);
    int64_t value = 0;
    EXPECT_EQ(Service<DCX_GetProperty_t>("DCX_GetProperty")(port, 4, &value), 0u);
    EXPECT_EQ(value, 2);
}

}  // namespace
