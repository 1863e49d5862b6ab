#!/usr/bin/env python3
"""The taskbar identity and the elevation of an image's launchers: the AppUserModelID the
image tool writes, the process sets before the runtime loads, and the installer's shortcut
carries; the execution level and long path awareness of the manifest; bad input."""

import os
import re
import subprocess
import sys
import tempfile
import unittest

from test_image_tool import BUILD, FAILED, LAUNCHER, ROOT, USAGE, ImageFixture, image_tool, wine_path

sys.path.insert(0, os.path.join(ROOT, "tools"))
from corvela_image import identity, manifest, pe  # noqa: E402

WINE_ENV = os.path.join(ROOT, "scripts", "wine-env.sh")
LONG_PATH_AWARE = ('<longPathAware xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">'
                   'true</longPathAware>')


def manifest_of(exe):
    with open(exe, "rb") as f:
        tree = pe.PEImage(f.read(), exe).resources()
    name = tree.names(pe.RT_MANIFEST)[0]
    language = tree.languages(pe.RT_MANIFEST, name)[0]
    return tree.get(pe.RT_MANIFEST, name, language).data.decode("utf-8")


def cfg_of(image, name):
    with open(os.path.join(image, "app", name + ".cfg"), encoding="utf-8") as f:
        return f.read()


def wine_traced(args, channels, env, stderr_file, cwd=None):
    """Runs `args` under Wine with Wine's own debug `channels` on, its messages (and the
    program's standard error) in `stderr_file`: Wine writes them where the program's Unix
    standard error goes, never into a pipe that services it starts might inherit."""
    script = 'source "$1"; export WINEDEBUG="$2"; shift 2; exec wine "$@"'
    with open(stderr_file, "wb") as err:
        result = subprocess.run(["bash", "-c", script, "-", WINE_ENV, channels] + list(args),
                                env=dict(os.environ, CORVELA_BUILD_DIR=BUILD, **env), cwd=cwd,
                                stdout=subprocess.DEVNULL, stderr=err, stdin=subprocess.DEVNULL,
                                timeout=120)
    with open(stderr_file, encoding="utf-8", errors="replace") as f:
        return result.returncode, f.read()


class UserModelIdTest(unittest.TestCase):
    def test_derived_from_the_names(self):
        cases = [
            (("Acme Software", "Acme Draw", "draw"), "AcmeSoftware.AcmeDraw.draw"),
            (("Acme Inc.", "Démo Приложение", "Editor 2"), "AcmeInc.Demo.Editor2"),
            ((None, "Demo", "Demo"), "Demo.Demo"),
            (("V" * 90, "P" * 90, "L" * 90), "V" * 40 + "." + "P" * 40 + "." + "L" * 40),
            (("日本", "製品", "起動"), None),
        ]
        for names, expected in cases:
            with self.subTest(names=names):
                value = identity.derived(*names)
                self.assertEqual(value, expected)
                if value:
                    self.assertEqual(identity.check(value, "x"), value)
                    self.assertLessEqual(len(value), identity.MAX_LENGTH)

    def test_bad_ids_are_refused_naming_the_option(self):
        cases = [("", "empty"), ("A" * 129, "129 characters"), ("Acme Draw", "blank"),
                 ("Acme\tDraw", "blank"), ("Acme.[Draw]", "'['"), ("Acme.Dräw", "'ä'"),
                 ("Acme..Draw", "empty part"), (".Acme", "empty part")]
        for value, fault in cases:
            with self.subTest(value=value):
                with self.assertRaises(Exception) as caught:
                    identity.check(value, "--user-model-id")
                self.assertIn("--user-model-id", str(caught.exception))
                self.assertIn(fault, str(caught.exception))
        self.assertEqual(identity.check("A" * 128, "x"), "A" * 128)

    def test_the_configuration_value_is_the_last_in_application(self):
        text = ("[JavaOptions]\r\napp.user-model-id=Not.This\r\n[Application]\r\n"
                "app.user-model-id=First\r\napp.user-model-id=Acme.Draw\r\n")
        self.assertEqual(identity.cfg_value(text), "Acme.Draw")
        self.assertIsNone(identity.cfg_value("[Application]\r\napp.mainclass=M\r\n"))


class TaskbarImageTest(ImageFixture):
    def build(self, *options, name="Draw"):
        image = os.path.join(self.work, "image%d" % len(os.listdir(self.work)))
        result = image_tool("--name", name, "--launcher", LAUNCHER, "--runtime", self.runtime,
                            "--main-class", "app.Main", "--jar", self.jars[0], "--output", image,
                            *options)
        return image, result

    def test_the_configuration_carries_the_id(self):
        cases = [((), "Draw.Draw"),
                 (("--vendor", "Acme Software", "--app-version", "1.0"), "AcmeSoftware.Draw.Draw"),
                 (("--vendor", "Acme", "--app-version", "1.0", "--product-name", "Acme Draw"),
                  "Acme.AcmeDraw.Draw"),
                 (("--user-model-id", "Acme.Draw.Main"), "Acme.Draw.Main"),
                 (("--user-model-id", "none"), None)]
        for options, expected in cases:
            with self.subTest(options=options):
                image, result = self.build(*options)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(identity.cfg_value(cfg_of(image, "Draw")), expected)

    def test_the_execution_level_is_the_manifests(self):
        source = manifest_of(LAUNCHER)
        self.assertIn('level="asInvoker"', source)
        self.assertIn(LONG_PATH_AWARE, source)
        for level in manifest.EXECUTION_LEVELS:
            with self.subTest(level=level):
                image, result = self.build("--execution-level", level)
                self.assertEqual(result.returncode, 0, result.stderr)
                text = manifest_of(os.path.join(image, "Draw.exe"))
                self.assertEqual(re.findall(r'level="([^"]*)"', text), [level])
                # Nothing else of the manifest changes.
                self.assertEqual(text.replace(level, "asInvoker"), source)
        # Without the option the exe is the launcher's, byte for byte.
        image, result = self.build("--user-model-id", "none", "--code-page", "utf-8")
        with open(LAUNCHER, "rb") as a, open(os.path.join(image, "Draw.exe"), "rb") as b:
            self.assertEqual(a.read(), b.read())

    def test_bad_input_is_one_error_and_nothing_written(self):
        cases = [(("--user-model-id", "Acme Draw"), "--user-model-id 'Acme Draw' holds a blank", FAILED),
                 (("--user-model-id", "A" * 129), "--user-model-id", FAILED),
                 (("--execution-level", "root"), "--execution-level root: one of asInvoker", USAGE)]
        for options, message, code in cases:
            with self.subTest(options=options):
                image, result = self.build(*options)
                self.assertEqual(result.returncode, code, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertEqual(len(result.stderr.strip().splitlines()), 1, result.stderr)
                self.assertFalse(os.path.exists(image))

    def shortcut_properties(self, msi):
        out = subprocess.run(["msiinfo", "export", msi, "MsiShortcutProperty"], capture_output=True,
                             text=True)
        if out.returncode != 0:
            return None
        return [line.split("\t") for line in out.stdout.splitlines()[3:]]

    def test_the_installers_shortcut_carries_the_same_id_across_versions(self):
        rows = {}
        for version in ("1.0", "1.1"):
            msi = os.path.join(self.work, "Draw-%s.msi" % version)
            image, result = self.build("--vendor", "Acme", "--app-version", version,
                                       "--product-name", "Acme Draw", "--msi", msi)
            self.assertEqual(result.returncode, 0, result.stderr)
            shortcut = subprocess.run(["msiinfo", "export", msi, "Shortcut"], capture_output=True,
                                      text=True).stdout.splitlines()[3].split("\t")[0]
            rows[version] = self.shortcut_properties(msi)
            self.assertEqual(len(rows[version]), 1, rows[version])
            _, shortcut_id, key, value = rows[version][0]
            self.assertEqual((shortcut_id, key, value),
                             (shortcut, "{9F4C2855-9F79-4B39-A8D0-E1D42DE1D5F3}, 5",
                              identity.cfg_value(cfg_of(image, "Draw"))))
            self.assertEqual(value, "Acme.AcmeDraw.Draw")
        self.assertEqual(rows["1.0"], rows["1.1"])
        # Without the key the installer has no such table, as before.
        msi = os.path.join(self.work, "None.msi")
        _, result = self.build("--vendor", "Acme", "--app-version", "1.0", "--user-model-id", "none",
                               "--msi", msi)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIsNone(self.shortcut_properties(msi))

    def described(self, text):
        path = os.path.join(self.work, "product%d.toml" % len(os.listdir(self.work)))
        with open(path, "w", encoding="utf-8") as f:
            f.write(text.replace("@RUNTIME@", self.runtime.replace("\\", "/"))
                    .replace("@JAR@", self.jars[0].replace("\\", "/")))
        output = path[:-5]
        result = image_tool(path, "--output", output, "--launcher-dir", os.path.dirname(LAUNCHER))
        return path, output, result

    PRODUCT = ('name = "Acme Draw"\nvendor = "Acme"\napp-version = "1.0"\nruntime = "@RUNTIME@"\n'
               'jars = ["@JAR@"]\n%s\n'
               '[[launcher]]\nname = "Acme Draw"\nmain-class = "app.Main"\n%s\n'
               '[[launcher]]\nname = "draw"\nconsole = true\nmain-class = "app.Main"\n%s\n')

    def test_a_description_file_sets_them_per_product_and_launcher(self):
        cases = [(("", "", ""), "Acme.AcmeDraw.AcmeDraw", "Acme.AcmeDraw.draw"),
                 (('user-model-id = "Acme.Draw"', "", 'user-model-id = "Acme.Draw.Cli"'),
                  "Acme.Draw", "Acme.Draw.Cli"),
                 (('user-model-id = "none"', "", ""), None, None),
                 (("", 'user-model-id = "none"', ""), None, "Acme.AcmeDraw.draw")]
        for keys, gui, console in cases:
            with self.subTest(keys=keys):
                _, image, result = self.described(self.PRODUCT % keys)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(identity.cfg_value(cfg_of(image, "Acme Draw")), gui)
                self.assertEqual(identity.cfg_value(cfg_of(image, "draw")), console)
        _, image, result = self.described(self.PRODUCT % ("", 'execution-level = "requireAdministrator"', ""))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn('level="requireAdministrator"', manifest_of(os.path.join(image, "Acme Draw.exe")))
        self.assertIn('level="asInvoker"', manifest_of(os.path.join(image, "draw.exe")))

    def test_a_description_files_errors_name_file_line_and_key(self):
        cases = [(("", 'user-model-id = "Acme Draw"', ""), 10, "user-model-id 'Acme Draw' holds a blank", FAILED),
                 (('user-model-id = "%s"' % ("x" * 129), "", ""), 6, "user-model-id", FAILED),
                 (("", "", 'execution-level = "root"'), 15, "execution-level must be one of", USAGE),
                 (('execution-level = "highestAvailable"', "", ""), 6,
                  "execution-level belongs in a [[launcher]] table", USAGE)]
        for keys, line, message, code in cases:
            with self.subTest(keys=keys):
                path, image, result = self.described(self.PRODUCT % keys)
                self.assertEqual(result.returncode, code, result.stderr)
                self.assertIn("%s line %d: " % (path, line), result.stderr)
                self.assertIn(message, result.stderr)
                self.assertFalse(os.path.exists(image))


class LaunchIdentityTest(ImageFixture):
    """Wine's SetCurrentProcessExplicitAppUserModelID keeps nothing (its Get... answers
    E_NOTIMPL), but says in its own "fixme" debug channel what it was called with: that is
    what these runs read, with the "loaddll" channel for the order of the libraries. Each
    line starts with its thread; a launcher's process is the thread that loads Draw.exe."""

    EVENT = re.compile(r'^([0-9a-f]+):(?:fixme:\w+:SetCurrentProcessExplicitAppUserModelID L"([^"]*)"'
                       r'|trace:loaddll:build_module Loaded L"([^"]*)")', re.M)

    def launcher_events(self, image, path):
        """(thread, event) in order for the launcher's processes: ("set", ID), or ("loaded",
        the library's path in lower case)."""
        env = {"STANDIN_RECORD": wine_path(os.path.join(self.work, "record.txt"))}
        if path == "in process":
            env["WINEPATH"] = wine_path(os.path.join(image, "app"))
        code, trace = wine_traced([os.path.join(image, "Draw.exe")], "fixme+shcore,+loaddll", env,
                                  os.path.join(self.work, "wine-trace.txt"))
        self.assertEqual(code, 0, trace[-2000:])
        events = [(m.group(1), ("set", m.group(2)) if m.group(2) is not None else
                   ("loaded", m.group(3).replace("\\\\", "\\").lower()))
                  for m in self.EVENT.finditer(trace)]
        launchers = {thread for thread, (kind, name) in events
                     if kind == "loaded" and name.endswith("\\draw.exe")}
        return [(thread, event) for thread, event in events if thread in launchers]

    def build(self, user_model_id, *options):
        image = os.path.join(self.work, "Draw%d" % len(os.listdir(self.work)))
        result = image_tool("--name", "Draw", "--launcher", LAUNCHER, "--runtime", self.runtime,
                            "--main-class", "app.Main", "--jar", self.jars[0],
                            "--user-model-id", user_model_id, "--output", image, *options)
        self.assertEqual(result.returncode, 0, result.stderr)
        return image

    def test_every_process_sets_the_id_before_the_runtime_loads(self):
        cases = [(launcher, path, processes) for launcher in ("gui", "console")
                 for path, processes in (("in process", 1), ("restart", 2))]
        images = {"gui": self.build("Acme.Draw.Editor"),
                  "console": self.build("Acme.Draw.Editor", "--console")}
        for launcher, path, processes in cases:
            image = images[launcher]
            with self.subTest(launcher=launcher, path=path):
                events = self.launcher_events(image, path)
                self.assertEqual([name for _, (kind, name) in events if kind == "set"],
                                 ["Acme.Draw.Editor"] * processes, events)
                host = [thread for thread, (kind, name) in events
                        if kind == "loaded" and name.endswith("\\bin\\jli.dll")]
                self.assertEqual(len(host), 1, events)
                own = [event for thread, event in events if thread == host[0]]
                jli = next(i for i, (kind, name) in enumerate(own) if name.endswith("\\jli.dll"))
                self.assertLess(own.index(("set", "Acme.Draw.Editor")), jli, own)
                self.assertIn(("loaded", "c:\\windows\\system32\\shell32.dll"), own[:jli])

    def test_without_the_key_shell32_is_never_loaded(self):
        image = self.build("none")
        for path in ("in process", "restart"):
            with self.subTest(path=path):
                events = self.launcher_events(image, path)
                loaded = [name for _, (kind, name) in events if kind == "loaded"]
                self.assertTrue(any(name.endswith("\\bin\\jli.dll") for name in loaded), events)
                self.assertEqual([event for _, event in events if event[0] == "set"], [])
                self.assertFalse(any(name.endswith("\\shell32.dll") for name in loaded), loaded)


class LongPathTest(ImageFixture):
    """An image under a folder whose path is longer than 260 characters. The launchers
    declare longPathAware and read their paths without a MAX_PATH buffer, so the in-process
    path starts. The restart path needs CreateProcess to take such a path, which Windows
    does not promise even with long paths enabled, and which Wine refuses (error 2, even for
    the path's 8.3 form): there the start fails with one clear error naming the call and the
    path, and starts no process."""

    def test_an_image_deeper_than_max_path(self):
        deep = os.path.join(self.work, *(["folder of an install path %02d" % i for i in range(10)]))
        image = os.path.join(deep, "Draw")
        result = image_tool("--name", "Draw", "--launcher", LAUNCHER, "--runtime", self.runtime,
                            "--main-class", "app.Main", "--jar", self.jars[0], "--output", image)
        self.assertEqual(result.returncode, 0, result.stderr)
        # winepath cuts its answers at MAX_PATH: the drive Z: is the Unix root.
        exe = "Z:" + os.path.join(image, "Draw.exe").replace("/", "\\")
        app = exe[:-len("Draw.exe")] + "app"
        self.assertGreater(len(exe), 300)
        args = self.decoded_args(image, "Draw", env={"WINEPATH": app})
        self.assertEqual(args[0], exe)
        self.assertIn(app + "\\main.jar", args)
        self.assertEqual(args[-1], "app.Main")

        record = os.path.join(self.work, "record.txt")
        os.remove(record)
        result = subprocess.run([os.path.join(BUILD, "wine-run"), os.path.join(image, "Draw.exe")],
                                env=dict(os.environ, STANDIN_RECORD=wine_path(record)),
                                capture_output=True, stdin=subprocess.DEVNULL, timeout=120)
        lines = result.stderr.decode("utf-8", "replace").strip().splitlines()
        self.assertEqual(result.returncode, 1)
        self.assertEqual(len(lines), 1, lines)
        self.assertTrue(lines[0].startswith("CreateProcess[suspended][visible][inherit](%s, " % exe),
                        lines[0])
        self.assertIn("failed. System error [2]", lines[0])
        self.assertFalse(os.path.exists(record))


if __name__ == "__main__":
    unittest.main()
