#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Korvalo need.
# Runs apt-get only when something is missing, so repeated runs cost nothing.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools libqt6opengl6-dev
    libboost1.81-dev libboost-json1.81-dev libcurl4-openssl-dev libssl-dev openssl libengine-gost-openssl
    nlohmann-json3-dev libpugixml-dev libpcre2-dev libx11-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    clang libclang-rt-14-dev iproute2
    # Fingerprints of signed files (XXH3), checked again while the upload reads them.
    libxxhash-dev
    tinyproxy xvfb xauth xdotool x11-utils xdg-utils nginx-light wrk
    fonts-dejavu-core
    # Tokens and smart cards: libp11 over the PKCS#11 modules, p11-kit's proxy module that
    # reaches every registered one (p11-kit-modules) and its PKCS#11 header (libp11-kit-dev);
    # SoftHSM2 as the token of the tests and the demo (softhsm2 registers it with p11-kit), and
    # p11tool (gnutls-bin), which stores the demo token's certificate.
    libp11-dev libp11-kit-dev p11-kit-modules softhsm2 gnutls-bin
    # The Debian package (scripts/package.sh) and its checks: dpkg-shlibdeps and file for
    # CPack's dependencies, lintian, the desktop-entry and AppStream validators, a
    # notification area (trayer) and curl for the run of the unpacked program.
    dpkg-dev file lintian desktop-file-utils appstream trayer curl
)
if [ "${KORVALO_WITH_BROWSER:-0}" = 1 ]; then
    # The end-to-end test: both browsers with windows of their own under a window manager.
    packages+=(chromium firefox-esr openbox nodejs)
    # Debian's npm, unless the installed Node.js brings its own (NodeSource's nodejs package
    # does, and it conflicts with Debian's npm).
    command -v npm >/dev/null || packages+=(npm)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages: ${missing[*]} (run as root to install them)" >&2
        exit 1
    fi
    echo "Installing: ${missing[*]}"
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
fi
