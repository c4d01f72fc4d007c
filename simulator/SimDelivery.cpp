// The delivery thread: the simulator's only caller of registered callbacks. One thread calling
// one callback at a time is what keeps a connection's receive events from ever overlapping.
// Events wait in the queue in the order they are due; equal times keep the order they came in.
#include <algorithm>
#include <chrono>

#include "SimState.h"

namespace vsim {
namespace {

// Events carry their own buffers; a null pointer is passed only when the event asked for one.
uint32_t* valuesOf(Event& event) {
    if (event.valuesNull) return nullptr;
    static thread_local uint32_t none = 0;
    return event.values.empty() ? &none : event.values.data();
}

uint8_t* bytesOf(Event& event) {
    if (event.bytesNull) return nullptr;
    static thread_local uint8_t none = 0;
    return event.bytes.empty() ? &none : event.bytes.data();
}

// Periodic data never runs out, so it does not keep the simulator busy.
bool onlyPeriodicQueued(const State& s) {
    return std::all_of(s.queue.begin(), s.queue.end(),
                       [](const Event& e) { return e.period.count() > 0; });
}

void deliveryLoop() {
    State& s = state();
    std::unique_lock lock(s.mutex);
    for (;;) {
        s.work.wait(lock, [&] { return !s.queue.empty(); });
        if (const Clock::time_point due = s.queue.front().due; due > Clock::now()) {
            // An earlier event may be queued meanwhile: look again after any wake-up.
            s.work.wait_until(lock, due);
            continue;
        }
        Event event = std::move(s.queue.front());
        s.queue.pop_front();
        // The target is alive: VSim_Reset empties the queue before it drops any connection.
        const auto& callbacks = event.target->callbacks;
        auto registered = callbacks.find(event.kind);
        if (registered == callbacks.end()) {
            if (onlyPeriodicQueued(s)) s.progress.notify_all();
            continue;
        }
        const Registration call = registered->second;
        s.inFlight = InFlight{event.target, event.kind, ++s.deliverySerial};
        // Never call out with the state locked: callbacks call back into the simulator.
        lock.unlock();
        s.lastCallbackNanos.store(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                      std::chrono::steady_clock::now().time_since_epoch())
                                      .count(),
                                  std::memory_order_relaxed);
        call.callback(event.code, event.count, valuesOf(event), event.length, bytesOf(event),
                      call.context);
        lock.lock();
        s.inFlight.reset();
        // Periodic data goes on while its callback stays registered; VSim_Reset cannot drop the
        // connection before this, since it waits for the call in flight under the same lock.
        if (event.period.count() > 0 && event.target->callbacks.count(event.kind) != 0) {
            event.due += event.period;
            enqueue(s, std::move(event));
        }
        s.progress.notify_all();
    }
}

}  // namespace

bool onDeliveryThread(const State& s) {
    return s.deliveryStarted && std::this_thread::get_id() == s.deliveryThread;
}

void enqueue(State& s, Event event) {
    if (!s.deliveryStarted) {
        std::thread thread(deliveryLoop);
        s.deliveryThread = thread.get_id();
        s.deliveryStarted = true;
        // Detached and never joined: it lives as long as the process, like a service's thread.
        thread.detach();
    }
    if (event.due == Clock::time_point{}) event.due = Clock::now();
    auto later =
        std::upper_bound(s.queue.begin(), s.queue.end(), event.due,
                         [](Clock::time_point due, const Event& e) { return due < e.due; });
    s.queue.insert(later, std::move(event));
    s.work.notify_one();
}

void awaitCallbacks(State& s, std::unique_lock<std::mutex>& lock, const Connection* connection,
                    std::optional<uint32_t> kind) {
    if (onDeliveryThread(s)) return;
    auto running = [&] {
        return s.inFlight && s.inFlight->target == connection &&
               (!kind || s.inFlight->kind == *kind);
    };
    if (!running()) return;
    // Only the call already running matters: later ones find the registration gone.
    const uint64_t serial = s.inFlight->serial;
    s.progress.wait(lock, [&] { return !s.inFlight || s.inFlight->serial != serial; });
}

bool awaitIdle(State& s, std::unique_lock<std::mutex>& lock, uint32_t timeoutMs) {
    if (onDeliveryThread(s)) return false;
    return s.progress.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [&] { return onlyPeriodicQueued(s) && !s.inFlight; });
}

}  // namespace vsim
