#!/usr/bin/env bash
# Installs the Debian packages and npm packages the build and the tests need,
# skipping what is already there. Safe to run again.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"

packages=(cmake ninja-build g++ clang libclang-rt-14-dev clang-format qt6-base-dev
          libgl-dev libgtest-dev libbenchmark-dev mdbtools xvfb xauth imagemagick xdotool
          help2man dpkg-dev lintian man-db groff-base desktop-file-utils
          libssl-dev libexpat1-dev libtsan2)
# Node.js (for the npm oracle) may come from another Debian source that bundles npm;
# ask for Debian's own packages only when there is no node at all.
command -v node >/dev/null 2>&1 && command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing Debian packages: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The independent reader used as a test oracle (npm's mdb-reader).
if [ -f "$here/oracle/package.json" ] && [ ! -d "$here/oracle/node_modules/mdb-reader" ]; then
  echo "Installing the npm oracle packages"
  (cd "$here/oracle" && npm ci --no-audit --no-fund --loglevel=error)
fi
