// Scenario files steer the simulator from programs that cannot call the control API (the Java
// tests, the demo). DCX_Initialize reads vsim-scenario.txt beside the libdcxif.so it was called
// through; when the text differs from the one last applied, the programmed results and the device
// and port settings are cleared and the text is applied. A file that went away clears them too.
//
// One directive a line, words separated by blanks; blank lines and everything from '#' to the end
// of a line are ignored; numbers are decimal, or hexadecimal after 0x; a value may be negative.
// Port names cannot contain blanks.
//
//   result <DCX_function> <code> [<nth>]   every call fails with code, or only the nth one
//                                          counted from when the scenario is applied
//   property <port> <deviceType> <id> <value>
//   capability <port> <deviceType> <id> <value>
//   config <port> <value>                  DCX_GetPortConfigNumber's value for the port
//   portcap <port> <id> <value>            DCX_GetPortCapabilityValue's value for (port, id)
//   power <port> <deviceType> <reading> after-reads <n>
//                                          after the nth DCX_GetProperty of property 4 on the
//                                          device: set the reading and report it to kind 2
//   lock-lost <port> <deviceType> after-reads <n>
//                                          likewise, a lock report with value 0
//   log on | log off                       the call log, off unless asked for (see
//                                          VSim_SetLogEnabled); not undone by a later text
//   send-blocks                            as VSim_SetSendBlocking(1)
//
// Reads are counted per device from when the scenario is applied; n = 0 fires at once.
// The device-script directives (rule, unsolicited, unmatched, replay) are SimScript.cpp's; a
// double-quoted string in them is one word and may hold blanks and '#'.
#include <charconv>
#include <limits>

#include "SimState.h"

namespace vsim {
namespace {

constexpr std::string_view kFunctions[] = {
    "DCX_Initialize",
    "DCX_Terminate",
    "DCX_Open",
    "DCX_Close",
    "DCX_Lock",
    "DCX_Unlock",
    "DCX_RegisterCallback",
    "DCX_UnRegisterCallback",
    "DCX_Send",
    "DCX_CancelOperation",
    "DCX_ResumeSending",
    "DCX_GetProperty",
    "DCX_SetProperty",
    "DCX_GetCapability",
    "DCX_ResetDevice",
    "DCX_ExtendFunction",
    "DCX_GetCustomValueNumber",
    "DCX_GetCustomValueString",
    "DCX_GetCustomValueBinary",
    "DCX_SetCustomValueNumber",
    "DCX_SetCustomValueString",
    "DCX_SetCustomValueBinary",
    "DCX_GetPortConfigNumber",
    "DCX_GetPortCapabilityValue",
};

// A whole word as a number in [minimum, maximum]; "-0x10" is accepted like "-16".
std::optional<int64_t> number(std::string_view word, int64_t minimum, int64_t maximum) {
    bool negative = false;
    if (!word.empty() && word.front() == '-') {
        negative = true;
        word.remove_prefix(1);
    }
    int base = 10;
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        base = 16;
        word.remove_prefix(2);
    }
    uint64_t magnitude = 0;
    auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), magnitude, base);
    if (word.empty() || error != std::errc() || end != word.data() + word.size()) return {};
    if (negative) {
        if (magnitude > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1) return {};
        const int64_t value = magnitude == 0 ? 0 : -static_cast<int64_t>(magnitude - 1) - 1;
        if (value < minimum) return {};
        return value;
    }
    if (magnitude > static_cast<uint64_t>(maximum)) return {};
    if (static_cast<int64_t>(magnitude) < minimum) return {};
    return static_cast<int64_t>(magnitude);
}

constexpr int64_t kU32Max = std::numeric_limits<uint32_t>::max();

// A 32-bit word: unsigned, or negative as a Java int would be.
std::optional<uint32_t> u32(std::string_view word) {
    auto value = number(word, std::numeric_limits<int32_t>::min(), kU32Max);
    if (!value) return {};
    return static_cast<uint32_t>(*value);
}

std::optional<int64_t> i64(std::string_view word) {
    return number(word, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max());
}

bool isFunction(std::string_view name) {
    for (std::string_view known : kFunctions) {
        if (known == name) return true;
    }
    return false;
}

bool apply(State& s, const std::vector<std::string_view>& w) {
    const std::string_view directive = w[0];
    if (directive == "result" && (w.size() == 3 || w.size() == 4)) {
        auto code = u32(w[2]);
        std::optional<uint32_t> nth = w.size() == 4 ? u32(w[3]) : std::optional<uint32_t>(0);
        if (!isFunction(w[1]) || !code || !nth || (w.size() == 4 && *nth == 0)) return false;
        programResult(s, w[1], *nth, *code);
        return true;
    }
    if ((directive == "property" || directive == "capability") && w.size() == 5) {
        auto type = u32(w[2]);
        auto id = u32(w[3]);
        auto value = i64(w[4]);
        if (!type || !id || !value) return false;
        Device& d = device(s, {std::string(w[1]), *type});
        (directive == "property" ? d.properties : d.capabilities)[*id] = *value;
        return true;
    }
    if (directive == "config" && w.size() == 3) {
        auto value = u32(w[2]);
        if (!value) return false;
        s.configNumbers[std::string(w[1])] = *value;
        return true;
    }
    if (directive == "portcap" && w.size() == 4) {
        auto id = u32(w[2]);
        auto value = u32(w[3]);
        if (!id || !value) return false;
        s.portCapabilities[{std::string(w[1]), *id}] = *value;
        return true;
    }
    if (directive == "log" && w.size() == 2 && (w[1] == "on" || w[1] == "off")) {
        s.logEnabled = w[1] == "on";
        return true;
    }
    if (directive == "send-blocks" && w.size() == 1) {
        s.blockSends = true;
        return true;
    }
    const bool power = directive == "power" && w.size() == 6;
    const bool lockLost = directive == "lock-lost" && w.size() == 5;
    if (power || lockLost) {
        auto type = u32(w[2]);
        auto reading = power ? u32(w[3]) : std::optional<uint32_t>(0);
        const size_t after = power ? 4 : 3;
        auto reads = number(w[after + 1], 0, std::numeric_limits<int64_t>::max());
        if (!type || !reading || w[after] != "after-reads" || !reads) return false;
        DeviceKey key{std::string(w[1]), *type};
        s.triggers.push_back({key, static_cast<uint64_t>(*reads), lockLost, *reading});
        fireDueTriggers(s, key);
        return true;
    }
    return false;
}

// Why a line of a directive that applies nothing was refused: what the directive looks like.
std::string usage(std::string_view directive) {
    static constexpr std::pair<std::string_view, std::string_view> kUsages[] = {
        {"result", "result <DCX_function> <code> [<nth>]"},
        {"property", "property <port> <deviceType> <id> <value>"},
        {"capability", "capability <port> <deviceType> <id> <value>"},
        {"config", "config <port> <value>"},
        {"portcap", "portcap <port> <id> <value>"},
        {"power", "power <port> <deviceType> <reading> after-reads <n>"},
        {"lock-lost", "lock-lost <port> <deviceType> after-reads <n>"},
        {"log", "log on | log off"},
    };
    for (const auto& [name, form] : kUsages) {
        if (name == directive) return "expected " + std::string(form);
    }
    return "unknown directive '" + std::string(directive) + "'";
}

}  // namespace

std::optional<int64_t> scenarioNumber(std::string_view word, int64_t minimum, int64_t maximum) {
    return number(word, minimum, maximum);
}

void clearScenarioSettings(State& s) {
    s.results.clear();
    s.devices.clear();
    s.configNumbers.clear();
    s.portCapabilities.clear();
    s.triggers.clear();
    clearScript(s);
    s.blockSends = false;
}

int applyScenario(State& s, std::string_view text) {
    clearScenarioSettings(s);
    s.scenarioError.clear();
    int firstBad = 0;
    int number = 0;
    while (!text.empty()) {
        ++number;
        const size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
        std::string error;
        const std::vector<std::string_view> w = scenarioWords(line, error);
        if (error.empty() && !w.empty()) {
            if (auto script = applyScriptLine(s, w))
                error = *script;
            else if (!apply(s, w))
                error = usage(w[0]);
        }
        if (error.empty() || firstBad != 0) continue;
        firstBad = number;
        s.scenarioError = "line " + std::to_string(number) + ": " + error;
    }
    return firstBad;
}

}  // namespace vsim
