// The port object: one per open port, owning the port's string copies and its 128 KiB receive
// ring. The service's thread stores received blocks (the one producer); Java threads read and
// clear under the buffer lock. Its address is the native handle Java holds.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "platform/WinApiClone.h"
#include "service/DCXServiceAPI.h"

class VarnelPHJNI {
  public:
    static constexpr uint32_t kRingSize = 0x20000;

    VarnelPHJNI() = default;
    ~VarnelPHJNI();
    VarnelPHJNI(const VarnelPHJNI&) = delete;
    VarnelPHJNI& operator=(const VarnelPHJNI&) = delete;

    // Loads the service library from the install root and looks its functions up: 0, or -5 when
    // it cannot be loaded.
    int32_t CreatePH();
    // Binds the opened port: 0, -100 when already bound, -1 for a null port handle, -6 when
    // memory runs out (the object is then left as it was). An empty or null service URL leaves
    // no copy.
    int32_t SetPHHandle(void* portHandle, const char* serviceURL, const char* portName);

    HMODULE GetPH() const { return m_hPH; }
    // The service functions, looked up once by CreatePH; a missing one is null.
    const DCXFunctions& DCX() const { return m_fn; }
    void* GetPHHandle() const { return m_hPHHandle; }
    const char* GetRefServiceURL() const { return m_pszServiceURL; }
    const char* GetRefPortName() const { return m_pszPortName; }

    // Producer side (receive callback only): stores the block whole or not at all.
    DCXRESULT WriteData(const uint8_t* data, int32_t length);
    // Consumer side: copies min(available, maximum) bytes and stores that count; a negative
    // maximum copies nothing. Never waits for data.
    void ReadData(uint8_t* destination, int32_t maximum, int32_t* count);
    // Discards every unread byte and the sticky error; always 0.
    uint32_t ClearBuffer();
    // One consumer step under the buffer lock. With the sticky error set, the ring is emptied and
    // the error reset and returned, so no block stored after another consumer's report can be
    // discarded unreported. Otherwise, when `ready` (the caller's own checks) is true, up to
    // `maximum` bytes leave the ring through copy(offset, bytes, length), called with at most two
    // contiguous segments, and their number is returned in `count`; 0 is returned.
    template <class Copy>
    DCXRESULT TakeData(bool ready, int32_t maximum, int32_t* count, Copy copy);

    // The producer sets the error after its last index store and a consumer that sees the error
    // then clears the ring: release/acquire lets that clear see the producer's final index.
    void SetPHError(DCXRESULT error) { m_nPHError.store(error, std::memory_order_release); }
    DCXRESULT GetPHError() const { return m_nPHError.load(std::memory_order_acquire); }

    // Nothing to report and nothing to read, seen without the lock: a reader may return at once.
    bool Idle() const {
        return m_nPHError.load(std::memory_order_acquire) == 0 &&
               m_nReadPos.load(std::memory_order_relaxed) ==
                   m_nWritePos.load(std::memory_order_acquire);
    }

    void SetLock();
    void Unlock();
    // ClearBuffer's work, for a caller that holds the buffer lock already.
    void Discard();

  private:
    // Takes min(available, maximum) bytes out through copy(offset, bytes, length), at most two
    // contiguous segments, and stores their number; the caller holds the buffer lock.
    template <class Copy>
    void Drain(int32_t maximum, int32_t* count, Copy copy);

    HMODULE m_hPH = nullptr;
    void* m_hPHHandle = nullptr;
    char* m_pszServiceURL = nullptr;
    char* m_pszPortName = nullptr;
    std::atomic<int32_t> m_nReadPos{0};
    std::atomic<int32_t> m_nWritePos{0};
    uint8_t* m_pRingBuffer = nullptr;
    const uint32_t m_nBufferSize = kRingSize;
    std::atomic<uint32_t> m_nPHError{0};
    // 0 free, 1 held, 2 held with a thread asleep on it (a futex word).
    std::atomic<uint32_t> m_nLock{0};
    DCXFunctions m_fn;

    friend class VarnelPHJNITestAccess;  // lets tests place the indices at the ring's edges
};

template <class Copy>
void VarnelPHJNI::Drain(int32_t maximum, int32_t* count, Copy copy) {
    const uint32_t size = m_nBufferSize;
    // Relaxed: the read index moves only under the buffer lock, which this thread holds.
    const auto r = static_cast<uint32_t>(m_nReadPos.load(std::memory_order_relaxed));
    // Acquire: every byte before this index was stored before the producer published it.
    const auto w = static_cast<uint32_t>(m_nWritePos.load(std::memory_order_acquire));
    const uint32_t n = std::min((w + size - r) % size, static_cast<uint32_t>(std::max(maximum, 0)));
    const uint32_t head = std::min(n, size - r);
    if (head > 0) copy(0u, m_pRingBuffer + r, head);
    if (n > head) copy(head, m_pRingBuffer, n - head);
    *count = static_cast<int32_t>(n);
    // Release: the bytes are copied out before the producer may reuse their slots.
    m_nReadPos.store(static_cast<int32_t>((r + n) % size), std::memory_order_release);
}

template <class Copy>
DCXRESULT VarnelPHJNI::TakeData(bool ready, int32_t maximum, int32_t* count, Copy copy) {
    SetLock();
    // Under the lock no other consumer can reset the error, and the producer only sets it.
    const DCXRESULT error = m_nPHError.load(std::memory_order_acquire);
    if (error != 0) {
        Discard();
    } else if (ready) {
        Drain(maximum, count, copy);
    }
    Unlock();
    return error;
}
