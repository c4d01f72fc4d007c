// Ports on the simulator, opened two ways: a bare connection of its service library (what the
// power monitor is handed), and a port opened through the native Open as Java opens it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "bridge/VarnelPHJNIAPI.h"
#include "port/VarnelPHHandles.h"
#include "port/VarnelPHJNI.h"
#include "service/DCXServiceAPI.h"
#include "support/FakeJni.h"
#include "support/SimLibrary.h"

// A service failure (Java sees -9), and what Java's long holders start as, so a write shows.
inline constexpr DCXRESULT kFailure = 0x80000005;
inline constexpr jlong kUntouched = 0x7EEEEEEEEEEEEEEE;

// A connection on the complete simulator's service library with the bridge's client name;
// nullptr (and a test failure) if the open fails. SimDisconnect closes it.
void* SimConnect(const std::string& port, uint32_t deviceType, const char* url = "svc");
void SimDisconnect(void* handle);

// A port object built by hand rather than by Open, whose address the native methods accept as
// a live handle while this lives.
struct LivePort {
    LivePort() { PublishPort(port); }
    ~LivePort() {
        if (VarnelPHJNI* taken = TakeLivePort(handle())) DestroyPort(taken);
    }
    LivePort(const LivePort&) = delete;
    LivePort& operator=(const LivePort&) = delete;
    jlong handle() const { return reinterpret_cast<jlong>(port); }
    VarnelPHJNI* operator->() const { return port; }
    VarnelPHJNI* const port = NewPort();
};

// Process-wide state outlives a test: the power monitor binds its libraries from the install
// root of its first use, and the custom-value binding counts references across ports.
void ForgetProcessState();

// Every test starts and ends without power monitor records, so none keyed by a handle of a reset
// simulator survives.
class PowerTest : public SimTest {
  protected:
    void SetUp() override;
    void TearDown() override;
};

// Ports opened through the native Open on a fresh simulator and process (the power monitor bound
// to the complete simulator); those still open are closed at the end.
class NativePortTest : public SimTest {
  protected:
    void SetUp() override { Fresh(); }
    void TearDown() override;
    void Fresh();
    void CloseAll();

    // Open as Java calls it; a null url passes a null service URL. The holder is in holder_.
    jint Open(const char* url, const std::string& port, jint deviceType = 1, size_t holderSize = 1);
    // A port that must open; the native handle Java would hold.
    jlong OpenPort(const std::string& port = "COM1", const char* url = "svc");
    jint Close(jlong handle);

    FakeJni jni_;
    jlongArray holder_ = nullptr;
    std::vector<jlong> open_;  // closed by TearDown unless the test closed them
};
