// varnel-soak: drives the bridge's native methods from several threads for a given time against
// a port service (the simulator by default), checks every byte the loopback echoes, and prints
// what it did. Exits nonzero when anything did not hold.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "JniHost.h"
#include "StreamCheck.h"
#include "bridge/VarnelPHJNIAPI.h"
#include "port/VarnelPHHandles.h"
#include "service/CustomValueIOCtrl.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    double seconds = 10;
    int ports = 4;
    int threads = 4;
    std::string root = VARNEL_SOAK_DEFAULT_ROOT;
};

// One port under test. Lock order: lifecycle (global), then send, then receive.
struct Port {
    Port(uint32_t index, bool power)
        : name(power ? "KOVLAN-" + std::to_string(index + 1) : "COM" + std::to_string(index + 1)),
          powerReporting(power),
          check(index) {}
    JavaString name;
    bool powerReporting;
    std::atomic<jlong> handle{0};
    // Odd while the port is being closed and reopened: a call that saw it change may have met
    // a closed handle.
    std::atomic<uint32_t> generation{0};
    std::mutex send;     // holds the block sequence in send order
    std::mutex receive;  // one reader at a time, so the check sees the stream in order
    uint32_t blocksSent = 0;
    soak::StreamCheck check;
};

enum Op { kWrite, kRead, kClear, kPower, kProperty, kCustom, kReopen, kStale, kForged, kOps };
const char* const kOpNames[kOps] = {"write",  "read",   "clear", "power", "property",
                                    "custom", "reopen", "stale", "forged"};
// Relative frequencies of the operations a worker picks.
const int kWeights[kOps] = {30, 30, 2, 10, 8, 8, 1, 4, 4};

struct Figures {
    std::atomic<uint64_t> ops[kOps] = {};
    std::atomic<uint64_t> bytesWritten{0}, bytesRead{0}, overflows{0};
    std::atomic<uint64_t> refusedStale{0}, refusedForged{0}, reissued{0}, raced{0};
    std::atomic<uint64_t> closesAheadOfCalls{0}, longestCloseMicros{0};
    std::atomic<uint64_t> serviceErrors{0}, failures{0};
};

JniHost host;
JNIEnv* const env = host.env();
Figures figures;
// Open excludes calls with closed handles: were it to reissue one, a stale call would reach a
// live port instead of being counted.
std::shared_mutex lifecycle;
std::mutex closedLock;
// Every handle closed in the run (8 bytes a reopen, and about 40 in the set), so that a reissue
// is caught however long ago its handle was closed.
std::vector<jlong> closedHandles;
std::unordered_set<jlong> everClosed;

void Fail(const char* format, ...) {
    if (figures.failures.fetch_add(1) >= 20) return;  // the first ones say enough
    va_list args;
    va_start(args, format);
    std::fputs("varnel-soak: FAILED: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
}

// Calls on a port's current handle outside its locks may meet a Close; a -1 then is no fault.
template <class Call>
void OnLiveHandle(Port& port, const char* what, Call call) {
    const uint32_t before = port.generation.load();
    const jint result = call(port.handle.load());
    if (result == -1 && (before % 2 != 0 || port.generation.load() != before)) {
        ++figures.raced;
    } else if (result == -1) {
        Fail("%s on live %s returned -1", what, port.name.text().c_str());
    } else if (result != 0) {
        ++figures.serviceErrors;
    }
}

jint OpenPort(Port& port) {
    JavaLongs holder(1);
    const jint result = PH_JNI(Open)(env, nullptr, nullptr, port.name.get(), 1, holder.get());
    if (result != 0) Fail("Open(%s) returned %d", port.name.text().c_str(), result);
    port.handle = result == 0 ? holder.data()[0] : 0;
    std::lock_guard<std::mutex> closed(closedLock);
    if (result == 0 && everClosed.count(port.handle) != 0) {
        ++figures.reissued;
        Fail("Open(%s) handed out the closed handle %#llx again", port.name.text().c_str(),
             static_cast<unsigned long long>(port.handle.load()));
    }
    return result;
}

void WriteBlocks(Port& port, uint32_t index, int blocks) {
    std::lock_guard<std::mutex> guard(port.send);
    for (int i = 0; i < blocks; ++i) {
        const std::vector<uint8_t> bytes = soak::MakeBlock(index, port.blocksSent);
        JavaBytes data(bytes.size());
        std::memcpy(data.data(), bytes.data(), bytes.size());
        JavaInts count(1);
        const auto length = static_cast<jint>(bytes.size());
        const jint result =
            PH_JNI(Write)(env, nullptr, port.handle, data.get(), length, 0, count.get());
        if (result != 0 || count.data()[0] != length) {
            return Fail("Write returned %d, sent %d of %d", result, count.data()[0], length);
        }
        ++port.blocksSent;
        figures.bytesWritten += bytes.size();
    }
}

// Reads until the ring is empty (or for a few rounds); returns the bytes taken.
size_t ReadAvailable(Port& port, int rounds) {
    std::lock_guard<std::mutex> guard(port.receive);
    JavaBytes buffer(8192);
    JavaInts count(1);
    size_t total = 0;
    for (int i = 0; i < rounds; ++i) {
        const jint result =
            PH_JNI(Read)(env, nullptr, port.handle, buffer.get(), 8192, count.get());
        if (result == -7) {
            ++figures.overflows;
            port.check.Dropped(soak::Drop::kOverflow);
            continue;
        }
        if (result != 0) {
            Fail("Read returned %d", result);
            break;
        }
        const auto n = static_cast<size_t>(count.data()[0]);
        if (n == 0) break;
        port.check.Receive(reinterpret_cast<const uint8_t*>(buffer.data()), n);
        total += n;
    }
    figures.bytesRead += total;
    return total;
}

void ClearPort(Port& port) {
    std::lock_guard<std::mutex> guard(port.receive);
    if (jint result = PH_JNI(Clear)(env, nullptr, port.handle); result != 0) {
        Fail("Clear returned %d", result);
    }
    port.check.Dropped(soak::Drop::kClear);
}

// Every per-port method, with the given handle; each must refuse a handle that is not live.
int CallEveryMethod(jlong handle, const char* kind) {
    JavaBytes bytes(16);
    JavaInts ints(1);
    JavaLongs longs(1);
    const jint results[] = {
        PH_JNI(Write)(env, nullptr, handle, bytes.get(), 16, 0, ints.get()),
        PH_JNI(Read)(env, nullptr, handle, bytes.get(), 16, ints.get()),
        PH_JNI(Clear)(env, nullptr, handle),
        PH_JNI(GetProperty)(env, nullptr, handle, 6, longs.get()),
        PH_JNI(SetProperty)(env, nullptr, handle, 3, 6, 1),
        PH_JNI(GetCapability)(env, nullptr, handle, 1, longs.get()),
        PH_JNI(ResetDevice)(env, nullptr, handle, 0),
        PH_JNI(IOCtl)(env, nullptr, handle, 0x40040002, nullptr, 0, bytes.get(), 16, ints.get()),
        PH_JNI(checkOstrelPowerStatus)(env, nullptr, handle),
        PH_JNI(Close)(env, nullptr, handle),
    };
    int refused = 0;
    for (jint result : results) {
        if (result == -1) {
            ++refused;
        } else {
            Fail("%s handle %#llx accepted: result %d", kind,
                 static_cast<unsigned long long>(handle), result);
        }
    }
    return refused;
}

// Close, try the closed handle while nothing can reissue it, open again.
void Reopen(Port& port) {
    std::unique_lock<std::shared_mutex> exclusive(lifecycle);
    std::scoped_lock guard(port.send, port.receive);
    const jlong old = port.handle;
    ++port.generation;
    const auto start = Clock::now();
    if (jint result = PH_JNI(Close)(env, nullptr, old); result != 0) {
        Fail("Close returned %d", result);
    }
    const auto micros = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
    for (uint64_t longest = figures.longestCloseMicros; micros > longest;) {
        if (figures.longestCloseMicros.compare_exchange_weak(longest, micros)) break;
    }
    // Calls on other ports may be the ones keeping a port object: a sample, not an exact count.
    if (PortsAwaitingRelease() != 0) ++figures.closesAheadOfCalls;
    port.check.Dropped(soak::Drop::kClose);
    figures.refusedStale += CallEveryMethod(old, "closed");
    {
        std::lock_guard<std::mutex> closed(closedLock);
        closedHandles.push_back(old);
        everClosed.insert(old);
    }
    OpenPort(port);
    ++port.generation;
}

bool IsLive(const std::vector<Port*>& ports, jlong handle) {
    for (Port* port : ports) {
        if (port->handle == handle) return true;
    }
    return false;
}

// A handle closed earlier: called only while no Open runs, and only if no Open reissued it.
void CallStale(const std::vector<Port*>& ports, std::mt19937& random) {
    std::shared_lock<std::shared_mutex> shared(lifecycle);
    jlong handle = 0;
    {
        std::lock_guard<std::mutex> closed(closedLock);
        if (closedHandles.empty()) return;
        handle = closedHandles[random() % closedHandles.size()];
    }
    if (IsLive(ports, handle)) return;  // reissued: counted as a failure by its Open
    figures.refusedStale += CallEveryMethod(handle, "stale");
}

// Handles no Open returned: inside a port object, on the tool's own stack, unmapped, tiny.
void CallForged(const std::vector<Port*>& ports, std::mt19937& random) {
    std::shared_lock<std::shared_mutex> shared(lifecycle);
    JavaLongs own(4);
    const jlong candidates[] = {ports[random() % ports.size()]->handle + 8,
                                reinterpret_cast<jlong>(&own),
                                static_cast<jlong>(0x7F0000000000 + 16 * random()), 1};
    const jlong handle = candidates[random() % 4];
    if (!IsLive(ports, handle)) figures.refusedForged += CallEveryMethod(handle, "forged");
}

void PollPower(Port& port) {
    const uint32_t before = port.generation.load();
    const jint state = PH_JNI(checkOstrelPowerStatus)(env, nullptr, port.handle.load());
    const bool valid = port.powerReporting ? state >= 0 && state <= 4 : state == -1;
    if (valid) return;
    if (state == -1 && (before % 2 != 0 || port.generation.load() != before)) {
        ++figures.raced;
    } else {
        Fail("power state %d of %s", state, port.name.text().c_str());
    }
}

// Property 6 through IOCtl and the property methods; capability and device reset too.
void UseProperties(Port& port, std::mt19937& random) {
    JavaBytes value(8);
    JavaInts count(1);
    const jlong written = 0x50AC000000000000 | (random() & 0xFFFFFF);
    std::memcpy(value.data(), &written, 8);
    OnLiveHandle(port, "IOCtl(set property 6)", [&](jlong h) {
        return PH_JNI(IOCtl)(env, nullptr, h, 0x60040002, value.get(), 8, nullptr, 0, nullptr);
    });
    OnLiveHandle(port, "IOCtl(get property 6)", [&](jlong h) {
        const jint result =
            PH_JNI(IOCtl)(env, nullptr, h, 0x40040002, nullptr, 0, value.get(), 8, count.get());
        jlong read = 0;
        std::memcpy(&read, value.data(), 8);
        // Every thread writes the same tag, so anything else came from nowhere.
        if (result == 0 && (count.data()[0] != 8 || (read >> 48) != 0x50AC)) {
            Fail("property 6 read back %#llx (%d bytes)", static_cast<unsigned long long>(read),
                 count.data()[0]);
        }
        return result;
    });
    JavaLongs holder(1);
    OnLiveHandle(port, "GetProperty",
                 [&](jlong h) { return PH_JNI(GetProperty)(env, nullptr, h, 6, holder.get()); });
    OnLiveHandle(port, "SetProperty",
                 [&](jlong h) { return PH_JNI(SetProperty)(env, nullptr, h, 3, 6, written); });
    OnLiveHandle(port, "GetCapability",
                 [&](jlong h) { return PH_JNI(GetCapability)(env, nullptr, h, 1, holder.get()); });
    if (random() % 8 == 0) {
        OnLiveHandle(port, "ResetDevice",
                     [&](jlong h) { return PH_JNI(ResetDevice)(env, nullptr, h, 0); });
    }
}

// One custom value set and read back. The key is the thread's own, so nobody else changes it.
void RoundTrip(Port& port, const std::string& key, jint setCode, jint getCode,
               const std::string& value) {
    JavaBytes keyBytes(key.size()), in(value.size()), out(64);
    JavaInts count(1);
    std::memcpy(keyBytes.data(), key.data(), key.size());
    std::memcpy(in.data(), value.data(), value.size());
    const auto keyLength = static_cast<jint>(key.size());
    jint set = -1;
    OnLiveHandle(port, "IOCtl(set custom value)", [&](jlong h) {
        return set = PH_JNI(IOCtl)(env, nullptr, h, setCode, keyBytes.get(), keyLength, in.get(),
                                   static_cast<jint>(value.size()), nullptr);
    });
    const jint outLength = getCode == CUSTOM_VALUE_GET_NUMBER ? 4 : 64;
    OnLiveHandle(port, "IOCtl(get custom value)", [&](jlong h) {
        const jint get = PH_JNI(IOCtl)(env, nullptr, h, getCode, keyBytes.get(), keyLength,
                                       out.get(), outLength, count.get());
        const auto n = static_cast<size_t>(count.data()[0]);
        if (set == 0 && get == 0 &&
            (n != value.size() || std::memcmp(out.data(), value.data(), n) != 0)) {
            Fail("custom value %#x of %s read back wrong", getCode, key.c_str());
        }
        return get;
    });
}

void UseCustomValues(Port& port, int thread, std::mt19937& random) {
    const std::string key = "soak.thread" + std::to_string(thread);
    const uint32_t number = random();
    RoundTrip(port, key, CUSTOM_VALUE_SET_NUMBER, CUSTOM_VALUE_GET_NUMBER,
              std::string(reinterpret_cast<const char*>(&number), 4));
    RoundTrip(port, key, CUSTOM_VALUE_SET_STRING, CUSTOM_VALUE_GET_STRING,
              "value " + std::to_string(random()));
    std::string binary(1 + random() % 48, '\0');
    for (char& c : binary) c = static_cast<char>(random());
    RoundTrip(port, key, CUSTOM_VALUE_SET_BINARY, CUSTOM_VALUE_GET_BINARY, binary);
    JavaInts holder(1);
    if (PH_JNI(GetPortCapability)(env, nullptr, port.name.get(), port.name.get(), 21, 0,
                                  holder.get()) != 0) {
        ++figures.serviceErrors;
    }
}

Op PickOp(std::mt19937& random) {
    int total = 0;
    for (int weight : kWeights) total += weight;
    int roll = static_cast<int>(random() % static_cast<uint32_t>(total));
    int op = 0;
    while (roll >= kWeights[op]) roll -= kWeights[op++];
    return static_cast<Op>(op);
}

void Work(std::vector<Port*>& ports, int thread, Clock::time_point end) {
    std::mt19937 random(static_cast<uint32_t>(thread * 7919 + 1));
    while (Clock::now() < end) {
        const auto index = static_cast<uint32_t>(random() % ports.size());
        Port& port = *ports[index];
        const Op op = PickOp(random);
        ++figures.ops[op];
        switch (op) {
            // Now and then a burst bigger than the ring, so overflows happen and are checked.
            case kWrite:
                WriteBlocks(port, index, random() % 64 == 0 ? 64 : 1);
                break;
            case kRead:
                ReadAvailable(port, 4);
                break;
            case kClear:
                ClearPort(port);
                break;
            case kPower:
                PollPower(port);
                break;
            case kProperty:
                UseProperties(port, random);
                break;
            case kCustom:
                UseCustomValues(port, thread, random);
                break;
            case kReopen:
                Reopen(port);
                break;
            case kStale:
                CallStale(ports, random);
                break;
            case kForged:
                CallForged(ports, random);
                break;
            case kOps:
                break;
        }
    }
}

// Echoes still on their way are read until every port has been quiet for half a second.
void DrainAndClose(const std::vector<Port*>& ports) {
    auto quietSince = Clock::now();
    const auto deadline = quietSince + std::chrono::seconds(10);
    while (Clock::now() - quietSince < std::chrono::milliseconds(500) && Clock::now() < deadline) {
        for (Port* port : ports) {
            if (ReadAvailable(*port, 64) > 0) quietSince = Clock::now();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    for (Port* port : ports) {
        port->check.Finish(port->blocksSent);
        if (jint result = PH_JNI(Close)(env, nullptr, port->handle); result != 0) {
            Fail("final Close returned %d", result);
        }
    }
}

bool WantsHelp(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) return true;
    }
    return false;
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        if (flag == "--seconds") {
            options.seconds = std::atof(value);
        } else if (flag == "--ports") {
            options.ports = std::atoi(value);
        } else if (flag == "--threads") {
            options.threads = std::atoi(value);
        } else if (flag == "--root") {
            options.root = value;
        } else {
            return false;
        }
    }
    return options.seconds > 0 && options.ports > 0 && options.threads > 0;
}

// Prints the run's figures; returns the number of failures among them.
uint64_t PrintFigures(const Options& options, double seconds, const std::vector<Port*>& ports) {
    soak::StreamFigures total;
    for (const Port* port : ports) {
        const soak::StreamFigures& f = port->check.figures();
        total.verified += f.verified;
        total.cutShort += f.cutShort;
        total.droppedByOverflow += f.droppedByOverflow;
        total.droppedByClear += f.droppedByClear;
        total.droppedByClose += f.droppedByClose;
        total.lostUnreported += f.lostUnreported;
        total.mismatches += f.mismatches;
    }
    std::printf("varnel-soak: %.1f s, %d ports (%d power-reporting), %d threads, root %s\n",
                seconds, options.ports, (options.ports + 1) / 2, options.threads,
                options.root.c_str());
    std::printf("operations:");
    for (int op = 0; op < kOps; ++op) {
        std::printf(" %s %llu", kOpNames[op], static_cast<unsigned long long>(figures.ops[op]));
    }
    auto print = [](const char* what, uint64_t value) {
        std::printf("%-42s %llu\n", what, static_cast<unsigned long long>(value));
    };
    std::printf("\n");
    print("bytes written", figures.bytesWritten);
    print("bytes read", figures.bytesRead);
    print("bytes verified in whole blocks", total.verified);
    print("bytes received of blocks a drop cut short", total.cutShort);
    print("overflows reported", figures.overflows);
    print("bytes dropped after an overflow report", total.droppedByOverflow);
    print("bytes dropped by our own Clear", total.droppedByClear);
    print("bytes dropped by our own Close", total.droppedByClose);
    print("bytes lost without a report", total.lostUnreported);
    print("wrong bytes or blocks out of order", total.mismatches);
    print("stale-handle calls refused", figures.refusedStale);
    print("forged-handle calls refused", figures.refusedForged);
    print("handles closed", closedHandles.size());
    print("closed handles reissued by a later Open", figures.reissued);
    print("Closes that went ahead of a call in flight", figures.closesAheadOfCalls);
    print("longest Close (us)", figures.longestCloseMicros);
    print("port objects left unfreed at the end", PortsAwaitingRelease());
    if (PortsAwaitingRelease() != 0) Fail("port objects still await release with no call left");
    print("calls that met a concurrent Close", figures.raced);
    print("service errors (not counted as failures)", figures.serviceErrors);
    // Every byte written was either verified, cut short or dropped for a reason: the books balance.
    const uint64_t accounted = total.verified + total.cutShort + total.droppedByOverflow +
                               total.droppedByClear + total.droppedByClose + total.lostUnreported;
    if (total.mismatches == 0 && accounted != figures.bytesWritten) {
        Fail("%llu bytes written, %llu accounted for",
             static_cast<unsigned long long>(figures.bytesWritten.load()),
             static_cast<unsigned long long>(accounted));
    }
    const uint64_t failures = figures.failures + total.lostUnreported + total.mismatches;
    print("failures", failures);
    return failures;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (WantsHelp(argc, argv) || !ParseOptions(argc, argv, options)) {
        std::printf(
            "usage: varnel-soak [--seconds S] [--ports N] [--threads T] [--root DIR]\n"
            "Drives the port handler bridge from T threads on N ports (every other one\n"
            "power-reporting) for S seconds, checking every byte the service echoes back.\n"
            "DIR is the port service's install root (default: %s).\n",
            VARNEL_SOAK_DEFAULT_ROOT);
        return WantsHelp(argc, argv) ? 0 : 2;
    }
    const std::string& root = options.root;
    JavaBytes rootBytes(root.size() + 1);
    std::memcpy(rootBytes.data(), root.c_str(), root.size() + 1);
    if (jint result = PH_JNI(SetDCXPath)(env, nullptr, rootBytes.get()); result != 0) {
        std::fprintf(stderr, "varnel-soak: SetDCXPath(%s) returned %d\n", root.c_str(), result);
        return 1;
    }
    std::vector<Port*> ports;
    for (int i = 0; i < options.ports; ++i) {
        ports.push_back(new Port(static_cast<uint32_t>(i), i % 2 == 0));
        if (OpenPort(*ports.back()) != 0) return 1;
    }

    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(options.seconds));
    std::vector<std::thread> workers;
    for (int t = 0; t < options.threads; ++t) workers.emplace_back(Work, std::ref(ports), t, end);
    for (std::thread& worker : workers) worker.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    DrainAndClose(ports);

    const uint64_t failures = PrintFigures(options, seconds, ports);
    for (Port* port : ports) delete port;
    return failures == 0 ? 0 : 1;
}
