#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benches need, only those missing.
set -euo pipefail

packages=(
    cmake ninja-build g++ make pkg-config
    qt6-base-dev libgl-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    libcli11-dev libfmt-dev
    clang libclang-rt-dev
    fonts-wqy-microhei
    tshark python3-jsonschema
    dpkg-dev file ccache
    libexpected-dev libyaml-cpp-dev prometheus-cpp-dev libpcap-dev
    qt6-translations-l10n
    lintian desktop-file-utils appstream mandoc librsvg2-bin
)
if [ "${1:-}" = "--with-tools" ]; then
    packages+=(clang-format)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq

# Older releases name the fuzzer runtime after the compiler version.
available=()
for p in "${missing[@]}"; do
    if [ "$p" = libclang-rt-dev ] && ! apt-cache show "$p" >/dev/null 2>&1; then
        p=libclang-rt-14-dev
    fi
    available+=("$p")
done
# tshark's dependencies ask whether non-root users may capture; answer no rather than prompt.
echo "wireshark-common wireshark-common/install-setuid boolean false" | $sudo debconf-set-selections
echo "Installing: ${available[*]}"
$sudo apt-get install -y -qq --no-install-recommends "${available[@]}"
