#!/usr/bin/env bash
# Builds the Debian package of Tarnwick (the window program, jetcompact,
# jetcheck, jetdump, their manual pages, the desktop entry and icons) from the
# release build, checks it with lintian, and prints where it is:
#   scripts/package.sh            ->  build/deb/tarnwick_VERSION_ARCH.deb
# Install it with: apt install ./build/deb/tarnwick_*.deb
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"
scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
rm -f build/deb/tarnwick_*.deb
cpack -G DEB --config build/release/CPackConfig.cmake -B "$top/build/deb"
rm -rf build/deb/_CPack_Packages
deb=$(ls build/deb/tarnwick_*.deb)
status=0
lintian --fail-on error "$deb" >build/deb/lintian.log 2>&1 || status=$?
grep -v "running with root privileges" build/deb/lintian.log || true
if [ "$status" -ne 0 ]; then
  echo "lintian found an error in $deb" >&2
  exit 1
fi
echo "Built $top/$deb"
echo "Install it with: apt install ./$deb"
