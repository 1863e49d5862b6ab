#!/usr/bin/env python3
"""corvela-instance.jar on the host's Java, with this test as the later start: what the
listener takes, what it drops, and what the application gets."""

import argparse
import os
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import unittest

JAR = None
PROBE = None


def strings_body(strings):
    body = struct.pack("<I", len(strings))
    for text in strings:
        data = text if isinstance(text, bytes) else text.encode("utf-8")
        body += struct.pack("<I", len(data)) + data
    return body


def framed(body):
    return b"CVI1" + struct.pack("<I", len(body)) + body


class Probe:
    """The probe application, its listener file and its token."""

    def __init__(self, directory, expected, wait):
        self.file = os.path.join(directory, "app", "k-1.instance")
        self.process = subprocess.Popen(
            ["java", "-javaagent:" + JAR, "-cp", JAR + os.pathsep + PROBE,
             "-Dcorvela.instance.file=" + self.file, "-Dcorvela.instance.pid=4242",
             "InstanceProbe", str(expected)] + (["wait"] if wait else []),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        # The agent publishes the listener before main runs: its first line means it listens.
        self.first_line = self.process.stdout.readline().decode()
        with open(self.file, encoding="utf-8") as f:
            self.contents = f.read()
        fields = dict(line.split("=", 1) for line in self.contents.splitlines()[1:])
        self.port = int(fields["port"])
        self.token = fields["token"]
        self.pid = fields["pid"]

    def send(self, data, close_after=True):
        with socket.create_connection(("127.0.0.1", self.port), timeout=30) as s:
            s.sendall(data)
            if close_after:
                s.shutdown(socket.SHUT_WR)
            answer = b""
            while True:
                chunk = s.recv(16)
                if not chunk:
                    return answer
                answer += chunk

    def request(self, name, directory, *args, token=None):
        return framed(strings_body([self.token if token is None else token, name, directory]
                                   + list(args)))

    def register(self):
        open(os.path.join(os.path.dirname(self.file), "register"), "w").close()

    def wait_for_trace(self, text):
        """Reads the probe's standard error up to the listener's line holding `text`."""
        self.err_before = getattr(self, "err_before", "")
        for raw in self.process.stderr:
            line = raw.decode()
            self.err_before += line
            if text in line:
                return
        raise AssertionError("the probe ended without saying " + repr(text) + ":\n"
                             + self.err_before)

    def finish(self):
        out, err = self.process.communicate(timeout=60)
        return (self.process.returncode, out.decode().splitlines(),
                getattr(self, "err_before", "") + err.decode())


def hexed(text):
    return "-" + text.encode("utf-8").hex()


def another_local_address():
    """An IPv4 address of this machine that is not loopback, or None: the one a datagram
    to a documentation address would leave from (connecting a datagram socket sends
    nothing)."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        try:
            s.connect(("198.51.100.1", 9))
        except OSError:
            return None
        address = s.getsockname()[0]
    return None if address.startswith("127.") or address == "0.0.0.0" else address


class ListenerTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def test_requests_before_registration_are_kept_in_order_and_handed_over_once(self):
        probe = Probe(self.dir.name, expected=2, wait=True)
        self.assertEqual(probe.first_line.split(), ["instance", hexed("2"), hexed("wait")])
        first = probe.request("start-1", "C:\\Users\\Ann", "a b", 'say "hi"', "", "Grüße 世界")
        answers = []

        # The answers wait for the application to register, so the later starts are a thread's.
        def later_starts():
            answers.append(probe.send(first))
            # The same request once more, as a start whose answer got lost sends it: taken, once.
            answers.append(probe.send(first))
            answers.append(probe.send(probe.request("start-2", "D:\\", "second")))

        starts = threading.Thread(target=later_starts)
        starts.start()
        probe.wait_for_trace("a request waits")
        probe.register()
        starts.join()
        self.assertEqual(answers, [b"OK", b"OK", b"OK"])
        code, lines, err = probe.finish()
        self.assertEqual(code, 0, err)
        self.assertEqual(lines, [
            "request " + " ".join(hexed(t) for t in ["C:\\Users\\Ann", "a b", 'say "hi"', "",
                                                      "Grüße 世界"]),
            "request " + " ".join(hexed(t) for t in ["D:\\", "second"]),
        ])

    def test_a_request_no_application_takes_in_time_is_refused_and_never_handed_over(self):
        # The application registers only after the request's time ran out, then takes the
        # next one: requests are handed over in order, so a refused one left behind comes first.
        probe = Probe(self.dir.name, expected=1, wait=True)
        request = probe.request("lost", "C:\\", "document.xyz")
        self.assertEqual(probe.send(request), b"NO")
        # Sent once more, as after a lost answer: refused again, not mistaken for taken.
        self.assertEqual(probe.send(request), b"NO")
        probe.register()
        self.assertEqual(probe.send(probe.request("next", "D:\\", "taken.xyz")), b"OK")
        code, lines, err = probe.finish()
        self.assertEqual(code, 0, err)
        self.assertEqual(lines, ["request " + hexed("D:\\") + " " + hexed("taken.xyz")])
        self.assertIn("the later start runs on its own", err)

    def test_the_listener_file_is_the_users_alone_and_goes_with_the_instance(self):
        # A newer instance that has published its own listener keeps its file when the older
        # instance ends: the later starts must find the newer one.
        newer = "corvela-instance 1\nport=4321\ntoken=" + "b" * 64 + "\npid=77\n"
        for replaced in (False, True):
            with self.subTest(replaced_by_a_newer_instance=replaced):
                probe = Probe(self.dir.name, expected=1, wait=False)
                self.assertEqual(stat.S_IMODE(os.stat(probe.file).st_mode), 0o600)
                self.assertTrue(probe.contents.startswith("corvela-instance 1\n"), probe.contents)
                self.assertEqual(probe.pid, "4242")
                self.assertEqual(len(probe.token), 64)
                if replaced:
                    with open(probe.file, "w", encoding="utf-8") as f:
                        f.write(newer)
                self.assertEqual(probe.send(probe.request("n", "C:\\", "x")), b"OK")
                code, _, err = probe.finish()
                self.assertEqual(code, 0, err)
                if replaced:
                    with open(probe.file, encoding="utf-8") as f:
                        self.assertEqual(f.read(), newer)
                    os.remove(probe.file)
                else:
                    self.assertFalse(os.path.exists(probe.file))

    def test_the_listener_takes_connections_from_loopback_only(self):
        address = another_local_address()
        if address is None:
            self.skipTest("this machine has no local address besides loopback")
        probe = Probe(self.dir.name, expected=1, wait=False)
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection((address, probe.port), timeout=30).close()
        self.assertEqual(probe.send(probe.request("n", "C:\\", "x")), b"OK")
        code, _, err = probe.finish()
        self.assertEqual(code, 0, err)

    def test_bad_requests_are_dropped_with_a_trace_line_and_the_next_one_is_taken(self):
        probe = Probe(self.dir.name, expected=1, wait=False)
        good = lambda token: strings_body([token, "n", "C:\\", "x"])
        cases = [
            ("wrong token", framed(good("f" * 64)), "wrong token"),
            ("token of another length", framed(good("f")), "wrong token"),
            ("not a request", b"GET / HTTP/1.0\r\n\r\n", "not one"),
            ("oversized", b"CVI1" + struct.pack("<I", 256 * 1024 + 1), "262145 bytes"),
            ("truncated", b"CVI1" + struct.pack("<I", 100) + b"short", "dropped a request"),
            ("too many strings", framed(struct.pack("<I", 1000) + b"\0" * 16), "malformed"),
            ("too few strings", framed(strings_body([probe.token, "n"])), "malformed"),
            ("string past the end", framed(struct.pack("<I", 3) + struct.pack("<I", 99)),
             "malformed"),
            ("not UTF-8", framed(strings_body([probe.token, "n", b"\xff\xfe", "x"])), "malformed"),
            ("bytes after the last string", framed(good(probe.token) + b"!"), "malformed"),
        ]
        for name, data, trace in cases:
            with self.subTest(name):
                self.assertEqual(probe.send(data), b"")
        # A start that connects and says nothing holds up no one.
        silent = socket.create_connection(("127.0.0.1", probe.port))
        self.addCleanup(silent.close)
        self.assertEqual(probe.send(probe.request("good", "C:\\", "taken")), b"OK")
        code, lines, err = probe.finish()
        self.assertEqual(code, 0, err)
        self.assertEqual(lines, ["request " + hexed("C:\\") + " " + hexed("taken")])
        for name, _, trace in cases:
            with self.subTest(name):
                self.assertIn(trace, err)
        # The silent connection is dropped too, if its time runs out before the probe ends.
        self.assertIn(err.count("[corvela-instance] dropped"), (len(cases), len(cases) + 1), err)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--jar", required=True)
    parser.add_argument("--probe", required=True)
    options, rest = parser.parse_known_args()
    JAR, PROBE = os.path.abspath(options.jar), os.path.abspath(options.probe)
    unittest.main(argv=[sys.argv[0]] + rest)
