#!/usr/bin/env python3
"""msi_bench.py LAUNCHER: how long corvela-image takes to assemble an image and build its
installer for a runtime shaped like a real one: 500 files in nested folders, 50 MB in all,
half of it random (compressed libraries), half text. Prints a Markdown table, median of 3."""

import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
FILES = 500
TOTAL = 50 * 1024 * 1024


def make_runtime(directory, standin):
    rng = random.Random(42)
    os.makedirs(os.path.join(directory, "bin"))
    shutil.copy(standin, os.path.join(directory, "bin", "jli.dll"))
    size = TOTAL // FILES
    for i in range(FILES - 1):
        folder = os.path.join(directory, "lib", "part%02d" % (i % 25), "sub%d" % (i % 3))
        os.makedirs(folder, exist_ok=True)
        data = (rng.randbytes(size) if i % 2 else
                (b"java.base/java.lang.Object %d\n" % i) * (size // 28))
        with open(os.path.join(folder, "file%03d.bin" % i), "wb") as f:
            f.write(data[:size])


def run_tool(work, launcher, runtime, jar, n):
    start = time.perf_counter()
    result = subprocess.run(
        [sys.executable, os.path.join(ROOT, "tools", "corvela-image"), "--name", "Bench",
         "--launcher", launcher, "--runtime", runtime, "--main-jar", jar, "--app-version", "1.0",
         "--vendor", "Bench", "--output", os.path.join(work, "image%d" % n),
         "--msi", os.path.join(work, "bench%d.msi" % n)], capture_output=True, text=True)
    elapsed = time.perf_counter() - start
    if result.returncode != 0:
        raise SystemExit(result.stderr)
    return elapsed, os.path.getsize(os.path.join(work, "bench%d.msi" % n))


def main(launcher, standin):
    with tempfile.TemporaryDirectory(prefix="corvela-msi-bench-") as work:
        runtime = os.path.join(work, "runtime")
        make_runtime(runtime, standin)
        jar = os.path.join(work, "main.jar")
        with open(jar, "wb") as f:
            f.write(b"PK")
        runs = [run_tool(work, launcher, runtime, jar, n) for n in range(3)]
    times = [t for t, _ in runs]
    print("| runtime | image and installer, median of 3 (s) | min-max (s) | installer size (MB) |")
    print("| --- | --- | --- | --- |")
    print("| %d files, %d MB | %.2f | %.2f-%.2f | %.1f |" % (
        FILES + 1, TOTAL // (1024 * 1024), statistics.median(times), min(times), max(times),
        runs[0][1] / (1024 * 1024)))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
