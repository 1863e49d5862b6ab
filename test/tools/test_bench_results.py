#!/usr/bin/env python3
"""bench/run's results go into their own sections of bench/RESULTS.md: what is written there
by hand around them stays byte for byte, and a file whose markers are wrong is left alone."""

import contextlib
import io
import os
import shutil
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "bench"))

import results_sections  # noqa: E402

RESULTS = os.path.join(ROOT, "bench", "RESULTS.md")

HAND_WRITTEN = (
    "# Results\n"
    "\n"
    "<!-- bench/run: produced -->\n"
    "Produced on an earlier day.\n"
    "<!-- bench/run: produced end -->\n"
    "\n"
    "A paragraph kept by hand,\r\nwith a Windows line end and trailing blanks   \n"
    "<!-- bench/run: startup -->\n"
    "| old | table |\n"
    "<!-- bench/run: startup end -->\n"
    "\n"
    "## Earlier measurements\n"
    "\n"
    "Figures from before a change: `<!-- bench/run: startup -->` in a line of its own text.\n"
)


class ResultsSectionsTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="corvela-bench-results-")
        self.addCleanup(shutil.rmtree, self.dir)
        self.sections = os.path.join(self.dir, "sections")
        os.mkdir(self.sections)

    def results(self, text):
        path = os.path.join(self.dir, "RESULTS.md")
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(text)
        return path

    def section_file(self, name, text):
        with open(os.path.join(self.sections, name + ".md"), "w", encoding="utf-8",
                  newline="") as f:
            f.write(text)

    def run_tool(self, path):
        errors = io.StringIO()
        with contextlib.redirect_stderr(errors):
            code = results_sections.main([path, self.sections])
        return code, errors.getvalue()

    @staticmethod
    def read(path):
        with open(path, encoding="utf-8", newline="") as f:
            return f.read()

    def test_the_results_file_holds_every_section_once_in_order(self):
        text = self.read(RESULTS)
        starts = [results_sections.section(text, name)[0] for name in results_sections.SECTIONS]
        self.assertEqual(starts, sorted(starts))

    def test_its_own_sections_put_back_leave_the_results_file_byte_for_byte(self):
        text = self.read(RESULTS)
        for name in results_sections.SECTIONS:
            start, end = results_sections.section(text, name)
            self.section_file(name, text[start:end])
        path = self.results(text)
        self.assertEqual(self.run_tool(path), (0, ""))
        self.assertEqual(self.read(path), text)

    def test_new_results_replace_their_section_alone(self):
        path = self.results(HAND_WRITTEN)
        self.section_file("startup", "| new | table |\n\nruns per start: 30")
        self.assertEqual(self.run_tool(path), (0, ""))
        self.assertEqual(self.read(path), HAND_WRITTEN.replace(
            "| old | table |\n", "| new | table |\n\nruns per start: 30\n"))

    def test_a_file_with_wrong_markers_is_left_as_it_was(self):
        cases = {
            "missing": ("<!-- bench/run: startup -->\n", "",
                        "<!-- bench/run: startup -->: missing"),
            "twice": ("<!-- bench/run: produced end -->\n",
                      "<!-- bench/run: produced end -->\n" * 2,
                      "<!-- bench/run: produced end -->: there 2 times"),
            "end first": ("<!-- bench/run: startup -->\n| old | table |\n"
                          "<!-- bench/run: startup end -->\n",
                          "<!-- bench/run: startup end -->\n| old | table |\n"
                          "<!-- bench/run: startup -->\n",
                          "comes before"),
        }
        self.section_file("produced", "Produced today.\n")
        self.section_file("startup", "| new | table |\n")
        for case, (old, new, message) in cases.items():
            with self.subTest(case):
                text = HAND_WRITTEN.replace(old, new, 1)
                path = self.results(text)
                code, errors = self.run_tool(path)
                self.assertEqual(code, 1)
                self.assertIn(message, errors)
                self.assertIn("nothing written", errors)
                self.assertEqual(self.read(path), text)
                self.assertEqual(sorted(os.listdir(self.dir)), ["RESULTS.md", "sections"])

    def test_a_file_that_names_no_section_is_refused(self):
        path = self.results(HAND_WRITTEN)
        self.section_file("start-up", "| new | table |\n")
        code, errors = self.run_tool(path)
        self.assertEqual(code, 1)
        self.assertIn("start-up.md: not a section's file", errors)
        self.assertEqual(self.read(path), HAND_WRITTEN)


if __name__ == "__main__":
    unittest.main()
