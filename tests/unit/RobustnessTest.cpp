// What no Java mistake and no service timing may do: a stale or forged handle reaching freed
// memory, a closed port's reports reaching another port's record, an overflow report swallowing
// a block nobody reported, a lock loss wiped by a recovery already under way.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <set>
#include <thread>

#include "bridge/VarnelPHCSAPI.h"
#include "bridge/VarnelPHReceive.h"
#include "port/VarnelPHHandles.h"
#include "port/VarnelPHJNI.h"
#include "power/OstrelPower.h"
#include "service/CustomValueIOCtrl.h"
#include "support/OpenPort.h"
#include "unit/RingTestAccess.h"

namespace {

constexpr jint kHandle = -1;

class Robustness : public NativePortTest {};

// Every per-port method, as Java would call it with a handle.
std::vector<std::pair<const char*, std::function<jint(FakeJni&, jlong)>>> PerPortCalls() {
    return {
        {"Write",
         [](FakeJni& j, jlong h) {
             return PH_JNI(Write)(j.env(), nullptr, h, j.NewByteArray("ab"), 2, 0,
                                  j.NewIntArray({7}));
         }},
        {"Read",
         [](FakeJni& j, jlong h) {
             return PH_JNI(Read)(j.env(), nullptr, h, j.NewByteArray("xx"), 2, j.NewIntArray({7}));
         }},
        {"Clear", [](FakeJni& j, jlong h) { return PH_JNI(Clear)(j.env(), nullptr, h); }},
        {"GetProperty",
         [](FakeJni& j, jlong h) {
             return PH_JNI(GetProperty)(j.env(), nullptr, h, 6, j.NewLongArray({7}));
         }},
        {"SetProperty",
         [](FakeJni& j, jlong h) { return PH_JNI(SetProperty)(j.env(), nullptr, h, 3, 6, 1); }},
        {"GetCapability",
         [](FakeJni& j, jlong h) {
             return PH_JNI(GetCapability)(j.env(), nullptr, h, 1, j.NewLongArray({7}));
         }},
        {"ResetDevice",
         [](FakeJni& j, jlong h) { return PH_JNI(ResetDevice)(j.env(), nullptr, h, 0); }},
        {"IOCtl",
         [](FakeJni& j, jlong h) {
             return PH_JNI(IOCtl)(j.env(), nullptr, h, 0x40040002, nullptr, 0,
                                  j.NewByteArray("12345678"), 8, j.NewIntArray({7}));
         }},
        {"checkOstrelPowerStatus",
         [](FakeJni& j, jlong h) { return PH_JNI(checkOstrelPowerStatus)(j.env(), nullptr, h); }},
        {"Close", [](FakeJni& j, jlong h) { return PH_JNI(Close)(j.env(), nullptr, h); }},
    };
}

// The allocator hands a freed address to the next allocation of its size: however many opens
// follow a Close, none may hand its handle out again and bring it back to life.
TEST_F(Robustness, ClosedAndForgedHandlesGetTheHandleErrorAndReachNothing) {
    const jlong closed = OpenPort("KOVLAN-1");
    ASSERT_EQ(Close(closed), 0);
    VSim_SetLogEnabled(0);
    std::set<jlong> handles{closed};
    for (int i = 0; i < 1100; ++i) {
        const jlong handle = OpenPort("COM1");
        ASSERT_TRUE(handles.insert(handle).second) << "open " << i + 2 << " reissued a handle";
        ASSERT_EQ(Close(handle), 0);
    }
    VSim_SetLogEnabled(1);
    const jlong live = OpenPort("COM2");
    int local = 0;
    const jlong forged = reinterpret_cast<jlong>(&local);
    for (const jlong handle : {closed, forged, live + 16}) {
        const size_t mark = VSim_LogSize();
        for (const auto& [name, call] : PerPortCalls()) {
            EXPECT_EQ(call(jni_, handle), kHandle) << name;
        }
        EXPECT_EQ(SimLogSince(mark), std::vector<std::string>{}) << "the service was called";
    }
    EXPECT_EQ(local, 0);
    // The live port next to them is untouched by all this, and past the handle test its own
    // arguments are checked.
    EXPECT_EQ(PH_JNI(Clear)(jni_.env(), nullptr, live), 0);
    EXPECT_EQ(PH_JNI(Write)(jni_.env(), nullptr, live, nullptr, 1, 0, nullptr), -3);
}

// Polled with a deadline rather than slept on: true once done() holds.
template <class Done>
bool Within5s(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

// A device service aborts a stuck send by closing the port from another thread: DCX_Close is
// what ends the send, so Close must not wait for it.
TEST_F(Robustness, CloseReturnsAtOnceWhileAWriteIsBlockedInTheService) {
    const jlong handle = OpenPort("COM1");
    VSim_SetSendBlocking(1);
    FakeJni jni;
    jint writeResult = 99;
    // Timeout 2 s (Java's second int): a Close that waited for the send would take that long.
    std::thread writer([&] {
        writeResult = PH_JNI(Write)(jni.env(), nullptr, handle, jni.NewByteArray("abcd"), 4, 2000,
                                    jni.NewIntArray({7}));
    });
    ASSERT_TRUE(Within5s([] { return VSim_CallCount("DCX_Send") == 1; }));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Close(handle), 0);
    const auto closeTime = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(PH_JNI(Clear)(jni_.env(), nullptr, handle), kHandle);
    writer.join();
    const auto closeMs = std::chrono::duration<double, std::milli>(closeTime).count();
    RecordProperty("close_ms", std::to_string(closeMs));
    EXPECT_LT(closeMs, 100.0);
    // The send's own result, released by DCX_Close, and no flush on the closed handle.
    EXPECT_EQ(writeResult, GetErrorCode(0x80000007));
    const std::vector<std::string> log = SimLog();
    const auto closed = std::find(log.begin(), log.end(), "DCX_Close(P1)");
    EXPECT_EQ(std::vector<std::string>(std::min(closed + 1, log.end()), log.end()),
              std::vector<std::string>{"DCX_Terminate()"});
    EXPECT_EQ(PortsAwaitingRelease(), 0u);
}

// A call in flight when its port closes finishes on live state: the port object's strings, and
// the configuration library the port's reference keeps bound; the last holder frees them.
TEST_F(Robustness, ACallInFlightFinishesOnTheLivePortAndFreesItAfterItsClose) {
    const jlong handle = OpenPort("COM1");
    VSim_SetCustomNumber("svc", "COM1", "key", 42);
    jni_.BeforePin("key", [&] { return Close(handle) == 0 && PortsAwaitingRelease() == 1; });
    jbyteArray value = jni_.NewByteArray("....");
    EXPECT_EQ(PH_JNI(IOCtl)(jni_.env(), nullptr, handle, CUSTOM_VALUE_GET_NUMBER,
                            jni_.NewByteArray("key", "key"), 3, value, 4, nullptr),
              0);
    EXPECT_EQ(jni_.Bytes(value), (std::vector<uint8_t>{42, 0, 0, 0}));
    EXPECT_EQ(CustomValueIOReferences(), 0u);
    EXPECT_EQ(PortsAwaitingRelease(), 0u);
}

// The handle reaches other threads through the holder; until Open has written it, a Close
// with it must neither close the port being opened nor leave Open a port it cannot close.
TEST_F(Robustness, ACloseBeforeOpenHasWrittenTheHolderIsRefused) {
    for (const bool pinned : {true, false}) {
        SCOPED_TRACE(pinned ? "holder pinned" : "holder pin failed");
        Fresh();
        jint early = 99;
        jni_.BeforePin("holder", [&] {
            void* port = VSim_CallbackContext(VSim_Handle(1), DCX_CALLBACK_DATA);
            early = PH_JNI(Close)(jni_.env(), nullptr, reinterpret_cast<jlong>(port));
            return pinned;
        });
        EXPECT_EQ(Open("svc", "COM1"), pinned ? 0 : -3);
        EXPECT_EQ(early, kHandle);
        EXPECT_EQ(VSim_OpenConnections(), pinned ? 1u : 0u);
        if (pinned) {
            EXPECT_EQ(PH_JNI(Clear)(jni_.env(), nullptr, open_.back()), 0);
        }
    }
}

// A port whose Close failed before DCX_Close keeps its power callback registered for good, with
// its record as context. That address must never be handed out again (the allocator would give
// a freed one to the very next allocation of its size), and the old port's reports must find
// nothing on the ports opened after it.
TEST_F(Robustness, ReportsOfAPortThatFailedToCloseNeverReachAnotherPort) {
    OpenPort("KOVLAN-A");
    void* contextA = VSim_CallbackContext(VSim_Handle(1), DCX_CALLBACK_POWER);
    VSim_SetResultOnCall("DCX_UnRegisterCallback", 1, kFailure);
    VSim_SetLogEnabled(0);               // log lines would take the freed address first
    ASSERT_EQ(Close(open_.back()), -9);  // the failure, translated
    VSim_SetLogEnabled(1);
    auto* next = new _OSTREL_PORT_INFO{};
    EXPECT_NE(next, contextA) << "the record of port A was freed while still registered";
    delete next;
    const jlong b = OpenPort("KOVLAN-B");
    VSim_ReportLock("KOVLAN-A", 1, 0, 1);
    VSim_ReportPower("KOVLAN-A", 1, 2);
    ASSERT_EQ(VSim_WaitIdle(5000), 1);
    EXPECT_EQ(PH_JNI(checkOstrelPowerStatus)(jni_.env(), nullptr, b), 0);
    EXPECT_EQ(VSim_CallCount("DCX_Lock"), 2u) << "port A's lost lock was taken again on B";
}

// A loss reported while the poll is taking the lock again must survive that recovery.
TEST_F(Robustness, LockLossReportedDuringARecoveryIsRecoveredByTheNextPoll) {
    const jlong handle = OpenPort("KOVLAN-1");
    void* portHandle = VSim_Handle(1);
    VSim_ReportLock("KOVLAN-1", 1, 0, 1);
    ASSERT_EQ(VSim_WaitIdle(5000), 1);
    uint32_t reports = 0;
    ASSERT_EQ(IsPortUnlocked(portHandle, &reports), 1);
    VSim_ReportLock("KOVLAN-1", 1, 0, 1);  // arrives between the re-lock and the flag reset
    ASSERT_EQ(VSim_WaitIdle(5000), 1);
    RecoverPortLock(portHandle, reports);
    EXPECT_EQ(IsPortUnlocked(portHandle), 1);
    PH_JNI(checkOstrelPowerStatus)(jni_.env(), nullptr, handle);
    EXPECT_EQ(IsPortUnlocked(portHandle), 0);
}

// Two consumers meet an overflow: the one that reports it resets the error and a new block
// arrives before the other, which saw the error too, gets the buffer lock. That block must be
// delivered, not thrown away with the loss already reported.
TEST_F(Robustness, OverflowReportedByOneReaderNeverDiscardsABlockStoredAfterIt) {
    const jlong handle = OpenPort("COM1");
    VarnelPHJNI* port = reinterpret_cast<VarnelPHJNI*>(handle);
    port->SetPHError(DCX_ERR_BUFFER_OVERFLOW);
    port->SetLock();
    FakeJni jni;
    jintArray count = jni.NewIntArray({-1});
    jbyteArray bytes = jni.NewByteArray("....");
    jint result = 99;
    std::thread reader([&] { result = PH_JNI(Read)(jni.env(), nullptr, handle, bytes, 4, count); });
    ASSERT_TRUE(Within5s([&] { return VarnelPHJNITestAccess::LockWord(*port) == 2; }));
    // What the first reader's report did, under the lock this thread holds; then a new block.
    port->Discard();
    const uint8_t block[] = {'n', 'e', 'w'};
    callbackRead(DCX_EVENT_DATA_RECEIVED, 0, nullptr, 3, const_cast<uint8_t*>(block), port);
    port->Unlock();
    reader.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(jni.Ints(count), std::vector<int32_t>{3});
    EXPECT_EQ(jni.Bytes(bytes), (std::vector<uint8_t>{'n', 'e', 'w', '.'}));
}

}  // namespace
