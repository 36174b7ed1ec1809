# The Debian packages Kolvane needs to build, test and run, and an idempotent installer for them.
# Sourced by check.sh and demo.sh; with everything in place it installs nothing and asks for nothing.

source "$(dirname "${BASH_SOURCE[0]}")/daemons.sh"

KOLVANE_PACKAGES=(
    cmake g++ make pkg-config clang-format
    qt6-base-dev libgl-dev
    libsqlite3-dev libjpeg62-turbo-dev libgtest-dev
    libssl-dev openssl qtkeychain-qt6-dev
    clang libclang-rt-14-dev llvm
    desktop-file-utils appstream
    dbus-daemon libglib2.0-bin gnome-keyring
    groff-base fonts-dejavu-core
    python3-pyftpdlib python3-openssl lftp curl
    libwrap0 libmemcached11 libmemcachedutil2 libpcre2-posix3 libsodium23 libcap2 libacl1 libpam0g libcrypt1
    libhiredis0.14 libidn2-0 libncursesw6 libpcre2-8-0 libtinfo6 zlib1g libssl3
)

install_deps() {
    install_packages
    install_daemons
}

install_packages() {
    local missing=() p
    for p in "${KOLVANE_PACKAGES[@]}"; do
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
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build build -j"$(nproc)"
}

# Just the three programs the demo runs: the console's first window does not wait for the tests, benchmarks and
# fuzz targets to build.
build_demo() {
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build build -j"$(nproc)" --target kolvane kolvane-site quillon-sim
}
