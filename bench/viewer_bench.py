#!/usr/bin/env python3
"""How long the frame viewer takes to show a 3840x2160 10-bit frame.

Run after the build (build/bench/viewer_bench):

    python3 bench/viewer_bench.py --build build

Makes a 6-frame 3840x2160 yuv420p10le pair with ffmpeg (testsrc2, and the
same with noise), then runs viewer_bench under Xvfb with openbox and on the
offscreen platform, alternately, and prints the medians: of the time from a
request (Open, or the Right key) to the end of the panes' paint, and of
MakeFramePictures alone (the two reads and the pictures of all three planes,
the part done on the worker thread). Exits with status 1 if a median of the
first is over 300 ms.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

from window_bench import start_display, run_quiet

LIMIT_MS = 300.0


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(here, "..", "build"))
    parser.add_argument("--rounds", type=int, default=5, help="viewer_bench runs per platform (default 5)")
    parser.add_argument("--display", type=int, default=98, help="Xvfb display number (default 98)")
    args = parser.parse_args()
    bench = os.path.join(args.build, "bench", "viewer_bench")
    if not os.access(bench, os.X_OK):
        sys.exit(f"{bench} not found: build first (cmake --build {args.build})")

    print(f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f} at start")
    directory = tempfile.mkdtemp(prefix="lorvane-viewer-bench-")
    stop = []
    try:
        width, height, pix_fmt, frames = 3840, 2160, "yuv420p10le", 6
        reference, target = (os.path.join(directory, name) for name in ("ref.yuv", "tgt.yuv"))
        ffmpeg = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y"]
        run_quiet(ffmpeg + ["-f", "lavfi", "-i", f"testsrc2=size={width}x{height}:rate=25",
                            "-frames:v", str(frames), "-pix_fmt", pix_fmt, "-f", "rawvideo", reference])
        run_quiet(ffmpeg + ["-f", "rawvideo", "-pix_fmt", pix_fmt, "-s", f"{width}x{height}", "-i", reference,
                            "-vf", "noise=alls=8:allf=t", "-pix_fmt", pix_fmt, "-f", "rawvideo", target])
        display, stop = start_display(args.display)
        platforms = {
            "xcb": dict(os.environ, QT_QPA_PLATFORM="xcb", DISPLAY=display),
            "offscreen": dict(os.environ, QT_QPA_PLATFORM="offscreen"),
        }
        shown = {name: [] for name in platforms}
        pictures = []
        command = [bench, reference, target, str(width), str(height), pix_fmt, str(frames)]
        for _ in range(args.rounds):
            for name, env in platforms.items():
                out = subprocess.run(command, env=env, check=True, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
                for kind, _frame, ms in (line.split() for line in out.splitlines() if line.strip()):
                    (shown[name] if kind == "shown" else pictures).append(float(ms))
        print(f"{width}x{height} {pix_fmt}, {args.rounds} runs per platform, {2 * frames} frames shown per run:")
        failed = False
        for name, values in shown.items():
            median = statistics.median(values)
            failed |= median > LIMIT_MS
            print(f"  request to painted panes ({name:9}) median {median:6.1f} ms"
                  f"   (min {min(values):6.1f}, max {max(values):6.1f}, {len(values)} frames)")
        print(f"  MakeFramePictures alone            median {statistics.median(pictures):6.1f} ms"
              f"   (min {min(pictures):6.1f}, max {max(pictures):6.1f})")
        print(f"  target: median <= {LIMIT_MS:.0f} ms   {'MISSED' if failed else 'met'}")
    finally:
        for process in stop:
            process.terminate()
            process.wait()
        shutil.rmtree(directory, ignore_errors=True)
    print(f"load average {os.getloadavg()[0]:.2f} at end")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
