#!/usr/bin/env python3
"""The image tool, end to end: the configuration it writes, read by the launcher itself,
gives the intended JVM arguments; bad input writes nothing. And the README's demo."""

import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOL = os.path.join(ROOT, "tools", "corvela-image")
BUILD = os.environ.get("CORVELA_BUILD_DIR", os.path.join(ROOT, "build"))
LAUNCHER = os.path.join(BUILD, "bin", "corvela.exe")
WINE_RUN = os.path.join(BUILD, "wine-run")
VERSION_PROBE = os.path.join(BUILD, "bin", "version_probe.exe")
OBJDUMP = os.environ.get("CORVELA_OBJDUMP", "x86_64-w64-mingw32-objdump")
# The tool's exit codes: a usage error, wherever it is found, and any other failure.
USAGE, FAILED = 2, 1

sys.path.insert(0, os.path.join(ROOT, "tools"))
from corvela_image import icon, pe  # noqa: E402


def image_tool(*args):
    return subprocess.run([sys.executable, TOOL] + list(args), capture_output=True, text=True)


def wine_path(path):
    out = subprocess.run([WINE_RUN, "winepath", "-w", path], capture_output=True, text=True,
                         stdin=subprocess.DEVNULL)
    return out.stdout.strip()


class ImageFixture(unittest.TestCase):
    """A stand-in runtime, two jars and a splash image in a scratch directory."""

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="corvela-image-test-")
        self.runtime = os.path.join(self.work, "runtime")
        os.makedirs(os.path.join(self.runtime, "bin"))
        os.makedirs(os.path.join(self.runtime, "bin", "server"))
        standin = os.path.join(BUILD, "standin")
        shutil.copy(os.path.join(standin, "jli.dll"), os.path.join(self.runtime, "bin"))
        shutil.copy(os.path.join(standin, "splashscreen.dll"), os.path.join(self.runtime, "bin"))
        shutil.copy(os.path.join(standin, "jvm.dll"), os.path.join(self.runtime, "bin", "server"))
        self.jars = [
            self.jar("main.jar", ["app/Main.class", "M.class", "tool/Main.class"], "app.Main"),
            self.jar("lib one.jar", ["lib/Helper.class"])]
        self.splash = os.path.join(self.work, "splash.png")
        with open(self.splash, "wb") as f:
            f.write(b"png")

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def jar(self, name, entries, main_class=None, manifest_lines=()):
        """A jar in the scratch directory holding `entries` (empty files)."""
        path = os.path.join(self.work, name)
        lines = ["Manifest-Version: 1.0"] + list(manifest_lines)
        if main_class:
            lines.append("Main-Class: " + main_class)
        with zipfile.ZipFile(path, "w") as archive:
            archive.writestr("META-INF/MANIFEST.MF", "\r\n".join(lines) + "\r\n\r\n")
            for entry in entries:
                archive.writestr(entry, b"")
        return path

    def record_of_run(self, image, name, args=(), env=None):
        record = os.path.join(self.work, "record.txt")
        if os.path.exists(record):
            os.remove(record)
        full_env = dict(os.environ, STANDIN_RECORD=wine_path(record), STANDIN_ENV_NAMES="PATH",
                        **(env or {}))
        result = subprocess.run([WINE_RUN, os.path.join(image, name + ".exe")] + list(args),
                                env=full_env, capture_output=True, stdin=subprocess.DEVNULL,
                                timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(record, encoding="utf-8") as f:
            lines = [line.rstrip("\n").split("=", 1) for line in f]
        values = dict(lines)
        values["args"] = [bytes.fromhex(value) for key, value in lines if key == "arg"]
        return values

    def decoded_args(self, image, name, args=(), env=None):
        """The JVM arguments, read in the code page the launcher ran with."""
        values = self.record_of_run(image, name, args, env)
        encoding = "utf-8" if values["acp"] == "65001" else "cp" + values["acp"]
        return [arg.decode(encoding) for arg in values["args"]]


class ImageToolTest(ImageFixture):
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
        args = self.decoded_args(image, "Demo")
        # A packaged image's JVM writes its crash report to the user's logs of the package.
        error_file = args.pop(7)
        self.assertTrue(error_file.startswith("-XX:ErrorFile="), error_file)
        self.assertTrue(error_file.endswith("\\DemoPkg\\logs\\hs_err_pid%p.log"), error_file)
        self.assertEqual(args, expected)
        # Command-line arguments replace the configured ones.
        self.assertEqual(self.decoded_args(image, "Demo", ["x y"])[-1:], ["x y"])

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
        self.assertEqual(self.decoded_args(image, "My.App"),
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

    def test_long_steps_show_on_a_terminal_only(self):
        import pty
        args = ["--name", "Demo", "--launcher", LAUNCHER, "--runtime", self.runtime,
                "--main-class", "M", "--jar", self.jars[0], "--code-page", "utf-8"]
        leader, follower = pty.openpty()
        try:
            result = subprocess.run([sys.executable, TOOL] + args + ["--output", os.path.join(self.work, "Tty")],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=follower)
            os.close(follower)
            follower = None
            shown = b""
            try:
                while True:
                    chunk = os.read(leader, 4096)
                    if not chunk:
                        break
                    shown += chunk
            except OSError:
                pass
        finally:
            if follower is not None:
                os.close(follower)
            os.close(leader)
        self.assertEqual(result.returncode, 0)
        self.assertIn(b"\r\x1b[Kcorvela-image: copying the runtime...", shown)
        self.assertTrue(shown.endswith(b"\r\x1b[K"), shown)  # the line is cleared at the end
        # Not a terminal: not a word of it.
        quiet = image_tool(*(args + ["--output", os.path.join(self.work, "Pipe")]))
        self.assertEqual(quiet.stderr, "")

    def test_a_usage_error_exits_with_one_code_wherever_it_is_found(self):
        image = os.path.join(self.work, "Used")
        new = ["--name", "Demo", "--launcher", LAUNCHER, "--runtime", self.runtime,
               "--main-class", "app.Main", "--output", image]
        described = os.path.join(self.work, "used.toml")
        with open(described, "w", encoding="utf-8") as f:
            f.write('name = "Demo"\nruntime = "runtime"\noutput = "Used"\nmain-clas = "app.Main"\n')
        cases = [
            # (where it is found, arguments, words of the message)
            ("argparse", new + ["--code-page", "utf9"], "invalid choice: 'utf9'"),
            ("the run's mode", ["--show", LAUNCHER, "--name", "Demo"], "--show goes alone"),
            ("the command line's own checks",
             new + ["--upgrade-code", "{12345678-1234-1234-1234-123456789abc}"],
             "--upgrade-code goes with --msi"),
            ("the description file", [described], "line 4: unknown key main-clas"),
            ("the launcher's checks", new + ["--service-name", "Demo"], "--service-name goes with --service"),
            ("an existing image's", ["--image", self.work], "there is nothing to do"),
        ]
        for where, args, message in cases:
            with self.subTest(where):
                result = image_tool(*args)
                self.assertEqual(result.returncode, USAGE, result.stderr)
                self.assertIn("corvela-image: error: ", result.stderr.splitlines()[-1])
                self.assertIn(message, result.stderr)
                self.assertFalse(os.path.exists(image))

    def test_bad_input_is_reported_and_writes_nothing(self):
        image = os.path.join(self.work, "Bad")
        base = ["--launcher", LAUNCHER, "--runtime", self.runtime, "--output", image]
        cases = [
            (["--name", "Demo", "--jar", os.path.join(self.work, "missing.jar"),
              "--main-class", "M"], "does not exist", FAILED),
            (["--name", "De:mo", "--main-class", "M"], "does not allow", FAILED),
            (["--name", "CON", "--main-class", "M"], "reserved", FAILED),
            (["--name", "Demo.", "--main-class", "M"], "ends with a dot", FAILED),
            (["--name", "Demo", "--jar", self.jars[0]], "no main class, main jar or main module", USAGE),
            (["--name", "Demo", "--main-class", "M", "--arg", "two\nlines"], "line break", FAILED),
            (["--name", "Demo", "--main-class", "M", "--splash", self.splash + ".gone"], "does not exist", FAILED),
        ]
        for args, message, code in cases:
            result = image_tool(*(args + base))
            self.assertEqual(result.returncode, code, args)
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
        for text in ("--main-jar", "--module-path", "$APPDIR", "app/.package", "nothing is written",
                     "%LOCALAPPDATA%\\PACKAGE\\NAME.vmoptions"):
            self.assertIn(text, result.stdout)


def tiny_icon(rgba):
    """A one-image 16x16 icon of a single colour, as a 32-bit bitmap."""
    header = struct.pack("<IiiHHIIiiII", 40, 16, 32, 1, 32, 0, 0, 0, 0, 0, 0)
    image = header + bytes(rgba[2::-1] + rgba[3:]) * 256 + bytes(4 * 16)
    return icon.Icon.of_images([image]).ico_bytes()


STRINGS = ("CompanyName", "FileDescription", "FileVersion", "InternalName", "LegalCopyright",
           "OriginalFilename", "ProductName", "ProductVersion")
strings_of_probe = set(STRINGS)


def show(exe):
    """What corvela-image --show prints about `exe`, as a dict."""
    result = image_tool("--show", exe)
    if result.returncode != 0:
        raise AssertionError(result.stderr)
    return dict(line.split(": ", 1) if ": " in line else (line.rstrip(":"), "")
                for line in result.stdout.splitlines())


def openssl_certificate(directory, name):
    """A throwaway self-signed code-signing certificate and its key, made by openssl."""
    cert = os.path.join(directory, name + ".pem")
    key = os.path.join(directory, name + ".key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "2", "-subj", "/CN=%s" % name,
                    "-addext", "extendedKeyUsage=codeSigning"],
                   check=True, capture_output=True)
    return cert, key


def osslsigncode_verify(path, cert):
    return subprocess.run(["osslsigncode", "verify", "-in", path, "-CAfile", cert, "-ignore-cdp"],
                          capture_output=True, text=True)


class BrandingTest(ImageFixture):
    """The image's exe made the vendor's own: icon, version information and signature."""

    BRANDING = ["--app-version", "2.5.1", "--vendor", "Acme \u0422\u0435\u0441\u0442 GmbH",
                "--description", "Demo for -tests", "--copyright", "(c) 2026 Acme",
                "--product-name", "Acme Demo"]

    def assemble(self, image, *extra):
        return image_tool("--name", "Demo", "--launcher", LAUNCHER, "--runtime", self.runtime,
                          "--main-class", "app.Main", "--output", image, *extra)

    def probe(self, exe):
        out = subprocess.run([WINE_RUN, VERSION_PROBE, wine_path(exe)], capture_output=True,
                             stdin=subprocess.DEVNULL, timeout=120)
        lines = out.stdout.decode("utf-8").replace("\r", "").splitlines()
        return dict(line.split("=", 1) for line in lines if "=" in line)

    def test_windows_reads_the_vendors_version_and_icon(self):
        icon_path = os.path.join(self.work, "app.ico")
        with open(icon_path, "wb") as f:
            f.write(tiny_icon(b"\x10\x80\x20\xff"))
        image = os.path.join(self.work, "Branded")
        result = self.assemble(image, "--icon", icon_path, *self.BRANDING)
        self.assertEqual(result.returncode, 0, result.stderr)
        exe = os.path.join(image, "Demo.exe")
        self.assertEqual(self.probe(exe), {
            "binary.FileVersion": "2.5.1.0", "binary.ProductVersion": "2.5.1.0",
            "Translation": "040904b0", "CompanyName": "Acme \u0422\u0435\u0441\u0442 GmbH",
            "FileDescription": "Demo for -tests", "FileVersion": "2.5.1", "InternalName": "Demo",
            "LegalCopyright": "(c) 2026 Acme", "OriginalFilename": "Demo.exe",
            "ProductName": "Acme Demo", "ProductVersion": "2.5.1",
            "icon.16": "loaded", "icon.32": "loaded", "icon.48": "loaded", "icon.256": "loaded"})
        # --show reads back what Windows reads, with the tool's own PE reader.
        shown = show(exe)
        self.assertEqual({k: v for k, v in shown.items() if k in strings_of_probe},
                         {k: v for k, v in self.probe(exe).items() if k in strings_of_probe})
        self.assertEqual((shown["fixed file version"], shown["fixed product version"],
                          shown["icon sizes"], shown["code page"], shown["signed"]),
                         ("2.5.1.0", "2.5.1.0", "16", "UTF-8", "no"))
        # The vendor's icon replaced the default one: one image, the one given.
        listing = subprocess.run(["wrestool", "-l", exe], capture_output=True, text=True).stdout
        self.assertEqual(listing.count("--type=3 "), 1, listing)
        with open(icon_path, "rb") as f:
            self.assertEqual(subprocess.run(["wrestool", "-x", "--raw", "-t3", "-n1", exe],
                                            capture_output=True).stdout, f.read()[22:])
        # Without a description or product name, both fall back to --name.
        plain = os.path.join(self.work, "Plain")
        self.assertEqual(self.assemble(plain, "--app-version", "3").returncode, 0)
        strings = self.probe(os.path.join(plain, "Demo.exe"))
        self.assertEqual((strings["ProductName"], strings["FileDescription"], strings["FileVersion"],
                          strings["binary.FileVersion"]), ("Demo", "Demo", "3", "3.0.0.0"))

    def test_branded_and_signed_exe_launches_and_its_signature_holds(self):
        cert, key = openssl_certificate(self.work, "Acme Test Signing")
        image = os.path.join(self.work, "Signed")
        result = self.assemble(image, *self.BRANDING, "--sign-cert", cert, "--sign-key", key)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("not trusted by this machine", result.stderr)
        self.assertIn("note: signed Demo.exe;", result.stderr)  # the exe, not a scratch copy
        exe = os.path.join(image, "Demo.exe")
        self.assertEqual(osslsigncode_verify(exe, cert).returncode, 0)
        self.assertTrue(show(exe)["signed"].startswith("yes"))

        # Manifest and export intact: the launcher still runs the application, both ways.
        with open(LAUNCHER, "rb") as f:
            launcher_manifest = pe.PEImage(f.read()).resources().types[pe.RT_MANIFEST]
        with open(exe, "rb") as f:
            branded = f.read()
        self.assertEqual({n: {l: r.data for l, r in v.items()} for n, v in
                          pe.PEImage(branded).resources().types[pe.RT_MANIFEST].items()},
                         {n: {l: r.data for l, r in v.items()} for n, v in launcher_manifest.items()})
        exports = subprocess.run([OBJDUMP, "-p", exe], capture_output=True, text=True).stdout
        self.assertIn("jvmLauncherGetAPI", exports)
        app = wine_path(os.path.join(image, "app"))
        for path in ("restart", "in process"):
            env = {"WINEPATH": app} if path == "in process" else {}
            values = self.record_of_run(image, "Demo", env=env)
            self.assertEqual(values["args"][-1], b"app.Main", path)
            seen_path = values["env.PATH"]
            self.assertEqual(seen_path.lower().endswith(";" + app.lower()), path == "restart", seen_path)

        # A PKCS#12 file and its password from the environment sign alike; a wrong password
        # is named as such.
        p12 = os.path.join(self.work, "signing.p12")
        subprocess.run(["openssl", "pkcs12", "-export", "-in", cert, "-inkey", key, "-out", p12,
                        "-passout", "pass:s3cret pw"], check=True, capture_output=True)
        for password, expected in (("s3cret pw", 0), ("wrong", 1)):
            pkcs12_image = os.path.join(self.work, "Pkcs12" + password[:1])
            result = subprocess.run(
                [sys.executable, TOOL, "--name", "Demo", "--launcher", LAUNCHER, "--runtime",
                 self.runtime, "--main-class", "M", "--output", pkcs12_image, "--sign-pkcs12", p12,
                 "--sign-password-env", "CORVELA_TEST_PASSWORD"],
                capture_output=True, text=True, env=dict(os.environ, CORVELA_TEST_PASSWORD=password))
            self.assertEqual(result.returncode, expected, result.stderr)
            if expected == 0:
                self.assertEqual(osslsigncode_verify(os.path.join(pkcs12_image, "Demo.exe"), cert).returncode, 0)
            else:
                self.assertIn("password is wrong", result.stderr)
                self.assertFalse(os.path.exists(pkcs12_image))

        # One changed byte, and the signature no longer holds.
        tampered = os.path.join(self.work, "tampered.exe")
        with open(tampered, "wb") as f:
            f.write(branded[:0x400] + bytes([branded[0x400] ^ 0xFF]) + branded[0x401:])
        self.assertNotEqual(osslsigncode_verify(tampered, cert).returncode, 0)

    def test_bad_branding_input_is_reported_and_writes_nothing(self):
        not_an_icon = os.path.join(self.work, "picture.ico")
        with open(not_an_icon, "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n" + bytes(64))
        with open(LAUNCHER, "rb") as f:
            launcher = f.read()
        appended = os.path.join(self.work, "appended.exe")
        with open(appended, "wb") as f:
            f.write(launcher + b"payload")
        thirty_two_bit = os.path.join(self.work, "x86.exe")
        data = bytearray(launcher)
        struct.pack_into("<H", data, struct.unpack_from("<I", data, 0x3C)[0] + 4, 0x14C)
        with open(thirty_two_bit, "wb") as f:
            f.write(data)
        cert, key = openssl_certificate(self.work, "Right")
        _, other_key = openssl_certificate(self.work, "Wrong")
        signed = os.path.join(self.work, "signed.exe")
        subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-in", LAUNCHER,
                        "-out", signed], check=True, capture_output=True)
        image = os.path.join(self.work, "Bad")
        cases = [
            (["--icon", not_an_icon], {}, "is not an icon file", FAILED),
            (["--app-version", "1.2.3.4.5"], {}, "is not 1 to 4 numbers", FAILED),
            (["--app-version", "1.70000"], {}, "above 65535", FAILED),
            (["--vendor", "Acme"], {}, "give --app-version", USAGE),
            (["--launcher", appended], {}, "has data appended after its last section", FAILED),
            (["--launcher", thirty_two_bit], {}, "is not a 64-bit (x64 or ARM64) Windows executable", FAILED),
            (["--launcher", signed], {}, "is signed already", FAILED),
            (["--sign-cert", cert, "--sign-key", other_key], {}, "the key does not match the certificate", FAILED),
            (["--sign-cert", cert], {}, "needs both --sign-cert and --sign-key", USAGE),
            (["--sign-cert", cert, "--sign-key", key], {"PATH": "/nonexistent"}, "osslsigncode, which is not installed", FAILED),
            (["--sign-pkcs12", cert, "--sign-password-env", "CORVELA_NO_SUCH_VAR"], {}, "is not set", FAILED),
        ]
        for extra, env, message, code in cases:
            with self.subTest(message):
                result = subprocess.run(
                    [sys.executable, TOOL, "--name", "Demo", "--launcher", LAUNCHER, "--runtime",
                     self.runtime, "--main-class", "M", "--output", image] + extra,
                    capture_output=True, text=True, env=dict(os.environ, **env))
                self.assertEqual(result.returncode, code, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertFalse(os.path.exists(image))
        self.assertEqual([n for n in os.listdir(self.work) if n.startswith(".corvela-image-")], [])


class ConsoleImageTest(ImageFixture):
    def test_console_images_get_the_console_launcher(self):
        image = os.path.join(self.work, "Tool")
        result = image_tool("--name", "tool", "--launcher", LAUNCHER, "--console", "--runtime",
                            self.runtime, "--main-class", "tool.Main", "--app-version", "1.0",
                            "--output", image)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(os.path.join(image, "tool.exe"), "rb") as f:
            exe = pe.PEImage(f.read())
        self.assertEqual(exe.subsystem(), pe.IMAGE_SUBSYSTEM_WINDOWS_CUI)
        # The shell gets the application's output and exit code, through a pipe.
        out = subprocess.run([WINE_RUN, os.path.join(image, "tool.exe")], capture_output=True,
                             stdin=subprocess.DEVNULL, timeout=120,
                             env=dict(os.environ, STANDIN_PRINT="done", STANDIN_SYSTEM_EXIT="3"))
        self.assertEqual(out.returncode, 3, out.stderr)
        self.assertEqual(out.stdout.replace(b"\r", b""), b"out:done\n")

    def test_console_needs_a_console_launcher(self):
        lone = os.path.join(self.work, "lone", "corvela.exe")
        os.makedirs(os.path.dirname(lone))
        shutil.copy(LAUNCHER, lone)
        renamed = os.path.join(self.work, "lone", "corvela-console.exe")
        for launcher, message in ((lone, "needs corvela-console.exe beside"), (None, "is not a console program")):
            if launcher is None:
                shutil.copy(LAUNCHER, renamed)
                launcher = lone
            image = os.path.join(self.work, "Tool")
            result = image_tool("--name", "tool", "--launcher", launcher, "--console", "--runtime",
                                self.runtime, "--main-class", "M", "--output", image)
            self.assertEqual(result.returncode, 1)
            self.assertIn(message, result.stderr)
            self.assertFalse(os.path.exists(image))


def code_section(path):
    """The digest of an exe's code: what branding leaves alone."""
    with open(path, "rb") as f:
        exe = pe.PEImage(f.read())
    text = next(s for s in exe.sections if s.name.rstrip(b"\0") == b".text")
    start = text.pointer_to_raw_data
    return hashlib.sha256(exe.data[start:start + text.size_of_raw_data]).hexdigest()


class FullLauncherTest(ImageFixture):
    """The plain launchers leave out staged updates and the search for an installed Java:
    the tool gives an image that uses either the full launcher, and the plain one refuses
    such an image in so many words."""

    def setUp(self):
        super().setUp()
        self.key = os.path.join(self.work, "feed.pem")
        subprocess.run(["openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out",
                        self.key], check=True, capture_output=True)

    def assemble(self, image, *options):
        result = image_tool("--name", "App", "--launcher", LAUNCHER, "--main-class", "M", "--jar",
                            self.jars[0], "--package", "Acme App", "--app-version", "1.0",
                            "--output", image, *options)
        self.assertEqual(result.returncode, 0, result.stderr)
        return os.path.join(image, "App.exe")

    def test_each_image_gets_the_launcher_it_needs(self):
        runtime = ("--runtime", self.runtime)
        updates = ("--update-url", "https://example.com/feed", "--update-key", self.key)
        installed = ("--runtime-min-version", "17")
        for number, (options, binary) in enumerate((
                (runtime, "corvela.exe"),
                (runtime + ("--console",), "corvela-console.exe"),
                (runtime + updates, "corvela-full.exe"),
                (runtime + updates + ("--console",), "corvela-console-full.exe"),
                (installed, "corvela-full.exe"),
                (installed + ("--console",), "corvela-console-full.exe"),
                (installed + updates + ("--console",), "corvela-console-full.exe"),
                (runtime + updates + ("--service",), "corvela-service.exe"))):
            with self.subTest(options=" ".join(options)):
                exe = self.assemble(os.path.join(self.work, "App%d" % number), *options)
                expected = code_section(os.path.join(BUILD, "bin", binary))
                self.assertEqual(code_section(exe), expected,
                                 "%s is not made of %s" % (exe, binary))

    def test_a_full_launcher_missing_beside_the_one_given_is_named(self):
        lone = os.path.join(self.work, "lone", "corvela.exe")
        os.makedirs(os.path.dirname(lone))
        shutil.copy(LAUNCHER, lone)
        shutil.copy(os.path.join(BUILD, "bin", "corvela-update.jar"), os.path.dirname(lone))
        for number, (options, message) in enumerate((
                (("--runtime-min-version", "17"),
                 "the Java installed on the machine (--runtime-min-version) needs corvela-full.exe "
                 "beside the launcher " + lone),
                (("--runtime", self.runtime, "--update-url", "https://example.com/feed",
                  "--update-key", self.key),
                 "updates (--update-url) needs corvela-full.exe beside the launcher " + lone))):
            with self.subTest(options=" ".join(options)):
                image = os.path.join(self.work, "App%d" % number)
                result = image_tool("--name", "App", "--launcher", lone, "--main-class", "M",
                                    "--jar", self.jars[0], "--package", "Acme App",
                                    "--app-version", "1.0", "--output", image, *options)
                self.assertEqual(result.returncode, FAILED, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertFalse(os.path.exists(image))

    def test_the_plain_launcher_refuses_what_it_has_not(self):
        """An image put together by other means, its configuration asking for a room the
        plain launcher has not, fails at once and says what to do, rather than run without."""
        for number, (what, edit, message) in enumerate((
                ("updates", lambda lines, runtime: lines + ["app.update-key=AAAA"],
                 "is a launcher without staged updates, which \"app.update-key\" in its "
                 "configuration asks for"),
                ("installed Java", lambda lines, runtime: (shutil.rmtree(runtime), [
                    line for line in lines if not line.startswith("app.runtime=")] + [
                    "app.runtime-min-version=17"])[1],
                 "is a launcher without the search for an installed Java, which an image without "
                 "a runtime of its own asks for"))):
            with self.subTest(what=what):
                image = os.path.join(self.work, "App%d" % number)
                exe = self.assemble(image, "--runtime", self.runtime, "--console")
                cfg = os.path.join(image, "app", "App.cfg")
                with open(cfg, encoding="utf-8") as f:
                    lines = f.read().splitlines()
                lines = edit(lines, os.path.join(image, "runtime"))
                with open(cfg, "w", encoding="utf-8") as f:
                    f.write("\n".join(lines) + "\n")
                out = subprocess.run([WINE_RUN, exe], capture_output=True, text=True,
                                     stdin=subprocess.DEVNULL, timeout=120,
                                     env=dict(os.environ, STANDIN_PRINT="ran"))
                self.assertEqual(out.returncode, 1, out.stderr)
                self.assertNotIn(":ran", out.stdout + out.stderr)  # the application never started
                self.assertIn(message, out.stderr)
                self.assertIn("rebuild the image with corvela-image", out.stderr)


class SingleInstanceImageTest(ImageFixture):
    def test_single_instance_sets_the_key_and_ships_the_library(self):
        for flag in (True, False):
            with self.subTest(single_instance=flag):
                image = os.path.join(self.work, "Demo-%s" % flag)
                result = image_tool("--name", "Demo", "--launcher", LAUNCHER, "--runtime",
                                    self.runtime, "--jar", self.jars[0], "--main-class", "app.Main",
                                    "--output", image, *(["--single-instance"] if flag else []))
                self.assertEqual(result.returncode, 0, result.stderr)
                with open(os.path.join(image, "app", "Demo.cfg"), encoding="utf-8") as f:
                    cfg = f.read().splitlines()
                jar = os.path.join(image, "app", "corvela-instance.jar")
                self.assertEqual("app.single-instance=true" in cfg, flag)
                self.assertEqual("app.classpath=$APPDIR\\corvela-instance.jar" in cfg, flag)
                self.assertEqual(os.path.exists(jar), flag)
                if flag:
                    with open(jar, "rb") as a, open(os.path.join(BUILD, "bin", "corvela-instance.jar"), "rb") as b:
                        self.assertEqual(a.read(), b.read())

    def test_a_note_when_no_class_uses_the_library(self):
        user = self.jar("user.jar", ["app/Main.class"])
        with zipfile.ZipFile(user, "a") as archive:
            # A constant pool entry as javac writes it for a call of SingleInstance.onRequest.
            archive.writestr("app/Open.class", b"\xca\xfe\xba\xbe\x01\x00\x23"
                             b"org/corvela/instance/SingleInstance")
        plain = self.jar("plain.jar", ["app/Main.class"])
        note = "no class in plain.jar uses org.corvela.instance.SingleInstance"
        for jars, single, expected in [
            ([plain], True, True),
            ([plain, user], True, False),
            ([plain], False, False),
        ]:
            with self.subTest(jars=[os.path.basename(jar) for jar in jars], single=single):
                image = os.path.join(self.work, "Note-%d-%s" % (len(jars), single))
                args = ["--name", "Demo", "--launcher", LAUNCHER, "--runtime", self.runtime,
                        "--main-class", "app.Main", "--output", image]
                for jar in jars:
                    args += ["--jar", jar]
                result = image_tool(*args, *(["--single-instance"] if single else []))
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(note in result.stderr, expected, result.stderr)
                self.assertEqual("runs on its own" in result.stderr, expected, result.stderr)

    def test_single_instance_needs_the_library_beside_the_launcher(self):
        lone = os.path.join(self.work, "lone", "corvela.exe")
        os.makedirs(os.path.dirname(lone))
        shutil.copy(LAUNCHER, lone)
        image = os.path.join(self.work, "Demo")
        result = image_tool("--name", "Demo", "--launcher", lone, "--runtime", self.runtime,
                            "--main-class", "M", "--single-instance", "--output", image)
        self.assertEqual(result.returncode, 1)
        self.assertIn("single-instance library", result.stderr)
        self.assertIn("corvela-instance.jar does not exist", result.stderr)
        self.assertFalse(os.path.exists(image))


class CodePageTest(ImageFixture):
    """Which code page the image's exe declares, and what a runtime then receives."""

    NON_ASCII = "\u041f\u0440\u0438\u043b\u043e\u0436\u0435\u043d\u0438\u0435 \u65e5\u672c"

    def assemble(self, image, *extra):
        return image_tool("--name", "Demo", "--launcher", LAUNCHER, "--runtime", self.runtime,
                          "--main-jar", self.jars[0], "--output", image, *extra)

    def manifest_of(self, exe):
        with open(exe, "rb") as f:
            tree = pe.PEImage(f.read()).resources()
        return tree.get(pe.RT_MANIFEST, 1, 1033).data.decode("utf-8")

    def test_utf8_images_give_a_modern_runtime_every_path_and_argument_exactly(self):
        image = os.path.join(self.work, self.NON_ASCII, "Demo")
        result = self.assemble(image, "--code-page", "utf-8")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")
        exe = wine_path(os.path.join(image, "Demo.exe"))
        jar = wine_path(os.path.join(image, "app", "main.jar"))
        for path in ("restart", "in process"):
            env = {"WINEPATH": wine_path(os.path.join(image, "app"))} if path == "in process" else {}
            values = self.record_of_run(image, "Demo", ["\u05e9\u05dc\u05d5\u05dd caf\u00e9"], env)
            self.assertEqual(values["acp"], "65001", path)
            self.assertEqual(values["args"], [a.encode("utf-8") for a in (
                exe, "-Dcorvela.app-path=" + exe, "-jar", jar, "\u05e9\u05dc\u05d5\u05dd caf\u00e9")], path)

    def test_ansi_images_convert_to_the_ansi_code_page(self):
        # A runtime too old to read UTF-8 arguments: auto leaves the declaration out, and the
        # launcher converts to the ANSI code page, whose default character replaces the rest.
        with open(os.path.join(self.runtime, "release"), "w") as f:
            f.write('JAVA_VERSION="17.0.4"\n')
        image = os.path.join(self.work, "Ansi")
        result = self.assemble(image)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertNotIn("activeCodePage", self.manifest_of(os.path.join(image, "Demo.exe")))
        values = self.record_of_run(image, "Demo", ["\u4f60\u597d caf\u00e9"])
        self.assertEqual(values["acp"], "1252")
        self.assertEqual(values["args"][-1], "?? caf\u00e9".encode("cp1252"))
        # Everything else in the manifest is as the launcher has it.
        without = self.manifest_of(LAUNCHER).replace(
            '      <activeCodePage xmlns="http://schemas.microsoft.com/SMI/2019/WindowsSettings">'
            'UTF-8</activeCodePage>\n', "")
        self.assertEqual(self.manifest_of(os.path.join(image, "Demo.exe")), without)

    def test_an_unknown_runtime_keeps_utf8_and_says_how_to_choose(self):
        image = os.path.join(self.work, "Unknown")
        result = image_tool("--name", "Demo", "--launcher", LAUNCHER, "--runtime-path",
                            "$ROOTDIR\\jre", "--main-class", "M", "--jar", self.jars[0],
                            "--output", image)
        self.assertEqual(result.returncode, 0, result.stderr)
        notes = [line for line in result.stderr.splitlines() if line]
        self.assertEqual(len(notes), 1, result.stderr)
        self.assertIn("--code-page ansi", notes[0])
        self.assertIn("UTF-8</activeCodePage>", self.manifest_of(os.path.join(image, "Demo.exe")))

class InputCheckTest(ImageFixture):
    """Input checked before any work, and errors that name the option, the file and what
    is wrong."""

    def build(self, image, *extra, env=None):
        return subprocess.run([sys.executable, TOOL, "--name", "Demo", "--launcher", LAUNCHER,
                               "--runtime", self.runtime, "--output", image] + list(extra),
                              capture_output=True, text=True, env=dict(os.environ, **(env or {})))

    def test_the_main_class_is_looked_for_in_the_jars(self):
        main, lib = self.jars
        no_main_class = self.jar("plain.jar", ["app/Main.class"])
        wrong_main_class = self.jar("wrong.jar", ["app/Main.class"], "app.Gone")
        # Manifest attribute names are read in any case, as Java reads them.
        lower_case = self.jar("lower.jar", ["app/Main.class"], None, ["main-class: app.Main"])
        multi_release = self.jar("mr.jar", ["META-INF/versions/11/app/Mr.class"], None,
                                 ["Multi-Release: true"])
        not_a_zip = os.path.join(self.work, "broken.jar")
        with open(not_a_zip, "wb") as f:
            f.write(b"PK")
        exploded = os.path.join(self.work, "mods")
        os.makedirs(os.path.join(exploded, "demo", "demo"))
        with open(os.path.join(exploded, "demo", "demo", "Main.class"), "wb"):
            pass
        # (arguments, error text or None, note text or None)
        cases = [
            (["--main-class", "app.Main", "--jar", main], None, None),
            (["--main-class", "lib.Helper", "--jar", main, "--jar", lib], None, None),
            (["--main-jar", main], None, None),
            (["--main-jar", no_main_class, "--main-class", "app.Main"], None, None),
            (["--main-jar", lower_case], None, None),
            (["--main-class", "app.Mr", "--jar", multi_release], None, None),
            (["--main-module", "demo/demo.Main", "--module-path", exploded], None, None),
            (["--main-class", "app.Missing", "--jar", main, "--jar", lib],
             "--main-class app.Missing is in none of the jars: no app/Missing.class in main.jar, lib one.jar", None),
            (["--main-jar", wrong_main_class],
             "names Main-Class app.Gone, which is in none of the jars: no app/Gone.class in wrong.jar", None),
            (["--main-jar", no_main_class], "names no Main-Class in its manifest", None),
            # Where the tool cannot tell, a note.
            (["--main-class", "app.Main"], None, "no --jar or --main-jar given"),
            (["--main-class", "x.Y", "--jar", main, "--java-option", "-cp", "--java-option", "extra"],
             None, "cannot look into -cp"),
            (["--main-class", "app.Main", "--jar", not_a_zip], None, "cannot look into broken.jar"),
            (["--main-module", "demo/demo.Other", "--module-path", exploded], None, "no demo/Other.class"),
        ]
        for number, (args, error, note) in enumerate(cases):
            with self.subTest(args=args):
                image = os.path.join(self.work, "Main%d" % number)
                result = self.build(image, "--code-page", "utf-8", *args)
                notes = [line for line in result.stderr.splitlines() if line]
                if error:
                    self.assertEqual(result.returncode, 1, result.stderr)
                    self.assertEqual(len(notes), 1, result.stderr)
                    self.assertIn(error, notes[0])
                    self.assertFalse(os.path.exists(image))
                else:
                    self.assertEqual(result.returncode, 0, result.stderr)
                    self.assertEqual(len(notes), 1 if note else 0, result.stderr)
                    if note:
                        self.assertIn("note: ", notes[0])
                        self.assertIn(note, notes[0])

    def test_errors_name_the_option_and_the_file(self):
        missing_icon = os.path.join(self.work, "gone.ico")
        jar_directory = os.path.join(self.work, "classes.jar")
        os.makedirs(jar_directory)
        image = os.path.join(self.work, "Named")
        trimmed = os.path.join(self.work, "trimmed")
        os.makedirs(os.path.join(trimmed, "bin"))
        shutil.copy(os.path.join(self.runtime, "bin", "jli.dll"), os.path.join(trimmed, "bin"))
        cases = [
            (["--main-class", "M", "--icon", missing_icon], "--icon %s does not exist" % missing_icon),
            (["--main-class", "M", "--jar", jar_directory], "--jar %s is a directory, not a file" % jar_directory),
            (["--main-class", "M", "--jar", self.jars[0], "--app-version", "1.0", "--vendor", "Acme",
              "--msi", os.path.join(image, "Demo.msi")], "lies inside the image"),
            (["--main-class", "M", "--splash", self.splash + ".gone"], "--splash %s.gone does not exist" % self.splash),
            (["--main-class", "M", "--splash", self.splash, "--runtime", trimmed],
             "--runtime %s lacks bin/server/jvm.dll and bin/splashscreen.dll" % trimmed),
        ]
        for args, message in cases:
            with self.subTest(message):
                result = self.build(image, *args)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
                self.assertTrue(result.stderr.startswith("corvela-image: error: "), result.stderr)
                self.assertIn(message, result.stderr)
                self.assertNotIn("Errno", result.stderr)
                self.assertFalse(os.path.exists(image))

    def test_icon_images_windows_cannot_load_are_named(self):
        wrong = os.path.join(self.work, "wide.ico")
        sixteen_bit_png = (b"\x89PNG\r\n\x1a\n" + struct.pack(">I4sIIBBBBB", 13, b"IHDR", 256, 256, 16, 6, 0, 0, 0) +
                           bytes(4))
        small = tiny_icon(b"\x10\x80\x20\xff")
        with open(wrong, "wb") as f:
            f.write(icon.Icon([icon.Icon.parse(small).entries[0],
                               icon.IconDirEntry(0, 0, 0, 0, 1, 32, len(sixteen_bit_png), 0)],
                              [icon.Icon.parse(small).images[0], sixteen_bit_png]).ico_bytes())
        image = os.path.join(self.work, "Icon")
        result = self.build(image, "--main-class", "M", "--jar", self.jars[0], "--icon", wrong)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("--icon %s: the 256\u00d7256 image is a 16-bit-per-channel PNG; Windows loads "
                      "only 8-bit RGBA PNG icons" % wrong, result.stderr)
        self.assertFalse(os.path.exists(image))

    def test_a_key_that_does_not_fit_is_found_before_the_runtime_is_copied(self):
        cert, _ = openssl_certificate(self.work, "Right")
        _, other_key = openssl_certificate(self.work, "Wrong")
        # Copying this runtime fails: only a check made before the copy names the key.
        os.symlink(os.path.join(self.work, "nowhere"), os.path.join(self.runtime, "dangling"))
        image = os.path.join(self.work, "Key")
        result = self.build(image, "--main-class", "M", "--jar", self.jars[0],
                            "--sign-cert", cert, "--sign-key", other_key)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("signing Demo.exe failed: the key does not match the certificate", result.stderr)
        self.assertFalse(os.path.exists(image))


FAKE_SIGNER = """#!/bin/sh
# Interrupts the image tool while it signs in its scratch directory, as Ctrl+C would, and
# waits until the interrupted tool kills it.
case "$*" in
  *.corvela-image-*) kill -INT $PPID; exec sleep infinity ;;
esac
exec %s "$@"
"""

FAILING_SIGNER = """#!/bin/sh
# Fails to sign the exe called Zeta.exe in the image tool's scratch directory.
case "$*" in
  *.corvela-image-*/Zeta.exe*) echo "cannot sign this one" >&2; exit 1 ;;
esac
exec %s "$@"
"""

INSTALLER_FAILING_SIGNER = """#!/bin/sh
# Signs exes, and fails to sign any installer.
case "$*" in
  *.msi*) echo "cannot sign the installer" >&2; exit 1 ;;
esac
exec %s "$@"
"""


class CleanupTest(ImageFixture):
    """A failed or interrupted run leaves the file system as it was and says one line."""

    def entries(self):
        found = set()
        for parent, dirs, files in os.walk(self.work):
            found.update(os.path.join(parent, name) for name in dirs + files)
        return found

    def run_tool(self, image, *extra, env=None):
        cert, key = openssl_certificate(self.work, "Signer")
        before = self.entries()
        result = subprocess.run(
            [sys.executable, TOOL, "--name", "Demo", "--launcher", LAUNCHER, "--runtime", self.runtime,
             "--main-jar", self.jars[0], "--output", image, "--sign-cert", cert, "--sign-key", key] +
            list(extra), capture_output=True, text=True, stdin=subprocess.DEVNULL,
            env=dict(os.environ, **(env or {})), timeout=300)
        self.assertEqual(self.entries(), before, result.stderr)
        self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
        self.assertNotIn("Traceback", result.stderr)
        return result

    def test_a_failed_signing_leaves_no_folder_it_made(self):
        # The time-stamp server refuses: signing fails at the very end.
        image = os.path.join(self.work, "new", "parents", "Demo")
        msi = os.path.join(self.work, "other", "Demo.msi")
        for extra in ([], ["--app-version", "1.0", "--vendor", "Acme", "--msi", msi]):
            with self.subTest(extra=extra):
                result = self.run_tool(image, "--timestamp-url", "http://127.0.0.1:9", *extra)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertIn("error: signing Demo.exe failed", result.stderr)

    def test_an_interrupt_cleans_up_and_says_one_line(self):
        fake = os.path.join(self.work, "bin", "osslsigncode")
        os.makedirs(os.path.dirname(fake))
        with open(fake, "w") as f:
            f.write(FAKE_SIGNER % shutil.which("osslsigncode"))
        os.chmod(fake, 0o755)
        image = os.path.join(self.work, "new", "Demo")
        path = os.path.dirname(fake) + os.pathsep + os.environ["PATH"]
        result = self.run_tool(image, env={"PATH": path})
        self.assertEqual(result.returncode, 130, result.stderr)
        self.assertEqual(result.stderr, "corvela-image: interrupted; nothing is written\n")


class ExistingImageTest(ImageFixture):
    """An image built and tested before, then signed and packaged."""

    def setUp(self):
        super().setUp()
        self.image = os.path.join(self.work, "out", "Demo")
        result = image_tool("--name", "Demo", "--launcher", LAUNCHER, "--runtime", self.runtime,
                            "--main-jar", self.jars[0], "--jar", self.jars[1], "--output", self.image,
                            "--app-version", "2.1.0", "--vendor", "Acme", "--product-name", "Acme Demo")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.exe = os.path.join(self.image, "Demo.exe")
        with open(self.exe, "rb") as f:
            self.unsigned = f.read()

    def test_signing_in_place_is_all_or_nothing(self):
        cert, key = openssl_certificate(self.work, "Later")
        failed = image_tool("--image", self.image, "--sign-cert", cert, "--sign-key", key,
                            "--timestamp-url", "http://127.0.0.1:9")
        self.assertEqual(failed.returncode, 1, failed.stderr)
        with open(self.exe, "rb") as f:
            self.assertEqual(f.read(), self.unsigned)
        self.assertEqual(sorted(os.listdir(os.path.dirname(self.image))), ["Demo"])
        # Two launchers, and signing the second fails: the first stays unsigned too.
        second = os.path.join(self.image, "Zeta.exe")
        shutil.copy2(self.exe, second)
        shutil.copy2(os.path.join(self.image, "app", "Demo.cfg"), os.path.join(self.image, "app", "Zeta.cfg"))
        fake = os.path.join(self.work, "bin", "osslsigncode")
        os.makedirs(os.path.dirname(fake))
        with open(fake, "w") as f:
            f.write(FAILING_SIGNER % shutil.which("osslsigncode"))
        os.chmod(fake, 0o755)
        path = os.path.dirname(fake) + os.pathsep + os.environ["PATH"]
        failed = subprocess.run([sys.executable, TOOL, "--image", self.image, "--sign-cert", cert,
                                 "--sign-key", key], capture_output=True, text=True,
                                env=dict(os.environ, PATH=path))
        self.assertEqual(failed.returncode, 1, failed.stderr)
        self.assertIn("signing Zeta.exe failed", failed.stderr)
        for exe in (self.exe, second):
            with open(exe, "rb") as f:
                self.assertEqual(f.read(), self.unsigned, exe)
        self.assertEqual(sorted(os.listdir(os.path.dirname(self.image))), ["Demo"])
        os.remove(second)
        os.remove(os.path.join(self.image, "app", "Zeta.cfg"))
        # The exe is signed and in place, then its installer fails: the exe is put back.
        with open(fake, "w") as f:
            f.write(INSTALLER_FAILING_SIGNER % shutil.which("osslsigncode"))
        msi = os.path.join(self.work, "dist", "Demo.msi")
        failed = subprocess.run([sys.executable, TOOL, "--image", self.image, "--sign-cert", cert,
                                 "--sign-key", key, "--msi", msi], capture_output=True, text=True,
                                env=dict(os.environ, PATH=path))
        self.assertEqual(failed.returncode, 1, failed.stderr)
        self.assertIn("signing Demo.msi failed", failed.stderr)
        with open(self.exe, "rb") as f:
            self.assertEqual(f.read(), self.unsigned)
        self.assertFalse(os.path.exists(msi))
        self.assertEqual(sorted(os.listdir(os.path.dirname(self.image))), ["Demo"])
        signed = image_tool("--image", self.image, "--sign-cert", cert, "--sign-key", key)
        self.assertEqual(signed.returncode, 0, signed.stderr)
        self.assertIn("note: signed Demo.exe;", signed.stderr)
        self.assertEqual(osslsigncode_verify(self.exe, cert).returncode, 0)
        self.assertEqual(sorted(os.listdir(os.path.dirname(self.image))), ["Demo"])
        # The application still starts from the signed exe.
        self.assertTrue(self.record_of_run(self.image, "Demo")["args"][-1].endswith(b"main.jar"))

    def test_an_installer_of_a_built_image(self):
        msi = os.path.join(self.work, "dist", "Demo-2.1.0.msi")
        result = image_tool("--image", self.image, "--msi", msi)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.strip(), msi)
        # Version, vendor and product name come from the exe's own version information.
        summary = subprocess.run(["msiinfo", "export", msi, "Property"], capture_output=True,
                                 text=True).stdout
        for line in ("ProductVersion\t2.1.0", "Manufacturer\tAcme", "ProductName\tAcme Demo"):
            self.assertIn(line, summary)
        extracted = os.path.join(self.work, "extracted")
        os.makedirs(extracted)
        subprocess.run(["msiextract", "-C", extracted, msi], check=True, capture_output=True)
        files = {os.path.relpath(os.path.join(p, n), self.image) for p, _, ns in os.walk(self.image) for n in ns}
        installed = next(p for p, _, ns in os.walk(extracted) if "Demo.exe" in ns)
        found = {os.path.relpath(os.path.join(p, n), installed) for p, _, ns in os.walk(installed) for n in ns}
        self.assertEqual(found, files)

    def test_an_installer_of_an_image_alone_is_refused_when_it_would_leave_out_a_part(self):
        # How a service is installed and how file types are registered is given when the
        # image is assembled, and the image does not record it.
        server = os.path.join(self.work, "out", "Server")
        result = image_tool("--name", "Server", "--launcher", LAUNCHER, "--service", "--runtime",
                            self.runtime, "--main-jar", self.jars[0], "--output", server,
                            "--app-version", "1.0.0", "--vendor", "Acme")
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(os.path.join(self.work, "typed.ico"), "wb") as f:
            f.write(tiny_icon((0, 0, 255, 255)))
        described = os.path.join(self.work, "typed.toml")
        with open(described, "w", encoding="utf-8") as f:
            f.write('name = "Typed"\napp-version = "1.0.0"\nvendor = "Acme"\n'
                    'runtime = "runtime"\njars = ["%s"]\noutput = "out/Typed"\n'
                    '\n[[launcher]]\nname = "Typed"\nmain-class = "app.Main"\n'
                    '\n[[association]]\nlauncher = "Typed"\nextensions = ["typd"]\n'
                    'icon = "typed.ico"\n' % os.path.basename(self.jars[0]))
        # Without an installer, the image keeps no trace of them: the run says so.
        result = image_tool(described, "--launcher-dir", os.path.dirname(LAUNCHER), "--output",
                            os.path.join(self.work, "out", "Untyped"))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("does not record them for an installer built from it later", result.stderr)
        result = image_tool(described, "--launcher-dir", os.path.dirname(LAUNCHER), "--msi",
                            os.path.join(self.work, "Typed.msi"))
        self.assertEqual(result.returncode, 0, result.stderr)
        cases = [(server, ["the service Server.exe", "its name, start and account"]),
                 (os.path.join(self.work, "out", "Typed"),
                  ["the file type .typd", "app\\icons holds their icons"])]
        for image, words in cases:
            with self.subTest(image=os.path.basename(image)):
                msi = os.path.join(self.work, "dist", os.path.basename(image) + ".msi")
                refused = image_tool("--image", image, "--msi", msi)
                self.assertEqual(refused.returncode, FAILED, refused.stderr)
                for word in words + ["build the installer in the run that assembles the image"]:
                    self.assertIn(word, refused.stderr)
                self.assertFalse(os.path.exists(os.path.dirname(msi)))

    def test_what_does_not_fit_an_existing_image_is_refused(self):
        not_an_image = os.path.join(self.work, "empty")
        os.makedirs(not_an_image)
        cases = [
            (["--image", self.image, "--jar", self.jars[0], "--msi", "x.msi"], USAGE, "--jar describes a new image"),
            (["--image", self.image], USAGE, "nothing to do"),
            (["--image", not_an_image, "--msi", os.path.join(self.work, "x.msi")], 1, "is not an image"),
            (["--image", self.image, "--name", "Other", "--msi", os.path.join(self.work, "x.msi")], 1,
             "has no launcher Other.exe"),
            (["--image", self.image, "--msi", os.path.join(self.image, "x.msi")], 1, "lies inside the image"),
        ]
        for args, code, message in cases:
            with self.subTest(message):
                result = image_tool(*args)
                self.assertEqual(result.returncode, code, result.stderr)
                self.assertIn(message, result.stderr)
        with open(self.exe, "rb") as f:
            self.assertEqual(f.read(), self.unsigned)
        self.assertFalse(os.path.exists(os.path.join(self.work, "x.msi")))


class HelpTest(unittest.TestCase):
    def test_every_tool_and_script_answers_help_and_does_nothing_else(self):
        programs = [os.path.join(ROOT, "scripts", n) for n in sorted(os.listdir(os.path.join(ROOT, "scripts")))]
        programs = [p for p in programs if os.access(p, os.X_OK)] + [TOOL]
        self.assertIn(os.path.join(ROOT, "scripts", "make-icon"), programs)
        for program in programs:
            with self.subTest(os.path.basename(program)):
                cwd = tempfile.mkdtemp(prefix="corvela-help-")
                try:
                    result = subprocess.run([program, "--help"], cwd=cwd, capture_output=True, text=True,
                                            stdin=subprocess.DEVNULL, timeout=60)
                    self.assertEqual(result.returncode, 0, result.stderr)
                    first_line = result.stdout.splitlines()[0] if result.stdout else ""
                    self.assertTrue(first_line.startswith("usage: "), result.stdout)
                    self.assertIn(os.path.basename(program), first_line)
                    self.assertEqual(os.listdir(cwd), [])
                finally:
                    shutil.rmtree(cwd, ignore_errors=True)


class DemoTest(unittest.TestCase):
    def test_demo_runs_the_java_program(self):
        have_jdk = shutil.which("javac") is not None
        if not have_jdk and os.geteuid() != 0:
            self.skipTest("no JDK here and no root to install one")
        result = subprocess.run([os.path.join(ROOT, "scripts", "demo")], capture_output=True,
                                encoding="utf-8", errors="replace", stdin=subprocess.DEVNULL,
                                timeout=1800)
        if result.returncode != 0 and not have_jdk and shutil.which("javac") is None:
            self.skipTest("no JDK could be installed:\n" + result.stdout[-2000:] + result.stderr[-2000:])
        self.assertEqual(result.returncode, 0, result.stdout[-4000:] + result.stderr[-4000:])
        out = result.stdout + result.stderr
        self.assertEqual(out.count("Hello from Java "), 11, out)
        for line in ("  arg[0] = [configured default]", "  arg[1] = [second]",
                     "  arg[0] = [from the command line]", "  arg[1] = [plain]",
                     "  arg[0] = [traced]", "demo.greeting = Hello from Demo.cfg",
                     "class path entries: 2", "corvela.app-path = ",
                     "Entering app::launch", "exit code: 0",
                     "CompanyName=Corvela Demo Vendor", "ProductVersion=1.2.0", "icon.32=loaded",
                     "  arg[0] = [Gr\u00fc\u00dfe, \u4e16\u754c]",
                     "  |   arg[1] = [through a pipe]", "  | class path entries: 2\nexit code: 3",
                     "  arg[0] = [installed]", "demo.greeting = Hello from the user's Demo.vmoptions",
                     "\\AppData\\Local\\Programs\\Demo\\Demo.exe is gone",
                     "\\D\u00e9mo \u041f\u0440\u0438\u043b\u043e\u0436\u0435\u043d\u0438\u0435 \u65e5\u672c\\Demo\\Demo.exe",
                     # The described product: a document and a link open the GUI launcher, the
                     # console companion runs by name.
                     "\\Documents Gr\u00fc\u00dfe\\Plan 1.cdemo]\n  | demo.greeting = Hello from Demo.cfg\n"
                     "  | corvela.app-path = C:\\Program Files\\Demo\\Demo.exe",
                     "  |   arg[0] = [corvela-demo:open?item=7]",
                     "  arg[0] = [from PATH]\ndemo.greeting = null\n"
                     "corvela.app-path = C:\\Program Files\\Demo\\demo-tool.exe",
                     "the document type and the link scheme are gone",
                     "demo.Main source: shared objects file (top)"):
            self.assertIn(line, out)
        self.assertIn("Corvela Demo", out)
        # The image that updates itself: 1.0.0 stages 1.1.0 from the feed on loopback and
        # restarts; the restarted start runs 1.1.0, which the image now is.
        self.assertRegex(out, "\n".join([
            r"  \| running version 1\.0\.0",
            r"  \| the feed offers version 1\.1\.0: The same program, one version on\.",
            r"  \| staged version 1\.1\.0 \(.*\); restarting to apply it",
            r"  \| running version 1\.1\.0",
            r"  \| no newer version: up to date",
            r"exit code: 0",
            r"the image now: app\.version=1\.1\.0; "
            r"the previous version kept in \.previous: .*app/Demo\.cfg"]))


if __name__ == "__main__":
    unittest.main()
