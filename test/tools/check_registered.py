#!/usr/bin/env python3
"""Every test class and every test executable runs under CTest: a class left out of its
file's registration, or a GoogleTest program no test starts, fails this check by name."""

import argparse
import ast
import json
import os
import re
import subprocess
import sys

CLASS_ARGUMENT = re.compile(r"^[A-Za-z_]\w*(\.\w+)?$")
# Printed by every GoogleTest program's --help: the mark of a program of test cases.
GTEST_MARK = b"--gtest_list_tests"


def registered_commands(ctest, build_dir):
    listing = subprocess.run([ctest, "--show-only=json-v1"], cwd=build_dir, check=True,
                             capture_output=True, text=True).stdout
    return [test.get("command", []) for test in json.loads(listing)["tests"]]


def test_classes(path):
    """The classes of a Python test file that hold test methods."""
    with open(path, encoding="utf-8") as f:
        tree = ast.parse(f.read(), path)
    return {node.name for node in tree.body if isinstance(node, ast.ClassDef)
            and any(isinstance(item, ast.FunctionDef) and item.name.startswith("test")
                    for item in node.body)}


def registered_classes(commands, path):
    """The classes of `path` the commands run, or None when one runs the whole file."""
    named = set()
    for command in commands:
        for i, argument in enumerate(command):
            if os.path.realpath(argument) != os.path.realpath(path):
                continue
            classes = {a.split(".")[0] for a in command[i + 1:]
                       if not a.startswith("-") and CLASS_ARGUMENT.match(a)}
            if not classes:
                return None
            named |= classes
    return named


def python_test_files(test_dir):
    for root, _, names in os.walk(test_dir):
        for name in sorted(names):
            if name.startswith("test_") and name.endswith(".py"):
                yield os.path.join(root, name)


def unregistered_classes(commands, test_dir):
    missing = []
    for path in python_test_files(test_dir):
        classes = test_classes(path)
        if not classes:
            continue
        run = registered_classes(commands, path)
        if run is None:
            continue
        missing += ["%s: %s" % (os.path.relpath(path, test_dir), name)
                    for name in sorted(classes - run)]
    return missing


def unregistered_executables(commands, programs_dir):
    started = {os.path.realpath(argument) for command in commands for argument in command}
    missing = []
    for name in sorted(os.listdir(programs_dir)):
        path = os.path.join(programs_dir, name)
        if not name.endswith(".exe") or os.path.realpath(path) in started:
            continue
        with open(path, "rb") as f:
            if GTEST_MARK in f.read():
                missing.append(name)
    return missing


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--ctest", required=True)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--test-dir", required=True, help="the sources' test directory")
    parser.add_argument("--programs-dir", required=True, help="where test programs are built")
    options = parser.parse_args()
    commands = registered_commands(options.ctest, options.build_dir)
    classes = unregistered_classes(commands, options.test_dir)
    programs = unregistered_executables(commands, options.programs_dir)
    for name in classes:
        print("test class not registered with CTest: " + name)
    for name in programs:
        print("test program no CTest test starts: " + name)
    if classes or programs:
        return 1
    print("every test class and test program is registered")
    return 0


if __name__ == "__main__":
    sys.exit(main())
