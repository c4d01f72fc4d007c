#include "port/VarnelPHJNI.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "bridge/VarnelPHCSAPI.h"
#include "platform/WinApiClone.h"
#include "service/VarnelPHClassPath.h"

namespace {

// A heap copy with its terminating 0; null when memory runs out.
std::unique_ptr<char[]> CopyString(const char* text) {
    const size_t size = std::strlen(text) + 1;
    std::unique_ptr<char[]> copy(new (std::nothrow) char[size]);
    if (copy) std::memcpy(copy.get(), text, size);
    return copy;
}

}  // namespace

VarnelPHJNI::~VarnelPHJNI() {
    delete[] m_pRingBuffer;
    delete[] m_pszServiceURL;
    delete[] m_pszPortName;
}

int32_t VarnelPHJNI::CreatePH() {
    m_hPH = LoadPHLibrary(PH_SERVICE_LIBRARY);
    if (m_hPH == nullptr) return PH_ERR_NOT_AVAILABLE;
    m_fn = ResolveDCXFunctions(m_hPH);
    return 0;
}

int32_t VarnelPHJNI::SetPHHandle(void* portHandle, const char* serviceURL, const char* portName) {
    if (m_pRingBuffer != nullptr) return PH_ERR_UNEXPECTED;
    if (portHandle == nullptr) return PH_ERR_HANDLE;
    // Everything is allocated before anything is bound, so running out of memory part of the way
    // leaves the object as it was and frees what this call got.
    std::unique_ptr<uint8_t[]> ring(new (std::nothrow) uint8_t[m_nBufferSize]);
    if (!ring) return PH_ERR_NO_MEMORY;
    std::unique_ptr<char[]> name;
    if (portName != nullptr && !(name = CopyString(portName))) return PH_ERR_NO_MEMORY;
    std::unique_ptr<char[]> url;
    if (serviceURL != nullptr && serviceURL[0] != '\0' && !(url = CopyString(serviceURL))) {
        return PH_ERR_NO_MEMORY;
    }

    m_pRingBuffer = ring.release();
    ClearBuffer();
    m_hPHHandle = portHandle;
    m_pszPortName = name.release();
    m_pszServiceURL = url.release();
    return 0;
}

// Single producer: the service delivers one port's blocks one at a time. Indices stay below the
// capacity; one slot is kept empty so that equal indices always mean empty.
DCXRESULT VarnelPHJNI::WriteData(const uint8_t* data, int32_t length) {
    if (data == nullptr) return DCX_ERR_PARAMETER;
    const uint32_t size = m_nBufferSize;
    // Relaxed: only this thread stores the write index.
    const auto w = static_cast<uint32_t>(m_nWritePos.load(std::memory_order_relaxed));
    // Acquire: the consumer copied the bytes out before publishing this index, so the slots
    // behind it may be overwritten.
    const auto r = static_cast<uint32_t>(m_nReadPos.load(std::memory_order_acquire));
    // A full ring refuses even an empty block, so fullness is tested before the length.
    if ((w + 1) % size == r) return DCX_ERR_BUFFER_OVERFLOW;
    const uint32_t space = r > w ? r - w - 1 : size - w + r - 1;
    if (length < 0 || static_cast<uint32_t>(length) > space) return DCX_ERR_BUFFER_OVERFLOW;

    const auto n = static_cast<uint32_t>(length);
    const uint32_t head = std::min(n, size - w);  // up to the end of the storage, then from 0
    std::memcpy(m_pRingBuffer + w, data, head);
    if (n > head) std::memcpy(m_pRingBuffer, data + head, n - head);
    // Release: the block's bytes are in place before the consumer can see them counted.
    m_nWritePos.store(static_cast<int32_t>((w + n) % size), std::memory_order_release);
    return 0;
}

void VarnelPHJNI::ReadData(uint8_t* destination, int32_t maximum, int32_t* count) {
    SetLock();
    if (destination != nullptr && count != nullptr) {
        Drain(maximum, count, [destination](uint32_t offset, const uint8_t* bytes, uint32_t n) {
            std::memcpy(destination + offset, bytes, n);
        });
    }
    Unlock();
}

uint32_t VarnelPHJNI::ClearBuffer() {
    SetLock();
    Discard();
    Unlock();
    return 0;
}

void VarnelPHJNI::Discard() {
    // Acquire pairs with the producer's publication, release hands the emptied slots back to it.
    m_nReadPos.store(m_nWritePos.load(std::memory_order_acquire), std::memory_order_release);
    // Release: a producer that sees the error gone also sees the emptied ring.
    m_nPHError.store(0, std::memory_order_release);
}

// Holders keep the lock for one copy of at most 128 KiB, so a waiter spins a little first and
// then sleeps on the lock word (a futex) until the holder wakes it: no fixed sleep.
void VarnelPHJNI::SetLock() {
    uint32_t expected = 0;
    // Acquire: this consumer sees the read index as the previous holder left it.
    if (m_nLock.compare_exchange_strong(expected, 1, std::memory_order_acquire)) return;
    for (int spin = 0; spin < 100; ++spin) {
        __builtin_ia32_pause();
        expected = 0;
        if (m_nLock.load(std::memory_order_relaxed) == 0 &&
            m_nLock.compare_exchange_strong(expected, 1, std::memory_order_acquire)) {
            return;
        }
    }
    // 2 tells the holder someone sleeps; taken as 2 since other sleepers may remain.
    while (m_nLock.exchange(2, std::memory_order_acquire) != 0) WaitOnAddress(&m_nLock, 2);
}

void VarnelPHJNI::Unlock() {
    // Release: the next holder sees the read index this one stored.
    if (m_nLock.exchange(0, std::memory_order_release) == 2) WakeByAddressSingle(&m_nLock);
}
