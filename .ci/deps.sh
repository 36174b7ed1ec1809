# The Debian packages Kolvane needs, and an idempotent installer for them.
# Sourced by check.sh and demo.sh; with everything in place it installs nothing and asks for nothing.

# The FTP daemons the tests run (install_daemons), unpacked from their Debian packages beside each other.
source "$(dirname "${BASH_SOURCE[0]}")/daemons.sh"

# The proxies the engine's proxy tests run, Dante (dante-server) and tinyproxy (tinyproxy-bin), unpacked the same
# way into a folder of their own, $KOLVANE_PROXIES (by default ${XDG_CACHE_HOME:-~/.cache}/kolvane/proxies): as
# installed packages they would start system services on the machine's own ports. The tests start them on loopback
# ports of their own. Dante's password method reads the system's user database; the tests give it a database of
# their own through nss_wrapper (libnss-wrapper, below), so no system account is made.
KOLVANE_PROXY_DEBS=(dante-server tinyproxy-bin)
KOLVANE_PROXIES="${KOLVANE_PROXIES:-${XDG_CACHE_HOME:-$HOME/.cache}/kolvane/proxies}"

install_proxies() {
    (
        KOLVANE_DAEMON_DEBS=("${KOLVANE_PROXY_DEBS[@]}")
        KOLVANE_DAEMONS="$KOLVANE_PROXIES"
        install_daemons
    )
}

# What building and running the three programs (kolvane, kolvane-site, quillon-sim) needs, and no more: the demo
# installs just these. dbus-daemon gives the demo's console a D-Bus session of its own (dbus-run-session).
KOLVANE_RUN_PACKAGES=(
    cmake g++ make pkg-config
    qt6-base-dev qt6-charts-dev libgl-dev
    libsqlite3-dev libjpeg62-turbo-dev
    libssl-dev openssl qtkeychain-qt6-dev
    fonts-dejavu-core dbus-daemon
)

# Everything check.sh and CI need on top: the tests, the sanitizer and fuzz builds, the checks of the desktop files,
# the real FTP peers the tests talk to, and the Debian package's dependency computation.
KOLVANE_PACKAGES=(
    "${KOLVANE_RUN_PACKAGES[@]}"
    clang-format libgtest-dev
    clang libclang-rt-14-dev llvm
    desktop-file-utils appstream dpkg-dev
    libglib2.0-bin gnome-keyring
    groff-base
    python3-pyftpdlib python3-openssl lftp curl libnss-wrapper
    libwrap0 libmemcached11 libmemcachedutil2 libpcre2-posix3 libsodium23 libcap2 libacl1 libpam0g libcrypt1
    libhiredis0.14 libidn2-0 libncursesw6 libpcre2-8-0 libtinfo6 zlib1g libssl3
)

# install_deps [package...]: installs the packages given that are missing; with none given, all of KOLVANE_PACKAGES,
# the FTP daemons and the proxies of the tests.
install_deps() {
    local wanted=("$@") missing=() p
    if [ ${#wanted[@]} -eq 0 ]; then
        # Everything: the packages, and the daemons the tests run.
        install_deps "${KOLVANE_PACKAGES[@]}"
        install_daemons
        install_proxies
        return
    fi
    for p in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
}

build_all() {
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOLVANE_TESTS=ON -DKOLVANE_WERROR=ON
    cmake --build build -j"$(nproc)"
}

# Just the console and the daemon the demo runs (kolvane-site is built with them, it is small): no tests, benchmarks
# or fuzz targets are configured, so the first window waits for nothing else.
build_demo() {
    # A build folder that check.sh configured keeps its tests configured: the demo builds only its targets there.
    local tests=()
    [ -f build/CMakeCache.txt ] || tests=(-DKOLVANE_TESTS=OFF)
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo "${tests[@]}"
    cmake --build build -j"$(nproc)" --target kolvane kolvane-site quillon-sim
}
