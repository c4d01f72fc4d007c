#!/bin/sh
# Runs this build on an older system: a Debian 11 root (glibc 2.31) with Java 11 and 17, built
# once with debootstrap and kept outside the clone, gets the jar, the library and a copy of the
# simulator's install root; chrooted, the demo (only its jar and ours on the class path: echo,
# custom value, power poll) and the port console's probe and echo run on both Javas. Needs root.
# Fails, saying so, when the Debian 11 root cannot be built (no route to Debian's registry, for
# one): it never skips.
# Usage: old-system.sh [build dir]       VARNEL_OLD_ROOT moves the cached root.
set -eu
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
root=${VARNEL_OLD_ROOT:-/var/cache/varnel/bullseye-root}
mirror=http://deb.debian.org/debian
packages=openjdk-11-jre-headless,openjdk-17-jre-headless
stamp=$root/.varnel-root-complete
javas="/usr/lib/jvm/java-11-openjdk-amd64/bin/java /usr/lib/jvm/java-17-openjdk-amd64/bin/java"

fail() {
    echo "old-system: $*" >&2
    exit 1
}

[ "$(id -u)" = 0 ] || fail "debootstrap and chroot need root"
command -v debootstrap >/dev/null || fail "debootstrap is missing (scripts/prerequisites.sh installs it)"
for file in java/varnel-porthandler.jar java/varnel-porthandler-demo.jar libVarnelPHJNI.so; do
    [ -f "$build/$file" ] || fail "$build/$file is missing: build first"
done

unmount() {
    if mountpoint -q "$root/proc"; then umount "$root/proc"; fi
}

# The stamp is written last and names the packages, so an interrupted or older root is rebuilt.
build_root() {
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$packages" ]; then
        echo "Debian 11 root: reusing $root"
        return
    fi
    wget -q -T 30 -O /dev/null "$mirror/dists/bullseye/Release" ||
        fail "cannot reach Debian's registry ($mirror): no Debian 11 root, no old-system run"
    echo "Debian 11 root: building $root with debootstrap (once; later runs reuse it)"
    started=$(date +%s)
    unmount
    rm -rf "$root" "$root.partial"
    mkdir -p "$(dirname "$root")"
    if ! debootstrap --variant=minbase --include="$packages" bullseye "$root.partial" "$mirror" \
        >"$root.log" 2>&1; then
        tail -n 20 "$root.log" >&2
        fail "debootstrap of Debian 11 failed (log: $root.log)"
    fi
    mv "$root.partial" "$root"
    echo "$packages" >"$stamp"
    echo "Debian 11 root: built in $(($(date +%s) - started)) s"
}

stage_build() {
    rm -rf "$root/opt/varnel"
    mkdir -p "$root/opt/varnel/lib"
    cp "$build/java/varnel-porthandler.jar" "$build/java/varnel-porthandler-demo.jar" \
        "$root/opt/varnel/"
    cp "$build/libVarnelPHJNI.so" "$root/opt/varnel/lib/"
    # The simulator's root as its package lays it out: libvarnelsim.so beside the two libraries.
    cmake --install "$build" --component simulator --prefix "$root/opt/varnel/usr" >/dev/null
    ln -s usr/share/varnel-porthandler/simulator-root "$root/opt/varnel/sim-root"
}

run_checks() {
    unmount  # left by a run that was killed
    mount -t proc proc "$root/proc"
    trap unmount EXIT
    trap 'exit 130' INT TERM
    # The loaders would fall back to the jar's copy of the bridge; ldd tells of each file itself.
    for library in /opt/varnel/lib/libVarnelPHJNI.so /opt/varnel/sim-root/varnel_dcx/relayhost/*.so; do
        if chroot "$root" ldd "$library" 2>&1 | grep "not found"; then
            fail "$library does not load on Debian 11"
        fi
    done
    for java in $javas; do
        echo "== $(chroot "$root" "$java" -version 2>&1 | head -n 1)"
        chroot "$root" /usr/bin/env LC_ALL=C.UTF-8 "$java" -Djava.library.path=/opt/varnel/lib \
            -cp /opt/varnel/varnel-porthandler.jar:/opt/varnel/varnel-porthandler-demo.jar \
            com.varnel.pos.demo.PortHandlerDemo /opt/varnel/sim-root
        # The console as a user runs it: the jar alone, with the library it carries.
        console="$java -jar /opt/varnel/varnel-porthandler.jar"
        chroot "$root" $console probe KOVLAN-OLD --root /opt/varnel/sim-root --property 4 --capability 7
        chroot "$root" $console echo COM1 --root /opt/varnel/sim-root --count 20000 --size 64
    done
    echo "glibc in the root: $(chroot "$root" /usr/bin/ldd --version | head -n 1)"
}

started=$(date +%s)
build_root
stage_build
run_checks
echo "old-system: passed on Debian 11 in $(($(date +%s) - started)) s"
