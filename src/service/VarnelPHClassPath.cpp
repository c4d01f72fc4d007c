#include "service/VarnelPHClassPath.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string_view>

namespace {

char mszclasspath[PH_PATH_SIZE];
// Java is told to set the root before opening ports, but a root half-written under a
// concurrent load would name a wrong file; the copy is cheap to guard.
std::mutex mszclasspathLock;

// The longest file name a loader composes, so the root limit follows from it.
constexpr size_t kLongestFileName = std::char_traits<char>::length("libportconfig.so");
constexpr size_t kMaxRootLength =
    PH_PATH_SIZE - 1 - std::char_traits<char>::length(PH_ROOT_DIRECTORY) - kLongestFileName;

}  // namespace

bool SetPHClassPath(const char* root, size_t length) {
    if (length > kMaxRootLength) return false;
    std::lock_guard<std::mutex> guard(mszclasspathLock);
    std::memset(mszclasspath, 0, sizeof mszclasspath);
    if (length > 0) std::memcpy(mszclasspath, root, length);
    return true;
}

const char* GetPHClassPath() {
    return mszclasspath;
}

void BuildPHLibraryPath(const char* fileName, char (&path)[PH_PATH_SIZE]) {
    char root[PH_PATH_SIZE] = {};
    {
        std::lock_guard<std::mutex> guard(mszclasspathLock);
        std::memcpy(root, mszclasspath, sizeof root);
    }
    std::memset(path, 0, sizeof path);
    size_t used = 0;
    // Bounded appends cannot write past the area; SetPHClassPath keeps every root short enough
    // that nothing is ever cut.
    auto append = [&](std::string_view part) {
        const size_t n = std::min(part.size(), sizeof path - 1 - used);
        std::memcpy(path + used, part.data(), n);
        used += n;
    };
    if (root[0] == '\0') {
        append(PH_DEFAULT_DIRECTORY);
    } else {
        append(root);
        append(PH_ROOT_DIRECTORY);
    }
    append(fileName);
}

HMODULE LoadPHLibrary(const char* fileName) {
    char path[PH_PATH_SIZE];
    BuildPHLibraryPath(fileName, path);
    return dlopen(path, RTLD_LAZY);
}
