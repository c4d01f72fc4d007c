// The simulator's own guarantees that no bridge test shows: its call log stays bounded for long
// runs, scenario files (what Java programs steer it with) are understood line by line, and a
// device script answers sends with the same deliveries, in the same order, every run.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

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

// A scripted device on connections of the simulator's own library; every delivery to kinds 0
// and 2 is kept as one word: the data block as text, or "power:3" / "lock:0".
class Script : public Simulator {
  protected:
    void* Device(const char* port = "COM1", uint32_t type = 1) {
        void* handle = SimConnect(port, type);
        auto subscribe = Service<DCX_RegisterCallback_t>("DCX_RegisterCallback");
        for (uint32_t kind : {DCX_CALLBACK_DATA, DCX_CALLBACK_POWER})
            EXPECT_EQ(subscribe(kind, handle, Record, this), 0u);
        return handle;
    }
    void Send(void* handle, std::string bytes) {
        uint32_t sent = 0;
        EXPECT_EQ(Service<DCX_Send_t>("DCX_Send")(handle, 0, 0, 0, bytes.size(),
                                                  reinterpret_cast<uint8_t*>(bytes.data()), &sent),
                  0u);
    }
    std::string Deliveries() {
        EXPECT_EQ(VSim_WaitIdle(5000), 1);
        std::lock_guard lock(mutex_);
        return std::exchange(seen_, "");
    }
    static std::string Error() {
        char reason[128] = {};
        VSim_ScenarioError(reason, sizeof reason);
        return reason;
    }

  private:
    static uint32_t Record(uint32_t event, uint32_t, uint32_t* values, uint32_t length,
                           uint8_t* bytes, void* self) {
        auto* script = static_cast<Script*>(self);
        std::lock_guard lock(script->mutex_);
        std::string& seen = script->seen_;
        if (!seen.empty()) seen += '|';
        if (event == DCX_EVENT_DATA_RECEIVED)
            seen.append(reinterpret_cast<char*>(bytes), length);
        else
            seen += (event == DCX_EVENT_POWER_STATE ? "power:" : "lock:") + std::to_string(*values);
        return 0;
    }
    std::mutex mutex_;
    std::string seen_;
};

TEST_F(Script, RefusedLinesAreReportedWithNumberAndReason) {
    const struct {
        const char* text;
        int line;
        std::string reason;
    } cases[] = {
        {"rule COM1 1 exact 41 reply 42\nfrobnicate 1\n", 2, "unknown directive 'frobnicate'"},
        {"rule COM1 1 exact 4G reply 42", 1, "'4G' is not a hex byte"},
        {"rule COM1 1 exact 41:??:43 reply 42", 1, "a wildcard byte is only allowed in a pattern"},
        {"rule COM1 1 pattern ?? reply 42 split 0", 1, "split needs a number from 1 to 4294967295"},
        {"rule COM1 1 prefix \"abc reply 42", 1, "unterminated string"},
        {"rule COM1 1 prefix \"a\\q\" reply 42", 1, "unknown escape \\q"},
        {"rule COM1 x exact 41 reply 42", 1, "device type must be a number or *"},
        {"rule COM1 * contains 41 reply 42", 1,
         "exact, prefix or pattern expected, not 'contains'"},
        {"rule COM1 * exact 41 once", 1, "reply, power or lock-lost expected"},
        {"rule COM1 * exact 41 power 2 now", 1, "unexpected 'now'"},
        {"unsolicited COM1 * sometimes 41", 1, "every or after-sends expected"},
        {"unmatched COM1 * reply", 1, "bytes expected"},
        {"\n# fine\nresult DCX_Lock\n", 3, "expected result <DCX_function> <code> [<nth>]"},
        {"replay COM1 * 1 after-sends 0 wait-us 0 kind 0 event 1", 1,
         "a replay names its device type"},
        {"unmatched COM1 2 drop # \"#\" starts a comment outside strings\n", 0, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(VSim_ApplyScenarioText(c.text), c.line) << c.text;
        EXPECT_EQ(Error(), c.line == 0 ? "" : "line " + std::to_string(c.line) + ": " + c.reason);
    }
}

// What one connection (COM1, type 1) receives for a script and the blocks sent, in order.
TEST_F(Script, RulesAnswerSendsInFileOrder) {
    const struct {
        const char* script;
        std::vector<std::string> sends;
        std::string deliveries;
    } cases[] = {
        {"", {"ab", "c"}, "ab|c"},  // no script: the loopback
        {"rule COM1 1 exact 1b:76 reply \"OK\\r\"", {"\x1bv", "\x1bvv"}, "OK\r|\x1bvv"},
        {"rule COM1 * prefix \"P\" reply 06", {"PRINT", "XP"}, "\x06|XP"},
        {"rule COM1 1 pattern 1D ?? 0a reply \"hit\"",
         {"\x1dZ", "\x1dZ0", "\x1d!\n"},
         "\x1dZ|\x1dZ0|hit"},
        {"rule COM1 1 exact 41 once reply 42\nrule COM1 1 exact 41 reply 43",
         {"A", "A", "A"},
         "B|C|C"},
        {"rule COM1 2 exact 41 reply 42\nrule COM2 * exact 41 reply 43", {"A"}, "A"},
        {"rule COM1 1 exact 41 reply \"ABCDEFG\" split 3", {"A"}, "ABC|DE|FG"},
        {"rule COM1 1 exact 41 reply \"AB\" split 5", {"A"}, "A|B"},
        {"rule COM1 1 exact 41 reply \"ABC\" split 3 gap 5", {"A", "z"}, "A|B|C|z"},
        {"unmatched COM1 * drop\nrule COM1 1 exact 41 reply 42", {"x", "A", "y"}, "B"},
        {"unmatched COM1 * drop\nunmatched COM1 1 reply \"?\"", {"x"}, "?"},
        // A delayed answer is not overtaken by what later sends bring.
        {"rule COM1 1 exact 41 reply 42 delay 30", {"A", "z"}, "B|z"},
        {"unsolicited COM1 1 after-sends 2 \"two\"", {"a", "b", "c"}, "a|b|two|c"},
        {"rule COM1 1 exact 41 once power 3\nrule COM1 1 exact 41 lock-lost",
         {"A", "A", "b"},
         "power:3|lock:0|b"},
    };
    for (const auto& c : cases) {
        VSim_Reset();
        ASSERT_EQ(VSim_ApplyScenarioText(c.script), 0) << Error();
        void* port = Device();
        for (const std::string& block : c.sends) Send(port, block);
        EXPECT_EQ(Deliveries(), c.deliveries) << c.script;
    }
}

// The blocks of a split reply come a gap apart: the last no sooner than two gaps after the send.
TEST_F(Script, SplitReplyBlocksComeAGapApart) {
    ASSERT_EQ(VSim_ApplyScenarioText("rule COM1 1 exact 41 reply \"ABC\" split 3 gap 20"), 0);
    void* port = Device();
    const int64_t sent = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count();
    Send(port, "A");
    EXPECT_EQ(Deliveries(), "A|B|C");
    EXPECT_GE(VSim_LastCallbackTime() - sent, 40'000'000);
}

// Periodic data flows from the registration until the callback goes, and never keeps the
// simulator from being idle.
TEST_F(Script, PeriodicDataStopsWithItsCallback) {
    ASSERT_EQ(VSim_ApplyScenarioText("unsolicited COM1 * every 2 \"t\""), 0);
    void* port = Device();
    std::string seen;
    for (int spell = 0; spell < 500 && seen.size() < 3; ++spell) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        for (char c : Deliveries()) seen += c == '|' ? "" : std::string(1, c);
    }
    EXPECT_EQ(seen.substr(0, 3), "ttt");
    EXPECT_EQ(Service<DCX_UnRegisterCallback_t>("DCX_UnRegisterCallback")(0, port), 0u);
    Deliveries();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(Deliveries(), "");
}

// The same script, run 100 times with sends as fast as they come, gives the same deliveries.
TEST_F(Script, SameScriptSameDeliveriesEveryRun) {
    const char* script =
        "rule COM1 1 exact \"status\" reply \"ready\" delay 3 split 2\n"
        "rule COM1 * prefix \"job\" once reply \"ack1\"\n"
        "rule COM1 * prefix \"job\" once reply \"ack2\" delay 1\n"
        "rule COM1 * prefix \"job\" power 3\n"
        "unsolicited COM1 1 after-sends 4 \"paper low\"\n"
        "unmatched COM1 1 reply 15\n";
    const std::string expected = "rea|dy|ack1|ack2|power:3|paper low|\x15";
    for (int run = 0; run < 100; ++run) {
        VSim_Reset();
        ASSERT_EQ(VSim_ApplyScenarioText(script), 0) << Error();
        void* port = Device();
        for (const char* block : {"status", "job 1", "job 2", "job 3", "hello"}) Send(port, block);
        ASSERT_EQ(Deliveries(), expected) << "run " << run;
    }
}

}  // namespace
