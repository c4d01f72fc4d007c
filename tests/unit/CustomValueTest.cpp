// Custom values: Java's bytes to the configuration library's arguments and back for the six
// request codes, lengths refused before the library is asked, and the binding ports share.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "bridge/VarnelPHCSAPI.h"
#include "service/CustomValueIOCtrl.h"
#include "support/OpenPort.h"

namespace {

using namespace std::string_literals;
using Bytes = std::vector<uint8_t>;
constexpr uint8_t kE = 0xEE;  // an output byte not written
constexpr uint32_t kNoCount = 0xDEADBEEF;
const std::map<int32_t, std::string> kFunctions = {
    {CUSTOM_VALUE_GET_BINARY, "GetCustomValueBinary"},
    {CUSTOM_VALUE_GET_NUMBER, "GetCustomValueNumber"},
    {CUSTOM_VALUE_GET_STRING, "GetCustomValueString"},
    {CUSTOM_VALUE_SET_BINARY, "SetCustomValueBinary"},
    {CUSTOM_VALUE_SET_NUMBER, "SetCustomValueNumber"},
    {CUSTOM_VALUE_SET_STRING, "SetCustomValueString"}};

const auto Of = [](const std::string& bytes) { return Bytes(bytes.begin(), bytes.end()); };

// A fresh process whose binding one open port holds, and values stored for port COM7.
class CustomValues : public NativePortTest {
  protected:
    void SetUp() override {
        NativePortTest::SetUp();
        ASSERT_EQ(InitializeCustomValueIO(), 0u);
        VSim_SetCustomNumber("cv", "COM7", "n", 0x01020304);
        VSim_SetCustomNumber("cv", "COM7", "", 8);
        VSim_SetCustomBytes("cv", "COM7", "s", reinterpret_cast<const uint8_t*>("hello"), 5);
    }
    // Exact-size arrays (empty: none), so AddressSanitizer sees a byte touched outside them.
    DCXRESULT Call(int32_t code, Bytes key, int32_t keyLength, Bytes& value, int32_t length) {
        count_ = kNoCount;
        VSim_LogClear();
        return CustomValueIOCtrl("cv", "COM7", code, {key.data(), int32_t(key.size())}, keyLength,
                                 {value.data(), int32_t(value.size())}, length, &count_);
    }
    uint32_t count_ = kNoCount;
};

// Each row: code, key, key length, value (a get's array after the call, all 0xEE before; a
// set's array), value length, count after, the library call's arguments after URL and port.
TEST_F(CustomValues, RequestsCarryKeysValuesAndLengthsBetweenJavaAndTheLibrary) {
    const std::tuple<int32_t, std::string, int32_t, std::string, int32_t, uint32_t, std::string>
        rows[] = {
            // A number travels least significant byte first, at most 4 bytes of it.
            {CUSTOM_VALUE_GET_NUMBER, "n", 1, "\4\3\xEE\xEE", 2, 2, "n"},
            {CUSTOM_VALUE_GET_NUMBER, "n", 1, "\4\3\2\1", -1, 4, "n"},
            {CUSTOM_VALUE_SET_NUMBER, "m", 1, "\4\3\2\1\x09", 0, kNoCount, "m, 16909060"},
            // The key is a terminated copy of keyLength bytes.
            {CUSTOM_VALUE_GET_NUMBER, "nx", 1, "\4", 1, 1, "n"},
            {CUSTOM_VALUE_GET_NUMBER, "x", 0, "\x08", 1, 1, ""},
            // Strings and binaries: the capacity goes in, the length comes back.
            {CUSTOM_VALUE_GET_STRING, "s", 1, "hello\0\xEE"s, 7, 5, "s, 7"},
            {CUSTOM_VALUE_SET_STRING, "t", 1, "abc", 2, kNoCount, "t, ab"},
            {CUSTOM_VALUE_SET_BINARY, "u", 1, "\1\0\2\x09"s, 3, kNoCount, "u, 3"},
            {CUSTOM_VALUE_SET_BINARY, "e", 1, "", 0, kNoCount, "e, 0"},
        };
    for (const auto& [code, key, keyLength, after, length, count, arguments] : rows) {
        const std::string call = "DCX_" + kFunctions.at(code) + "(cv, COM7, " + arguments + ")";
        Bytes value = kFunctions.at(code)[0] == 'S' ? Of(after) : Bytes(after.size(), kE);
        EXPECT_EQ(Call(code, Of(key), keyLength, value, length), 0u) << call;
        EXPECT_EQ(std::make_pair(value, count_), std::make_pair(Of(after), count)) << call;
        EXPECT_EQ(SimLog(), std::vector<std::string>{call});
    }
}

TEST_F(CustomValues, RequestsOutsideTheArraysOrUnknownAreRefusedBeforeTheLibrary) {
    // code, key array and length, value array and length; unknown codes are not supported
    const std::tuple<int32_t, size_t, int32_t, size_t, int32_t> rows[] = {
        {CUSTOM_VALUE_GET_NUMBER, 2, -1, 4, 4},    {CUSTOM_VALUE_SET_NUMBER, 2, 3, 4, 4},
        {CUSTOM_VALUE_GET_STRING, 0, 1, 4, 4},     {CUSTOM_VALUE_GET_STRING, 1, 1, 4, 5},
        {CUSTOM_VALUE_GET_BINARY, 1, 1, 4, -4},    {CUSTOM_VALUE_GET_BINARY, 1, 1, 0, 1},
        {CUSTOM_VALUE_SET_STRING, 1, 1, 3, 4},     {CUSTOM_VALUE_SET_BINARY, 1, 1, 4, -1},
        {CUSTOM_VALUE_SET_NUMBER, 1, 1, 3, 4},     {CUSTOM_VALUE_GET_NUMBER, 1, 1, 2, 3},
        {CUSTOM_VALUE_GET_NUMBER, 1, 1, 3, -1},    {CUSTOM_VALUE_GET_NUMBER + 2, 1, 1, 4, 4},
        {CUSTOM_VALUE_SET_STRING + 1, 1, 1, 4, 4},
    };
    for (auto [code, keySize, keyLength, size, length] : rows) {
        Bytes value(size, kE);
        EXPECT_EQ(Call(code, Bytes(keySize, 'n'), keyLength, value, length),
                  kFunctions.count(code) ? DCX_ERR_PARAMETER : DCX_ERR_NOT_SUPPORTED)
            << std::hex << code << std::dec << ", " << keyLength << ", " << length;
        EXPECT_EQ(std::make_pair(value, count_), std::make_pair(Bytes(size, kE), kNoCount));
        EXPECT_TRUE(SimLog().empty());
    }
}

// The last port to close unloads the library; a close too many changes nothing; a failed bind
// takes no reference but keeps what it loaded.
TEST_F(CustomValues, BindingLastsUntilTheLastPortGivesItsReferenceBack) {
    Bytes value(4, kE);
    ASSERT_EQ(InitializeCustomValueIO(), 0u);
    TerminateCustomValueIO();
    EXPECT_NE(hPortConfig.load(), nullptr) << "unloaded while another port holds it";
    EXPECT_EQ(Call(CUSTOM_VALUE_GET_NUMBER, {'n'}, 1, value, 4), 0u);
    for (int close = 0; close < 2; ++close) TerminateCustomValueIO();
    for (const auto& [code, function] : kFunctions)
        EXPECT_EQ(Call(code, {'n'}, 1, value, 4), DCX_ERR_NOT_AVAILABLE) << function;
    EXPECT_EQ(hPortConfig.load(), nullptr);
    ASSERT_EQ(InitializeCustomValueIO(), 0u);
    EXPECT_EQ(CustomValueIOReferences(), 1u);
    ForgetProcessState();
    UseInstallRoot(SimRootWithout("DCX_SetCustomValueString"));
    EXPECT_EQ(InitializeCustomValueIO(), DCX_ERR_NOT_AVAILABLE);
    EXPECT_EQ(std::make_pair(CustomValueIOReferences(), hPortConfig.load() != nullptr),
              std::make_pair(0u, true));
}

}  // namespace
