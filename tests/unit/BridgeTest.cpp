// The native methods through a fake JNI environment against the simulated service, one table a
// method or failure family: arrangement -> result -> the service calls logged -> Java's arrays.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/VarnelPHCSAPI.h"
#include "bridge/VarnelPHReceive.h"
#include "port/VarnelPHJNI.h"
#include "power/OstrelPower.h"
#include "service/CustomValueIOCtrl.h"
#include "support/OpenPort.h"

namespace {

using Bytes = std::optional<std::string>;  // a Java byte array, '.' untouched; nullopt: null
using Longs = std::vector<int64_t>;
constexpr jlong U = kUntouched;
constexpr jint G = 0x40040002, S6 = 0x60040002, X = 0x12345678;  // IOCtl codes

// The simulator's log without "DCX_" and the spaces after commas, a space after each call.
std::string Logged() {
    std::string text;
    for (std::string line : SimLog()) {
        for (size_t at; (at = line.find(", ")) != line.npos;) line.erase(at + 1, 1);
        text += line.substr(4) + " ";
    }
    return text;
}

class Bridge : public NativePortTest {
  protected:
    // A fresh process and simulator, by tokens: "-Fn" loads from a root lacking DCX_Fn, "nolib"
    // from one without a service library, "kovlan" names the port KOVLAN_COM1, "serial" puts it in
    // serial mode, "null-url"/"empty-url" give Open that URL. With open, the port is opened and the
    // logs cleared; then "Fn=hex" makes DCX_Fn fail so, "pinN" fails the Nth pin; others are flags.
    void Arrange(const std::string& setup, bool open = true) {
        Fresh();
        setup_ = " " + setup + " ";
        std::istringstream tokens(setup);
        for (std::string t; tokens >> t;) {
            if (t == "nolib") UseInstallRoot("/nonexistent-varnel-root");
            if (t[0] == '-') UseInstallRoot(SimRootWithout("DCX_" + t.substr(1)));
            if (t == "serial") VSim_SetConfigNumber("KOVLAN_COM1", 1);
        }
        url_ = Has("null-url") ? nullptr : Has("empty-url") ? "" : "svc";
        name_ = Has("kovlan") ? "KOVLAN_COM1" : "COM1";
        if (open) port_ = OpenPort(name_, url_);
        VSim_LogClear();
        jni_.ClearCalls();
        Apply(setup);
    }
    void Apply(const std::string& setup) {
        setup_ = " " + setup + " ";
        std::istringstream tokens(setup);
        for (std::string t; tokens >> t;) {
            if (t.rfind("pin", 0) == 0) jni_.FailPin(pin_ = std::stoi(t.substr(3)));
            const size_t eq = t.find('=');
            if (eq != t.npos)
                VSim_SetResult(("DCX_" + t.substr(0, eq)).c_str(),
                               std::stoul(t.substr(eq + 1), 0, 16));
        }
    }
    bool Has(const std::string& flag) { return setup_.find(" " + flag + " ") != setup_.npos; }
    // Whether a pin programmed to fail was reached: a method copying through regions pins less.
    bool PinReached() {
        size_t pins = 0;
        for (const std::string& call : jni_.Calls("Get"))
            pins += call.find("Elements") != call.npos;
        jni_.FailPin(0);
        return pins >= static_cast<size_t>(std::exchange(pin_, 0));
    }
    std::string Text(jbyteArray array) {
        const std::vector<uint8_t> bytes = jni_.Bytes(array);
        return {bytes.begin(), bytes.end()};
    }
    // A count holder {-1}, or as a flag says: "null-count", "empty-count"; and its element 0.
    jintArray Count() {
        if (Has("null-count")) return nullptr;
        return jni_.NewIntArray(Has("empty-count") ? std::vector<int32_t>{} : std::vector{-1});
    }
    int32_t CountOf(jintArray c) { return c && !jni_.Ints(c).empty() ? jni_.Ints(c)[0] : -1; }
    // Received data on the service's thread, handled when this returns.
    void Receive(const std::string& bytes) {
        VSim_InjectData(VSim_Handle(1), reinterpret_cast<const uint8_t*>(bytes.data()),
                        static_cast<uint32_t>(bytes.size()));
        ASSERT_EQ(VSim_WaitIdle(5000), 1);
    }
    std::string Read(jint maximum, size_t length, jintArray count, jint result) {
        jbyteArray destination = jni_.NewByteArray(std::string(length, '.'));
        EXPECT_EQ(PH_JNI(Read)(jni_.env(), nullptr, port_, destination, maximum, count), result);
        return Text(destination);
    }

    jlong port_ = 0;
    const char* url_ = "svc";
    std::string name_;
    std::string setup_;
    int pin_ = 0;
};

TEST(ResultCodes, GetErrorCodeTranslatesByTheTable) {
    // clang-format off
    const std::pair<uint32_t, int32_t> table[] = {
        {0, 0}, {1, -100}, {0x20000006, -100}, {0x20000007, -2}, {0x20000009, -2}, {0x2000000B, -2},
        {0x2000000C, -100}, {0x40000001, -17}, {0x40000002, -15}, {0x40000003, -18},
        {0x40000004, -11}, {0x40000005, -100}, {0x80000001, -5}, {0x80000002, -100},
        {0x80000003, -3}, {0x80000004, -100}, {0x80000005, -9}, {0x80000006, -11},
        {0x80000007, -100}, {0x80000008, -4}, {0x80000009, -7}, {0x8000000A, -100},
        {0x8000000B, -10}, {0x8000000E, -1}, {0x8000000F, -15}, {0x80000010, -100},
        {0xFFFFFFFF, -100}};
    // clang-format on
    for (auto [service, bridge] : table) EXPECT_EQ(GetErrorCode(service), bridge) << service;
}

// A null environment is refused first, then handle 0 or one not live (16), then missing arrays
// (Read: its arrays before its handle), touching no Java data. Without an environment the handle is
// 16 (0 for checkOstrelPowerStatus, which ignores the environment); a withEnv of 0 skips that call.
TEST(NativeFrame, RefusesInOrderWithoutTouchingJavaData) {
    FakeJni j;
    jstring s = j.NewString("s");
    jbyteArray b = j.NewByteArray("12345678");
    jintArray i = j.NewIntArray({0});
    jlongArray l = j.NewLongArray({0});
    // clang-format off
    const std::tuple<jlong, jint, jint, std::function<jint(JNIEnv*, jlong)>> rows[] = {
        {0, -3, 0, [&](auto e, auto) { return PH_JNI(Open)(e, 0, s, s, 1, l); }},
        {0, -3, -3, [&](auto e, auto) { return PH_JNI(Open)(e, 0, s, nullptr, 1, l); }},
        {0, -3, -3, [&](auto e, auto) { return PH_JNI(Open)(e, 0, s, s, 1, nullptr); }},
        {0, -3, -1, [&](auto e, auto h) { return PH_JNI(Close)(e, 0, h); }},
        {0, -3, -1, [&](auto e, auto h) { return PH_JNI(Write)(e, 0, h, b, 1, 0, i); }},
        {0, -3, -1, [&](auto e, auto h) { return PH_JNI(Write)(e, 0, h, nullptr, 1, 0, i); }},
        {16, -3, -1, [&](auto e, auto h) { return PH_JNI(Write)(e, 0, h, nullptr, 1, 0, i); }},
        {0, -3, -1, [&](auto e, auto h) { return PH_JNI(Read)(e, 0, h, b, 1, i); }},
        {0, -3, -3, [&](auto e, auto h) { return PH_JNI(Read)(e, 0, h, nullptr, 1, i); }},
        {0, -3, -3, [&](auto e, auto h) { return PH_JNI(Read)(e, 0, h, b, 1, nullptr); }},
        {0, -3, -1, [&](auto e, auto h) { return PH_JNI(Clear)(e, 0, h); }},
        {0, -3, -1, [&](auto e, auto h) { return PH_JNI(GetProperty)(e, 0, h, 4, l); }},
        {0, -3, -1, [&](auto e, auto h) { return PH_JNI(SetProperty)(e, 0, h, 3, 6, 1); }},
        {0, -3, -1, [&](auto e, auto h) { return PH_JNI(GetCapability)(e, 0, h, 1, l); }},
        {0, -3, -1, [&](auto e, auto h) { return PH_JNI(ResetDevice)(e, 0, h, 0); }},
        {0, -3, -1, [&](auto e, auto h) { return PH_JNI(IOCtl)(e, 0, h, X, b, 1, b, 8, i); }},
        {0, -3, -3, [&](auto e, auto) { return PH_JNI(SetDCXPath)(e, 0, e ? nullptr : b); }},
        {0, -3, 0, [&](auto e, auto) { return PH_JNI(GetPortCapability)(e, 0, s, s, 21, 0, i); }},
        {0, -1, -1, [&](auto e, auto h) { return PH_JNI(checkOstrelPowerStatus)(e, 0, h); }},
    };
    // clang-format on
    for (const auto& [handle, withoutEnv, withEnv, call] : rows) {
        EXPECT_EQ(call(nullptr, withoutEnv == -1 ? 0 : 16), withoutEnv) << handle << withEnv;
        EXPECT_EQ(withEnv ? call(j.env(), handle) : 0, withEnv) << handle << withoutEnv;
    }
    EXPECT_EQ(j.Calls(), std::vector<std::string>{});
}

// Open's calls in order and every way it fails: from DCX_Open on, DCX_Terminate is the one call
// after a failure (a port opened and locked stays so). Strings (+taken -released, "?" not
// asserted) go back port name first; the power monitor takes them again.
TEST_F(Bridge, OpenCallsTheServiceInOrderAndUndoesOnlyTheInitialisation) {
    const std::string I = "Initialize() ", O = "Open(svc,COM1,UPOS,1) ", L = "Lock(P1,100) ",
                      R = "RegisterCallback(0,P1) ", T = "Terminate() ",
                      S = "+port +url -port -url ",
                      C = "UnRegisterCallback(0,P1) Unlock(P1) Close(P1) ", K = "KOVLAN_COM1",
                      M = "Open(," + K + ",UPOS,1) " + L + R + "GetPortConfigNumber(," + K + ",0) ",
                      W = "RegisterCallback(2,P1) GetProperty(P1,4) ",
                      W2 = "Open(," + K + ",UPOS,2) RegisterCallback(2,P2) GetProperty(P2,4) ";
    // Arrangement, result, log, strings, connections left open, whether the first is locked.
    // clang-format off
    const std::tuple<const char*, jint, std::string, std::string, unsigned, int> rows[] = {
        {"", 0, I + O + L + R, S + S, 1, 1},
        {"kovlan null-url", 0, I + M + W, "+port -port +port -port ", 1, 1},
        {"kovlan empty-url serial", 0, I + M + W2 + W, S + S, 2, 1},
        {"nolib", -5, "", "", 0, 0},                {"-Initialize", -5, "", "", 0, 0},
        {"Initialize=80000005", -9, I, "", 0, 0},   {"-SetCustomValueBinary", -5, I, "", 0, 0},
        {"pin1", -3, I + T, "+port +url -url ", 0, 0},
        {"pin2", -3, I + T, "+port +url -port ", 0, 0},
        {"-Open", -5, I + T, "?", 0, 0},  // the URL goes back first today: reported
        {"Open=80000005", -9, I + O + T, S, 0, 0},  {"-Lock", -5, I + O + T, S, 1, 0},
        {"Lock=80000005", -9, I + O + L + T, S, 1, 0},
        {"-RegisterCallback", -5, I + O + L + T, S, 1, 1},
        {"RegisterCallback=80000005", -9, I + O + L + R + T, S, 1, 1},
        {"pin5", -3, I + O + L + R + C + T, S + S, 0, 0},  // the handle cannot reach Java
        {"empty-holder", -3, "", "", 0, 0},
    };
    // clang-format on
    for (const auto& [arrange, result, log, expectedStrings, open, locked] : rows) {
        SCOPED_TRACE(arrange);
        Arrange(arrange, false);
        EXPECT_EQ(Open(url_, name_, 1, Has("empty-holder") ? 0 : 3), result);
        EXPECT_EQ(Logged(), log);
        std::string strings;
        for (std::string c : jni_.Calls("StringUTFChars")) {
            strings += (c[0] == 'G' ? "+" : "-") + c.substr(c.find('(') + 1);
            strings.back() = ' ';
        }
        EXPECT_EQ(expectedStrings == "?" ? "?" : strings, expectedStrings);
        // The handle is the port object, also the callback's context; nothing else is written.
        const Longs holder = jni_.Longs(holder_);
        const jlong handle = result == 0 ? holder.at(0) : 0;
        EXPECT_EQ(holder, (result == 0 ? Longs{handle, U, U} : Longs(holder.size(), U)));
        EXPECT_EQ(VSim_CallbackContext(VSim_Handle(1), 0), reinterpret_cast<void*>(handle));
        EXPECT_EQ(VSim_OpenConnections(), open);
        EXPECT_EQ(VSim_IsLocked(VSim_Handle(1)), locked);
        EXPECT_EQ(CustomValueIOReferences(), result == 0 ? 1u : 0u);
        EXPECT_EQ(jni_.OutstandingPins(), 0);
    }
}

// Close stops at its failing step. A callback still registered keeps its port object whole:
// data arriving later lands in its ring. Only DCX_Terminate's success gives back the binding.
TEST_F(Bridge, CloseStopsAtTheFailingStep) {
    const std::string R = "UnRegisterCallback(0,P1) ", N = R + "Unlock(P1) ", C = N + "Close(P1) ",
                      T = "Terminate() ";
    // Arrangement, result, log, binding references left, whether the callback stays registered.
    // clang-format off
    const std::tuple<const char*, jint, std::string, unsigned, bool> rows[] = {
        {"", 0, C + T, 0, false},
        {"kovlan serial", 0, "Close(P2) " + C + T, 0, false},
        {"-UnRegisterCallback", -5, "", 1, true}, {"UnRegisterCallback=80000005", -9, R, 1, true},
        {"-Unlock", -5, R, 1, false},             {"Unlock=80000005", -9, N, 1, false},
        {"-Close", -5, N, 1, false},              {"Close=80000005", -9, C, 1, false},
        {"-Terminate", 0, C, 1, false},           {"Terminate=80000005", 0, C + T, 1, false},
    };
    // clang-format on
    for (const auto& [arrange, result, log, references, keeps] : rows) {
        SCOPED_TRACE(arrange);
        Arrange(arrange);
        EXPECT_EQ(Close(port_), result);
        EXPECT_EQ(Logged(), log);
        EXPECT_EQ(CustomValueIOReferences(), references);
        EXPECT_EQ(OstrelPowerState(VSim_Handle(1)), -1) << "still watched";
        void* context = VSim_CallbackContext(VSim_Handle(1), 0);
        EXPECT_EQ(context, (void*)(keeps ? port_ : 0));
        if (!keeps || context != (void*)port_) continue;  // no port object left to read from
        Receive("late");
        // Java's handle is refused now, but the object the service still holds lives on.
        EXPECT_EQ(PH_JNI(Clear)(jni_.env(), nullptr, port_), -1);
        char late[8] = {};
        int32_t count = -1;
        reinterpret_cast<VarnelPHJNI*>(port_)->ReadData(reinterpret_cast<uint8_t*>(late), 8,
                                                        &count);
        EXPECT_EQ(std::string(late, static_cast<size_t>(std::max(count, 0))), "late");
    }
}

// Java's two ints reach the service swapped, the first being the byte count; a failed send
// still reports how far it got (the simulator claims half); three results call for a flush,
// which needs both its functions. What was sent comes back through the loopback.
TEST_F(Bridge, WriteSendsSwappedIntsReportsTheCountAndFlushesAfterThreeResults) {
    const std::string S = "Send(P1,0,0,7,10) ",
                      F = S + "CancelOperation(P1,3,0) ResumeSending(P1) ", echo = "0123456789..",
                      none = "............";
    // clang-format off
    const std::tuple<const char*, jint, jint, std::string, std::string> rows[] = {
        {"", 0, 10, S, echo},               {"null-count", 0, -1, S, echo},
        {"empty-count", 0, -1, S, echo},    {"Send=80000006", -11, 5, F, none},
        {"Send=80000007", -100, 5, F, none}, {"Send=80000010", -100, 5, F, none},
        {"Send=40000004", -11, 5, S, none}, {"Send=80000005", -9, 5, S, none},
        {"Send=80000011", -100, 5, S, none}, {"-Send", -5, -1, "", none},
        {"pin1", -3, -1, "", none},         {"pin2", -3, -1, "", none},
        {"-CancelOperation Send=80000007", -100, 5, S, none},
        {"-ResumeSending Send=80000007", -100, 5, S, none},
    };
    // clang-format on
    for (const auto& [arrange, result, sent, log, echoed] : rows) {
        SCOPED_TRACE(arrange);
        Arrange(arrange);
        jintArray count = Count();
        const jint got =
            PH_JNI(Write)(jni_.env(), 0, port_, jni_.NewByteArray("0123456789AB"), 10, 7, count);
        if (!PinReached()) continue;
        EXPECT_EQ(got, result);
        EXPECT_EQ(CountOf(count), sent);
        EXPECT_EQ(Logged(), log);
        ASSERT_EQ(VSim_WaitIdle(5000), 1);
        EXPECT_EQ(Read(100, 12, jni_.NewIntArray({-1}), 0), echoed);
    }
}

// One port's receive side, step by step: Read copies at most the array's length and the
// maximum; an overflow drops every block until Read reports it, once, emptying the ring; Clear
// restarts receiving too; events other than received data with bytes store nothing.
TEST_F(Bridge, ReadDeliversReceivedBytesAndReportsAnOverflowOnce) {
    const std::string full(VarnelPHJNI::kRingSize - 1, 'f'), nearlyFull(full.size() - 8, 'n');
    // Flags, blocks received, maximum, array length, result, count, the array afterwards.
    // clang-format off
    using Blocks = std::vector<std::string>;
    const std::tuple<const char*, Blocks, jint, size_t, jint, jint, std::string> steps[] = {
        {"", {}, 100, 8, 0, 0, "........"},
        {"", {"0123456789abcdefghij"}, 100, 8, 0, 8, "01234567"},
        {"", {}, -1, 8, 0, 0, "........"},          {"empty-count", {}, 100, 8, -3, -1, "........"},
        {"", {}, 4, 8, 0, 4, "89ab...."},           {"", {}, 100, 16, 0, 8, "cdefghij........"},
        {"", {nearlyFull, "012345678", "0123"}, 100, 8, -7, -1, "........"},
        {"", {}, 100, 8, 0, 0, "........"},
        {"odd-events", {"xyz"}, 100, 8, 0, 3, "xyz....."},
        {"clear", {full, "x"}, 100, 8, 0, 0, "........"},
        {"", {"after"}, 100, 8, 0, 5, "after..."},
    };
    // clang-format on
    Arrange("");
    auto* port = reinterpret_cast<VarnelPHJNI*>(port_);
    uint8_t b[4] = {1, 2, 3, 4};
    const std::tuple<uint32_t, uint32_t, uint8_t*, VarnelPHJNI*> oddEvents[] = {
        {DCX_EVENT_POWER_STATE, 4, b, port},
        {DCX_EVENT_LOCK_STATE, 4, b, port},
        {DCX_EVENT_DATA_RECEIVED, 0, b, port},
        {DCX_EVENT_DATA_RECEIVED, 4, nullptr, port},
        {DCX_EVENT_DATA_RECEIVED, 4, b, nullptr}};
    for (const auto& [flags, received, maximum, length, result, n, after] : steps) {
        SCOPED_TRACE(testing::Message() << flags << " " << after);
        for (const std::string& block : received) Receive(block);
        setup_ = std::string(" ") + flags + " ";
        EXPECT_EQ(Has("clear") ? PH_JNI(Clear)(jni_.env(), 0, port_) : 0, 0);
        for (auto [event, length, data, context] : oddEvents) {
            EXPECT_EQ(Has("odd-events") ? callbackRead(event, 0, 0, length, data, context) : 0, 0u);
        }
        jintArray count = Count();
        EXPECT_EQ(Read(maximum, length, count, result), after);
        EXPECT_EQ(CountOf(count), n);
    }
}

// GetProperty and GetCapability store the value in element 0 on success only and refuse a holder
// without one unasked; ids and selectors reach the service unsigned, values unchanged.
TEST_F(Bridge, PropertiesCapabilitiesAndResetReachTheServiceUnchanged) {
    // Method (GetProperty, GetCapability, SetProperty, ResetDevice), arrangement, arguments,
    // holder, result, holder afterwards, log.
    // clang-format off
    const std::tuple<char, const char*, jint, jint, int64_t, Longs, jint, Longs, std::string>
        rows[] = {
        {'P', "", -2, 0, 0, {U, U}, 0, {42, U}, "GetProperty(P1,4294967294) "},
        {'P', "null-holder", 9, 0, 0, {}, 0, {}, "GetProperty(P1,9) "},
        {'P', "", 9, 0, 0, {}, -3, {}, ""},
        {'P', "GetProperty=80000005", 9, 0, 0, {U}, -9, {U}, "GetProperty(P1,9) "},
        {'P', "-GetProperty", 9, 0, 0, {U}, -5, {U}, ""},
        {'C', "", -2, 0, 0, {U, U}, 0, {42, U}, "GetCapability(P1,4294967294) "},
        {'C', "", 9, 0, 0, {}, -3, {}, ""},
        {'C', "GetCapability=80000005", 9, 0, 0, {U}, -9, {U}, "GetCapability(P1,9) "},
        {'C', "-GetCapability", 9, 0, 0, {U}, -5, {U}, ""},
        {'S', "", -1, 0x7FFFFFFF, -81985529216486895, {}, 0, {},
         "SetProperty(P1,4294967295,2147483647,-81985529216486895) "},
        {'S', "SetProperty=80000005", 5, 7, 9, {}, -9, {}, "SetProperty(P1,5,7,9) "},
        {'S', "-SetProperty", 3, 6, 1, {}, -5, {}, ""},
        {'R', "", -2, 0, 0, {}, 0, {}, "ResetDevice(P1,4294967294) "},
        {'R', "ResetDevice=80000005", 1, 0, 0, {}, -9, {}, "ResetDevice(P1,1) "},
        {'R', "-ResetDevice", 0, 0, 0, {}, -5, {}, ""},
    };
    // clang-format on
    for (const auto& [method, arrange, a, b, value, before, result, after, log] : rows) {
        SCOPED_TRACE(testing::Message() << method << " " << arrange << " " << a);
        Arrange(arrange);
        VSim_SetProperty("COM1", 1, 0xFFFFFFFE, 42);
        VSim_SetCapability("COM1", 1, 0xFFFFFFFE, 42);
        jlongArray holder = Has("null-holder") ? nullptr : jni_.NewLongArray(before);
        JNIEnv* env = jni_.env();
        EXPECT_EQ(method == 'P'   ? PH_JNI(GetProperty)(env, 0, port_, a, holder)
                  : method == 'C' ? PH_JNI(GetCapability)(env, 0, port_, a, holder)
                  : method == 'S' ? PH_JNI(SetProperty)(env, 0, port_, a, b, value)
                                  : PH_JNI(ResetDevice)(env, 0, port_, a),
                  result);
        EXPECT_EQ(Logged(), log);
        EXPECT_EQ(holder ? jni_.Longs(holder) : Longs{}, after);
    }
}

// IOCtl serves port property 6 itself (little-endian, eight bytes needed whatever Java's lengths
// say) and custom values for the port's own URL and name; anything else, or what the property
// service does not support, goes to the extension entry, never with a length outside Java's
// arrays. The count holder is written on failure too.
TEST_F(Bridge, IOCtlDispatchesByCode) {
    const std::string ones(8, '\x01'), set = "SetProperty(P1,3,6,72340172838076673) ",
                                       get = "GetProperty(P1,6) ", ext = "ExtendFunction(P1,3,0x";
    struct Row {
        const char* arrange;
        jint code;
        Bytes in;
        jint inLength;
        Bytes out;
        jint outLength, result, count;
        std::string log;
        Bytes after = {};  // the output array afterwards, when not as it was
    };
    // clang-format off
    const Row rows[] = {
        {"", G, {}, -7, "..........", 0, 0, 8, get, "\x08\x07\x06\x05\x04\x03\x02\x01.."},
        {"", S6, "\xFE\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x09", -1, {}, 3, 0, 0,
         "SetProperty(P1,3,6,-2) "},
        {"GetProperty=80000005", G, {}, 0, "........", 8, -9, 0, get},
        {"SetProperty=80000005", S6, ones, 8, "........", 8, -9, 0, set},
        {"-GetProperty", G, {}, 0, "........", 8, -5, 0, ""},
        {"-SetProperty", S6, ones, 8, {}, 0, -5, 0, ""},
        {"", G, ones, 8, {}, 8, -3, 0, ""},        {"", G, ones, 8, ".......", 8, -3, 0, ""},
        {"", S6, {}, 8, "........", 8, -3, 0, ""}, {"", S6, ones.substr(1), 8, {}, 8, -3, 0, ""},
        {"GetProperty=80000008", G, "abc", 3, "........", 8, 0, 3, get + ext + "40040002,3,8) ",
         "abc....."},
        {"SetProperty=80000008", S6, ones, 8, "....", 4, 0, 4, set + ext + "60040002,8,4) ",
         ones.substr(4)},
        {"", X, "hello", 5, "....", 3, 0, 3, ext + "12345678,5,3) ", "hel."},
        {"ExtendFunction=80000005", X, "hello", 5, "....", 4, -9, 0, ext + "12345678,5,4) "},
        {"-ExtendFunction", X, "abc", 3, "....", 4, -5, 0, ""},
        {"", X, "abcd", 5, "....", 4, -3, 0, ""},  {"", X, {}, 1, "....", 4, -3, 0, ""},
        {"", X, "abcd", 4, "....", 5, -3, 0, ""},  {"", X, "abcd", 4, {}, 1, -3, 0, ""},
        {"", X, "abcd", 4, "....", 4, 0, 4, ext + "12345678,4,4) ", "abcd"},
        {"", X, {}, 0, {}, 0, 0, 0, ext + "12345678,0,0) "},
        {"null-count", X, "xy", 2, "..", 2, 0, -1, ext + "12345678,2,2) ", "xy"},
        {"empty-count", X, "xy", 2, "..", 2, -3, -1, ""},
        {"pin1", X, "ab", 2, "..", 2, -3, -1, ""}, {"pin2", X, "ab", 2, "..", 2, -3, -1, ""},
        {"pin3", X, "ab", 2, "..", 2, -3, -1, ""},
        {"", CUSTOM_VALUE_SET_STRING, "key", 3, "abc", 3, 0, 0,
         "SetCustomValueString(svc,COM1,key,abc) "},
        {"", CUSTOM_VALUE_GET_NUMBER, "n", 1, "......", 4, 0, 4,
         "GetCustomValueNumber(svc,COM1,n) ",
         "\x04\x03\x02\x01.."},
        {"null-url", CUSTOM_VALUE_GET_NUMBER, "n", 1, "....", 4, -10, 0,
         "GetCustomValueNumber((null),COM1,n) "},
    };
    // clang-format on
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.arrange << " " << std::hex << r.code << " " << r.log);
        Arrange(r.arrange);
        VSim_SetProperty("COM1", 1, 6, 0x0102030405060708);
        VSim_SetCustomNumber("svc", "COM1", "n", 0x01020304);
        jbyteArray in = r.in ? jni_.NewByteArray(*r.in) : nullptr;
        jbyteArray out = r.out ? jni_.NewByteArray(*r.out) : nullptr;
        jintArray count = Count();
        const jint result =
            PH_JNI(IOCtl)(jni_.env(), 0, port_, r.code, in, r.inLength, out, r.outLength, count);
        if (!PinReached()) continue;
        EXPECT_EQ(result, r.result);
        EXPECT_EQ(CountOf(count), r.count);
        EXPECT_EQ(Logged(), r.log);
        EXPECT_EQ(out ? Text(out) : "", r.after.value_or(r.out.value_or("")));
    }
}

}  // namespace
