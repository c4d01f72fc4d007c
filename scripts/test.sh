#!/bin/sh
# Builds everything and runs every test: the normal build (C++ unit and concurrency tests, the
# exported-symbol, glibc-floor and test-proportion checks, JUnit in a real JVM with -Xcheck:jni,
# a short soak) and that build on Debian 11 in a chroot (Java 11 and 17), a Release build of the
# libraries (the benchmarks' tree, built at -O3 with -Werror), then the C++ tests and
# the soak again under AddressSanitizer + UndefinedBehaviorSanitizer (LeakSanitizer included),
# then the concurrency tests and the soak under ThreadSanitizer, each sanitizer in a build
# directory of its own, and last each fuzz target for a bounded time.
set -eu
cd "$(dirname "$0")/.."
. scripts/prerequisites.sh
varnel_require_packages

jobs=$(nproc)

echo "== normal build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== the normal build on Debian 11 (glibc 2.31), Java 11 and 17"
scripts/old-system.sh build

# The tree the benchmarks use (scripts/bench.sh): -O3 brings warnings of its own, which -Werror
# turns into a broken benchmark build unless something builds it.
echo "== Release build of the libraries and the simulator"
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-release -j "$jobs" --target VarnelPHJNI simulator

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVARNEL_SANITIZE=address \
      -DVARNEL_JAVA=OFF -DVARNEL_BENCH=OFF >/dev/null
cmake --build build-asan -j "$jobs"
ctest --test-dir build-asan --output-on-failure -j "$jobs" -L 'unit|concurrency|soak'

echo "== ThreadSanitizer"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNEL_SANITIZE=thread \
      -DVARNEL_JAVA=OFF -DVARNEL_BENCH=OFF >/dev/null
cmake --build build-tsan -j "$jobs" --target varnel_concurrency_tests varnel-soak
ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L 'concurrency|soak'

echo "== fuzzing (libFuzzer, ${VARNEL_FUZZ_SECONDS:-30} s a target)"
scripts/fuzz.sh "${VARNEL_FUZZ_SECONDS:-30}"
