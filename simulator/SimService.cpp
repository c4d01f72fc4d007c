// The simulated service library: connections, locks, callbacks, sending to the scripted device,
// properties, capabilities and the extension entry. Each call is logged and consults the result
// program before it has any effect.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "SimService.h"
#include "SimState.h"

using namespace vsim;

namespace {

std::optional<std::string> readScenarioFile(const char* directory) {
    if (directory == nullptr) return std::nullopt;
    std::ifstream file(std::string(directory) + "/vsim-scenario.txt", std::ios::binary);
    if (!file) return std::nullopt;
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

DeviceKey keyOf(const Connection& connection) {
    return {connection.port, connection.deviceType};
}

constexpr DCXRESULT kErrSendReleased = 0x80000007;
constexpr DCXRESULT kErrSendTimedOut = 0x80000006;

// A blocked send, with the state's mutex held through the lock; returns how it ended: released
// by a close or cancel of its handle (or a reset), or timed out. Waiting gives the mutex up, so
// the close that ends it can run.
DCXRESULT blockSend(State& s, std::unique_lock<std::mutex>& lock, Connection* connection,
                    uint32_t timeoutMs) {
    const uint64_t resets = s.resets;
    const uint64_t releases = connection->sendReleases;
    const bool released = s.sendReleased.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return s.resets != resets || connection->sendReleases != releases;
    });
    return released ? kErrSendReleased : kErrSendTimedOut;
}

}  // namespace

extern "C" {

DCXRESULT VSimSvc_Initialize(const char* libraryDirectory) {
    State& s = state();
    bool files;
    {
        std::lock_guard lock(s.mutex);
        files = s.scenarioFiles;
    }
    // Read outside the lock; only the comparison with what was applied needs the state.
    std::optional<std::string> scenario = files ? readScenarioFile(libraryDirectory) : std::nullopt;
    std::lock_guard lock(s.mutex);
    if (files && s.scenarioFiles && scenario != s.appliedScenarioFile) {
        if (scenario) {
            if (applyScenario(s, *scenario) != 0)
                std::fprintf(stderr, "vsim: %s/vsim-scenario.txt: %s\n", libraryDirectory,
                             s.scenarioError.c_str());
        } else {
            clearScenarioSettings(s);
        }
        s.appliedScenarioFile = std::move(scenario);
    }
    return enter(s, "DCX_Initialize", LogLine("DCX_Initialize").done());
}

DCXRESULT VSimSvc_Terminate() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return enter(s, "DCX_Terminate", LogLine("DCX_Terminate").done());
}

DCXRESULT VSimSvc_Open(const char* serviceURL, const char* portName, const char* clientName,
                       uint32_t deviceType, void** portHandle) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    LogLine line("DCX_Open");
    line.str(serviceURL).str(portName).str(clientName).num(deviceType);
    if (DCXRESULT r = enter(s, "DCX_Open", line.done())) return r;
    if (portName == nullptr || portHandle == nullptr) return kErrParameter;

    auto connection = std::make_unique<Connection>();
    connection->sequence = static_cast<unsigned>(s.connections.size() + 1);
    connection->port = portName;
    connection->deviceType = deviceType;
    s.byHandle[connection.get()] = connection.get();
    scriptOpened(s, *connection);
    *portHandle = connection.get();
    s.connections.push_back(std::move(connection));
    return 0;
}

DCXRESULT VSimSvc_Close(void* portHandle) {
    State& s = state();
    std::unique_lock lock(s.mutex);
    if (DCXRESULT r = enter(s, "DCX_Close", LogLine("DCX_Close").handle(s, portHandle).done()))
        return r;
    Connection* connection = openConnection(s, portHandle);
    if (connection == nullptr) return kErrHandle;
    connection->open = false;
    connection->locked = false;
    connection->callbacks.clear();
    releaseSends(s, connection);
    awaitCallbacks(s, lock, connection, std::nullopt);
    return 0;
}

DCXRESULT VSimSvc_Lock(void* portHandle, uint32_t timeout) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    LogLine line("DCX_Lock");
    line.handle(s, portHandle).num(timeout);
    if (DCXRESULT r = enter(s, "DCX_Lock", line.done())) return r;
    Connection* connection = openConnection(s, portHandle);
    if (connection == nullptr) return kErrHandle;
    connection->locked = true;
    return 0;
}

DCXRESULT VSimSvc_Unlock(void* portHandle) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (DCXRESULT r = enter(s, "DCX_Unlock", LogLine("DCX_Unlock").handle(s, portHandle).done()))
        return r;
    Connection* connection = openConnection(s, portHandle);
    if (connection == nullptr) return kErrHandle;
    connection->locked = false;
    return 0;
}

DCXRESULT VSimSvc_RegisterCallback(uint32_t kind, void* portHandle, DCX_CALLBACK callback,
                                   void* context) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    LogLine line("DCX_RegisterCallback");
    line.num(kind).handle(s, portHandle);
    if (DCXRESULT r = enter(s, "DCX_RegisterCallback", line.done())) return r;
    Connection* connection = openConnection(s, portHandle);
    if (connection == nullptr) return kErrHandle;
    if (callback == nullptr) return kErrParameter;
    connection->callbacks[kind] = Registration{callback, context};
    scriptRegistered(s, *connection, kind);
    return 0;
}

DCXRESULT VSimSvc_UnRegisterCallback(uint32_t kind, void* portHandle) {
    State& s = state();
    std::unique_lock lock(s.mutex);
    LogLine line("DCX_UnRegisterCallback");
    line.num(kind).handle(s, portHandle);
    if (DCXRESULT r = enter(s, "DCX_UnRegisterCallback", line.done())) return r;
    Connection* connection = openConnection(s, portHandle);
    if (connection == nullptr) return kErrHandle;
    connection->callbacks.erase(kind);
    awaitCallbacks(s, lock, connection, kind);
    return 0;
}

// arg2 is the byte count (Java's first int) and arg1 a timeout in milliseconds (Java's second
// int) that the simulated device has no use for. Exactly arg2 bytes are read, never more; the
// device script (by default an echo) answers them.
DCXRESULT VSimSvc_Send(void* portHandle, uint32_t zero1, uint32_t zero2, uint32_t arg1,
                       uint32_t arg2, uint8_t* bytes, uint32_t* sent) {
    State& s = state();
    std::unique_lock lock(s.mutex);
    LogLine line("DCX_Send");
    line.handle(s, portHandle).num(zero1).num(zero2).num(arg1).num(arg2);
    const auto count = static_cast<int32_t>(arg2);
    auto report = [&](uint32_t value) {
        if (sent != nullptr) *sent = value;
    };
    if (DCXRESULT r = enter(s, "DCX_Send", line.done())) {
        // A failed send may have got part of the way.
        report(count > 0 ? static_cast<uint32_t>(count / 2) : 0);
        return r;
    }
    report(0);
    Connection* connection = openConnection(s, portHandle);
    if (connection == nullptr) return kErrHandle;
    if (count < 0 || (count > 0 && bytes == nullptr)) return kErrParameter;
    if (s.blockSends) return blockSend(s, lock, connection, arg1);
    report(arg2);
    scriptSent(s, *connection, bytes, arg2);
    return 0;
}

DCXRESULT VSimSvc_CancelOperation(void* portHandle, uint32_t operation, uint32_t value) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    LogLine line("DCX_CancelOperation");
    line.handle(s, portHandle).num(operation).num(value);
    if (DCXRESULT r = enter(s, "DCX_CancelOperation", line.done())) return r;
    Connection* connection = openConnection(s, portHandle);
    if (connection == nullptr) return kErrHandle;
    releaseSends(s, connection);
    return 0;
}

DCXRESULT VSimSvc_ResumeSending(void* portHandle) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    LogLine line("DCX_ResumeSending");
    line.handle(s, portHandle);
    if (DCXRESULT r = enter(s, "DCX_ResumeSending", line.done())) return r;
    return openConnection(s, portHandle) != nullptr ? 0 : kErrHandle;
}

DCXRESULT VSimSvc_GetProperty(void* portHandle, uint32_t id, int64_t* value) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    LogLine line("DCX_GetProperty");
    line.handle(s, portHandle).num(id);
    if (DCXRESULT r = enter(s, "DCX_GetProperty", line.done())) return r;
    Connection* connection = openConnection(s, portHandle);
    if (connection == nullptr) return kErrHandle;
    if (value == nullptr) return kErrParameter;
    if (id == kLockHeldProperty) {
        *value = connection->locked ? 1 : 0;
        return 0;
    }
    const DeviceKey key = keyOf(*connection);
    const auto& properties = device(s, key).properties;
    auto found = properties.find(id);
    *value = found != properties.end() ? found->second : 0;
    if (id == kPowerProperty) countPowerRead(s, key);
    return 0;
}

DCXRESULT VSimSvc_SetProperty(void* portHandle, uint32_t selector1, uint32_t selector2,
                              int64_t value) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    LogLine line("DCX_SetProperty");
    line.handle(s, portHandle).num(selector1).num(selector2).num(value);
    if (DCXRESULT r = enter(s, "DCX_SetProperty", line.done())) return r;
    Connection* connection = openConnection(s, portHandle);
    if (connection == nullptr) return kErrHandle;
    device(s, keyOf(*connection)).properties[selector2] = value;
    return 0;
}

DCXRESULT VSimSvc_GetCapability(void* portHandle, uint32_t id, int64_t* value) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    LogLine line("DCX_GetCapability");
    line.handle(s, portHandle).num(id);
    if (DCXRESULT r = enter(s, "DCX_GetCapability", line.done())) return r;
    Connection* connection = openConnection(s, portHandle);
    if (connection == nullptr) return kErrHandle;
    if (value == nullptr) return kErrParameter;
    const auto& capabilities = device(s, keyOf(*connection)).capabilities;
    auto found = capabilities.find(id);
    *value = found != capabilities.end() ? found->second : 0;
    return 0;
}

DCXRESULT VSimSvc_ResetDevice(void* portHandle, uint32_t argument) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    LogLine line("DCX_ResetDevice");
    line.handle(s, portHandle).num(argument);
    if (DCXRESULT r = enter(s, "DCX_ResetDevice", line.done())) return r;
    return openConnection(s, portHandle) != nullptr ? 0 : kErrHandle;
}

// An echo: min(input length, output length) input bytes go to the output. A negative length or
// an absent buffer counts as length 0, so nothing outside either buffer is touched.
DCXRESULT VSimSvc_ExtendFunction(void* portHandle, uint32_t function, uint32_t code, uint8_t* input,
                                 int32_t inputLength, uint8_t* output, int32_t outputLength,
                                 uint32_t* outputCount) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    LogLine line("DCX_ExtendFunction");
    line.handle(s, portHandle).num(function).hex(code).num(inputLength).num(outputLength);
    if (outputCount != nullptr) *outputCount = 0;
    if (DCXRESULT r = enter(s, "DCX_ExtendFunction", line.done())) return r;
    if (openConnection(s, portHandle) == nullptr) return kErrHandle;
    const int32_t in = input != nullptr ? std::max(inputLength, 0) : 0;
    const int32_t out = output != nullptr ? std::max(outputLength, 0) : 0;
    const int32_t copied = std::min(in, out);
    if (copied > 0) std::memmove(output, input, static_cast<size_t>(copied));
    if (outputCount != nullptr) *outputCount = static_cast<uint32_t>(copied);
    return 0;
}

}  // extern "C"
