#include "port/VarnelPHHandles.h"

#include <linux/membarrier.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>

#include "port/VarnelPHJNI.h"
#include "service/CustomValueIOCtrl.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

// The range: 2^30 slots of 256 bytes, 256 GiB of address space that is reserved, not committed;
// less where the process may not reserve that much. A slot is a header on a cache line of its
// own (read by every call, so kept apart from the ring indices) and the port object behind it.
constexpr size_t kHeaderBytes = 64;
constexpr size_t kSlotBytes = std::bit_ceil(kHeaderBytes + sizeof(VarnelPHJNI));
constexpr size_t kPageBytes = 4096;
constexpr size_t kSlotsPerPage = kPageBytes / kSlotBytes;
constexpr size_t kMostBytes = size_t{1} << 38;
constexpr size_t kLeastBytes = size_t{1} << 24;
static_assert(kPageBytes % kSlotBytes == 0);

struct alignas(kHeaderBytes) SlotHeader {
    // 1 while the handle is valid: set by PublishPort, cleared by the one Close that takes it.
    std::atomic<uint32_t> live{0};
    // In a page's first slot: slots of the page not freed yet (under arenaLock).
    uint32_t unfreed = 0;
    // The rest under pendingLock.
    bool releasesBinding = false;
    bool keep = false;  // a call may hold it unseen: never freed
    SlotHeader* nextPending = nullptr;
};
static_assert(sizeof(SlotHeader) == kHeaderBytes);

SlotHeader* HeaderOf(const VarnelPHJNI* port) {
    return reinterpret_cast<SlotHeader*>(reinterpret_cast<uintptr_t>(port) - kHeaderBytes);
}

VarnelPHJNI* PortOf(SlotHeader* header) {
    return reinterpret_cast<VarnelPHJNI*>(reinterpret_cast<uintptr_t>(header) + kHeaderBytes);
}

std::mutex arenaLock;
size_t arenaBytes = 0;  // under arenaLock
std::atomic<uintptr_t> arenaBase{0};
// End of the slots handed out; it only grows. Every page below it stays readable: committed, or
// given back to the kernel, after which it reads as zeros, that is as not live.
std::atomic<uintptr_t> arenaEnd{0};

// The header behind a value that may be a port object's address, found without touching any
// memory outside the slots handed out; null for every other value.
SlotHeader* Lookup(jlong handle) {
    const auto address = static_cast<uintptr_t>(handle);
    // Acquire: the slots below the end are committed and their headers written.
    const uintptr_t end = arenaEnd.load(std::memory_order_acquire);
    const uintptr_t base = arenaBase.load(std::memory_order_relaxed);
    if (address >= end || address < base + kHeaderBytes) return nullptr;
    if ((address - base) % kSlotBytes != kHeaderBytes) return nullptr;
    return reinterpret_cast<SlotHeader*>(address - kHeaderBytes);
}

// Under arenaLock. Halves the request until the process may reserve it.
bool Reserve() {
    if (arenaBytes != 0) return true;
    for (size_t bytes = kMostBytes; bytes >= kLeastBytes; bytes /= 2) {
        void* range =
            mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (range == MAP_FAILED) continue;
#if defined(__SANITIZE_ADDRESS__)
        // Port objects kept for good hold their ring and strings: LeakSanitizer must look here as
        // it looks at the heap.
        __lsan_register_root_region(range, bytes);
#endif
        arenaBytes = bytes;
        arenaBase.store(reinterpret_cast<uintptr_t>(range), std::memory_order_relaxed);
        arenaEnd.store(reinterpret_cast<uintptr_t>(range), std::memory_order_release);
        return true;
    }
    return false;
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

// Trivially destructible, so reading it costs no TLS wrapper and the library needs neither
// static TLS nor the C++ runtime's thread-exit hook; a pthread key gives the slot back.
thread_local Announcement* threadSlot = nullptr;
pthread_key_t threadKey;

void GiveBack(void* slot) {
    auto* announcement = static_cast<Announcement*>(slot);
    announcement->port.store(nullptr, std::memory_order_release);
    announcement->taken.store(false, std::memory_order_release);
    threadSlot = nullptr;  // a later call on this thread (another key's destructor) claims anew
}

Announcement* ThisThreadsSlot() {
    if (Announcement* slot = threadSlot; slot != nullptr) [[likely]] {
        return slot;
    }
    static const bool keyMade = pthread_key_create(&threadKey, GiveBack) == 0;
    Announcement* slot = keyMade ? Claim() : nullptr;
    if (slot == nullptr) return nullptr;
    if (pthread_setspecific(threadKey, slot) != 0) {
        slot->taken.store(false, std::memory_order_release);
        return nullptr;
    }
    threadSlot = slot;
    return slot;
}

// Close pays for the ordering instead of every call: after clearing a port's live flag it has
// the kernel run a full barrier on every thread of the process (membarrier), so a call may
// announce with a plain store. Where membarrier is missing, where it ever fails, and under
// ThreadSanitizer (which cannot see it), each call fences for itself instead. Decided at the
// first Open, before any port can be held.
std::atomic<bool> closeFences{false};

void ChooseFences() {
#if !defined(__SANITIZE_THREAD__)
    static const bool registered =
        syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
    static const bool chosen = (closeFences.store(registered, std::memory_order_relaxed), true);
    (void)chosen;
#endif
}

// False when a call may have announced with a plain store that this thread cannot be sure to
// see: the kernel refused the barrier. Calls fence for themselves from then on.
bool FenceEveryThread() {
    if (!closeFences.load(std::memory_order_relaxed)) return true;  // calls fence themselves
    if (syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) == 0) return true;
    closeFences.store(false, std::memory_order_seq_cst);
    return false;
}

void Announce(Announcement* announcement, VarnelPHJNI* port) {
    if (closeFences.load(std::memory_order_relaxed)) {
        announcement->port.store(port, std::memory_order_relaxed);
        std::atomic_signal_fence(std::memory_order_seq_cst);
    } else {
        announcement->port.store(port, std::memory_order_seq_cst);
    }
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

// Ports taken by a Close whose object a call still held at the last look, linked through their
// headers so that queueing one never allocates.
std::mutex pendingLock;
SlotHeader* pendingHead = nullptr;
std::atomic<size_t> pendingCount{0};

// Under pendingLock. The page goes back to the kernel with its last slot; its address space is
// never handed out again.
void Free(SlotHeader* header) {
    VarnelPHJNI* port = PortOf(header);
    port->~VarnelPHJNI();
    if (header->releasesBinding) TerminateCustomValueIO();
    const uintptr_t page = reinterpret_cast<uintptr_t>(header) & ~(kPageBytes - 1);
    std::lock_guard<std::mutex> guard(arenaLock);
    if (--reinterpret_cast<SlotHeader*>(page)->unfreed == 0) {
        madvise(reinterpret_cast<void*>(page), kPageBytes, MADV_DONTNEED);
    }
}

void ReclaimLocked() {
    for (SlotHeader** link = &pendingHead; *link != nullptr;) {
        SlotHeader* header = *link;
        if (Announced(PortOf(header))) {
            link = &header->nextPending;
            continue;
        }
        *link = header->nextPending;
        pendingCount.fetch_sub(1, std::memory_order_relaxed);
        Free(header);
    }
}

// After a call withdrew its announcement of a port that is no longer live: frees what a Close
// left queued because of that announcement. The read-modify-write orders the withdrawal before
// this look at the queue, against DestroyPort's own (a fence would do, but ThreadSanitizer does
// not model fences).
void ReclaimAfterWithdrawal() {
    if (pendingCount.fetch_add(0, std::memory_order_seq_cst) == 0) return;
    std::lock_guard<std::mutex> guard(pendingLock);
    ReclaimLocked();
}

}  // namespace

VarnelPHJNI* NewPort() {
    ChooseFences();
    ReclaimPorts();
    std::lock_guard<std::mutex> guard(arenaLock);
    if (!Reserve()) return nullptr;
    const uintptr_t slot = arenaEnd.load(std::memory_order_relaxed);
    const uintptr_t limit = arenaBase.load(std::memory_order_relaxed) + arenaBytes;
    if (limit - slot < kSlotBytes) return nullptr;  // every address has been a port once
    const bool firstOnPage = slot % kPageBytes == 0;
    if (firstOnPage &&
        mprotect(reinterpret_cast<void*>(slot), kPageBytes, PROT_READ | PROT_WRITE) != 0) {
        return nullptr;
    }
    auto* header = new (reinterpret_cast<void*>(slot)) SlotHeader;
    if (firstOnPage) header->unfreed = kSlotsPerPage;
    auto* port = new (reinterpret_cast<void*>(slot + kHeaderBytes)) VarnelPHJNI;
    // Release: a call that finds the slot below the end finds its header written.
    arenaEnd.store(slot + kSlotBytes, std::memory_order_release);
    return port;
}

void PublishPort(VarnelPHJNI* port) {
    // Release: a call that sees the port live sees it complete.
    HeaderOf(port)->live.store(1, std::memory_order_release);
}

VarnelPHJNI* TakeLivePort(jlong handle) {
    SlotHeader* header = Lookup(handle);
    uint32_t live = 1;
    // Only one Close gets past this exchange; from here on new calls are refused.
    if (header == nullptr ||
        !header->live.compare_exchange_strong(live, 0, std::memory_order_seq_cst)) {
        return nullptr;
    }
    if (!FenceEveryThread()) {
        std::lock_guard<std::mutex> guard(pendingLock);
        header->keep = true;
    }
    return PortOf(header);
}

void DestroyPort(VarnelPHJNI* port, bool releasesBinding) {
    SlotHeader* header = HeaderOf(port);
    std::lock_guard<std::mutex> guard(pendingLock);
    if (header->keep) return;
    header->releasesBinding = releasesBinding;
    header->nextPending = pendingHead;
    pendingHead = header;
    // Against ReclaimAfterWithdrawal: a call that finds nothing queued withdrew its announcement
    // before this, and the look below sees it gone.
    pendingCount.fetch_add(1, std::memory_order_seq_cst);
    ReclaimLocked();
}

void ReclaimPorts() {
    if (pendingCount.load(std::memory_order_seq_cst) == 0) return;
    std::lock_guard<std::mutex> guard(pendingLock);
    ReclaimLocked();
}

size_t PortsAwaitingRelease() {
    return pendingCount.load(std::memory_order_relaxed);
}

PortHold::PortHold(jlong handle) {
    SlotHeader* header = Lookup(handle);
    if (header == nullptr) return;
    Announcement* announcement = ThisThreadsSlot();
    if (announcement == nullptr) return;
    auto* port = reinterpret_cast<VarnelPHJNI*>(handle);
    // Announce, then look: either the Close's cleared flag is seen here, or the Close (and
    // whoever frees after it) sees this announcement and leaves the object alone.
    Announce(announcement, port);
    if (header->live.load(std::memory_order_seq_cst) == 0) {
        announcement->port.store(nullptr, std::memory_order_release);
        ReclaimAfterWithdrawal();
        return;
    }
    port_ = port;
    slot_ = &announcement->port;
}

PortHold::~PortHold() {
    if (slot_ == nullptr) return;
    // Release: the call's last use of the port happens before whoever frees it sees it unheld.
    // Then look again: a Close that saw this call's announcement left the freeing to it. The
    // store-then-load is ordered by the Close's membarrier, or by the store itself.
    if (closeFences.load(std::memory_order_relaxed)) {
        slot_->store(nullptr, std::memory_order_release);
        std::atomic_signal_fence(std::memory_order_seq_cst);
    } else {
        slot_->store(nullptr, std::memory_order_seq_cst);
    }
    if (HeaderOf(port_)->live.load(std::memory_order_seq_cst) == 0) ReclaimAfterWithdrawal();
}

bool PortHold::StillOpen() const {
    return HeaderOf(port_)->live.load(std::memory_order_acquire) != 0;
}
