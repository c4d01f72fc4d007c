// The simulator's single state object, the result program, the call log and device reports.
#include "SimState.h"

#include <cinttypes>
#include <cstdio>

namespace vsim {

State& state() {
    static State* instance = new State;
    return *instance;
}

void appendLog(State& s, std::string line) {
    if (s.log.size() < kLogCapacity) {
        s.log.push_back(std::move(line));
        return;
    }
    s.log[s.logStart] = std::move(line);
    s.logStart = (s.logStart + 1) % kLogCapacity;
}

void clearLog(State& s) {
    s.log.clear();
    s.logStart = 0;
}

DCXRESULT enter(State& s, std::string_view function, std::string logLine) {
    if (s.logEnabled) appendLog(s, std::move(logLine));
    auto counted = s.calls.find(function);
    if (counted == s.calls.end()) counted = s.calls.emplace(std::string(function), 0).first;
    const uint64_t call = ++counted->second;

    auto program = s.results.find(function);
    if (program == s.results.end()) return 0;
    auto once = program->second.onCall.find(call);
    if (once != program->second.onCall.end()) {
        const DCXRESULT result = once->second;
        program->second.onCall.erase(once);
        return result;
    }
    return program->second.always.value_or(0);
}

void programResult(State& s, std::string_view function, uint32_t nth, DCXRESULT result) {
    auto program = s.results.find(function);
    if (program == s.results.end())
        program = s.results.emplace(std::string(function), ResultProgram{}).first;
    if (nth == 0) {
        program->second.always = result;
        return;
    }
    auto counted = s.calls.find(function);
    const uint64_t callsSoFar = counted != s.calls.end() ? counted->second : 0;
    program->second.onCall[callsSoFar + nth] = result;
}

void releaseSends(State& s, Connection* connection) {
    if (connection != nullptr) {
        ++connection->sendReleases;
    } else {
        ++s.resets;
    }
    s.sendReleased.notify_all();
}

Connection* openConnection(State& s, const void* handle) {
    auto found = s.byHandle.find(handle);
    if (found == s.byHandle.end() || !found->second->open) return nullptr;
    return found->second;
}

Device& device(State& s, const DeviceKey& key) {
    return s.devices[key];
}

void reportToDevice(State& s, const DeviceKey& key, uint32_t code, std::vector<uint32_t> values,
                    Clock::time_point due) {
    for (const auto& connection : s.connections) {
        if (!connection->open || connection->port != key.first ||
            connection->deviceType != key.second)
            continue;
        enqueue(s, Event{.target = connection.get(),
                         .kind = DCX_CALLBACK_POWER,
                         .code = code,
                         .count = static_cast<uint32_t>(values.size()),
                         .values = values,
                         .valuesNull = false,
                         .length = 0,
                         .bytes = {},
                         .bytesNull = true,
                         .due = due});
    }
}

void reportPower(State& s, const DeviceKey& key, uint32_t reading) {
    device(s, key).properties[kPowerProperty] = reading;
    reportToDevice(s, key, DCX_EVENT_POWER_STATE, {reading});
}

void reportLock(State& s, const DeviceKey& key, uint32_t value, uint32_t count,
                Clock::time_point due) {
    if (value == 0) {
        for (const auto& connection : s.connections) {
            if (connection->port == key.first && connection->deviceType == key.second)
                connection->locked = false;
        }
    }
    reportToDevice(s, key, DCX_EVENT_LOCK_STATE, std::vector<uint32_t>(count, value), due);
}

void countPowerRead(State& s, const DeviceKey& key) {
    ++device(s, key).powerReads;
    fireDueTriggers(s, key);
}

void fireDueTriggers(State& s, const DeviceKey& key) {
    const uint64_t reads = device(s, key).powerReads;
    // Fired triggers are taken out first: firing touches the device map, not the trigger list.
    std::vector<ReadTrigger> due;
    for (auto it = s.triggers.begin(); it != s.triggers.end();) {
        if (it->device == key && it->afterReads <= reads) {
            due.push_back(*it);
            it = s.triggers.erase(it);
        } else {
            ++it;
        }
    }
    for (const ReadTrigger& trigger : due) {
        if (trigger.lockLost)
            reportLock(s, trigger.device, 0, 1);
        else
            reportPower(s, trigger.device, trigger.reading);
    }
}

void LogLine::separate() {
    if (!first_) text_ += ", ";
    first_ = false;
}

LogLine& LogLine::str(const char* value) {
    if (!active_) return *this;
    separate();
    text_ += value != nullptr ? value : "(null)";
    return *this;
}

LogLine& LogLine::num(uint64_t value) {
    if (!active_) return *this;
    separate();
    text_ += std::to_string(value);
    return *this;
}

LogLine& LogLine::num(int64_t value) {
    if (!active_) return *this;
    separate();
    text_ += std::to_string(value);
    return *this;
}

LogLine& LogLine::hex(uint32_t value) {
    if (!active_) return *this;
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08" PRIX32, value);
    separate();
    text_ += buffer;
    return *this;
}

LogLine& LogLine::handle(const State& s, const void* value) {
    if (!active_) return *this;
    separate();
    auto found = s.byHandle.find(value);
    text_ += 'P';
    text_ += found != s.byHandle.end() ? std::to_string(found->second->sequence) : "?";
    return *this;
}

}  // namespace vsim
