#!/usr/bin/env bash
# Installs the Debian packages needed to build, test and run Harbinet.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  libssl-dev libtinyxml2-dev libcurl4-openssl-dev
  libnetfilter-queue-dev libmnl-dev libnfnetlink-dev iptables conntrack
  qt6-base-dev qt6-svg-dev libqt6svg6 qt6-qpa-plugins fonts-dejavu-core
  xvfb trayer xdotool x11-apps x11-utils x11-xserver-utils imagemagick
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  curl wget chromium openssl iproute2 socat procps
  haproxy nginx-light
  clang libclang-rt-dev
  lintian adduser
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
