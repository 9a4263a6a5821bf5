#!/usr/bin/env bash
# Renders the PNG icons the program embeds from their SVG drawings
# (ImageMagick). Run after changing an SVG; the PNGs are committed.
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 32 48 256; do
  convert -background none -density 384 tarnwick.svg -resize "${size}x${size}" "tarnwick-${size}.png"
done
for size in 32 64; do
  convert -background none -density 384 optimize.svg -resize "${size}x${size}" "optimize-${size}.png"
done
