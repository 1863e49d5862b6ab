#!/usr/bin/env python3
"""The launcher's side of updates, under Wine: a version staged by corvela-update.jar (on the
host's JVM, from a feed on 127.0.0.1) replaces the image's changed files at the next start,
the previous ones kept; a version that never reports a good start is rolled back and not
offered again; a staged version that does not check out, or an interrupted switch, never
leaves a mix of two versions."""

import os
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_update_feed import tree  # noqa: E402
from test_updates_java import BUILD, PRODUCT, UpdatesFixture  # noqa: E402

WINE_RUN = os.path.join(BUILD, "wine-run")


def wine_path(path):
    return subprocess.run([WINE_RUN, "winepath", "-w", path], capture_output=True, text=True,
                          stdin=subprocess.DEVNULL).stdout.strip()


def version_files(image):
    """The image's files as one version has them: without the previous version's."""
    return {p: data for p, data in tree(image).items() if not p.startswith(".previous" + os.sep)}


class StagedUpdateTest(UpdatesFixture):

    def setUp(self):
        super().setUp()
        self.updates = os.path.join(self.local, PRODUCT, "updates")
        self.first = version_files(self.installed)
        self.second = version_files(self.newer)

    def start(self):
        """Starts the installed Demo.exe under Wine with this test's LOCALAPPDATA; returns
        whether the application ran, and the launcher's trace."""
        record = self.path("record.txt")
        if os.path.exists(record):
            os.remove(record)
        out, err = self.path("out.txt"), self.path("err.txt")
        command = "set LOCALAPPDATA=%s&& set STANDIN_RECORD=%s&& set CORVELA_DEBUG=true&& %s" % (
            wine_path(self.local), wine_path(record),
            wine_path(os.path.join(self.installed, "Demo.exe")))
        with open(out, "wb") as o, open(err, "wb") as e:
            subprocess.run([WINE_RUN, "cmd", "/c", command], stdout=o, stderr=e,
                           stdin=subprocess.DEVNULL, timeout=120)
        with open(err, encoding="utf-8", errors="replace") as f:
            return os.path.exists(record), f.read()

    def next_file(self):
        path = os.path.join(self.updates, "next")
        if not os.path.exists(path):
            return None
        with open(path, encoding="utf-8") as f:
            return f.read()

    def stage(self):
        code, out = self.probe("stage")
        self.assertEqual(code, 0, out)
        self.assertEqual(self.next_file(), "apply 1.1.0")

    def test_a_staged_version_replaces_the_changed_files_and_keeps_the_previous(self):
        self.stage()
        ran, trace = self.start()
        self.assertTrue(ran, trace)
        self.assertEqual(version_files(self.installed), self.second, trace)
        previous = os.path.join(self.installed, ".previous")
        for path in (os.path.join("app", "main.jar"), os.path.join("app", "Demo.cfg"), "Demo.exe"):
            with self.subTest(path=path):
                with open(os.path.join(previous, path), "rb") as f:
                    self.assertEqual(f.read(), self.first[path])
        self.assertEqual(self.next_file(), "confirm 1.1.0")
        self.assertFalse(os.path.exists(os.path.join(self.updates, "1.1.0", "files", "app",
                                                     "main.jar")))
        # The new version reports a good start: it stays.
        self.assertEqual(self.probe("started"), (0, "started: 1.1.0\n"))
        self.assertIsNone(self.next_file())
        ran, trace = self.start()
        self.assertTrue(ran, trace)
        self.assertEqual(version_files(self.installed), self.second)

    def test_a_version_that_does_not_report_a_good_start_is_rolled_back(self):
        self.stage()
        self.assertTrue(self.start()[0])
        self.assertEqual(version_files(self.installed), self.second)
        ran, trace = self.start()
        self.assertTrue(ran, trace)
        self.assertEqual(version_files(self.installed), self.first, trace)
        self.assertIsNone(self.next_file())
        with open(os.path.join(self.updates, "failed"), encoding="utf-8") as f:
            self.assertEqual(f.read(), "1.1.0\n")
        self.assertEqual(self.probe("check"), (0, "none\n"), "not offered again")

    def test_a_staged_version_that_does_not_check_out_is_not_applied(self):
        cases = {
            "a staged file changed": lambda: self.flip(
                os.path.join(self.updates, "1.1.0", "files", "app", "main.jar")),
            "the feed changed after signing": lambda: self.edit(
                os.path.join(self.updates, "1.1.0", "feed.json"), b'"notes":"', b'"notes":"!'),
            "not complete": lambda: os.remove(os.path.join(self.updates, "1.1.0", "complete")),
        }
        for name, damage in cases.items():
            with self.subTest(name):
                shutil.rmtree(os.path.join(self.local, PRODUCT), ignore_errors=True)
                self.stage()
                damage()
                ran, trace = self.start()
                self.assertTrue(ran, trace)
                self.assertEqual(tree(self.installed), self.first, trace)
                self.assertIsNone(self.next_file())

    def test_an_interrupted_switch_is_finished_at_the_next_start(self):
        self.stage()
        # The state a power loss leaves after the first rename of a switch: the journal
        # written, the old jar moved aside, the new one not yet in place.
        jar = os.path.join("app", "main.jar")
        changed = sorted(p for p in self.second if self.first.get(p) != self.second[p])
        with open(os.path.join(self.updates, "1.1.0", "switch"), "w", encoding="utf-8") as f:
            f.write("version 1.1.0\n" + "".join("R %s\n" % p.replace("/", "\\") for p in changed))
        os.makedirs(os.path.join(self.installed, ".previous", "app"))
        os.rename(os.path.join(self.installed, jar), os.path.join(self.installed, ".previous", jar))
        ran, trace = self.start()
        self.assertTrue(ran, trace)
        self.assertIn("Finishing the interrupted switch to version 1.1.0", trace)
        self.assertEqual(version_files(self.installed), self.second, trace)
        with open(os.path.join(self.installed, ".previous", jar), "rb") as f:
            self.assertEqual(f.read(), self.first[jar], "the previous version is kept")

    def edit(self, path, old, new):
        with open(path, "rb") as f:
            text = f.read()
        self.assertIn(old, text)
        with open(path, "wb") as f:
            f.write(text.replace(old, new))

    def flip(self, path):
        with open(path, "r+b") as f:
            first = f.read(1)
            f.seek(0)
            f.write(bytes([first[0] ^ 1]))


if __name__ == "__main__":
    unittest.main()
