#!/usr/bin/env bash
# Renders the PNG icons the program embeds from their SVG drawings
# (ImageMagick). Run after changing an SVG; the PNGs are committed.
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 32 48 256; do
  convert -background none -density 384 tarnwick.svg -resize "${size}x${size}" "tarnwick-${size}.png"
done
convert -background none -density 384 optimize.svg -resize 32x32 optimize-32.png
