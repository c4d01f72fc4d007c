// Reaches into a port object's ring: where its indices start and how much may be stored now.
#pragma once

#include "port/VarnelPHJNI.h"

class VarnelPHJNITestAccess {
  public:
    // 2 while a consumer sleeps waiting for the buffer lock.
    static uint32_t LockWord(const VarnelPHJNI& port) { return port.m_nLock.load(); }
    static std::atomic<uint32_t>* LockAddress(VarnelPHJNI& port) { return &port.m_nLock; }
    static void PlaceIndices(VarnelPHJNI& port, int32_t read, int32_t write) {
        port.m_nReadPos = read;
        port.m_nWritePos = write;
    }
    // Relaxed: only a hint, so that the ring's own ordering is what a thread sanitizer checks.
    static uint32_t FreeSpace(const VarnelPHJNI& port) {
        constexpr uint32_t size = VarnelPHJNI::kRingSize;
        const auto w = static_cast<uint32_t>(port.m_nWritePos.load(std::memory_order_relaxed));
        return size - 1 - (w + size - port.m_nReadPos.load(std::memory_order_relaxed)) % size;
    }
};
