#include "StreamCheck.h"

#include <cstring>

namespace soak {
namespace {

constexpr uint32_t kHeaderBytes = 12;

uint32_t Marker(uint32_t port) {
    return 0x5A000000u | (port & 0xFFFFu);
}

uint8_t PayloadByte(uint32_t port, uint32_t sequence, uint32_t offset) {
    return static_cast<uint8_t>(sequence * 131u + offset * 7u + port * 29u);
}

void Put32(uint8_t* at, uint32_t value) {
    std::memcpy(at, &value, sizeof value);
}
uint32_t Get32(const uint8_t* at) {
    uint32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

}  // namespace

uint32_t BlockLength(uint32_t sequence) {
    return 16 + ((sequence * 2654435761u) >> 20) % 4080;
}

std::vector<uint8_t> MakeBlock(uint32_t port, uint32_t sequence) {
    std::vector<uint8_t> block(BlockLength(sequence));
    Put32(&block[0], Marker(port));
    Put32(&block[4], sequence);
    Put32(&block[8], static_cast<uint32_t>(block.size()));
    for (uint32_t i = kHeaderBytes; i < block.size(); ++i)
        block[i] = PayloadByte(port, sequence, i);
    return block;
}

void StreamCheck::Receive(const uint8_t* bytes, size_t length) {
    for (size_t i = 0; i < length && !lost_; ++i) {
        if (consumed_ < kHeaderBytes) {
            header_[consumed_++] = bytes[i];
            if (consumed_ == kHeaderBytes) StartBlock();
            continue;
        }
        if (bytes[i] != PayloadByte(port_, next_, consumed_)) {
            ++figures_.mismatches;
            lost_ = true;
            return;
        }
        if (++consumed_ == BlockLength(next_)) {
            figures_.verified += consumed_;
            ++next_;
            consumed_ = 0;
        }
    }
}

// A whole header is in: it must be this port's, well formed, and not older than expected.
void StreamCheck::StartBlock() {
    const uint32_t sequence = Get32(&header_[4]);
    if (Get32(&header_[0]) != Marker(port_) || sequence < next_ ||
        Get32(&header_[8]) != BlockLength(sequence)) {
        ++figures_.mismatches;
        lost_ = true;
        return;
    }
    AccountGap(sequence);
    next_ = sequence;
}

// Blocks before `upTo` that never came are put down to the drop reported last, if any.
void StreamCheck::AccountGap(uint32_t upTo) {
    uint64_t gap = carried_;
    for (uint32_t s = next_; s < upTo; ++s) gap += BlockLength(s);
    switch (pending_) {
        case Drop::kNone:
            figures_.lostUnreported += gap;
            break;
        case Drop::kOverflow:
            figures_.droppedByOverflow += gap;
            break;
        case Drop::kClear:
            figures_.droppedByClear += gap;
            break;
        case Drop::kClose:
            figures_.droppedByClose += gap;
            break;
    }
    carried_ = 0;
    pending_ = Drop::kNone;
}

void StreamCheck::Dropped(Drop why) {
    // Blocks reach the ring whole or not at all, so after a drop the next byte starts a block.
    if (consumed_ > 0) {
        figures_.cutShort += consumed_;
        carried_ += BlockLength(next_) - consumed_;
        ++next_;
        consumed_ = 0;
    }
    pending_ = why;
    lost_ = false;
}

void StreamCheck::Finish(uint32_t blocksSent) {
    if (lost_) return;
    if (consumed_ > 0) Dropped(pending_);
    AccountGap(blocksSent);
}

}  // namespace soak
