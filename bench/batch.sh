#!/usr/bin/env bash
# Whole-batch timing: the camera photos of the shared corpus converted to 24-bit bitmaps, to
# JPEG at quality 75 or to PNG at zlib level 5 by vexo, by ImageMagick and by libjpeg's own tools
# (for PNG: djpeg into netpbm's pnmtopng, when netpbm is installed), each on its own copy of the
# folder. vexo writes PNG with its default settings ("Compress" 1 = zlib level 5, every row
# filter allowed); ImageMagick at compression level 5 picks its own filter (adaptive for RGB
# photos). "exif" times vexo's JPEG output without Exif, with the source's Exif carried, and with a
# new thumbnail as well. "gif" times GIF output three ways, each next to ImageMagick's nearest
# equivalent: the web palette by nearest colour (the default settings; ImageMagick remaps to its
# netscape: palette without dithering), the optimised 256-colour palette (-colors 256 without
# dithering) and the web palette with Floyd-Steinberg (ImageMagick: -colors 256 with it).
# Usage: bench/batch.sh [bmp|jpeg|png|exif|gif] [vexo]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
format=${1:-bmp}
vexo=${2:-$here/build/bin/vexo}
photos=${VEXO_CORPUS_DIR:-$here/../shared/corpus}/photos
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/config/vexo"

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
  png)
    timeit vexo env XDG_CONFIG_HOME="$work/config" "$vexo" --console -gp "$work/vexo"
    timeit imagemagick bash -c "for f in '$work/imagemagick'/*.jpg; do /usr/bin/convert \"\$f\" -define png:compression-level=5 \"\${f%.jpg}.png\"; done"
    if command -v pnmtopng >/dev/null; then
      timeit djpeg+pnmtopng bash -c "for f in '$work/libjpeg'/*.jpg; do djpeg \"\$f\" | pnmtopng -compression 5 >\"\${f%.jpg}.png\"; done"
    fi
    for tool in vexo imagemagick libjpeg; do  # the output sizes
      compgen -G "$work/$tool/*.png" >/dev/null || continue
      du -cb "$work/$tool"/*.png | awk -v l="$tool" 'END { printf "%-12s %6.1f MB\n", l, $1 / 1e6 }'
    done
    ;;
  exif)
    mkdir -p "$work/out"
    for mode in "0 0" "1 0" "1 1"; do
      read -r exif thumb <<<"$mode"
      printf '[Options]\r\nUseOutput=1\r\nOutput=%s\r\nSame=2\r\n[Jpeg]\r\nExif=%s\r\nExifThumb=%s\r\n' \
        "$work/out" "$exif" "$thumb" >"$work/config/vexo/Vexo.ini"
      timeit "exif=$exif thumb=$thumb" env XDG_CONFIG_HOME="$work/config" "$vexo" --console -gj "$work/vexo"
    done
    ;;
  gif)
    mkdir -p "$work/out"
    im() {  # label, ImageMagick options
      rm -f "$work/imagemagick"/*.gif
      timeit "$1" bash -c "for f in '$work/imagemagick'/*.jpg; do /usr/bin/convert \"\$f\" $2 \"\${f%.jpg}.gif\"; done"
    }
    for mode in "web Palette=5" "optimised Palette=6" "web+FS Dither=0"; do
      read -r label setting <<<"$mode"
      printf '[Options]\r\nUseOutput=1\r\nOutput=%s\r\nSame=2\r\n[GIF]\r\n%s\r\n' \
        "$work/out" "$setting" >"$work/config/vexo/Vexo.ini"
      timeit "vexo $label" env XDG_CONFIG_HOME="$work/config" "$vexo" --console -gg "$work/vexo"
      case $label in
        web) im "im $label" "+dither -remap netscape:" ;;
        optimised) im "im $label" "+dither -colors 256" ;;
        web+FS) im "im $label" "-dither FloydSteinberg -colors 256" ;;
      esac
    done
    ;;
  *)
    echo "usage: bench/batch.sh [bmp|jpeg|png|exif|gif] [vexo]" >&2
    exit 2
    ;;
esac
