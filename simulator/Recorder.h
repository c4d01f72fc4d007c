// The recording stand-in: a libdcxif.so and a libportconfig.so that forward every call to the
// real libraries under another install root and write each call, its result and each event the
// service delivers, with its timing, to a recording that the simulator replays as a scenario.
//
// vsim-record.conf beside the stand-in libraries says where (the bridge passes nothing else):
//   target <install root>    whose varnel_dcx/relayhost/ holds the real libraries
//   output <file>            the recording, appended to
// The service library reads it at each DCX_Initialize, the configuration library at each call;
// the real libraries are loaded once, from the target named when first needed.
#pragma once

#include <cstdint>
#include <string>

#include "service/DCXServiceAPI.h"

namespace vrec {

inline constexpr DCXRESULT kNotAvailable = 0x80000001;

// Re-reads vsim-record.conf beside this library; a changed output starts a new recording, and
// then true is returned.
bool readConfiguration();
// The real library of that file name ("libdcxif.so") under the target root, null if none.
void* target(const char* fileName);

template <class Fn>
Fn* real(const char* fileName, const char* name) {
    return lookup<Fn>(target(fileName), name);
}

// Seconds on the monotonic clock, which both stand-in libraries share: "1234.567890".
std::string stamp();
// Bytes as the scenario reads them: "48:65:6C" ("" for none).
std::string hex(const uint8_t* bytes, size_t length);
// Appends one line (a newline is added) to the recording, if one is configured.
void write(const std::string& line);

// One call as a comment line of the recording: "# 1234.567890 DCX_Lock(P1, 100) = 0x00000000".
class CallLine {
  public:
    explicit CallLine(const char* function);
    CallLine& arg(const std::string& value);
    CallLine& str(const char* value) { return arg(value != nullptr ? value : "(null)"); }
    CallLine& num(int64_t value) { return arg(std::to_string(value)); }
    // The result, then what the call handed back (" P1", " value 7").
    void done(DCXRESULT result, const std::string& out = "");

  private:
    std::string text_;
    bool first_ = true;
};

}  // namespace vrec
