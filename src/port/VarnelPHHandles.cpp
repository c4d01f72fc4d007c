#include "port/VarnelPHHandles.h"

#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <thread>

#include "platform/WinApiClone.h"
#include "port/VarnelPHJNI.h"

namespace {

// Open addressing on the port's address. A slot holds 0 (never used), kTombstone (a port was
// there), a live port's address, or that address | kClosing while its Close waits. Slots never
// go back to 0, so a search may stop at the first 0: the address was never placed beyond it.
constexpr int kSlotBits = 14;
constexpr size_t kSlots = size_t{1} << kSlotBits;
constexpr uintptr_t kTombstone = 1;
constexpr uintptr_t kClosing = 1;  // port objects are 16-byte aligned: bit 0 is free
std::atomic<uintptr_t> livePorts[kSlots];

size_t Home(uintptr_t address) {
    return static_cast<size_t>(((address >> 4) * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits));
}

// The slot of a live or closing port, or null. Seq_cst: ordered against announcements.
std::atomic<uintptr_t>* Find(uintptr_t address) {
    for (size_t i = 0, at = Home(address); i < kSlots; ++i, at = (at + 1) % kSlots) {
        const uintptr_t value = livePorts[at].load(std::memory_order_seq_cst);
        if (value == 0) return nullptr;
        if ((value & ~kClosing) == address) return &livePorts[at];
    }
    return nullptr;
}

// Where each thread announces the port its current call holds; one cache line each, so calls
// on one port from several threads write nothing shared. Blocks are added, never freed.
struct alignas(64) Announcement {
    std::atomic<VarnelPHJNI*> port{nullptr};
    std::atomic<bool> taken{false};
};
struct AnnouncementBlock {
    Announcement slots[32];
    std::atomic<AnnouncementBlock*> next{nullptr};
};
AnnouncementBlock firstBlock;

Announcement* Claim() {
    for (AnnouncementBlock* block = &firstBlock;;) {
        for (Announcement& slot : block->slots) {
            bool taken = false;
            if (!slot.taken.load(std::memory_order_relaxed) &&
                slot.taken.compare_exchange_strong(taken, true, std::memory_order_acquire)) {
                return &slot;
            }
        }
        AnnouncementBlock* next = block->next.load(std::memory_order_acquire);
        if (next == nullptr) {
            auto* fresh = new (std::nothrow) AnnouncementBlock;
            if (fresh == nullptr) return nullptr;
            // Acq_rel: publish the fresh block, or see the one another thread added first.
            if (block->next.compare_exchange_strong(next, fresh, std::memory_order_acq_rel)) {
                next = fresh;
            } else {
                delete fresh;
            }
        }
        block = next;
    }
}

// Gives the thread's announcement slot back when the thread ends.
struct ThreadAnnouncement {
    Announcement* slot = nullptr;
    ~ThreadAnnouncement() {
        if (slot != nullptr) slot->taken.store(false, std::memory_order_release);
    }
};
thread_local ThreadAnnouncement threadAnnouncement;
// The same slot, trivially destructible, so the per-call path reads it without a TLS wrapper.
[[gnu::tls_model("initial-exec")]] thread_local Announcement* threadSlot = nullptr;

Announcement* ThisThreadsSlot() {
    if (threadSlot == nullptr) {
        threadSlot = Claim();
        threadAnnouncement.slot = threadSlot;
    }
    return threadSlot;
}

// Close pays for the ordering instead of every call: after marking a port closing it has the
// kernel run a full barrier on every thread of the process (membarrier), so a call may announce
// with a plain store. Where membarrier is missing, and under ThreadSanitizer (which cannot see
// it), each call announces with a full fence instead. Decided at the first Open, before any
// port can be held.
std::atomic<bool> closeFences{false};

void ChooseFences() {
#if !defined(__SANITIZE_THREAD__)
    static const bool registered =
        syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
    closeFences.store(registered, std::memory_order_relaxed);
#endif
}

bool Announced(const VarnelPHJNI* port) {
    for (AnnouncementBlock* block = &firstBlock; block != nullptr;
         block = block->next.load(std::memory_order_acquire)) {
        for (Announcement& slot : block->slots) {
            if (slot.port.load(std::memory_order_seq_cst) == port) return true;
        }
    }
    return false;
}

}  // namespace

void DestroyPort(VarnelPHJNI* port) {
    static constexpr size_t kQuarantine = 1024;
    static std::mutex quarantineLock;
    static void* quarantine[kQuarantine];
    static size_t next = 0;
    port->~VarnelPHJNI();  // the ring and string copies go at once; only the object stays
    void* oldest = nullptr;
    {
        std::lock_guard<std::mutex> guard(quarantineLock);
        oldest = quarantine[next];
        quarantine[next] = port;
        next = (next + 1) % kQuarantine;
    }
    ::operator delete(oldest);
}

bool AddLivePort(VarnelPHJNI* port) {
    ChooseFences();
    const auto address = reinterpret_cast<uintptr_t>(port);
    for (size_t i = 0, at = Home(address); i < kSlots; ++i, at = (at + 1) % kSlots) {
        uintptr_t value = livePorts[at].load(std::memory_order_relaxed);
        if ((value == 0 || value == kTombstone) &&
            livePorts[at].compare_exchange_strong(value, address, std::memory_order_seq_cst)) {
            return true;
        }
    }
    return false;
}

VarnelPHJNI* TakeLivePort(jlong handle) {
    const auto address = static_cast<uintptr_t>(handle);
    std::atomic<uintptr_t>* slot = handle != 0 ? Find(address) : nullptr;
    uintptr_t live = address;
    // Only one Close gets past this exchange; from here on new calls are refused.
    if (slot == nullptr ||
        !slot->compare_exchange_strong(live, address | kClosing, std::memory_order_seq_cst)) {
        return nullptr;
    }
    auto* port = reinterpret_cast<VarnelPHJNI*>(address);
    if (closeFences.load(std::memory_order_relaxed)) {
        syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0);
    }
    // Calls in flight are short, except a send the service keeps for its timeout.
    for (int round = 0; Announced(port); ++round) {
        if (round < 1000) {
            std::this_thread::yield();
        } else {
            Sleep(1);
        }
    }
    slot->store(kTombstone, std::memory_order_release);
    return port;
}

PortHold::PortHold(jlong handle) {
    if (handle == 0) return;
    Announcement* announcement = ThisThreadsSlot();
    if (announcement == nullptr) return;
    auto* port = reinterpret_cast<VarnelPHJNI*>(handle);
    // Announce, then look: either TakeLivePort's mark is seen here, or its scan sees this
    // announcement and waits for the call to end. Store-then-load needs a full barrier between
    // the two, which Close supplies through membarrier when it can.
    if (closeFences.load(std::memory_order_relaxed)) {
        announcement->port.store(port, std::memory_order_relaxed);
        std::atomic_signal_fence(std::memory_order_seq_cst);
    } else {
        announcement->port.store(port, std::memory_order_seq_cst);
    }
    const std::atomic<uintptr_t>* slot = Find(static_cast<uintptr_t>(handle));
    if (slot == nullptr || (slot->load(std::memory_order_seq_cst) & kClosing) != 0) {
        announcement->port.store(nullptr, std::memory_order_release);
        return;
    }
    port_ = port;
    slot_ = &announcement->port;
}

PortHold::~PortHold() {
    // Release: the call's last use of the port happens before Close can see it gone.
    if (slot_ != nullptr) slot_->store(nullptr, std::memory_order_release);
}
