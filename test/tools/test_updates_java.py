#!/usr/bin/env python3
"""corvela-update.jar on the host's real JVM against feeds served on 127.0.0.1: a newer
version checked and staged, and every fault and attack (a bad signature, a file whose hash
differs, an older version, another product's feed, a truncated download, a slow server, no
server) ending in a clear exception with nothing changed outside the staging folder."""

import http.server
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_update_feed import FeedFixture, image_tool, openssl, tree  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.environ.get("CORVELA_BUILD_DIR",
                       os.path.join(os.path.dirname(os.path.dirname(HERE)), "build"))
UPDATE_JAR = os.path.join(BUILD, "bin", "corvela-update.jar")
PRODUCT = "Acme Demo"


class FeedServer(http.server.ThreadingHTTPServer):
    """Serves a feed directory on 127.0.0.1, misbehaving as a test asks (`fault`)."""

    def __init__(self, directory):
        self.directory = directory
        self.fault = None
        self.requests = []
        self.release = threading.Event()
        super().__init__(("127.0.0.1", 0), FeedHandler)
        threading.Thread(target=self.serve_forever, daemon=True).start()

    @property
    def url(self):
        return "http://127.0.0.1:%d/feed" % self.server_address[1]

    def stop(self):
        self.release.set()
        self.shutdown()
        self.server_close()


class FeedHandler(http.server.SimpleHTTPRequestHandler):

    def __init__(self, *args, **kwargs):
        super().__init__(*args, directory=None, **kwargs)

    def translate_path(self, path):
        return os.path.join(self.server.directory, path.split("?")[0][len("/feed/"):])

    def log_message(self, *args):
        pass

    def do_GET(self):
        self.server.requests.append((self.path, self.headers.get("Range")))
        fault = self.server.fault
        is_file = "/files/" in self.path
        if fault == "slow":
            # Answers nothing until the test ends: the client's time limit must end the wait.
            self.server.release.wait(30)
            return
        if is_file and fault in ("truncate", "corrupt"):
            with open(self.translate_path(self.path), "rb") as f:
                data = f.read()
            self.send_response(200)
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            if fault == "truncate":
                self.wfile.write(data[:len(data) // 2])
                self.server.fault = None  # the next connection gets the rest
            else:
                self.wfile.write(bytes([data[0] ^ 1]) + data[1:])
            self.close_connection = True
            return
        range_header = self.headers.get("Range")
        if is_file and range_header:
            with open(self.translate_path(self.path), "rb") as f:
                data = f.read()
            start = int(range_header.split("=")[1].split("-")[0])
            self.send_response(206)
            self.send_header("Content-Length", str(len(data) - start))
            self.end_headers()
            self.wfile.write(data[start:])
            return
        super().do_GET()


class UpdatesFixture(FeedFixture):
    """Version 1.0.0 installed (an image), 1.1.0 published in a feed served on loopback."""

    def setUp(self):
        super().setUp()
        self.local = self.path("LocalAppData")
        os.makedirs(self.local)
        self.server = FeedServer(self.feed)
        self.url = self.server.url
        self.installed = self.build_at("installed", "1.0.0")
        self.write_jar(b"version two")
        self.newer = self.build_at("newer", "1.1.0")
        notes = self.path("notes.txt")
        with open(notes, "w", encoding="utf-8") as f:
            f.write("Better in every way.")
        r = self.publish(self.newer, "--update-notes", notes)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.probe_classes = self.path("probe")
        subprocess.run(["javac", "--release", "8", "-cp", UPDATE_JAR, "-d", self.probe_classes,
                        os.path.join(HERE, "java", "UpdateProbe.java")], check=True)

    def tearDown(self):
        self.server.stop()
        super().tearDown()

    def build_at(self, output, version):
        r = image_tool("--name", "Demo", "--launcher", os.path.join(BUILD, "bin", "corvela.exe"),
                       "--runtime", self.runtime, "--main-jar", self.jar, "--main-class", "app.Main",
                       "--package", PRODUCT, "--app-version", version, "--output", self.path(output),
                       "--update-url", self.url, "--update-key", self.key)
        self.assertEqual(r.returncode, 0, r.stderr)
        return self.path(output)

    def probe(self, what, image=None, timeout_ms=10000):
        """Runs the probe on the host's JVM; returns its exit code and output."""
        env = dict(os.environ, LOCALAPPDATA=self.local)
        r = subprocess.run(["java", "-cp", os.pathsep.join([self.probe_classes, UPDATE_JAR]),
                            "UpdateProbe", os.path.join(image or self.installed, "Demo.exe"), what,
                            str(timeout_ms)], capture_output=True, text=True, env=env, timeout=120)
        return r.returncode, r.stdout + r.stderr

    def staged(self, version="1.1.0"):
        return os.path.join(self.local, PRODUCT, "updates", version)


class UpdatesTest(UpdatesFixture):

    def test_the_library_is_java_8_bytecode(self):
        with zipfile.ZipFile(UPDATE_JAR) as jar:
            classes = [n for n in jar.namelist() if n.endswith(".class")]
            self.assertIn("org/corvela/update/Updates.class", classes)
            for name in classes:
                header = jar.read(name)[:8]
                self.assertEqual(int.from_bytes(header[6:8], "big"), 52, name)

    def test_check_offers_the_newer_version_with_its_notes(self):
        code, out = self.probe("check")
        self.assertEqual(code, 0, out)
        self.assertEqual(out, "update: 1.1.0\nnotes: Better in every way.\n")
        self.assertFalse(os.path.exists(self.staged()), "a check stages nothing")

    def test_stage_downloads_only_what_changed_and_marks_it_complete(self):
        image_before = tree(self.installed)
        code, out = self.probe("stage")
        self.assertEqual(code, 0, out)
        self.assertIn("staged: 1.1.0", out)
        staged = tree(os.path.join(self.staged(), "files"))
        newer = tree(self.newer)
        changed = sorted(p for p in newer if image_before.get(p) != newer[p])
        self.assertEqual(sorted(staged), changed)
        self.assertIn(os.path.join("app", "main.jar"), changed)
        for path in changed:
            self.assertEqual(staged[path], newer[path], path)
        total = sum(len(newer[p]) for p in changed)
        self.assertIn("progress: %d of %d" % (total, total), out)
        self.assertTrue(os.path.isfile(os.path.join(self.staged(), "complete")))
        with open(os.path.join(self.feed, "stable.json"), "rb") as f:
            with open(os.path.join(self.staged(), "feed.json"), "rb") as g:
                self.assertEqual(f.read(), g.read(), "the launcher checks the feed again")
        self.assertEqual(tree(self.installed), image_before)
        # Staged once: a second run fetches the feed alone.
        self.server.requests.clear()
        self.assertEqual(self.probe("stage")[0], 0)
        self.assertEqual([p for p, _ in self.server.requests if "/files/" in p], [])

    def test_a_truncated_download_resumes_where_it_ended(self):
        self.server.fault = "truncate"
        code, out = self.probe("stage")
        self.assertEqual(code, 3, out)
        self.assertIn("ended after", out)
        self.assertFalse(os.path.exists(os.path.join(self.staged(), "complete")))
        code, out = self.probe("stage")
        self.assertEqual(code, 0, out)
        ranges = [r for _, r in self.server.requests if r]
        self.assertEqual(len(ranges), 1, self.server.requests)
        self.assertEqual(tree(os.path.join(self.staged(), "files"))[os.path.join("app", "main.jar")],
                         tree(self.newer)[os.path.join("app", "main.jar")])

    def test_a_started_version_is_recorded_and_a_failed_one_not_offered_again(self):
        code, out = self.probe("started")
        self.assertEqual((code, out), (0, "started: 1.0.0\n"))
        with open(os.path.join(self.local, PRODUCT, "updates", "started"), encoding="utf-8") as f:
            self.assertEqual(f.read(), "1.0.0")
        with open(os.path.join(self.local, PRODUCT, "updates", "failed"), "w") as f:
            f.write("1.1.0\n")
        self.assertEqual(self.probe("check"), (0, "none\n"))


class UpdateFaultTest(UpdatesFixture):

    def assertRefused(self, what, message, image=None, timeout_ms=10000):
        image_before = tree(image or self.installed)
        code, out = self.probe(what, image, timeout_ms)
        self.assertEqual(code, 3, out)
        self.assertTrue(out.startswith("error: ") and message in out, out)
        self.assertFalse(os.path.exists(os.path.join(self.staged(), "complete")))
        self.assertEqual(tree(image or self.installed), image_before)
        return out

    def test_a_feed_signed_with_another_key_is_refused(self):
        other = self.path("other.pem")
        openssl("ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", other)
        feed = os.path.join(self.feed, "stable.json")
        openssl("dgst", "-sha256", "-sign", other, "-out", feed + ".sig", feed)
        for what in ("check", "stage"):
            with self.subTest(what=what):
                self.assertRefused(what, "does not match the image's key")
        self.assertFalse(os.path.exists(self.staged()))

    def test_a_changed_feed_is_refused(self):
        feed = os.path.join(self.feed, "stable.json")
        with open(feed, "rb") as f:
            text = f.read()
        with open(feed, "wb") as f:
            f.write(text.replace(b'"1.1.0"', b'"1.1.1"'))
        self.assertRefused("check", "does not match the image's key")

    def test_a_file_whose_hash_differs_is_refused_and_not_kept(self):
        self.server.fault = "corrupt"
        self.assertRefused("stage", "does not have the hash its signed feed names")
        parts = [p for p in tree(self.staged()) if p.endswith(".part")]
        self.assertEqual(parts, [])

    def test_an_older_version_is_refused_and_the_same_one_is_no_update(self):
        self.assertEqual(self.probe("check", self.newer), (0, "none\n"))
        older = self.path("older-feed")
        shutil.copytree(self.feed, older)
        self.feed = older
        self.server.directory = older
        r = self.publish(self.installed)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertRefused("check", "offers version 1.0.0, older than the running 1.1.0", self.newer)

    def test_another_products_feed_is_refused(self):
        other = self.path("other-product")
        shutil.copytree(self.newer, other)
        with open(os.path.join(other, "app", ".package"), "w") as f:
            f.write("Other Product\r\n")
        self.feed = self.path("other-feed")
        self.server.directory = self.feed
        self.assertEqual(self.publish(other).returncode, 0)
        self.assertRefused("check", "is the feed of Other Product, not of Acme Demo")

    def test_a_server_that_answers_slowly_or_not_at_all(self):
        self.server.fault = "slow"
        started = time.monotonic()
        self.assertRefused("check", "did not answer within 1000 ms", timeout_ms=1000)
        self.assertLess(time.monotonic() - started, 25)
        self.server.stop()
        self.assertRefused("stage", "cannot fetch")


if __name__ == "__main__":
    unittest.main()
