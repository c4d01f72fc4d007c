// The port object: one per open port, owning the port's string copies and its 128 KiB receive
// ring. The service's thread stores received blocks (the one producer); Java threads read and
// clear under the buffer lock. Its address is the native handle Java holds.
#pragma once

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

    // Loads the service library from the install root: 0, or -5 when it cannot be loaded.
    int32_t CreatePH();
    // Binds the opened port: 0, -100 when already bound, -1 for a null port handle, -6 when
    // memory runs out (the object is then left as it was). An empty or null service URL leaves
    // no copy.
    int32_t SetPHHandle(void* portHandle, const char* serviceURL, const char* portName);

    HMODULE GetPH() const { return m_hPH; }
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

    // The producer sets the error after its last index store and a consumer that sees the error
    // then clears the ring: release/acquire lets that clear see the producer's final index.
    void SetPHError(DCXRESULT error) { m_nPHError.store(error, std::memory_order_release); }
    DCXRESULT GetPHError() const { return m_nPHError.load(std::memory_order_acquire); }

    void SetLock();
    void Unlock();

  private:
    HMODULE m_hPH = nullptr;
    void* m_hPHHandle = nullptr;
    char* m_pszServiceURL = nullptr;
    char* m_pszPortName = nullptr;
    std::atomic<int32_t> m_nReadPos{0};
    std::atomic<int32_t> m_nWritePos{0};
    uint8_t* m_pRingBuffer = nullptr;
    const uint32_t m_nBufferSize = kRingSize;
    std::atomic<uint32_t> m_nPHError{0};
    std::atomic<uint32_t> m_nLock{0};

    friend class VarnelPHJNITestAccess;  // lets tests place the indices at the ring's edges
};
