// Control API of the port-service simulator, for tests and the demo. The simulator stands in
// for libdcxif.so and libportconfig.so; these functions live in libvarnelsim.so, which both
// simulated libraries link, so a test that links libvarnelsim.so (or dlopens either library)
// steers the same state the bridge talks to.
//
// Port handles are logged as "P<n>", n counting DCX_Open calls that succeeded since the last
// VSim_Reset, starting at 1. Strings are logged bare, a null string as "(null)".
//
// Log format: one line a DCX_ call, in call order, "Name(arg, arg, ...)", arguments in the order
// of the call. A handle the simulator never gave out is "P?"; a closed one keeps its "P<n>".
// Numbers are decimal as their C type reads them (uint32_t unsigned, int32_t and int64_t
// signed), except DCX_ExtendFunction's request code, which is hexadecimal "0x%08X". Callback
// and context pointers, buffers and out-parameters are left out; gets of string and binary
// custom values log the capacity they were called with ("(null)" without a length pointer).
//   DCX_Initialize()                         DCX_Terminate()
//   DCX_Open(svc, COM1, UPOS, 1)             DCX_Close(P1)
//   DCX_Lock(P1, 100)                        DCX_Unlock(P1)
//   DCX_RegisterCallback(0, P1)              DCX_UnRegisterCallback(0, P1)
//   DCX_Send(P1, 0, 0, <arg1>, <arg2>)       DCX_CancelOperation(P1, 3, 0)
//   DCX_ResumeSending(P1)                    DCX_ResetDevice(P1, <argument>)
//   DCX_GetProperty(P1, 4)                   DCX_SetProperty(P1, 3, 6, <value>)
//   DCX_GetCapability(P1, <id>)              DCX_ExtendFunction(P1, 3, 0x12345678, <in>, <out>)
//   DCX_GetCustomValueNumber(svc, COM1, key) DCX_SetCustomValueNumber(svc, COM1, key, <value>)
//   DCX_GetCustomValueString(svc, COM1, key, <capacity>)
//   DCX_GetCustomValueBinary(svc, COM1, key, <capacity>)
//   DCX_SetCustomValueString(svc, COM1, key, abc)
//   DCX_SetCustomValueBinary(svc, COM1, key, <length>)
//   DCX_GetPortConfigNumber(svc, COM1, 0)    DCX_GetPortCapabilityValue(svc, COM1, 21, <arg>)
//
// DCX_Send(handle, 0, 0, arg1, arg2, bytes, &sent): arg2 (the bridge's first Java int) is the
// byte count, arg1 (its second Java int) a timeout in milliseconds that the loopback ignores.
// Exactly arg2 bytes are read. A count negative as int32_t gives 0x80000003 and sent 0.
// Otherwise sent = count and the device script answers the bytes (below); without one, with
// loopback on, they come back to the same connection's kind 0 callback as event 0x10000000
// (count 0, values null) from the delivery thread.
//
// With send blocking on, a valid DCX_Send stores sent 0 and waits, holding no simulator lock,
// until DCX_Close or DCX_CancelOperation is called on its handle (result 0x80000007) or arg1
// milliseconds pass (0x80000006); nothing is sent either way. VSim_Reset ends it like a close.
//
// Other behaviour the tests rely on:
// - Every DCX_ call is logged, then consults the result program; a programmed nonzero result is
//   returned at once and the call has no effect (out-parameters untouched, except DCX_Send's
//   sent count and DCX_ExtendFunction's output count, which is set to 0).
// - A handle that is unknown or closed gives 0x8000000E; a missing required pointer or string
//   (the service URL may be null) gives 0x80000003.
// - Once DCX_UnRegisterCallback(kind, h) or DCX_Close(h) has returned, that callback (for Close:
//   every callback of h) is never called again; a call of it running on the delivery thread is
//   waited for, unless the caller is the delivery thread itself.
// - DCX_ExtendFunction echoes min(input length, output length) bytes, a negative length or a
//   null buffer counting as 0, and stores that count.
// - Custom values are keyed by (service URL, port, key); absent: 0x8000000B. A string or binary
//   get whose capacity (in/out length) is too small for the value (a string's terminating 0
//   included) gives 0x80000009 and sets the length to the capacity needed, writing nothing; on
//   success the length is the value's byte count, a string's 0 not counted.
// - The configuration number and port capability values are keyed by port name alone.
// - Property 0x7F01 is read-only and per connection: 1 while it holds its lock, else 0 (the
//   same as VSim_IsLocked, for clients that only reach the simulator through the bridge).
//
// Scenario file, for programs that cannot call this API: each DCX_Initialize reads
// vsim-scenario.txt beside the libdcxif.so it was called through. When its text differs from the
// one last applied (a missing file counts as no text), programmed results and device and port
// settings are cleared and the text is applied, before the call itself is logged and counted.
// VSim_Reset turns scenario files off for the process (see VSim_SetScenarioFiles).
// One directive a line; blank lines and '#' comments are ignored; numbers decimal or 0x hex:
//   result <DCX_function> <code> [<nth>]      as VSim_SetResult / VSim_SetResultOnCall
//   property <port> <deviceType> <id> <value>
//   capability <port> <deviceType> <id> <value>
//   config <port> <value>
//   portcap <port> <id> <value>
//   power <port> <deviceType> <reading> after-reads <n>
//   lock-lost <port> <deviceType> after-reads <n>
//   log on | log off                           as VSim_SetLogEnabled; kept when the text changes
//   send-blocks                                as VSim_SetSendBlocking(1)
// The power and lock-lost directives fire once property 4 of the device has been read n times
// through DCX_GetProperty since the scenario was applied: VSim_ReportPower(port, type, reading), or
// VSim_ReportLock(port, type, 0, 1).
//
// Device scripts (docs/SIMULATOR-SCRIPTS.md has the details and an example of each). TYPE is a
// device type or * (any); BYTES hex bytes separated by blanks or colons ("1B 76", "1b:76") or a
// double-quoted string with \r \n \t \\ \" \xNN escapes, or several of these; in a pattern,
// ?? is any byte. A '#' inside a string does not start a comment.
//   rule <port> <TYPE> exact|prefix|pattern BYTES [once] reply BYTES [delay <ms>]
//        [split <n> [gap <ms>]]
//   rule <port> <TYPE> exact|prefix|pattern BYTES [once] power <reading>
//   rule <port> <TYPE> exact|prefix|pattern BYTES [once] lock-lost
//   unsolicited <port> <TYPE> every <ms> BYTES
//   unsolicited <port> <TYPE> after-sends <n> BYTES
//   unmatched <port> <TYPE> echo|drop|reply BYTES
//   replay <port> <type> <connection> after-sends <n> wait-us <us> kind <k> event <code>
//          [values <v> ...] [bytes BYTES]
// Each block sent is checked against the rules in file order; the first match fires (a once rule
// then is spent). exact: the block equals BYTES; prefix: it starts with them; pattern: same
// length, ?? matching anything. reply delivers data delay ms after the send, in n blocks of
// near-equal size (longer first); power sets property 4 and reports it, lock-lost reports a lost
// lock, both to the kind 2 callbacks of every connection to the device. Unsolicited data comes
// every ms from the kind 0 registration until it goes, or once on each connection after its nth
// send. A block no rule matches follows the last unmatched line covering the connection (echo
// by default, drop with loopback off). replay lines are what the recording stand-in writes: an
// event for the nth connection to the device since the scenario was applied, wait-us after its
// nth send (n = 0: after the registration of that kind). Sends are counted per connection, failed
// ones not. Deliveries to one connection never overtake one another, so one script and one
// sequence of sends give the same deliveries every run; only periodic data depends on the clock.
//
// Recording stand-in: build/simulator/record-root holds a libdcxif.so and a libportconfig.so
// that forward to the libraries under the root named by "target <root>" in vsim-record.conf
// beside them, and append every call (as a '#' comment with its time and result) and every event
// (as a replay line) to the file named by "output <file>": a recording is a scenario that
// replays the session. It links nothing of the simulator.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t (*VSIM_CALLBACK)(uint32_t event, uint32_t count, uint32_t* values, uint32_t length,
                                  uint8_t* bytes, void* context);

// Forgets every connection, device, programmed result, custom value and log entry, and turns
// logging on, after the delivery thread has gone idle. Callbacks still registered are dropped
// without being called.
// (Queued events are discarded; only a callback already running is waited for. Scenario files
// are turned off: a program that resets the simulator programs it through this API, and a file
// left beside the library by another program must not undo that at the next DCX_Initialize.)
void VSim_Reset(void);

// Results. The function is named as exported ("DCX_Send"). SetResult programs every later call;
// SetResultOnCall programs only the nth call from now (1 = the next one), which wins over
// SetResult for that call. A programmed nonzero result makes the function fail without effect
// (DCX_Send still stores a sent count: half the byte count).
void VSim_SetResult(const char* function, uint32_t result);
// (nth 0 is ignored.)
void VSim_SetResultOnCall(const char* function, uint32_t nth, uint32_t result);
void VSim_ClearResults(void);
// Calls of the function since the last VSim_Reset, failed ones included.
size_t VSim_CallCount(const char* function);

// Call log, in call order, one line a call: "DCX_Lock(P1, 100)". It keeps the latest 65536
// calls: entry 0 is the oldest kept.
size_t VSim_LogSize(void);
// Copies entry i, 0-terminated and cut to capacity; returns its full length, or -1 when i is
// out of range.
int VSim_LogEntry(size_t i, char* buffer, size_t capacity);
void VSim_LogClear(void);
// Logging is off at process start and on after VSim_Reset (or a scenario's "log on"); off,
// calls are still counted and no line is built.
void VSim_SetLogEnabled(int enabled);

// Connections. The handle of the nth successful DCX_Open (1-based), null if none.
void* VSim_Handle(unsigned n);
// The context registered with a callback of this kind on this handle, null if none.
void* VSim_CallbackContext(void* handle, uint32_t kind);
// Number of connections opened and not closed.
unsigned VSim_OpenConnections(void);
// 1 while the connection holds its lock: after DCX_Lock, until DCX_Unlock, DCX_Close or a lock
// report with value 0 for its device. 0 otherwise, also for an unknown handle.
int VSim_IsLocked(void* handle);

// Devices are keyed by (port name, device type); all connections to one device share its
// properties, capabilities and power. Property 4 is the raw power reading.
void VSim_SetProperty(const char* portName, uint32_t deviceType, uint32_t id, int64_t value);
void VSim_SetCapability(const char* portName, uint32_t deviceType, uint32_t id, int64_t value);
// Configuration library: DCX_GetPortConfigNumber's value for a port (0 unless set), and
// DCX_GetPortCapabilityValue's value for (port, capability id).
void VSim_SetConfigNumber(const char* portName, uint32_t value);
void VSim_SetPortCapabilityValue(const char* portName, uint32_t id, uint32_t value);
// Custom values as the configuration library keeps them; serviceURL may be null (same as "").
void VSim_SetCustomNumber(const char* serviceURL, const char* portName, const char* key,
                          uint32_t value);
void VSim_SetCustomBytes(const char* serviceURL, const char* portName, const char* key,
                         const uint8_t* bytes, uint32_t length);
// Reads back a stored string or binary value: returns its length, or -1 when absent; copies
// at most capacity bytes.
int VSim_GetCustomBytes(const char* serviceURL, const char* portName, const char* key,
                        uint8_t* buffer, uint32_t capacity);

// Events, queued to the simulator's delivery thread, which calls the registered callbacks one
// at a time. Data goes to kind 0 callbacks of the connection; power and lock reports go to
// kind 2 callbacks of every connection to the device.
void VSim_InjectData(void* handle, const uint8_t* bytes, uint32_t length);
// Sets property 4 of the device to the reading and reports it (event 0x40000000, count 1).
void VSim_ReportPower(const char* portName, uint32_t deviceType, uint32_t reading);
// Lock report (event 0x40000006) with the given count of values, each holding value.
void VSim_ReportLock(const char* portName, uint32_t deviceType, uint32_t value, uint32_t count);
// Any event to the callback of (handle, kind). Values and bytes are copied; a null pointer
// reaches the callback as null, with the count or length given. Events for a handle that is
// unknown or closed are not queued.
void VSim_InjectEvent(void* handle, uint32_t kind, uint32_t event, uint32_t count,
                      const uint32_t* values, const uint8_t* bytes, uint32_t length);
// Waits until every queued event has been delivered, periodic script data aside (it never ends);
// delayed ones are waited for. Returns 0 on time-out, else 1.
// (Called from a callback, it returns 0 at once: the delivery thread cannot wait for itself.)
int VSim_WaitIdle(uint32_t timeoutMs);
// When the delivery thread last called a callback, just before the call: nanoseconds of
// CLOCK_MONOTONIC (the clock of Java's System.nanoTime on Linux), 0 before the first call. A
// benchmark times from the service's hand-over with it, leaving out the simulator's own wake-up.
int64_t VSim_LastCallbackTime(void);

// Loopback: data sent on a connection that no script rule or unmatched line answers comes back
// to it as received data (on by default).
void VSim_SetLoopback(int enabled);
// Send blocking (off by default and after VSim_Reset or a new scenario text): see DCX_Send above.
void VSim_SetSendBlocking(int enabled);

// Applies a scenario text, in the format of the scenario file, as DCX_Initialize would apply the
// file (clearing the same settings first); the file's bookkeeping is left alone. Returns 0, or
// the 1-based number of the first line not understood; such lines are skipped.
int VSim_ApplyScenarioText(const char* text);
// Why the last scenario applied (text or file) was refused: "line 3: split needs a number from
// 1 to 4294967295", of its first bad line. Copies it 0-terminated, cut to capacity; returns its
// full length, 0 when every line was understood.
int VSim_ScenarioError(char* buffer, size_t capacity);
// Scenario files are read at DCX_Initialize while on: on at process start, off after VSim_Reset.
void VSim_SetScenarioFiles(int enabled);

#ifdef __cplusplus
}
#endif
