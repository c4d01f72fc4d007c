// The blocks varnel-soak writes and the check of what the loopback sends back. A block is a
// 12-byte header (marker with the port's index, sequence number, block length) and a payload
// computed from the three, so the reading side can check every byte and spot any gap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace soak {

// Length of block `sequence`, header included: 16 bytes to about 4 KiB.
uint32_t BlockLength(uint32_t sequence);
std::vector<uint8_t> MakeBlock(uint32_t port, uint32_t sequence);

// Why bytes may be missing from the stream: nothing (any gap is a loss nobody reported), an
// overflow Read reported, a Clear the soak itself made, or a Close.
enum class Drop { kNone, kOverflow, kClear, kClose };

struct StreamFigures {
    uint64_t verified = 0;
    uint64_t cutShort = 0;  // bytes received of blocks a drop then cut short
    uint64_t droppedByOverflow = 0;
    uint64_t droppedByClear = 0;
    uint64_t droppedByClose = 0;
    uint64_t lostUnreported = 0;  // must stay 0
    uint64_t mismatches = 0;      // wrong bytes, or a block older than one already seen
};

// The reading side of one port. Not thread-safe: the caller serialises Read and Receive.
class StreamCheck {
  public:
    explicit StreamCheck(uint32_t port) : port_(port) {}

    void Receive(const uint8_t* bytes, size_t length);
    // Bytes were dropped for a known reason: the next block may start further on.
    void Dropped(Drop why);
    // The run is over and every echo was drained: blocks never received count as gaps too.
    void Finish(uint32_t blocksSent);
    const StreamFigures& figures() const { return figures_; }

  private:
    void StartBlock();
    void AccountGap(uint32_t upTo);

    uint32_t port_;
    uint32_t next_ = 0;      // sequence of the block in progress, or of the next one expected
    uint32_t consumed_ = 0;  // bytes of that block seen so far
    uint8_t header_[12] = {};
    uint64_t carried_ = 0;  // rest of a block cut short by a drop
    Drop pending_ = Drop::kNone;
    bool lost_ = false;  // after a mismatch nothing lines up until the next drop
    StreamFigures figures_;
};

}  // namespace soak
