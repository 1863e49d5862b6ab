#!/usr/bin/env python3
"""The bridge runtime from a Unix shell, as a user runs a console tool: a script piped in,
both streams through one pipe ("2>&1") in the order the program wrote them, the exit code,
through both launch paths; and a bridge runtime made with tools/bridge/make-runtime, whose
release file lets the image tool choose the code page without a note."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("CORVELA_BUILD_DIR", os.path.join(ROOT, "build"))
WINE_RUN = os.path.join(BUILD, "wine-run")
MAKE_RUNTIME = os.path.join(ROOT, "tools", "bridge", "make-runtime")
IMAGE_TOOL = os.path.join(ROOT, "tools", "corvela-image")
PROBE_JAR = os.path.join(BUILD, "bin", "bridge-probe.jar")
PATHS = ("in process", "restart")


def wine_path(path):
    out = subprocess.run([WINE_RUN, "winepath", "-w", path], capture_output=True, text=True,
                         stdin=subprocess.DEVNULL)
    return out.stdout.strip()


class BridgeShellTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="corvela-bridge-shell-")
        cls.runtime = os.path.join(cls.work, "bridge runtime")
        made = subprocess.run([MAKE_RUNTIME, cls.runtime, BUILD], capture_output=True, text=True)
        if made.returncode != 0:
            raise AssertionError(made.stderr)
        cls.image = os.path.join(cls.work, "Shell Tool", "tool")
        cls.assembled = subprocess.run(
            [sys.executable, IMAGE_TOOL, "--name", "tool", "--console",
             "--launcher", os.path.join(BUILD, "bin", "corvela-console.exe"),
             "--runtime", cls.runtime, "--jar", PROBE_JAR, "--main-class", "probe.Main",
             "--output", cls.image], capture_output=True, text=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def run_tool(self, path, args, stdin_bytes=b""):
        """The tool as a shell runs it with "2>&1": one pipe for both streams."""
        env = dict(os.environ, CORVELA_DEBUG="false")
        if path == "in process":
            env["WINEPATH"] = wine_path(os.path.join(self.image, "app"))
        return subprocess.run([WINE_RUN, os.path.join(self.image, "tool.exe")] + args,
                              input=stdin_bytes, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, env=env, timeout=300)

    def test_runtime_release_names_the_host_java(self):
        self.assertEqual(self.assembled.returncode, 0, self.assembled.stderr)
        version = subprocess.run(["java", "-XshowSettings:properties", "-version"],
                                 capture_output=True, text=True).stderr
        expected = [line.split("=", 1)[1].strip() for line in version.splitlines()
                    if line.strip().startswith("java.version =")][0]
        with open(os.path.join(self.image, "runtime", "release"), encoding="utf-8") as f:
            self.assertEqual(f.read(), 'JAVA_VERSION="%s"\n' % expected)
        # The code page is chosen from the release file: the tool has no note on it.
        self.assertEqual(self.assembled.stderr, "")
        self.assertEqual(self.assembled.stdout, self.image + "\n")

    def test_make_runtime_never_overwrites(self):
        again = subprocess.run([MAKE_RUNTIME, self.runtime, BUILD], capture_output=True,
                               text=True)
        self.assertEqual(again.returncode, 1)
        self.assertIn("exists already", again.stderr)
        missing = os.path.join(self.work, "no such build")
        fresh = os.path.join(self.work, "fresh")
        failed = subprocess.run([MAKE_RUNTIME, fresh, missing], capture_output=True, text=True)
        self.assertEqual(failed.returncode, 1)
        self.assertIn("jli.dll is missing", failed.stderr)
        self.assertFalse(os.path.exists(fresh) or os.path.exists(fresh + ".partial"))

    def test_both_streams_through_one_pipe_keep_their_order(self):
        expected = b"".join(b"out %d\nerr %d\n" % (i, i) for i in range(1, 201))
        for path in PATHS:
            with self.subTest(path=path):
                result = self.run_tool(path, ["interleave", "200"])
                self.assertEqual(result.returncode, 0, result.stdout[-2000:])
                self.assertEqual(result.stdout, expected)

    def test_piped_script_is_read_and_its_exit_code_returned(self):
        for path in PATHS:
            with self.subTest(path=path):
                result = self.run_tool(path, ["script"], b"out one\nerr two\nout three\nexit 3\n")
                self.assertEqual(result.stdout, b"one\ntwo\nthree\n")
                self.assertEqual(result.returncode, 3)

    def test_a_caller_without_a_utf8_locale_still_runs_an_image_in_a_non_ascii_folder(self):
        # A service started by Wine's manager inherits no locale of its caller.
        image = os.path.join(self.work, "Narzędzia Łódź", "tool")
        if not os.path.isdir(image):
            shutil.copytree(self.image, image, symlinks=True)
        # Wine itself needs a UTF-8 locale for such names: the locale leaves only the Windows
        # environment, as a service's environment block has none.
        for unset in ("LC_ALL", "LC_ALL LANG LC_CTYPE"):
            with self.subTest(unset=unset):
                command = "".join("set %s=& " % name for name in unset.split()) + "tool.exe script"
                env = dict(os.environ, CORVELA_DEBUG="false")
                result = subprocess.run([WINE_RUN, "cmd", "/c", command], cwd=image,
                                        input=b"out one\nexit 0\n", stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, env=env, timeout=300)
                self.assertEqual(result.stdout, b"one\n")
                self.assertEqual(result.returncode, 0)


if __name__ == "__main__":
    unittest.main()
