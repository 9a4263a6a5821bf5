#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"
scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
ctest --preset release -j "$(nproc)"
