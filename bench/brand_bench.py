#!/usr/bin/env python3
"""brand_bench.py LAUNCHER ICON: how long making a launcher the vendor's own takes. Prints a
Markdown table: the resource edit alone (parse, new icon and version information, rebuilt
resource section, moved relocations, checksum), and signing with osslsigncode when it is
installed, each the median of several runs."""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))

from corvela_image import icon, pe, signing, versioninfo  # noqa: E402


def brand(launcher, icon_path):
    with open(launcher, "rb") as f:
        image = pe.PEImage(f.read())
    tree = image.resources()
    icon.replace_icon(tree, icon.Icon.read(icon_path))
    versioninfo.replace_version(tree, versioninfo.parse_version("1.2.3"),
                                {"ProductName": "Bench", "FileVersion": "1.2.3"})
    return image.with_resources(tree)


def median_ms(action, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        action()
        times.append((time.perf_counter() - start) * 1000)
    return statistics.median(times), min(times), max(times)


def main(launcher, icon_path):
    rows = [("icon and version information written (resource section rebuilt)", 20,
             median_ms(lambda: brand(launcher, icon_path), 20))]
    if shutil.which("osslsigncode") and shutil.which("openssl"):
        with tempfile.TemporaryDirectory() as work:
            cert, key = os.path.join(work, "c.pem"), os.path.join(work, "k.pem")
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                            "-out", cert, "-days", "1", "-subj", "/CN=bench"], check=True,
                           capture_output=True)
            target = os.path.join(work, "app.exe")
            key_pair = signing.SigningKey(cert=cert, key=key)

            def sign():
                with open(target, "wb") as f:
                    f.write(brand(launcher, icon_path))
                signing.sign_file(target, key_pair)
            rows.append(("the same, then signed and verified (osslsigncode, RSA 2048)", 5,
                         median_ms(sign, 5)))
    print("| step | runs | median (ms) | min-max (ms) |")
    print("| --- | --- | --- | --- |")
    for what, runs, (median, low, high) in rows:
        print("| %s | %d | %.1f | %.1f-%.1f |" % (what, runs, median, low, high))
    print()
    print("launcher: %d bytes; icon: %d bytes" % (os.path.getsize(launcher), os.path.getsize(icon_path)))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
