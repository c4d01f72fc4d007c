// Shared state of the port-service simulator and the helpers every part of it uses: one mutex
// guards connections, devices, configuration, the result program, the call log and the queue.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "service/DCXServiceAPI.h"

namespace vsim {

inline constexpr DCXRESULT kErrParameter = 0x80000003;
inline constexpr DCXRESULT kErrBufferOverflow = 0x80000009;
inline constexpr DCXRESULT kErrNoValue = 0x8000000B;
inline constexpr DCXRESULT kErrHandle = 0x8000000E;

inline constexpr uint32_t kPowerProperty = 4;
// The call log keeps this many of the latest entries.
inline constexpr size_t kLogCapacity = 65536;
// Read-only property of a connection, for clients that cannot call VSim_IsLocked.
inline constexpr uint32_t kLockHeldProperty = 0x7F01;

using Clock = std::chrono::steady_clock;

struct Registration {
    DCX_CALLBACK callback;
    void* context;
};

// The handle given out by DCX_Open is the address of one of these. They are kept until
// VSim_Reset, so a closed handle is still recognised (and refused) instead of being reused.
struct Connection {
    unsigned sequence;  // n of "P<n>" in the log
    std::string port;
    uint32_t deviceType;
    bool open = true;
    bool locked = false;
    uint64_t sendReleases = 0;  // DCX_Close and DCX_CancelOperation calls: end blocked sends
    std::map<uint32_t, Registration> callbacks;  // by kind
    // Device scripts: n-th connection to its device since the scenario, its DCX_Send calls, and
    // when the last scripted delivery to it is due (later ones never overtake it).
    unsigned ordinal = 0;
    uint64_t sends = 0;
    Clock::time_point lastDue{};
};

using DeviceKey = std::pair<std::string, uint32_t>;  // port name, device type

struct Device {
    std::map<uint32_t, int64_t> properties;
    std::map<uint32_t, int64_t> capabilities;
    uint64_t powerReads = 0;  // successful DCX_GetProperty of property 4
};

// A report that a scenario schedules for when the device's power has been read often enough.
struct ReadTrigger {
    DeviceKey device;
    uint64_t afterReads;
    bool lockLost;  // else a power report
    uint32_t reading;
};

using CustomKey = std::tuple<std::string, std::string, std::string>;  // service URL, port, key

struct CustomValue {
    std::optional<uint32_t> number;
    std::optional<std::vector<uint8_t>> bytes;  // string (without its 0) or binary
};

struct ResultProgram {
    std::optional<DCXRESULT> always;
    std::map<uint64_t, DCXRESULT> onCall;  // by call number
};

// An event owns copies of its values and bytes; the null flags let a test hand a callback a
// null pointer together with a nonzero count or length.
struct Event {
    const Connection* target;
    uint32_t kind;
    uint32_t code;
    uint32_t count;
    std::vector<uint32_t> values;
    bool valuesNull;
    uint32_t length;
    std::vector<uint8_t> bytes;
    bool bytesNull;
    Clock::time_point due{};              // not delivered before; unset: when queued
    std::chrono::microseconds period{0};  // nonzero: queued again this much later once delivered
};

// Device scripts. A rule or setting applies to the connections of one port, of one device type
// or of any (no type).
struct DeviceFilter {
    std::string port;
    std::optional<uint32_t> type;
    bool covers(const Connection& c) const {
        return c.port == port && (!type || *type == c.deviceType);
    }
};

enum class MatchKind { Exact, Prefix, Pattern };
enum class RuleAction { Reply, Power, LockLost };

// A byte of a pattern: 0-255, or kAnyByte.
inline constexpr int kAnyByte = -1;

struct Rule {
    DeviceFilter device;
    MatchKind match;
    std::vector<int> pattern;
    bool once;
    bool spent = false;
    RuleAction action;
    std::vector<uint8_t> reply;
    uint32_t delayMs = 0;
    uint32_t split = 1;
    uint32_t gapMs = 0;    // between the blocks of a split reply
    uint32_t reading = 0;  // of a power action
};

enum class UnmatchedMode { Echo, Drop, Reply };

struct UnmatchedSetting {
    DeviceFilter device;
    UnmatchedMode mode;
    std::vector<uint8_t> reply;
};

// An event a script delivers on its own: periodically from the data callback's registration, or
// once after the nth send (0: after the registration of its kind), wait later. A recording's
// replay lines are these, for one connection (ordinal) of the device.
struct ScriptedEvent {
    DeviceFilter device;
    unsigned ordinal = 0;  // 0: every connection
    uint64_t afterSends = 0;
    std::chrono::microseconds wait{0};
    std::chrono::microseconds every{0};
    Event event;  // target and due are filled in when it is queued
};

struct InFlight {
    const Connection* target;
    uint32_t kind;
    uint64_t serial;
};

struct State {
    std::mutex mutex;
    std::condition_variable work;      // the queue got an event
    std::condition_variable progress;  // a callback returned or the queue drained

    std::vector<std::unique_ptr<Connection>> connections;  // index = sequence - 1
    std::unordered_map<const void*, Connection*> byHandle;
    std::map<DeviceKey, Device> devices;
    std::map<std::string, uint32_t> configNumbers;
    std::map<std::pair<std::string, uint32_t>, uint32_t> portCapabilities;
    std::map<CustomKey, CustomValue> customValues;
    std::vector<ReadTrigger> triggers;
    std::optional<std::string> appliedScenarioFile;
    bool scenarioFiles = true;
    std::string scenarioError;  // of the last scenario applied: "line N: reason", or empty

    // Device scripts, in file order, and the connections opened per device since they were set.
    std::vector<Rule> rules;
    std::vector<UnmatchedSetting> unmatched;
    std::vector<ScriptedEvent> scripted;
    std::map<DeviceKey, unsigned> deviceOpens;

    std::map<std::string, ResultProgram, std::less<>> results;
    std::map<std::string, uint64_t, std::less<>> calls;  // since reset, by function
    std::vector<std::string> log;  // a ring once full: the oldest entry is at logStart
    size_t logStart = 0;
    // Off until a program asks for it: a program that only sends would otherwise pay for lines
    // nobody reads.
    bool logEnabled = false;
    bool loopback = true;
    // DCX_Send waits for its handle's DCX_Close or DCX_CancelOperation, or its timeout.
    bool blockSends = false;
    uint64_t resets = 0;  // a blocked send gives up when the simulator is reset
    std::condition_variable sendReleased;

    std::deque<Event> queue;
    bool deliveryStarted = false;
    std::thread::id deliveryThread;
    std::optional<InFlight> inFlight;
    uint64_t deliverySerial = 0;
    std::atomic<int64_t> lastCallbackNanos{0};  // CLOCK_MONOTONIC, set before each callback
};

// The one simulator instance. Never destroyed: the delivery thread outlives static destruction.
State& state();

// Everything below expects state().mutex to be held by the caller.

// Adds a line to the log (logging on), dropping the oldest one when it is full.
void appendLog(State& s, std::string line);
void clearLog(State& s);

// Logs the call, counts it and returns the result programmed for it (0 when none).
DCXRESULT enter(State& s, std::string_view function, std::string logLine);

// Programs the result of every later call (nth 0) or of the nth call from now.
void programResult(State& s, std::string_view function, uint32_t nth, DCXRESULT result);

// An open connection for the handle, or null for a handle that is unknown or closed.
Connection* openConnection(State& s, const void* handle);
Device& device(State& s, const DeviceKey& key);

// Queues an event, starting the delivery thread on first use.
void enqueue(State& s, Event event);
// Queues a report to the kind 2 callbacks of every open connection to the device.
// Due: not before then (unset: now).
void reportToDevice(State& s, const DeviceKey& key, uint32_t code, std::vector<uint32_t> values,
                    Clock::time_point due = {});
// Sets the device's power reading and reports it.
void reportPower(State& s, const DeviceKey& key, uint32_t reading);
// Reports a lock state; a value of 0 means the device's connections lost their lock.
void reportLock(State& s, const DeviceKey& key, uint32_t value, uint32_t count,
                Clock::time_point due = {});
// Returns once no callback of the connection (of that kind, when given) is running on the
// delivery thread. Does not wait on the delivery thread itself, where it would wait for itself.
void awaitCallbacks(State& s, std::unique_lock<std::mutex>& lock, const Connection* connection,
                    std::optional<uint32_t> kind);
// Waits until only periodic data is queued and no callback runs; false on time-out.
bool awaitIdle(State& s, std::unique_lock<std::mutex>& lock, uint32_t timeoutMs);
bool onDeliveryThread(const State& s);

// Ends the sends blocked on the connection (every blocked send when it is null).
void releaseSends(State& s, Connection* connection);

// Scenario settings: programmed results and device and port settings.
void clearScenarioSettings(State& s);
// Clears the scenario settings, then applies the text. Returns 0, or the 1-based number of the
// first line that was not understood (every such line is skipped).
int applyScenario(State& s, std::string_view text);
// Counts a power read of the device and fires the scenario reports that were waiting for it.
void countPowerRead(State& s, const DeviceKey& key);
// Fires the scenario reports of the device whose read count has been reached.
void fireDueTriggers(State& s, const DeviceKey& key);
// A whole word as a number in [minimum, maximum], decimal or 0x hex, maybe negative.
std::optional<int64_t> scenarioNumber(std::string_view word, int64_t minimum, int64_t maximum);

// Device scripts (SimScript.cpp).
// The words of a scenario line, its '#' comment left out; a double-quoted string is one word,
// quotes included. Sets error (and returns what it has) on an unterminated string.
std::vector<std::string_view> scenarioWords(std::string_view line, std::string& error);
// Applies a rule, unsolicited, unmatched or replay line: nullopt when the line is none of them,
// else the reason it was refused ("" when applied).
std::optional<std::string> applyScriptLine(State& s, const std::vector<std::string_view>& words);
void clearScript(State& s);
// A connection was opened: numbers it among the connections to its device.
void scriptOpened(State& s, Connection& connection);
// A callback of this kind was registered: starts the periodic data and the events due after it.
void scriptRegistered(State& s, Connection& connection, uint32_t kind);
// Data was sent on the connection: what the script answers, or the unmatched setting's answer.
void scriptSent(State& s, Connection& connection, const uint8_t* bytes, uint32_t count);
// Queues an event no earlier than the connection's last scripted one, wait from now.
void scheduleInOrder(State& s, Connection& connection, Event event, std::chrono::microseconds wait);

// Builds one log line: "Name(arg, arg)"; with logging off it builds nothing. Constructed with
// state().mutex held, like everything here.
class LogLine {
  public:
    explicit LogLine(std::string_view function) : active_(state().logEnabled) {
        if (!active_) return;
        text_ = function;
        text_ += '(';
    }
    LogLine& str(const char* value);
    LogLine& num(uint64_t value);
    LogLine& num(int64_t value);
    LogLine& num(uint32_t value) { return num(static_cast<uint64_t>(value)); }
    LogLine& num(int32_t value) { return num(static_cast<int64_t>(value)); }
    LogLine& hex(uint32_t value);
    LogLine& handle(const State& s, const void* value);
    std::string done() { return active_ ? std::move(text_) + ')' : std::string(); }

  private:
    void separate();
    bool active_;
    std::string text_;
    bool first_ = true;
};

}  // namespace vsim
