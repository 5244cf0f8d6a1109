#!/usr/bin/env python3
"""Builds the tree the soak test serves, the expected bytes of every archive
member, and the manifest the soak client reads.

    make_tree.py WORKDIR

WORKDIR/root      the served tree
WORKDIR/expect    the original bytes of archive members
WORKDIR/manifest  one resource a line, tab-separated:
                  F <target> <path of the expected bytes>   a file on disk
                  M <target> <path of the expected bytes>   an archive member
                  L <target> <href> <href> ...              a listing and links it must hold
                  B <target> <path of the expected bytes>   the large file stalled readers use
"""
import os
import random
import sys
import zipfile

work = os.path.abspath(sys.argv[1])
root = os.path.join(work, 'root')
expect = os.path.join(work, 'expect')
rng = random.Random(20240607)
manifest = []


def put(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(data)


def noise(n):
    return rng.getrandbits(8 * n).to_bytes(n, 'little') if n else b''


def text(n):
    words = ['pellorwick', 'archive', 'member', 'range', 'listing', 'socket', 'deflate', 'stored',
             'byte', 'request', 'reply', 'header', 'client', 'server', 'cache', 'clean']
    out = []
    size = 0
    while size < n:
        line = ' '.join(rng.choice(words) for _ in range(rng.randint(1, 14))) + '\n'
        out.append(line)
        size += len(line)
    return ''.join(out).encode()[:n]


# Files on disk around the buffer sizes (8192 out, 1436 low water) and larger.
SIZES = [0, 1, 2, 100, 1435, 1436, 1437, 4096, 8191, 8192, 8193, 16384, 65535, 65536,
         100000, 262144, 1000003, 2500000]
for size in SIZES:
    rel = 'files/s%d.bin' % size
    put(os.path.join(root, rel), noise(size))
    manifest.append(('F', '/' + rel, os.path.join(root, rel)))
for size in (10, 5000, 300000):
    rel = 'files/t%d.txt' % size
    put(os.path.join(root, rel), text(size))
    manifest.append(('F', '/' + rel, os.path.join(root, rel)))
files_hrefs = sorted(os.listdir(os.path.join(root, 'files')))
manifest.append(('L', '/files/', *files_hrefs))

# Stalled readers need a file far larger than both sides' socket buffers.
big = 'big/stall.bin'
put(os.path.join(root, big), noise(24 << 20))
manifest.append(('B', '/' + big, os.path.join(root, big)))

# Directories to list, one with a subdirectory and an archive.
for d in range(8):
    names = []
    for j in range(5 + 5 * d):
        name = 'n%02d.txt' % j
        put(os.path.join(root, 'dirs', 'd%d' % d, name), b'%d/%d\n' % (d, j))
        names.append(name)
    if d == 7:
        os.makedirs(os.path.join(root, 'dirs', 'd7', 'sub'))
        names.append('sub/')
    manifest.append(('L', '/dirs/d%d/' % d, *names))
manifest.append(('L', '/dirs/', *['d%d/' % d for d in range(8)]))


def archive(name, method, members):
    path = os.path.join(root, 'arch', name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    dirs = {}
    with zipfile.ZipFile(path, 'w') as z:
        for member, data in members:
            info = zipfile.ZipInfo(member, (2020, 5, 6, 7, 8, 10))
            info.compress_type = method
            z.writestr(info, data)
            put(os.path.join(expect, name, member), data)
            manifest.append(('M', '/arch/%s/%s' % (name, member), os.path.join(expect, name, member)))
            parts = member.split('/')
            for i in range(len(parts)):
                parent = '/'.join(parts[:i])
                href = parts[i] + ('/' if i < len(parts) - 1 else '')
                dirs.setdefault(parent, set()).add(href)
    for parent, hrefs in sorted(dirs.items()):
        target = '/arch/%s/%s' % (name, parent + '/' if parent else '')
        manifest.append(('L', target, *sorted(hrefs)))


members = []
for size in (0, 1, 700, 1436, 8192, 8193, 40000, 150000):
    members.append(('docs/t%d.txt' % size, text(size)))
for size in (3, 9000, 70000):
    members.append(('bin/r%d.bin' % size, noise(size)))
members.append(('big/text.txt', text(1500000)))
members.append(('big/mixed.bin', b''.join(noise(4000) + text(4000) for _ in range(60))))
members.append(('top.html', b'<html><body>inside the deflated archive</body></html>\n'))
archive('deflated.zip', zipfile.ZIP_DEFLATED, members)

members = []
for size in (0, 5, 1437, 8191, 65536, 400000):
    members.append(('s/m%d.bin' % size, noise(size)))
members.append(('readme.txt', text(3000)))
archive('stored.zip', zipfile.ZIP_STORED, members)
manifest.append(('L', '/arch/', 'deflated.zip', 'stored.zip'))

with open(os.path.join(work, 'manifest'), 'w') as f:
    for row in manifest:
        f.write('\t'.join(row) + '\n')
