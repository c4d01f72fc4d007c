#!/bin/sh
# Builds the .deb packages of a build tree, unpacks them into a scratch root (nothing is
# installed) and runs the echo program of the tests on the unpacked files alone: once with the
# library from lib/<multiarch>/jni, once with the copy inside the jar.
# Then runs the scenario check and the testkit's example test on the unpacked jars and root.
# Usage: check_packages.sh <cpack> <build dir> <java> <test jar> <jni dir below /usr>
#                          <JUnit console jar> <testkit example jar> <testkit test jar>
set -eu
cpack=$1 build=$2 java=$3 test_jar=$4 jni_dir=$5
junit_console=$6 example_jar=$7 testkit_test_jar=$8
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    exit 1
fi
for deb in "$work"/out/*.deb; do
    echo "$(basename "$deb"):"
    dpkg-deb -c "$deb"
    dpkg-deb -x "$deb" "$work/root"
done
usr=$work/root/usr
mkdir "$work/tmp" "$work/empty"
# run <java.library.path> <expected source of the library>
run() {
    out=$("$java" -Djava.library.path="$1" -Djava.io.tmpdir="$work/tmp" \
        -cp "$usr/share/java/varnel-porthandler.jar:$test_jar" \
        'com.varnel.pos.comm.v4_0001.NativeLoadingTest$Echo' \
        "$usr/share/varnel-porthandler/simulator-root" 2>&1) || { echo "$out"; exit 1; }
    echo "$out"
    case $out in
    *WARNING*) echo "check_packages: the packaged library is not the jar's build" >&2; exit 1 ;;
    *"loaded $2"*) ;;
    *) echo "check_packages: expected the library from $2" >&2; exit 1 ;;
    esac
}
# The installed jar's file name carries the version; its module name does not.
for jar in "$usr"/share/java/varnel-porthandler-[0-9]*.jar; do
    "$java" --module-path "$jar" --describe-module com.varnel.pos.comm.v4_0001 >"$work/module"
    head -n 1 "$work/module"
done
run "$usr/$jni_dir" "$usr/$jni_dir/libVarnelPHJNI.so"
run "$work/empty" "$work/tmp/"

# The testkit from the packages: its jar beside the console's, its natives in the simulator root,
# and each test's private copy of that root (whose libraries find libvarnelsim.so through $ORIGIN).
sim_root=$usr/share/varnel-porthandler/simulator-root
printf 'rule COM1 * prefix "AT" reply "OK\\r\\n"\n' >"$work/good.txt"
printf 'config COM1 1\nrule COM1 * exact reply\n' >"$work/bad.txt"
for jar in varnel-porthandler.jar varnel-porthandler-testkit.jar; do
    out=$("$java" -jar "$usr/share/java/$jar" scenario check "$work/good.txt" --root "$sim_root" 2>&1) \
        || { echo "$out"; echo "check_packages: $jar refused a good script" >&2; exit 1; }
    echo "$jar scenario check good.txt: $out"
    status=0
    out=$("$java" -jar "$usr/share/java/$jar" scenario check "$work/bad.txt" --root "$sim_root" 2>&1) \
        || status=$?
    echo "$jar scenario check bad.txt: $out (exit $status)"
    case $status:$out in
    65:*"bad.txt: line 2: "*) ;;
    *) echo "check_packages: $jar did not report line 2 of bad.txt" >&2; exit 1 ;;
    esac
done
"$java" -Djava.library.path="$usr/$jni_dir" -Djava.io.tmpdir="$work/tmp" -Dvarnel.sim.root="$sim_root" \
    -jar "$junit_console" --disable-banner --details=summary --fail-if-no-tests \
    --class-path "$usr/share/java/varnel-porthandler.jar:$usr/share/java/varnel-porthandler-testkit.jar:$example_jar:$testkit_test_jar" \
    --scan-class-path "$testkit_test_jar" --include-package com.varnel.pos.example
