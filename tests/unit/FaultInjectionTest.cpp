// Faults generated from the calls themselves: a port's life is run once, and then once more for
// every service call it made, with that call failing (at that position only), and once from
// every install root that lacks one function. Whatever fails must be reported by the step that
// met it (or ridden out where the bridge ignores that result), stop the step's service calls
// (Open still terminates), release every pin, and leave the process able to run a port again.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "support/OpenPort.h"

namespace {

constexpr size_t kPoll = 6;  // the step whose result is the power state, not a result code

class FaultInjection : public NativePortTest {
  protected:
    // A power-reporting port in serial mode as Java drives it: open, write, read, property 6 and
    // a custom number through IOCtl, a power poll that takes a lost lock again, close. Each step's
    // result, and the size of the service's call log when it ended.
    std::vector<std::pair<jint, size_t>> Life() {
        std::vector<std::pair<jint, size_t>> steps;
        auto step = [&](jint result) { return steps.emplace_back(result, VSim_LogSize()).first; };
        VSim_SetConfigNumber("KOVLAN-1", 1);
        if (step(Open("svc", "KOVLAN-1")) != 0) return steps;
        const jlong h = open_.back();
        JNIEnv* e = jni_.env();
        jintArray count = jni_.NewIntArray({0});
        step(PH_JNI(Write)(e, 0, h, jni_.NewByteArray("abc"), 3, 100, count));
        VSim_WaitIdle(5000);
        step(PH_JNI(Read)(e, 0, h, jni_.NewByteArray("..."), 3, count));
        step(PH_JNI(IOCtl)(e, 0, h, 0x40040002, nullptr, 0, jni_.NewByteArray("12345678"), 8,
                           count));
        jbyteArray key = jni_.NewByteArray("k"),
                   value = jni_.NewByteArray(std::vector<uint8_t>{7, 0, 0, 0});
        step(PH_JNI(IOCtl)(e, 0, h, 0x6007000E, key, 1, value, 4, count));
        step(PH_JNI(IOCtl)(e, 0, h, 0x4007000A, key, 1, value, 4, count));
        VSim_ReportLock("KOVLAN-1", 1, 0, 1);  // so that the poll takes the lock again
        VSim_WaitIdle(5000);
        step(PH_JNI(checkOstrelPowerStatus)(e, 0, h));
        step(Close(h));
        EXPECT_EQ(jni_.OutstandingPins(), 0);
        return steps;
    }

    // After any fault, a port opens, echoes and closes as on a fresh start.
    void ExpectAFreshPortWorks() {
        VSim_ClearResults();
        UseInstallRoot(SimRoot());
        CloseAll();
        const jlong h = OpenPort("COM9");
        jbyteArray bytes = jni_.NewByteArray("...");
        jintArray count = jni_.NewIntArray({0});
        EXPECT_EQ(PH_JNI(Write)(jni_.env(), 0, h, jni_.NewByteArray("xyz"), 3, 0, count), 0);
        ASSERT_EQ(VSim_WaitIdle(5000), 1);
        EXPECT_EQ(PH_JNI(Read)(jni_.env(), 0, h, bytes, 3, count), 0);
        EXPECT_EQ(jni_.Bytes(bytes), (std::vector<uint8_t>{'x', 'y', 'z'}));
        EXPECT_EQ(Close(h), 0);
    }
};

// Results the bridge does not act on: the power monitor is best effort, the poll's re-lock is
// retried by the next poll, and termination and the flush have no one to report to.
bool Ignored(const std::string& call) {
    for (const char* prefix : {"DCX_Terminate", "DCX_RegisterCallback(2", "DCX_GetProperty(P1, 4)",
                               "DCX_GetProperty(P2, 4)", "DCX_GetPortConfigNumber",
                               "DCX_Open(svc, KOVLAN-1, UPOS, 2)", "DCX_Close(P2)"}) {
        if (call.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

TEST_F(FaultInjection, EachServiceCallFailingIsReportedOrRiddenOutAndLeavesNothingBehind) {
    const auto baseline = Life();
    const std::vector<std::string> calls = SimLog();
    ASSERT_EQ(baseline.size(), 8u);
    std::map<std::string, unsigned> seen;
    for (size_t i = 0; i < calls.size(); ++i) {
        const std::string function = calls[i].substr(0, calls[i].find('('));
        const unsigned nth = ++seen[function];
        SCOPED_TRACE(calls[i] + ", call " + std::to_string(nth) + " of " + function);
        Fresh();
        VSim_SetResultOnCall(function.c_str(), nth, kFailure);
        const auto steps = Life();
        size_t s = 0;
        while (baseline[s].second <= i) ++s;
        ASSERT_LT(s, steps.size());
        if (s != kPoll) {
            EXPECT_EQ(steps[s].first, Ignored(calls[i]) ? baseline[s].first : -9);
        }
        const std::vector<std::string> after = SimLogSince(i + 1);
        const size_t rest = steps[s].second - (i + 1);
        if (!Ignored(calls[i]) && s != kPoll) {
            const bool terminates = s == 0 && function != "DCX_Initialize";
            EXPECT_EQ(std::vector(after.begin(), after.begin() + rest),
                      terminates ? std::vector<std::string>{"DCX_Terminate()"}
                                 : std::vector<std::string>{});
        }
        ExpectAFreshPortWorks();
    }
    EXPECT_GE(calls.size(), 21u);
}

TEST_F(FaultInjection, EachMissingFunctionIsReportedAsNotAvailable) {
    const auto baseline = Life();
    int roots = 0;
    for (const auto& root : std::filesystem::directory_iterator(VSIM_VARIANTS)) {
        SCOPED_TRACE(root.path().filename().string());
        Fresh();
        UseInstallRoot(root.path().string());
        const auto steps = Life();
        for (size_t s = 0; s < steps.size(); ++s) {
            if (s != kPoll && steps[s].first != baseline[s].first) {
                EXPECT_EQ(steps[s].first, -5) << s;
            }
        }
        // A configuration library that failed to bind stays loaded by design (a later Open reuses
        // it), so the fresh start here is a fresh process.
        ForgetProcessState();
        ExpectAFreshPortWorks();
        ++roots;
    }
    EXPECT_EQ(roots, 24);
}

}  // namespace
