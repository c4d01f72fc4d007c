#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bridge/VarnelPHCSAPI.h"
#include "service/CustomValueIOCtrl.h"
#include "support/SimLibrary.h"

namespace {

constexpr const char* kURL = "svc://cv";
constexpr const char* kPort = "COM7";
constexpr uint8_t kUntouched = 0xEE;
constexpr uint32_t kCountUntouched = 0xDEADBEEF;

using Bytes = std::vector<uint8_t>;

Bytes Of(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// A Java array as the bridge hands it over: an exact-size heap block, so any access past its
// end is a heap overflow the sanitizer build reports.
class JavaArray {
  public:
    explicit JavaArray(const Bytes& bytes) : size_(bytes.size()), data_(new uint8_t[size_]) {
        if (size_ > 0) std::memcpy(data_.get(), bytes.data(), size_);
    }
    static JavaArray Blank(size_t size) { return JavaArray(Bytes(size, kUntouched)); }

    PinnedBytes pinned() const { return {data_.get(), static_cast<int32_t>(size_)}; }
    Bytes bytes() const { return Bytes(data_.get(), data_.get() + size_); }

  private:
    size_t size_;
    std::unique_ptr<uint8_t[]> data_;
};

// Leaves the process-wide binding as at process start, whatever an earlier test (or another
// unit's test that opened ports) left behind: no reference, no library, no pointers.
void ForgetBinding() {
    while (CustomValueIOReferences() > 0) TerminateCustomValueIO();
    FreeLibrary(hPortConfig.exchange(nullptr));
    funcGetCustomValueNumber = nullptr;
    funcGetCustomValueString = nullptr;
    funcGetCustomValueBinary = nullptr;
    funcSetCustomValueNumber = nullptr;
    funcSetCustomValueString = nullptr;
    funcSetCustomValueBinary = nullptr;
}

// Each binding pointer beside the name it must be resolved from.
std::vector<std::pair<std::string, void*>> BoundPointers() {
    return {
        {"DCX_GetCustomValueNumber", reinterpret_cast<void*>(funcGetCustomValueNumber.load())},
        {"DCX_GetCustomValueString", reinterpret_cast<void*>(funcGetCustomValueString.load())},
        {"DCX_GetCustomValueBinary", reinterpret_cast<void*>(funcGetCustomValueBinary.load())},
        {"DCX_SetCustomValueNumber", reinterpret_cast<void*>(funcSetCustomValueNumber.load())},
        {"DCX_SetCustomValueString", reinterpret_cast<void*>(funcSetCustomValueString.load())},
        {"DCX_SetCustomValueBinary", reinterpret_cast<void*>(funcSetCustomValueBinary.load())},
    };
}

struct Request {
    int32_t code;
    const char* what;
};

const Request kSixRequests[] = {
    {CUSTOM_VALUE_GET_BINARY, "get binary"}, {CUSTOM_VALUE_GET_NUMBER, "get number"},
    {CUSTOM_VALUE_GET_STRING, "get string"}, {CUSTOM_VALUE_SET_BINARY, "set binary"},
    {CUSTOM_VALUE_SET_NUMBER, "set number"}, {CUSTOM_VALUE_SET_STRING, "set string"},
};

// Nothing bound yet: the state a process starts in.
class UnboundCustomValues : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        ForgetBinding();
    }
    void TearDown() override {
        ForgetBinding();
        SimTest::TearDown();
    }

    // A well-formed request with the key "k" and a 4-byte value, for tests about the binding.
    DCXRESULT Ask(int32_t code) {
        JavaArray key(Of("k")), value(Of("abcd"));
        return CustomValueIOCtrl(kURL, kPort, code, key.pinned(), 1, value.pinned(), 4, &count_);
    }

    uint32_t count_ = kCountUntouched;
};

// One reference taken, as by one open port.
class BoundCustomValues : public UnboundCustomValues {
  protected:
    void SetUp() override {
        UnboundCustomValues::SetUp();
        ASSERT_EQ(InitializeCustomValueIO(), 0u);
        VSim_LogClear();
    }

    DCXRESULT Call(int32_t code, const JavaArray& key, int32_t keyLength, const JavaArray& value,
                   int32_t valueLength, const char* url = kURL) {
        return CustomValueIOCtrl(url, kPort, code, key.pinned(), keyLength, value.pinned(),
                                 valueLength, &count_);
    }
};

TEST_F(BoundCustomValues, GetNumberCopiesUpToFourBytesLeastSignificantFirst) {
    VSim_SetCustomNumber(kURL, kPort, "n", 0x01020304);
    struct Case {
        int32_t outputLength;
        size_t arraySize;
        Bytes expected;
    };
    const Case cases[] = {
        {0, 0, {}},
        {2, 4, {0x04, 0x03, kUntouched, kUntouched}},
        {8, 4, {0x04, 0x03, 0x02, 0x01}},  // only the 4 bytes copied need to exist
        {-1, 4, {0x04, 0x03, 0x02, 0x01}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("output length " + std::to_string(c.outputLength));
        JavaArray output = JavaArray::Blank(c.arraySize);
        count_ = kCountUntouched;
        ASSERT_EQ(Call(CUSTOM_VALUE_GET_NUMBER, JavaArray(Of("n")), 1, output, c.outputLength), 0u);
        EXPECT_EQ(output.bytes(), c.expected);
        EXPECT_EQ(count_, std::min<uint32_t>(static_cast<uint32_t>(c.outputLength), 4));
    }
    EXPECT_EQ(SimLogOf({"DCX_GetCustomValueNumber"}).size(), 4u);
    EXPECT_EQ(SimLog().front(), "DCX_GetCustomValueNumber(svc://cv, COM7, n)");
}

TEST_F(BoundCustomValues, GetStringAndBinaryHandTheCapacityInAndTheLengthBack) {
    VSim_SetCustomBytes(kURL, kPort, "s", Of("hello").data(), 5);
    VSim_SetCustomBytes(kURL, kPort, "b", Bytes{0x00, 0xFF, 0x7F}.data(), 3);

    JavaArray text = JavaArray::Blank(8);
    ASSERT_EQ(Call(CUSTOM_VALUE_GET_STRING, JavaArray(Of("s")), 1, text, 8), 0u);
    EXPECT_EQ(text.bytes(), (Bytes{'h', 'e', 'l', 'l', 'o', 0, kUntouched, kUntouched}));
    EXPECT_EQ(count_, 5u);

    JavaArray binary = JavaArray::Blank(3);
    ASSERT_EQ(Call(CUSTOM_VALUE_GET_BINARY, JavaArray(Of("b")), 1, binary, 3), 0u);
    EXPECT_EQ(binary.bytes(), (Bytes{0x00, 0xFF, 0x7F}));
    EXPECT_EQ(count_, 3u);

    EXPECT_EQ(SimLog(), (std::vector<std::string>{
                            "DCX_GetCustomValueString(svc://cv, COM7, s, 8)",
                            "DCX_GetCustomValueBinary(svc://cv, COM7, b, 3)",
                        }));
}

TEST_F(BoundCustomValues, GetOfAnEmptyValueNeedsNoOutputArray) {
    VSim_SetCustomBytes(kURL, kPort, "empty", nullptr, 0);
    ASSERT_EQ(CustomValueIOCtrl(kURL, kPort, CUSTOM_VALUE_GET_BINARY,
                                JavaArray(Of("empty")).pinned(), 5, PinnedBytes{}, 0, &count_),
              0u);
    EXPECT_EQ(count_, 0u);
    EXPECT_EQ(SimLog(),
              std::vector<std::string>{"DCX_GetCustomValueBinary(svc://cv, COM7, empty, 0)"});
}

TEST_F(BoundCustomValues, SetsHandTheValueOverAndLeaveTheCountAlone) {
    // The Java arrays carry no terminator: a set string that passed them on as they are would
    // let the library read past their end.
    ASSERT_EQ(Call(CUSTOM_VALUE_SET_STRING, JavaArray(Of("s")), 1, JavaArray(Of("abc")), 3), 0u);
    ASSERT_EQ(Call(CUSTOM_VALUE_SET_STRING, JavaArray(Of("t")), 1, JavaArray(Of("abcdef")), 2), 0u);
    ASSERT_EQ(Call(CUSTOM_VALUE_SET_BINARY, JavaArray(Of("b")), 1, JavaArray({1, 0, 2, 9}), 3), 0u);
    ASSERT_EQ(Call(CUSTOM_VALUE_SET_BINARY, JavaArray(Of("e")), 1, JavaArray({5}), 0), 0u);
    // The output length does not matter to set number: its value is the first 4 bytes.
    ASSERT_EQ(Call(CUSTOM_VALUE_SET_NUMBER, JavaArray(Of("n")), 1, JavaArray({4, 3, 2, 1, 9}), 0),
              0u);
    EXPECT_EQ(count_, kCountUntouched);

    EXPECT_EQ(SimLog(), (std::vector<std::string>{
                            "DCX_SetCustomValueString(svc://cv, COM7, s, abc)",
                            "DCX_SetCustomValueString(svc://cv, COM7, t, ab)",
                            "DCX_SetCustomValueBinary(svc://cv, COM7, b, 3)",
                            "DCX_SetCustomValueBinary(svc://cv, COM7, e, 0)",
                            "DCX_SetCustomValueNumber(svc://cv, COM7, n, 16909060)",
                        }));
    uint8_t stored[8];
    ASSERT_EQ(VSim_GetCustomBytes(kURL, kPort, "s", stored, sizeof stored), 3);
    EXPECT_EQ(Bytes(stored, stored + 3), Of("abc"));
    ASSERT_EQ(VSim_GetCustomBytes(kURL, kPort, "b", stored, sizeof stored), 3);
    EXPECT_EQ(Bytes(stored, stored + 3), (Bytes{1, 0, 2}));
    EXPECT_EQ(VSim_GetCustomBytes(kURL, kPort, "e", stored, sizeof stored), 0);

    JavaArray number = JavaArray::Blank(4);
    ASSERT_EQ(Call(CUSTOM_VALUE_GET_NUMBER, JavaArray(Of("n")), 1, number, 4), 0u);
    EXPECT_EQ(number.bytes(), (Bytes{4, 3, 2, 1}));
}

TEST_F(BoundCustomValues, KeyIsAZeroTerminatedCopyOfInputLengthBytes) {
    VSim_SetCustomNumber(kURL, kPort, "ab", 7);
    VSim_SetCustomNumber(kURL, kPort, "", 8);
    struct Case {
        std::string array;
        int32_t length;
        uint8_t value;
    };
    const Case cases[] = {
        {std::string("ab\0cd", 5), 5, 7},  // cut at the 0 byte
        {"abc", 2, 7},                     // cut at the length, no terminator in the array
        {"ab", 2, 7},
        {"xyz", 0, 8},  // the empty key
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.array + " / " + std::to_string(c.length));
        JavaArray output = JavaArray::Blank(1);
        ASSERT_EQ(Call(CUSTOM_VALUE_GET_NUMBER, JavaArray(Of(c.array)), c.length, output, 1), 0u);
        EXPECT_EQ(output.bytes(), Bytes{c.value});
    }
    EXPECT_EQ(SimLog().back(), "DCX_GetCustomValueNumber(svc://cv, COM7, )");
}

TEST_F(BoundCustomValues, ServiceURLAndPortNamePassThrough) {
    VSim_SetCustomNumber(nullptr, kPort, "k", 1);
    JavaArray output = JavaArray::Blank(4);
    ASSERT_EQ(Call(CUSTOM_VALUE_GET_NUMBER, JavaArray(Of("k")), 1, output, 4, nullptr), 0u);
    EXPECT_EQ(output.bytes(), (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(SimLog(), std::vector<std::string>{"DCX_GetCustomValueNumber((null), COM7, k)"});
}

TEST_F(BoundCustomValues, LibraryFailuresComeBackUnchangedWithoutACount) {
    VSim_SetCustomNumber(kURL, kPort, "k", 0x01020304);
    VSim_SetCustomBytes(kURL, kPort, "k", Of("value").data(), 5);
    const std::pair<int32_t, const char*> requests[] = {
        {CUSTOM_VALUE_GET_BINARY, "DCX_GetCustomValueBinary"},
        {CUSTOM_VALUE_GET_NUMBER, "DCX_GetCustomValueNumber"},
        {CUSTOM_VALUE_GET_STRING, "DCX_GetCustomValueString"},
        {CUSTOM_VALUE_SET_BINARY, "DCX_SetCustomValueBinary"},
        {CUSTOM_VALUE_SET_NUMBER, "DCX_SetCustomValueNumber"},
        {CUSTOM_VALUE_SET_STRING, "DCX_SetCustomValueString"},
    };
    for (const auto& [code, function] : requests) {
        SCOPED_TRACE(function);
        VSim_ClearResults();
        VSim_SetResult(function, 0x80001234);
        VSim_LogClear();
        JavaArray output = JavaArray::Blank(8);
        EXPECT_EQ(Call(code, JavaArray(Of("k")), 1, output, 8), 0x80001234u);
        EXPECT_EQ(count_, kCountUntouched);
        EXPECT_EQ(output.bytes(), Bytes(8, kUntouched));
        EXPECT_EQ(SimLogOf({function}).size(), 1u);
    }
    // A failure the library reports on its own: the string needs 6 bytes with its terminator.
    VSim_ClearResults();
    JavaArray small = JavaArray::Blank(3);
    EXPECT_EQ(Call(CUSTOM_VALUE_GET_STRING, JavaArray(Of("k")), 1, small, 3),
              DCX_ERR_BUFFER_OVERFLOW);
    EXPECT_EQ(count_, kCountUntouched);
    EXPECT_EQ(Call(CUSTOM_VALUE_GET_BINARY, JavaArray(Of("absent")), 6, small, 3), 0x8000000Bu);
    EXPECT_EQ(count_, kCountUntouched);
}

TEST_F(BoundCustomValues, OtherCodesAreNotSupportedAndReachNothing) {
    for (int32_t code : {0x4007000C, 0x40070008, 0x60070010, 0x40040002, 0x60040002, 0, -1}) {
        SCOPED_TRACE(code);
        JavaArray output = JavaArray::Blank(4);
        EXPECT_EQ(Call(code, JavaArray(Of("k")), 1, output, 4), DCX_ERR_NOT_SUPPORTED);
        EXPECT_EQ(output.bytes(), Bytes(4, kUntouched));
    }
    EXPECT_EQ(count_, kCountUntouched);
    EXPECT_TRUE(SimLog().empty());
}

// Requests whose lengths do not fit Java's arrays, each with exact-size arrays (or none).
TEST_F(BoundCustomValues, RequestsOutsideTheArraysAreRefusedBeforeTheLibrary) {
    struct Case {
        const char* what;
        int32_t code;
        int keyArray;  // bytes of the key array, -1 for none
        int32_t keyLength;
        int valueArray;  // bytes of the output array, -1 for none
        int32_t valueLength;
    };
    const Case cases[] = {
        {"negative key length", CUSTOM_VALUE_GET_NUMBER, 2, -1, 4, 4},
        {"key beyond its array", CUSTOM_VALUE_SET_NUMBER, 2, 3, 4, 4},
        {"key without an array", CUSTOM_VALUE_GET_STRING, -1, 1, 4, 4},
        {"huge key", CUSTOM_VALUE_SET_BINARY, 2, 0x7FFFFFFF, 4, 4},
        {"negative string capacity", CUSTOM_VALUE_GET_STRING, 1, 1, 4, -1},
        {"string capacity beyond array", CUSTOM_VALUE_GET_STRING, 1, 1, 4, 5},
        {"string capacity without array", CUSTOM_VALUE_GET_STRING, 1, 1, -1, 1},
        {"negative binary capacity", CUSTOM_VALUE_GET_BINARY, 1, 1, 4, -4},
        {"binary capacity beyond array", CUSTOM_VALUE_GET_BINARY, 1, 1, 0, 1},
        {"binary capacity without array", CUSTOM_VALUE_GET_BINARY, 1, 1, -1, 2},
        {"negative set string length", CUSTOM_VALUE_SET_STRING, 1, 1, 4, -1},
        {"set string beyond array", CUSTOM_VALUE_SET_STRING, 1, 1, 3, 4},
        {"set string without array", CUSTOM_VALUE_SET_STRING, 1, 1, -1, 1},
        {"negative set binary length", CUSTOM_VALUE_SET_BINARY, 1, 1, 4, -1},
        {"set binary beyond array", CUSTOM_VALUE_SET_BINARY, 1, 1, 3, 4},
        {"set binary without array", CUSTOM_VALUE_SET_BINARY, 1, 1, -1, 1},
        {"set number from 3 bytes", CUSTOM_VALUE_SET_NUMBER, 1, 1, 3, 4},
        {"set number without array", CUSTOM_VALUE_SET_NUMBER, 1, 1, -1, 0},
        {"get number of 3 into 2", CUSTOM_VALUE_GET_NUMBER, 1, 1, 2, 3},
        {"get number of -1 into 3", CUSTOM_VALUE_GET_NUMBER, 1, 1, 3, -1},
        {"get number of 8 into 3", CUSTOM_VALUE_GET_NUMBER, 1, 1, 3, 8},
        {"get number without array", CUSTOM_VALUE_GET_NUMBER, 1, 1, -1, 1},
    };
    VSim_SetCustomNumber(kURL, kPort, "k", 1);
    VSim_SetCustomBytes(kURL, kPort, "k", Of("v").data(), 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        JavaArray key(Of(std::string(c.keyArray > 0 ? c.keyArray : 0, 'k')));
        JavaArray value = JavaArray::Blank(c.valueArray > 0 ? c.valueArray : 0);
        EXPECT_EQ(
            CustomValueIOCtrl(kURL, kPort, c.code, c.keyArray < 0 ? PinnedBytes{} : key.pinned(),
                              c.keyLength, c.valueArray < 0 ? PinnedBytes{} : value.pinned(),
                              c.valueLength, &count_),
            DCX_ERR_PARAMETER);
        EXPECT_EQ(value.bytes(), Bytes(value.bytes().size(), kUntouched));
        EXPECT_EQ(count_, kCountUntouched);
    }
    EXPECT_TRUE(SimLog().empty());
}

TEST_F(UnboundCustomValues, RequestsWhileNothingIsBoundAreRefused) {
    for (const Request& r : kSixRequests) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(Ask(r.code), DCX_ERR_NOT_AVAILABLE);
    }
    EXPECT_EQ(count_, kCountUntouched);
    EXPECT_TRUE(SimLog().empty());
}

TEST_F(UnboundCustomValues, EachInitializeResolvesTheSixFunctionsByName) {
    ASSERT_EQ(InitializeCustomValueIO(), 0u);
    const HMODULE library = hPortConfig;
    ASSERT_NE(library, nullptr);
    for (const auto& [name, pointer] : BoundPointers()) {
        EXPECT_EQ(pointer, dlsym(library, name.c_str())) << name;
    }
    // The second open loads nothing but resolves all six again.
    funcGetCustomValueNumber = nullptr;
    funcSetCustomValueBinary = nullptr;
    ASSERT_EQ(InitializeCustomValueIO(), 0u);
    EXPECT_EQ(hPortConfig, library);
    for (const auto& [name, pointer] : BoundPointers()) {
        EXPECT_EQ(pointer, dlsym(library, name.c_str())) << name;
    }
    EXPECT_TRUE(SimLog().empty());  // the service sees nothing of the binding
}

TEST_F(UnboundCustomValues, LibraryStaysLoadedUntilTheLastReferenceIsGivenBack) {
    VSim_SetCustomNumber(kURL, kPort, "k", 5);
    ASSERT_EQ(InitializeCustomValueIO(), 0u);  // first port
    ASSERT_EQ(InitializeCustomValueIO(), 0u);  // second port
    TerminateCustomValueIO();                  // first port closes
    EXPECT_NE(hPortConfig, nullptr);
    EXPECT_EQ(Ask(CUSTOM_VALUE_GET_NUMBER), 0u);
    EXPECT_EQ(count_, 4u);

    TerminateCustomValueIO();  // second port closes
    EXPECT_EQ(hPortConfig, nullptr);
    EXPECT_EQ(CustomValueIOReferences(), 0u);
    VSim_LogClear();
    for (const Request& r : kSixRequests) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(Ask(r.code), DCX_ERR_NOT_AVAILABLE);
    }
    EXPECT_TRUE(SimLog().empty());

    // The next open binds again.
    ASSERT_EQ(InitializeCustomValueIO(), 0u);
    EXPECT_NE(hPortConfig, nullptr);
    EXPECT_EQ(Ask(CUSTOM_VALUE_GET_NUMBER), 0u);
}

TEST_F(UnboundCustomValues, TerminateWithoutAReferenceDoesNotUnderflow) {
    TerminateCustomValueIO();
    TerminateCustomValueIO();
    EXPECT_EQ(CustomValueIOReferences(), 0u);
    ASSERT_EQ(InitializeCustomValueIO(), 0u);
    EXPECT_EQ(CustomValueIOReferences(), 1u);
    TerminateCustomValueIO();
    EXPECT_EQ(hPortConfig, nullptr);
    EXPECT_EQ(Ask(CUSTOM_VALUE_GET_NUMBER), DCX_ERR_NOT_AVAILABLE);
}

TEST_F(UnboundCustomValues, MissingLibraryBindsNothing) {
    UseInstallRoot("/nonexistent-varnel-root");
    EXPECT_EQ(InitializeCustomValueIO(), DCX_ERR_NOT_AVAILABLE);
    EXPECT_EQ(hPortConfig, nullptr);
    EXPECT_EQ(CustomValueIOReferences(), 0u);
    for (const auto& [name, pointer] : BoundPointers()) EXPECT_EQ(pointer, nullptr) << name;

    // Nothing was held, so the next open loads from the root then in force.
    UseInstallRoot(SimRoot());
    EXPECT_EQ(InitializeCustomValueIO(), 0u);
    EXPECT_EQ(CustomValueIOReferences(), 1u);
}

TEST_F(UnboundCustomValues, MissingFunctionFailsButKeepsTheLibraryAndTheOtherFive) {
    for (const auto& [missing, unused] : BoundPointers()) {
        SCOPED_TRACE(missing);
        ForgetBinding();
        UseInstallRoot(SimRootWithout(missing));
        EXPECT_EQ(InitializeCustomValueIO(), DCX_ERR_NOT_AVAILABLE);
        const HMODULE library = hPortConfig;
        ASSERT_NE(library, nullptr);
        EXPECT_EQ(CustomValueIOReferences(), 0u);
        // Every name is looked up, also those after the missing one.
        for (const auto& [name, pointer] : BoundPointers()) {
            if (name == missing) {
                EXPECT_EQ(pointer, nullptr);
            } else {
                EXPECT_EQ(pointer, dlsym(library, name.c_str())) << name;
            }
        }
        EXPECT_EQ(Ask(CUSTOM_VALUE_GET_NUMBER), DCX_ERR_NOT_AVAILABLE);

        // The held library is used again rather than one from the new root.
        UseInstallRoot(SimRoot());
        EXPECT_EQ(InitializeCustomValueIO(), DCX_ERR_NOT_AVAILABLE);
        EXPECT_EQ(hPortConfig, library);
        EXPECT_EQ(CustomValueIOReferences(), 0u);
    }
    EXPECT_TRUE(SimLog().empty());
}

}  // namespace
