#!/usr/bin/env python3
"""Images that run on the Java installed on the machine: the options and description keys
that make one, the configuration and code page they give, the errors that name the option or
key and its value, and the launcher finding the stand-in runtime through JAVA_HOME."""

import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_image_tool import (FAILED, LAUNCHER, USAGE, WINE_RUN, ImageFixture, image_tool,  # noqa: E402
                             wine_path)
from test_description import DescribedImageFixture  # noqa: E402

from corvela_image import pe  # noqa: E402


def manifest_of(exe):
    with open(exe, "rb") as f:
        tree = pe.PEImage(f.read()).resources()
    return tree.get(pe.RT_MANIFEST, 1, 1033).data.decode("utf-8")


def cfg_of(image):
    with open(os.path.join(image, "app", "Demo.cfg"), encoding="utf-8") as f:
        return f.read().splitlines()


class InstalledRuntimeImageTest(ImageFixture):

    def assemble(self, image, *options):
        return image_tool("--name", "Demo", "--launcher", LAUNCHER, "--main-jar", self.jars[0],
                          "--output", image, *options)

    def test_the_image_carries_no_runtime_and_runs_on_the_installed_one(self):
        image = os.path.join(self.work, "Demo")
        result = self.assemble(image, "--runtime-min-version", "17", "--runtime-max-version",
                               "21", "--runtime-download-url", "https://example.com/java")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")
        self.assertFalse(os.path.exists(os.path.join(image, "runtime")))
        lines = cfg_of(image)
        for line in ("app.runtime-min-version=17", "app.runtime-max-version=21",
                     "app.runtime-download-url=https://example.com/java", "app.class-data=auto"):
            self.assertIn(line, lines)
        # 17.0.0 to 17.0.4 and 18 read their arguments in the ANSI code page.
        self.assertNotIn("activeCodePage", manifest_of(os.path.join(image, "Demo.exe")))

        with open(os.path.join(self.runtime, "release"), "w") as f:
            f.write('JAVA_VERSION="17.0.9"\n')
        values = self.record_of_run(image, "Demo", env={"JAVA_HOME": wine_path(self.runtime)})
        self.assertEqual(values["call"], "JLI_Launch")
        self.assertEqual(values["acp"], "1252")

        # Nothing installed that fits: the message, the address, exit code 1.
        with open(os.path.join(self.runtime, "release"), "w") as f:
            f.write('JAVA_VERSION="22.0.1"\n')
        failed = subprocess.run([WINE_RUN, os.path.join(image, "Demo.exe")],
                                env=dict(os.environ, JAVA_HOME=wine_path(self.runtime)),
                                capture_output=True, text=True, stdin=subprocess.DEVNULL,
                                timeout=120)
        self.assertEqual(failed.returncode, 1, failed.stderr)
        self.assertIn("Demo needs Java 17 to 21 (64-bit); none was found", failed.stderr)
        self.assertIn("Download Java from https://example.com/java", failed.stderr)

    def test_the_installer_carries_no_runtime(self):
        image = os.path.join(self.work, "Demo")
        msi = os.path.join(self.work, "Demo.msi")
        result = self.assemble(image, "--runtime-min-version", "17", "--msi", msi,
                               "--app-version", "1.0.0", "--vendor", "Acme")
        self.assertEqual(result.returncode, 0, result.stderr)
        files = subprocess.run(["msiinfo", "export", msi, "File"], capture_output=True,
                               text=True, check=True).stdout
        names = [row.split("\t")[2].split("|")[-1] for row in files.splitlines()[3:]]
        self.assertEqual(sorted(names), ["Demo.cfg", "Demo.exe", "main.jar"])

    def test_the_code_page_is_utf8_only_when_every_version_admitted_reads_it(self):
        cases = [(["--runtime-min-version", "17"], False),
                 (["--runtime-min-version", "17.0.5"], False),
                 (["--runtime-min-version", "17.0.5", "--runtime-max-version", "17"], True),
                 (["--runtime-min-version", "11.0.17", "--runtime-max-version", "11"], True),
                 (["--runtime-min-version", "11.0.17", "--runtime-max-version", "17"], False),
                 (["--runtime-min-version", "19"], True),
                 (["--runtime-min-version", "17", "--code-page", "utf-8"], True)]
        for index, (options, utf8) in enumerate(cases):
            with self.subTest(options):
                image = os.path.join(self.work, "cp%d" % index)
                result = self.assemble(image, *options)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual("activeCodePage" in manifest_of(os.path.join(image, "Demo.exe")),
                                 utf8)

    def test_bad_values_name_the_option_and_the_value_and_nothing_is_written(self):
        cases = [
            (["--runtime-min-version", "seventeen"],
             "--runtime-min-version 'seventeen' is not a Java version", FAILED),
            (["--runtime-min-version", "17.0."], "--runtime-min-version '17.0.' is not a Java version", FAILED),
            (["--runtime-min-version", "17", "--runtime-max-version", "11"],
             "--runtime-max-version '11' is below --runtime-min-version '17'", FAILED),
            (["--runtime-min-version", "17", "--runtime-download-url", "ftp://example.com"],
             "--runtime-download-url 'ftp://example.com' is not an http:// or https:// address", FAILED),
            (["--runtime-min-version", "17", "--runtime-download-url", "https://a\nb"],
             "is not an http:// or https:// address", FAILED),
            (["--runtime-max-version", "21"], "--runtime-min-version is needed with --runtime-max-version", USAGE),
            (["--runtime-min-version", "17", "--runtime", self.runtime],
             "--runtime gives the image a runtime of its own", USAGE),
            (["--runtime-min-version", "17", "--runtime-path", "$ROOTDIR\\jre"],
             "--runtime-path gives the image a runtime of its own", USAGE),
        ]
        for options, message, code in cases:
            with self.subTest(message):
                image = os.path.join(self.work, "Bad")
                result = self.assemble(image, *options)
                self.assertEqual(result.returncode, code, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertFalse(os.path.exists(image))


class DescribedInstalledRuntimeTest(DescribedImageFixture):
    HEAD = 'name = "Studio"\njars = ["main.jar"]\noutput = "../out/Studio"\n'
    LAUNCHER = '\n[[launcher]]\nname = "Studio"\nmain-class = "app.Main"\n'

    def test_the_keys_make_an_image_without_a_runtime(self):
        description = self.describe(self.HEAD + 'runtime-min-version = "21"\n' + self.LAUNCHER)
        result = self.build(description)
        self.assertEqual(result.returncode, 0, result.stderr)
        image = os.path.join(self.work, "out", "Studio")
        self.assertFalse(os.path.exists(os.path.join(image, "runtime")))
        with open(os.path.join(image, "app", "Studio.cfg"), encoding="utf-8") as f:
            self.assertIn("app.runtime-min-version=21", f.read().splitlines())
        self.assertIn("activeCodePage", manifest_of(os.path.join(image, "Studio.exe")))

    def test_errors_name_the_key_and_its_line(self):
        cases = [
            (self.HEAD + 'runtime-min-version = "x17"\n' + self.LAUNCHER, 4,
             "runtime-min-version 'x17' is not a Java version", FAILED),
            (self.HEAD + 'runtime-min-version = "17"\nruntime-max-version = "16"\n' + self.LAUNCHER,
             5, "runtime-max-version '16' is below runtime-min-version '17'", FAILED),
            (self.HEAD + 'runtime-download-url = "java.com"\n' + self.LAUNCHER, 4,
             "runtime-min-version is needed with runtime-download-url", USAGE),
            (self.HEAD + 'runtime-min-version = "17"\nruntime-download-url = "java.com"\n' +
             self.LAUNCHER, 5, "runtime-download-url 'java.com' is not an http", FAILED),
            (self.HEAD + 'runtime-min-version = "17"\nruntime = "runtime"\n' + self.LAUNCHER, 5,
             "runtime gives the image a runtime of its own; runtime-min-version is for", USAGE),
        ]
        for text, line, message, code in cases:
            with self.subTest(message):
                result = self.build(self.describe(text))
                self.assertEqual(result.returncode, code, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertIn("line %d: " % line, result.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.work, "out")))


if __name__ == "__main__":
    unittest.main()
