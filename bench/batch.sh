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
# GraphicsMagick and libvips, each with its own default threading, on the photos where they lie
# and four workloads: "half" (JPEG at 50 % and quality 75), "1600" (JPEG with the longer side
# 1600 pixels, quality 75), "png" (PNG at zlib level 5, vexo's default PNG settings) and "gif"
# (GIF with the 216-colour web palette, no dithering, vexo's default GIF settings). vexo's
# settings go into a Vexo.ini of its own with an output folder and "Same" 2. The commands of a
# workload take turns, ROUNDS times (default 3), each on a fresh output folder, timed by GNU time;
# the table gives each command's median wall time, CPU time (user + system), peak memory (of the
# largest process, so a per-file loop counts its largest file) and output size, and vexo's wall
# time over each command's, taken round by round, as a median. A run that fails or writes fewer
# files than there are photos is said on stderr and left out. WORKLOADS picks some of them
# (WORKLOADS="half 1600"); VEXO_JOBS1_ARGS replaces the "--jobs=1" of the second vexo (empty:
# vexo as is, twice); a missing peer is said and skipped. A command that takes longer than SLOW
# seconds (default 20; 0: no limit) in a round is not run in the later ones, which keeps ROUNDS=3
# on 2 cores near 10 minutes (ImageMagick's and GraphicsMagick's web-palette GIFs take 1.5 to 2
# minutes a round, PNG at level 5 about 25 s); the "runs" column shows how often each ran.
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

if [ "$format" != peers ]; then  # peers reads the photos where they are
  for tool in vexo imagemagick libjpeg; do
    rm -rf "${work:?}/$tool" && cp -r "$photos" "$work/$tool"
  done
fi
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
    # The command lines below are run by bash -ec with photos, out, web and the vexo variables
    # in its environment, so they are written in single quotes and expand there.
    # shellcheck disable=SC2016
    {
      rounds=${ROUNDS:-3} slow=${SLOW:-20}
      count=$(compgen -G "$photos/*.jpg" | wc -l)
      [ "$count" -gt 0 ] || { echo "no photos in $photos" >&2; exit 1; }
      export photos out=$work/out web=$work/web.ppm vexo vexoJobs1=${VEXO_JOBS1_ARGS---jobs=1}
      # The 216-colour web palette (each channel 0, 51, ..., 255) as an image for gm's -map.
      awk 'BEGIN { print "P3 216 1 255"
        for (r = 0; r < 6; r++) for (g = 0; g < 6; g++) for (b = 0; b < 6; b++) print r * 51, g * 51, b * 51 }' >"$web"
      have() { command -v "$1" >/dev/null 2>&1; }
      echo "peers: $count photos from $photos, $(nproc) cores, $rounds rounds; vexo: $vexo"
      for workload in ${WORKLOADS:-half 1600 png gif}; do
        labels=() lines=() missing=()
        add() {  # label, program it needs, command line
          if have "$2"; then labels+=("$1") lines+=("$3"); else missing+=("$1 ($2)"); fi
        }
        vexoConfig() {  # settings after [Options] UseOutput, Output and Same, with \r\n line ends
          mkdir -p "$work/config-$workload/vexo"
          printf '[Options]\r\nUseOutput=1\r\nOutput=%s\r\nSame=2\r\n%b' "$out" "$1" \
            >"$work/config-$workload/vexo/Vexo.ini"
        }
        addVexo() {  # vexo's format switch: vexo on every core, and vexo with VEXO_JOBS1_ARGS
          local line="XDG_CONFIG_HOME='$work/config-$workload' \"\$vexo\" --console $1"
          add vexo "$vexo" "$line \"\$photos\""
          add "vexo ${vexoJobs1:-again}" "$vexo" "$line \$vexoJobs1 \"\$photos\""
        }
        case $workload in
          half)
            ext=jpg
            vexoConfig 'ChangeSize=1\r\nSizeUnit=1\r\nSize=50\r\n[Jpeg]\r\nCompress=75\r\n'
            addVexo -gj
            add mogrify /usr/bin/mogrify '/usr/bin/mogrify -path "$out" -resize 50% -quality 75 "$photos"/*.jpg'
            # gm mogrify puts the path of each input under -output-directory: run it in the folder.
            add "gm mogrify" gm 'cd "$photos" && gm mogrify -output-directory "$out" -resize 50% -quality 75 ./*.jpg'
            add "vips resize" vips 'for f in "$photos"/*.jpg; do n=${f##*/}; vips resize "$f" "$out/${n%.jpg}.jpg[Q=75]" 0.5; done'
            ;;
          1600)
            ext=jpg
            vexoConfig 'ChangeSize=1\r\nSizeUnit=0\r\nMaxSize=0\r\nSize=1600\r\n[Jpeg]\r\nCompress=75\r\n'
            addVexo -gj
            add mogrify /usr/bin/mogrify '/usr/bin/mogrify -path "$out" -resize 1600x1600 -quality 75 "$photos"/*.jpg'
            add "gm mogrify" gm 'cd "$photos" && gm mogrify -output-directory "$out" -resize 1600x1600 -quality 75 ./*.jpg'
            add vipsthumbnail vipsthumbnail 'vipsthumbnail "$photos"/*.jpg -s 1600 -o "$out/%s.jpg[Q=75]"'
            ;;
          png)
            ext=png
            vexoConfig ''
            addVexo -gp
            add mogrify /usr/bin/mogrify '/usr/bin/mogrify -path "$out" -format png -define png:compression-level=5 "$photos"/*.jpg'
            # gm's PNG quality: the tens digit is the zlib level, 5 units adaptive row filters.
            add "gm mogrify" gm 'cd "$photos" && gm mogrify -output-directory "$out" -format png -quality 55 ./*.jpg'
            # libvips filters no row at this version (filter=none by default): larger files.
            add "vips copy" vips 'for f in "$photos"/*.jpg; do n=${f##*/}; vips copy "$f" "$out/${n%.jpg}.png[compression=5]"; done'
            ;;
          gif)
            ext=gif
            vexoConfig ''
            addVexo -gg
            add mogrify /usr/bin/mogrify '/usr/bin/mogrify -path "$out" -format gif +dither -remap netscape: "$photos"/*.jpg'
            # gm mogrify fails on -map ("Unable to open file (0)", 1.3.40), gm convert does not: one
            # gm convert a photo, mapped without dithering to the web palette (the same pixels as
            # ImageMagick's netscape: remap).
            add "gm convert" gm 'for f in "$photos"/*.jpg; do n=${f##*/}; gm convert "$f" +dither -map "$web" "$out/${n%.jpg}.gif"; done'
            # libvips has no fixed palette: it builds its own and dithers.
            add "vips copy" vips 'for f in "$photos"/*.jpg; do n=${f##*/}; vips copy "$f" "$out/${n%.jpg}.gif"; done'
            ;;
          *)
            echo "unknown workload $workload (half, 1600, png, gif)" >&2
            exit 2
            ;;
        esac
        started=$SECONDS
        : >"$work/runs"
        skip=()
        for ((round = 1; round <= rounds; round++)); do
          for i in "${!labels[@]}"; do
            [ -z "${skip[$i]:-}" ] || continue
            rm -rf "$out" && mkdir -p "$out"
            status=0
            /usr/bin/time -f "%e %U %S %M" -o "$work/time" bash -ec "${lines[$i]}" \
              </dev/null >"$work/log" 2>&1 || status=$?
            made=$(compgen -G "$out/*.$ext" | wc -l) || true
            if [ "$status" -ne 0 ] || [ "$made" -ne "$count" ]; then  # left out of the table
              echo "$workload, round $round: ${labels[$i]} failed (exit $status, $made of $count .$ext files):" >&2
              tail -n 3 "$work/log" >&2
              continue
            fi
            read -r wall user sys rss < <(tail -n 1 "$work/time")
            # A command slower than SLOW seconds is not run again: its one run says enough.
            if [ "$slow" != 0 ] && awk -v w="$wall" -v s="$slow" 'BEGIN { exit !(w > s) }'; then
              skip[i]=1
            fi
            bytes=$(cat "$out"/*."$ext" | wc -c)
            printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$round" "${labels[$i]}" "$wall" "$user" "$sys" "$rss" "$bytes" >>"$work/runs"
          done
        done
        echo
        echo "== $workload: medians of $rounds rounds ($((SECONDS - started)) s in all)"
        for m in "${missing[@]}"; do echo "not installed, skipped: $m"; done
        awk -F '\t' -v order="$(printf '%s\t' "${labels[@]}")" '
          function median(list,   n, a, i, j, t) {
            n = split(substr(list, 2), a, " ")
            if (n == 0) return ""
            for (i = 1; i <= n; i++)
              for (j = i + 1; j <= n; j++)
                if (a[j] + 0 < a[i] + 0) { t = a[i]; a[i] = a[j]; a[j] = t }
            return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
          }
          {
            runs[$2]++
            wall[$2] = wall[$2] " " $3; cpu[$2] = cpu[$2] " " ($4 + $5); rss[$2] = rss[$2] " " $6
            size[$2] = size[$2] " " $7
            if ($2 == "vexo") vexoWall[$1] = $3
            else if (($1 in vexoWall) && $3 > 0) ratio[$2] = ratio[$2] " " vexoWall[$1] / $3
          }
          END {
            printf "%-16s %5s %8s %8s %9s %8s %10s\n", "command", "runs", "wall s", "CPU s",
              "peak MiB", "out MB", "vexo/this"
            n = split(order, names, "\t")
            for (i = 1; i < n; i++) {
              l = names[i]
              if (!runs[l]) { printf "%-16s %5d %8s\n", l, 0, "failed"; continue }
              r = l == "vexo" || median(ratio[l]) == "" ? "" : sprintf("%.2f", median(ratio[l]))
              printf "%-16s %5d %8.2f %8.2f %9.1f %8.1f %10s\n", l, runs[l], median(wall[l]),
                median(cpu[l]), median(rss[l]) / 1024, median(size[l]) / 1e6, r
            }
          }' "$work/runs"
      done
    }
    ;;
  *)
    echo "usage: bench/batch.sh [bmp|jpeg|png|exif|gif|peers] [vexo]" >&2
    exit 2
    ;;
esac
