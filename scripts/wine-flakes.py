#!/usr/bin/env python3
"""wine-flakes.py RESULTS.xml: reads CTest's JUnit results and prints, as one regular
expression alternation, the failed tests whose output shows Wine's CreateProcess internal
error (1359). Exits 1, naming the others on standard error, when any failed test does not
show it: a real intermittent fault must not pass unseen behind a rerun."""

import re
import sys
import xml.etree.ElementTree as ElementTree

WINE_INTERNAL_ERROR = re.compile(r"error\D{0,3}1359\b|\[1359\]")


def main(path):
    failed = {}
    for case in ElementTree.parse(path).getroot().iter("testcase"):
        if case.get("status") == "fail" or case.find("failure") is not None:
            output = "".join(node.text or "" for node in case.iter("system-out"))
            failed[case.get("name")] = output
    if not failed:
        return 1
    others = [name for name, output in failed.items() if not WINE_INTERNAL_ERROR.search(output)]
    if others:
        print("failed for reasons of their own, no rerun: " + ", ".join(others), file=sys.stderr)
        return 1
    print("|".join(re.escape(name) for name in failed))
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 2 or sys.argv[1] in ("-h", "--help"):
        print("usage: " + __doc__, file=sys.stdout if len(sys.argv) == 2 else sys.stderr)
        sys.exit(0 if len(sys.argv) == 2 else 2)
    sys.exit(main(sys.argv[1]))
