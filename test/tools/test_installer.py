#!/usr/bin/env python3
"""Installers made by corvela-image --msi, installed, upgraded and removed by Wine's msiexec
in a Wine prefix of their own: what lands where, what runs, and what is left behind."""

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

    def build(self, version, version_file, *extra):
        jar = os.path.join(self.work, "main.jar")
        with open(jar, "wb") as f:
            f.write(b"PK")
        msi = os.path.join(self.work, "Demo-%s.msi" % version)
        result = subprocess.run(
            [sys.executable, TOOL, "--name", "Demo", "--launcher", LAUNCHER,
             "--runtime", self.runtime(version_file), "--main-jar", jar, "--package", "DemoPkg",
             "--app-version", version, "--vendor", "Acme", "--upgrade-code", UPGRADE_CODE,
             "--output", os.path.join(self.work, "image-" + version), "--msi", msi, *extra],
            capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        return unix_to_windows(msi)

    def msiexec(self, action, msi):
        return wine("msiexec", action, msi, "/qn").returncode

    def installed(self, scope="user"):
        if scope == "user":
            return windows_to_unix(self.local + "\\Programs\\Demo")
        return windows_to_unix(wine("cmd", "/c", "echo %ProgramFiles%").stdout.decode().strip() + "\\Demo")

    def shortcut(self):
        return windows_to_unix(self.roaming + "\\Microsoft\\Windows\\Start Menu\\Programs\\Demo.lnk")

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
        msi = os.path.join(self.work, "bad.msi")
        image = os.path.join(self.work, "bad-image")
        cases = [
            ([], "give --app-version"),
            (["--app-version", "256.0.0"], "major and minor at most 255"),
            (["--app-version", "1.2.70000"], "build at most 65535"),
            (["--app-version", "1.2.3.4"], "fourth number"),
            (["--app-version", "1.0", "--product-name", "Demo \u65e5\u672c \u0416"],
             "cannot hold \u65e5 (U+65E5) \u672c (U+672C)"),
            (["--app-version", "1.0", "--upgrade-code", "not-a-guid"], "is not a GUID"),
            (["--app-version", "1.0", "--vendor", ""], "give --vendor"),
        ]
        for extra, message in cases:
            with self.subTest(message):
                args = [sys.executable, TOOL, "--name", "Demo", "--launcher", LAUNCHER,
                        "--runtime", runtime, "--main-jar", jar, "--vendor", "Acme",
                        "--output", image, "--msi", msi] + extra
                result = subprocess.run(args, capture_output=True, text=True)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertFalse(os.path.exists(msi))
                self.assertFalse(os.path.exists(image))
        self.assertEqual([n for n in os.listdir(self.work) if n.endswith(".partial")], [])


if __name__ == "__main__":
    unittest.main()
