#!/usr/bin/env python3
"""The code page an image's exe declares: the choice from the runtime's release file, and
the manifest edit that declares it and leaves everything else as it was. No Wine needed."""

import os
import shutil
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))

from corvela_image import manifest  # noqa: E402
from corvela_image.errors import ImageError  # noqa: E402

LAUNCHER_MANIFEST = os.path.join(ROOT, "src", "windows", "native", "applauncher", "corvela.manifest")


class ChoiceTest(unittest.TestCase):
    def setUp(self):
        self.runtime = tempfile.mkdtemp(prefix="corvela-runtime-")

    def tearDown(self):
        shutil.rmtree(self.runtime, ignore_errors=True)

    def choose(self, release):
        path = os.path.join(self.runtime, "release")
        if os.path.exists(path):
            os.remove(path)
        if release is not None:
            with open(path, "w") as f:
                f.write(release)
        return manifest.choose_code_page("auto", self.runtime)

    def test_auto_follows_the_runtimes_java_version(self):
        cases = [
            ('JAVA_VERSION="25"\n', "utf-8", False),
            ('IMPLEMENTOR="Eclipse Adoptium"\nJAVA_VERSION="21.0.2"\nOS_NAME="Windows"\n', "utf-8", False),
            ('JAVA_VERSION="19"', "utf-8", False),
            ('JAVA_VERSION="17.0.5"\n', "utf-8", False),
            ('JAVA_VERSION="17.0.4"\n', "ansi", False),
            ('JAVA_VERSION="11.0.17"\r\n', "utf-8", False),
            ('JAVA_VERSION="11.0.16"\n', "ansi", False),
            ('JAVA_VERSION="1.8.0_392"\n', "ansi", False),
            ('JAVA_VERSION="18.0.2"\n', "ansi", False),
            ('JAVA_VERSION="15.0.1"\n', "ansi", False),
            (None, "utf-8", True),  # no release file
            ('JAVA_VERSION="unknown"\n', "utf-8", True),
            ('IMPLEMENTOR="nobody"\n', "utf-8", True),
        ]
        for release, expected, noted in cases:
            with self.subTest(release):
                code_page, note = self.choose(release)
                self.assertEqual(code_page, expected)
                self.assertEqual(note is not None, noted, note)
                if noted:
                    self.assertIn("--code-page ansi", note)

    def test_an_explicit_choice_or_no_copied_runtime(self):
        self.assertEqual(manifest.choose_code_page("ansi", self.runtime), ("ansi", None))
        self.assertEqual(manifest.choose_code_page("utf-8", None), ("utf-8", None))
        code_page, note = manifest.choose_code_page("auto", None)
        self.assertEqual(code_page, "utf-8")
        self.assertIn("not copied", note)


class ManifestEditTest(unittest.TestCase):
    def setUp(self):
        with open(LAUNCHER_MANIFEST) as f:
            self.text = f.read()

    def test_ansi_removes_only_the_declaration_and_utf8_puts_it_back(self):
        ansi = manifest.with_code_page(self.text, "ansi")
        self.assertNotIn("activeCodePage", ansi)
        removed = [line for line in self.text.splitlines() if line not in ansi.splitlines()]
        self.assertEqual(len(removed), 1)
        self.assertIn("<activeCodePage", removed[0])
        self.assertEqual(manifest.with_code_page(ansi, "utf-8"), self.text)
        self.assertEqual(manifest.with_code_page(self.text, "utf-8"), self.text)
        self.assertEqual(manifest.with_code_page(ansi, "ansi"), ansi)

    def test_another_declared_code_page_is_replaced(self):
        legacy = self.text.replace(">UTF-8</activeCodePage>", ">Legacy</activeCodePage>")
        self.assertEqual(manifest.with_code_page(legacy, "utf-8"), self.text)

    def test_a_manifest_without_window_settings_is_refused(self):
        with self.assertRaises(ImageError) as caught:
            manifest.with_code_page('<assembly manifestVersion="1.0"/>', "utf-8")
        self.assertIn("windowsSettings", str(caught.exception))


if __name__ == "__main__":
    unittest.main()
