#!/usr/bin/env bash
# The dialogs in real windows on an X server (Xvfb): started without arguments Vexo shows the
# options dialog; a run shows the progress window, then the report, and converts.
# Usage: tests/gui/real_window.sh path/to/vexo
set -euo pipefail
vexo=$(realpath "$1")
for tool in Xvfb xdotool; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (tools/deps.sh --test installs it)"
    exit 0
  fi
done

work=$(mktemp -d)
xvfb_pid=
cleanup() {
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# A display of our own: the first free number from 90.
display=90
while [ -e "/tmp/.X$display-lock" ] || [ -e "/tmp/.X11-unix/X$display" ]; do
  display=$((display + 1))
done
Xvfb ":$display" -screen 0 1280x800x24 -nolisten tcp -noreset >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
  xdotool getdisplaygeometry --display ":$display" >/dev/null 2>&1 && break
  kill -0 "$xvfb_pid" 2>/dev/null || { echo "FAIL: Xvfb did not start"; cat "$work/xvfb.log"; exit 1; }
  sleep 0.1
done
export DISPLAY=":$display"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM
# Under the leak checker the desktop's libraries' lasting allocations are not the program's.
here=$(realpath "$(dirname "$0")")
export LSAN_OPTIONS="suppressions=$here/lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
export XDG_CONFIG_HOME="$work/config" HOME="$work" XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"

fail() { echo "FAIL: $*"; exit 1; }

# The visible windows of a process, waiting up to 20 s for at least n of them.
windows() {
  local pid=$1 n=$2 found
  for _ in $(seq 100); do
    found=$(xdotool search --onlyvisible --pid "$pid" 2>/dev/null || true)
    if [ "$(printf '%s' "$found" | grep -c .)" -ge "$n" ]; then
      printf '%s\n' "$found"
      return 0
    fi
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.2
  done
  return 1
}

# The visible window of a process that is w pixels wide (the untitled run dialogs).
window_sized() {
  local w
  for w in $(xdotool search --onlyvisible --pid "$1" 2>/dev/null || true); do
    if xdotool getwindowgeometry --shell "$w" 2>/dev/null | grep -qx "WIDTH=$2"; then
      echo "$w"
      return 0
    fi
  done
  return 0
}

# Waits up to 60 s for the process's window of width w and prints it.
wait_sized() {
  local found
  for _ in $(seq 300); do
    found=$(window_sized "$1" "$2")
    [ -n "$found" ] && { echo "$found"; return 0; }
    sleep 0.2
  done
}

window_named() {
  xdotool search --sync --onlyvisible --name "$1" 2>/dev/null | head -n 1
}

# Sends a key to a window. The window may close on the press, before the release reaches it:
# the key is then released by hand, or the server would repeat it into the next dialogs.
press() {
  xdotool key --window "$1" "$2" 2>/dev/null || true
  xdotool keyup "$2" 2>/dev/null || true
}

# Waits for a process to end within 20 s; returns its status.
finish() {
  local pid=$1
  for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.2
  done
  kill -0 "$pid" 2>/dev/null && { kill "$pid"; fail "vexo did not end"; }
  wait "$pid"
}

# Settings mode: the options dialog, closed with Esc, converts nothing.
"$vexo" &
pid=$!
windows "$pid" 1 >/dev/null || fail "no options dialog"
id=$(window_named "オプション") || true
[ -n "$id" ] || fail "the options dialog has no title オプション"
press "$id" Escape
finish "$pid" || fail "settings mode exited with $?"
echo "ok: options dialog"

# A run over camera photos: the progress window shows while they convert, then the report.
photos=${VEXO_CORPUS_DIR:-$(dirname "$0")/../../../shared/corpus}/photos
mkdir -p "$work/in" "$work/config/vexo"
for photo in "$photos"/*.jpg; do
  [ -f "$photo" ] && cp "$photo" "$work/in/"
  [ "$(find "$work/in" -name '*.jpg' | wc -l)" -ge 4 ] && break
done
[ "$(find "$work/in" -name '*.jpg' | wc -l)" -ge 1 ] || fail "no photos in $photos"
printf '[Options]\r\nImageType=2\r\nReport=1\r\n' >"$work/config/vexo/Vexo.ini"
"$vexo" --jobs=1 "$work/in" >"$work/run.log" 2>&1 &
pid=$!
[ -n "$(wait_sized "$pid" 401)" ] || fail "no progress window (401 pixels wide)"
report=$(wait_sized "$pid" 469)
[ -n "$report" ] || { cat "$work/run.log"; fail "no report"; }
press "$report" Escape
finish "$pid" || fail "the run exited with $?"
[ "$(find "$work/in" -name '*.png' | wc -l)" = "$(find "$work/in" -name '*.jpg' | wc -l)" ] ||
  fail "not every photo was converted"
echo "ok: progress window, then the report; every photo converted"
