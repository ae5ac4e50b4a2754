#!/usr/bin/env bash
# Takes the pictures of the README and docs/window.md from the real windows,
# shown under Xvfb with openbox (its default configuration, as a new user has
# it) and a CJK font, captured with ImageMagick:
#   docs/screenshot.png  the form after a run that auto-fill set up
#   docs/results.png     the results window of that run
#   docs/viewer.png      the frame viewer on its worst frame
#   docs/rd.png          the results window's 码率-质量 tab: x264 and x265
#                        ladders of the same source, decoded by the window
# The run is on a real encode: ffmpeg's testsrc2, x264 with the quantiser
# changing over time, so that the chart is not flat.
# Needs: xvfb, openbox, x11-utils, imagemagick, fonts-wqy-zenhei, ffmpeg.
# Build first (targets lorvane and gui_shoot).
#   scripts/screenshot.sh [build-dir] [docs-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
docs=${2:-$root/docs}
shoot=$build/tests/gui/gui_shoot
[ -x "$shoot" ] || { echo "screenshot: $shoot not built" >&2; exit 1; }

display=":${SCREENSHOT_DISPLAY:-97}"
pids=()
work=$(mktemp -d)
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT

# 640x360 in the names: the form fills size and frame count from them.
ref=$work/testsrc2_640x360.yuv
out=$work/testsrc2_640x360_x264.yuv
ff=(ffmpeg -nostdin -hide_banner -loglevel error -y)
"${ff[@]}" -f lavfi -i testsrc2=size=640x360:rate=25 -frames:v 300 -pix_fmt yuv420p -f rawvideo "$ref"
"${ff[@]}" -f rawvideo -pix_fmt yuv420p -s 640x360 -r 25 -i "$ref" -c:v libx264 -preset veryfast \
  -x264-params "qp=26:zones=50,99,q=40/100,149,q=16/200,249,q=46" "$work/enc.mkv"
"${ff[@]}" -i "$work/enc.mkv" -pix_fmt yuv420p -f rawvideo "$out"

ladder=()
for crf in 22 27 32 37; do
  "${ff[@]}" -f rawvideo -pix_fmt yuv420p -s 640x360 -r 25 -i "$ref" -c:v libx264 -preset veryfast -crf $crf "$work/x264_crf$crf.mkv"
  "${ff[@]}" -f rawvideo -pix_fmt yuv420p -s 640x360 -r 25 -i "$ref" -c:v libx265 -preset ultrafast -crf $crf \
    -x265-params log-level=error "$work/x265_crf$crf.mkv"
  ladder+=("$work/x264_crf$crf.mkv" "$work/x265_crf$crf.mkv")
done

Xvfb "$display" -screen 0 1360x860x24 -dpi 96 -nolisten tcp >/dev/null 2>&1 & pids+=($!)
export DISPLAY=$display
for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
openbox >/dev/null 2>&1 & pids+=($!)
sleep 1

# Waits for the driver to name a state, then captures the window titled $2.
capture() {
  local state=$1 title=$2 file=$3 line id=""
  read -r -t 60 line <&"${driver[0]}" || { echo "screenshot: no '$state' from gui_shoot" >&2; exit 1; }
  [ "$line" = "$state" ] || { echo "screenshot: expected '$state', got '$line'" >&2; exit 1; }
  id=$(xwininfo -root -tree | grep -F "\"$title" | head -1 | awk '{print $1}')
  [ -n "$id" ] || { echo "screenshot: no window titled $title" >&2; exit 1; }
  mkdir -p "$docs"
  import -window "$id" -frame "$docs/$file"
  echo "screenshot: wrote $docs/$file"
  echo next >&"${driver[1]}"
}

coproc driver { QT_QPA_PLATFORM=xcb "$shoot" "$ref" "$out" "${ladder[@]}" 2>/dev/null; }
pids+=($driver_PID)
capture form "计算PSNR" screenshot.png
capture results "PSNR 曲线 - " results.png
capture viewer "帧 " viewer.png
capture rd "PSNR 曲线 - " rd.png
