// Open and Close through a fake JNI environment against the simulated service: the service calls
// of a successful open and close, in order; every way each can fail, with what it leaves behind
// in the service, in Java's arrays and in the configuration-library binding; and a port whose
// receive callback could not be unregistered meeting data that arrives afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "bridge/VarnelPHJNIAPI.h"
#include "port/VarnelPHJNI.h"
#include "power/OstrelPower.h"
#include "service/CustomValueIOCtrl.h"
#include "support/OpenPort.h"

namespace {

using Log = std::vector<std::string>;

// The calls Open makes before the power monitor's own, for svc and COM1 opened as type 1.
const Log kOpenCOM1 = {"DCX_Initialize()", "DCX_Open(svc, COM1, UPOS, 1)", "DCX_Lock(P1, 100)",
                       "DCX_RegisterCallback(0, P1)"};
const Log kCloseP1 = {"DCX_UnRegisterCallback(0, P1)", "DCX_Unlock(P1)", "DCX_Close(P1)",
                      "DCX_Terminate()"};

Log Concat(Log a, const Log& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class OpenClose : public NativePortTest {
  protected:
    // A custom number written and read back through IOCtl on the port.
    void ExpectCustomValuesServed(jlong handle, const std::string& port) {
        jintArray count = jni_.NewIntArray({-1});
        EXPECT_EQ(PH_JNI(IOCtl)(jni_.env(), nullptr, handle, CUSTOM_VALUE_SET_NUMBER,
                                jni_.NewByteArray("key"), 3,
                                jni_.NewByteArray(std::vector<uint8_t>{4, 3, 2, 1}), 4, count),
                  0);
        jbyteArray value = jni_.NewByteArray(std::vector<uint8_t>(4, 0xEE));
        EXPECT_EQ(PH_JNI(IOCtl)(jni_.env(), nullptr, handle, CUSTOM_VALUE_GET_NUMBER,
                                jni_.NewByteArray("key"), 3, value, 4, count),
                  0);
        EXPECT_EQ(jni_.Bytes(value), (std::vector<uint8_t>{4, 3, 2, 1}));
        EXPECT_EQ(jni_.Ints(count), std::vector<int32_t>{4});
        EXPECT_EQ(SimLogOf({"DCX_SetCustomValue", "DCX_GetCustomValue"}),
                  (Log{"DCX_SetCustomValueNumber(svc, " + port + ", key, 16909060)",
                       "DCX_GetCustomValueNumber(svc, " + port + ", key)"}));
    }
};

// The power monitor's part shows in the log: nothing for a port without the marker, its
// registration and first read for one with it, and in serial mode its second connection, for
// the other device role, opened first and closed before anything else at close.
TEST_F(OpenClose, OpenAndCloseCallTheServiceInOrder) {
    struct Case {
        std::string port;
        uint32_t serialConfig;
        Log open;
        Log close;
    };
    const Case cases[] = {
        {"COM1", 0, kOpenCOM1, kCloseP1},
        {"KOVLAN_COM1",
         0,
         {"DCX_Initialize()", "DCX_Open(svc, KOVLAN_COM1, UPOS, 1)", "DCX_Lock(P1, 100)",
          "DCX_RegisterCallback(0, P1)", "DCX_GetPortConfigNumber(svc, KOVLAN_COM1, 0)",
          "DCX_RegisterCallback(2, P1)", "DCX_GetProperty(P1, 4)"},
         kCloseP1},
        {"KOVLAN_COM1",
         1,
         {"DCX_Initialize()", "DCX_Open(svc, KOVLAN_COM1, UPOS, 1)", "DCX_Lock(P1, 100)",
          "DCX_RegisterCallback(0, P1)", "DCX_GetPortConfigNumber(svc, KOVLAN_COM1, 0)",
          "DCX_Open(svc, KOVLAN_COM1, UPOS, 2)", "DCX_RegisterCallback(2, P2)",
          "DCX_GetProperty(P2, 4)", "DCX_RegisterCallback(2, P1)", "DCX_GetProperty(P1, 4)"},
         Concat({"DCX_Close(P2)"}, kCloseP1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port + (c.serialConfig ? " serial" : ""));
        Fresh();
        VSim_SetConfigNumber(c.port.c_str(), c.serialConfig);
        ASSERT_EQ(Open("svc", c.port, 1, 3), 0);
        EXPECT_EQ(SimLog(), c.open);

        // The handle is the port object, which is also the receive callback's context; only
        // element 0 of the holder receives it.
        const std::vector<int64_t> holder = jni_.Longs(holder_);
        const jlong handle = holder[0];
        ASSERT_NE(handle, kUntouched);
        ASSERT_NE(handle, 0);
        EXPECT_EQ(VSim_CallbackContext(VSim_Handle(1), 0), reinterpret_cast<void*>(handle));
        EXPECT_EQ(holder[1], kUntouched);
        EXPECT_EQ(holder[2], kUntouched);
        EXPECT_EQ(VSim_IsLocked(VSim_Handle(1)), 1);
        EXPECT_EQ(CustomValueIOReferences(), 1u);

        const size_t mark = SimLog().size();
        EXPECT_EQ(Close(handle), 0);
        EXPECT_EQ(SimLogSince(mark), c.close);
        EXPECT_EQ(VSim_OpenConnections(), 0u);
        EXPECT_EQ(OstrelPowerState(VSim_Handle(1)), -1) << "still watched after close";
        EXPECT_EQ(CustomValueIOReferences(), 0u);
        EXPECT_EQ(jni_.OutstandingPins(), 0);
    }
}

TEST_F(OpenClose, OpenTakesAndGivesBackStringsPortNameFirst) {
    ASSERT_EQ(Open("svc", "COM1"), 0);
    // Once for the service, once for the power monitor.
    const Log pair = {"GetStringUTFChars(port)", "GetStringUTFChars(url)",
                      "ReleaseStringUTFChars(port)", "ReleaseStringUTFChars(url)"};
    EXPECT_EQ(jni_.Calls("StringUTFChars"), Concat(pair, pair));

    jni_.ClearCalls();
    VSim_SetResult("DCX_Open", kFailure);
    EXPECT_EQ(Open("svc", "COM2"), kFailureSeen);
    EXPECT_EQ(jni_.Calls("StringUTFChars"), pair);
}

// Java may pass no service URL, or an empty one: the service and the power monitor get "", the
// port object keeps no copy, and no JNI call is made for a missing string.
TEST_F(OpenClose, AbsentOrEmptyServiceURLReachesTheServiceAsEmpty) {
    for (const char* url : {static_cast<const char*>(nullptr), ""}) {
        SCOPED_TRACE(url ? "empty service URL" : "null service URL");
        Fresh();
        jni_.ClearCalls();
        ASSERT_EQ(Open(url, "KOVLAN_COM1"), 0);
        EXPECT_EQ(
            SimLogOf({"DCX_Open", "DCX_GetPortConfigNumber"}),
            (Log{"DCX_Open(, KOVLAN_COM1, UPOS, 1)", "DCX_GetPortConfigNumber(, KOVLAN_COM1, 0)"}));
        const auto* port = reinterpret_cast<const VarnelPHJNI*>(jni_.Longs(holder_)[0]);
        EXPECT_EQ(port->GetRefServiceURL(), nullptr);
        EXPECT_STREQ(port->GetRefPortName(), "KOVLAN_COM1");
        EXPECT_EQ(jni_.Calls("StringUTFChars").size(), url ? 8u : 4u);
    }
}

// Refused before anything is created: no pin, no service call, the holder as it was.
TEST_F(OpenClose, OpenRefusesMissingArgumentsAndAnEmptyHolderUntouched) {
    jstring url = jni_.NewString("svc");
    jstring port = jni_.NewString("COM1");
    jlongArray holder = jni_.NewLongArray({kUntouched});
    jlongArray empty = jni_.NewLongArray({});
    EXPECT_EQ(PH_JNI(Open)(jni_.env(), nullptr, url, nullptr, 1, holder), kParameter);
    EXPECT_EQ(PH_JNI(Open)(jni_.env(), nullptr, url, port, 1, nullptr), kParameter);
    EXPECT_EQ(PH_JNI(Open)(jni_.env(), nullptr, url, port, 1, empty), kParameter);
    EXPECT_EQ(jni_.Longs(holder), std::vector<int64_t>{kUntouched});
    EXPECT_TRUE(jni_.Calls("StringUTFChars").empty());
    EXPECT_EQ(jni_.OutstandingPins(), 0);
    EXPECT_TRUE(SimLog().empty()) << testing::PrintToString(SimLog());
    EXPECT_EQ(CustomValueIOReferences(), 0u);
}

// Each way Open can fail after its argument checks. From DCX_Open on, DCX_Terminate is the one
// call that follows a failure: a port already opened (and locked) stays so in the service.
TEST_F(OpenClose, FailedOpenUndoesOnlyTheServiceInitialisation) {
    using Arrange = std::function<void(FakeJni&)>;
    auto root = [](std::string r) -> Arrange { return [r](FakeJni&) { UseInstallRoot(r); }; };
    auto without = [&](const char* function) { return root(SimRootWithout(function)); };
    auto failing = [](const char* function) -> Arrange {
        return [function](FakeJni&) { VSim_SetResult(function, kFailure); };
    };
    auto failingPin = [](int nth) -> Arrange { return [nth](FakeJni& jni) { jni.FailPin(nth); }; };
    const std::string init = "DCX_Initialize()", term = "DCX_Terminate()";
    const std::string open = "DCX_Open(svc, COM1, UPOS, 1)", lock = "DCX_Lock(P1, 100)";
    const std::string reg = "DCX_RegisterCallback(0, P1)";

    struct Case {
        const char* what;
        Arrange arrange;
        jint expected;
        Log calls;
        unsigned connections;  // left open in the service
        int locked;            // the connection left open still holds its lock
    };
    const Case cases[] = {
        {"service library missing", root("/nonexistent-varnel-root"), kNotAvailable, {}, 0, 0},
        {"DCX_Initialize missing", without("DCX_Initialize"), kNotAvailable, {}, 0, 0},
        {"DCX_Initialize fails", failing("DCX_Initialize"), kFailureSeen, {init}, 0, 0},
        {"configuration library lacks a custom-value function",
         without("DCX_SetCustomValueBinary"),
         kNotAvailable,
         {init},
         0,
         0},
        {"port name not pinned", failingPin(1), kParameter, {init, term}, 0, 0},
        {"service URL not pinned", failingPin(2), kParameter, {init, term}, 0, 0},
        {"DCX_Open missing", without("DCX_Open"), kNotAvailable, {init, term}, 0, 0},
        {"DCX_Open fails", failing("DCX_Open"), kFailureSeen, {init, open, term}, 0, 0},
        {"DCX_Lock missing", without("DCX_Lock"), kNotAvailable, {init, open, term}, 1, 0},
        {"DCX_Lock fails", failing("DCX_Lock"), kFailureSeen, {init, open, lock, term}, 1, 0},
        {"DCX_RegisterCallback missing",
         without("DCX_RegisterCallback"),
         kNotAvailable,
         {init, open, lock, term},
         1,
         1},
        {"DCX_RegisterCallback fails",
         failing("DCX_RegisterCallback"),
         kFailureSeen,
         {init, open, lock, reg, term},
         1,
         1},
        // The handle cannot reach Java, so the port is closed again.
        {"handle holder not pinned", failingPin(5), kParameter,
         Concat({init, open, lock, reg}, kCloseP1), 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fresh();
        {
            FakeJni jni;
            c.arrange(jni);
            jlongArray holder = jni.NewLongArray({kUntouched});
            EXPECT_EQ(PH_JNI(Open)(jni.env(), nullptr, jni.NewString("svc"), jni.NewString("COM1"),
                                   1, holder),
                      c.expected);
            EXPECT_EQ(SimLog(), c.calls);
            EXPECT_EQ(jni.Longs(holder), std::vector<int64_t>{kUntouched});
            EXPECT_EQ(jni.OutstandingPins(), 0);
        }
        EXPECT_EQ(VSim_OpenConnections(), c.connections);
        if (c.connections > 0) {
            EXPECT_EQ(VSim_IsLocked(VSim_Handle(1)), c.locked);
            EXPECT_EQ(VSim_CallbackContext(VSim_Handle(1), 0), nullptr);
        }
        // A failed open gives back what it took of the binding.
        EXPECT_EQ(CustomValueIOReferences(), 0u);
    }
}

// Each way Close can fail. A callback still registered keeps its port object (the service may
// call it yet); otherwise the object is freed (a leak shows under LeakSanitizer). DCX_Terminate
// runs only once the port is closed, and only its success gives back the binding reference.
TEST_F(OpenClose, FailedCloseStopsAtTheFailingStep) {
    const std::string unreg = "DCX_UnRegisterCallback(0, P1)", unlock = "DCX_Unlock(P1)";
    const std::string close = "DCX_Close(P1)", term = "DCX_Terminate()";
    struct Case {
        const char* missing;  // from the library the port is opened from
        const char* failing;  // programmed to fail
        jint expected;
        Log calls;
        bool keepsCallback;
    };
    const Case cases[] = {
        {"DCX_UnRegisterCallback", nullptr, kNotAvailable, {}, true},
        {nullptr, "DCX_UnRegisterCallback", kFailureSeen, {unreg}, true},
        {"DCX_Unlock", nullptr, kNotAvailable, {unreg}, false},
        {nullptr, "DCX_Unlock", kFailureSeen, {unreg, unlock}, false},
        {"DCX_Close", nullptr, kNotAvailable, {unreg, unlock}, false},
        {nullptr, "DCX_Close", kFailureSeen, {unreg, unlock, close}, false},
        {"DCX_Terminate", nullptr, 0, {unreg, unlock, close}, false},
        {nullptr, "DCX_Terminate", 0, {unreg, unlock, close, term}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.missing ? std::string(c.missing) + " missing"
                               : std::string(c.failing) + " fails");
        Fresh();
        if (c.missing) UseInstallRoot(SimRootWithout(c.missing));
        const jlong handle = OpenPort();
        if (c.failing) VSim_SetResult(c.failing, kFailure);
        const size_t mark = SimLog().size();

        EXPECT_EQ(Close(handle), c.expected);
        EXPECT_EQ(SimLogSince(mark), c.calls);
        EXPECT_EQ(VSim_CallbackContext(VSim_Handle(1), 0),
                  c.keepsCallback ? reinterpret_cast<void*>(handle) : nullptr);
        EXPECT_EQ(CustomValueIOReferences(), 1u) << "the binding reference was given back";
    }
}

// The service may still deliver to a callback that could not be unregistered: the port object
// it was registered with must still be there, whole, when data arrives (under AddressSanitizer a
// freed one would be a use after free).
TEST_F(OpenClose, PortWhoseCallbackStaysRegisteredTakesLateDataSafely) {
    for (bool missing : {true, false}) {
        SCOPED_TRACE(missing ? "DCX_UnRegisterCallback missing" : "DCX_UnRegisterCallback fails");
        Fresh();
        if (missing) UseInstallRoot(SimRootWithout("DCX_UnRegisterCallback"));
        const jlong handle = OpenPort();
        if (!missing) VSim_SetResult("DCX_UnRegisterCallback", kFailure);
        EXPECT_NE(Close(handle), 0);

        const std::vector<uint8_t> late = {0x4C, 0x41, 0x54, 0x45};
        VSim_InjectData(VSim_Handle(1), late.data(), static_cast<uint32_t>(late.size()));
        ASSERT_EQ(VSim_WaitIdle(5000), 1);
        // The block landed in the kept object's ring, whole.
        jbyteArray destination = jni_.NewByteArray(std::vector<uint8_t>(8, 0xEE));
        jintArray count = jni_.NewIntArray({-1});
        EXPECT_EQ(PH_JNI(Read)(jni_.env(), nullptr, handle, destination, 8, count), 0);
        EXPECT_EQ(jni_.Ints(count), std::vector<int32_t>{4});
        const std::vector<uint8_t> read = jni_.Bytes(destination);
        EXPECT_EQ(std::vector<uint8_t>(read.begin(), read.begin() + 4), late);
    }
}

TEST_F(OpenClose, CloseOfHandleZeroTouchesNothing) {
    const jlong handle = OpenPort();
    VSim_LogClear();
    EXPECT_EQ(PH_JNI(Close)(jni_.env(), nullptr, 0), -1);
    EXPECT_TRUE(SimLog().empty());
    EXPECT_EQ(VSim_IsLocked(VSim_Handle(1)), 1);
    EXPECT_EQ(Close(handle), 0);
}

// The configuration library stays bound for a port that is still open, whatever other ports'
// closes and failed opens give back.
TEST_F(OpenClose, CustomValuesOfAnOpenPortOutliveAnotherPortsClose) {
    const jlong first = OpenPort("COM1");
    const jlong second = OpenPort("COM2");
    EXPECT_EQ(Close(first), 0);
    EXPECT_EQ(CustomValueIOReferences(), 1u);
    ExpectCustomValuesServed(second, "COM2");
}

TEST_F(OpenClose, CustomValuesOfAnOpenPortOutliveAFailedOpen) {
    const jlong open = OpenPort("COM2");
    VSim_SetResult("DCX_Lock", kFailure);
    EXPECT_EQ(Open("svc", "COM1"), kFailureSeen);
    VSim_ClearResults();
    EXPECT_EQ(VSim_CallCount("DCX_Terminate"), 1u);
    EXPECT_EQ(CustomValueIOReferences(), 1u);
    ExpectCustomValuesServed(open, "COM2");
}

}  // namespace
