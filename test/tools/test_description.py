#!/usr/bin/env python3
"""Images described by a file: several launchers from one TOML file, each exe running its own
main class with its own options and carrying its own icon and description; the command line's
share in such a build; every error of the file naming its key and line; the same bytes from
the same inputs. And their installers under Wine's msiexec, in a prefix of their own: file
types and links that open the GUI launcher, the console launcher on PATH, all removed again."""

import filecmp
import os
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_image_tool import (BUILD, FAILED, LAUNCHER, ROOT, TOOL, USAGE, WINE_RUN, ImageFixture,  # noqa: E402
                             openssl_certificate, osslsigncode_verify, show, tiny_icon, wine_path)

LAUNCHER_DIR = os.path.dirname(LAUNCHER)


def toml_string(text):
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"')


class DescribedImageFixture(ImageFixture):
    """The stand-in runtime and jars of ImageFixture, two icons, and a description file of a
    GUI launcher and its console companion beside them."""

    def setUp(self):
        super().setUp()
        self.icons = {}
        for name, colour in (("studio.ico", b"\x10\x80\x20\xff"), ("cli.ico", b"\xc0\x10\x10\xff")):
            self.icons[name] = os.path.join(self.work, name)
            with open(self.icons[name], "wb") as f:
                f.write(tiny_icon(colour))
        # The file lies beside what it names, apart from the directory the tool runs in.
        self.source = os.path.join(self.work, "in")
        os.makedirs(self.source)
        for path in [self.runtime] + list(self.jars) + list(self.icons.values()):
            os.rename(path, os.path.join(self.source, os.path.basename(path)))

    TWO_LAUNCHERS = """
name = "Studio"
app-version = "3.1.4"
vendor = "Acme"
description = "Acme Studio"
runtime = "runtime"
jars = ["main.jar", "lib one.jar"]
output = "../out/Studio"

[[launcher]]
name = "Studio"
main-class = "app.Main"
java-options = ["-Dwho=gui", "-Xmx64m"]
arguments = ["from gui"]
icon = "studio.ico"
description = "Acme Studio editor"

[[launcher]]
name = "studio-cli"
console = true
main-class = "tool.Main"
java-options = ["-Dwho=cli"]
icon = "cli.ico"
description = "Acme Studio command line"
"""

    def describe(self, text, name="studio.toml"):
        path = os.path.join(self.source, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        return path

    def build(self, description, *extra):
        return subprocess.run([sys.executable, TOOL, description, "--launcher-dir", LAUNCHER_DIR]
                              + list(extra), capture_output=True, text=True, cwd=self.work)


class DescribedImageTest(DescribedImageFixture):
    def test_each_launcher_runs_its_own_main_class_with_its_own_options(self):
        result = self.build(self.describe(self.TWO_LAUNCHERS))
        self.assertEqual(result.returncode, 0, result.stderr)
        image = os.path.join(self.work, "out", "Studio")
        # One app\ and one runtime\ for both.
        self.assertEqual(sorted(os.listdir(image)), ["Studio.exe", "app", "runtime", "studio-cli.exe"])
        self.assertEqual(sorted(os.listdir(os.path.join(image, "app"))),
                         ["Studio.cfg", "lib one.jar", "main.jar", "studio-cli.cfg"])
        app = wine_path(os.path.join(image, "app"))
        class_path = ["-classpath", app + "\\main.jar;" + app + "\\lib one.jar"]
        expected = {
            "Studio": class_path + ["-Dwho=gui", "-Xmx64m"], "studio-cli": class_path + ["-Dwho=cli"]}
        tail = {"Studio": ["app.Main", "from gui"], "studio-cli": ["tool.Main"]}
        for name in ("Studio", "studio-cli"):
            exe = wine_path(os.path.join(image, name + ".exe"))
            for path in ("restart", "in process"):
                with self.subTest(launcher=name, path=path):
                    env = {"WINEPATH": app} if path == "in process" else {}
                    values = self.record_of_run(image, name, env=env)
                    args = [arg.decode("utf-8") for arg in values["args"]]
                    self.assertEqual(args, [exe] + expected[name] + ["-Dcorvela.app-path=" + exe] + tail[name])
                    self.assertEqual(values["env.PATH"].lower().endswith(";" + app.lower()),
                                     path == "restart", values["env.PATH"])
        # Each exe carries its own icon, description and subsystem, and the product's version.
        for name, icon_file, description, subsystem in (
                ("Studio", "studio.ico", "Acme Studio editor", "GUI"),
                ("studio-cli", "cli.ico", "Acme Studio command line", "console")):
            with self.subTest(launcher=name):
                exe = os.path.join(image, name + ".exe")
                shown = show(exe)
                self.assertEqual((shown["FileDescription"], shown["ProductVersion"],
                                  shown["ProductName"], shown["OriginalFilename"], shown["subsystem"]),
                                 (description, "3.1.4", "Studio", name + ".exe", subsystem))
                with open(os.path.join(self.source, icon_file), "rb") as f:
                    self.assertEqual(subprocess.run(["wrestool", "-x", "--raw", "-t3", "-n1", exe],
                                                    capture_output=True).stdout, f.read()[22:])

    def test_a_file_of_one_launcher_keeps_its_keys_at_the_top(self):
        text = "\n".join(line for line in self.TWO_LAUNCHERS.split("[[launcher]]")[0].splitlines()) + """
main-jar = "main.jar"
console = true
arguments = ["x y"]
"""
        result = self.build(self.describe(text))
        self.assertEqual(result.returncode, 0, result.stderr)
        image = os.path.join(self.work, "out", "Studio")
        self.assertEqual(show(os.path.join(image, "Studio.exe"))["subsystem"], "console")
        args = self.decoded_args(image, "Studio")
        self.assertEqual(args[-3:], ["-jar", wine_path(os.path.join(image, "app", "main.jar")), "x y"])

    def test_each_launcher_chooses_its_class_data_and_single_instance(self):
        text = self.TWO_LAUNCHERS.replace('name = "studio-cli"\n', 'name = "studio-cli"\nclass-data = "off"\n')
        text = text.replace('main-class = "app.Main"\n',
                            'main-class = "app.Main"\nclass-data = "auto"\nsingle-instance = true\n', 1)
        result = self.build(self.describe(text))
        self.assertEqual(result.returncode, 0, result.stderr)
        app = os.path.join(self.work, "out", "Studio", "app")
        cfgs = {}
        for name in ("Studio", "studio-cli"):
            with open(os.path.join(app, name + ".cfg"), encoding="utf-8", newline="") as f:
                cfgs[name] = f.read()
        self.assertIn("\r\napp.class-data=auto\r\napp.single-instance=true\r\n", cfgs["Studio"])
        self.assertIn("\r\napp.class-data=off\r\n", cfgs["studio-cli"])
        self.assertNotIn("single-instance", cfgs["studio-cli"])
        # The application's side of the instance goes on the class path of the launcher
        # that uses it only.
        self.assertIn("\r\napp.classpath=$APPDIR\\corvela-instance.jar\r\n", cfgs["Studio"])
        self.assertNotIn("corvela-instance.jar", cfgs["studio-cli"])
        self.assertTrue(os.path.isfile(os.path.join(app, "corvela-instance.jar")))

    def test_a_launcher_may_be_the_service(self):
        text = self.TWO_LAUNCHERS + """
[[launcher]]
name = "studio-server"
service = true
service-name = "StudioServer"
main-class = "app.Main"
"""
        result = self.build(self.describe(text))
        self.assertEqual(result.returncode, 0, result.stderr)
        image = os.path.join(self.work, "out", "Studio")
        with open(os.path.join(image, "app", "studio-server.cfg"), encoding="utf-8") as f:
            self.assertIn("app.vendor=Acme\n", f.read())
        exe = os.path.join(image, "studio-server.exe")
        self.assertEqual(show(exe)["subsystem"], "console")
        # Made of the service launcher, which alone takes calls from the service manager.
        with open(exe, "rb") as f:
            self.assertIn(b"StartServiceCtrlDispatcherW", f.read())

    def test_the_command_line_gives_where_things_go_and_the_signing_key(self):
        cert, key = openssl_certificate(self.work, "Acme Test Signing")
        other = os.path.join(self.work, "elsewhere", "Studio")
        # The file names a PKCS#12 file; signing options on the command line replace the
        # file's as a whole, so the two kinds do not clash.
        p12 = os.path.join(self.source, "unused.p12")
        with open(p12, "wb") as f:
            f.write(b"not read")
        text = self.TWO_LAUNCHERS.replace('output = "../out/Studio"', 'output = "../out/Studio"\n'
                                          'sign-pkcs12 = "unused.p12"\nsign-password-env = "UNSET_VAR"')
        result = self.build(self.describe(text), "--output", other, "--sign-cert", cert, "--sign-key", key)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.work, "out")))
        for name in ("Studio", "studio-cli"):
            with self.subTest(launcher=name):
                exe = os.path.join(other, name + ".exe")
                self.assertEqual(show(exe)["signed"], "yes (check it with osslsigncode verify)")
                self.assertEqual(osslsigncode_verify(exe, cert).returncode, 0)
        # Options that describe the image belong in the file.
        result = self.build(self.describe(self.TWO_LAUNCHERS), "--app-version", "9")
        self.assertEqual(result.returncode, 2)
        self.assertIn("--app-version is for an image described on the command line", result.stderr)

    def test_launcher_binaries_come_from_the_launcher_directory(self):
        lone = os.path.join(self.work, "lone")
        os.makedirs(lone)
        description = self.describe(self.TWO_LAUNCHERS)
        for content, message in (([], "holds no corvela.exe"),
                                 (["corvela.exe"], "needs corvela-console.exe beside")):
            for name in content:
                shutil.copy(LAUNCHER, os.path.join(lone, name))
            with self.subTest(message):
                result = subprocess.run([sys.executable, TOOL, description, "--launcher-dir", lone],
                                        capture_output=True, text=True)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.work, "out")))


CURRENT_TYPES = """
[[association]]
launcher = "Studio"
extensions = ["acme", "acmet"]
description = "Acme Studio drawing [v2] {beta}"
mime-type = "application/x-acme"

[[protocol]]
launcher = "Studio"
scheme = "acme-studio"
"""
OLD_TYPE = """
[[association]]
launcher = "Studio"
extensions = ["acmeold"]
icon = "cli.ico"
"""
PRODUCT = CURRENT_TYPES + OLD_TYPE
UPGRADE_CODE = "{9A3E4C21-0B7D-4E5F-8A61-2C3D4E5F6A7B}"


class ReproducibleTest(DescribedImageFixture):
    def test_two_builds_of_the_same_inputs_are_the_same_bytes(self):
        description = self.describe(self.TWO_LAUNCHERS.replace('output = "../out/Studio"',
                                                               'upgrade-code = "%s"' % UPGRADE_CODE)
                                    + "path = true\n" + PRODUCT)
        builds = []
        for build in ("first", "second"):
            image = os.path.join(self.work, build, "Studio")
            msi = os.path.join(self.work, build, "Studio.msi")
            result = self.build(description, "--output", image, "--msi", msi)
            self.assertEqual(result.returncode, 0, result.stderr)
            builds.append((image, msi))
        (first, first_msi), (second, second_msi) = builds
        files = sorted(os.path.relpath(os.path.join(parent, name), first)
                       for parent, _, names in os.walk(first) for name in names)
        self.assertEqual(files, sorted(os.path.relpath(os.path.join(parent, name), second)
                                       for parent, _, names in os.walk(second) for name in names))
        for name in files:
            self.assertTrue(filecmp.cmp(os.path.join(first, name), os.path.join(second, name), shallow=False), name)
            self.assertEqual(os.stat(os.path.join(first, name)).st_mtime,
                             os.stat(os.path.join(second, name)).st_mtime, name)
        with open(first_msi, "rb") as f, open(second_msi, "rb") as g:
            self.assertTrue(f.read() == g.read(), "the installers differ")
        # The summary says when: SOURCE_DATE_EPOCH where it is set.
        env = dict(os.environ, SOURCE_DATE_EPOCH="1700000000")
        msi = os.path.join(self.work, "dated.msi")
        result = subprocess.run([sys.executable, TOOL, description, "--launcher-dir", LAUNCHER_DIR,
                                 "--output", os.path.join(self.work, "dated"), "--msi", msi],
                                capture_output=True, text=True, env=env)
        self.assertEqual(result.returncode, 0, result.stderr)
        summary = subprocess.run(["msiinfo", "suminfo", msi], capture_output=True, text=True).stdout
        self.assertIn("Created: Tue Nov 14 22:13:20 2023", summary)
        self.assertEqual(os.stat(os.path.join(self.work, "dated", "app", "Studio.cfg")).st_mtime, 1700000000)


    def test_without_source_date_epoch_the_newest_input_time_is_taken(self):
        launchers = os.path.join(self.work, "launchers")
        os.makedirs(launchers)
        for name in ("corvela.exe", "corvela-console.exe"):
            shutil.copy(os.path.join(LAUNCHER_DIR, name), launchers)
        inputs = ([os.path.join(launchers, name) for name in os.listdir(launchers)]
                  + [os.path.join(self.source, name) for name in ("main.jar", "lib one.jar")]
                  + list(os.path.join(self.source, name) for name in self.icons))
        for path in inputs:
            os.utime(path, (1500000000, 1500000000))
        # Newest the middle one of the list, so that neither its first nor its last decides.
        os.utime(os.path.join(self.source, "lib one.jar"), (1600000000, 1600000000))
        description = self.describe(self.TWO_LAUNCHERS)
        env = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
        result = subprocess.run([sys.executable, TOOL, description, "--launcher-dir", launchers],
                                capture_output=True, text=True, cwd=self.work, env=env)
        self.assertEqual(result.returncode, 0, result.stderr)
        image = os.path.join(self.work, "out", "Studio")
        for name in (os.path.join("app", "Studio.cfg"), "Studio.exe"):
            with self.subTest(name):
                self.assertEqual(os.stat(os.path.join(image, name)).st_mtime, 1600000000)


PREFIX = os.path.join(BUILD, "wineprefix-product")


def wine(*command, **extra_env):
    return subprocess.run([WINE_RUN] + list(command), capture_output=True, stdin=subprocess.DEVNULL,
                          timeout=300, env=dict(os.environ, WINEPREFIX=PREFIX, CORVELA_BUILD_DIR=BUILD,
                                                **extra_env))


def registry(key, value=None):
    """With no `value`, "" when the key exists; else the data of the value (named "" for the
    key's default); None when it is not there."""
    result = wine("reg", "query", key, *(["/ve"] if value == "" else ["/v", value] if value else []))
    if result.returncode != 0:
        return None
    if value is None:
        return ""
    name = "(Default)" if value == "" else value
    for line in result.stdout.decode("utf-8", "replace").splitlines():
        parts = line.strip().split("    ")
        if len(parts) >= 2 and parts[0].lower() == name.lower():
            return parts[2] if len(parts) > 2 else ""
    return None


class ProductInstallerTest(DescribedImageFixture):
    """Installed, run and removed by msiexec in build/wineprefix-product."""

    @classmethod
    def setUpClass(cls):
        shutil.rmtree(PREFIX, ignore_errors=True)
        subprocess.run([os.path.join(ROOT, "scripts", "wine-session"), "start", BUILD],
                       env=dict(os.environ, WINEPREFIX=PREFIX, CORVELA_BUILD_DIR=BUILD), check=True,
                       stdin=subprocess.DEVNULL, capture_output=True)
        cls.local = wine("cmd", "/c", "echo %LOCALAPPDATA%").stdout.decode().strip()
        cls.program_files = wine("cmd", "/c", "echo %ProgramFiles%").stdout.decode().strip()

    @classmethod
    def tearDownClass(cls):
        subprocess.run([os.path.join(ROOT, "scripts", "wine-session"), "stop", BUILD],
                       env=dict(os.environ, WINEPREFIX=PREFIX, CORVELA_BUILD_DIR=BUILD),
                       stdin=subprocess.DEVNULL, capture_output=True)

    def product(self, scope, version="1.0.0", extra=PRODUCT):
        text = (self.TWO_LAUNCHERS.replace('app-version = "3.1.4"', 'app-version = "%s"' % version)
                .replace('output = "../out/Studio"', 'output = "../out/Studio-%s-%s"\nmsi = "../out/Studio-%s-%s.msi"\n'
                         'msi-scope = "%s"\nupgrade-code = "%s"' % (scope, version, scope, version, scope, UPGRADE_CODE))
                + 'path = true\n' + extra)
        result = self.build(self.describe(text, "studio-%s-%s.toml" % (scope, version)))
        self.assertEqual(result.returncode, 0, result.stderr)
        return wine_path(os.path.join(self.work, "out", "Studio-%s-%s.msi" % (scope, version)))

    def setUp(self):
        super().setUp()
        self.installed = []

    def tearDown(self):
        # Before the installers go with the scratch directory: the next test starts clean.
        for msi in reversed(self.installed):
            wine("msiexec", "/x", msi, "/qn")
        super().tearDown()

    def msiexec(self, action, msi):
        self.assertEqual(wine("msiexec", action, msi, "/qn").returncode, 0, "msiexec %s %s" % (action, msi))
        if action == "/i":
            self.installed.append(msi)
        elif msi in self.installed:
            self.installed.remove(msi)

    def recorded_run(self, *command):
        """The application's arguments (after the main class) and the exe, of one run."""
        record = os.path.join(self.work, "record.txt")
        if os.path.exists(record):
            os.remove(record)
        result = wine(*command, STANDIN_RECORD=wine_path(record))
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(record, encoding="utf-8") as f:
            args = [bytes.fromhex(v).decode("utf-8") for k, v in
                    (line.rstrip("\n").split("=", 1) for line in f) if k == "arg"]
        main = next(i for i, arg in enumerate(args) if arg in ("app.Main", "tool.Main"))
        return args[0], args[main], args[main + 1:]

    def test_per_machine_documents_and_links_open_the_app_and_the_cli_runs_by_name(self):
        msi = self.product("machine")
        self.msiexec("/i", msi)
        installed = self.program_files + "\\Studio\\"
        documents = os.path.join(self.work, "My Drawings \u00e9\u0416")
        os.makedirs(documents)
        document = os.path.join(documents, "Plan 1 \u65e5.acme")
        with open(document, "w") as f:
            f.write("drawing")
        for target in (wine_path(document), "acme-studio:open?item=7&x=a b"):
            with self.subTest(target):
                exe, main, args = self.recorded_run("start", "/wait", target)
                self.assertEqual((exe.lower(), main, args), ((installed + "Studio.exe").lower(), "app.Main", [target]))
        # The console launcher by its bare name, in a new shell that reads PATH anew.
        exe, main, args = self.recorded_run("cmd", "/c", "studio-cli first")
        self.assertEqual((exe.lower(), main, args), ((installed + "studio-cli.exe").lower(), "tool.Main", ["first"]))
        self.msiexec("/x", msi)
        for key in ("HKLM\\Software\\Classes\\.acme", "HKLM\\Software\\Classes\\Studio.acme",
                    "HKLM\\Software\\Classes\\acme-studio"):
            self.assertIsNone(registry(key), key)
        system_path = registry("HKLM\\System\\CurrentControlSet\\Control\\Session Manager\\Environment", "PATH")
        self.assertNotIn("studio", system_path.lower())

    def test_per_user_registry_holds_classes_and_path_and_uninstall_restores_them(self):
        environment = "HKCU\\Environment"
        self.assertEqual(wine("reg", "add", environment, "/v", "PATH", "/t", "REG_EXPAND_SZ", "/d",
                              "C:\\other;D:\\x y", "/f").returncode, 0)
        msi = self.product("user")
        self.msiexec("/i", msi)
        installed = self.local + "\\Programs\\Studio\\"
        classes = "HKCU\\Software\\Classes\\"
        exe = installed + "Studio.exe"
        expected = [
            (classes + ".acme", "", "Studio.acme"), (classes + ".acmet", "", "Studio.acme"),
            (classes + ".acme", "Content Type", "application/x-acme"),
            (classes + ".acme\\OpenWithProgids", "Studio.acme", ""),
            (classes + ".acmeold", "", "Studio.acmeold"),
            (classes + "Studio.acmeold\\DefaultIcon", "", '"%sapp\\icons\\acmeold.ico",0' % installed),
            # Brackets and braces reach the registry as written, not as installer formatting.
            (classes + "Studio.acme", "", "Acme Studio drawing [v2] {beta}"),
            (classes + "Studio.acme\\DefaultIcon", "", '"%s",0' % exe),
            (classes + "Studio.acme\\shell\\open\\command", "", '"%s" "%%1"' % exe),
            (classes + "acme-studio", "URL Protocol", ""),
            (classes + "acme-studio\\shell\\open\\command", "", '"%s" "%%1"' % exe),
            (environment, "PATH", installed + ";C:\\other;D:\\x y"),
        ]
        for key, value, data in expected:
            with self.subTest(key=key, value=value):
                self.assertEqual(registry(key, value), data)
        self.assertIsNone(registry("HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.acme\\UserChoice"))
        # A Start menu shortcut for the GUI launcher alone, by default.
        menu = wine("cmd", "/c", "echo %APPDATA%").stdout.decode().strip() + "\\Microsoft\\Windows\\Start Menu\\Programs"
        self.assertEqual(sorted(name for name in os.listdir(wine("winepath", "-u", menu).stdout.decode().strip())
                                if name.lower().startswith("studio")), ["Studio.lnk"])
        self.assertIsNone(registry(classes + "Studio.acme", "-"))
        self.msiexec("/x", msi)
        for key in (classes + ".acme", classes + ".acmeold", classes + "Studio.acme", classes + "acme-studio"):
            self.assertIsNone(registry(key), key)
        self.assertEqual(registry(environment, "PATH"), "C:\\other;D:\\x y")

    def test_an_upgrade_that_drops_an_association_removes_it(self):
        classes = "HKCU\\Software\\Classes\\"
        first = self.product("user", "1.0.0")
        self.msiexec("/i", first)
        self.assertEqual(registry(classes + ".acmeold", ""), "Studio.acmeold")
        second = self.product("user", "1.1.0", CURRENT_TYPES)
        self.msiexec("/i", second)
        self.assertIsNone(registry(classes + ".acmeold"))
        self.assertIsNone(registry(classes + "Studio.acmeold"))
        self.assertEqual(registry(classes + ".acme", ""), "Studio.acme")


class ProgIdTest(unittest.TestCase):
    """A file type's ProgId keeps the application's Latin letters, marks taken off, since
    Windows wants ASCII letters and digits there; other scripts give way to "App"."""

    def test_latin_letters_lose_their_marks_not_their_place(self):
        from corvela_image.registrations import prog_id
        cases = [("Molekuły Studio", "xyz", "MolekulyStudio.xyz"),
                 ("Éditeur Ørsted", "txt", "EditeurOrsted.txt"),
                 ("Straße", "ß", "Strasse.ss"),
                 ("Acme Draw 4", ".adraw", "AcmeDraw4.adraw"),
                 ("Грамота", "txt", "App.txt"),
                 ("Λέξη", "λ", "App.file")]
        for application, extension, expected in cases:
            with self.subTest(application=application):
                self.assertEqual(prog_id(application, extension), expected)


class DescriptionErrorTest(DescribedImageFixture):
    BASE = 'name = "Studio"\nruntime = "runtime"\njars = ["main.jar"]\noutput = "../out/Studio"\n'
    LAUNCHER = '\n[[launcher]]\nname = "Studio"\nmain-class = "app.Main"\n'

    def test_errors_name_the_key_and_its_line_and_nothing_is_written(self):
        gui = self.BASE + self.LAUNCHER
        cases = [
            # (file text, line, words of the message, exit code)
            (self.BASE + 'main-clas = "x"\n', 5, "unknown key main-clas", USAGE),
            (gui + 'splash-screen = "s.png"\n', 9, "unknown key splash-screen in a [[launcher]] table", USAGE),
            (self.BASE + "[installer]\nscope = 1\n", 5, "unknown key installer", USAGE),
            (gui + 'sign-password = "secret"\n', 9, "a password never goes into the file", USAGE),
            ('name = "Studio"\napp-version = 1.2\n' + self.LAUNCHER, 2, "app-version must be a string, not a number", USAGE),
            (gui + "console = \"yes\"\n", 9, "console must be true or false, not a string", USAGE),
            (self.BASE.replace('jars = ["main.jar"]', 'jars = "main.jar"') + self.LAUNCHER, 3,
             "jars must be a list of strings, not a string", USAGE),
            (self.BASE + 'code-page = "utf8"\n' + self.LAUNCHER, 5, "code-page must be one of", USAGE),
            (gui + 'class-data = "on"\n', 9, "class-data must be one of auto, off, not 'on'", USAGE),
            (gui + 'single-instance = "yes"\n', 9, "single-instance must be true or false, not a string", USAGE),
            (gui + 'service = true\nservice-start = "boot"\n', 10, "service-start must be one of", USAGE),
            (gui + 'service = true\nconsole = true\n', 9, "--service and --console exclude each other", USAGE),
            (gui + 'service-name = "Studio"\n', 9, "--service-name goes with --service", USAGE),
            ('runtime = "runtime"\n' + self.LAUNCHER, 1, "the file lacks the required key name", USAGE),
            (self.BASE + '\n[[launcher]]\nmain-class = "a.B"\n', 6, "the [[launcher]] table lacks the required key name", USAGE),
            (self.BASE + '\n[[launcher]]\nname = "Studio"\nicon = "studio.ico"\n', 6,
             "launcher Studio has no main-class, main-jar or main-module", USAGE),
            (self.BASE + 'main-class = "a.B"\n' + self.LAUNCHER, 5, "main-class belongs in a [[launcher]] table", USAGE),
            (gui + '\n[[launcher]]\nname = "STUDIO"\nmain-class = "x.Y"\n', 11,
             "two launchers named Studio and STUDIO", FAILED),
            (gui + '\n[[launcher]]\nname = "a:b"\nmain-class = "x.Y"\n', 11, "a character Windows does not allow", FAILED),
            (gui + '\n[[association]]\nlauncher = "Editor"\nextensions = ["acme"]\n', 11,
             "launcher Editor names none of the launchers (Studio)", USAGE),
            (gui + '\n[[association]]\nlauncher = "Studio"\nextensions = [".doc"]\n', 12,
             "extension '.doc': give it without the dot", FAILED),
            (gui + '\n[[association]]\nlauncher = "Studio"\nextensions = ["a/b"]\n', 12,
             "extension 'a/b' is not letters", FAILED),
            (gui + '\n[[association]]\nlauncher = "Studio"\nextensions = []\n', 12, "extensions is empty", FAILED),
            (gui + '\n[[association]]\nlauncher = "Studio"\nextensions = ["x"]\n'
                   '\n[[association]]\nlauncher = "Studio"\nextensions = ["X"]\n', 16,
             "extension X is in two associations", FAILED),
            (gui + '\n[[association]]\nlauncher = "Studio"\n', 10, "the [[association]] table lacks the required key extensions", USAGE),
            (gui + '\n[[protocol]]\nlauncher = "Studio"\nscheme = "acme app"\n', 12, "scheme 'acme app' must start with a letter", FAILED),
            (gui + '\n[[protocol]]\nlauncher = "Studio"\nscheme = "1acme"\n', 12, "scheme '1acme' must start with a letter", FAILED),
            (gui + '\n[[protocol]]\nlauncher = "Studio"\nscheme = "acme"\n'
                   '\n[[protocol]]\nlauncher = "Studio"\nscheme = "ACME"\n', 16,
             "scheme ACME is given twice", FAILED),
            (gui + 'icon = "missing.ico"\n', 9, "missing.ico does not exist", FAILED),
            (gui + 'variant = "service"\nconsole = true\n', 9, "variant service and console = true disagree", USAGE),
            (self.BASE + 'launcher = "corvela.exe"\n', 5, "names no launcher binary: they come from --launcher-dir", USAGE),
            (gui + 'name = "again"\n', 9, "not valid TOML", USAGE),
            # Found while building, in the terms of the file: its key, never an option.
            (gui + 'icon = "not-an-icon.ico"\n', 9, "not-an-icon.ico is not an icon file", FAILED),
            (gui.replace('"app.Main"', '"app.Missing"'), 8, "main-class app.Missing", FAILED),
            (gui.replace('name = "Studio"\n', 'name = "Studio"\napp-version = "1.x"\n', 1), 2,
             "version '1.x' is not 1 to 4 numbers", FAILED),
        ]
        with open(os.path.join(self.source, "not-an-icon.ico"), "wb") as f:
            f.write(b"GIF89a, not an icon")
        for text, line, message, code in cases:
            with self.subTest(message):
                description = self.describe(text)
                result = self.build(description)
                self.assertEqual(result.returncode, code, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertIn("line %d: " % line, result.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.work, "out")))
                self.assertEqual(result.stderr.count("\n"), 1, result.stderr)
                self.assertIn(description + " line", result.stderr)
                self.assertNotIn(" --icon", result.stderr)
                self.assertNotIn(" --main-class", result.stderr)
                self.assertNotIn(" --app-version", result.stderr)


if __name__ == "__main__":
    unittest.main()
