// Write, Read and Clear through a fake JNI environment against the simulated service: what the
// service is called with, what Java's arrays receive, and the receive side's overflow states as
// received data arrives on the service's own thread.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bridge/VarnelPHJNIAPI.h"
#include "bridge/VarnelPHReceive.h"
#include "port/VarnelPHJNI.h"
#include "support/FakeJni.h"
#include "support/SimLibrary.h"
#include "unit/RingTestAccess.h"

namespace {

constexpr jint kParameter = -3;
constexpr jint kNotAvailable = -5;
constexpr jint kOverflow = -7;
constexpr uint32_t kRingCapacity = 0x20000;

std::vector<uint8_t> Pattern(size_t length, uint8_t seed) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 13 + i / 241);
    return bytes;
}

// A port opened on the simulator the way Open does it, from the current install root, with
// callbackRead registered for received data.
class SimPort {
  public:
    SimPort() {
        port_ = new VarnelPHJNI;
        if (port_->CreatePH() != 0) {
            ADD_FAILURE() << "service library not loadable";
            return;
        }
        auto open = lookup<DCX_Open_t>(port_->GetPH(), "DCX_Open");
        auto registerCallback =
            lookup<DCX_RegisterCallback_t>(port_->GetPH(), "DCX_RegisterCallback");
        if (open == nullptr || registerCallback == nullptr ||
            open("svc", "COM1", DCX_CLIENT_NAME, 1, &handle_) != 0 ||
            port_->SetPHHandle(handle_, "svc", "COM1") != 0 ||
            registerCallback(DCX_CALLBACK_DATA, handle_, callbackRead, port_) != 0) {
            ADD_FAILURE() << "port not opened on the simulator";
        }
        VSim_LogClear();
    }
    ~SimPort() {
        if (auto unregister =
                lookup<DCX_UnRegisterCallback_t>(port_->GetPH(), "DCX_UnRegisterCallback")) {
            unregister(DCX_CALLBACK_DATA, handle_);
        }
        if (auto close = lookup<DCX_Close_t>(port_->GetPH(), "DCX_Close")) close(handle_);
        delete port_;
    }
    SimPort(const SimPort&) = delete;
    SimPort& operator=(const SimPort&) = delete;

    VarnelPHJNI* port() const { return port_; }
    void* handle() const { return handle_; }
    jlong javaHandle() const { return reinterpret_cast<jlong>(port_); }

    // Received data, delivered on the simulator's thread; returns once it has been handled.
    void Receive(const std::vector<uint8_t>& bytes) const {
        VSim_InjectData(handle_, bytes.data(), static_cast<uint32_t>(bytes.size()));
        ASSERT_EQ(VSim_WaitIdle(5000), 1);
    }

  private:
    VarnelPHJNI* port_ = nullptr;
    void* handle_ = nullptr;
};

struct ReadResult {
    jint result;
    int32_t count;               // element 0 of the count holder afterwards (-1 before)
    std::vector<uint8_t> bytes;  // the count's worth of the destination
    std::vector<uint8_t> all;    // the whole destination (0xEE before)
};

class OpenPort : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        sim_ = std::make_unique<SimPort>();
    }
    void TearDown() override {
        sim_.reset();
        SimTest::TearDown();
    }

    jint Write(const std::vector<uint8_t>& data, jint first, jint second, jintArray count) {
        return PH_JNI(Write)(jni_.env(), nullptr, sim_->javaHandle(), jni_.NewByteArray(data),
                             first, second, count);
    }
    ReadResult Read(jint maximum, size_t arrayLength = 256) {
        jbyteArray destination = jni_.NewByteArray(std::vector<uint8_t>(arrayLength, 0xEE));
        jintArray count = jni_.NewIntArray({-1});
        ReadResult r{
            PH_JNI(Read)(jni_.env(), nullptr, sim_->javaHandle(), destination, maximum, count),
            jni_.Ints(count)[0],
            {},
            jni_.Bytes(destination)};
        if (r.count > 0) r.bytes.assign(r.all.begin(), r.all.begin() + r.count);
        return r;
    }

    // Bytes received now reach the next Read whole: the ring stores blocks again.
    void ExpectReceiving() {
        const auto next = Pattern(20, 4);
        sim_->Receive(next);
        ReadResult r = Read(256);
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.bytes, next);
    }

    FakeJni jni_;
    std::unique_ptr<SimPort> sim_;
};

// A test whose port comes from another install root than the complete simulator's.
class OtherRoot : public SimTest {};

std::vector<std::string> SendAndFlushCalls() {
    return SimLogOf({"DCX_Send", "DCX_CancelOperation", "DCX_ResumeSending"});
}

TEST_F(OpenPort, WriteHandsTheServiceJavasIntsSwappedAndReportsTheCountSent) {
    VSim_SetLoopback(0);
    jbyteArray data = jni_.NewByteArray(std::string("hello world"), "data");
    jintArray count = jni_.NewIntArray({-1}, "count");
    EXPECT_EQ(PH_JNI(Write)(jni_.env(), nullptr, sim_->javaHandle(), data, 11, 250, count), 0);
    EXPECT_EQ(SendAndFlushCalls(), std::vector<std::string>{"DCX_Send(P1, 0, 0, 250, 11)"});
    EXPECT_EQ(jni_.Ints(count), std::vector<int32_t>{11});
    // The count holder is released before the data.
    EXPECT_EQ(jni_.Calls("Elements"),
              (std::vector<std::string>{"GetByteArrayElements(data)", "GetIntArrayElements(count)",
                                        "ReleaseIntArrayElements(count)",
                                        "ReleaseByteArrayElements(data)"}));
}

// A failed send still reports how far it got (the simulator claims half); three results call
// for a flush, which is a cancel followed by a resume. Two codes share a bridge code with a flush
// code without calling for one.
TEST_F(OpenPort, FailedSendReportsItsCountAndFlushesOnlyAfterTheThreeFlushResults) {
    struct Case {
        uint32_t result;
        jint expected;
        bool flush;
    } cases[] = {
        {0x80000006, -11, true},  {0x80000007, -100, true},  {0x80000010, -100, true},
        {0x40000004, -11, false}, {0x80000005, -9, false},   {0x80000008, -4, false},
        {0x8000000F, -15, false}, {0x80000011, -100, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "send result 0x" << c.result);
        VSim_SetResult("DCX_Send", c.result);
        VSim_LogClear();
        jintArray count = jni_.NewIntArray({-1});
        EXPECT_EQ(Write(Pattern(10, 1), 10, 7, count), c.expected);
        EXPECT_EQ(jni_.Ints(count), std::vector<int32_t>{5});
        std::vector<std::string> expected{"DCX_Send(P1, 0, 0, 7, 10)"};
        if (c.flush) {
            expected.push_back("DCX_CancelOperation(P1, 3, 0)");
            expected.push_back("DCX_ResumeSending(P1)");
        }
        EXPECT_EQ(SendAndFlushCalls(), expected);
    }
}

TEST_F(OpenPort, WriteWithoutAUsableCountHolderStillSends) {
    VSim_SetLoopback(0);
    EXPECT_EQ(Write(Pattern(4, 2), 4, 0, nullptr), 0);
    EXPECT_EQ(jni_.Calls("Elements").size(), 2u) << "only the data is pinned";
    // An empty count holder has no element 0 to receive the count (the fake sees any overrun).
    jintArray empty = jni_.NewIntArray({});
    EXPECT_EQ(Write(Pattern(4, 3), 4, 0, empty), 0);
    EXPECT_EQ(SendAndFlushCalls().size(), 2u);
}

TEST_F(OpenPort, WriteWhoseArraysCannotBePinnedSendsNothing) {
    for (int failing : {1, 2}) {
        jintArray count = jni_.NewIntArray({-1});
        jni_.FailPin(failing);
        EXPECT_EQ(Write(Pattern(4, 4), 4, 0, count), kParameter) << "pin " << failing;
        EXPECT_EQ(jni_.OutstandingPins(), 0);
        EXPECT_EQ(jni_.Ints(count), std::vector<int32_t>{-1});
    }
    EXPECT_TRUE(SendAndFlushCalls().empty());
}

TEST_F(OtherRoot, WriteWithoutDCXSendInTheLibraryLeavesTheCountHolderAlone) {
    UseInstallRoot(SimRootWithout("DCX_Send"));
    SimPort sim;
    FakeJni jni;
    jintArray count = jni.NewIntArray({77});
    EXPECT_EQ(
        PH_JNI(Write)(jni.env(), nullptr, sim.javaHandle(), jni.NewByteArray("abc"), 3, 0, count),
        kNotAvailable);
    EXPECT_EQ(jni.Ints(count), std::vector<int32_t>{77});
    EXPECT_TRUE(SimLog().empty());
}

// A flush needs both functions: with either one missing, neither is called and Write still
// returns the translation of the send's own result.
TEST_F(OtherRoot, FlushCallsNothingWhenEitherFlushFunctionIsMissing) {
    for (const char* missing : {"DCX_CancelOperation", "DCX_ResumeSending"}) {
        SCOPED_TRACE(missing);
        VSim_Reset();
        UseInstallRoot(SimRootWithout(missing));
        SimPort sim;
        EXPECT_EQ(DCXFlushSend(sim.port()->GetPH(), sim.handle(), 0), 0x80000001u);
        VSim_SetResult("DCX_Send", 0x80000007);
        FakeJni jni;
        EXPECT_EQ(PH_JNI(Write)(jni.env(), nullptr, sim.javaHandle(), jni.NewByteArray("abc"), 3, 0,
                                nullptr),
                  -100);
        EXPECT_EQ(SimLog(), std::vector<std::string>{"DCX_Send(P1, 0, 0, 0, 3)"});
    }
}

TEST_F(OpenPort, FlushPassesItsValueToTheCancel) {
    EXPECT_EQ(DCXFlushSend(sim_->port()->GetPH(), sim_->handle(), 9), 0u);
    EXPECT_EQ(SendAndFlushCalls(),
              (std::vector<std::string>{"DCX_CancelOperation(P1, 3, 9)", "DCX_ResumeSending(P1)"}));
}

TEST_F(OpenPort, SentBytesComeBackThroughTheLoopbackAndRead) {
    const std::string message = "ping 0123456789 over the loopback";
    const auto sent = std::vector<uint8_t>(message.begin(), message.end());
    // Java's first int is the byte count: a shorter one sends only the start of the array.
    const jint length = static_cast<jint>(sent.size()) - 3;
    ASSERT_EQ(Write(sent, length, 1000, nullptr), 0);

    std::vector<uint8_t> received;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (received.size() < static_cast<size_t>(length) &&
           std::chrono::steady_clock::now() < deadline) {
        ReadResult r = Read(4);  // small reads, so the echo takes several
        ASSERT_EQ(r.result, 0);
        ASSERT_LE(r.count, 4);
        received.insert(received.end(), r.bytes.begin(), r.bytes.end());
        if (r.count == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(received, std::vector<uint8_t>(sent.begin(), sent.begin() + length));
    ASSERT_EQ(VSim_WaitIdle(5000), 1);
    EXPECT_EQ(Read(256).count, 0) << "nothing beyond the echo";
}

TEST_F(OpenPort, ReadOfAnEmptyRingReportsZero) {
    ReadResult r = Read(100);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.count, 0);
    EXPECT_EQ(r.all, std::vector<uint8_t>(256, 0xEE));
}

// Receiving -> Overflowed when a block does not fit; every block is dropped until Read reports
// the overflow, once, emptying the ring; then blocks are stored again.
TEST_F(OpenPort, OverflowDropsBlocksUntilReadReportsItOnceAndEmptiesTheRing) {
    const VarnelPHJNI& port = *sim_->port();
    sim_->Receive(Pattern(kRingCapacity - 1 - 8, 1));  // stored, 8 bytes left
    const int32_t writeIndex = VarnelPHJNITestAccess::WritePos(port);
    sim_->Receive(Pattern(9, 2));  // does not fit: dropped whole
    EXPECT_EQ(port.GetPHError(), 0x80000009u);
    sim_->Receive(Pattern(4, 3));  // would fit, dropped all the same
    EXPECT_EQ(VarnelPHJNITestAccess::WritePos(port), writeIndex);
    EXPECT_EQ(port.GetPHError(), 0x80000009u);

    jni_.ClearCalls();
    ReadResult reported = Read(256);
    EXPECT_EQ(reported.result, kOverflow);
    EXPECT_EQ(reported.count, -1) << "count holder written";
    EXPECT_EQ(jni_.Calls("Elements").size(), 0u) << "nothing pinned for a reported overflow";

    ReadResult after = Read(256);
    EXPECT_EQ(after.result, 0);
    EXPECT_EQ(after.count, 0) << "bytes from before the overflow delivered";

    ExpectReceiving();
}

TEST_F(OpenPort, ClearAfterAnOverflowRestartsReceiving) {
    sim_->Receive(Pattern(kRingCapacity - 1, 1));
    sim_->Receive(Pattern(1, 2));
    ASSERT_NE(sim_->port()->GetPHError(), 0u);

    EXPECT_EQ(PH_JNI(Clear)(jni_.env(), nullptr, sim_->javaHandle()), 0);
    ExpectReceiving();
}

TEST_F(OpenPort, ReadNeverCopiesMoreThanTheDestinationHolds) {
    const auto received = Pattern(40, 5);
    sim_->Receive(received);
    ReadResult first = Read(100, 16);  // the fake fails the test on a write past the array
    EXPECT_EQ(first.result, 0);
    EXPECT_EQ(first.count, 16);
    EXPECT_EQ(first.bytes, std::vector<uint8_t>(received.begin(), received.begin() + 16));
    ReadResult rest = Read(100, 64);
    EXPECT_EQ(rest.count, 24);
    EXPECT_EQ(rest.bytes, std::vector<uint8_t>(received.begin() + 16, received.end()));
}

TEST_F(OpenPort, ReadThatCannotDeliverLeavesTheBytesWaiting) {
    const auto received = Pattern(10, 6);
    sim_->Receive(received);

    ReadResult negative = Read(-1);
    EXPECT_EQ(negative.result, 0);
    EXPECT_EQ(negative.count, 0);
    EXPECT_EQ(negative.all, std::vector<uint8_t>(256, 0xEE));

    for (int failing : {1, 2}) {
        jni_.FailPin(failing);
        EXPECT_EQ(Read(100).result, kParameter) << "pin " << failing;
        EXPECT_EQ(jni_.OutstandingPins(), 0);
    }
    jintArray noElement = jni_.NewIntArray({});
    EXPECT_EQ(PH_JNI(Read)(jni_.env(), nullptr, sim_->javaHandle(), jni_.NewByteArray("xxxxx"), 5,
                           noElement),
              kParameter);

    EXPECT_EQ(Read(100).bytes, received);
}

TEST_F(OpenPort, CallbackStoresOnlyReceivedDataWithBytesForAPort) {
    uint8_t bytes[4] = {1, 2, 3, 4};
    struct Case {
        const char* name;
        uint32_t event;
        uint32_t length;
        uint8_t* bytes;
        bool withPort;
    } cases[] = {
        {"power report", DCX_EVENT_POWER_STATE, 4, bytes, true},
        {"lock report", DCX_EVENT_LOCK_STATE, 4, bytes, true},
        {"zero length", DCX_EVENT_DATA_RECEIVED, 0, bytes, true},
        {"no bytes", DCX_EVENT_DATA_RECEIVED, 4, nullptr, true},
        {"no context", DCX_EVENT_DATA_RECEIVED, 4, bytes, false},
    };
    for (const Case& c : cases) {
        uint32_t value = 1;
        EXPECT_EQ(callbackRead(c.event, 1, &value, c.length, c.bytes,
                               c.withPort ? sim_->port() : nullptr),
                  0u)
            << c.name;
        EXPECT_EQ(sim_->port()->GetPHError(), 0u) << c.name;
    }
    // The same through the service's thread: an event that is not received data.
    VSim_InjectEvent(sim_->handle(), DCX_CALLBACK_DATA, DCX_EVENT_POWER_STATE, 0, nullptr, bytes,
                     4);
    ASSERT_EQ(VSim_WaitIdle(5000), 1);
    EXPECT_EQ(Read(100).count, 0);

    EXPECT_EQ(callbackRead(DCX_EVENT_DATA_RECEIVED, 0, nullptr, 4, bytes, sim_->port()), 0u);
    EXPECT_EQ(Read(100).bytes, std::vector<uint8_t>(bytes, bytes + 4));
}

TEST_F(OtherRoot, CreatePHWithoutTheServiceLibraryReports5AndKeepsNoHandle) {
    UseInstallRoot("/nonexistent/varnel-root");
    VarnelPHJNI port;
    EXPECT_EQ(port.CreatePH(), -5);
    EXPECT_EQ(port.GetPH(), nullptr);
}

}  // namespace
