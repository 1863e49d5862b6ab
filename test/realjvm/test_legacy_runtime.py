#!/usr/bin/env python3
"""A genuine Java 11.0.13, which reads its arguments in the ANSI code page, in an image the
image tool assembles: --code-page auto chooses ANSI for it, and a non-ASCII install folder,
class path and argument (all within the ANSI code page) reach Java intact."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOL = os.path.join(ROOT, "tools", "corvela-image")
BUILD = os.environ.get("CORVELA_BUILD_DIR", os.path.join(ROOT, "build"))
RUNTIMES = os.environ.get("CORVELA_REAL_RUNTIMES_DIR", os.path.join(BUILD, "runtimes"))
WINE_RUN = os.path.join(BUILD, "wine-run")
PROBE = os.path.join(BUILD, "bin", "realprobe.jar")


def wine_path(path):
    out = subprocess.run([WINE_RUN, "winepath", "-w", path], capture_output=True, text=True,
                         stdin=subprocess.DEVNULL)
    return out.stdout.strip()


class LegacyRuntimeTest(unittest.TestCase):
    FOLDER = "Caf\u00e9 D\u00e9mo \u00c5ngstr\u00f6m"
    ARGUMENT = "na\u00efve r\u00e9sum\u00e9"

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="corvela-legacy-")
        self.addCleanup(shutil.rmtree, self.work, True)

    def assemble(self, name, code_page):
        image = os.path.join(self.work, self.FOLDER, name)
        jar = os.path.join(self.work, "Biblioth\u00e8que.jar")
        shutil.copyfile(PROBE, jar)
        result = subprocess.run(
            [sys.executable, TOOL, "--name", "Tool", "--console",
             "--launcher", os.path.join(BUILD, "bin", "corvela-console.exe"),
             "--runtime", os.path.join(RUNTIMES, "java11"), "--jar", jar,
             "--main-class", "realprobe.Main", "--code-page", code_page, "--output", image],
            capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        return image

    def start(self, image, in_process):
        """Runs the probe's report; gives its exit code, what it said, and the report."""
        report = os.path.join(self.work, "report.txt")
        if os.path.exists(report):
            os.remove(report)
        env = dict(os.environ)
        if in_process:
            env["WINEPATH"] = wine_path(os.path.join(image, "app"))
        # Output to a file: Wine's services would inherit a pipe.
        with open(os.path.join(self.work, "out.txt"), "w+b") as out:
            result = subprocess.run([WINE_RUN, os.path.join(image, "Tool.exe"), "report",
                                     wine_path(report), self.ARGUMENT],
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=out, env=env,
                                    timeout=300)
            out.seek(0)
            said = out.read().decode("utf-8", "replace")
        seen = {}
        if os.path.exists(report):
            with open(report, encoding="utf-8") as f:
                seen = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
        return result.returncode, said, seen

    def test_auto_chooses_ansi_and_java_gets_every_path_and_argument(self):
        image = self.assemble("Auto", "auto")
        with open(os.path.join(image, "Tool.exe"), "rb") as f:
            self.assertFalse(b"activeCodePage" in f.read(), "Tool.exe declares a code page")
        for in_process in (True, False):
            with self.subTest(in_process=in_process):
                code, said, seen = self.start(image, in_process)
                self.assertEqual(code, 0, said)
                self.assertEqual(seen["java.version"], "11.0.13")
                self.assertEqual(seen["arg"], self.ARGUMENT)
                self.assertIn(self.FOLDER, seen["java.class.path"])

    def test_utf8_would_lose_the_class_path_on_java_11(self):
        # Why auto matters: this runtime decodes the UTF-8 it is handed as ANSI, so the jar
        # under the non-ASCII folder is not found.
        image = self.assemble("Utf8", "utf-8")
        code, said, seen = self.start(image, False)
        self.assertNotEqual(code, 0)
        self.assertIn("Could not find or load main class realprobe.Main", said)
        self.assertEqual(seen, {})


if __name__ == "__main__":
    unittest.main()
