// Windows-named wrappers over POSIX services: millisecond sleep, dynamic libraries and
// recursive critical sections. The rest of the bridge calls these names where it mirrors code
// written against that API.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

typedef void* HMODULE;
typedef pthread_mutex_t CRITICAL_SECTION;

// Sleeps ms / 1000 whole seconds, then the remaining milliseconds.
void Sleep(uint32_t milliseconds);

// Null for a null handle (no call made), else dlsym's answer; dlerror is not consulted.
void* GetProcAddress(HMODULE library, const char* name);
// 0 for a null handle (no call made), else 1 when dlclose succeeded, 0 when it failed.
int FreeLibrary(HMODULE library);
// dlopen with RTLD_LAZY.
HMODULE LoadLibrary(const char* path);

// Copies exactly count 4-byte characters when both pointers are set; no terminator search.
void wcscpy_s(wchar_t* destination, size_t count, const wchar_t* source);

// Recursive mutex: the owning thread may enter again and leaves as often as it entered.
void InitializeCriticalSection(CRITICAL_SECTION* section);
void EnterCriticalSection(CRITICAL_SECTION* section);
void LeaveCriticalSection(CRITICAL_SECTION* section);
void DeleteCriticalSection(CRITICAL_SECTION* section);

// Sleeps while *address holds `undesired` (or until woken, or spuriously): a futex wait.
void WaitOnAddress(std::atomic<uint32_t>* address, uint32_t undesired);
// Wakes one thread sleeping in WaitOnAddress on the address.
void WakeByAddressSingle(std::atomic<uint32_t>* address);
