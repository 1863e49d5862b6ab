#!/usr/bin/env python3
"""host_java_files.py OUTDIR: what a bridge runtime needs to stand for the host's Java in the
class-data tests: a `release` file naming the host's version, and the host's base class-data
archive (classes.jsa), which the runtime maps under every archive of the application."""

import os
import re
import shutil
import subprocess
import sys


def main(out):
    settings = subprocess.run(["java", "-XshowSettings:properties", "-version"],
                              capture_output=True, text=True, check=True).stderr
    version = re.search(r"^\s*java\.version = (.*)$", settings, re.M).group(1).strip()
    home = re.search(r"^\s*java\.home = (.*)$", settings, re.M).group(1).strip()
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "release"), "w") as f:
        f.write('JAVA_VERSION="%s"\n' % version)
    shutil.copyfile(os.path.join(home, "lib", "server", "classes.jsa"),
                    os.path.join(out, "classes.jsa"))


if __name__ == "__main__":
    main(sys.argv[1])
