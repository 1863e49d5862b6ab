#!/usr/bin/env python3
"""Plays a running instance's listener for bench/requests: reads where the held first start's
JVM would publish its listener (from the stand-in runtime's record), listens on loopback,
writes the listener file, and answers every request "OK" until it is ended."""

import socket
import subprocess
import sys

record, pid = sys.argv[1], sys.argv[2]
args = [bytes.fromhex(line.split("=", 1)[1].strip()).decode("utf-8")
        for line in open(record, encoding="utf-8") if line.startswith("arg=")]
windows_file = next(a.split("=", 1)[1] for a in args if a.startswith("-Dcorvela.instance.file="))
unix_file = subprocess.run(["winepath", "-u", windows_file], capture_output=True, text=True,
                           check=True).stdout.strip()
server = socket.create_server(("127.0.0.1", 0))
with open(unix_file, "w", encoding="utf-8") as f:
    f.write("corvela-instance 1\nport=%d\ntoken=bench\npid=%s\n" % (server.getsockname()[1], pid))
print("listening", flush=True)
while True:
    connection, _ = server.accept()
    with connection:
        data = b""
        while len(data) < 8 or len(data) < 8 + int.from_bytes(data[4:8], "little"):
            chunk = connection.recv(65536)
            if not chunk:
                break
            data += chunk
        connection.sendall(b"OK")
