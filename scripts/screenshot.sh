#!/usr/bin/env bash
# Takes docs/screenshot.png: the real window with its title bar, shown under
# Xvfb with a small window manager and a CJK font, captured with ImageMagick.
# Needs: xvfb, openbox, x11-utils, imagemagick, fonts-wqy-zenhei.
# The window must be built first (target lorvane).
#   scripts/screenshot.sh [build-dir] [output.png]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
out=${2:-$root/docs/screenshot.png}
exe=$build/app/lorvane
[ -x "$exe" ] || { echo "screenshot: $exe not built" >&2; exit 1; }

display=":${SCREENSHOT_DISPLAY:-97}"
pids=()
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; }
trap cleanup EXIT

Xvfb "$display" -screen 0 720x420x24 -dpi 96 -nolisten tcp >/dev/null 2>&1 & pids+=($!)
export DISPLAY=$display
for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
# The window asks for a close button only; openbox would draw its minimise
# and maximise buttons regardless, so its title bar is told to match.
work=$(mktemp -d)
trap 'cleanup; rm -rf "$work"' EXIT
sed 's|<titleLayout>.*</titleLayout>|<titleLayout>NLC</titleLayout>|' /etc/xdg/openbox/rc.xml > "$work/rc.xml"
openbox --config-file "$work/rc.xml" >/dev/null 2>&1 & pids+=($!)
sleep 1

QT_QPA_PLATFORM=xcb "$exe" >/dev/null 2>&1 & pids+=($!)
id=""
for _ in $(seq 100); do
  id=$(xwininfo -name "计算PSNR" 2>/dev/null | awk '/Window id:/ {print $4}') && [ -n "$id" ] && break
  sleep 0.1
done
[ -n "$id" ] || { echo "screenshot: the window did not appear" >&2; exit 1; }
sleep 1.5  # let it paint
mkdir -p "$(dirname "$out")"
import -window "$id" -frame "$out"
echo "screenshot: wrote $out"
