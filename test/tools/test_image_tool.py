#!/usr/bin/env python3
"""The image tool, end to end: the configuration it writes, read by the launcher itself,
gives the intended JVM arguments; bad input writes nothing. And the README's demo."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOL = os.path.join(ROOT, "tools", "corvela-image")
BUILD = os.environ.get("CORVELA_BUILD_DIR", os.path.join(ROOT, "build"))
LAUNCHER = os.path.join(BUILD, "bin", "corvela.exe")
WINE_RUN = os.path.join(BUILD, "wine-run")


def image_tool(*args):
    return subprocess.run([sys.executable, TOOL] + list(args), capture_output=True, text=True)


def wine_path(path):
    out = subprocess.run([WINE_RUN, "winepath", "-w", path], capture_output=True, text=True,
                         stdin=subprocess.DEVNULL)
    return out.stdout.strip()


class ImageToolTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="corvela-image-test-")
        self.runtime = os.path.join(self.work, "runtime")
        os.makedirs(os.path.join(self.runtime, "bin"))
        os.makedirs(os.path.join(self.runtime, "bin", "server"))
        standin = os.path.join(BUILD, "standin")
        shutil.copy(os.path.join(standin, "jli.dll"), os.path.join(self.runtime, "bin"))
        shutil.copy(os.path.join(standin, "splashscreen.dll"), os.path.join(self.runtime, "bin"))
        shutil.copy(os.path.join(standin, "jvm.dll"), os.path.join(self.runtime, "bin", "server"))
        self.jars = []
        for name in ("main.jar", "lib one.jar"):
            path = os.path.join(self.work, name)
            with open(path, "wb") as f:
                f.write(b"PK")
            self.jars.append(path)
        self.splash = os.path.join(self.work, "splash.png")
        with open(self.splash, "wb") as f:
            f.write(b"png")

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def run_image(self, image, name, args=()):
        record = os.path.join(self.work, "record.txt")
        if os.path.exists(record):
            os.remove(record)
        env = dict(os.environ, STANDIN_RECORD=wine_path(record))
        result = subprocess.run([WINE_RUN, os.path.join(image, name + ".exe")] + list(args),
                                env=env, capture_output=True, stdin=subprocess.DEVNULL,
                                timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(record, encoding="utf-8") as f:
            lines = [line.rstrip("\n").split("=", 1) for line in f]
        return [bytes.fromhex(value).decode("cp1252") for key, value in lines if key == "arg"]

    def test_configuration_gives_the_intended_jvm_arguments(self):
        image = os.path.join(self.work, "out dir", "Demo")
        result = image_tool("--name", "Demo", "--launcher", LAUNCHER, "--runtime", self.runtime,
                            "--main-jar", self.jars[0], "--jar", self.jars[1],
                            "--main-class", "app.Main", "--splash", self.splash,
                            "--java-option", "-Dgreeting=a=b", "--java-option", "",
                            "--arg", "first arg", "--arg", "$APPDIR", "--package", "DemoPkg",
                            "--output", image)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(os.path.join(image, "app", ".package"), encoding="utf-8", newline="") as f:
            self.assertEqual(f.read(), "DemoPkg\r\n")
        app = wine_path(os.path.join(image, "app"))
        exe = wine_path(os.path.join(image, "Demo.exe"))
        expected = [exe, "-classpath", app + "\\lib one.jar", "-splash:" + app + "\\splash.png",
                    "-Dgreeting=a=b", "", "-Dcorvela.app-path=" + exe, "app.Main",
                    "-jar", app + "\\main.jar", "first arg", app]
        self.assertEqual(self.run_image(image, "Demo"), expected)
        # Command-line arguments replace the configured ones.
        self.assertEqual(self.run_image(image, "Demo", ["x y"])[-1:], ["x y"])

    def test_module_image(self):
        modules = os.path.join(self.work, "mods")
        os.makedirs(modules)
        image = os.path.join(self.work, "ModApp")
        result = image_tool("--name", "My.App", "--launcher", LAUNCHER, "--runtime", self.runtime,
                            "--module-path", modules, "--main-module", "demo/demo.Main",
                            "--output", image)
        self.assertEqual(result.returncode, 0, result.stderr)
        app = wine_path(os.path.join(image, "app"))
        exe = wine_path(os.path.join(image, "My.App.exe"))
        self.assertEqual(self.run_image(image, "My.App"),
                         [exe, "--module-path", app + "\\mods", "-Dcorvela.app-path=" + exe,
                          "-m", "demo/demo.Main"])

    def test_image_root_gets_the_mode_of_any_new_directory(self):
        # Not the private mode of a scratch directory: an archived image must be readable.
        for mask in (0o022, 0o027):
            image = os.path.join(self.work, "Umask%o" % mask)
            saved = os.umask(mask)
            try:
                result = image_tool("--name", "Demo", "--launcher", LAUNCHER, "--main-class", "M",
                                    "--runtime", self.runtime, "--output", image)
            finally:
                os.umask(saved)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(os.stat(image).st_mode & 0o777, 0o777 & ~mask)

    def test_bad_input_is_reported_and_writes_nothing(self):
        image = os.path.join(self.work, "Bad")
        base = ["--launcher", LAUNCHER, "--runtime", self.runtime, "--output", image]
        cases = [
            (["--name", "Demo", "--jar", os.path.join(self.work, "missing.jar"),
              "--main-class", "M"], "does not exist"),
            (["--name", "De:mo", "--main-class", "M"], "does not allow"),
            (["--name", "CON", "--main-class", "M"], "reserved"),
            (["--name", "Demo.", "--main-class", "M"], "ends with a dot"),
            (["--name", "Demo", "--jar", self.jars[0]], "no main class, main jar or main module"),
            (["--name", "Demo", "--main-class", "M", "--arg", "two\nlines"], "line break"),
            (["--name", "Demo", "--main-class", "M", "--splash", self.splash + ".gone"], "does not exist"),
        ]
        for args, message in cases:
            result = image_tool(*(args + base))
            self.assertEqual(result.returncode, 1, args)
            self.assertIn(message, result.stderr, args)
            self.assertFalse(os.path.exists(image), args)
        leftovers = [n for n in os.listdir(self.work) if n.startswith(".corvela-image-")]
        self.assertEqual(leftovers, [])
        # An existing output directory is never overwritten.
        os.makedirs(image)
        result = image_tool(*(["--name", "Demo", "--main-class", "M"] + base))
        self.assertEqual(result.returncode, 1)
        self.assertIn("exists already", result.stderr)
        self.assertEqual(os.listdir(image), [])

    def test_help_describes_the_tool(self):
        result = image_tool("--help")
        self.assertEqual(result.returncode, 0)
        for text in ("--main-jar", "--module-path", "$APPDIR", "app/.package", "nothing is written"):
            self.assertIn(text, result.stdout)


class DemoTest(unittest.TestCase):
    def test_demo_runs_the_java_program(self):
        have_jdk = shutil.which("javac") is not None
        if not have_jdk and os.geteuid() != 0:
            self.skipTest("no JDK here and no root to install one")
        result = subprocess.run([os.path.join(ROOT, "scripts", "demo")], capture_output=True,
                                text=True, stdin=subprocess.DEVNULL, timeout=1800)
        if result.returncode != 0 and not have_jdk and shutil.which("javac") is None:
            self.skipTest("no JDK could be installed:\n" + result.stdout[-2000:] + result.stderr[-2000:])
        self.assertEqual(result.returncode, 0, result.stdout[-4000:] + result.stderr[-4000:])
        out = result.stdout + result.stderr
        self.assertEqual(out.count("Hello from Java "), 3, out)
        for line in ("  arg[0] = [configured default]", "  arg[1] = [second]",
                     "  arg[0] = [from the command line]", "  arg[1] = [plain]",
                     "  arg[0] = [traced]", "demo.greeting = Hello from Demo.cfg",
                     "class path entries: 2", "corvela.app-path = ",
                     "Entering app::launch", "exit code: 0"):
            self.assertIn(line, out)
        self.assertIn("Corvela Demo", out)


if __name__ == "__main__":
    unittest.main()
