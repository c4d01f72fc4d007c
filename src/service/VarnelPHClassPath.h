// The install root from which the port service's two libraries are loaded, and the path rule
// every loader applies: the default directory while the root is empty, else a fixed directory
// part under the root.
#pragma once

#include <cstddef>

#include "platform/WinApiClone.h"

inline constexpr size_t PH_PATH_SIZE = 256;
inline constexpr const char* PH_SERVICE_LIBRARY = "libdcxif.so";
inline constexpr const char* PH_CONFIG_LIBRARY = "libportconfig.so";
inline constexpr const char* PH_DEFAULT_DIRECTORY = "/opt/varnel_dcx/relayhost/";
inline constexpr const char* PH_ROOT_DIRECTORY = "/varnel_dcx/relayhost/";

// Takes the first `length` bytes of `root` as the new install root (length 0 makes it empty).
// Refuses, leaving the root as it was, a root for which a composed library path would not fit
// its 256-byte area: a path cut short would name a different file.
bool SetPHClassPath(const char* root, size_t length);
// The current install root, 0-terminated; empty means the default directory.
const char* GetPHClassPath();
// Composes the path of `fileName` under the current install root into `path`.
void BuildPHLibraryPath(const char* fileName, char (&path)[PH_PATH_SIZE]);
// Composes the path and loads it with dlopen(RTLD_LAZY); null when the load fails.
HMODULE LoadPHLibrary(const char* fileName);
