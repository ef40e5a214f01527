#!/usr/bin/env bash
# Builds the Debian package build/tamberlo_<version>_<arch>.deb, which installs under /usr.
# Install it with: sudo apt-get install ./build/tamberlo_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=${BUILD_DIR:-build}
# The prefix is where the program will find itself installed, so it is the package's own.
cmake -S . -B "$build" -G Ninja -DTAMBERLO_WERROR=ON -DCMAKE_INSTALL_PREFIX=/usr ${CMAKE_EXTRA:-}
cmake --build "$build" -j "$(nproc)"
rm -f "$build"/tamberlo_*.deb
(cd "$build" && cpack -G DEB)
ls "$build"/tamberlo_*.deb
