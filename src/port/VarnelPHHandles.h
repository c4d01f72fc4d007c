// The set of live port objects behind the native handles Java holds. Every per-port call checks
// its handle here and holds the port for the length of the call; Close takes the port out and
// waits for the calls still holding it. A repeated Close, a call after Close and a forged handle
// are thus refused with the handle error instead of being followed into freed memory.
#pragma once

#include <jni.h>

#include <atomic>

class VarnelPHJNI;

// Makes an opened port's address a valid handle; false when the table of live ports is full.
bool AddLivePort(VarnelPHJNI* port);

// Takes the port of a live handle out of the set, once no call holds it any more; null when the
// handle names no live port (or another Close took it first). New calls are refused at once.
VarnelPHJNI* TakeLivePort(jlong handle);

// Destroys a closed port object. Its memory is kept from the allocator until many later closes
// have given theirs back, so the next Open does not get the same address: a handle kept after
// its Close then names no live port for that long, and is refused instead of reaching a new one.
void DestroyPort(VarnelPHJNI* port);

// A call's hold on a live port, for the length of the call; empty for 0 or a handle not live.
// Each thread announces the port it holds in a slot of its own (no shared counter to bounce
// between threads calling on one port); TakeLivePort waits until no slot names the port.
class PortHold {
  public:
    explicit PortHold(jlong handle);
    ~PortHold();
    PortHold(const PortHold&) = delete;
    PortHold& operator=(const PortHold&) = delete;

    explicit operator bool() const { return port_ != nullptr; }
    VarnelPHJNI* operator->() const { return port_; }
    VarnelPHJNI* get() const { return port_; }

  private:
    VarnelPHJNI* port_ = nullptr;
    std::atomic<VarnelPHJNI*>* slot_ = nullptr;
};
