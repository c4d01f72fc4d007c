// Reaches into a port object's ring for tests that must place its indices at the edges of the
// storage or watch them move. The one definition of the class the port object befriends.
#pragma once

#include <atomic>
#include <cstdint>

#include "port/VarnelPHJNI.h"

class VarnelPHJNITestAccess {
  public:
    static void PlaceIndices(VarnelPHJNI& port, int32_t read, int32_t write) {
        port.m_nReadPos = read;
        port.m_nWritePos = write;
    }
    static int32_t ReadPos(const VarnelPHJNI& port) { return port.m_nReadPos; }
    static int32_t WritePos(const VarnelPHJNI& port) { return port.m_nWritePos; }
    static const uint8_t* Storage(const VarnelPHJNI& port) { return port.m_pRingBuffer; }
    // Bytes a block may have now without overflowing, for a producer that backs off. Relaxed:
    // only a hint, so that WriteData's own ordering is what a thread sanitizer checks.
    static uint32_t FreeSpace(const VarnelPHJNI& port) {
        constexpr uint32_t size = VarnelPHJNI::kRingSize;
        const auto w = static_cast<uint32_t>(port.m_nWritePos.load(std::memory_order_relaxed));
        const auto r = static_cast<uint32_t>(port.m_nReadPos.load(std::memory_order_relaxed));
        return size - 1 - (w + size - r) % size;
    }
};
