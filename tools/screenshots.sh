#!/usr/bin/env bash
# Takes the dialog screenshots of docs/screenshots/ on a virtual X display: every page of the
# options dialog, and the progress, format selection, overwrite confirmation and report of a run.
#
#   tools/screenshots.sh [path/to/vexo] [output folder]
#
# Defaults: build/bin/vexo and docs/screenshots. The progress shot converts the corpus photos
# (../shared/corpus/photos, or the folder in VEXO_SHOTS_PHOTOS). Needs Xvfb, xdotool, ImageMagick
# (import), optipng and a Japanese font (fonts-vlgothic).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
vexo=${1:-$root/build/bin/vexo}
out=${2:-$root/docs/screenshots}
photos=${VEXO_SHOTS_PHOTOS:-${VEXO_CORPUS_DIR:-$root/../shared/corpus}/photos}

die() {
  echo "screenshots.sh: $*" >&2
  exit 1
}

for tool in Xvfb xdotool xdpyinfo import optipng fc-list; do
  command -v "$tool" >/dev/null || die "$tool is missing (apt-get install xvfb xdotool x11-utils imagemagick optipng fontconfig)"
done
[[ -x $vexo ]] || die "no program at $vexo (build first, or give its path)"
vexo=$(cd "$(dirname "$vexo")" && pwd)/$(basename "$vexo")
[[ -n $(fc-list :lang=ja family) ]] || die "no Japanese font (apt-get install fonts-vlgothic)"
compgen -G "$photos/*.jpg" >/dev/null || die "no photos in $photos (set VEXO_SHOTS_PHOTOS)"

work=$(mktemp -d /tmp/vexo-shots.XXXXXX)
xvfb_pid=""
app_pid=""
log_name=""
cleanup() {
  if [[ -n $app_pid ]]; then kill "$app_pid" 2>/dev/null || true; fi
  if [[ -n $xvfb_pid ]]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A display of our own: :99, or the next free one when another server holds it.
display=99
while [[ -e /tmp/.X$display-lock || -e /tmp/.X11-unix/X$display ]]; do
  display=$((display + 1))
done
Xvfb ":$display" -screen 0 1280x800x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
  xdpyinfo -display ":$display" >/dev/null 2>&1 && break
  kill -0 "$xvfb_pid" 2>/dev/null || die "Xvfb did not start: $(cat "$work/xvfb.log")"
  sleep 0.1
done

# The program sees a fresh home and settings folder, this display and nothing of the desktop.
export DISPLAY=":$display" HOME="$work/home" XDG_CONFIG_HOME="$work/config"
export XDG_RUNTIME_DIR="$work/runtime"
export LANG=C.UTF-8 LC_ALL=C.UTF-8 QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR=1 NO_AT_BRIDGE=1
unset WAYLAND_DISPLAY SESSION_MANAGER
mkdir -p "$HOME" "$XDG_CONFIG_HOME/vexo" "$out"
mkdir -m 700 "$XDG_RUNTIME_DIR"

# Writes Vexo.ini: the [Options] lines given, CR LF line ends as the program writes them.
write_settings() {
  {
    printf '[Options]\r\n'
    printf '%s\r\n' "$@"
  } >"$XDG_CONFIG_HOME/vexo/Vexo.ini"
}

# Starts the program in the background in $HOME (so that the dialogs show short relative
# paths); its output goes to $work/<log>.log.
start() {
  local log=$1
  shift
  (cd "$HOME" && exec "$vexo" "$@") >"$work/$log.log" 2>&1 &
  app_pid=$!
  log_name=$log
}

# Prints the id of a visible window of the running program, whose title matches the regular
# expression when one is given. xdotool matches WM_NAME, which holds the dialog's own title
# ("オプション"; Qt adds " — Vexo" only to _NET_WM_NAME), so "^$" finds the untitled windows.
find_window() {
  local name=${1:-} ids=""
  for _ in $(seq 300); do
    if [[ -n $name ]]; then
      ids=$(xdotool search --all --onlyvisible --pid "$app_pid" --name "$name" 2>/dev/null || true)
    else
      ids=$(xdotool search --onlyvisible --pid "$app_pid" 2>/dev/null || true)
    fi
    if [[ -n $ids ]]; then
      printf '%s\n' "$ids" | tail -n 1
      return 0
    fi
    kill -0 "$app_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "screenshots.sh: no window${name:+ titled \"$name\"} of vexo; its output:" >&2
  cat "$work/$log_name.log" >&2
  return 1
}

# Waits for the program to end (it should after its last dialog), at most 10 seconds.
finish() {
  for _ in $(seq 100); do
    kill -0 "$app_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill "$app_pid" 2>/dev/null || true
  wait "$app_pid" 2>/dev/null || true
  app_pid=""
}

# Grabs a window into a small palette PNG once it has drawn itself.
shoot() {
  local id=$1 file=$out/$2
  sleep 0.8
  import -window "$id" -colors 256 +dither "png8:$file"
  optipng -quiet -o5 -strip all "$file"
  echo "$file"
}

# Presses keys in a window: focused first, as there is no window manager to do it.
keys() {
  local id=$1
  shift
  xdotool windowfocus --sync "$id" 2>/dev/null || true
  xdotool key --clearmodifiers "$@"
}

# The options dialog, opened by starting without arguments; Ctrl+Tab turns the pages.
write_settings
start options
win=$(find_window '^オプション')
pages=(base edit jpeg bmp png gif meta icon version)
for i in "${!pages[@]}"; do
  shoot "$win" "options-$((i + 1))-${pages[i]}.png"
  if ((i > 0)) && cmp -s "$out/options-$i-${pages[i - 1]}.png" "$out/options-$((i + 1))-${pages[i]}.png"; then
    die "Ctrl+Tab did not turn the page ${pages[i - 1]}"
  fi
  keys "$win" ctrl+Tab
done
keys "$win" Escape
finish

# The progress: the photos, twice over, to PNG one at a time so that the window stays up.
mkdir -p "$HOME/Photos/a" "$HOME/Photos/b" "$HOME/Converted"
cp "$photos"/*.jpg "$HOME/Photos/a/"
cp "$photos"/*.jpg "$HOME/Photos/b/"
write_settings Same=2 UseOutput=1 "Output=$HOME/Converted"
start progress --jobs=1 -gp Photos
win=$(find_window '^$')
sleep 1.5
shoot "$win" run-progress.png
kill "$app_pid" || true  # a stopped run removes its unfinished output
finish

# The format selection, asked for each file with -GX (-P: no progress window beside it).
mkdir -p "$HOME/Pictures"
cp "$root/samples/sunset.jpg" "$HOME/Pictures/"
write_settings
start select -gx -P Pictures/sunset.jpg
win=$(find_window '^$')
shoot "$win" run-select.png
keys "$win" Escape  # 中止
finish

# The overwrite confirmation (an output that exists, "Same" 1) and the report of the run, with a
# line of each kind: converted, skipped (the confirmation answered スキップ), failed, unsupported.
# Every source has its own base name, so that only sunset.png is there before the run.
rm -rf "$HOME/Converted"
mkdir -p "$HOME/Trip" "$HOME/Converted"
cp "$root/samples/sunset.jpg" "$root/samples/badge.png" "$root/samples/clipart.wmf" \
  "$root/samples/tiles.bmp" "$HOME/Trip/"
cp "$root/samples/tiles.ico" "$HOME/Trip/favicon.ico"
printf 'GIF89a\x10\x00\x10\x00\x80\x00\x00' >"$HOME/Trip/broken.gif"  # cut after the header
printf 'not an image\n' >"$HOME/Trip/notes.txt"
cp "$root/samples/tiles-palette.png" "$HOME/Converted/sunset.png"
write_settings Same=1 UseOutput=1 "Output=$HOME/Converted"
start report -gp -S Trip
win=$(find_window '^確認')
shoot "$win" run-confirm.png
keys "$win" Escape  # スキップ
win=$(find_window '^レポート')
shoot "$win" run-report.png
keys "$win" Escape
finish
