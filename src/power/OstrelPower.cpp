#include "power/OstrelPower.h"

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <vector>

#include "bridge/VarnelPHCSAPI.h"
#include "service/DCXServiceAPI.h"
#include "service/VarnelPHClassPath.h"

// State model: pure functions; a record passed in is guarded by the caller's csLock.

int32_t OstrelPowerToUPOSPower(uint32_t reading) {
    switch (reading) {
        case 0:
            return 0;
        case 1:
            return 3;
        case 2:
            return 4;
        case 3:
            return 3;
        default:
            return -1;
    }
}

int32_t GetSerialPowerState(int32_t qzPower, int32_t xjPower) {
    // -1 (unknown) wins over everything; any other nonzero value counts as powered.
    if (qzPower == -1 || xjPower == -1) return -1;
    return (qzPower != 0 ? 1 : 0) + (xjPower != 0 ? 2 : 0);
}

int32_t GetNotSerialPowerState(int32_t power) {
    switch (power) {
        case 0:
        case 3:
        case 4:
            return power;
        default:
            return -1;
    }
}

int32_t UpdateSerialPowerState(_OSTREL_PORT_INFO* info) {
    const int32_t before = info->nPowerState;
    info->nPowerState = GetSerialPowerState(info->nQZPower, info->nXJPower);
    return info->nPowerState != before ? 1 : 0;
}

int32_t UpdateNotSerialPowerState(_OSTREL_PORT_INFO* info) {
    const int32_t before = info->nPowerState;
    const int32_t power = info->bQZPort != 0 ? info->nQZPower : info->nXJPower;
    switch (power) {
        case 4:
            // Latched on every 4, so a poll returns it once even if the device has moved on.
            info->bState4Pending = 1;
            [[fallthrough]];
        case 0:
        case 3:
        case -1:
            info->nPowerState = power;
            break;
        default:
            break;
    }
    return info->nPowerState != before ? 1 : 0;
}

// Monitor.

// Valid before any initialisation (IsPortUnlocked and RecoverPortLock take it unconditionally)
// and never re-initialised or destroyed, so it stays usable across a teardown.
CRITICAL_SECTION csLock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

namespace {

std::map<void*, _OSTREL_PORT_INFO*> map;

// Serialises global initialisation and teardown. Taken before csLock, never while holding it;
// callbacks never take it.
std::mutex csInitGlobal;

// Written under csInitGlobal; the function pointers are read only after bInitComplete was seen
// as 1 (acquire), which the release store below publishes them with.
HMODULE hPHI = nullptr;
HMODULE hConfig = nullptr;
DCX_Initialize_t* funcInit = nullptr;
DCX_Terminate_t* funcTerm = nullptr;
DCX_Open_t* fncOpen = nullptr;
DCX_Close_t* fncClose = nullptr;
DCX_GetProperty_t* fncGetProp = nullptr;
DCX_RegisterCallback_t* fncRegCb = nullptr;
DCX_GetPortConfigNumber_t* funcGetConfigNumber = nullptr;
DCX_GetPortCapabilityValue_t* funcGetPortCapabilityValue = nullptr;
std::atomic<int32_t> bInitComplete{0};

class CsGuard {
  public:
    CsGuard() { EnterCriticalSection(&csLock); }
    ~CsGuard() { LeaveCriticalSection(&csLock); }
    CsGuard(const CsGuard&) = delete;
    CsGuard& operator=(const CsGuard&) = delete;
};

// Records a report may write: those in the registry and those OstrelPowerInit is building
// (its made-up reports run before the insert). A callback whose context is not in here finds a
// deleted record and does nothing. Guarded by csLock; never destroyed, since the service's
// thread may still report while the process exits.
std::set<const _OSTREL_PORT_INFO*>& LiveRecords() {
    static auto* live = new std::set<const _OSTREL_PORT_INFO*>;
    return *live;
}

// Records stopped by OstrelPowerFree (or not kept by OstrelPowerInit), by port handle, until
// that handle's DCX_Close ends the registrations that name them; and records kept for good,
// whose second connection would not close. Guarded by csLock; never destroyed.
std::multimap<void*, _OSTREL_PORT_INFO*>& StoppedRecords() {
    static auto* stopped = new std::multimap<void*, _OSTREL_PORT_INFO*>;
    return *stopped;
}
std::vector<_OSTREL_PORT_INFO*>& KeptRecords() {
    static auto* kept = new std::vector<_OSTREL_PORT_INFO*>;
    return *kept;
}

bool Initialised() {
    return bInitComplete.load(std::memory_order_acquire) == 1;
}

template <class Fn>
Fn* Resolve(HMODULE library, const char* name) {
    return reinterpret_cast<Fn*>(GetProcAddress(library, name));
}

DCX_CALLBACK RoleCallback(bool qz) {
    return qz ? powerUpdateQZ : powerUpdateXJ;
}

// Feeds a property read through the callback exactly as a report from the service would come.
void MadeUpReport(DCX_CALLBACK callback, int64_t property, _OSTREL_PORT_INFO* info) {
    uint32_t reading = static_cast<uint32_t>(property);
    callback(DCX_EVENT_POWER_STATE, 1, &reading, 0, nullptr, info);
}

// Under csLock: makes the record unreachable for reports and hands back its second connection.
void* Unlink(_OSTREL_PORT_INFO* info) {
    LiveRecords().erase(info);
    void* second = info->hSecondPort;
    info->hSecondPort = nullptr;
    return second;
}

// Outside csLock: DCX_Close waits for a report in flight on that connection, and such a report
// may be waiting for csLock. The record, already unreachable for reports, waits for the close
// of the port handle it was registered on; if its second connection would not close, that
// registration lives on and the record is kept for good.
void Discard(_OSTREL_PORT_INFO* info, void* portHandle, void* second) {
    const bool secondClosed = second == nullptr || fncClose(second) == 0;
    CsGuard lock;
    try {
        if (secondClosed) {
            StoppedRecords().emplace(portHandle, info);
        } else {
            KeptRecords().push_back(info);
        }
    } catch (const std::bad_alloc&) {
        // Unlisted but never freed: no registration may ever find its address reused.
    }
}

uint32_t PowerUpdate(int32_t _OSTREL_PORT_INFO::*field, uint32_t event, uint32_t count,
                     const uint32_t* values, void* context) {
    if (count != 1 || values == nullptr) return 0;
    const bool power = event == DCX_EVENT_POWER_STATE;
    const bool lockLost = event == DCX_EVENT_LOCK_STATE && values[0] == 0;
    if (!power && !lockLost) return 0;

    CsGuard lock;
    auto* info = static_cast<_OSTREL_PORT_INFO*>(context);
    if (LiveRecords().count(info) == 0) return 0;
    if (lockLost) {
        info->bPortUnlocked = 1;
        ++info->nLockReports;
        return 0;
    }
    info->*field = OstrelPowerToUPOSPower(values[0]);
    if (info->bSerial == 1) {
        UpdateSerialPowerState(info);
    } else {
        UpdateNotSerialPowerState(info);
    }
    return 0;
}

}  // namespace

uint32_t powerUpdateQZ(uint32_t event, uint32_t count, uint32_t* values, uint32_t, uint8_t*,
                       void* context) {
    return PowerUpdate(&_OSTREL_PORT_INFO::nQZPower, event, count, values, context);
}

uint32_t powerUpdateXJ(uint32_t event, uint32_t count, uint32_t* values, uint32_t, uint8_t*,
                       void* context) {
    return PowerUpdate(&_OSTREL_PORT_INFO::nXJPower, event, count, values, context);
}

void OstrelPowerInitGlobal() {
    if (Initialised()) return;
    std::lock_guard<std::mutex> init(csInitGlobal);
    if (Initialised()) return;  // another thread got there first

    {
        CsGuard lock;
        map.clear();  // holds nothing while uninitialised
    }
    if (hPHI == nullptr) {
        // Both are loaded afresh together; drop what an earlier attempt kept of the second.
        FreeLibrary(hConfig);
        hPHI = LoadPHLibrary(PH_SERVICE_LIBRARY);
        hConfig = LoadPHLibrary(PH_CONFIG_LIBRARY);
    }
    if (hPHI == nullptr || hConfig == nullptr) return;

    funcInit = Resolve<DCX_Initialize_t>(hPHI, "DCX_Initialize");
    funcTerm = Resolve<DCX_Terminate_t>(hPHI, "DCX_Terminate");
    fncOpen = Resolve<DCX_Open_t>(hPHI, "DCX_Open");
    fncClose = Resolve<DCX_Close_t>(hPHI, "DCX_Close");
    fncGetProp = Resolve<DCX_GetProperty_t>(hPHI, "DCX_GetProperty");
    fncRegCb = Resolve<DCX_RegisterCallback_t>(hPHI, "DCX_RegisterCallback");
    funcGetConfigNumber = Resolve<DCX_GetPortConfigNumber_t>(hConfig, "DCX_GetPortConfigNumber");
    funcGetPortCapabilityValue =
        Resolve<DCX_GetPortCapabilityValue_t>(hConfig, "DCX_GetPortCapabilityValue");
    if (funcInit != nullptr && funcTerm != nullptr && fncOpen != nullptr && fncClose != nullptr &&
        fncGetProp != nullptr && fncRegCb != nullptr && funcGetConfigNumber != nullptr &&
        funcGetPortCapabilityValue != nullptr) {
        // csLock is not initialised here: it has been valid since load and may be held already.
        bInitComplete.store(1, std::memory_order_release);
    }
}

void OstrelPowerInit(void* portHandle, const char* serviceURL, const char* portName,
                     uint32_t deviceType) {
    OstrelPowerInitGlobal();
    if (!Initialised()) return;
    if (portName == nullptr || std::strstr(portName, OSTREL_POWER_MARKER) == nullptr) return;

    const bool qz = deviceType != OSTREL_DEVICE_TYPE_XJ;
    auto* info = new (std::nothrow) _OSTREL_PORT_INFO{};
    if (info == nullptr) return;
    info->bQZPort = qz ? 1 : 0;
    info->bSerial = 0;
    info->nQZPower = -1;
    info->nXJPower = -1;
    info->hSecondPort = nullptr;
    info->nPowerState = -1;
    info->nDeviceType = deviceType;
    try {
        CsGuard lock;
        LiveRecords().insert(info);
    } catch (const std::bad_alloc&) {
        delete info;
        return;
    }

    uint32_t config = 0;
    funcGetConfigNumber(serviceURL, portName, OSTREL_SERIAL_CONFIG_INDEX, &config);
    // Both property reads share one value, as a failed read leaves the previous one in place.
    int64_t property = 0;
    if (config == OSTREL_SERIAL_CONFIG_VALUE) {
        {
            CsGuard lock;
            info->bSerial = 1;
        }
        void* second = nullptr;
        const uint32_t otherType = qz ? OSTREL_DEVICE_TYPE_XJ : OSTREL_DEVICE_TYPE_QZ;
        if (fncOpen(serviceURL, portName, DCX_CLIENT_NAME, otherType, &second) == 0) {
            {
                CsGuard lock;
                info->hSecondPort = second;
            }
            // The other role's first report comes first; the own role's then combines with it.
            const DCX_CALLBACK other = RoleCallback(!qz);
            fncRegCb(DCX_CALLBACK_POWER, second, other, info);
            fncGetProp(second, OSTREL_POWER_PROPERTY, &property);
            MadeUpReport(other, property, info);
        } else {
            CsGuard lock;
            info->bSerial = 0;
            info->hSecondPort = nullptr;
        }
    }

    const DCX_CALLBACK own = RoleCallback(qz);
    fncRegCb(DCX_CALLBACK_POWER, portHandle, own, info);
    fncGetProp(portHandle, OSTREL_POWER_PROPERTY, &property);
    MadeUpReport(own, property, info);

    // A handle already registered keeps its record. The new one becomes unreachable for reports
    // before it is freed, and its registration on the handle, which replaced the kept record's,
    // is handed back to the kept record.
    _OSTREL_PORT_INFO* kept = nullptr;
    bool keptQZ = true;
    void* second = nullptr;
    {
        CsGuard lock;
        bool inserted = false;
        try {
            auto [entry, added] = map.emplace(portHandle, info);
            inserted = added;
            if (!added) {
                kept = entry->second;
                keptQZ = kept->bQZPort != 0;
            }
        } catch (const std::bad_alloc&) {
        }
        if (inserted) return;
        second = Unlink(info);
    }
    // The kept record takes its registration back before the new one is put away.
    if (kept != nullptr) fncRegCb(DCX_CALLBACK_POWER, portHandle, RoleCallback(keptQZ), kept);
    Discard(info, portHandle, second);
}

int32_t OstrelPowerState(void* portHandle) {
    OstrelPowerInitGlobal();
    if (!Initialised()) return -1;

    CsGuard lock;
    auto found = map.find(portHandle);
    if (found == map.end()) return -1;
    _OSTREL_PORT_INFO* info = found->second;

    int64_t property = 0;
    fncGetProp(portHandle, OSTREL_POWER_PROPERTY, &property);
    // The own role is read afresh; the other role is what its connection last reported.
    const int32_t own = OstrelPowerToUPOSPower(static_cast<uint32_t>(property));
    int32_t qzPower = info->nQZPower;
    int32_t xjPower = info->nXJPower;
    (info->bQZPort != 0 ? qzPower : xjPower) = own;

    int32_t state =
        info->bSerial == 1 ? GetSerialPowerState(qzPower, xjPower) : GetNotSerialPowerState(own);
    if (info->bState4Pending == 1) {
        state = 4;
        info->bState4Pending = 0;
    }
    return state;
}

void OstrelPowerFree(void* portHandle) {
    OstrelPowerInitGlobal();
    if (!Initialised()) return;

    _OSTREL_PORT_INFO* info = nullptr;
    void* second = nullptr;
    {
        CsGuard lock;
        auto found = map.find(portHandle);
        if (found == map.end()) return;
        info = found->second;
        map.erase(found);
        second = Unlink(info);
    }
    Discard(info, portHandle, second);
}

void OstrelPowerClosed(void* portHandle) {
    CsGuard lock;
    auto [first, last] = StoppedRecords().equal_range(portHandle);
    for (auto entry = first; entry != last; ++entry) delete entry->second;
    StoppedRecords().erase(first, last);
}

void OstrelPowerFreeGlobal() {
    std::lock_guard<std::mutex> init(csInitGlobal);
    // One record at a time, each closed outside csLock for the same reason as OstrelPowerFree.
    for (;;) {
        _OSTREL_PORT_INFO* info = nullptr;
        void* portHandle = nullptr;
        void* second = nullptr;
        {
            CsGuard lock;
            if (map.empty()) break;
            portHandle = map.begin()->first;
            info = map.begin()->second;
            map.erase(map.begin());
            second = Unlink(info);
        }
        Discard(info, portHandle, second);
    }

    bInitComplete.store(0, std::memory_order_release);
    FreeLibrary(hPHI);
    hPHI = nullptr;
    FreeLibrary(hConfig);
    hConfig = nullptr;
    funcInit = nullptr;
    funcTerm = nullptr;
    fncOpen = nullptr;
    fncClose = nullptr;
    fncGetProp = nullptr;
    fncRegCb = nullptr;
    funcGetConfigNumber = nullptr;
    funcGetPortCapabilityValue = nullptr;
    // csLock is deliberately not deleted: IsPortUnlocked and RecoverPortLock take it without
    // any initialisation, and reports may still be waiting on it.
}

uint32_t OstrelCapPowerReporting(const char* serviceURL, const char* portName, uint32_t argument,
                                 uint32_t* value) {
    OstrelPowerInitGlobal();
    if (!Initialised()) return DCX_ERR_NOT_INITIALIZED;
    return funcGetPortCapabilityValue(serviceURL, portName, OSTREL_CAP_POWER_REPORTING, argument,
                                      value);
}

int32_t IsPortUnlocked(void* portHandle, uint32_t* reports) {
    CsGuard lock;
    auto found = map.find(portHandle);
    if (found == map.end()) return 0;
    if (reports != nullptr) *reports = found->second->nLockReports;
    return found->second->bPortUnlocked;
}

void RecoverPortLock(void* portHandle, uint32_t seenReports) {
    CsGuard lock;
    auto found = map.find(portHandle);
    if (found != map.end() && found->second->nLockReports == seenReports) {
        found->second->bPortUnlocked = 0;
    }
}
