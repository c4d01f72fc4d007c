// The directory of the shared library this is compiled into, for the files a simulated or
// recording root keeps beside its libraries (its scenario, its recording settings).
#pragma once

#include <dlfcn.h>

#include <string>

namespace vsim {

// Inline with hidden visibility in each library: the anchor's address names the library the
// caller loaded, so each root finds its own files.
inline std::string OwnDirectory() {
    static const char anchor = 0;
    Dl_info info{};
    if (dladdr(&anchor, &info) == 0 || info.dli_fname == nullptr) return ".";
    const std::string path = info.dli_fname;
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace vsim
