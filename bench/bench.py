#!/usr/bin/env python3
"""Wall time of lorvane-cli against ffmpeg's psnr and ssim filters and a read-only pass.

Run after the build:

    python3 bench/bench.py --build build

Makes its own sequences with ffmpeg in a temporary directory (the reference a
synthetic test pattern, the target an x264 encode of it decoded back to raw
yuv420p), reads them once so they sit in the page cache, then runs the three
commands in turn, round after round (the order rotating), and reports the
median wall time of each, the ratios and lorvane-cli's peak memory (maximum
resident set size, measured by /usr/bin/time in separate runs). On Linux,
where lorvane puts its frame buffers in 2 MiB pages, a read-only pass with
such buffers runs alongside, for information. On the 1080p raw pairs,
lorvane-cli also measures SSIM (-m ssim), against ffmpeg's ssim filter.
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

# (width, height, frames, pixel format, container, target ratio to the
# read-only pass, the pass it is held to, target speed-up over ffmpeg)
CASES = [
    (1920, 1080, 120, "yuv420p", "raw", 1.15, "read-only", 10.0),
    (1920, 1080, 120, "yuv420p10le", "raw", 1.15, "read-only 2M", 5.0),
    (1920, 1080, 120, "yuv420p10le", "y4m", 1.15, "read-only 2M", 5.0),
    # Semi-planar: the chroma of every frame is unpacked before it is measured.
    (1920, 1080, 120, "nv12", "raw", 1.15, "read-only", 10.0),
    (176, 144, 6000, "yuv420p", "raw", 1.30, "read-only", 10.0),
]
# PSNR+SSIM (-m ssim) on these rows, held to ffmpeg's ssim filter (as it
# normally runs, SIMD on) and to the row's read-only pass.
SSIM_ROWS = {(1920, 1080, "yuv420p", "raw"), (1920, 1080, "yuv420p10le", "raw")}
SSIM_FFMPEG_TARGET = 2.5
SSIM_READONLY_TARGET = 3.0
# With --json, --csv and --report all given, on the 176 x 144 row.
OUTPUTS_OVERHEAD_TARGET = 1.03
# Encoded inputs: 1920 x 1080 8-bit x264 encodes of 300 frames against their
# Y4M source, held to ffmpeg decoding the same files alone.
DECODED_FRAMES = 300
DECODED_CRFS = (20, 26, 32, 38)
DECODED_TARGET = 1.10
# MS-SSIM on 1920 x 1080 8-bit: frames per second, luma alone (gray) and the
# whole 4:2:0 frame (its chroma, 960 x 540, is measured too).
MSSSIM_FRAMES = 60
MSSSIM_LUMA_TARGET = 25.0
# The ladder in one run against its encodes measured in four separate runs.
LADDER_TARGET = 0.60
# lorvane-cli bd on two 6-point curves, whole process.
BD_TARGET_MS = 100.0


def run_quiet(command):
    subprocess.run(command, check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_pair(directory, width, height, frames, pix_fmt, container):
    """Writes the reference and the decoded x264 encode as the target; returns their paths."""
    size = f"{width}x{height}"
    stem = os.path.join(directory, f"{width}x{height}-{pix_fmt}")
    ext = ".y4m" if container == "y4m" else ".yuv"
    reference, encoded, target = stem + "-ref" + ext, stem + ".mkv", stem + "-tgt" + ext
    ffmpeg = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y"]
    out = ["-strict", "-1", "-f", "yuv4mpegpipe"] if container == "y4m" else ["-f", "rawvideo"]
    run_quiet(ffmpeg + ["-f", "lavfi", "-i", f"testsrc2=size={size}:rate=25",
                        "-frames:v", str(frames), "-pix_fmt", pix_fmt, *out, reference])
    source = [] if container == "y4m" else ["-f", "rawvideo", "-pix_fmt", pix_fmt, "-s", size, "-r", "25"]
    run_quiet(ffmpeg + source + ["-i", reference, "-c:v", "libx264", "-preset", "veryfast",
                                 "-crf", "30", encoded])
    run_quiet(ffmpeg + ["-i", encoded, "-pix_fmt", pix_fmt, *out, target])
    os.remove(encoded)
    frame = width * height * 3 // 2 * (2 if pix_fmt.endswith("le") else 1)
    if container == "raw":
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


def interleaved(commands, rounds):
    """Wall and CPU seconds of each command over `rounds` rounds, each round in a
    different order so that no command always runs after the same one."""
    names = list(commands)
    times = {name: [] for name in names}
    cpu = {name: [] for name in names}
    for round_ in range(rounds):
        for k in range(len(names)):
            name = names[(round_ + k) % len(names)]
            elapsed, used = timed(commands[name])
            times[name].append(elapsed)
            cpu[name].append(used)
    return times, cpu


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


def bench_decoded(directory, cli, rounds):
    """The decoding rows: one encode, then four in one run. Returns False when a target is missed."""
    ffmpeg = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error"]
    reference = os.path.join(directory, "decoded-ref.y4m")
    run_quiet(ffmpeg + ["-y", "-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=25", "-frames:v",
                        str(DECODED_FRAMES), "-pix_fmt", "yuv420p", reference])
    encodes = []
    for crf in DECODED_CRFS:
        encodes.append(os.path.join(directory, f"crf{crf}.mp4"))
        run_quiet(ffmpeg + ["-y", "-i", reference, "-c:v", "libx264", "-preset", "veryfast", "-crf", str(crf),
                            encodes[-1]])
    warm([reference] + encodes)

    def decode_alone(paths):
        inputs = [a for path in paths for a in ("-i", path)]
        return ffmpeg + inputs + [a for k in range(len(paths)) for a in ("-map", f"{k}:v")] + ["-f", "null", "-"]

    commands = {
        "lorvane-cli 1": [cli, "-q", reference, encodes[0]],
        "ffmpeg decode 1": decode_alone([encodes[0], reference]),
        "ffmpeg psnr 1": ffmpeg + ["-i", encodes[0], "-i", reference, "-lavfi", "psnr", "-f", "null", "-"],
        "lorvane-cli 4": [cli, "-q", reference] + encodes,
        "ffmpeg decode 5": decode_alone(encodes + [reference]),
    }
    # The other three rungs alone: with "lorvane-cli 1", four separate runs.
    for encode in encodes[1:]:
        commands["lorvane-cli 1 " + os.path.basename(encode)] = [cli, "-q", reference, encode]
    names = list(commands)
    times = interleaved(commands, rounds)[0]
    median = {name: statistics.median(values) for name, values in times.items()}
    peak = peak_memory(commands["lorvane-cli 4"], directory)
    print(f"1920x1080 yuv420p x264 .mp4 against its .y4m source, {DECODED_FRAMES} frames:")
    for name in names:
        print(f"  {name:16} {median[name] * 1000:8.1f} ms"
              f"   (min {min(times[name]) * 1000:7.1f}, max {max(times[name]) * 1000:7.1f})")
    one = median["lorvane-cli 1"] / median["ffmpeg decode 1"]
    four = median["lorvane-cli 4"] / median["ffmpeg decode 5"]
    separate = median["lorvane-cli 1"] + sum(median["lorvane-cli 1 " + os.path.basename(e)] for e in encodes[1:])
    ladder = median["lorvane-cli 4"] / separate
    checks = [
        (f"lorvane-cli 1 / ffmpeg decode = {one:.3f}x", one <= DECODED_TARGET, f"<= {DECODED_TARGET:.2f}x"),
        (f"lorvane-cli 1 / ffmpeg psnr = {median['lorvane-cli 1'] / median['ffmpeg psnr 1']:.3f}x",
         median["lorvane-cli 1"] <= median["ffmpeg psnr 1"], "<= 1.00x"),
        (f"lorvane-cli 4 / ffmpeg decode 5 = {four:.3f}x", four <= DECODED_TARGET, f"<= {DECODED_TARGET:.2f}x"),
        (f"lorvane-cli 4 / 4 separate runs = {ladder:.3f}x", ladder <= LADDER_TARGET, f"<= {LADDER_TARGET:.2f}x"),
    ]
    if peak is not None:
        checks.append((f"lorvane-cli 4 peak memory = {peak / MIB:.1f} MiB", True, "(for information)"))
    for text, ok, target_text in checks:
        print(f"  {text:42} target {target_text:34} {'met' if ok else 'MISSED'}")
    print()
    for path in [reference] + encodes:
        os.remove(path)
    return all(ok for _, ok, _ in checks)


def bench_msssim(directory, cli, rounds, cpu_level):
    """The MS-SSIM rows. Returns False when the target is missed."""
    width, height, frames = 1920, 1080, MSSSIM_FRAMES
    reference, target = make_pair(directory, width, height, frames, "yuv420p", "raw")
    # The luma planes alone, as gray files.
    luma = width * height
    gray = {}
    for path in (reference, target):
        gray[path] = path[:-4] + "-gray.yuv"
        with open(path, "rb") as source, open(gray[path], "wb") as out:
            for _ in range(frames):
                frame = source.read(luma * 3 // 2)
                out.write(frame[:luma])
    paths = [reference, target, gray[reference], gray[target]]
    warm(paths)
    base = [cli, "-q", "-n", str(frames), "-s", f"{width}x{height}", "-m", "ms-ssim"]
    if cpu_level:
        base += ["--cpu", cpu_level]
    commands = {
        "luma (gray)": base + ["-p", "gray", gray[reference], gray[target]],
        "yuv420p": base + [reference, target],
    }
    names = list(commands)
    times = interleaved(commands, rounds)[0]
    print(f"MS-SSIM, {width}x{height} 8-bit raw, {frames} frames (lorvane-cli -m ms-ssim, with PSNR):")
    fps = {}
    for name in names:
        fps[name] = frames / statistics.median(times[name])
        print(f"  {name:13} {fps[name]:8.1f} frames/s"
              f"   (min {frames / max(times[name]):6.1f}, max {frames / min(times[name]):6.1f})")
    ok = fps["luma (gray)"] >= MSSSIM_LUMA_TARGET
    text = f"luma = {fps['luma (gray)']:.1f} frames/s"
    print(f"  {text:42} target {'>= ' + str(MSSSIM_LUMA_TARGET) + ' frames/s':34} {'met' if ok else 'MISSED'}")
    print()
    for path in paths:
        os.remove(path)
    return ok


def bench_bd(directory, cli, rounds):
    """lorvane-cli bd on two 6-point curves (both methods). Returns False when the target is missed."""
    paths = []
    for side, (factor, gain) in enumerate(((1.0, 0.0), (0.9, 0.3))):
        rows = ["Sequence,Series,Encode,Frames,Bitrate_kbps,psnr_y"]
        for k in range(6):
            rows.append(f"seq,s{side},e{k},300,{1000 * 1.8 ** k * factor:.6f},{31 + 2.1 * k + gain - 0.04 * k * k:.6f}")
        paths.append(os.path.join(directory, f"rd{side}.csv"))
        with open(paths[-1], "w") as out:
            out.write("\n".join(rows) + "\n")
    ok = True
    print("lorvane-cli bd, two 6-point curves:")
    for method in ("pchip", "cubic"):
        times = [timed([cli, "bd", "--method", method] + paths)[0] for _ in range(rounds)]
        ms = statistics.median(times) * 1000
        ok = ok and ms <= BD_TARGET_MS
        print(f"  {method:6} {ms:8.1f} ms   (min {min(times) * 1000:6.1f}, max {max(times) * 1000:6.1f})"
              f"   target <= {BD_TARGET_MS:.0f} ms {'met' if ms <= BD_TARGET_MS else 'MISSED'}")
    print()
    return ok


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(here, "..", "build"),
                        help="build directory (default: build/ beside bench/)")
    parser.add_argument("--rounds", type=int, default=9, help="rounds per size (default 9)")
    parser.add_argument("--cpu", help="pass --cpu LEVEL to lorvane-cli")
    parser.add_argument("--keep", action="store_true", help="keep the temporary directory")
    parser.add_argument("--size", help="only the rows of this size, e.g. 176x144, 'decoded' for the encoded inputs, "
                                       "'ms-ssim' for MS-SSIM or 'bd' for lorvane-cli bd")
    parser.add_argument("--decoded-rounds", type=int, default=5, help="rounds of the encoded-input rows (default 5)")
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
        for width, height, frames, pix_fmt, container, readonly_target, floor, ffmpeg_target in CASES:
            if args.size and args.size != f"{width}x{height}":
                continue
            reference, target = make_pair(directory, width, height, frames, pix_fmt, container)
            warm([reference, target])
            size = f"{width}x{height}"
            wide = pix_fmt.endswith("le")
            frame = width * height * 3 // 2 * (2 if wide else 1)
            out = os.path.join(directory, "out.txt")
            lorvane = [cli, "-q", "-n", str(frames), "-o", out]
            if container == "raw":
                lorvane += ["-s", size] + (["-p", pix_fmt] if pix_fmt != "yuv420p" else [])
            if args.cpu:
                lorvane += ["--cpu", args.cpu]
            lorvane += [reference, target]
            raw = [] if container == "y4m" else ["-f", "rawvideo", "-pix_fmt", pix_fmt, "-s", size]
            flags = (["--16bit"] if wide else []) + (["--y4m"] if container == "y4m" else [])
            commands = {
                "lorvane-cli": lorvane,
                "ffmpeg psnr": ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error",
                                *raw, "-i", reference, *raw, "-i", target,
                                "-lavfi", "psnr", "-f", "null", "-"],
                "read-only": [readonly, *flags, str(width), str(height), str(frames), reference, target],
            }
            if sys.platform.startswith("linux"):
                # The read-only pass with lorvane's 2 MiB pages.
                commands["read-only 2M"] = [readonly, "--huge-pages", *flags, str(width), str(height),
                                            str(frames), reference, target]
            ssim = (width, height, pix_fmt, container) in SSIM_ROWS
            if ssim:
                commands["lorvane ssim"] = lorvane[:-2] + ["-m", "ssim", reference, target]
                commands["ffmpeg ssim"] = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error",
                                           *raw, "-i", reference, *raw, "-i", target,
                                           "-lavfi", "ssim", "-f", "null", "-"]
            if width == 176:
                # Every output at once, against the plain run measured in the same rounds.
                commands["+ outputs"] = lorvane[:-2] + [
                    "--json", os.path.join(directory, "o.json"), "--csv", os.path.join(directory, "o.csv"),
                    "--report", os.path.join(directory, "o.html"), reference, target]
            names = list(commands)
            times, cpu = interleaved(commands, args.rounds)
            peak = peak_memory(lorvane, directory)
            median = {name: statistics.median(values) for name, values in times.items()}

            print(f"{size} {pix_fmt} {container}, {frames} frames ({2 * frame * frames / MIB:.0f} MiB read):")
            for name in names:
                print(f"  {name:13} {median[name] * 1000:8.1f} ms"
                      f"   (min {min(times[name]) * 1000:6.1f}, max {max(times[name]) * 1000:6.1f})"
                      f"   CPU {statistics.median(cpu[name]) * 1000:7.1f} ms")
            speedup = median["ffmpeg psnr"] / median["lorvane-cli"]
            floor = floor if floor in median else "read-only"
            overhead = median["lorvane-cli"] / median[floor]
            for other in ("read-only", "read-only 2M"):
                if other in median and other != floor:
                    print(f"  (lorvane-cli / {other} = {median['lorvane-cli'] / median[other]:.3f}x, for information)")
            limit = 2 * frame + 16 * MIB
            checks = [
                (f"ffmpeg psnr / lorvane-cli = {speedup:.1f}x", speedup >= ffmpeg_target,
                 f">= {ffmpeg_target:.0f}x"),
                (f"lorvane-cli / {floor:12}= {overhead:.3f}x", overhead <= readonly_target,
                 f"<= {readonly_target:.2f}x"),
            ]
            if ssim:
                ssim_speedup = median["ffmpeg ssim"] / median["lorvane ssim"]
                ssim_overhead = median["lorvane ssim"] / median[floor]
                checks += [
                    (f"ffmpeg ssim / lorvane ssim = {ssim_speedup:.2f}x", ssim_speedup >= SSIM_FFMPEG_TARGET,
                     f">= {SSIM_FFMPEG_TARGET:.1f}x"),
                    (f"lorvane ssim / {floor:11}= {ssim_overhead:.3f}x", ssim_overhead <= SSIM_READONLY_TARGET,
                     f"<= {SSIM_READONLY_TARGET:.1f}x"),
                ]
            if "+ outputs" in median:
                ratio = median["+ outputs"] / median["lorvane-cli"]
                checks.append((f"with --json --csv --report = {ratio:.3f}x", ratio <= OUTPUTS_OVERHEAD_TARGET,
                               f"<= {OUTPUTS_OVERHEAD_TARGET:.2f}x"))
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
        if not args.size or args.size == "ms-ssim":
            failed |= not bench_msssim(directory, cli, args.rounds, args.cpu)
        if not args.size or args.size == "decoded":
            failed |= not bench_decoded(directory, cli, args.decoded_rounds)
        if not args.size or args.size == "bd":
            failed |= not bench_bd(directory, cli, args.rounds)
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
