#!/usr/bin/env bash
# Renders the hicolor PNGs from vexo.svg (16 px from its pixel-grid twin vexo-16.svg) and
# shrinks them losslessly. Needs rsvg-convert (librsvg2-bin) and optipng.
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 22 24 32 48 64 128 256; do
  source=vexo.svg
  [[ $size == 16 ]] && source=vexo-16.svg
  mkdir -p "hicolor/${size}x${size}/apps"
  out="hicolor/${size}x${size}/apps/vexo.png"
  rsvg-convert --width "$size" --height "$size" "$source" --output "$out"
  optipng -quiet -o7 -strip all "$out"
done
