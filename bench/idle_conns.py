#!/usr/bin/env python3
"""Idle keep-alive connections: resident memory per connection and idle CPU.

Opens COUNT connections to 127.0.0.1:PORT, makes one keep-alive request for
PATH on each and reads the whole reply, then leaves them all open. Reads the
resident set of process PID before and after, then its CPU time over SECONDS
with every connection still open. Prints two numbers:

    KB of resident memory per connection, percent of one core while idle

Usage: idle_conns.py PID PORT PATH [COUNT] [SECONDS] [tls]
(tls: over TLS, the certificate not checked)
"""
import os
import socket
import ssl
import sys
import time


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS for %d" % pid)


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # utime and stime are fields 14 and 15 of the whole line.
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


TLS = ssl._create_unverified_context() if sys.argv[6:7] == ["tls"] else None


def one_request(port, path):
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    if TLS:
        s = TLS.wrap_socket(s)
    s.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % path).encode())
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = s.recv(65536)
        if not chunk:
            raise RuntimeError("connection closed before the reply head")
        data += chunk
    head, body = data.split(b"\r\n\r\n", 1)
    if not head.startswith(b"HTTP/1.1 200"):
        raise RuntimeError("reply: %r" % head.split(b"\r\n", 1)[0])
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value)
    while len(body) < length:
        chunk = s.recv(65536)
        if not chunk:
            raise RuntimeError("connection closed in the body")
        body += chunk
    return s


def main():
    pid, port, path = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    count = int(sys.argv[4]) if len(sys.argv) > 4 else 1000
    seconds = float(sys.argv[5]) if len(sys.argv) > 5 else 5.0
    before = rss_kb(pid)
    conns = [one_request(port, path) for _ in range(count)]
    after = rss_kb(pid)
    cpu0, t0 = cpu_seconds(pid), time.monotonic()
    time.sleep(seconds)
    cpu1, t1 = cpu_seconds(pid), time.monotonic()
    # Still open and not answered by a close?
    for s in conns:
        s.setblocking(False)
        try:
            if s.recv(1) == b"":
                raise RuntimeError("the server closed an idle connection during the measurement")
        except (BlockingIOError, ssl.SSLWantReadError):
            pass
    for s in conns:
        s.close()
    print("%.2f %.3f" % ((after - before) / count, 100.0 * (cpu1 - cpu0) / (t1 - t0)))


if __name__ == "__main__":
    main()
