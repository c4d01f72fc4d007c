// The receive ring against a plain queue of its capacity, from any start of its indices: stores
// (direct, or through the receive callback that keeps a loss), reads, takes, clears; all compared.
#include <deque>

#include "bridge/VarnelPHCSAPI.h"
#include "bridge/VarnelPHReceive.h"
#include "fuzz/Fuzz.h"
#include "unit/RingTestAccess.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t kSize = VarnelPHJNI::kRingSize;
    FuzzedDataProvider in(data, size);
    VarnelPHJNI port;
    FUZZ_CHECK(port.SetPHHandle(&port, "svc", "COM1") == 0);
    const auto start = in.ConsumeIntegralInRange<int32_t>(0, kSize - 1);
    VarnelPHJNITestAccess::PlaceIndices(port, start, start);
    std::deque<uint8_t> model;  // holds at most kSize - 1 bytes, as the ring does
    bool lost = false;          // the loss the callback keeps until it is reported or cleared
    for (uint32_t serial = 0; in.remaining_bytes() > 0;) {
        const int op = in.ConsumeIntegralInRange(0, 4);
        // Mostly short lengths, which wrap often from a start near the end; sometimes any size.
        const int32_t length = in.ConsumeIntegralInRange(-2, in.ConsumeBool() ? 300 : 0x20001);
        const size_t n = std::max(length, 0), expected = std::min(model.size(), n);
        std::vector<uint8_t> bytes(std::min(n, kSize) + 1);  // never null, even when empty
        // A full ring refuses even an empty block.
        const bool fits = length >= 0 && model.size() + std::max<size_t>(n, 1) < kSize;
        const bool ready = op == 2 || in.ConsumeBool(),
                   drains = op == 2 || (op == 3 && ready && !lost);
        int32_t count = -7;
        size_t taken = 0, segments = 0;
        if (op <= 1) {
            for (auto& b : bytes) b = static_cast<uint8_t>(serial ^ (serial >> 8)), ++serial;
            FUZZ_CHECK((op == 0 ? port.WriteData(bytes.data(), length)
                                : callbackRead(DCX_EVENT_DATA_RECEIVED, 0, nullptr, length,
                                               bytes.data(), &port)) ==
                       (op == 1 || fits ? 0 : DCX_ERR_BUFFER_OVERFLOW));
            if (fits && (op == 0 || !lost))
                model.insert(model.end(), bytes.begin(), bytes.begin() + n);
            lost = lost || (op == 1 && length != 0 && !fits);
        } else if (op == 2) {
            port.ReadData(bytes.data(), length, &count);
        } else if (op == 3) {  // reports a loss instead of taking bytes
            auto copy = [&](uint32_t at, const uint8_t* b, uint32_t k) {
                FUZZ_CHECK(at == taken && k > 0 && ++segments <= 2);
                taken += k, std::copy(b, b + k, bytes.begin() + at);
            };
            FUZZ_CHECK(port.TakeData(ready, length, &count, copy) ==
                           (lost ? DCX_ERR_BUFFER_OVERFLOW : 0) &&
                       taken == (drains ? expected : 0));
        }
        FUZZ_CHECK(count == (drains ? static_cast<int32_t>(expected) : -7));
        if (drains) FUZZ_CHECK(std::equal(model.begin(), model.begin() + expected, bytes.begin()));
        if (drains) model.erase(model.begin(), model.begin() + expected);
        if (op == 4) FUZZ_CHECK(port.ClearBuffer() == 0);
        if (op == 4 || (op == 3 && lost)) model.clear(), lost = false;
        FUZZ_CHECK(port.Idle() == (!lost && model.empty()));
    }
    return 0;
}
