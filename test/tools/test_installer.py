#!/usr/bin/env python3
"""Installers made by corvela-image --msi, installed, upgraded and removed by Wine's msiexec
in a Wine prefix of their own: what lands where, what runs, and what is left behind."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOL = os.path.join(ROOT, "tools", "corvela-image")
BUILD = os.environ.get("CORVELA_BUILD_DIR", os.path.join(ROOT, "build"))
LAUNCHER = os.path.join(BUILD, "bin", "corvela.exe")
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_image_tool import FAILED, USAGE  # noqa: E402
WINE_RUN = os.path.join(BUILD, "wine-run")
PREFIX = os.path.join(BUILD, "wineprefix-msi")
UPGRADE_CODE = "{5B0E6C1A-7D2F-4B8E-9C3A-1E2D3F4A5B6C}"


def wine_env(**extra):
    return dict(os.environ, WINEPREFIX=PREFIX, CORVELA_BUILD_DIR=BUILD, **extra)


def wine(*command, **extra_env):
    return subprocess.run([WINE_RUN] + list(command), capture_output=True, env=wine_env(**extra_env),
                          stdin=subprocess.DEVNULL, timeout=300)


def windows_to_unix(path):
    return wine("winepath", "-u", path).stdout.decode().strip()


def unix_to_windows(path):
    return wine("winepath", "-w", path).stdout.decode().strip()


def tree(directory):
    found = set()
    for parent, dirs, files in os.walk(directory):
        for name in dirs + files:
            found.add(os.path.relpath(os.path.join(parent, name), directory).replace(os.sep, "/"))
    return found


class InstallerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        shutil.rmtree(PREFIX, ignore_errors=True)
        subprocess.run([os.path.join(ROOT, "scripts", "wine-session"), "start", BUILD],
                       env=wine_env(), check=True, stdin=subprocess.DEVNULL, capture_output=True)
        cls.local = wine("cmd", "/c", "echo %LOCALAPPDATA%").stdout.decode().strip()
        cls.roaming = wine("cmd", "/c", "echo %APPDATA%").stdout.decode().strip()

    @classmethod
    def tearDownClass(cls):
        subprocess.run([os.path.join(ROOT, "scripts", "wine-session"), "stop", BUILD],
                       env=wine_env(), stdin=subprocess.DEVNULL, capture_output=True)

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="corvela-msi-test-")

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def runtime(self, version_file):
        runtime = os.path.join(self.work, "runtime-" + version_file)
        os.makedirs(os.path.join(runtime, "bin"))
        os.makedirs(os.path.join(runtime, "lib", "empty"))
        shutil.copy(os.path.join(BUILD, "standin", "jli.dll"), os.path.join(runtime, "bin"))
        with open(os.path.join(runtime, "lib", version_file), "w") as f:
            f.write(version_file)
        return runtime

    def build(self, version, version_file, *extra, name="Demo", vendor="Acme",
              upgrade_code=UPGRADE_CODE):
        """Builds an installer and returns its Windows path (and, with no upgrade code,
        the tool's note too)."""
        jar = os.path.join(self.work, "main.jar")
        with open(jar, "wb") as f:
            f.write(b"PK")
        msi = os.path.join(self.work, "%s-%s.msi" % (name, version))
        codes = ["--upgrade-code", upgrade_code] if upgrade_code else []
        result = subprocess.run(
            [sys.executable, TOOL, "--name", name, "--launcher", LAUNCHER,
             "--runtime", self.runtime(version_file), "--main-jar", jar, "--package", "DemoPkg",
             "--app-version", version, "--vendor", vendor, *codes,
             "--output", os.path.join(self.work, "image-%s-%s" % (name, version)), "--msi", msi,
             *extra],
            capture_output=True, text=True, cwd=self.work)
        self.assertEqual(result.returncode, 0, result.stderr)
        # Nothing lands in the directory the tool was started from.
        self.assertEqual(sorted(n for n in os.listdir(self.work) if not n.startswith(
            ("runtime-", "image-", "main.jar", "record.txt", "uninstall.reg")) and not n.endswith(".msi")), [])
        if upgrade_code:
            return unix_to_windows(msi)
        return unix_to_windows(msi), result.stderr

    def msiexec(self, action, msi):
        return wine("msiexec", action, msi, "/qn").returncode

    def installed(self, scope="user"):
        if scope == "user":
            return windows_to_unix(self.local + "\\Programs\\Demo")
        return windows_to_unix(wine("cmd", "/c", "echo %ProgramFiles%").stdout.decode().strip() + "\\Demo")

    def shortcut(self, name="Demo"):
        return os.path.join(windows_to_unix(self.roaming + "\\Microsoft\\Windows\\Start Menu\\Programs"),
                            name + ".lnk")

    def add_remove_programs(self):
        """The Add/Remove Programs entries, as (DisplayName, Publisher) pairs: Wine keeps
        them under HKLM, Windows a per-user one under HKCU."""
        entries = []
        for root in ("HKLM", "HKCU"):
            exported = os.path.join(self.work, "uninstall.reg")
            key = root + "\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
            if wine("reg", "export", key, unix_to_windows(exported), "/y").returncode != 0:
                continue
            with open(exported, encoding="utf-16") as f:
                text = f.read()
            for entry in text.split("\n["):
                values = dict(re.findall(r'^"(DisplayName|Publisher)"="(.*)"$', entry, re.M))
                if "DisplayName" in values:
                    entries.append((values["DisplayName"], values.get("Publisher")))
        return entries

    def run_installed(self, exe_windows_path):
        record = os.path.join(self.work, "record.txt")
        if os.path.exists(record):
            os.remove(record)
        result = wine(exe_windows_path, STANDIN_RECORD=unix_to_windows(record))
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(record, encoding="utf-8") as f:
            lines = [line.rstrip("\n").split("=", 1) for line in f]
        return [bytes.fromhex(v).decode("utf-8") for k, v in lines if k == "arg"]

    def test_install_upgrade_refuse_downgrade_and_uninstall(self):
        v1 = self.build("1.0.0", "v1-only.txt")
        v2 = self.build("2.1.0", "v2-only.txt")
        installed = self.installed()
        exe = self.local + "\\Programs\\Demo\\Demo.exe"

        self.assertEqual(self.msiexec("/i", v1), 0)
        files = tree(installed)
        for expected in ("Demo.exe", "app/Demo.cfg", "app/main.jar", "app/.package",
                         "runtime/bin/jli.dll", "runtime/lib/v1-only.txt", "runtime/lib/empty"):
            self.assertIn(expected, files)
        with open(self.shortcut(), "rb") as f:
            link = f.read()
        self.assertTrue(exe.encode("utf-16-le") in link or exe.encode("cp1252") in link,
                        "the shortcut does not point at the installed exe")
        self.assertEqual(self.run_installed(exe)[0], exe)
        products = wine("reg", "query", "HKCU\\Software\\Microsoft\\Installer\\Products", "/s").stdout
        self.assertIn(b"ProductIcon", products)

        # A newer version replaces the installed one, files it no longer has included.
        self.assertEqual(self.msiexec("/i", v2), 0)
        files = tree(installed)
        self.assertIn("runtime/lib/v2-only.txt", files)
        self.assertNotIn("runtime/lib/v1-only.txt", files)
        self.assertEqual(self.run_installed(exe)[-1], self.local + "\\Programs\\Demo\\app\\main.jar")

        # An older one is refused, and the newer stays as it was.
        self.assertNotEqual(self.msiexec("/i", v1), 0)
        self.assertEqual(tree(installed), files)

        # Uninstalling leaves nothing of what was installed, and the user's own settings.
        user_settings = windows_to_unix(self.local + "\\DemoPkg")
        os.makedirs(user_settings, exist_ok=True)
        with open(os.path.join(user_settings, "Demo.cfg"), "w") as f:
            f.write("[Application]\n")
        self.assertEqual(self.msiexec("/x", v2), 0)
        self.assertFalse(os.path.exists(installed))
        self.assertFalse(os.path.exists(self.shortcut()))
        self.assertNotEqual(wine("reg", "query", "HKCU\\Software\\Acme\\Demo").returncode, 0)
        self.assertTrue(os.path.exists(os.path.join(user_settings, "Demo.cfg")))

    def test_names_beyond_western_europe_install_intact(self):
        programs = windows_to_unix(self.local + "\\Programs")
        cases = [("Polish", "\u017b\u00f3\u0142wik", "\u017b\u00f3\u0142w Sp"),
                 ("Cyrillic", "\u0411\u0438\u043e\u0433\u0435\u043d\u0435\u0437\u0438\u0441",
                  "\u0422\u0435\u0441\u0442\u043e\u0432\u044b\u0439 \u041f\u043e\u0441\u0442\u0430\u0432\u0449\u0438\u043a"),
                 ("Greek", "\u0392\u03b9\u03bf\u03b3\u03ad\u03bd\u03b5\u03c3\u03b7",
                  "\u0391\u03ba\u03bc\u03ae \u0395\u03c4\u03b1\u03b9\u03c1\u03b5\u03af\u03b1")]
        for script, name, vendor in cases:
            with self.subTest(script):
                msi = self.build("1.0.0", script + ".txt", name=name, vendor=vendor)
                self.assertEqual(self.msiexec("/i", msi), 0)
                installed = os.path.join(programs, name)
                files = tree(installed)
                for expected in (name + ".exe", "app/%s.cfg" % name, "runtime/lib/%s.txt" % script):
                    self.assertIn(expected, files)
                self.assertTrue(os.path.exists(self.shortcut(name)))
                self.assertIn((name, vendor), self.add_remove_programs())
                exe = self.local + "\\Programs\\%s\\%s.exe" % (name, name)
                self.assertEqual(self.run_installed(exe)[0], exe)
                self.assertEqual(wine("reg", "query", "HKCU\\Software\\%s\\%s" % (vendor, name)).returncode, 0)

                self.assertEqual(self.msiexec("/x", msi), 0)
                self.assertFalse(os.path.exists(installed))
                self.assertFalse(os.path.exists(self.shortcut(name)))
                self.assertNotIn((name, vendor), self.add_remove_programs())
                self.assertNotEqual(wine("reg", "query", "HKCU\\Software\\%s\\%s" % (vendor, name)).returncode, 0)

    def test_versions_built_without_an_upgrade_code_replace_each_other(self):
        v1, note1 = self.build("1.0.0", "v1-only.txt", upgrade_code=None)
        v2, note2 = self.build("1.1.0", "v2-only.txt", upgrade_code=None)
        # The derived code is printed, the same for both.
        codes = [re.search(r"upgrade code (\S+), derived", note).group(1) for note in (note1, note2)]
        self.assertEqual(codes[0], codes[1])
        installed = self.installed()
        self.assertEqual(self.msiexec("/i", v1), 0)
        self.addCleanup(self.msiexec, "/x", v1)
        self.assertEqual(self.msiexec("/i", v2), 0)
        self.addCleanup(self.msiexec, "/x", v2)
        files = tree(installed)
        self.assertIn("runtime/lib/v2-only.txt", files)
        self.assertNotIn("runtime/lib/v1-only.txt", files)
        self.assertEqual([entry for entry in self.add_remove_programs() if entry[0] == "Demo"],
                         [("Demo", "Acme")])
        self.assertEqual(self.msiexec("/x", v2), 0)
        self.assertFalse(os.path.exists(installed))

    def test_machine_scope_installs_into_program_files(self):
        # A product name of its own names the folder and the shortcut; the exe keeps --name.
        msi = self.build("1.0.0", "machine.txt", "--msi-scope", "machine",
                         "--product-name", "Acme Demo")
        self.assertEqual(self.msiexec("/i", msi), 0)
        self.addCleanup(self.msiexec, "/x", msi)
        program_files = wine("cmd", "/c", "echo %ProgramFiles%").stdout.decode().strip()
        installed = windows_to_unix(program_files + "\\Acme Demo")
        self.assertIn("runtime/lib/machine.txt", tree(installed))
        self.assertIn("Demo.exe", tree(installed))
        # The common Start menu on Windows; Wine's msiexec puts it in the user's.
        all_users = wine("cmd", "/c", "echo %ProgramData%").stdout.decode().strip()
        links = [windows_to_unix(menu + "\\Microsoft\\Windows\\Start Menu\\Programs\\Acme Demo.lnk")
                 for menu in (all_users, self.roaming)]
        link = next((path for path in links if os.path.exists(path)), links[0])
        target = program_files + "\\Acme Demo\\Demo.exe"
        with open(link, "rb") as f:
            data = f.read()
        self.assertTrue(target.encode("utf-16-le") in data or target.encode("cp1252") in data,
                        "the shortcut does not point at the installed exe")
        self.assertEqual(self.msiexec("/x", msi), 0)
        self.assertFalse(os.path.exists(installed))
        self.assertFalse(os.path.exists(link))

    def test_bad_input_is_reported_and_writes_no_installer(self):
        jar = os.path.join(self.work, "main.jar")
        with open(jar, "wb") as f:
            f.write(b"PK")
        runtime = self.runtime("bad.txt")
        cjk_jar = os.path.join(self.work, "\u65e5.jar")
        with open(cjk_jar, "wb") as f:
            f.write(b"PK")
        cjk_runtime = self.runtime("\u65e5.txt")
        msi = os.path.join(self.work, "bad.msi")
        # Under a folder of its own: found before any work, nothing is made, not even that.
        image = os.path.join(self.work, "new folder", "bad-image")
        cases = [
            ([], "give --app-version", USAGE),
            (["--app-version", "256.0.0"], "major and minor at most 255", FAILED),
            (["--app-version", "1.2.70000"], "build at most 65535", FAILED),
            (["--app-version", "1.2.3.4"], "fourth number", FAILED),
            (["--app-version", "1.0", "--product-name", "Demo \u65e5\u672c \u0416"],
             "cannot hold \u65e5 (U+65E5) \u672c (U+672C) of the product name "
             "\"Demo \u65e5\u672c \u0416\" (--product-name, or --name)", FAILED),
            (["--app-version", "1.0", "--vendor", "Acme \u0416", "--description", "\u0394\u03b5"],
             "cannot hold \u0416 (U+0416) of the vendor \"Acme \u0416\" (--vendor)", FAILED),
            (["--app-version", "1.0", "--jar", cjk_jar],
             "cannot hold \u65e5 (U+65E5) of the file name \"\u65e5.jar\" (--jar)", FAILED),
            (["--app-version", "1.0", "--runtime", cjk_runtime],
             "cannot hold \u65e5 (U+65E5) of the name \"lib\\\u65e5.txt\" (under --runtime %s)"
             % cjk_runtime, FAILED),
            (["--app-version", "1.0", "--upgrade-code", "not-a-guid"], "is not a GUID", FAILED),
            (["--app-version", "1.0", "--vendor", ""], "give --vendor", USAGE),
        ]
        for extra, message, code in cases:
            with self.subTest(message):
                args = [sys.executable, TOOL, "--name", "Demo", "--launcher", LAUNCHER,
                        "--runtime", runtime, "--main-jar", jar, "--vendor", "Acme",
                        "--output", image, "--msi", msi] + extra
                result = subprocess.run(args, capture_output=True, text=True)
                self.assertEqual(result.returncode, code, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertFalse(os.path.exists(msi))
                self.assertFalse(os.path.exists(os.path.dirname(image)))
        self.assertEqual([n for n in os.listdir(self.work) if n.endswith(".partial")], [])


if __name__ == "__main__":
    unittest.main()
