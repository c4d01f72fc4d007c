// Device scripts: the simulator answering what is sent as a device would. Rules match each block
// sent and reply with data, a power reading or a lost lock; unsolicited data comes periodically
// or after the nth send; replay lines of a recording come back after the send they followed.
// Deliveries to one connection keep the order of the sends that caused them, so a script gives
// the same sequence every run whatever the machine's load.
#include <algorithm>
#include <cstring>
#include <limits>

#include "SimState.h"

namespace vsim {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using Words = std::vector<std::string_view>;

// Words that end a BYTES field.
constexpr std::string_view kKeywords[] = {"once",  "reply", "power",  "lock-lost", "delay",
                                          "split", "gap",   "values", "bytes"};

bool isKeyword(std::string_view word) {
    return std::find(std::begin(kKeywords), std::end(kKeywords), word) != std::end(kKeywords);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A quoted string with \r \n \t \\ \" \xNN escapes, quotes included in the word.
std::string quotedBytes(std::string_view word, std::vector<int>& out) {
    for (size_t i = 1; i + 1 < word.size(); ++i) {
        if (word[i] != '\\') {
            out.push_back(static_cast<uint8_t>(word[i]));
            continue;
        }
        if (++i + 1 >= word.size()) return "a string may not end in a lone backslash";
        switch (word[i]) {
            case 'r':
                out.push_back('\r');
                break;
            case 'n':
                out.push_back('\n');
                break;
            case 't':
                out.push_back('\t');
                break;
            case '\\':
                out.push_back('\\');
                break;
            case '"':
                out.push_back('"');
                break;
            case 'x': {
                const int high = i + 2 < word.size() ? hexDigit(word[i + 1]) : -1;
                const int low = i + 3 < word.size() ? hexDigit(word[i + 2]) : -1;
                if (high < 0 || low < 0) return "\\x needs two hex digits";
                out.push_back(high * 16 + low);
                i += 2;
                break;
            }
            default:
                return std::string("unknown escape \\") + word[i];
        }
    }
    return "";
}

// Hex bytes of two digits (or one) separated by colons: "1B", "1b:76:00"; "??" where allowed.
std::string hexBytes(std::string_view word, bool wildcards, std::vector<int>& out) {
    size_t at = 0;
    while (at <= word.size()) {
        size_t end = word.find(':', at);
        if (end == std::string_view::npos) end = word.size();
        const std::string_view part = word.substr(at, end - at);
        if (part == "??" && wildcards) {
            out.push_back(kAnyByte);
        } else if (part == "??") {
            return "a wildcard byte is only allowed in a pattern";
        } else {
            const int high = part.size() == 2 ? hexDigit(part[0]) : 0;
            const int low = part.empty() || part.size() > 2 ? -1 : hexDigit(part.back());
            // Appended, not "'" + std::string(word): GCC 12 at -O3 takes that for an overlapping
            // copy.
            if (high < 0 || low < 0)
                return std::string("'").append(word).append("' is not a hex byte");
            out.push_back(high * 16 + low);
        }
        at = end + 1;
    }
    return "";
}

// Reads BYTES from w[at] up to the end or a keyword. Fails on no bytes at all unless empty is
// allowed (a quoted "" is always bytes, if none).
std::string bytesField(const Words& w, size_t& at, bool wildcards, std::vector<int>& out) {
    const size_t first = at;
    for (; at < w.size() && !isKeyword(w[at]); ++at) {
        const std::string error =
            w[at].front() == '"' ? quotedBytes(w[at], out) : hexBytes(w[at], wildcards, out);
        if (!error.empty()) return error;
    }
    return at == first ? "bytes expected" : "";
}

std::string plainBytes(const Words& w, size_t& at, std::vector<uint8_t>& out) {
    std::vector<int> parsed;
    std::string error = bytesField(w, at, false, parsed);
    out.assign(parsed.begin(), parsed.end());
    return error;
}

std::string deviceFilter(const Words& w, DeviceFilter& out) {
    out.port = std::string(w[1]);
    if (w[2] == "*") return "";
    auto type = scenarioNumber(w[2], std::numeric_limits<int32_t>::min(),
                               std::numeric_limits<uint32_t>::max());
    if (!type) return "device type must be a number or *";
    out.type = static_cast<uint32_t>(*type);
    return "";
}

// "<keyword> <number>" at w[at], the number in [minimum, maximum].
std::string keyed(const Words& w, size_t& at, std::string_view keyword, int64_t minimum,
                  int64_t maximum, int64_t& out) {
    if (at >= w.size() || w[at] != keyword) return std::string(keyword) + " expected";
    auto value = at + 1 < w.size() ? scenarioNumber(w[at + 1], minimum, maximum) : std::nullopt;
    if (!value) {
        return std::string(keyword) + " needs a number from " + std::to_string(minimum) + " to " +
               std::to_string(maximum);
    }
    out = *value;
    at += 2;
    return "";
}

std::string nothingMore(const Words& w, size_t at) {
    return at == w.size() ? "" : "unexpected '" + std::string(w[at]) + "'";
}

constexpr int64_t kMaxU32 = std::numeric_limits<uint32_t>::max();

Event dataEvent(std::vector<uint8_t> bytes) {
    const auto length = static_cast<uint32_t>(bytes.size());
    return Event{.target = nullptr,
                 .kind = DCX_CALLBACK_DATA,
                 .code = DCX_EVENT_DATA_RECEIVED,
                 .count = 0,
                 .values = {},
                 .valuesNull = true,
                 .length = length,
                 .bytes = std::move(bytes),
                 .bytesNull = false};
}

// rule <port> <TYPE> exact|prefix|pattern BYTES [once] reply BYTES [delay <ms>]
//                                                      [split <n> [gap <ms>]]
//                                                      | power <reading> | lock-lost
std::string ruleLine(State& s, const Words& w) {
    Rule rule{};
    if (std::string error = deviceFilter(w, rule.device); !error.empty()) return error;
    if (w.size() < 4) return "exact, prefix or pattern expected";
    if (w[3] == "exact") {
        rule.match = MatchKind::Exact;
    } else if (w[3] == "prefix") {
        rule.match = MatchKind::Prefix;
    } else if (w[3] == "pattern") {
        rule.match = MatchKind::Pattern;
    } else {
        return "exact, prefix or pattern expected, not '" + std::string(w[3]) + "'";
    }
    size_t at = 4;
    std::string error = bytesField(w, at, rule.match == MatchKind::Pattern, rule.pattern);
    if (!error.empty()) return error;
    rule.once = at < w.size() && w[at] == "once";
    if (rule.once) ++at;
    const std::string_view action = at < w.size() ? w[at++] : "";
    if (action == "reply") {
        rule.action = RuleAction::Reply;
        if (error = plainBytes(w, at, rule.reply); !error.empty()) return error;
        int64_t value = 0;
        if (at < w.size() && w[at] == "delay") {
            if (error = keyed(w, at, "delay", 0, kMaxU32, value); !error.empty()) return error;
            rule.delayMs = static_cast<uint32_t>(value);
        }
        if (at < w.size() && w[at] == "split") {
            if (error = keyed(w, at, "split", 1, kMaxU32, value); !error.empty()) return error;
            rule.split = static_cast<uint32_t>(value);
            // Up to a minute: even a reply split byte by byte is then due within 2^32 ms.
            if (at < w.size() && w[at] == "gap") {
                if (error = keyed(w, at, "gap", 0, 60000, value); !error.empty()) return error;
                rule.gapMs = static_cast<uint32_t>(value);
            }
        }
    } else if (action == "power") {
        rule.action = RuleAction::Power;
        auto reading = at < w.size() ? scenarioNumber(w[at++], 0, kMaxU32) : std::nullopt;
        if (!reading) return "power needs a reading";
        rule.reading = static_cast<uint32_t>(*reading);
    } else if (action == "lock-lost") {
        rule.action = RuleAction::LockLost;
    } else {
        return "reply, power or lock-lost expected";
    }
    if (error = nothingMore(w, at); !error.empty()) return error;
    s.rules.push_back(std::move(rule));
    return "";
}

// unsolicited <port> <TYPE> every <ms> BYTES | after-sends <n> BYTES
std::string unsolicitedLine(State& s, const Words& w) {
    ScriptedEvent scripted{};
    if (std::string error = deviceFilter(w, scripted.device); !error.empty()) return error;
    size_t at = 3;
    int64_t value = 0;
    std::string error;
    if (at < w.size() && w[at] == "every") {
        error = keyed(w, at, "every", 1, kMaxU32, value);
        scripted.every = milliseconds(value);
    } else if (at < w.size() && w[at] == "after-sends") {
        error = keyed(w, at, "after-sends", 1, kMaxU32, value);
        scripted.afterSends = static_cast<uint64_t>(value);
    } else {
        error = "every or after-sends expected";
    }
    if (!error.empty()) return error;
    std::vector<uint8_t> bytes;
    if (error = plainBytes(w, at, bytes); !error.empty()) return error;
    if (error = nothingMore(w, at); !error.empty()) return error;
    scripted.event = dataEvent(std::move(bytes));
    s.scripted.push_back(std::move(scripted));
    return "";
}

// unmatched <port> <TYPE> echo | drop | reply BYTES
std::string unmatchedLine(State& s, const Words& w) {
    UnmatchedSetting setting{};
    if (std::string error = deviceFilter(w, setting.device); !error.empty()) return error;
    const std::string_view mode = w.size() > 3 ? w[3] : "";
    size_t at = 4;
    if (mode == "echo") {
        setting.mode = UnmatchedMode::Echo;
    } else if (mode == "drop") {
        setting.mode = UnmatchedMode::Drop;
    } else if (mode == "reply") {
        setting.mode = UnmatchedMode::Reply;
        if (std::string error = plainBytes(w, at, setting.reply); !error.empty()) return error;
    } else {
        return "echo, drop or reply expected";
    }
    if (std::string error = nothingMore(w, at); !error.empty()) return error;
    s.unmatched.push_back(std::move(setting));
    return "";
}

// replay <port> <type> <connection> after-sends <n> wait-us <us> kind <k> event <code>
//        [values <v> ...] [bytes BYTES]
std::string replayLine(State& s, const Words& w) {
    ScriptedEvent scripted{};
    if (std::string error = deviceFilter(w, scripted.device); !error.empty()) return error;
    if (!scripted.device.type) return "a replay names its device type";
    auto ordinal = w.size() > 3 ? scenarioNumber(w[3], 1, kMaxU32) : std::nullopt;
    if (!ordinal) return "connection number expected";
    scripted.ordinal = static_cast<unsigned>(*ordinal);
    size_t at = 4;
    int64_t sends = 0, wait = 0, kind = 0, code = 0;
    std::string error = keyed(w, at, "after-sends", 0, kMaxU32, sends);
    // No longer than the longest delay, so that the due time cannot overflow.
    if (error.empty()) error = keyed(w, at, "wait-us", 0, kMaxU32 * 1000, wait);
    if (error.empty()) error = keyed(w, at, "kind", 0, kMaxU32, kind);
    if (error.empty()) error = keyed(w, at, "event", 0, kMaxU32, code);
    if (!error.empty()) return error;
    Event event{.target = nullptr,
                .kind = static_cast<uint32_t>(kind),
                .code = static_cast<uint32_t>(code),
                .count = 0,
                .values = {},
                .valuesNull = true,
                .length = 0,
                .bytes = {},
                .bytesNull = true};
    if (at < w.size() && w[at] == "values") {
        event.valuesNull = false;
        for (++at; at < w.size() && w[at] != "bytes"; ++at) {
            auto value = scenarioNumber(w[at], 0, kMaxU32);
            if (!value) return std::string("'").append(w[at]).append("' is not a 32-bit value");
            event.values.push_back(static_cast<uint32_t>(*value));
        }
        event.count = static_cast<uint32_t>(event.values.size());
    }
    if (at < w.size() && w[at] == "bytes") {
        event.bytesNull = false;
        if (++at < w.size()) error = plainBytes(w, at, event.bytes);
        if (!error.empty()) return error;
        event.length = static_cast<uint32_t>(event.bytes.size());
    }
    if (error = nothingMore(w, at); !error.empty()) return error;
    scripted.afterSends = static_cast<uint64_t>(sends);
    scripted.wait = microseconds(wait);
    scripted.event = std::move(event);
    s.scripted.push_back(std::move(scripted));
    return "";
}

bool matches(const Rule& rule, const uint8_t* bytes, uint32_t count) {
    const size_t size = rule.pattern.size();
    if (rule.match == MatchKind::Prefix ? count < size : count != size) return false;
    for (size_t i = 0; i < size; ++i) {
        if (rule.pattern[i] != kAnyByte && rule.pattern[i] != bytes[i]) return false;
    }
    return true;
}

// The reply in n blocks of near-equal size, the longer ones first, each `gap` after the one
// before; never an empty block.
void reply(State& s, Connection& connection, const std::vector<uint8_t>& bytes, uint32_t split,
           microseconds wait, microseconds gap) {
    const size_t blocks = std::min<size_t>(std::max<uint32_t>(split, 1), bytes.size());
    size_t at = 0;
    for (size_t i = 0; i < blocks; ++i) {
        const size_t size = bytes.size() / blocks + (i < bytes.size() % blocks ? 1 : 0);
        scheduleInOrder(s, connection, dataEvent({bytes.begin() + at, bytes.begin() + at + size}),
                        wait + gap * static_cast<int64_t>(i));
        at += size;
    }
}

void fire(State& s, Connection& connection, const Rule& rule) {
    const DeviceKey key{connection.port, connection.deviceType};
    // Reports go to every connection of the device, after what this one is still owed.
    const Clock::time_point due = std::max(Clock::now(), connection.lastDue);
    switch (rule.action) {
        case RuleAction::Reply:
            reply(s, connection, rule.reply, rule.split, milliseconds(rule.delayMs),
                  milliseconds(rule.gapMs));
            break;
        case RuleAction::Power:
            device(s, key).properties[kPowerProperty] = rule.reading;
            reportToDevice(s, key, DCX_EVENT_POWER_STATE, {rule.reading}, due);
            break;
        case RuleAction::LockLost:
            reportLock(s, key, 0, 1, due);
            break;
    }
}

void answerUnmatched(State& s, Connection& connection, const uint8_t* bytes, uint32_t count) {
    UnmatchedMode mode = s.loopback ? UnmatchedMode::Echo : UnmatchedMode::Drop;
    const std::vector<uint8_t>* answer = nullptr;
    // The last setting that covers the connection wins.
    for (const UnmatchedSetting& setting : s.unmatched) {
        if (!setting.device.covers(connection)) continue;
        mode = setting.mode;
        answer = &setting.reply;
    }
    if (mode == UnmatchedMode::Echo) reply(s, connection, {bytes, bytes + count}, 1, {}, {});
    if (mode == UnmatchedMode::Reply) reply(s, connection, *answer, 1, {}, {});
}

void queueScripted(State& s, Connection& connection, const ScriptedEvent& scripted) {
    Event event = scripted.event;
    if (scripted.every.count() > 0) {
        event.target = &connection;
        event.period = scripted.every;
        event.due = Clock::now() + scripted.every;
        enqueue(s, std::move(event));
        return;
    }
    scheduleInOrder(s, connection, std::move(event), scripted.wait);
}

bool concerns(const ScriptedEvent& scripted, const Connection& connection) {
    return scripted.device.covers(connection) &&
           (scripted.ordinal == 0 || scripted.ordinal == connection.ordinal);
}

}  // namespace

std::vector<std::string_view> scenarioWords(std::string_view line, std::string& error) {
    std::vector<std::string_view> result;
    size_t at = 0;
    while (at < line.size()) {
        const size_t begin = line.find_first_not_of(" \t\r", at);
        if (begin == std::string_view::npos || line[begin] == '#') break;
        size_t end = begin;
        if (line[begin] == '"') {
            for (++end; end < line.size() && line[end] != '"'; ++end) {
                if (line[end] == '\\') ++end;
            }
            if (end >= line.size()) {
                error = "unterminated string";
                break;
            }
            ++end;
        } else {
            end = line.find_first_of(" \t\r#", begin);
            if (end == std::string_view::npos) end = line.size();
        }
        result.push_back(line.substr(begin, end - begin));
        at = end;
    }
    return result;
}

std::optional<std::string> applyScriptLine(State& s, const Words& w) {
    using Parser = std::string (*)(State&, const Words&);
    static constexpr std::pair<std::string_view, Parser> kDirectives[] = {
        {"rule", ruleLine},
        {"unsolicited", unsolicitedLine},
        {"unmatched", unmatchedLine},
        {"replay", replayLine},
    };
    for (const auto& [name, parse] : kDirectives) {
        if (w[0] != name) continue;
        if (w.size() < 3) return std::string(name) + " needs a port and a device type";
        return parse(s, w);
    }
    return std::nullopt;
}

void clearScript(State& s) {
    s.rules.clear();
    s.unmatched.clear();
    s.scripted.clear();
    s.deviceOpens.clear();
    // Periodic data of the old script stops with it.
    std::erase_if(s.queue, [](const Event& e) { return e.period.count() > 0; });
}

void scriptOpened(State& s, Connection& connection) {
    connection.ordinal = ++s.deviceOpens[{connection.port, connection.deviceType}];
}

void scriptRegistered(State& s, Connection& connection, uint32_t kind) {
    // A second registration restarts the periodic data instead of doubling it.
    std::erase_if(s.queue, [&](const Event& e) {
        return e.period.count() > 0 && e.target == &connection && e.kind == kind;
    });
    for (const ScriptedEvent& scripted : s.scripted) {
        const bool periodic = scripted.every.count() > 0;
        if (scripted.event.kind != kind || !concerns(scripted, connection)) continue;
        if (periodic || scripted.afterSends == 0) queueScripted(s, connection, scripted);
    }
}

void scriptSent(State& s, Connection& connection, const uint8_t* bytes, uint32_t count) {
    const uint64_t sent = ++connection.sends;
    if (count > 0) {
        auto rule = std::find_if(s.rules.begin(), s.rules.end(), [&](const Rule& r) {
            return !r.spent && r.device.covers(connection) && matches(r, bytes, count);
        });
        if (rule == s.rules.end()) {
            answerUnmatched(s, connection, bytes, count);
        } else {
            rule->spent = rule->once;
            fire(s, connection, *rule);
        }
    }
    for (const ScriptedEvent& scripted : s.scripted) {
        if (scripted.afterSends == sent && scripted.every.count() == 0 &&
            concerns(scripted, connection))
            queueScripted(s, connection, scripted);
    }
}

void scheduleInOrder(State& s, Connection& connection, Event event, microseconds wait) {
    event.target = &connection;
    event.due = std::max(Clock::now() + wait, connection.lastDue);
    connection.lastDue = event.due;
    enqueue(s, std::move(event));
}

}  // namespace vsim
