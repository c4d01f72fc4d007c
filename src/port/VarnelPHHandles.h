// Where port objects live and which of them Java may still reach. Port objects come from a
// reserved range of address space that is handed out once, front to back, so an address is never
// a port twice: a handle kept after its Close names nothing for the life of the process and is
// refused with the handle error, like a forged one. Close never waits for calls on the port; the
// object is freed by whoever sees last that no call holds it.
#pragma once

#include <jni.h>

#include <atomic>

class VarnelPHJNI;

// A new, unpublished port object; null when memory or the reserved range runs out.
VarnelPHJNI* NewPort();

// Makes a port object's address a valid handle.
void PublishPort(VarnelPHJNI* port);

// Takes the port of a live handle out of use at once: later calls are refused, calls in flight
// finish against the port as it is. Null when the handle names no live port (or another Close
// took it first).
VarnelPHJNI* TakeLivePort(jlong handle);

// Destroys a port object that no new call can reach (never published, or taken by
// TakeLivePort): now when no call holds it, else when the last one ends or at a later Open or
// Close. With releasesBinding, the port's reference on the configuration library is given back
// at the same moment, since a custom-value request in flight may still be inside the library.
void DestroyPort(VarnelPHJNI* port, bool releasesBinding = false);

// Frees the destroyed port objects that no call holds any more.
void ReclaimPorts();

// Port objects taken and not yet freed, because a call still held them.
size_t PortsAwaitingRelease();

// A call's hold on a live port, for the length of the call; empty for 0 or a handle not live.
// Each thread announces the port it holds in a slot of its own (no shared counter to bounce
// between threads calling on one port); a closed port is freed once no slot names it. One hold
// per thread at a time: native methods do not nest.
class PortHold {
  public:
    explicit PortHold(jlong handle);
    ~PortHold();
    PortHold(const PortHold&) = delete;
    PortHold& operator=(const PortHold&) = delete;

    explicit operator bool() const { return port_ != nullptr; }
    VarnelPHJNI* operator->() const { return port_; }
    VarnelPHJNI* get() const { return port_; }
    // False once a Close has taken the port: the call makes no further service calls on it.
    bool StillOpen() const;

  private:
    VarnelPHJNI* port_ = nullptr;
    std::atomic<VarnelPHJNI*>* slot_ = nullptr;
};
