#!/usr/bin/env bash
# Installs the Debian packages one or more groups need, only those missing, without questions.
#
# Usage: install-deps.sh [--with-tools] [--list] [GROUP...]
# --list prints the groups' packages, one a line, and installs nothing.
#   run      build and run the window and the companion (the default)
#   test     what the tests add: GoogleTest, tshark for the dissector, the JSON Schema checker, pytest, Xvfb
#   package  build the Debian packages (dpkg-buildflags, dpkg-shlibdeps, the rendered icons; pybuild)
#   check    hold the package to Debian's tools (lintian, desktop-file-validate, appstreamcli, mandoc)
#            and the alert rules to promtool; implies package
#   fuzz     clang and its libFuzzer runtime
#   bench    Google Benchmark
#   tools    clang-format (also --with-tools)
#   all      every group
# Groups add to each other; every group but tools builds on run, so `install-deps.sh test` installs both.
set -euo pipefail

declare -A group_packages=(
    # ccache is optional to the build but used when present; it is two small packages.
    [run]="cmake ninja-build g++ make pkg-config ccache
           qt6-base-dev libgl-dev qt6-l10n-tools qt6-tools-dev qt6-tools-dev-tools
           libcli11-dev libfmt-dev libexpected-dev libyaml-cpp-dev prometheus-cpp-dev libpcap-dev
           qt6-translations-l10n fonts-wqy-microhei"
    [test]="libgtest-dev libgmock-dev tshark python3-jsonschema python3-pytest xvfb"
    [package]="dpkg-dev file librsvg2-bin debhelper dh-python pybuild-plugin-pyproject python3-all python3-setuptools"
    [check]="lintian desktop-file-utils appstream mandoc prometheus python3-pytest"
    [fuzz]="clang libclang-rt-dev"
    [bench]="libbenchmark-dev"
    [tools]="clang-format"
)
usage() {
    sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0"
    exit "$1"
}

groups=()
with_tools=0
list_only=0
for arg in "$@"; do
    case $arg in
        --with-tools) with_tools=1 ;;
        --list) list_only=1 ;;
        -h | --help) usage 0 ;;
        all) groups+=(run test package check fuzz bench tools) ;;
        *)
            [ -n "${group_packages[$arg]:-}" ] || { echo "install-deps.sh: unknown group '$arg'" >&2; usage 2 >&2; }
            groups+=("$arg")
            ;;
    esac
done
# Every group builds on run; `tools` named alone is clang-format alone.
[ "${groups[*]:-}" = tools ] || groups=(run "${groups[@]}")
[ $with_tools -eq 1 ] && groups+=(tools)
case " ${groups[*]} " in *" check "*) groups+=(package) ;; esac

packages=()
for g in "${groups[@]}"; do
    # shellcheck disable=SC2206 # package names split on white space, nothing to glob
    packages+=(${group_packages[$g]})
done

if [ $list_only -eq 1 ]; then
    printf '%s\n' "${packages[@]}" | sort -u
    exit 0
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        case " ${missing[*]} " in *" $p "*) ;; *) missing+=("$p") ;; esac
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
echo "Installing (${groups[*]}): ${available[*]}"
$sudo apt-get install -y -qq --no-install-recommends "${available[@]}"
