# Sourced by the build scripts: makes sure the Debian packages the build needs are installed
# (dpkg-dev: dpkg-shlibdeps, which fills in the Depends of the .deb packages; debootstrap and
# wget: the Debian 11 root of scripts/old-system.sh).
# As root it installs what is missing; otherwise it stops with the exact apt-get line.
VARNEL_PACKAGES="cmake ninja-build g++ dpkg-dev libgtest-dev libgmock-dev libbenchmark-dev openjdk-17-jdk-headless junit5 clang-14 libclang-rt-14-dev debootstrap wget"
# Optional, for scripts/bench.sh only: without it the comparison with Boost's queue is skipped.
VARNEL_BENCH_PACKAGES="libboost-dev"

# The packages of the list (default: VARNEL_PACKAGES) that are not installed.
varnel_missing_packages() {
    missing=""
    for package in ${1:-$VARNEL_PACKAGES}; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
            missing="$missing $package"
        fi
    done
    echo "${missing# }"
}

varnel_require_packages() {
    missing=$(varnel_missing_packages)
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" = 0 ]; then
        echo "Installing missing packages: $missing"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq && apt-get install -y -qq $missing >/dev/null || {
            echo "apt-get could not install: $missing" >&2
            exit 1
        }
    else
        echo "Missing Debian packages. Install them with:" >&2
        echo "  sudo apt-get install -y $missing" >&2
        exit 1
    fi
}

# As root, installs the optional bench packages that are missing; otherwise names them and goes on.
varnel_offer_bench_packages() {
    missing=$(varnel_missing_packages "$VARNEL_BENCH_PACKAGES")
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" = 0 ]; then
        echo "Installing optional packages: $missing" >&2
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq && apt-get install -y -qq $missing >/dev/null ||
            echo "apt-get could not install $missing; going on without it" >&2
    else
        echo "Optional, for the Boost comparison: sudo apt-get install -y $missing" >&2
    fi
}
