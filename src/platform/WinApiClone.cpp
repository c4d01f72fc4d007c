#include "platform/WinApiClone.h"

#include <dlfcn.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

void Sleep(uint32_t milliseconds) {
    // usleep is only defined below one second, so whole seconds go to sleep().
    sleep(milliseconds / 1000);
    usleep((milliseconds % 1000) * 1000);
}

void* GetProcAddress(HMODULE library, const char* name) {
    if (library == nullptr) return nullptr;
    return dlsym(library, name);
}

int FreeLibrary(HMODULE library) {
    if (library == nullptr) return 0;
    return dlclose(library) == 0 ? 1 : 0;
}

HMODULE LoadLibrary(const char* path) {
    return dlopen(path, RTLD_LAZY);
}

void wcscpy_s(wchar_t* destination, size_t count, const wchar_t* source) {
    static_assert(sizeof(wchar_t) == 4, "wide characters are 4 bytes on this platform");
    if (destination == nullptr || source == nullptr) return;
    std::memcpy(destination, source, count * sizeof(wchar_t));
}

void InitializeCriticalSection(CRITICAL_SECTION* section) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(section, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

void EnterCriticalSection(CRITICAL_SECTION* section) {
    pthread_mutex_lock(section);
}

void LeaveCriticalSection(CRITICAL_SECTION* section) {
    pthread_mutex_unlock(section);
}

void DeleteCriticalSection(CRITICAL_SECTION* section) {
    pthread_mutex_destroy(section);
}

// std::atomic<uint32_t> is a plain 32-bit word here, which is what the futex calls need.
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));

void WaitOnAddress(std::atomic<uint32_t>* address, uint32_t undesired) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(address), FUTEX_WAIT_PRIVATE, undesired, nullptr,
            nullptr, 0);
}

void WakeByAddressSingle(std::atomic<uint32_t>* address) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(address), FUTEX_WAKE_PRIVATE, 1, nullptr,
            nullptr, 0);
}
