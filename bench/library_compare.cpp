// The per-call cost of the handle path in two builds of the library, loaded side by side into one
// process and called through the soak tool's JNI host, so that both meet the same machine at the
// same moment. Rounds alternate which build goes first; each figure is the 10th percentile of
// the rounds, the least disturbed by other work on a shared machine. Prints markdown rows.
//   library_compare <simulator root> <library after> <library before>
#include <dlfcn.h>
#include <jni.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "soak/JniHost.h"

namespace {

#define PH_SYMBOL(name) "Java_com_varnel_pos_comm_v4_10001_PortHandlerIO_" name

JNIEnv* Env() {
    static JniHost host;
    return host.env();
}

// One build of the library with a port open on the simulator.
struct Build {
    void* library = nullptr;
    jlong handle = 0;
    jlong stale = 0;  // the first of many handles opened and closed

    template <class Fn>
    Fn* Function(const char* name) const {
        return reinterpret_cast<Fn*>(dlsym(library, name));
    }
    bool Open(const char* path, const std::string& root, const char* port) {
        library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) return false;
        JavaBytes rootBytes(root.size() + 1);
        std::memcpy(rootBytes.data(), root.c_str(), root.size() + 1);
        Function<jint(JNIEnv*, jobject, jbyteArray)>(PH_SYMBOL("SetDCXPath"))(Env(), nullptr,
                                                                              rootBytes.get());
        JavaString name(port), url("");
        JavaLongs holder(1);
        auto open =
            Function<jint(JNIEnv*, jobject, jstring, jstring, jint, jlongArray)>(PH_SYMBOL("Open"));
        if (open(Env(), nullptr, url.get(), name.get(), 1, holder.get()) != 0) return false;
        handle = holder.data()[0];
        // Churn: a table of live handles that never forgets a closed one slows every lookup
        // of a handle it does not hold.
        auto close = Function<jint(JNIEnv*, jobject, jlong)>(PH_SYMBOL("Close"));
        for (int i = 0; i < 20000; ++i) {
            if (open(Env(), nullptr, url.get(), name.get(), 1, holder.get()) != 0) return false;
            if (i == 0) stale = holder.data()[0];
            close(Env(), nullptr, holder.data()[0]);
        }
        return true;
    }
};

// Nanoseconds a call: the 10th percentile of rounds of 100,000 calls.
double PerCall(std::vector<double> rounds) {
    std::sort(rounds.begin(), rounds.end());
    return rounds[rounds.size() / 10];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <simulator root> <library after> <library before>\n",
                     argv[0]);
        return 2;
    }
    Build builds[2];
    for (int b = 0; b < 2; ++b) {
        if (!builds[b].Open(argv[2 + b], argv[1], b == 0 ? "COMPARE1" : "COMPARE2")) {
            std::fprintf(stderr, "library_compare: cannot open a port through %s\n", argv[2 + b]);
            return 1;
        }
    }
    JavaBytes destination(16);
    JavaInts count(1);
    struct Measure {
        const char* name;
        std::function<void(const Build&)> call;
    };
    const Measure measures[] = {
        {"Read, ring empty",
         [&](const Build& b) {
             auto* read = b.Function<jint(JNIEnv*, jobject, jlong, jbyteArray, jint, jintArray)>(
                 PH_SYMBOL("Read"));
             for (int i = 0; i < 100000; ++i)
                 read(Env(), nullptr, b.handle, destination.get(), 16, count.get());
         }},
        {"Clear",
         [&](const Build& b) {
             auto* clear = b.Function<jint(JNIEnv*, jobject, jlong)>(PH_SYMBOL("Clear"));
             for (int i = 0; i < 100000; ++i) clear(Env(), nullptr, b.handle);
         }},
        {"Close of a stale handle after 20,000 opens",
         [&](const Build& b) {
             auto* close = b.Function<jint(JNIEnv*, jobject, jlong)>(PH_SYMBOL("Close"));
             for (int i = 0; i < 100000; ++i) close(Env(), nullptr, b.stale);
         }},
    };
    for (const Measure& measure : measures) {
        std::vector<double> ns[2];
        for (int round = 0; round < 61; ++round) {
            for (int k = 0; k < 2; ++k) {
                const int b = (k + round) % 2;
                const auto start = std::chrono::steady_clock::now();
                measure.call(builds[b]);
                ns[b].push_back(std::chrono::duration<double, std::nano>(
                                    std::chrono::steady_clock::now() - start)
                                    .count() /
                                100000);
            }
        }
        const double after = PerCall(ns[0]), before = PerCall(ns[1]);
        std::printf("| after vs before | %s, C++ host | %.1f ns | %.1f ns | %.2fx | <= 1.1x |\n",
                    measure.name, after, before, after / before);
    }
    return 0;
}
