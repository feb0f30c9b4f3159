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
# "peers" runs vexo (on every core, and with --jobs=1) beside ImageMagick's mogrify,
# GraphicsMagick's gm mogrify and libvips, each with its own default threading, on four workloads:
# "half" (JPEG at 50 % and quality 75), "1600" (JPEG with the longer side 1600 pixels), "png"
# (PNG at zlib level 5) and "gif" (GIF with the 216-colour web palette, no dithering). The
# commands of a workload take turns, ROUNDS times (default 3), each on a fresh output folder;
# the table gives each command's median wall time, CPU time (user + system) and peak memory
# (the largest process, so a per-file loop counts its largest file), and vexo's wall time over
# each command's, taken round by round, as a median. WORKLOADS picks some of them
# (WORKLOADS="half 1600"); a missing peer is said and skipped.
# Usage: bench/batch.sh [bmp|jpeg|png|exif|gif|peers] [vexo]
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
  rm -rf "${work:?}/$tool" && cp -r "$photos" "$work/$tool"
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
  peers)
    have() { command -v "$1" >/dev/null 2>&1; }
    for tool in /usr/bin/mogrify gm vips vipsthumbnail; do
      have "$tool" || echo "not installed, skipped: $tool" >&2
    done
    # GraphicsMagick has no built-in web palette: ImageMagick writes one for its -map.
    have /usr/bin/convert && /usr/bin/convert netscape: "$work/web.gif"
    out=$work/out
    vexoLine() {  # workload, settings, vexo arguments: a command line with its own settings
      mkdir -p "$work/config-$1/vexo"
      printf '[Options]\r\nUseOutput=1\r\nOutput=%s\r\nSame=2\r\n%b' "$out" "$2" \
        >"$work/config-$1/vexo/Vexo.ini"
      echo "XDG_CONFIG_HOME='$work/config-$1' '$vexo' --console $3 '$photos'"
    }
    perFile() {  # a command run for each photo, with $f the photo and $n its name without .jpg
      echo "for f in '$photos'/*.jpg; do n=\$(basename \"\$f\" .jpg); $1; done"
    }
    for workload in ${WORKLOADS:-half 1600 png gif}; do
      labels=() lines=()
      add() {  # label, tool it needs, command line
        if [ "$2" = vexo ] || have "$2"; then labels+=("$1") lines+=("$3"); fi
      }
      case $workload in
        half)
          set='ChangeSize=1\r\nSizeUnit=1\r\nSize=50\r\n[Jpeg]\r\nCompress=75\r\n'
          add vexo vexo "$(vexoLine half "$set" -gj)"
          add vexo-jobs=1 vexo "$(vexoLine half "$set" "-gj --jobs=1")"
          add mogrify /usr/bin/mogrify "/usr/bin/mogrify -path '$out' -resize 50% -quality 75 '$photos'/*.jpg"
          add gm-mogrify gm "cd '$photos' && gm mogrify -output-directory '$out' -resize 50% -quality 75 *.jpg"
          add vips-resize vips "$(perFile "vips resize \"\$f\" '$out'/\$n.jpg[Q=75] 0.5")"
          ;;
        1600)
          set='ChangeSize=1\r\nSizeUnit=0\r\nMaxSize=0\r\nSize=1600\r\n[Jpeg]\r\nCompress=75\r\n'
          add vexo vexo "$(vexoLine 1600 "$set" -gj)"
          add vexo-jobs=1 vexo "$(vexoLine 1600 "$set" "-gj --jobs=1")"
          add mogrify /usr/bin/mogrify "/usr/bin/mogrify -path '$out' -resize 1600x1600 -quality 75 '$photos'/*.jpg"
          add gm-mogrify gm "cd '$photos' && gm mogrify -output-directory '$out' -resize 1600x1600 -quality 75 *.jpg"
          add vipsthumbnail vipsthumbnail "vipsthumbnail '$photos'/*.jpg -s 1600 -o '$out/%s.jpg[Q=75]'"
          ;;
        png)
          add vexo vexo "$(vexoLine png '' -gp)"
          add vexo-jobs=1 vexo "$(vexoLine png '' "-gp --jobs=1")"
          add mogrify /usr/bin/mogrify "/usr/bin/mogrify -path '$out' -format png -define png:compression-level=5 '$photos'/*.jpg"
          # GraphicsMagick's PNG quality: the tens digit is the zlib level, 5 units adaptive filters.
          add gm-mogrify gm "cd '$photos' && gm mogrify -output-directory '$out' -format png -quality 55 *.jpg"
          add vips-copy vips "$(perFile "vips copy \"\$f\" '$out'/\$n.png[compression=5]")"
          ;;
        gif)
          add vexo vexo "$(vexoLine gif '' -gg)"
          add vexo-jobs=1 vexo "$(vexoLine gif '' "-gg --jobs=1")"
          add mogrify /usr/bin/mogrify "/usr/bin/mogrify -path '$out' -format gif +dither -remap netscape: '$photos'/*.jpg"
          # gm mogrify cannot open a -map file, so gm convert goes file by file.
          [ -f "$work/web.gif" ] &&
            add gm-convert gm "$(perFile "gm convert \"\$f\" +dither -map '$work/web.gif' '$out'/\$n.gif")"
          # libvips has no fixed palette: it builds its own and dithers.
          add vips-copy vips "$(perFile "vips copy \"\$f\" '$out'/\$n.gif")"
          ;;
        *)
          echo "unknown workload $workload" >&2
          exit 2
          ;;
      esac
      : >"$work/runs"
      for ((round = 0; round < ${ROUNDS:-3}; round++)); do
        for i in "${!labels[@]}"; do
          rm -rf "$out" && mkdir -p "$out"
          if /usr/bin/time -f "%e %U %S %M" -o "$work/time" bash -c "${lines[$i]}" >/dev/null 2>&1
          then
            read -r wall user sys rss <"$work/time"
            echo "${labels[$i]} $wall $user $sys $rss" >>"$work/runs"
          else
            echo "${labels[$i]} failed: ${lines[$i]}" >&2
          fi
        done
      done
      echo "== $workload: medians of ${ROUNDS:-3} rounds"
      awk '
        function median(list,   n, a, i, j, t) {
          n = split(list, a, " ")
          for (i = 1; i <= n; i++)
            for (j = i + 1; j <= n; j++)
              if (a[j] + 0 < a[i] + 0) { t = a[i]; a[i] = a[j]; a[j] = t }
          return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
        }
        {
          if (!($1 in wall)) order[++count] = $1
          wall[$1] = wall[$1] " " $2; cpu[$1] = cpu[$1] " " ($3 + $4); rss[$1] = rss[$1] " " $5
          if ($1 == "vexo") vexoWall = $2; else ratio[$1] = ratio[$1] " " vexoWall / $2
        }
        END {
          printf "%-14s %8s %8s %9s %10s\n", "command", "wall s", "CPU s", "peak MiB", "vexo/this"
          for (i = 1; i <= count; i++) {
            l = order[i]
            printf "%-14s %8.2f %8.2f %9.1f %10s\n", l, median(wall[l]), median(cpu[l]),
              median(rss[l]) / 1024, l == "vexo" ? "" : sprintf("%.2f", median(ratio[l]))
          }
        }' "$work/runs"
    done
    ;;
  *)
    echo "usage: bench/batch.sh [bmp|jpeg|png|exif|gif|peers] [vexo]" >&2
    exit 2
    ;;
esac
