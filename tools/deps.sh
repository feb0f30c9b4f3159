#!/usr/bin/env bash
# Installs what building (and, with --test, testing) Vexo needs on Debian 12; --bench adds the
# peers of bench/batch.sh peers (GraphicsMagick, libvips) to the test packages. The dialogs need
# Qt 6 Widgets, its Japanese translations and a font with Japanese glyphs.
set -euo pipefail
packages=(cmake ninja-build g++ pkg-config zlib1g-dev libjpeg62-turbo-dev
          qt6-base-dev qt6-translations-l10n fonts-vlgothic
          libheif-dev libwebp-dev libtiff-dev)
if [ "${1:-}" = "--bench" ]; then
  packages+=(graphicsmagick libvips-tools)
fi
if [ "${1:-}" = "--test" ] || [ "${1:-}" = "--bench" ]; then
  packages+=(libgtest-dev libgmock-dev libbenchmark-dev libpng-dev clang libclang-rt-14-dev
             imagemagick python3-pil libjpeg-turbo-progs pngcheck gifsicle
             libimage-exiftool-perl exiv2 libwmf-bin gsfonts
             xvfb xauth xdotool x11-utils desktop-file-utils
             libheif-examples webp libtiff-tools strace)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
