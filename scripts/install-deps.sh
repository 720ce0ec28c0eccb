#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demos need,
# only those that are missing. Uses sudo when not run as root.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    qtbase5-dev qttools5-dev qttools5-dev-tools
    coinor-libclp-dev dbus gnuplot-nox libbenchmark-dev tzdata
    # JSON Schema checks of the tuning file, the scenarios and tavro-host's household files
    libvalijson-dev
    # the scorecard page test renders it in headless Chromium
    chromium
    # the solver's link line asks for -lz, which its package does not pull in
    zlib1g-dev
    clang libclang-rt-14-dev llvm-14
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

# The npm client test needs node and npm. Checked by command: a node
# package from elsewhere may bring its own npm.
for tool in node:nodejs npm:npm; do
    if ! command -v "${tool%%:*}" >/dev/null 2>&1; then
        missing+=("${tool#*:}")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
