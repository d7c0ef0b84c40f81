#!/usr/bin/env bash
# Builds the Debian package of Harbinet: build/harbinet_<version>_<architecture>.deb,
# with the three programs, the systemd units and /etc/default/hbt-engined, the
# desktop entry and icon, the manuals and the bash completion.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="$(realpath -m "${BUILD_DIR:-build}")"

bash scripts/install-deps.sh
[ -f "$BUILD_DIR/build.ninja" ] || cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$BUILD_DIR" -j "$(nproc)"
# CPack installs the build into a staging folder under the prefix /usr and
# packs that; the file name comes from the package's name, version and architecture.
(cd "$BUILD_DIR" && cpack -G DEB -B "$BUILD_DIR" >/dev/null)
version="$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$BUILD_DIR/CPackConfig.cmake")"
echo "$BUILD_DIR/harbinet_${version}_$(dpkg --print-architecture).deb"
