#!/usr/bin/env python3
"""An image with a service, installed under Wine: the installer installs and starts the
service, an upgrade stops it (its shutdown hook runs) and starts the new one, and an
uninstall stops and removes it. The image tool's service options are checked first. And a
real Java server through the bridge runtime: started as a service, stopped through its
shutdown hook."""

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOL = os.path.join(ROOT, "tools", "corvela-image")
BUILD = os.environ.get("CORVELA_BUILD_DIR", os.path.join(ROOT, "build"))
LAUNCHER = os.path.join(BUILD, "bin", "corvela.exe")
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_image_tool import FAILED, USAGE  # noqa: E402
sys.path.insert(0, os.path.join(ROOT, "tools"))
from corvela_image import pe  # noqa: E402

UPGRADE_CODE = "{6B0E9F51-7C3A-4D2E-9A1B-2C3D4E5F6071}"


def image_tool(*args):
    return subprocess.run([sys.executable, TOOL] + list(args), capture_output=True, text=True)


def wine_env():
    env = dict(os.environ, WINEPREFIX=os.path.join(BUILD, "wineprefix-service"),
               WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("DISPLAY", None)
    return env


def wine(*args):
    return subprocess.run(["wine"] + list(args), capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, env=wine_env(), errors="replace")


def service_state(name):
    """The STATE line of `sc query`, or None when there is no such service."""
    for line in wine("sc", "query", name).stdout.splitlines():
        if "STATE" in line:
            return line.split()[-1]
    return None


class ServiceFixture(unittest.TestCase):
    """The stand-in server runtime in a scratch directory; Wine's services up around steps."""

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="corvela-service-msi-")
        self.runtime = os.path.join(self.work, "runtime")
        os.makedirs(os.path.join(self.runtime, "bin", "server"))
        standin = os.path.join(BUILD, "standin")
        shutil.copy(os.path.join(standin, "server_jli.dll"),
                    os.path.join(self.runtime, "bin", "jli.dll"))
        shutil.copy(os.path.join(standin, "server_jvm.dll"),
                    os.path.join(self.runtime, "bin", "server", "jvm.dll"))

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def installed(self, steps):
        """Runs `steps` with Wine's services up, and removes what they installed after."""
        logs = os.path.join(BUILD, "wineprefix-service", "drive_c", "users", "Public", "Acme",
                            "Acme Server", "logs")
        shutil.rmtree(logs, ignore_errors=True)
        # The first program of a session starts Wine's own services, which keep its
        # streams: none of ours.
        subprocess.run(["wine", "cmd", "/c", "exit"], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=wine_env())
        # Wine ends its services when the prefix's last ordinary program ends: this one
        # waits on its standard input until the test closes it.
        keeper = subprocess.Popen(["wine", "cmd"], stdin=subprocess.PIPE,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                  env=wine_env())
        try:
            steps(os.path.join(logs, "Acme Server.out.log"))
        finally:
            keeper.stdin.close()
            keeper.wait()
            subprocess.run(["wineserver", "-k"], env=wine_env())


class ServiceImageTest(ServiceFixture):

    def build(self, version, *extra):
        out = os.path.join(self.work, "image-" + version)
        msi = os.path.join(self.work, "Server-%s.msi" % version)
        r = image_tool("--name", "Acme Server", "--launcher", LAUNCHER, "--runtime",
                       self.runtime, "--main-class", "server.Main", "--output", out,
                       "--service", "--app-version", version, "--vendor", "Acme",
                       "--description", "Acme test server", "--code-page", "utf-8",
                       "--upgrade-code", UPGRADE_CODE, "--msi", msi, *extra)
        self.assertEqual(r.returncode, 0, r.stderr)
        return out, msi

    def test_service_options_are_checked_before_any_work(self):
        cases = [
            (["--service-start", "auto"], "--service-start goes with --service", USAGE),
            (["--service", "--console"], "--service and --console exclude each other", USAGE),
            (["--service", "--service-name", "Acme Server"], "a service name has no blanks", FAILED),
            (["--service", "--msi-scope", "user", "--app-version", "1.0.0", "--vendor", "A",
              "--msi", os.path.join(self.work, "x.msi")], "installed for the whole machine", USAGE),
        ]
        for args, message, code in cases:
            with self.subTest(args=args):
                out = os.path.join(self.work, "refused")
                r = image_tool("--name", "Acme Server", "--launcher", LAUNCHER, "--runtime",
                               self.runtime, "--main-class", "server.Main", "--output", out,
                               *args)
                self.assertEqual(r.returncode, code, r.stderr)
                self.assertIn(message, r.stderr)
                self.assertFalse(os.path.exists(out))

    def test_the_wait_for_the_services_runs_as_the_system_between_their_stop_and_delete(self):
        # What Wine cannot show: Windows runs the action in the installation script, as the
        # installer service (a service's stop needs the rights), after StopServices.
        _, msi = self.build("1.0.0")
        actions = {row["Action"]: row for row in table_rows(msi, "CustomAction")}
        action = actions["CorvelaStopServices"]
        self.assertEqual(int(action["Type"]) & 0x3F, 2)  # an exe from the Binary table
        self.assertEqual(int(action["Type"]) & (1024 | 2048), 1024 | 2048)  # deferred, no impersonation
        self.assertEqual(action["Target"], '"AcmeServer"')
        sequence = {row["Action"]: int(row["Sequence"])
                    for row in table_rows(msi, "InstallExecuteSequence")}
        self.assertLess(sequence["StopServices"], sequence["CorvelaStopServices"])
        self.assertLess(sequence["CorvelaStopServices"],
                        min(sequence["DeleteServices"], sequence["RemoveFiles"],
                            sequence["InstallFiles"]))

    def test_an_installer_without_the_program_that_stops_its_services_is_refused(self):
        launchers = os.path.join(self.work, "launchers")
        os.makedirs(launchers)
        for name in ("corvela.exe", "corvela-service.exe"):
            shutil.copy(os.path.join(os.path.dirname(LAUNCHER), name), launchers)
        out = os.path.join(self.work, "refused")
        msi = os.path.join(self.work, "refused.msi")
        r = image_tool("--name", "Acme Server", "--launcher", os.path.join(launchers, "corvela.exe"),
                       "--runtime", self.runtime, "--main-class", "server.Main", "--output", out,
                       "--service", "--app-version", "1.0.0", "--vendor", "Acme", "--msi", msi)
        self.assertEqual(r.returncode, 1)
        self.assertIn("an installer of a service needs corvela-service-stop.exe beside the "
                      "service launcher %s" % os.path.join(launchers, "corvela-service.exe"),
                      r.stderr)
        self.assertFalse(os.path.exists(out) or os.path.exists(msi))

    def test_the_image_carries_the_service_launcher_and_the_vendor_for_its_logs(self):
        out, msi = self.build("1.0.0")
        # The manager starts a service; the installer puts no shortcut to it in the Start menu.
        shortcuts = subprocess.run(["msiinfo", "export", msi, "Shortcut"], capture_output=True,
                                   text=True)
        self.assertEqual(shortcuts.stdout.splitlines()[3:] if shortcuts.returncode == 0 else [], [])
        with open(os.path.join(out, "app", "Acme Server.cfg"), encoding="utf-8", newline="") as f:
            self.assertIn("app.vendor=Acme\r\n", f.read())
        with open(os.path.join(out, "Acme Server.exe"), "rb") as f:
            exe = pe.PEImage(f.read(), "Acme Server.exe")
        self.assertEqual(exe.subsystem(), pe.IMAGE_SUBSYSTEM_WINDOWS_CUI)

    def test_install_starts_the_service_and_uninstall_stops_and_removes_it(self):
        _, msi = self.build("1.0.0")

        def steps(log):
            self.assertEqual(wine("msiexec", "/i", msi, "/qn").returncode, 0)
            self.assertEqual(service_state("AcmeServer"), "RUNNING")
            self.assertEqual(wine("msiexec", "/x", msi, "/qn").returncode, 0)
            self.assertIsNone(service_state("AcmeServer"))
            with open(log, encoding="utf-8") as f:
                self.assertEqual(f.read(), "server started\nshutdown hook ran\n")
        self.installed(steps)

    def test_an_upgrade_stops_the_old_service_and_starts_the_new_one(self):
        _, first = self.build("1.0.0")
        _, second = self.build("1.1.0")

        def steps(log):
            self.assertEqual(wine("msiexec", "/i", first, "/qn").returncode, 0)
            # The old service's process has ended before its exe is replaced: no restart is
            # asked for (3010, seen truncated to a byte as 194), and the new version runs.
            self.assertEqual(wine("msiexec", "/i", second, "/qn").returncode, 0)
            self.assertEqual(service_state("AcmeServer"), "RUNNING")
            with open(log, encoding="utf-8") as f:
                self.assertEqual(f.read(), "server started\nshutdown hook ran\nserver started\n")
            wine("msiexec", "/x", second, "/qn")
            wine("sc", "stop", "AcmeServer")
            wine("sc", "delete", "AcmeServer")
        self.installed(steps)


def files_under(root):
    """The files under `root`, by their path under it, each with its bytes' hash."""
    found = {}
    for parent, _, names in os.walk(root):
        for name in names:
            path = os.path.join(parent, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, root)] = hashlib.sha256(f.read()).hexdigest()
    return found


class SlowStopTest(ServiceFixture):
    """A service whose stop takes seconds, as a database's that writes out its data, still
    running when its installer removes or replaces it: the installer waits until it has
    stopped, and nothing of it stays behind."""

    INSTALL_DIR = os.path.join(BUILD, "wineprefix-service", "drive_c", "Program Files",
                               "Acme Server")
    # A product and a service of their own: what a failure here leaves installed stays apart
    # from the other tests' installers.
    UPGRADE_CODE = "{0D5C7A3E-2B1F-4E6A-8C9D-3F4E5A6B7C81}"
    SERVICE = "AcmeSlowServer"

    def build(self, version):
        out = os.path.join(self.work, "image-" + version)
        msi = os.path.join(self.work, "Server-%s.msi" % version)
        r = image_tool("--name", "Acme Server", "--launcher", LAUNCHER, "--runtime",
                       self.runtime, "--main-class", "server.Main", "--output", out,
                       "--java-option", "-Dstandin.hook-ms=3000", "--service",
                       "--service-name", self.SERVICE, "--app-version", version, "--vendor",
                       "Acme", "--upgrade-code", self.UPGRADE_CODE, "--msi", msi)
        self.assertEqual(r.returncode, 0, r.stderr)
        return out, msi

    def installed(self, steps, *msis):
        """Runs `steps`, then removes whatever they left, even when they failed."""
        def steps_then_cleanup(log):
            try:
                steps(log)
            finally:
                for msi in msis:
                    wine("msiexec", "/x", msi, "/qn")
                wine("sc", "stop", self.SERVICE)
                wine("sc", "delete", self.SERVICE)
                shutil.rmtree(self.INSTALL_DIR, ignore_errors=True)
        super().installed(steps_then_cleanup)

    def test_uninstalling_a_running_service_leaves_no_file(self):
        _, msi = self.build("1.0.0")

        def steps(log):
            self.assertEqual(wine("msiexec", "/i", msi, "/qn").returncode, 0)
            self.assertEqual(service_state(self.SERVICE), "RUNNING")
            self.assertEqual(wine("msiexec", "/x", msi, "/qn").returncode, 0)
            self.assertEqual(files_under(self.INSTALL_DIR), {})
            self.assertIsNone(service_state(self.SERVICE))
            with open(log, encoding="utf-8") as f:
                self.assertEqual(f.read(), "server started\nshutdown hook ran\n")
        self.installed(steps, msi)

    def test_upgrading_a_running_service_installs_every_file_of_the_new_version(self):
        _, first = self.build("1.0.0")
        second_image, second = self.build("1.1.0")

        def steps(log):
            self.assertEqual(wine("msiexec", "/i", first, "/qn").returncode, 0)
            self.assertEqual(service_state(self.SERVICE), "RUNNING")
            self.assertEqual(wine("msiexec", "/i", second, "/qn").returncode, 0)
            self.assertEqual(files_under(self.INSTALL_DIR), files_under(second_image))
            self.assertEqual(service_state(self.SERVICE), "RUNNING")
            self.assertEqual(wine("msiexec", "/x", second, "/qn").returncode, 0)
            with open(log, encoding="utf-8") as f:
                self.assertEqual(f.read(), "server started\nshutdown hook ran\n" * 2)
        self.installed(steps, second, first)


# A service's names in three scripts, each of another code page: (name, display name, description).
NAMES = [
    ("Polish", "Serwer Żółć", "Zażółć gęślą jaźń: serwer łączy się z bazą"),
    ("Cyrillic", "Сервер Ёжик", "Служба базы данных: щётка и ёж"),
    ("Greek", "Διακομιστής Ωμέγα", "Υπηρεσία βάσης δεδομένων: ψυχή και ζωή"),
]


def table_rows(msi, table):
    """The rows of one of the installer's tables, each a dict by column name."""
    text = subprocess.run(["msiinfo", "export", msi, table], capture_output=True,
                          check=True).stdout.decode("utf-8")
    lines = text.rstrip("\r\n").split("\r\n")
    columns = lines[0].split("\t")
    return [dict(zip(columns, line.split("\t"))) for line in lines[3:]]


def service_install_rows(msi):
    """The ServiceInstall table's rows, each a dict by column name."""
    return table_rows(msi, "ServiceInstall")


def registered_service(name, scratch):
    """The service's key as the registry holds it: its values by name (reg export writes
    UTF-16, so the names come back exactly as stored)."""
    exported = os.path.join(scratch, name + ".reg")
    wine("reg", "export", "HKLM\\System\\CurrentControlSet\\Services\\" + name,
         subprocess.run(["winepath", "-w", exported], capture_output=True, text=True,
                        env=wine_env()).stdout.strip(), "/y")
    with open(exported, "rb") as f:
        text = f.read().decode("utf-16")
    values = {}
    for line in text.splitlines():
        if line.startswith('"') and '"="' in line:
            key, _, value = line.partition("=")
            values[key.strip('"')] = value[1:-1].replace('\\"', '"').replace("\\\\", "\\")
    return values


class ServiceNamesTest(ServiceFixture):
    """Names beyond ASCII for the service: in the installer's tables, and in the registry once
    installed."""

    def build(self, script, display_name, description):
        out = os.path.join(self.work, "image-" + script)
        msi = os.path.join(self.work, "Server-%s.msi" % script)
        r = image_tool("--name", "Acme Server", "--launcher", LAUNCHER, "--runtime",
                       self.runtime, "--main-class", "server.Main", "--output", out,
                       "--service", "--service-name", "Names" + script, "--display-name",
                       display_name, "--app-version", "1.0.0", "--vendor", "Acme",
                       "--description", description, "--upgrade-code", UPGRADE_CODE,
                       "--msi", msi)
        self.assertEqual(r.returncode, 0, r.stderr)
        return msi

    def test_names_in_three_scripts_install_intact(self):
        msis = {}
        for script, display_name, description in NAMES:
            with self.subTest(script):
                msis[script] = self.build(script, display_name, description)
                [row] = service_install_rows(msis[script])
                self.assertEqual((row["DisplayName"], row["Description"]),
                                 (display_name, description))

        def steps(_):
            for script, display_name, description in NAMES:
                with self.subTest(script):
                    self.assertEqual(wine("msiexec", "/i", msis[script], "/qn").returncode, 0)
                    try:
                        values = registered_service("Names" + script, self.work)
                        self.assertEqual((values.get("DisplayName"), values.get("Description")),
                                         (display_name, description))
                    finally:
                        wine("msiexec", "/x", msis[script], "/qn")
        self.installed(steps)

    def test_the_service_launchers_own_description_is_the_services(self):
        runtime = self.runtime.replace("\\", "/")
        source = os.path.join(self.work, "server.toml")
        with open(source, "w", encoding="utf-8") as f:
            f.write('name = "Acme Studio"\nruntime = "%s"\napp-version = "1.0.0"\n'
                    'vendor = "Acme"\ndescription = "Acme Studio"\n'
                    'upgrade-code = "%s"\n\n[[launcher]]\nname = "Studio"\n'
                    'main-class = "app.Main"\n\n[[launcher]]\nname = "studio-server"\n'
                    'service = true\nservice-name = "StudioServer"\n'
                    'display-name = "Studio Сервер"\ndescription = "Сервер базы данных"\n'
                    'main-class = "server.Main"\n' % (runtime, UPGRADE_CODE))
        r = image_tool(source, "--launcher-dir", os.path.dirname(LAUNCHER), "--output",
                       os.path.join(self.work, "out"), "--msi",
                       os.path.join(self.work, "Studio.msi"))
        self.assertEqual(r.returncode, 0, r.stderr)
        [row] = service_install_rows(os.path.join(self.work, "Studio.msi"))
        self.assertEqual((row["DisplayName"], row["Description"]),
                         ("Studio Сервер", "Сервер базы данных"))


JAVA_SERVER = """
public class Server {
    public static void main(String[] args) throws Exception {
        Runtime.getRuntime().addShutdownHook(new Thread(() -> System.out.println("java shutdown hook ran")));
        System.out.println("java server started");
        System.out.flush();
        Thread.sleep(Long.MAX_VALUE);
    }
}
"""


def wait_for_state(name, wanted, limit_s=60):
    """The manager tells a program of no change: its state is read until it is `wanted`, a
    fifth of a second apart, for at most `limit_s` seconds."""
    state = service_state(name)
    deadline = time.monotonic() + limit_s
    while state != wanted and time.monotonic() < deadline:
        time.sleep(0.2)
        state = service_state(name)
    return state


class JavaServiceTest(ServiceFixture):
    """A real Java server (the host's java, through the bridge runtime) as a service."""

    def test_a_java_server_stops_through_its_shutdown_hook(self):
        src = os.path.join(self.work, "Server.java")
        with open(src, "w") as f:
            f.write(JAVA_SERVER)
        subprocess.run(["javac", "-d", self.work, src], check=True)
        jar = os.path.join(self.work, "server.jar")
        with zipfile.ZipFile(jar, "w") as z:
            z.write(os.path.join(self.work, "Server.class"), "Server.class")
        out = os.path.join(self.work, "JServer")
        r = image_tool("--name", "JServer", "--launcher", LAUNCHER, "--runtime",
                       os.path.join(BUILD, "bridge", "runtime"), "--jar", jar, "--main-class",
                       "Server", "--output", out, "--service", "--code-page", "utf-8")
        self.assertEqual(r.returncode, 0, r.stderr)
        exe = subprocess.run(["winepath", "-w", os.path.join(out, "JServer.exe")],
                             capture_output=True, text=True, env=wine_env()).stdout.strip()
        logs = os.path.join(BUILD, "wineprefix-service", "drive_c", "users", "Public", "JServer",
                            "logs")

        def steps(_):
            shutil.rmtree(logs, ignore_errors=True)
            wine("sc", "create", "JServer", "binpath=", exe)
            try:
                wine("sc", "start", "JServer")
                self.assertEqual(wait_for_state("JServer", "RUNNING"), "RUNNING")
                wine("sc", "stop", "JServer")
                self.assertEqual(wait_for_state("JServer", "STOPPED"), "STOPPED")
                query = wine("sc", "query", "JServer").stdout
                self.assertRegex(query, r"WIN32_EXIT_CODE\s*:\s*0 ")
                with open(os.path.join(logs, "JServer.out.log"), encoding="utf-8") as f:
                    self.assertEqual(f.read().replace("\r\n", "\n"),
                                     "java server started\njava shutdown hook ran\n")
            finally:
                wine("sc", "delete", "JServer")
        self.installed(steps)


if __name__ == "__main__":
    unittest.main()
