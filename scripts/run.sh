#!/usr/bin/env bash
# Installs what is missing, builds Tarnwick and starts it.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"
scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target Tarnwick
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "Tarnwick is built (build/release/app/Tarnwick) but there is no display to show its window on."
  echo "Run it from a desktop session, or under a virtual display: xvfb-run -a build/release/app/Tarnwick"
  exit 1
fi
exec build/release/app/Tarnwick
