// IOCtl through a fake JNI environment on a port opened on the simulator, with any code (mostly
// those served), arrays, lengths and service results: arrays are written only where they may be.
#include "VSimControl.h"
#include "fuzz/Fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static constexpr uint32_t kCodes[] = {0x40040002, 0x60040002, 0x40070009, 0x4007000A,
                                          0x4007000B, 0x6007000D, 0x6007000E, 0x6007000F,
                                          0x4007000C, 0x12345678};
    static constexpr const char* kFunctions[] = {
        "DCX_GetProperty",          "DCX_SetProperty",          "DCX_ExtendFunction",
        "DCX_GetCustomValueNumber", "DCX_GetCustomValueString", "DCX_GetCustomValueBinary",
        "DCX_SetCustomValueNumber", "DCX_SetCustomValueString", "DCX_SetCustomValueBinary"};
    constexpr int32_t kUnwritten = 0x5A5A5A5A;
    FuzzedDataProvider in(data, size);
    FUZZ_CHECK(SetPHClassPath(VSIM_ROOT, std::strlen(VSIM_ROOT)));
    VSim_Reset();  // no custom value outlives its input
    {
        FakeJni jni;
        auto oneIn = [&](int n) { return in.ConsumeIntegralInRange(1, n) == 1; };
        auto array = [&](size_t n) {
            return oneIn(8) ? nullptr : jni.NewByteArray(in.ConsumeBytes<uint8_t>(n));
        };
        auto bytes = [&](jbyteArray a) { return a ? jni.Bytes(a) : std::vector<uint8_t>(); };
        const jlongArray holder = jni.NewLongArray({0});
        FUZZ_CHECK(PH_JNI(Open)(jni.env(), nullptr, jni.NewString("svc"), jni.NewString("COM1"), 1,
                                holder) == 0);
        const jlong handle = jni.Longs(holder)[0];
        while (in.remaining_bytes() > 0) {
            if (in.ConsumeBool())
                VSim_SetResultOnCall(in.PickValueInArray(kFunctions),
                                     in.ConsumeIntegralInRange(1, 2),
                                     oneIn(2) ? 0x80000008 : in.ConsumeIntegral<uint32_t>());
            const uint32_t code =
                oneIn(10) ? in.ConsumeIntegral<uint32_t>() : in.PickValueInArray(kCodes);
            const jbyteArray input = array(in.ConsumeIntegralInRange(0, 24)),
                             output = array(in.ConsumeIntegralInRange(0, 24));
            const int32_t inLength = in.ConsumeIntegralInRange(-2, 26),
                          outLength = oneIn(8) ? in.ConsumeIntegral<int32_t>()
                                               : in.ConsumeIntegralInRange(-2, 26);
            const jintArray count = oneIn(8) ? nullptr
                                             : jni.NewIntArray(std::vector<int32_t>(
                                                   in.ConsumeIntegralInRange(0, 2), kUnwritten));
            const auto inBefore = bytes(input), outBefore = bytes(output);
            const size_t extends = VSim_CallCount("DCX_ExtendFunction");
            const jint result =
                PH_JNI(IOCtl)(jni.env(), nullptr, oneIn(16) ? handle + 8 : handle,
                              static_cast<jint>(code), input, inLength, output, outLength, count);
            // Output bytes the request may write: property 6 and a number have sizes of their own,
            // sets and refused requests write none, the extension entry up to the output length.
            const size_t stated = std::max(outLength, 0);
            const size_t bound = VSim_CallCount("DCX_ExtendFunction") > extends ? stated
                                 : code == 0x40040002                           ? 8
                                 : code == 0x4007000A ? std::min<uint32_t>(outLength, 4)
                                 : code == 0x40070009 || code == 0x4007000B ? stated
                                                                            : 0;
            const auto outAfter = bytes(output);
            const auto counts = count ? jni.Ints(count) : std::vector<int32_t>();
            const size_t kept = std::min(bound, outAfter.size());
            FUZZ_CHECK(
                bytes(input) == inBefore && jni.OutstandingPins() == 0 &&
                std::equal(outAfter.begin() + kept, outAfter.end(), outBefore.begin() + kept));
            FUZZ_CHECK(counts.size() < 2 || counts[1] == kUnwritten);
            FUZZ_CHECK(counts.empty() || (result != 0 ? counts[0] == 0 || counts[0] == kUnwritten
                                                      : static_cast<uint32_t>(counts[0]) <= kept));
        }
        VSim_ClearResults();
        FUZZ_CHECK(PH_JNI(Close)(jni.env(), nullptr, handle) == 0);
    }
    FUZZ_CHECK_FAKE_JNI();
    return 0;
}
