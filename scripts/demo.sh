#!/bin/sh
# Builds everything and runs the demo: a small Java program driving the bridge against the
# port-service simulator, printing each step, its result code and what came back; then the port
# console (java -jar varnel-porthandler.jar) probes, sends to and echoes through a simulated port.
set -eu
cd "$(dirname "$0")/.."
. scripts/prerequisites.sh
varnel_require_packages

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
cmake --build build --target demo
