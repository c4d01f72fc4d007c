// The power monitor: per-port power records for ports whose name carries the power marker, kept
// current by the service's power and lock reports and polled by Java, plus the pure state model
// that turns raw readings into the power state Java receives.
#pragma once

#include <cstdint>

#include "platform/WinApiClone.h"

// Port names containing this (case-sensitive, anywhere) are watched.
inline constexpr const char* OSTREL_POWER_MARKER = "KOVLAN";
// Port property holding the raw power reading (low 32 bits).
inline constexpr uint32_t OSTREL_POWER_PROPERTY = 4;
// Index of DCX_GetPortConfigNumber whose value 1 means two devices share the port.
inline constexpr uint32_t OSTREL_SERIAL_CONFIG_INDEX = 0;
inline constexpr uint32_t OSTREL_SERIAL_CONFIG_VALUE = 1;
// Device types of the two roles; any type but 2 opens a port in the QZ role.
inline constexpr uint32_t OSTREL_DEVICE_TYPE_QZ = 1;
inline constexpr uint32_t OSTREL_DEVICE_TYPE_XJ = 2;
// Capability id of power reporting, the only one GetPortCapability serves.
inline constexpr uint32_t OSTREL_CAP_POWER_REPORTING = 21;

// One watched port. Every field is guarded by csLock once the record can be reached by a report.
struct _OSTREL_PORT_INFO {
    int32_t bQZPort;         // 1: the port's own role is QZ, 0: XJ
    int32_t bSerial;         // 1: both roles are watched, the other through hSecondPort
    int32_t nQZPower;        // last UPOS power value of the QZ role, -1 unknown
    int32_t nXJPower;        // last UPOS power value of the XJ role, -1 unknown
    void* hSecondPort;       // the monitor's own connection for the other role, or null
    int32_t nPowerState;     // state folded in by the update functions
    uint32_t nDeviceType;    // as the port was opened
    int32_t bPortUnlocked;   // 1: the service reported the port lock lost
    int32_t bState4Pending;  // 1: a report reached state 4 that no poll has returned yet
    uint32_t nLockReports;   // lock-lost reports so far, so a recovery cannot wipe a newer one
};

// State model (pure; callers passing a record hold csLock).
int32_t OstrelPowerToUPOSPower(uint32_t reading);
int32_t UpdateSerialPowerState(_OSTREL_PORT_INFO* info);
int32_t UpdateNotSerialPowerState(_OSTREL_PORT_INFO* info);
int32_t GetSerialPowerState(int32_t qzPower, int32_t xjPower);
int32_t GetNotSerialPowerState(int32_t power);

// The monitor's lock: a recursive mutex valid from library load on and never destroyed, so the
// lost-lock functions and a use after teardown always find it usable. Reports and polls
// serialise on it.
extern CRITICAL_SECTION csLock;

// Loads the service and configuration libraries and resolves the monitor's functions, once.
// Safe to call from several threads; every entry below calls it first.
void OstrelPowerInitGlobal();
// Starts watching an opened, locked port (Open calls it last). Does nothing for a port name
// without the marker or while the libraries are unavailable.
void OstrelPowerInit(void* portHandle, const char* serviceURL, const char* portName,
                     uint32_t deviceType);
// Power state of a port: 0, 3, 4 (not serial), 0 to 3 (serial), or -1 when not watched.
int32_t OstrelPowerState(void* portHandle);
// Stops watching a port and closes the monitor's second connection (Close calls it first). The
// record stops taking reports at once, but its memory is kept until OstrelPowerClosed: the
// port's own power callback stays registered until DCX_Close, and a record allocated meanwhile
// must never be handed the address a registration still holds.
void OstrelPowerFree(void* portHandle);
// The port handle was closed (DCX_Close succeeded): records stopped for it are freed. Records of
// a handle never closed stay allocated, unreachable by reports, for the life of the process.
void OstrelPowerClosed(void* portHandle);
// Stops watching every port and unloads the monitor's libraries; the next call starts afresh.
// Must not run concurrently with other monitor calls.
void OstrelPowerFreeGlobal();
// Power-reporting capability value of a port, asked of the configuration library; 0x80000002
// while the libraries are unavailable.
uint32_t OstrelCapPowerReporting(const char* serviceURL, const char* portName, uint32_t argument,
                                 uint32_t* value);
// 1 while the service's report that the port lock was lost has not been recovered, else 0.
// `reports`, when given, receives the number of lock-lost reports so far.
int32_t IsPortUnlocked(void* portHandle, uint32_t* reports = nullptr);
// Clears the lost-lock flag after the port was locked again, unless another lock-lost report
// came in after IsPortUnlocked counted `seenReports`: that loss is recovered at the next poll.
void RecoverPortLock(void* portHandle, uint32_t seenReports);

// Service callbacks (kind 2) for the QZ and the XJ role; the context is the port's record.
uint32_t powerUpdateQZ(uint32_t event, uint32_t count, uint32_t* values, uint32_t length,
                       uint8_t* bytes, void* context);
uint32_t powerUpdateXJ(uint32_t event, uint32_t count, uint32_t* values, uint32_t length,
                       uint8_t* bytes, void* context);
