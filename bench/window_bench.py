#!/usr/bin/env python3
"""A run in the window against the same run in lorvane-cli.

Run after the build (the window and build/bench/window_bench):

    python3 bench/window_bench.py --build build

Makes a 1920x1080, 600-frame yuv420p pair with ffmpeg (testsrc2, and the same
with noise as the processed sequence), reads it so that it sits in the page
cache, and then, round after round with the order rotating, times:

  lorvane-cli        the whole process, -q -s 1920x1080 -n 600 -o FILE
  window (xcb)       from the Enter key to the summary box on screen, under
                     Xvfb with openbox, the form's real message box
  window (offscreen) the same on Qt's offscreen platform

Each window process makes two runs and both are kept: the first after the
form opens ("first run") and the one after it. Prints the medians, the
ratios to lorvane-cli within the same rounds, and the load average at start
and end: the machine may be shared, so only ratios from one invocation mean
much. Exits with status 1 if the window's second run is over 1.10 x the CLI.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from bench import run_quiet, warm

TARGET = 1.10


def make_pair(directory, width, height, frames):
    reference = os.path.join(directory, "ref.yuv")
    target = os.path.join(directory, "tgt.yuv")
    ffmpeg = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y"]
    size = f"{width}x{height}"
    run_quiet(ffmpeg + ["-f", "lavfi", "-i", f"testsrc2=size={size}:rate=25", "-frames:v", str(frames),
                        "-pix_fmt", "yuv420p", "-f", "rawvideo", reference])
    run_quiet(ffmpeg + ["-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", size, "-i", reference,
                        "-vf", "noise=alls=8:allf=t", "-f", "rawvideo", target])
    return reference, target


def timed_cli(command):
    start = time.perf_counter()
    run_quiet(command)
    return time.perf_counter() - start


def window_runs(command, env):
    """Milliseconds of each run window_bench reports, as seconds."""
    out = subprocess.run(command, env=env, check=True, stdin=subprocess.DEVNULL,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
    return [float(line.split()[1]) / 1000 for line in out.splitlines() if line.strip()]


def start_display(number):
    """Xvfb on :number with openbox in it; returns the processes to stop."""
    display = f":{number}"
    xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", "1360x860x24", "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    env = dict(os.environ, DISPLAY=display)
    for _ in range(100):
        if subprocess.run(["xdpyinfo"], env=env, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0:
            break
        time.sleep(0.1)
    else:
        xvfb.kill()
        sys.exit(f"Xvfb did not start on {display}")
    wm = subprocess.Popen(["openbox"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1)
    return display, [wm, xvfb]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(here, "..", "build"))
    parser.add_argument("--rounds", type=int, default=11, help="rounds (default 11)")
    parser.add_argument("--frames", type=int, default=600)
    parser.add_argument("--display", type=int, default=98, help="Xvfb display number (default 98)")
    parser.add_argument("--pair", nargs=2, metavar=("REF", "TGT"),
                        help="an existing 1920x1080 yuv420p pair instead of making one")
    args = parser.parse_args()

    cli = os.path.join(args.build, "cli", "lorvane-cli")
    bench = os.path.join(args.build, "bench", "window_bench")
    for program in (cli, bench):
        if not os.access(program, os.X_OK):
            sys.exit(f"{program} not found: build first (cmake --build {args.build})")
    for tool in ("Xvfb", "openbox", "xdpyinfo") + (() if args.pair else ("ffmpeg",)):
        if not shutil.which(tool):
            sys.exit(f"{tool} not found")

    print(f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f} at start")
    directory = tempfile.mkdtemp(prefix="lorvane-window-bench-")
    stop = []
    try:
        width, height, frames = 1920, 1080, args.frames
        reference, target = args.pair or make_pair(directory, width, height, frames)
        warm([reference, target, reference, target])
        display, stop = start_display(args.display)
        out = os.path.join(directory, "out.txt")
        cli_command = [cli, "-q", "-s", f"{width}x{height}", "-n", str(frames), "-o", out, reference, target]
        window_command = [bench, reference, target, str(width), str(height), str(frames), out, "2"]
        platforms = {
            "xcb": dict(os.environ, QT_QPA_PLATFORM="xcb", DISPLAY=display),
            "offscreen": dict(os.environ, QT_QPA_PLATFORM="offscreen"),
        }
        names = ["lorvane-cli", "xcb", "offscreen"]
        times = {"lorvane-cli": []}
        for platform in platforms:
            times[f"window ({platform}) first run"] = []
            times[f"window ({platform})"] = []
        for round_ in range(args.rounds):
            for k in range(len(names)):
                name = names[(round_ + k) % len(names)]
                if name == "lorvane-cli":
                    times[name].append(timed_cli(cli_command))
                else:
                    first, second = window_runs(window_command, platforms[name])
                    times[f"window ({name}) first run"].append(first)
                    times[f"window ({name})"].append(second)
        median = {name: statistics.median(values) for name, values in times.items()}
        print(f"{width}x{height} yuv420p, {frames} frames, {args.rounds} rounds, median wall time:")
        for name, values in times.items():
            ratio = "" if name == "lorvane-cli" else f"   {median[name] / median['lorvane-cli']:.2f} x CLI"
            print(f"  {name:32} {median[name] * 1000:7.1f} ms   (min {min(values) * 1000:6.1f},"
                  f" max {max(values) * 1000:6.1f}){ratio}")
        worst = max(median["window (xcb)"], median["window (offscreen)"]) / median["lorvane-cli"]
        met = worst <= TARGET
        print(f"  window / lorvane-cli = {worst:.2f} x   target <= {TARGET:.2f} x   {'met' if met else 'MISSED'}")
    finally:
        for process in stop:
            process.terminate()
            process.wait()
        shutil.rmtree(directory, ignore_errors=True)
    print(f"load average {os.getloadavg()[0]:.2f} at end")
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
