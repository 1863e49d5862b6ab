#!/usr/bin/env python3
"""Update feeds written by the image tool: the image's update keys, the signed feed read back
with openssl and hashlib alone, files stored once by their hash, bad input writing nothing."""

import base64
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOL = os.path.join(ROOT, "tools", "corvela-image")
BUILD = os.environ.get("CORVELA_BUILD_DIR", os.path.join(ROOT, "build"))
LAUNCHER = os.path.join(BUILD, "bin", "corvela.exe")
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_image_tool import FAILED, USAGE  # noqa: E402
URL = "http://127.0.0.1:8000/acme"


def image_tool(*args):
    return subprocess.run([sys.executable, TOOL] + list(args), capture_output=True, text=True)


def openssl(*args):
    subprocess.run(["openssl"] + list(args), check=True, capture_output=True)


def tree(directory):
    """Every file under `directory` with its bytes: what a run must leave as it was."""
    files = {}
    for root, _, names in os.walk(directory):
        for name in names:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                files[os.path.relpath(path, directory)] = f.read()
    return files


def cfg_values(image_dir, name="Demo"):
    with open(os.path.join(image_dir, "app", name + ".cfg"), encoding="utf-8") as f:
        return dict(line.rstrip("\r\n").partition("=")[::2] for line in f if "=" in line)


class FeedFixture(unittest.TestCase):
    """A P-256 key, a stand-in runtime and a main jar in a scratch directory."""

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="corvela-feed-test-")
        self.key = self.path("update.pem")
        openssl("ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", self.key)
        self.runtime = self.path("runtime")
        os.makedirs(os.path.join(self.runtime, "bin"))
        shutil.copy(os.path.join(BUILD, "standin", "jli.dll"), os.path.join(self.runtime, "bin"))
        self.jar = self.path("main.jar")
        self.write_jar(b"version one")
        self.feed = self.path("feed")

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.work, name)

    def write_jar(self, payload):
        with zipfile.ZipFile(self.jar, "w") as z:
            z.writestr("app/Main.class", b"\xca\xfe\xba\xbe")
            z.writestr("app/data.txt", payload)

    def build(self, output, version="1.0.0", *extra):
        r = image_tool("--name", "Demo", "--launcher", LAUNCHER, "--runtime", self.runtime,
                       "--main-jar", self.jar, "--main-class", "app.Main", "--package", "Acme Demo",
                       "--app-version", version, "--output", self.path(output),
                       "--update-url", URL, "--update-key", self.key, *extra)
        self.assertEqual(r.returncode, 0, r.stderr)
        return self.path(output)

    def publish(self, image_dir, *extra):
        return image_tool("--image", image_dir, "--update-feed", self.feed, "--update-key", self.key,
                          *extra)

    def verified_feed(self, image_dir, channel="stable"):
        """The feed, after its signature is checked with the key the image's configuration holds."""
        public = self.path("public.der")
        with open(public, "wb") as f:
            f.write(base64.b64decode(cfg_values(image_dir)["app.update-key"]))
        feed = os.path.join(self.feed, channel + ".json")
        openssl("dgst", "-sha256", "-verify", public, "-keyform", "DER", "-signature",
                feed + ".sig", feed)
        with open(feed, "rb") as f:
            return json.loads(f.read().decode("utf-8"))


class FeedWriterTest(FeedFixture):

    def test_the_image_names_its_feed_and_trusts_the_public_key_only(self):
        image = self.build("img")
        values = cfg_values(image)
        self.assertEqual(values["app.update-url"], URL + "/stable.json")
        self.assertEqual(values["app.version"], "1.0.0")
        public = base64.b64decode(values["app.update-key"])
        expected = subprocess.run(["openssl", "pkey", "-in", self.key, "-pubout", "-outform", "DER"],
                                  capture_output=True, check=True).stdout
        self.assertEqual(public, expected)
        self.assertNotIn(b"PRIVATE", b"".join(tree(image).values()))

    def test_the_feed_is_signed_and_lists_every_file_stored_by_its_hash(self):
        image = self.build("img")
        notes = self.path("notes.txt")
        with open(notes, "w", encoding="utf-8") as f:
            f.write("Faster starts.\nÜmlauts and 日本語 too.\n")
        r = self.publish(image, "--update-notes", notes)
        self.assertEqual(r.returncode, 0, r.stderr)
        feed = self.verified_feed(image)
        self.assertEqual((feed["product"], feed["version"], feed["channel"], feed["format"]),
                         ("Acme Demo", "1.0.0", "stable", 1))
        self.assertEqual(feed["notes"], "Faster starts.\nÜmlauts and 日本語 too.\n")
        files = tree(image)
        self.assertEqual(sorted(entry["path"] for entry in feed["files"]),
                         sorted(p.replace(os.sep, "/") for p in files))
        for entry in feed["files"]:
            data = files[entry["path"].replace("/", os.sep)]
            with self.subTest(path=entry["path"]):
                self.assertEqual(entry["sha256"], hashlib.sha256(data).hexdigest())
                self.assertEqual(entry["size"], len(data))
                with open(os.path.join(self.feed, "files", entry["sha256"]), "rb") as f:
                    self.assertEqual(f.read(), data)

    def test_a_new_version_stores_only_what_changed(self):
        first = self.build("v1")
        self.assertEqual(self.publish(first).returncode, 0)
        stored = {name: os.stat(os.path.join(self.feed, "files", name)).st_mtime_ns
                  for name in os.listdir(os.path.join(self.feed, "files"))}
        self.write_jar(b"version two")
        second = self.build("v2", "1.1.0")
        r = self.publish(second)
        self.assertEqual(r.returncode, 0, r.stderr)
        feed = self.verified_feed(second)
        self.assertEqual(feed["version"], "1.1.0")
        hashes = {entry["path"]: entry["sha256"] for entry in feed["files"]}
        new = set(os.listdir(os.path.join(self.feed, "files"))) - set(stored)
        # The jar, the exe (its version information) and the configuration (app.version)
        # changed; the runtime did not.
        self.assertEqual(new, {hashes["app/main.jar"], hashes["Demo.exe"], hashes["app/Demo.cfg"]})
        self.assertEqual(stored[hashes["runtime/bin/jli.dll"]],
                         os.stat(os.path.join(self.feed, "files", hashes["runtime/bin/jli.dll"])).st_mtime_ns,
                         "an unchanged file is not written again")
        self.assertEqual(len(os.listdir(self.feed)), 3, os.listdir(self.feed))

    def test_each_channel_has_its_own_feed(self):
        beta = self.build("beta", "2.0.0", "--update-channel", "beta")
        self.assertEqual(cfg_values(beta)["app.update-url"], URL + "/beta.json")
        r = self.publish(beta, "--update-channel", "beta")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.verified_feed(beta, "beta")["channel"], "beta")
        self.assertFalse(os.path.exists(os.path.join(self.feed, "stable.json")))


class FeedErrorTest(FeedFixture):

    def test_a_feed_the_image_would_refuse_writes_nothing(self):
        image = self.build("img")
        self.assertEqual(self.publish(image).returncode, 0)
        other_key = self.path("other.pem")
        openssl("ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", other_key)
        rsa_key = self.path("rsa.pem")
        openssl("genrsa", "-out", rsa_key, "2048")
        p384_key = self.path("p384.pem")
        openssl("ecparam", "-name", "secp384r1", "-genkey", "-noout", "-out", p384_key)
        encrypted = self.path("encrypted.pem")
        openssl("pkey", "-in", self.key, "-aes256", "-passout", "pass:secret", "-out", encrypted)
        no_package = self.path("no-package")
        shutil.copytree(image, no_package)
        os.remove(os.path.join(no_package, "app", ".package"))
        self.write_jar(b"version two")
        cases = [
            (["--update-key", other_key], "is not the key app/Demo.cfg"),
            (["--update-key", rsa_key], "is not an ECDSA P-256 key"),
            (["--update-key", p384_key], "is not an ECDSA P-256 key"),
            (["--update-key", encrypted], "without a pass phrase"),
            (["--update-key", self.path("missing.pem")], "--update-key"),
            (["--update-key", self.key, "--update-channel", "beta"], "follows " + URL + "/stable.json"),
            (["--update-key", self.key, "--update-channel", "Beta!"], "--update-channel 'Beta!'"),
            (["--update-key", self.key, "--update-notes", self.path("missing.txt")], "--update-notes"),
        ]
        before = tree(self.feed)
        for extra, message in cases:
            with self.subTest(extra=extra):
                r = image_tool("--image", image, "--update-feed", self.feed, *extra)
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn(message, r.stderr)
                self.assertEqual(tree(self.feed), before)
        r = image_tool("--image", no_package, "--update-feed", self.feed, "--update-key", self.key)
        self.assertIn("has no package", r.stderr)
        self.assertEqual(tree(self.feed), before)

    def test_assembly_options_are_checked_before_anything_is_written(self):
        common = ["--name", "Demo", "--launcher", LAUNCHER, "--runtime", self.runtime,
                  "--main-jar", self.jar, "--main-class", "app.Main", "--output", self.path("out")]
        cases = [
            (["--package", "P", "--update-url", URL], "needs --update-key", USAGE),
            (["--update-url", URL, "--update-key", self.key], "needs --package", USAGE),
            (["--package", "P", "--update-url", URL, "--update-key", self.key], "needs --app-version", USAGE),
            (["--package", "P", "--update-url", "ftp://x/", "--update-key", self.key], "not an http", FAILED),
            (["--package", "P", "--update-key", self.key], "go with --update-url", USAGE),
            (["--package", "P", "--app-version", "1.0.0", "--update-url", URL, "--update-key",
              self.key, "--update-channel", "a b"], "--update-channel", FAILED),
            (["--package", "P", "--update-feed", self.feed], "go with --image", USAGE),
        ]
        for extra, message, code in cases:
            with self.subTest(extra=extra):
                r = image_tool(*common, *extra)
                self.assertEqual(r.returncode, code, r.stderr)
                self.assertIn(message, r.stderr)
                self.assertFalse(os.path.exists(self.path("out")))
                self.assertFalse(os.path.exists(self.feed))

    def test_a_description_file_names_url_key_and_channel(self):
        described = self.path("demo.toml")
        with open(described, "w", encoding="utf-8") as f:
            f.write('name = "Demo"\nmain-class = "app.Main"\nruntime = "runtime"\n'
                    'jars = ["main.jar"]\npackage = "Acme Demo"\napp-version = "1.0.0"\n'
                    'update-url = "%s"\nupdate-key = "update.pem"\nupdate-channel = "beta"\n' % URL)
        r = image_tool(described, "--output", self.path("img"), "--launcher-dir",
                       os.path.dirname(LAUNCHER))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(cfg_values(self.path("img"))["app.update-url"], URL + "/beta.json")

    def test_the_restart_exit_code_reaches_the_configuration(self):
        image = self.build("img", "1.0.0", "--restart-exit-code", "-1")
        self.assertEqual(cfg_values(image)["app.restart-exit-code"], "-1")
        described = self.path("demo.toml")
        for value, code, expected in (
                ("75", 0, None), ("0", FAILED, "line 3: --restart-exit-code 0"),
                ("2147483648", FAILED, "line 3: --restart-exit-code 2147483648"),
                ('"75"', USAGE, "line 3: restart-exit-code must be a whole number")):
            with self.subTest(value=value):
                with open(described, "w", encoding="utf-8") as f:
                    f.write('name = "Demo"\nmain-class = "app.Main"\nrestart-exit-code = %s\n'
                            'runtime = "runtime"\njars = ["main.jar"]\n' % value)
                shutil.rmtree(self.path("out"), ignore_errors=True)
                r = image_tool(described, "--output", self.path("out"), "--launcher-dir",
                               os.path.dirname(LAUNCHER))
                if expected is None:
                    self.assertEqual(r.returncode, 0, r.stderr)
                    self.assertEqual(cfg_values(self.path("out"))["app.restart-exit-code"], value)
                else:
                    self.assertEqual(r.returncode, code, r.stderr)
                    self.assertIn(described + " " + expected, r.stderr)
        r = image_tool("--name", "Demo", "--launcher", LAUNCHER, "--runtime", self.runtime,
                       "--main-jar", self.jar, "--main-class", "app.Main", "--restart-exit-code",
                       "0", "--output", self.path("zero"))
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("--restart-exit-code 0 is not an exit code", r.stderr)
        self.assertFalse(os.path.exists(self.path("zero")))

    def test_a_description_files_update_errors_name_file_line_and_key(self):
        rsa_key = self.path("rsa.pem")
        openssl("genrsa", "-out", rsa_key, "2048")
        head = 'name = "Demo"\nmain-class = "app.Main"\nruntime = "runtime"\njars = ["main.jar"]\n'
        cases = [
            ('package = "P"\napp-version = "1.0"\nupdate-url = "ftp://x"\nupdate-key = "update.pem"\n',
             "line 7: --update-url 'ftp://x' is not an http", FAILED),
            ('package = "P"\napp-version = "1.0"\nupdate-url = "%s"\nupdate-key = "rsa.pem"\n' % URL,
             "line 8: --update-key", FAILED),
            ('app-version = "1.0"\nupdate-url = "%s"\nupdate-key = "update.pem"\n' % URL,
             "line 6: update-url needs package", USAGE),
            ('package = "P"\napp-version = "1.0"\nupdate-url = "%s"\nupdate-key = "update.pem"\n'
             'update-channel = "No Way"\n' % URL, "line 9: --update-channel", FAILED),
            ('package = "P"\nupdate-channel = "beta"\n', "line 6: update-channel goes with update-url", USAGE),
        ]
        described = self.path("demo.toml")
        for text, message, code in cases:
            with self.subTest(message=message):
                with open(described, "w", encoding="utf-8") as f:
                    f.write(head + text)
                r = image_tool(described, "--output", self.path("img"), "--launcher-dir",
                               os.path.dirname(LAUNCHER))
                self.assertEqual(r.returncode, code, r.stderr)
                self.assertIn(described + " " + message, r.stderr)
                self.assertFalse(os.path.exists(self.path("img")))


if __name__ == "__main__":
    unittest.main()
