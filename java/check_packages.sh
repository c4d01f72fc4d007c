#!/bin/sh
# Builds the .deb packages of a build tree, unpacks them into a scratch root (nothing is
# installed) and runs the echo program of the tests on the unpacked files alone: once with the
# library from lib/<multiarch>/jni, once with the copy inside the jar.
# Usage: check_packages.sh <cpack> <build dir> <java> <test jar> <jni dir below /usr>
set -eu
cpack=$1 build=$2 java=$3 test_jar=$4 jni_dir=$5
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
run "$usr/$jni_dir" "$usr/$jni_dir/libVarnelPHJNI.so"
run "$work/empty" "$work/tmp/"
