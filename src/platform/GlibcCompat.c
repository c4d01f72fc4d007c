// What the statically linked C++ runtime takes from glibc versions newer than the shipped
// libraries' floor (2.17), supplied inside each library so that it loads on older systems.
#define _LARGEFILE64_SOURCE 1
#include <errno.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

// glibc 2.32: lets the runtime skip atomic reference counts in a single-threaded process. A JVM
// never is one, so always "no".
char __libc_single_threaded = 0;

// glibc 2.25; std::random_device is linked in with the runtime's strings, though never used.
int getentropy(void* buffer, size_t length) {
    if (length > 256) {
        errno = EIO;
        return -1;
    }
    for (size_t done = 0; done < length;) {
        const long got = syscall(SYS_getrandom, (char*)buffer + done, length - done, 0);
        if (got < 0 && errno != EINTR) return -1;
        if (got > 0) done += (size_t)got;
    }
    return 0;
}

// glibc 2.36, for the same std::random_device.
uint32_t arc4random(void) {
    uint32_t value = 0;
    while (getentropy(&value, sizeof value) != 0) {
    }
    return value;
}

// glibc 2.33 made fstat64 a function (the runtime's file streams call it); before, it was an
// inline wrapper of __fxstat64, which every glibc still has.
extern int __fxstat64(int version, int fd, struct stat64* buffer);
int fstat64(int fd, struct stat64* buffer) {
    return __fxstat64(1, fd, buffer);  // 1: the x86-64 struct stat layout
}

// glibc 2.30, for std::condition_variable's steady-clock waits: the deadline is moved to the
// real-time clock that pthread_cond_timedwait measures.
int pthread_cond_clockwait(pthread_cond_t* condition, pthread_mutex_t* mutex, clockid_t clock,
                           const struct timespec* deadline) {
    if (clock == CLOCK_REALTIME) return pthread_cond_timedwait(condition, mutex, deadline);
    struct timespec now, real;
    clock_gettime(clock, &now);
    clock_gettime(CLOCK_REALTIME, &real);
    long long nanos = (deadline->tv_sec - now.tv_sec) * 1000000000LL +
                      (deadline->tv_nsec - now.tv_nsec) + real.tv_nsec;
    if (nanos < 0) nanos = 0;
    real.tv_sec += nanos / 1000000000LL;
    real.tv_nsec = nanos % 1000000000LL;
    return pthread_cond_timedwait(condition, mutex, &real);
}
