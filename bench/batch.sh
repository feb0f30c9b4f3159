#!/usr/bin/env bash
# Whole-batch timing: the camera photos of the shared corpus converted to 24-bit bitmaps or to
# JPEG at quality 75 by vexo, by ImageMagick and by libjpeg's own tools, each on its own copy of
# the folder. Usage: bench/batch.sh [bmp|jpeg] [vexo]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
format=${1:-bmp}
vexo=${2:-$here/build/bin/vexo}
photos=${VEXO_CORPUS_DIR:-$here/../shared/corpus}/photos
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/config"

timeit() {  # label, command...
  local start end
  start=$(date +%s.%N)
  "${@:2}" >/dev/null 2>&1
  end=$(date +%s.%N)
  awk -v l="$1" -v s="$start" -v e="$end" 'BEGIN { printf "%-12s %6.2f s\n", l, e - s }'
}

for tool in vexo imagemagick libjpeg; do
  rm -rf "$work/$tool" && cp -r "$photos" "$work/$tool"
done
case $format in
  bmp)
    timeit vexo env XDG_CONFIG_HOME="$work/config" "$vexo" --console -gb "$work/vexo"
    timeit imagemagick bash -c "for f in '$work/imagemagick'/*.jpg; do /usr/bin/convert \"\$f\" -type TrueColor \"BMP3:\${f%.jpg}.bmp\"; done"
    timeit djpeg bash -c "for f in '$work/libjpeg'/*.jpg; do djpeg -bmp -outfile \"\${f%.jpg}.bmp\" \"\$f\"; done"
    ;;
  jpeg)
    timeit vexo env XDG_CONFIG_HOME="$work/config" "$vexo" --console -gj "$work/vexo"
    timeit imagemagick bash -c "for f in '$work/imagemagick'/*.jpg; do /usr/bin/convert \"\$f\" -quality 75 \"\${f%.jpg}_out.jpg\"; done"
    timeit djpeg+cjpeg bash -c "for f in '$work/libjpeg'/*.jpg; do djpeg \"\$f\" | cjpeg -quality 75 -outfile \"\${f%.jpg}_out.jpg\"; done"
    ;;
  *)
    echo "usage: bench/batch.sh [bmp|jpeg] [vexo]" >&2
    exit 2
    ;;
esac
