#!/usr/bin/env python3
"""Wall time of lorvane-cli against ffmpeg's psnr filter and a read-only pass.

Run after the build:

    python3 bench/bench.py --build build

Makes its own sequences with ffmpeg in a temporary directory (the reference a
synthetic test pattern, the target an x264 encode of it decoded back to raw
yuv420p), reads them once so they sit in the page cache, then runs the three
commands in turn, round after round (the order rotating), and reports the
median wall time of each, the ratios and lorvane-cli's peak memory (maximum
resident set size, measured by /usr/bin/time in separate runs). On Linux,
where lorvane puts its frame buffers in 2 MiB pages, a read-only pass with
such buffers runs alongside, for information.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

MIB = 1 << 20

# (width, height, frames, target ratio to the read-only pass)
CASES = [
    (1920, 1080, 120, 1.15),
    (176, 144, 6000, 1.30),
]
FFMPEG_SPEEDUP_TARGET = 10.0


def run_quiet(command):
    subprocess.run(command, check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_pair(directory, width, height, frames):
    """Writes ref.yuv and the decoded x264 encode tgt.yuv; returns their paths."""
    size = f"{width}x{height}"
    stem = os.path.join(directory, f"{width}x{height}")
    reference, encoded, target = stem + "-ref.yuv", stem + ".mkv", stem + "-tgt.yuv"
    ffmpeg = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y"]
    run_quiet(ffmpeg + ["-f", "lavfi", "-i", f"testsrc2=size={size}:rate=25",
                        "-frames:v", str(frames), "-pix_fmt", "yuv420p",
                        "-f", "rawvideo", reference])
    run_quiet(ffmpeg + ["-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", size, "-r", "25",
                        "-i", reference, "-c:v", "libx264", "-preset", "veryfast",
                        "-crf", "30", encoded])
    run_quiet(ffmpeg + ["-i", encoded, "-pix_fmt", "yuv420p", "-f", "rawvideo", target])
    os.remove(encoded)
    frame = width * height * 3 // 2
    for path in (reference, target):
        if os.path.getsize(path) != frame * frames:
            sys.exit(f"{path}: {os.path.getsize(path)} bytes, expected {frame * frames}")
    return reference, target


def warm(paths):
    for _ in range(2):
        for path in paths:
            with open(path, "rb") as f:
                while f.read(16 * MIB):
                    pass


def timed(command):
    """Wall and CPU (user + system) seconds of one run of `command`, output discarded."""
    null = os.open(os.devnull, os.O_RDWR)
    try:
        actions = [(os.POSIX_SPAWN_DUP2, null, 0), (os.POSIX_SPAWN_DUP2, null, 1),
                   (os.POSIX_SPAWN_DUP2, null, 2)]
        start = time.perf_counter()
        pid = os.posix_spawnp(command[0], command, os.environ, file_actions=actions)
        _, status, usage = os.wait4(pid, 0)
        elapsed = time.perf_counter() - start
    finally:
        os.close(null)
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        sys.exit(f"failed ({code}): {' '.join(command)}")
    return elapsed, usage.ru_utime + usage.ru_stime


def peak_memory(command, directory):
    """Largest maximum resident set size (bytes) of three runs, by /usr/bin/time.

    The kernel's figure for a child of this (much larger) Python process would
    count the parent's pages as well, hence the small launcher."""
    if not os.access("/usr/bin/time", os.X_OK):
        return None
    report = os.path.join(directory, "time.txt")
    peak = 0
    for _ in range(3):
        run_quiet(["/usr/bin/time", "-f", "%M", "-o", report] + command)
        with open(report) as f:
            peak = max(peak, int(f.read().split()[-1]) * 1024)
    return peak


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(here, "..", "build"),
                        help="build directory (default: build/ beside bench/)")
    parser.add_argument("--rounds", type=int, default=9, help="rounds per size (default 9)")
    parser.add_argument("--cpu", help="pass --cpu LEVEL to lorvane-cli")
    parser.add_argument("--keep", action="store_true", help="keep the temporary directory")
    args = parser.parse_args()

    cli = os.path.join(args.build, "cli", "lorvane-cli")
    readonly = os.path.join(args.build, "bench", "lorvane-readonly")
    for program in (cli, readonly):
        if not os.access(program, os.X_OK):
            sys.exit(f"{program} not found: build first (cmake --build {args.build})")
    if not shutil.which("ffmpeg"):
        sys.exit("ffmpeg not found")

    load = os.getloadavg()[0]
    print(f"{os.cpu_count()} CPUs, load average {load:.2f} at start"
          + (" (other work is running: figures are pessimistic)" if load >= 1.0 else ""))
    version = subprocess.run([cli, "--version"], capture_output=True, text=True).stdout.strip()
    print(f"lorvane-cli {version}, {args.rounds} rounds, median wall time\n")

    directory = tempfile.mkdtemp(prefix="lorvane-bench-")
    failed = False
    try:
        for width, height, frames, readonly_target in CASES:
            reference, target = make_pair(directory, width, height, frames)
            warm([reference, target])
            size = f"{width}x{height}"
            frame = width * height * 3 // 2
            out = os.path.join(directory, "out.txt")
            lorvane = [cli, "-q", "-s", size, "-n", str(frames), "-o", out]
            if args.cpu:
                lorvane += ["--cpu", args.cpu]
            lorvane += [reference, target]
            raw = ["-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", size]
            commands = {
                "lorvane-cli": lorvane,
                "ffmpeg psnr": ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error",
                                *raw, "-i", reference, *raw, "-i", target,
                                "-lavfi", "psnr", "-f", "null", "-"],
                "read-only": [readonly, str(width), str(height), str(frames), reference, target],
            }
            if sys.platform.startswith("linux"):
                # For information: the read-only pass with lorvane's 2 MiB pages.
                commands["read-only 2M"] = [readonly, "--huge-pages", str(width), str(height),
                                            str(frames), reference, target]
            names = list(commands)
            times = {name: [] for name in names}
            cpu = {name: [] for name in names}
            for round_ in range(args.rounds):
                for k in range(len(names)):
                    name = names[(round_ + k) % len(names)]
                    elapsed, used = timed(commands[name])
                    times[name].append(elapsed)
                    cpu[name].append(used)
            peak = peak_memory(lorvane, directory)
            median = {name: statistics.median(values) for name, values in times.items()}

            print(f"{size}, {frames} frames ({2 * frame * frames / MIB:.0f} MiB read):")
            for name in names:
                print(f"  {name:13} {median[name] * 1000:8.1f} ms"
                      f"   (min {min(times[name]) * 1000:6.1f}, max {max(times[name]) * 1000:6.1f})"
                      f"   CPU {statistics.median(cpu[name]) * 1000:7.1f} ms")
            speedup = median["ffmpeg psnr"] / median["lorvane-cli"]
            overhead = median["lorvane-cli"] / median["read-only"]
            if "read-only 2M" in median:
                print(f"  (lorvane-cli / read-only with 2 MiB pages = "
                      f"{median['lorvane-cli'] / median['read-only 2M']:.3f}x, for information)")
            limit = 2 * frame + 16 * MIB
            checks = [
                (f"ffmpeg psnr / lorvane-cli = {speedup:.1f}x", speedup >= FFMPEG_SPEEDUP_TARGET,
                 f">= {FFMPEG_SPEEDUP_TARGET:.0f}x"),
                (f"lorvane-cli / read-only   = {overhead:.3f}x", overhead <= readonly_target,
                 f"<= {readonly_target:.2f}x"),
            ]
            if peak is None:
                print("  (no /usr/bin/time: peak memory not measured)")
            else:
                checks.append((f"lorvane-cli peak memory   = {peak / MIB:.1f} MiB", peak <= limit,
                               f"<= two frames + 16 MiB = {limit / MIB:.1f} MiB"))
            for text, ok, target_text in checks:
                print(f"  {text:42} target {target_text:34} {'met' if ok else 'MISSED'}")
                failed |= not ok
            print()
            if not args.keep:
                for path in (reference, target):
                    os.remove(path)
    finally:
        if args.keep:
            print(f"sequences kept in {directory}")
        else:
            shutil.rmtree(directory, ignore_errors=True)
    load = os.getloadavg()[0]
    print(f"load average {load:.2f} at end")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
