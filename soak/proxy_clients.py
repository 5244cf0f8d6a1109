#!/usr/bin/env python3
"""Clients of the server behind a reverse proxy that keeps its upstream
connections open: an attacker hides a second request in the bodies of its
own requests (Content-Length and chunked), while CLIENTS clients each fetch
their own files again and again. Every reply must be exactly what its own
request asked for: a smuggled request would hand one client's reply, or the
attacker's file, to another.

    proxy_clients.py PORT ROOT SECONDS [CLIENTS]

Files: ROOT/c<i>/f<j>.bin belong to client i; ROOT/a.txt and
ROOT/attacker.txt to the attacker. Prints one line per failure (at most 20),
a summary, and exits 1 on any failure.
"""
import http.client
import os
import random
import sys
import threading
import time

port, root, seconds = int(sys.argv[1]), sys.argv[2], float(sys.argv[3])
clients = int(sys.argv[4]) if len(sys.argv) > 4 else 16
SMUGGLED = b'GET /attacker.txt HTTP/1.1\r\nHost: t\r\nX-Ignore: '
lock = threading.Lock()
counts = {'ok': 0, 'failed': 0, 'smuggled': 0}
end = time.monotonic() + seconds


def read(rel):
    with open(os.path.join(root, rel.lstrip('/')), 'rb') as f:
        return f.read()


def record(ok, what):
    with lock:
        counts['ok' if ok else 'failed'] += 1
        if not ok and counts['failed'] <= 20:
            print('proxy: FAILED:', what, flush=True)


def fetch(conn, path, **kw):
    """One request on a kept connection: (status, body), or (0, error text)."""
    try:
        conn.request('GET', path, **kw)
        r = conn.getresponse()
        return r.status, r.read()
    except (OSError, http.client.HTTPException) as e:
        conn.close()
        return 0, repr(e).encode()


def client(i):
    rng = random.Random(i)
    mine = sorted(os.listdir(os.path.join(root, 'c%d' % i)))
    want = {name: read('c%d/%s' % (i, name)) for name in mine}
    conn = http.client.HTTPConnection('127.0.0.1', port, timeout=10)
    while time.monotonic() < end:
        name = rng.choice(mine)
        status, body = fetch(conn, '/c%d/%s' % (i, name))
        record(status == 200 and body == want[name],
               'client %d asked for %s, got %d with %d bytes: %r' % (i, name, status, len(body), body[:60]))


def attacker():
    a = read('a.txt')
    conn = http.client.HTTPConnection('127.0.0.1', port, timeout=10)
    n = 0
    while time.monotonic() < end:
        n += 1
        if n % 3 == 0:
            # A request of its own whose error page names it: anything else
            # would be a reply meant for someone else.
            status, body = fetch(conn, '/nope-%d' % n)
            record(status == 404 and ('/nope-%d not found' % n).encode() in body,
                   'attacker asked for /nope-%d, got %d: %r' % (n, status, body[:80]))
            continue
        if n % 3 == 1:
            status, body = fetch(conn, '/a.txt', body=SMUGGLED)
        else:
            # The proxy reads a chunked body whole and passes it on with a length.
            status, body = fetch(conn, '/a.txt', body=iter([SMUGGLED]), encode_chunked=True,
                                 headers={'Transfer-Encoding': 'chunked'})
        with lock:
            counts['smuggled'] += 1
        record(status == 200 and body == a, 'attacker asked for /a.txt with a body, got %d: %r' % (status, body[:60]))


threads = [threading.Thread(target=client, args=(i,)) for i in range(clients)]
threads += [threading.Thread(target=attacker) for _ in range(2)]
for t in threads:
    t.start()
for t in threads:
    t.join()
print('proxy: %d replies checked, %d smuggling attempts; %d passed, %d failed'
      % (counts['ok'] + counts['failed'], counts['smuggled'], counts['ok'], counts['failed']))
sys.exit(1 if counts['failed'] or not counts['ok'] else 0)
