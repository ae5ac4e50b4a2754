#!/usr/bin/env bash
# Makes a real HTML report and photographs it with headless chromium:
#   scripts/report-screenshot.sh BUILD_DIR   ->  docs/report.png
# The reference is ffmpeg's testsrc2; the target an x264 encode whose quality
# changes over time (crf 20, 35, 25), so the chart has something to show.
set -euo pipefail

build=${1:?usage: $0 BUILD_DIR}
build=$(cd "$build" && pwd)
repo=$(cd "$(dirname "$0")/.." && pwd)
out=$repo/docs/report.png
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

width=352 height=288 frames=300
# Short names relative to the work folder, as the report shows them.
cd "$work"
ref=testsrc2_352x288.yuv
target=testsrc2_x264_crf20-35-25.yuv
ffmpeg -v error -f lavfi -i "testsrc2=size=${width}x${height}:rate=30" -frames:v $frames \
  -pix_fmt yuv420p -f rawvideo "$ref"
# Encoded in three segments and decoded back, so each third has its own quality.
first=0
for crf in 20 35 25; do
  last=$((first + frames / 3 - 1))
  ffmpeg -v error -f rawvideo -pix_fmt yuv420p -s ${width}x${height} -r 30 -i "$ref" \
    -vf "trim=start_frame=$first:end_frame=$((last + 1)),setpts=PTS-STARTPTS" \
    -c:v libx264 -preset veryfast -crf $crf "$work/segment.mkv" -y
  ffmpeg -v error -i "$work/segment.mkv" -f rawvideo -pix_fmt yuv420p - >>"$target"
  first=$((last + 1))
done

report=$work/report.html
"$build/cli/lorvane-cli" -q -s ${width}x${height} -n $frames --report "$report" "$ref" "$target" >/dev/null 2>&1

chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
  --disable-component-update --disable-sync --user-data-dir="$work/profile" --hide-scrollbars \
  --screenshot="$out" --window-size=1200,1400 "file://$report" 2>/dev/null
[ -s "$out" ] || { echo "chromium wrote no screenshot" >&2; exit 1; }
echo "$out"
