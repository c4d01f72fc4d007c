// libdcxif.so of the recording stand-in: each call goes to the real service library and is
// written down with its result. Callbacks are registered through a relay that writes each event
// as a replay line: which connection of which device, after how many sends, how long after the
// last of them (or after the registration), and what the event carried.
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <type_traits>
#include <utility>

#include "Recorder.h"

#define VREC_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kLibrary = "libdcxif.so";

struct Connection {
    unsigned sequence = 0;  // "P<n>", n counting successful opens
    std::string port;
    uint32_t deviceType = 0;
    unsigned ordinal = 0;  // among the connections to its device
    uint64_t sends = 0;
    Clock::time_point lastSend{};
    std::map<uint32_t, Clock::time_point> registered;  // by kind
};

struct Relay {
    void* handle;
    uint32_t kind;
    DCX_CALLBACK callback;
    void* context;
};

struct Session {
    std::mutex mutex;
    std::map<const void*, Connection> connections;
    std::map<std::pair<std::string, uint32_t>, unsigned> deviceOpens;
    std::map<std::pair<const void*, uint32_t>, std::unique_ptr<Relay>> relays;
};

Session& session() {
    static Session* instance = new Session;  // the service's thread may outlive static destruction
    return *instance;
}

std::string name(const void* handle) {
    Session& s = session();
    std::lock_guard lock(s.mutex);
    auto found = s.connections.find(handle);
    // Appended, not "P" + std::to_string(...): GCC 12 at -O3 takes that for an overlapping copy.
    return found != s.connections.end()
               ? std::string("P").append(std::to_string(found->second.sequence))
               : "P?";
}

template <class Fn, class... Args>
DCXRESULT forward(const char* function, Args... args) {
    Fn* real = vrec::real<Fn>(kLibrary, function);
    return real != nullptr ? real(args...) : vrec::kNotAvailable;
}

// A get of a property or capability: the id asked for, then the value got.
template <class Fn>
DCXRESULT getValue(const char* function, void* portHandle, uint32_t id, int64_t* value) {
    const DCXRESULT r = forward<Fn>(function, portHandle, id, value);
    vrec::CallLine(function)
        .arg(name(portHandle))
        .num(id)
        .done(r, r == 0 && value != nullptr ? " value " + std::to_string(*value) : "");
    return r;
}

std::string code(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string replayLine(const Connection& c, uint32_t kind, uint32_t event, uint32_t count,
                       const uint32_t* values, uint32_t length, const uint8_t* bytes) {
    auto registered = c.registered.find(kind);
    const Clock::time_point since = c.sends > 0                        ? c.lastSend
                                    : registered != c.registered.end() ? registered->second
                                                                       : Clock::now();
    const auto wait = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - since);
    std::string line = "replay " + c.port + ' ' + std::to_string(c.deviceType) + ' ' +
                       std::to_string(c.ordinal) + " after-sends " + std::to_string(c.sends) +
                       " wait-us " + std::to_string(std::max<int64_t>(wait.count(), 0)) + " kind " +
                       std::to_string(kind) + " event " + code(event);
    if (values != nullptr) {
        line += " values";
        for (uint32_t i = 0; i < count; ++i) line += ' ' + std::to_string(values[i]);
    }
    if (bytes != nullptr) line += " bytes " + vrec::hex(bytes, length);
    return line + "  # " + vrec::stamp() + " P" + std::to_string(c.sequence);
}

uint32_t relayEvent(uint32_t event, uint32_t count, uint32_t* values, uint32_t length,
                    uint8_t* bytes, void* context) {
    const auto* relay = static_cast<const Relay*>(context);
    Session& s = session();
    std::string line;
    DCX_CALLBACK callback;
    void* callerContext;
    {
        std::lock_guard lock(s.mutex);
        auto found = s.connections.find(relay->handle);
        if (found != s.connections.end())
            line = replayLine(found->second, relay->kind, event, count, values, length, bytes);
        callback = relay->callback;
        callerContext = relay->context;
    }
    if (!line.empty()) vrec::write(line);
    return callback(event, count, values, length, bytes, callerContext);
}

}  // namespace

VREC_EXPORT DCXRESULT DCX_Initialize() {
    if (vrec::readConfiguration()) {
        // A recording counts the connections to each device from its own start, as a replay does.
        Session& s = session();
        std::lock_guard lock(s.mutex);
        s.deviceOpens.clear();
    }
    const DCXRESULT r = forward<DCX_Initialize_t>("DCX_Initialize");
    vrec::CallLine("DCX_Initialize").done(r);
    return r;
}

VREC_EXPORT DCXRESULT DCX_Terminate() {
    const DCXRESULT r = forward<DCX_Terminate_t>("DCX_Terminate");
    vrec::CallLine("DCX_Terminate").done(r);
    return r;
}

VREC_EXPORT DCXRESULT DCX_Open(const char* serviceURL, const char* portName, const char* clientName,
                               uint32_t deviceType, void** portHandle) {
    vrec::CallLine line("DCX_Open");
    line.str(serviceURL).str(portName).str(clientName).num(deviceType);
    const DCXRESULT r =
        forward<DCX_Open_t>("DCX_Open", serviceURL, portName, clientName, deviceType, portHandle);
    if (r != 0 || portName == nullptr || portHandle == nullptr) {
        line.done(r);
        return r;
    }
    Session& s = session();
    std::unique_lock lock(s.mutex);
    const auto device = std::make_pair(std::string(portName), deviceType);
    const unsigned ordinal = ++s.deviceOpens[device];
    const auto sequence = static_cast<unsigned>(s.connections.size() + 1);
    Connection& connection = s.connections[*portHandle];
    connection = Connection{};
    connection.sequence = sequence;
    connection.port = portName;
    connection.deviceType = deviceType;
    connection.ordinal = ordinal;
    lock.unlock();
    line.done(r, " P" + std::to_string(sequence));
    // The replay answers nothing itself: what the device sent is all in the replay lines.
    if (ordinal == 1)
        vrec::write("unmatched " + device.first + ' ' + std::to_string(deviceType) + " drop");
    return r;
}

VREC_EXPORT DCXRESULT DCX_Close(void* portHandle) {
    const DCXRESULT r = forward<DCX_Close_t>("DCX_Close", portHandle);
    if (r == 0) {
        // No relay of the handle is called once the close has returned.
        Session& s = session();
        std::lock_guard lock(s.mutex);
        std::erase_if(s.relays, [&](const auto& relay) { return relay.first.first == portHandle; });
    }
    vrec::CallLine("DCX_Close").arg(name(portHandle)).done(r);
    return r;
}

VREC_EXPORT DCXRESULT DCX_Lock(void* portHandle, uint32_t timeout) {
    const DCXRESULT r = forward<DCX_Lock_t>("DCX_Lock", portHandle, timeout);
    vrec::CallLine("DCX_Lock").arg(name(portHandle)).num(timeout).done(r);
    return r;
}

VREC_EXPORT DCXRESULT DCX_Unlock(void* portHandle) {
    const DCXRESULT r = forward<DCX_Unlock_t>("DCX_Unlock", portHandle);
    vrec::CallLine("DCX_Unlock").arg(name(portHandle)).done(r);
    return r;
}

VREC_EXPORT DCXRESULT DCX_RegisterCallback(uint32_t kind, void* portHandle, DCX_CALLBACK callback,
                                           void* context) {
    Session& s = session();
    Relay* relay = nullptr;
    if (callback != nullptr) {
        std::lock_guard lock(s.mutex);
        // Events may come before the call returns: the registration time is taken first.
        if (auto found = s.connections.find(portHandle); found != s.connections.end())
            found->second.registered[kind] = Clock::now();
        auto& slot = s.relays[{portHandle, kind}];
        if (!slot) slot = std::make_unique<Relay>(Relay{portHandle, kind, callback, context});
        // A relay already registered keeps its address; the service calls it with the new one.
        slot->callback = callback;
        slot->context = context;
        relay = slot.get();
    }
    const DCXRESULT r = forward<DCX_RegisterCallback_t>("DCX_RegisterCallback", kind, portHandle,
                                                        relay != nullptr ? relayEvent : nullptr,
                                                        static_cast<void*>(relay));
    vrec::CallLine("DCX_RegisterCallback").num(kind).arg(name(portHandle)).done(r);
    return r;
}

VREC_EXPORT DCXRESULT DCX_UnRegisterCallback(uint32_t kind, void* portHandle) {
    const DCXRESULT r =
        forward<DCX_UnRegisterCallback_t>("DCX_UnRegisterCallback", kind, portHandle);
    if (r == 0) {
        Session& s = session();
        std::lock_guard lock(s.mutex);
        s.relays.erase({portHandle, kind});
    }
    vrec::CallLine("DCX_UnRegisterCallback").num(kind).arg(name(portHandle)).done(r);
    return r;
}

// The send is counted before it goes out: its answer may arrive before the call returns.
VREC_EXPORT DCXRESULT DCX_Send(void* portHandle, uint32_t zero1, uint32_t zero2, uint32_t arg1,
                               uint32_t arg2, uint8_t* bytes, uint32_t* sent) {
    Session& s = session();
    auto count = [&](int step) {
        std::lock_guard lock(s.mutex);
        auto found = s.connections.find(portHandle);
        if (found == s.connections.end()) return;
        found->second.sends += step;
        if (step > 0) found->second.lastSend = Clock::now();
    };
    vrec::CallLine line("DCX_Send");  // stamped now, when the send begins
    line.arg(name(portHandle)).num(zero1).num(zero2).num(arg1).num(arg2);
    count(1);
    const DCXRESULT r =
        forward<DCX_Send_t>("DCX_Send", portHandle, zero1, zero2, arg1, arg2, bytes, sent);
    // Only sends that went out are counted, as the simulator counts them when it replays.
    if (r != 0) count(-1);
    const uint32_t done = sent != nullptr ? *sent : 0;
    line.done(r, " sent " + std::to_string(done) +
                     (bytes != nullptr ? " data " + vrec::hex(bytes, done) : ""));
    return r;
}

VREC_EXPORT DCXRESULT DCX_CancelOperation(void* portHandle, uint32_t operation, uint32_t value) {
    const DCXRESULT r =
        forward<DCX_CancelOperation_t>("DCX_CancelOperation", portHandle, operation, value);
    vrec::CallLine("DCX_CancelOperation").arg(name(portHandle)).num(operation).num(value).done(r);
    return r;
}

VREC_EXPORT DCXRESULT DCX_ResumeSending(void* portHandle) {
    const DCXRESULT r = forward<DCX_ResumeSending_t>("DCX_ResumeSending", portHandle);
    vrec::CallLine("DCX_ResumeSending").arg(name(portHandle)).done(r);
    return r;
}

VREC_EXPORT DCXRESULT DCX_GetProperty(void* portHandle, uint32_t id, int64_t* value) {
    return getValue<DCX_GetProperty_t>("DCX_GetProperty", portHandle, id, value);
}

VREC_EXPORT DCXRESULT DCX_SetProperty(void* portHandle, uint32_t selector1, uint32_t selector2,
                                      int64_t value) {
    const DCXRESULT r =
        forward<DCX_SetProperty_t>("DCX_SetProperty", portHandle, selector1, selector2, value);
    vrec::CallLine("DCX_SetProperty")
        .arg(name(portHandle))
        .num(selector1)
        .num(selector2)
        .num(value)
        .done(r);
    return r;
}

VREC_EXPORT DCXRESULT DCX_GetCapability(void* portHandle, uint32_t id, int64_t* value) {
    return getValue<DCX_GetCapability_t>("DCX_GetCapability", portHandle, id, value);
}

VREC_EXPORT DCXRESULT DCX_ResetDevice(void* portHandle, uint32_t argument) {
    const DCXRESULT r = forward<DCX_ResetDevice_t>("DCX_ResetDevice", portHandle, argument);
    vrec::CallLine("DCX_ResetDevice").arg(name(portHandle)).num(argument).done(r);
    return r;
}

VREC_EXPORT DCXRESULT DCX_ExtendFunction(void* portHandle, uint32_t function, uint32_t code,
                                         uint8_t* input, int32_t inputLength, uint8_t* output,
                                         int32_t outputLength, uint32_t* outputCount) {
    const DCXRESULT r =
        forward<DCX_ExtendFunction_t>("DCX_ExtendFunction", portHandle, function, code, input,
                                      inputLength, output, outputLength, outputCount);
    vrec::CallLine("DCX_ExtendFunction")
        .arg(name(portHandle))
        .num(function)
        .num(code)
        .num(inputLength)
        .num(outputLength)
        .done(r, outputCount != nullptr ? " count " + std::to_string(*outputCount) : "");
    return r;
}

static_assert(std::is_same_v<decltype(DCX_Send), DCX_Send_t>);
static_assert(std::is_same_v<decltype(DCX_ExtendFunction), DCX_ExtendFunction_t>);
static_assert(std::is_same_v<decltype(DCX_RegisterCallback), DCX_RegisterCallback_t>);
