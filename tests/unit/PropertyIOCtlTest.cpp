// Properties, capabilities, device reset and IOCtl on a port opened through the bridge: what the
// service is asked, what Java's arrays receive, the requests refused before the service is
// asked, and IOCtl's hand-over to the service's extension entry.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bridge/VarnelPHJNIAPI.h"
#include "power/OstrelPower.h"
#include "service/CustomValueIOCtrl.h"
#include "support/OpenPort.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Log = std::vector<std::string>;

constexpr DCXRESULT kNotSupported = 0x80000008;
constexpr jint kGetProperty6 = 0x40040002;
constexpr jint kSetProperty6 = 0x60040002;
constexpr uint8_t kUntouchedByte = 0xEE;
constexpr int32_t kCountUntouched = -1;

Bytes Of(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes Blank(size_t size) {
    return Bytes(size, kUntouchedByte);
}

struct IoResult {
    jint result;
    int32_t count;  // element 0 of the count holder afterwards
    Bytes output;   // the whole output array afterwards
};

// A port opened through Open on svc/COM1 as type 1, the log cleared after the open.
class PortControl : public NativePortTest {
  protected:
    void SetUp() override { Fresh(); }
    // A fresh simulator and process state, and the port opened from the given install root.
    void Fresh(const std::string& root = SimRoot()) {
        NativePortTest::Fresh();
        UseInstallRoot(root);
        handle_ = OpenPort();
        VSim_LogClear();
        jni_.ClearCalls();
    }

    // IOCtl as Java calls it, on the fixture's port unless another handle is given; nullopt passes
    // no array. The count holder starts at -1.
    IoResult IOCtl(jint code, const std::optional<Bytes>& input, jint inputLength,
                   const std::optional<Bytes>& output, jint outputLength, jlong handle = 0) {
        jbyteArray in = input ? jni_.NewByteArray(*input, "in") : nullptr;
        jbyteArray out = output ? jni_.NewByteArray(*output, "out") : nullptr;
        jintArray count = jni_.NewIntArray({kCountUntouched}, "count");
        const jint result = PH_JNI(IOCtl)(jni_.env(), nullptr, handle ? handle : handle_, code, in,
                                          inputLength, out, outputLength, count);
        EXPECT_EQ(jni_.OutstandingPins(), 0);
        return {result, jni_.Ints(count)[0], out ? jni_.Bytes(out) : Bytes{}};
    }

    jlong handle_ = 0;
};

TEST_F(PortControl, SetPropertyPassesSelectorsAndValueUnchanged) {
    EXPECT_EQ(PH_JNI(SetProperty)(jni_.env(), nullptr, handle_, 3, 6, 0x0123456789ABCDEF), 0);
    EXPECT_EQ(PH_JNI(SetProperty)(jni_.env(), nullptr, handle_, -1, 0x7FFFFFFF, -2), 0);
    VSim_SetResult("DCX_SetProperty", kFailure);
    EXPECT_EQ(PH_JNI(SetProperty)(jni_.env(), nullptr, handle_, 5, 7, 9), kFailureSeen);
    EXPECT_EQ(SimLog(), (Log{"DCX_SetProperty(P1, 3, 6, 81985529216486895)",
                             "DCX_SetProperty(P1, 4294967295, 2147483647, -2)",
                             "DCX_SetProperty(P1, 5, 7, 9)"}));
}

// GetProperty and GetCapability share their shape: the value reaches element 0 on success only;
// a null holder drops it; a holder without elements is refused before the service is asked.
TEST_F(PortControl, GettersStoreTheValueInElementZeroOnSuccessOnly) {
    using Method = jint(JNICALL*)(JNIEnv*, jobject, jlong, jint, jlongArray);
    using Setter = void (*)(const char*, uint32_t, uint32_t, int64_t);
    struct Getter {
        const char* function;
        Method method;
        Setter set;
    };
    const Getter getters[] = {
        {"DCX_GetProperty", PH_JNI(GetProperty), VSim_SetProperty},
        {"DCX_GetCapability", PH_JNI(GetCapability), VSim_SetCapability},
    };
    for (const Getter& g : getters) {
        SCOPED_TRACE(g.function);
        Fresh();
        g.set("COM1", 1, 9, -1234567890123);
        g.set("COM1", 1, 0xFFFFFFFE, 42);
        auto call = [&](jint id, jlongArray holder) {
            return g.method(jni_.env(), nullptr, handle_, id, holder);
        };
        const std::string name = g.function;

        jlongArray holder = jni_.NewLongArray({kUntouched, kUntouched});
        EXPECT_EQ(call(9, holder), 0);
        EXPECT_EQ(jni_.Longs(holder), (std::vector<int64_t>{-1234567890123, kUntouched}));
        holder = jni_.NewLongArray({kUntouched});
        EXPECT_EQ(call(-2, holder), 0);  // ids are unsigned to the service
        EXPECT_EQ(jni_.Longs(holder), std::vector<int64_t>{42});
        EXPECT_EQ(call(9, nullptr), 0);
        EXPECT_EQ(call(9, jni_.NewLongArray({})), kParameter);
        VSim_SetResult(g.function, kFailure);
        holder = jni_.NewLongArray({kUntouched});
        EXPECT_EQ(call(9, holder), kFailureSeen);
        EXPECT_EQ(jni_.Longs(holder), std::vector<int64_t>{kUntouched});

        EXPECT_EQ(SimLog(), (Log{name + "(P1, 9)", name + "(P1, 4294967294)", name + "(P1, 9)",
                                 name + "(P1, 9)"}));
        EXPECT_EQ(jni_.OutstandingPins(), 0);
    }
}

TEST_F(PortControl, ResetDevicePassesItsArgumentUnsigned) {
    EXPECT_EQ(PH_JNI(ResetDevice)(jni_.env(), nullptr, handle_, -2), 0);
    VSim_SetResult("DCX_ResetDevice", kFailure);
    EXPECT_EQ(PH_JNI(ResetDevice)(jni_.env(), nullptr, handle_, 1), kFailureSeen);
    EXPECT_EQ(SimLog(), (Log{"DCX_ResetDevice(P1, 4294967294)", "DCX_ResetDevice(P1, 1)"}));
}

// A port whose service library lacks the function: -5, nothing asked, Java's value untouched.
TEST_F(PortControl, MissingServiceFunctionIsNotAvailable) {
    struct Case {
        const char* what;
        const char* missing;
        std::function<void()> check;
    };
    auto getter = [this](jint(JNICALL * method)(JNIEnv*, jobject, jlong, jint, jlongArray)) {
        return [this, method] {
            jlongArray holder = jni_.NewLongArray({kUntouched});
            EXPECT_EQ(method(jni_.env(), nullptr, handle_, 6, holder), kNotAvailable);
            EXPECT_EQ(jni_.Longs(holder), std::vector<int64_t>{kUntouched});
        };
    };
    const Case cases[] = {
        {"SetProperty", "DCX_SetProperty",
         [this] {
             EXPECT_EQ(PH_JNI(SetProperty)(jni_.env(), nullptr, handle_, 3, 6, 1), kNotAvailable);
         }},
        {"GetProperty", "DCX_GetProperty", getter(PH_JNI(GetProperty))},
        {"GetCapability", "DCX_GetCapability", getter(PH_JNI(GetCapability))},
        {"ResetDevice", "DCX_ResetDevice",
         [this] {
             EXPECT_EQ(PH_JNI(ResetDevice)(jni_.env(), nullptr, handle_, 0), kNotAvailable);
         }},
        {"IOCtl read of property 6", "DCX_GetProperty",
         [this] {
             IoResult r = IOCtl(kGetProperty6, std::nullopt, 0, Blank(8), 8);
             EXPECT_EQ(r.result, kNotAvailable);
             EXPECT_EQ(r.count, 0);
             EXPECT_EQ(r.output, Blank(8));
         }},
        {"IOCtl write of property 6", "DCX_SetProperty",
         [this] {
             IoResult r = IOCtl(kSetProperty6, Bytes(8, 1), 8, std::nullopt, 0);
             EXPECT_EQ(r.result, kNotAvailable);
             EXPECT_EQ(r.count, 0);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fresh(SimRootWithout(c.missing));
        c.check();
        EXPECT_TRUE(SimLog().empty()) << testing::PrintToString(SimLog());
    }
}

// Java's lengths are not consulted for the two property codes: the arrays' own sizes are.
TEST_F(PortControl, IOCtlCarriesProperty6LittleEndianBothWays) {
    VSim_SetProperty("COM1", 1, 6, 0x0102030405060708);
    IoResult read = IOCtl(kGetProperty6, std::nullopt, -7, Blank(10), 0);
    EXPECT_EQ(read.result, 0);
    EXPECT_EQ(read.count, 8);
    EXPECT_EQ(read.output, (Bytes{8, 7, 6, 5, 4, 3, 2, 1, kUntouchedByte, kUntouchedByte}));

    IoResult write = IOCtl(kSetProperty6, Bytes{0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 9},
                           -1, std::nullopt, 3);
    EXPECT_EQ(write.result, 0);
    EXPECT_EQ(write.count, 0);
    EXPECT_EQ(SimLog(), (Log{"DCX_GetProperty(P1, 6)", "DCX_SetProperty(P1, 3, 6, -2)"}));

    // What was written is what the port's property 6 now holds.
    jlongArray holder = jni_.NewLongArray({0});
    EXPECT_EQ(PH_JNI(GetProperty)(jni_.env(), nullptr, handle_, 6, holder), 0);
    EXPECT_EQ(jni_.Longs(holder), std::vector<int64_t>{-2});
}

TEST_F(PortControl, FailedProperty6RequestReportsCountZeroAndLeavesTheOutput) {
    VSim_SetResult("DCX_GetProperty", kFailure);
    VSim_SetResult("DCX_SetProperty", kFailure);
    IoResult read = IOCtl(kGetProperty6, std::nullopt, 0, Blank(8), 8);
    EXPECT_EQ(read.result, kFailureSeen);
    EXPECT_EQ(read.count, 0);
    EXPECT_EQ(read.output, Blank(8));
    IoResult write = IOCtl(kSetProperty6, Bytes(8, 0), 8, Blank(8), 8);
    EXPECT_EQ(write.result, kFailureSeen);
    EXPECT_EQ(write.count, 0);
    EXPECT_EQ(write.output, Blank(8));
    EXPECT_EQ(SimLog(), (Log{"DCX_GetProperty(P1, 6)", "DCX_SetProperty(P1, 3, 6, 0)"}));
}

// Eight bytes must exist where the value is read or written, whatever lengths Java states.
TEST_F(PortControl, Property6RequestWithoutEightBytesIsRefusedUnasked) {
    struct Case {
        const char* what;
        jint code;
        std::optional<Bytes> input;
        std::optional<Bytes> output;
    };
    const Case cases[] = {
        {"read without output", kGetProperty6, Bytes(8, 1), std::nullopt},
        {"read into 7 bytes", kGetProperty6, Bytes(8, 1), Blank(7)},
        {"write without input", kSetProperty6, std::nullopt, Blank(8)},
        {"write from 7 bytes", kSetProperty6, Bytes(7, 1), Blank(8)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        IoResult r = IOCtl(c.code, c.input, 8, c.output, 8);
        EXPECT_EQ(r.result, kParameter);
        EXPECT_EQ(r.count, 0);
        EXPECT_EQ(r.output, c.output.value_or(Bytes{}));
    }
    EXPECT_TRUE(SimLog().empty()) << testing::PrintToString(SimLog());
}

// Not supported by the property service: the same request, with Java's own arrays and
// lengths, goes to the extension entry, whose result and count Java then receives.
TEST_F(PortControl, NotSupportedPropertyRequestFallsThroughToExtendFunction) {
    VSim_SetResult("DCX_GetProperty", kNotSupported);
    VSim_SetResult("DCX_SetProperty", kNotSupported);
    IoResult read = IOCtl(kGetProperty6, Of("abc"), 3, Blank(8), 8);
    EXPECT_EQ(read.result, 0);
    EXPECT_EQ(read.count, 3);  // the simulator echoes min(input, output) bytes
    EXPECT_EQ(read.output, (Bytes{'a', 'b', 'c', 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));

    IoResult write = IOCtl(kSetProperty6, Bytes{1, 0, 0, 0, 0, 0, 0, 0}, 8, Blank(4), 4);
    EXPECT_EQ(write.result, 0);
    EXPECT_EQ(write.count, 4);
    EXPECT_EQ(write.output, (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(SimLog(),
              (Log{"DCX_GetProperty(P1, 6)", "DCX_ExtendFunction(P1, 3, 0x40040002, 3, 8)",
                   "DCX_SetProperty(P1, 3, 6, 1)", "DCX_ExtendFunction(P1, 3, 0x60040002, 8, 4)"}));
}

TEST_F(PortControl, UnservedCodeReachesExtendFunctionWithJavasArraysAndLengths) {
    struct Case {
        jint code;
        const char* logged;
    };
    const Case cases[] = {
        {0x12345678, "DCX_ExtendFunction(P1, 3, 0x12345678, 5, 3)"},
        {0x4007000C, "DCX_ExtendFunction(P1, 3, 0x4007000C, 5, 3)"},  // beside the custom codes
        {static_cast<jint>(0xC0000001), "DCX_ExtendFunction(P1, 3, 0xC0000001, 5, 3)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logged);
        VSim_LogClear();
        IoResult r = IOCtl(c.code, Of("hello"), 5, Blank(4), 3);
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.count, 3);
        EXPECT_EQ(r.output, (Bytes{'h', 'e', 'l', kUntouchedByte}));
        EXPECT_EQ(SimLog(), Log{c.logged});
    }

    // A failure is translated; the count is the service's (it sets 0 when failing).
    VSim_SetResult("DCX_ExtendFunction", kFailure);
    IoResult failed = IOCtl(0x12345678, Of("hello"), 5, Blank(4), 4);
    EXPECT_EQ(failed.result, kFailureSeen);
    EXPECT_EQ(failed.count, 0);
    EXPECT_EQ(failed.output, Blank(4));
}

// The service must never be sent outside a Java array: a length that is negative, beyond the
// array, or non-zero without an array is refused before it is asked.
TEST_F(PortControl, ExtendFunctionIsNeverHandedLengthsOutsideTheArrays) {
    struct Case {
        const char* what;
        std::optional<Bytes> input;
        jint inputLength;
        std::optional<Bytes> output;
        jint outputLength;
        bool asked;
    };
    const Case cases[] = {
        {"negative input length", Of("abcd"), -1, Blank(4), 4, false},
        {"input length beyond the array", Of("abcd"), 5, Blank(4), 4, false},
        {"input length without an array", std::nullopt, 1, Blank(4), 4, false},
        {"negative output length", Of("abcd"), 4, Blank(4), -1, false},
        {"output length beyond the array", Of("abcd"), 4, Blank(4), 5, false},
        {"output length without an array", Of("abcd"), 4, std::nullopt, 1, false},
        {"both arrays exactly full", Of("abcd"), 4, Blank(4), 4, true},
        {"no arrays and no lengths", std::nullopt, 0, std::nullopt, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        VSim_LogClear();
        IoResult r = IOCtl(0x12345678, c.input, c.inputLength, c.output, c.outputLength);
        EXPECT_EQ(r.result, c.asked ? 0 : kParameter);
        EXPECT_EQ(r.count, c.asked ? std::min(c.inputLength, c.outputLength) : 0);
        EXPECT_EQ(SimLog().size(), c.asked ? 1u : 0u) << testing::PrintToString(SimLog());
    }
}

TEST_F(PortControl, MissingExtendFunctionStillReportsTheCountAndReleasesEverything) {
    Fresh(SimRootWithout("DCX_ExtendFunction"));
    IoResult r = IOCtl(0x12345678, Of("abc"), 3, Blank(4), 4);
    EXPECT_EQ(r.result, kNotAvailable);
    EXPECT_EQ(r.count, 0);
    EXPECT_EQ(r.output, Blank(4));
    EXPECT_EQ(jni_.Calls("Elements"),
              (Log{"GetByteArrayElements(in)", "GetByteArrayElements(out)",
                   "GetIntArrayElements(count)", "ReleaseIntArrayElements(count)",
                   "ReleaseByteArrayElements(out)", "ReleaseByteArrayElements(in)"}));
    EXPECT_TRUE(SimLog().empty());
}

TEST_F(PortControl, CountHolderIsOptionalButNeverEmpty) {
    jbyteArray out = jni_.NewByteArray(Blank(2));
    EXPECT_EQ(PH_JNI(IOCtl)(jni_.env(), nullptr, handle_, 0x12345678, jni_.NewByteArray("xy"), 2,
                            out, 2, nullptr),
              0);
    EXPECT_EQ(jni_.Bytes(out), Of("xy"));
    EXPECT_EQ(SimLog(), Log{"DCX_ExtendFunction(P1, 3, 0x12345678, 2, 2)"});

    VSim_LogClear();
    EXPECT_EQ(PH_JNI(IOCtl)(jni_.env(), nullptr, handle_, 0x12345678, jni_.NewByteArray("xy"), 2,
                            jni_.NewByteArray(Blank(2)), 2, jni_.NewIntArray({})),
              kParameter);
    EXPECT_TRUE(SimLog().empty());
    EXPECT_EQ(jni_.OutstandingPins(), 0);
}

// An array the JVM cannot pin refuses the request before anyone is asked; what was pinned is
// given back and the count holder is not written.
TEST_F(PortControl, IOCtlWhoseArraysCannotBePinnedAsksNobody) {
    for (int failing : {1, 2, 3}) {
        SCOPED_TRACE("pin " + std::to_string(failing));
        jni_.FailPin(failing);
        IoResult r = IOCtl(0x12345678, Of("abc"), 3, Blank(4), 4);
        EXPECT_EQ(r.result, kParameter);
        EXPECT_EQ(r.count, kCountUntouched);
        EXPECT_EQ(r.output, Blank(4));
    }
    EXPECT_TRUE(SimLog().empty());
}

// The input is the key and the output the value, for the port's own service URL and name.
TEST_F(PortControl, CustomValuesTravelThroughIOCtl) {
    IoResult set = IOCtl(CUSTOM_VALUE_SET_STRING, Of("name"), 4, Of("abc"), 3);
    EXPECT_EQ(set.result, 0);
    EXPECT_EQ(set.count, 0);
    Bytes stored(8, 0);
    ASSERT_EQ(VSim_GetCustomBytes("svc", "COM1", "name", stored.data(), 8), 3);
    EXPECT_EQ(Bytes(stored.begin(), stored.begin() + 3), Of("abc"));

    IoResult get = IOCtl(CUSTOM_VALUE_GET_STRING, Of("name"), 4, Blank(6), 6);
    EXPECT_EQ(get.result, 0);
    EXPECT_EQ(get.count, 3);
    EXPECT_EQ(Bytes(get.output.begin(), get.output.begin() + 3), Of("abc"));

    IoResult absent = IOCtl(CUSTOM_VALUE_GET_NUMBER, Of("none"), 4, Blank(4), 4);
    EXPECT_EQ(absent.result, -10);  // the configuration library's "no such value"
    EXPECT_EQ(absent.count, 0);

    EXPECT_EQ(SimLog(), (Log{"DCX_SetCustomValueString(svc, COM1, name, abc)",
                             "DCX_GetCustomValueString(svc, COM1, name, 6)",
                             "DCX_GetCustomValueNumber(svc, COM1, none)"}));
}

// A port opened without a service URL keeps none: the configuration library is asked with
// none.
TEST_F(PortControl, CustomValuesOfAPortWithoutServiceURL) {
    const jlong handle = OpenPort("COM2", nullptr);
    VSim_SetCustomNumber(nullptr, "COM2", "n", 0x01020304);
    VSim_LogClear();
    IoResult r = IOCtl(CUSTOM_VALUE_GET_NUMBER, Of("n"), 1, Blank(4), 4, handle);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.count, 4);
    EXPECT_EQ(r.output, (Bytes{4, 3, 2, 1}));
    EXPECT_EQ(SimLog(), Log{"DCX_GetCustomValueNumber((null), COM2, n)"});
}

}  // namespace
