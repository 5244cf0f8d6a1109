#!/usr/bin/env python3
"""Builds the tree the benchmarks serve.

    small.txt            1 KB
    medium.txt           64 KB
    large.txt            100 MB of word text: compressible, but not trivially
    stored.zip           large.txt stored in a ZIP archive
    deflated.zip         large.txt deflated in a ZIP archive
    list/                2000 small files and no index page
    page.html, page.zip  a 10 KB page, and the same page deflated in an archive
    zeros.zip            4,000,000,000 zero bytes deflated: an archive of a few MB

Usage: make_fixtures.py DIR
"""
import os
import random
import sys
import zipfile

MB = 1024 * 1024

WORDS = ("the of and to in is was for on that with as by at from his her it an were "
         "are which this be or has had not but also first one their its new after who "
         "they have two been other when there all during into school time may years more "
         "most only over city some world would where later up such used many can state "
         "about national out known university united then made between page server file "
         "archive member request header length range bytes listing directory connection "
         "socket buffer window deflate inflate stored central record local offset").split()


def text(rng, size):
    """Word text with numbers and line breaks, `size` bytes long."""
    parts = []
    total = 0
    while total < size:
        line = " ".join(rng.choices(WORDS, k=rng.randint(6, 14)))
        line += " %d %08x\n" % (rng.randint(0, 99999), rng.getrandbits(32))
        parts.append(line)
        total += len(line)
    return "".join(parts).encode()[:size]


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def main():
    root = sys.argv[1]
    rng = random.Random(20240607)
    os.makedirs(root, exist_ok=True)
    write(os.path.join(root, "small.txt"), text(rng, 1024))
    write(os.path.join(root, "medium.txt"), text(rng, 64 * 1024))

    large = os.path.join(root, "large.txt")
    with open(large, "wb") as f:
        for _ in range(100):
            f.write(text(rng, MB))

    for name, method in (("stored.zip", zipfile.ZIP_STORED), ("deflated.zip", zipfile.ZIP_DEFLATED)):
        with zipfile.ZipFile(os.path.join(root, name), "w", compression=method, compresslevel=6 if method else None) as z:
            z.write(large, "large.txt")

    page = text(rng, 10 * 1024)
    write(os.path.join(root, "page.html"), page)
    with zipfile.ZipFile(os.path.join(root, "page.zip"), "w", compression=zipfile.ZIP_DEFLATED) as z:
        z.writestr("page.html", page)
    with zipfile.ZipFile(os.path.join(root, "zeros.zip"), "w", compression=zipfile.ZIP_DEFLATED) as z:
        info = zipfile.ZipInfo("zeros.bin")
        info.compress_type = zipfile.ZIP_DEFLATED
        with z.open(info, "w", force_zip64=True) as f:
            chunk = bytes(MB)
            for _ in range(4000000000 // MB):
                f.write(chunk)
            f.write(bytes(4000000000 % MB))

    listing = os.path.join(root, "list")
    os.makedirs(listing, exist_ok=True)
    for i in range(2000):
        write(os.path.join(listing, "file-%04d.txt" % i), b"%d\n" % i)


if __name__ == "__main__":
    main()
