#!/usr/bin/env python3
"""class_data_bench.py [RUNS]: what the class-data archive saves a real Java program.

ANTLR 4.7.2 (Debian's antlr4 package, five jars) generates a parser, run through the console
launcher and the bridge runtime, whose JVM is the host's Java. Two images differ in one line
of their configuration: app.class-data=auto, or off. Starts are paired, the one with the key
and the one without in turn, so that drift of a shared machine hits both alike:

- later starts: the archive is in place and mapped;
- first starts: the archive directory is emptied first, so the runtime writes the archive
  when the program ends.

Each start is timed twice: the Java process itself (wall and CPU, as the bridge measures the
host process it runs, CORVELA_BRIDGE_TIMES), and the whole start as a user's command sees it
(wall time around `wine-run Antlr.exe`, with the prefix's wineserver kept running as a
desktop keeps it: Wine's process start-up included, booting Wine not). Prints a Markdown
section: the medians, and the ratios with-key/without-key of each pair as median and 10th to
90th percentile."""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("CORVELA_BUILD_DIR", os.path.join(ROOT, "build"))
WINE_RUN = os.path.join(BUILD, "wine-run")
TOOL = os.path.join(ROOT, "tools", "corvela-image")
# The archives go under %LOCALAPPDATA%\<package>: a name of the bench's own.
PACKAGE = "Corvela class-data bench %d" % os.getpid()
JARS = ["antlr4.jar", "antlr4-runtime.jar", "antlr3-runtime.jar", "stringtemplate4.jar",
        "treelayout.jar"]
GRAMMAR = """grammar Expr;
prog: stat+ ;
stat: expr NEWLINE | ID '=' expr NEWLINE | NEWLINE ;
expr: expr ('*'|'/') expr | expr ('+'|'-') expr | INT | ID | '(' expr ')' ;
ID  : [a-zA-Z]+ ;
INT : [0-9]+ ;
NEWLINE:'\\r'? '\\n' ;
WS  : [ \\t]+ -> skip ;
"""

sys.path.insert(0, os.path.join(ROOT, "test", "classdata"))
import host_java_files  # noqa: E402


def wine_path(path):
    out = subprocess.run([WINE_RUN, "winepath", "-w", path], capture_output=True, text=True,
                         stdin=subprocess.DEVNULL, check=True)
    return out.stdout.strip()


def runtime_for_host_java(work):
    """The bridge runtime with the host's release file and base archive beside it."""
    runtime = os.path.join(work, "runtime")
    shutil.copytree(os.path.join(BUILD, "bridge", "runtime"), runtime)
    host = os.path.join(work, "host-java")
    host_java_files.main(host)
    shutil.copy(os.path.join(host, "release"), os.path.join(runtime, "release"))
    shutil.copy(os.path.join(host, "classes.jsa"), os.path.join(runtime, "bin", "server"))
    return runtime


def unix_local_app_data():
    """The prefix's %LOCALAPPDATA%: Wine gives every process its own, whatever the caller's."""
    out = subprocess.run([WINE_RUN, "cmd", "/c", "echo", "%LOCALAPPDATA%"], capture_output=True,
                         text=True, stdin=subprocess.DEVNULL, check=True)
    unix = subprocess.run([WINE_RUN, "winepath", "-u", out.stdout.strip()], capture_output=True,
                          text=True, stdin=subprocess.DEVNULL, check=True)
    return unix.stdout.strip()


def assemble(work, runtime, class_data):
    image = os.path.join(work, "image-" + class_data)
    args = [sys.executable, TOOL, "--name", "Antlr", "--console", "--package", PACKAGE,
            "--launcher", os.path.join(BUILD, "bin", "corvela.exe"), "--runtime", runtime,
            "--main-class", "org.antlr.v4.Tool", "--arg", "-o", "--arg", "out",
            "--arg", "Expr.g4", "--class-data", class_data, "--output", image]
    for jar in JARS:
        args += ["--jar", os.path.join("/usr/share/java", jar)]
    subprocess.run(args, check=True, capture_output=True)
    return image


class Starter:
    def __init__(self, work):
        self.work = work
        self.archives = os.path.join(unix_local_app_data(), PACKAGE)
        self.times = os.path.join(work, "times.txt")
        self.env = dict(os.environ, CORVELA_BRIDGE_TIMES=wine_path(self.times))
        with open(os.path.join(work, "Expr.g4"), "w") as f:
            f.write(GRAMMAR)

    def start(self, image):
        """(java wall, java cpu, whole wall) of one start, in seconds."""
        before = self._lines()
        begin = time.monotonic()
        result = subprocess.run([WINE_RUN, os.path.join(image, "Antlr.exe")], cwd=self.work,
                                env=self.env, capture_output=True, stdin=subprocess.DEVNULL)
        whole = time.monotonic() - begin
        if result.returncode != 0 or result.stdout or result.stderr:
            raise RuntimeError("start of %s: exit %d, output %r %r" % (
                image, result.returncode, result.stdout[-300:], result.stderr[-300:]))
        lines = self._lines()
        if len(lines) != len(before) + 1:
            raise RuntimeError("the bridge recorded no times (CORVELA_BRIDGE_TIMES)")
        fields = dict(item.split("=") for item in lines[-1].split())
        return float(fields["wall"]), float(fields["user"]) + float(fields["sys"]), whole

    def forget_archives(self):
        shutil.rmtree(self.archives, ignore_errors=True)

    def archive_bytes(self):
        directory = os.path.join(self.archives, "class-data")
        return sum(os.path.getsize(os.path.join(directory, name))
                   for name in os.listdir(directory) if name.endswith(".jsa"))

    def _lines(self):
        if not os.path.exists(self.times):
            return []
        with open(self.times) as f:
            return [line for line in f.read().splitlines() if line]


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(fraction * (len(ordered) - 1))))]


def spread(values, digits=2):
    return "%.*f (%.*f to %.*f)" % (digits, statistics.median(values), digits,
                                     percentile(values, 0.1), digits, percentile(values, 0.9))


def measure(starter, with_key, without_key, runs, first):
    pairs = []
    for i in range(runs):
        if first:
            starter.forget_archives()
        order = [(True, with_key), (False, without_key)]
        if i % 2:
            order.reverse()  # neither always goes first
        got = {}
        for keyed, image in order:
            got[keyed] = starter.start(image)
        pairs.append((got[True], got[False]))
    return pairs


def table(pairs):
    names = ("Java process, wall", "Java process, CPU", "whole start, wall")
    rows = ["| | with the key (s) | without (s) | ratio, median (10th to 90th percentile) |",
            "| --- | --- | --- | --- |"]
    for i, name in enumerate(names):
        keyed = [a[i] for a, _ in pairs]
        plain = [b[i] for _, b in pairs]
        ratios = [a[i] / b[i] for a, b in pairs]
        rows.append("| %s | %.2f | %.2f | %s |" % (name, statistics.median(keyed),
                                                   statistics.median(plain), spread(ratios)))
    return "\n".join(rows)


def wine_session(action):
    """Brings the bench's own prefix's wineserver up for the whole run, as a desktop keeps
    Wine running: a start then pays for Wine's process start-up, not for booting Wine."""
    subprocess.run([os.path.join(ROOT, "scripts", "wine-session"), action, BUILD], check=True,
                   stdin=subprocess.DEVNULL, capture_output=True)


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    work = tempfile.mkdtemp(prefix="corvela-class-data-bench-")
    starter = None
    os.environ["WINEPREFIX"] = os.path.join(BUILD, "wineprefix-class-data-bench")
    wine_session("start")
    try:
        runtime = runtime_for_host_java(work)
        with_key = assemble(work, runtime, "auto")
        without_key = assemble(work, runtime, "off")
        starter = Starter(work)
        # Warm-up: the archive made and moved into place, caches filled.
        for image in (with_key, with_key, without_key):
            starter.start(image)
        later = measure(starter, with_key, without_key, runs, first=False)
        size = starter.archive_bytes()
        first = measure(starter, with_key, without_key, runs, first=True)
    finally:
        if starter:
            starter.forget_archives()
        shutil.rmtree(work, ignore_errors=True)
        wine_session("stop")
    print("ANTLR 4.7.2 generating a parser (5 jars), through the console launcher and the "
          "bridge runtime, %d pairs each. Archive: %.1f MB.\n" % (runs, size / 1e6))
    print("Later starts (the archive mapped):\n")
    print(table(later))
    print("\nFirst starts (the archive written when the program ends):\n")
    print(table(first))


if __name__ == "__main__":
    main()
