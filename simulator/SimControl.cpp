// The control API (VSimControl.h): how tests program the simulator, read its log and inject
// events.
#include "VSimControl.h"

#include <cstring>

#include "SimState.h"

using namespace vsim;

namespace {

std::string orEmpty(const char* text) {
    return text != nullptr ? text : "";
}

CustomKey customKey(const char* serviceURL, const char* portName, const char* key) {
    return {orEmpty(serviceURL), orEmpty(portName), orEmpty(key)};
}

}  // namespace

extern "C" {

void VSim_Reset(void) {
    State& s = state();
    std::unique_lock lock(s.mutex);
    // Queued events are dropped; a callback already running is let finish, since its
    // connection is about to go. Events queued meanwhile are dropped too.
    s.queue.clear();
    while (s.inFlight && !onDeliveryThread(s)) {
        s.progress.wait(lock);
        s.queue.clear();
    }
    releaseSends(s, nullptr);  // their connections are about to go
    s.blockSends = false;
    s.connections.clear();
    s.byHandle.clear();
    s.devices.clear();
    s.configNumbers.clear();
    s.portCapabilities.clear();
    s.customValues.clear();
    s.triggers.clear();
    clearScript(s);
    s.scenarioError.clear();
    s.appliedScenarioFile.reset();
    s.scenarioFiles = false;
    s.results.clear();
    s.calls.clear();
    clearLog(s);
    s.logEnabled = true;  // a program that resets the simulator is one that reads its log
    s.loopback = true;
}

void VSim_SetResult(const char* function, uint32_t result) {
    if (function == nullptr) return;
    State& s = state();
    std::lock_guard lock(s.mutex);
    programResult(s, function, 0, result);
}

void VSim_SetResultOnCall(const char* function, uint32_t nth, uint32_t result) {
    if (function == nullptr || nth == 0) return;
    State& s = state();
    std::lock_guard lock(s.mutex);
    programResult(s, function, nth, result);
}

void VSim_ClearResults(void) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.results.clear();
}

size_t VSim_CallCount(const char* function) {
    if (function == nullptr) return 0;
    State& s = state();
    std::lock_guard lock(s.mutex);
    auto found = s.calls.find(std::string_view(function));
    return found != s.calls.end() ? found->second : 0;
}

size_t VSim_LogSize(void) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.log.size();
}

int VSim_LogEntry(size_t i, char* buffer, size_t capacity) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (i >= s.log.size()) return -1;
    const std::string& entry = s.log[(s.logStart + i) % s.log.size()];
    if (buffer != nullptr && capacity > 0) {
        const size_t copied = std::min(entry.size(), capacity - 1);
        std::memcpy(buffer, entry.data(), copied);
        buffer[copied] = '\0';
    }
    return static_cast<int>(entry.size());
}

void VSim_LogClear(void) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    clearLog(s);
}

void VSim_SetLogEnabled(int enabled) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.logEnabled = enabled != 0;
}

void* VSim_Handle(unsigned n) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (n == 0 || n > s.connections.size()) return nullptr;
    return s.connections[n - 1].get();
}

void* VSim_CallbackContext(void* handle, uint32_t kind) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    auto connection = s.byHandle.find(handle);
    if (connection == s.byHandle.end()) return nullptr;
    auto registered = connection->second->callbacks.find(kind);
    return registered != connection->second->callbacks.end() ? registered->second.context : nullptr;
}

unsigned VSim_OpenConnections(void) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    unsigned open = 0;
    for (const auto& connection : s.connections) open += connection->open ? 1 : 0;
    return open;
}

int VSim_IsLocked(void* handle) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    const Connection* connection = openConnection(s, handle);
    return connection != nullptr && connection->locked ? 1 : 0;
}

void VSim_SetProperty(const char* portName, uint32_t deviceType, uint32_t id, int64_t value) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    device(s, {orEmpty(portName), deviceType}).properties[id] = value;
}

void VSim_SetCapability(const char* portName, uint32_t deviceType, uint32_t id, int64_t value) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    device(s, {orEmpty(portName), deviceType}).capabilities[id] = value;
}

void VSim_SetConfigNumber(const char* portName, uint32_t value) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.configNumbers[orEmpty(portName)] = value;
}

void VSim_SetPortCapabilityValue(const char* portName, uint32_t id, uint32_t value) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.portCapabilities[{orEmpty(portName), id}] = value;
}

void VSim_SetCustomNumber(const char* serviceURL, const char* portName, const char* key,
                          uint32_t value) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.customValues[customKey(serviceURL, portName, key)].number = value;
}

void VSim_SetCustomBytes(const char* serviceURL, const char* portName, const char* key,
                         const uint8_t* bytes, uint32_t length) {
    if (bytes == nullptr && length > 0) return;
    State& s = state();
    std::lock_guard lock(s.mutex);
    auto& stored = s.customValues[customKey(serviceURL, portName, key)].bytes;
    if (length == 0)
        stored.emplace();
    else
        stored.emplace(bytes, bytes + length);
}

int VSim_GetCustomBytes(const char* serviceURL, const char* portName, const char* key,
                        uint8_t* buffer, uint32_t capacity) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    auto found = s.customValues.find(customKey(serviceURL, portName, key));
    if (found == s.customValues.end() || !found->second.bytes) return -1;
    const std::vector<uint8_t>& stored = *found->second.bytes;
    const size_t copied = std::min<size_t>(stored.size(), capacity);
    if (buffer != nullptr && copied > 0) std::memcpy(buffer, stored.data(), copied);
    return static_cast<int>(stored.size());
}

void VSim_InjectData(void* handle, const uint8_t* bytes, uint32_t length) {
    VSim_InjectEvent(handle, DCX_CALLBACK_DATA, DCX_EVENT_DATA_RECEIVED, 0, nullptr, bytes, length);
}

void VSim_ReportPower(const char* portName, uint32_t deviceType, uint32_t reading) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    reportPower(s, {orEmpty(portName), deviceType}, reading);
}

void VSim_ReportLock(const char* portName, uint32_t deviceType, uint32_t value, uint32_t count) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    reportLock(s, {orEmpty(portName), deviceType}, value, count);
}

void VSim_InjectEvent(void* handle, uint32_t kind, uint32_t event, uint32_t count,
                      const uint32_t* values, const uint8_t* bytes, uint32_t length) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    Connection* connection = openConnection(s, handle);
    if (connection == nullptr) return;
    Event queued{.target = connection,
                 .kind = kind,
                 .code = event,
                 .count = count,
                 .values = {},
                 .valuesNull = values == nullptr,
                 .length = length,
                 .bytes = {},
                 .bytesNull = bytes == nullptr};
    if (values != nullptr) queued.values.assign(values, values + count);
    if (bytes != nullptr) queued.bytes.assign(bytes, bytes + length);
    enqueue(s, std::move(queued));
}

int VSim_WaitIdle(uint32_t timeoutMs) {
    State& s = state();
    std::unique_lock lock(s.mutex);
    return awaitIdle(s, lock, timeoutMs) ? 1 : 0;
}

int64_t VSim_LastCallbackTime(void) {
    return state().lastCallbackNanos.load(std::memory_order_relaxed);
}

void VSim_SetLoopback(int enabled) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.loopback = enabled != 0;
}

void VSim_SetSendBlocking(int enabled) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.blockSends = enabled != 0;
}

void VSim_SetScenarioFiles(int enabled) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.scenarioFiles = enabled != 0;
}

int VSim_ApplyScenarioText(const char* text) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return applyScenario(s, text != nullptr ? text : "");
}

int VSim_ScenarioError(char* buffer, size_t capacity) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (buffer != nullptr && capacity > 0) {
        const size_t copied = std::min(s.scenarioError.size(), capacity - 1);
        std::memcpy(buffer, s.scenarioError.data(), copied);
        buffer[copied] = '\0';
    }
    return static_cast<int>(s.scenarioError.size());
}

}  // extern "C"
