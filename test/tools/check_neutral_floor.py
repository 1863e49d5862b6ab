#!/usr/bin/env python3
"""check_neutral_floor.py SRC: fails when a file under SRC/share includes a header of the
Windows half (one that exists under SRC/windows), naming each such include."""

import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]', re.MULTILINE)


def headers_under(root):
    names = set()
    for folder, _, files in os.walk(root):
        names.update(name for name in files if name.endswith((".h", ".hpp")))
    return names


def main(src):
    windows_headers = headers_under(os.path.join(src, "windows"))
    found = []
    for folder, _, files in os.walk(os.path.join(src, "share")):
        for name in sorted(files):
            path = os.path.join(folder, name)
            with open(path, encoding="utf-8") as f:
                for header in INCLUDE.findall(f.read()):
                    if os.path.basename(header) in windows_headers or "windows/" in header:
                        found.append("%s includes %s" % (os.path.relpath(path, src), header))
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
