#!/usr/bin/env python3
"""The image tool's class-data setting: what it writes by the runtime's version, and the
launcher's archive options from an image that has it."""

import os
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_image_tool import LAUNCHER, WINE_RUN, ImageFixture, image_tool  # noqa: E402


def unix_path(windows_path):
    out = subprocess.run([WINE_RUN, "winepath", "-u", windows_path], capture_output=True,
                         text=True, stdin=subprocess.DEVNULL)
    return out.stdout.strip()


class ClassDataImageTest(ImageFixture):
    def cfg_lines(self, image):
        with open(os.path.join(image, "app", "Demo.cfg"), encoding="utf-8") as f:
            return f.read().splitlines()

    def assemble(self, image, *extra):
        result = image_tool("--name", "Demo", "--launcher", LAUNCHER, "--runtime", self.runtime,
                            "--main-jar", self.jars[0], "--output", image, *extra)
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_auto_by_default_for_runtimes_that_can_make_an_archive(self):
        release = os.path.join(self.runtime, "release")
        cases = [
            ('JAVA_VERSION="17.0.9"\n', (), "app.class-data=auto"),
            ('JAVA_VERSION="13"\n', (), "app.class-data=auto"),
            ('JAVA_VERSION="25"\n', (), "app.class-data=auto"),
            ('JAVA_VERSION="11.0.20"\n', (), None),
            ('JAVA_VERSION="1.8.0_392"\n', (), None),
            ('JAVA_VERSION="unknown"\n', (), None),
            (None, (), None),
            ('JAVA_VERSION="17.0.9"\n', ("--class-data", "off"), "app.class-data=off"),
            ('JAVA_VERSION="11.0.20"\n', ("--class-data", "auto"), "app.class-data=auto"),
        ]
        for i, (text, extra, expected) in enumerate(cases):
            with self.subTest(release=text, extra=extra):
                if os.path.exists(release):
                    os.remove(release)
                if text is not None:
                    with open(release, "w") as f:
                        f.write(text)
                image = os.path.join(self.work, "img%d" % i)
                self.assemble(image, *extra)
                lines = [line for line in self.cfg_lines(image) if line.startswith("app.class-data")]
                self.assertEqual(lines, [expected] if expected else [])

    def test_a_runtime_that_cannot_make_the_archive_auto_asks_for_gets_a_note(self):
        release = os.path.join(self.runtime, "release")
        base = os.path.join(self.runtime, "bin", "server", "classes.jsa")
        os.makedirs(os.path.dirname(base), exist_ok=True)
        no_release = "has no release file"
        no_base = "has no base archive bin/server/classes.jsa"
        cases = [((True, True), ("--class-data", "auto"), []),
                 ((False, True), ("--class-data", "auto"), [no_release]),
                 ((True, False), ("--class-data", "auto"), [no_base]),
                 ((False, False), ("--class-data", "auto"), [no_release, no_base]),
                 ((True, False), (), [no_base]),
                 ((False, False), ("--class-data", "off"), [])]
        for i, ((has_release, has_base), extra, expected) in enumerate(cases):
            with self.subTest(release=has_release, base=has_base, extra=extra):
                for path, wanted, text in ((release, has_release, 'JAVA_VERSION="17.0.9"\n'),
                                           (base, has_base, "base archive")):
                    if os.path.exists(path):
                        os.remove(path)
                    if wanted:
                        with open(path, "w") as f:
                            f.write(text)
                image = os.path.join(self.work, "note%d" % i)
                result = image_tool("--name", "Demo", "--launcher", LAUNCHER, "--runtime",
                                    self.runtime, "--main-jar", self.jars[0], "--output", image,
                                    *extra)
                self.assertEqual(result.returncode, 0, result.stderr)
                notes = [line for line in result.stderr.splitlines() if "class-data auto" in line]
                self.assertEqual(len(notes), len(expected), result.stderr)
                for note, what in zip(notes, expected):
                    self.assertIn(what, note)
                    self.assertIn(self.runtime, note)

    def test_an_image_with_the_setting_starts_with_the_archive_options(self):
        with open(os.path.join(self.runtime, "release"), "w") as f:
            f.write('JAVA_VERSION="17.0.9"\n')
        with open(os.path.join(self.runtime, "bin", "server", "classes.jsa"), "wb") as f:
            f.write(b"base archive")
        image = os.path.join(self.work, "Demo")
        # Wine gives every process the prefix's own LOCALAPPDATA: a package name of this
        # test's own keeps the archive apart, and it is removed afterwards.
        package = "class-data-image-test-%d" % os.getpid()
        self.assemble(image, "--package", package)
        args = self.decoded_args(image, "Demo")
        made = [a for a in args if a.startswith("-XX:ArchiveClassesAtExit=")]
        self.assertEqual(len(made), 1, args)
        local = made[0][len("-XX:ArchiveClassesAtExit="):].split("\\" + package + "\\")[0]
        self.addCleanup(shutil.rmtree, os.path.join(unix_path(local), package), True)
        self.assertIn("\\%s\\class-data\\Demo-" % package, made[0])
        self.assertIn("-Xshare:auto", args)


if __name__ == "__main__":
    unittest.main()
