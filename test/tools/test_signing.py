#!/usr/bin/env python3
"""Signing as a vendor does it: the exe and its installer, with a PEM pair or a PKCS#12 file,
from a trusted authority or not, with an encrypted key; with the osslsigncode of stock Debian
12 (2.5, unpacked under the build directory) and with the one installed here, when it is
another. Failures say why, name the user's file and leave nothing behind."""

import fcntl
import glob
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOL = os.path.join(ROOT, "tools", "corvela-image")
BUILD = os.environ.get("CORVELA_BUILD_DIR", os.path.join(ROOT, "build"))
LAUNCHER = os.path.join(BUILD, "bin", "corvela.exe")
# Debian 12's own osslsigncode, which a fresh machine gets from scripts/setup.
STOCK_PACKAGE = "osslsigncode=2.5-4"
STOCK_DIR = os.path.join(BUILD, "osslsigncode-2.5-4")
PASSWORD_VAR = "CORVELA_TEST_SIGN_PASSWORD"
MSI_MAGIC = b"\xd0\xcf\x11\xe0"


def stock_osslsigncode():
    """The directory holding Debian 12's osslsigncode 2.5, fetched with apt-get download and
    unpacked once."""
    binary = os.path.join(STOCK_DIR, "usr", "bin", "osslsigncode")
    if not os.path.isfile(binary):
        download = tempfile.mkdtemp(prefix="corvela-osslsigncode-")
        try:
            fetched = subprocess.run(["apt-get", "download", STOCK_PACKAGE], cwd=download,
                                     capture_output=True, text=True, stdin=subprocess.DEVNULL)
            if fetched.returncode != 0:
                raise AssertionError("apt-get download %s failed (run apt-get update as root?): %s"
                                     % (STOCK_PACKAGE, fetched.stderr))
            unpacked = STOCK_DIR + ".partial"
            shutil.rmtree(unpacked, ignore_errors=True)
            subprocess.run(["dpkg-deb", "-x", glob.glob(os.path.join(download, "*.deb"))[0],
                            unpacked], check=True, capture_output=True)
            os.rename(unpacked, STOCK_DIR)
        finally:
            shutil.rmtree(download, ignore_errors=True)
    libraries = subprocess.run(["ldd", binary], capture_output=True, text=True).stdout
    if "not found" in libraries:
        raise AssertionError("osslsigncode 2.5 misses libraries (scripts/setup installs them):\n"
                             + libraries)
    return os.path.dirname(binary)


def version_of(directory):
    tool = os.path.join(directory, "osslsigncode") if directory else "osslsigncode"
    out = subprocess.run([tool, "--version"], capture_output=True, text=True)
    # "osslsigncode 2.5, using: ..."
    return (out.stdout + out.stderr).split()[1].rstrip(",")


def openssl(*args):
    subprocess.run(["openssl"] + list(args), check=True, capture_output=True,
                   stdin=subprocess.DEVNULL)


class Keys:
    """Throwaway signing material: a self-signed certificate no one trusts, a test
    authority with a certificate it issued, each as a PEM pair and a PKCS#12 file, and an
    encrypted copy of a key."""

    PASSWORD = "s3cret pass phrase"

    def __init__(self, directory):
        self.dir = directory
        path = lambda name: os.path.join(directory, name)
        code_signing = ["-addext", "extendedKeyUsage=codeSigning"]
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", path("self.key"),
                "-out", path("self.pem"), "-days", "2", "-subj", "/CN=Acme Self-Signed", *code_signing)
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", path("ca.key"),
                "-out", path("ca.pem"), "-days", "2", "-subj", "/CN=Acme Test Authority",
                "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=keyCertSign")
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", path("leaf.key"),
                "-out", path("leaf.csr"), "-subj", "/CN=Acme Signing")
        with open(path("leaf.ext"), "w") as f:
            f.write("extendedKeyUsage=codeSigning\nbasicConstraints=CA:FALSE\n")
        openssl("x509", "-req", "-in", path("leaf.csr"), "-CA", path("ca.pem"), "-CAkey",
                path("ca.key"), "-CAcreateserial", "-out", path("leaf.pem"), "-days", "2",
                "-extfile", path("leaf.ext"))
        with open(path("chain.pem"), "w") as chain:
            for name in ("leaf.pem", "ca.pem"):
                with open(path(name)) as f:
                    chain.write(f.read())
        openssl("pkcs12", "-export", "-in", path("self.pem"), "-inkey", path("self.key"),
                "-out", path("self.p12"), "-passout", "pass:" + self.PASSWORD)
        openssl("pkcs12", "-export", "-in", path("chain.pem"), "-inkey", path("leaf.key"),
                "-out", path("leaf.p12"), "-passout", "pass:" + self.PASSWORD)
        openssl("pkey", "-in", path("self.key"), "-aes256", "-out", path("self-encrypted.key"),
                "-passout", "pass:" + self.PASSWORD)
        self.path = path

    def options(self, kind, trusted):
        """The tool's options for one kind of key, and the certificate a verifier must trust."""
        if kind == "pem":
            if trusted:
                return ["--sign-cert", self.path("chain.pem"), "--sign-key", self.path("leaf.key")]
            return ["--sign-cert", self.path("self.pem"), "--sign-key", self.path("self.key")]
        return ["--sign-pkcs12", self.path("leaf.p12" if trusted else "self.p12"),
                "--sign-password-env", PASSWORD_VAR]

    def anchor(self, trusted):
        return self.path("ca.pem" if trusted else "self.pem")


class SigningTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.keys_dir = tempfile.mkdtemp(prefix="corvela-sign-keys-")
        cls.keys = Keys(cls.keys_dir)
        stock = stock_osslsigncode()
        cls.tools = [(version_of(stock), stock)]
        installed = shutil.which("osslsigncode")
        if installed and version_of(None) != cls.tools[0][0]:
            cls.tools.append((version_of(None), None))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.keys_dir, ignore_errors=True)

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="corvela-sign-test-")
        self.runtime = os.path.join(self.work, "runtime")
        os.makedirs(os.path.join(self.runtime, "bin"))
        shutil.copy(os.path.join(BUILD, "standin", "jli.dll"), os.path.join(self.runtime, "bin"))
        self.jar = os.path.join(self.work, "main.jar")
        with open(self.jar, "wb") as f:
            f.write(b"PK")

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def env(self, tool_dir, **extra):
        env = dict(os.environ, **{PASSWORD_VAR: Keys.PASSWORD})
        env.pop("SSL_CERT_FILE", None)
        if tool_dir:
            env["PATH"] = tool_dir + os.pathsep + env["PATH"]
        env.update(extra)
        return env

    def command(self, name, *extra):
        return [sys.executable, TOOL, "--name", "Demo", "--launcher", LAUNCHER, "--runtime",
                self.runtime, "--main-jar", self.jar, "--app-version", "1.0", "--vendor", "Acme",
                "--upgrade-code", "{0D4C2B9E-6A51-4F38-9B7D-2E1C3A5F6B80}",
                "--output", os.path.join(self.work, name),
                "--msi", os.path.join(self.work, name + ".msi"), *extra]

    def assemble(self, name, env, *extra):
        return subprocess.run(self.command(name, *extra), capture_output=True, text=True,
                              env=env, stdin=subprocess.DEVNULL, timeout=300)

    def verify(self, tool_dir, path, anchor):
        tool = os.path.join(tool_dir, "osslsigncode") if tool_dir else "osslsigncode"
        return subprocess.run([tool, "verify", "-in", path, "-CAfile", anchor],
                              capture_output=True, text=True, stdin=subprocess.DEVNULL)

    def assert_nothing_written(self, name):
        left = sorted(n for n in os.listdir(self.work) if n.startswith(name) or
                      n.startswith(".corvela-image-") or n.endswith(".partial"))
        self.assertEqual(left, [])

    def test_exe_and_installer_are_signed_with_either_kind_of_key_trusted_or_not(self):
        for version, tool_dir in self.tools:
            for kind in ("pem", "pkcs12"):
                for trusted in (False, True):
                    name = "%s-%s-%s" % (version, kind, "trusted" if trusted else "untrusted")
                    with self.subTest(name):
                        env = self.env(tool_dir)
                        if trusted:
                            env["SSL_CERT_FILE"] = self.keys.path("ca.pem")
                        result = self.assemble(name, env, *self.keys.options(kind, trusted))
                        self.assertEqual(result.returncode, 0, result.stderr)
                        exe = os.path.join(self.work, name, "Demo.exe")
                        msi = os.path.join(self.work, name + ".msi")
                        with open(msi, "rb") as f:
                            self.assertEqual(f.read(4), MSI_MAGIC)
                        for path in (exe, msi):
                            verified = self.verify(tool_dir, path, self.keys.anchor(trusted))
                            self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
                        notes = [line for line in result.stderr.splitlines() if "not trusted" in line]
                        if trusted:
                            self.assertEqual(notes, [])
                        else:
                            # One note for each file, each under the user's name for it.
                            self.assertEqual(len(notes), 2, result.stderr)
                            self.assertIn("note: signed Demo.exe;", notes[0])
                            self.assertIn("note: signed %s.msi;" % name, notes[1])

    def test_an_encrypted_pem_key_takes_its_pass_phrase_from_the_environment_and_never_prompts(self):
        key = self.keys.path("self-encrypted.key")
        cert = self.keys.path("self.pem")
        for version, tool_dir in self.tools:
            with self.subTest(version):
                name = "Encrypted-" + version
                result = self.assemble(name, self.env(tool_dir), "--sign-cert", cert, "--sign-key",
                                       key, "--sign-password-env", PASSWORD_VAR)
                self.assertEqual(result.returncode, 0, result.stderr)
                for path in (os.path.join(self.work, name, "Demo.exe"),
                             os.path.join(self.work, name + ".msi")):
                    self.assertEqual(self.verify(tool_dir, path, cert).returncode, 0)

                # No pass phrase: said before any work, naming the option that gives one.
                result = self.assemble("NoPass", self.env(tool_dir), "--sign-cert", cert,
                                       "--sign-key", key)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertIn("is encrypted", result.stderr)
                self.assertIn("--sign-password-env", result.stderr)
                self.assert_nothing_written("NoPass")

                # A wrong one, with a terminal at hand: the cause, and no prompt.
                output, code = self.run_on_terminal(
                    self.command("WrongPass", "--sign-cert", cert, "--sign-key", key,
                                 "--sign-password-env", PASSWORD_VAR),
                    self.env(tool_dir, **{PASSWORD_VAR: "wrong"}))
                self.assertEqual(code, 1, output)
                self.assertIn("signing Demo.exe failed: the pass phrase is wrong: the one in %s "
                              "(--sign-password-env) does not open the key %s (--sign-key)" %
                              (PASSWORD_VAR, key), output)
                self.assertNotIn("pass phrase:", output.lower())
                self.assert_nothing_written("WrongPass")

    def run_on_terminal(self, command, env):
        """Runs `command` with a pseudo-terminal as its controlling terminal and standard
        streams. A prompt for a pass phrase ends it at once: it would wait for ever."""
        leader, follower = os.openpty()

        def take_terminal():
            os.setsid()
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)
        try:
            process = subprocess.Popen(command, stdin=follower, stdout=follower, stderr=follower,
                                       env=env, preexec_fn=take_terminal)
        finally:
            os.close(follower)
        output = b""
        try:
            while True:
                try:
                    chunk = os.read(leader, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                output += chunk
                if b"pass phrase:" in output.lower():
                    process.kill()
            code = process.wait(timeout=300)
        finally:
            os.close(leader)
        return output.decode("utf-8", "replace"), code

    def fake_osslsigncode(self, tool_dir, action):
        """A directory whose osslsigncode passes everything to the real one except the signing
        of an installer, which it fails (or interrupts the tool for)."""
        directory = os.path.join(self.work, "fake-" + action)
        os.makedirs(directory, exist_ok=True)
        real = os.path.join(tool_dir, "osslsigncode") if tool_dir else shutil.which("osslsigncode")
        script = os.path.join(directory, "osslsigncode")
        with open(script, "w") as f:
            f.write("#!%s\nimport os, signal, sys\nargs = sys.argv[1:]\n"
                    "if args[:1] == ['sign']:\n"
                    "    with open(args[args.index('-in') + 1], 'rb') as f:\n"
                    "        if f.read(4) == %r:\n"
                    "            if %r == 'interrupt':\n"
                    "                os.kill(os.getppid(), signal.SIGINT)\n"
                    "            print('Failed to write the signature\\nFailed')\n"
                    "            sys.exit(1)\n"
                    "os.execv(%r, [%r] + args)\n" % (sys.executable, MSI_MAGIC, action, real, real))
        os.chmod(script, 0o755)
        return directory

    def test_failures_say_why_and_leave_nothing_behind(self):
        pem = self.keys.options("pem", False)
        p12 = self.keys.path("self.p12")
        for version, tool_dir in self.tools:
            cases = [
                ("pkcs12 without password", tool_dir, {}, ["--sign-pkcs12", p12], 1,
                 "signing Demo.exe failed: the PKCS#12 file %s (--sign-pkcs12) is protected by a "
                 "password: put it in an environment variable and name it with --sign-password-env" % p12),
                ("pkcs12 wrong password", tool_dir, {PASSWORD_VAR: "wrong"},
                 ["--sign-pkcs12", p12, "--sign-password-env", PASSWORD_VAR], 1,
                 "the password is wrong: the one in %s (--sign-password-env) does not open "
                 "the PKCS#12 file %s (--sign-pkcs12)" % (PASSWORD_VAR, p12)),
                ("key of another certificate", tool_dir, {},
                 ["--sign-cert", self.keys.path("self.pem"), "--sign-key", self.keys.path("leaf.key")], 1,
                 "the key does not match the certificate (--sign-key %s, --sign-cert %s)" %
                 (self.keys.path("leaf.key"), self.keys.path("self.pem"))),
                ("time-stamp server down", tool_dir, {},
                 pem + ["--timestamp-url", "http://127.0.0.1:1/"], 1,
                 "signing Demo.exe failed: RFC 3161 timestamping with http://127.0.0.1:1/ "
                 "(--timestamp-url) failed"),
                ("installer signing fails", self.fake_osslsigncode(tool_dir, "fail"), {}, pem, 1,
                 "signing Failure.msi failed: Failed to write the signature"),
                ("interrupted while signing the installer",
                 self.fake_osslsigncode(tool_dir, "interrupt"), {}, pem, -signal.SIGINT, ""),
            ]
            for label, directory, extra_env, options, code, message in cases:
                with self.subTest(version=version, case=label):
                    result = self.assemble("Failure", self.env(directory, **extra_env), *options)
                    if code < 0:
                        self.assertNotEqual(result.returncode, 0, result.stderr)
                    else:
                        self.assertEqual(result.returncode, code, result.stderr)
                    self.assertIn(message, result.stderr)
                    self.assertNotIn(".partial", result.stderr)
                    self.assert_nothing_written("Failure")


if __name__ == "__main__":
    unittest.main()
