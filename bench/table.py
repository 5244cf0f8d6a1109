#!/usr/bin/env python3
"""Prints the benchmark table (Markdown) from the results file of bench.sh.

Each line of the results file is: server, figure, value (or ERR). A cell is
the median of the runs of that server and figure; a figure with a failed run
shows ERR.

Usage: table.py RESULTS.tsv
"""
import statistics
import sys

PEERS = [("nginx", "nginx"), ("nginx-nosendfile", "nginx sendfile off"),
         ("lighttpd", "lighttpd"), ("h2o", "h2o"), ("before", "before")]

# figure, label, unit, higher is better, target: (reference, factor) or (None, limit)
FIGURES = [
    ("small", "small file 1 KB, wrk -c50", "req/s", True, ("lighttpd", 1.15)),
    ("notmod", "1 KB file answered 304 (If-None-Match), wrk -c50", "req/s", True, ("pellorwick:small", 1.2)),
    ("small-auth", "1 KB file with --auth and the right credentials, wrk -c50", "req/s", True,
     ("pellorwick:small", 0.95)),
    ("medium", "medium file 64 KB, wrk -c50", "req/s", True, ("lighttpd", 1.1)),
    ("large", "large file 100 MB, curl", "MB/s", True, ("lighttpd", 1.0)),
    ("stored", "stored member 100 MB, curl", "MB/s", True, ("pellorwick:large", 0.95)),
    ("deflated", "deflated member 100 MB, curl", "MB/s", True, ("zlib:inflate", 0.9)),
    ("listing", "listing of 2000 files, wrk -c10", "req/s", True, ("nginx", 10.0)),
    ("page-member", "10 KB page deflated in an archive, wrk -c50", "req/s", True, ("pellorwick:page-disk", 0.9)),
    ("range-90", "100-byte range at 90% of a 100 MB deflated member", "ms", False, ("pellorwick:range-0", 2.0)),
    ("aria-x8", "aria2c -x8 of a 100 MB deflated member", "MB/s", True, ("pellorwick:curl-stream", 0.9)),
    ("stall-1k", "1 KB request while a 4 GB member's end is asked", "ms", False, (None, 50.0)),
    ("zip-folder", "folder of 100 x 1 MB as ?zip, curl", "MB/s", True, ("pellorwick:large", 0.9)),
    ("zip-range", "100-byte range at the half of that ?zip", "ms", False, (None, 10.0)),
    ("gzip-member", "100 MB deflated member, curl --compressed (member bytes)", "MB/s", True,
     ("pellorwick:deflated", 5.0)),
    ("gzip-member-sent", "100 MB deflated member, gzip kept encoded by curl (member bytes)", "MB/s", True,
     ("pellorwick:deflated", 5.0)),
    ("gzip-page", "10 KB page deflated in an archive, wrk gzip", "req/s", True, ("pellorwick:page-disk", 1.0)),
    ("idle-kb", "idle connections (1000)", "KB/conn", False, (None, 12.0)),
    ("tls-small", "TLS: small file 1 KB, keep-alive, wrk -c50", "req/s", True, ("nginx", 1.1)),
    ("tls-large", "TLS: large file 100 MB, curl", "MB/s", True, ("nginx", 1.0)),
    ("tls-hs", "TLS: handshakes (a connection per request), wrk -c50", "req/s", True, ("nginx", 0.9)),
    ("tls-idle-kb", "TLS: idle connections (1000)", "KB/conn", False, (None, 64.0)),
    ("idle-cpu", "idle CPU, 1000 conns, 5 s", "% core", False, (None, 1.0)),
]

REFERENCE_NAMES = {"nginx": "nginx", "nginx-nosendfile": "nginx sendfile off", "lighttpd": "lighttpd",
                   "pellorwick:small": "the 1 KB 200",
                   "pellorwick:large": "the plain file", "zlib:inflate": "zlib inflate",
                   "pellorwick:page-disk": "the page on disk", "pellorwick:range-0": "the range at 0",
                   "pellorwick:curl-stream": "one curl stream", "pellorwick:deflated": "the inflating path"}


def load(path):
    runs = {}
    with open(path) as f:
        for line in f:
            parts = line.rstrip("\n").split("\t")
            if len(parts) == 3:
                runs.setdefault((parts[0], parts[1]), []).append(parts[2])
    medians = {}
    for key, values in runs.items():
        medians[key] = None if "ERR" in values else statistics.median(float(v) for v in values)
    return runs, medians


def cell(value, present):
    if not present:
        return "-"
    if value is None:
        return "ERR"
    return "%.2f" % value if value < 100 else "%.0f" % value


def ratio(a, b):
    if a is None or b is None or b == 0:
        return None
    return a / b


def main():
    runs, med = load(sys.argv[1])
    servers = [p for p in PEERS if any(k[0] == p[0] for k in runs)]
    header = ["figure", "unit", "Pellorwick"] + [label for _, label in servers]
    header += ["P / " + label for _, label in servers] + ["target", "met"]
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for fig, label, unit, higher, (ref, level) in FIGURES:
        if not any(k[1] == fig for k in runs):
            continue
        p = med.get(("pellorwick", fig))
        row = [label, unit, cell(p, ("pellorwick", fig) in runs)]
        row += [cell(med.get((s, fig)), (s, fig) in runs) for s, _ in servers]
        for s, _ in servers:
            r = ratio(p, med.get((s, fig)))
            row.append("%.2fx" % r if r is not None else "-")
        if ref is None:
            target = "at most %g" % level if not higher else "at least %g" % level
            met = p is not None and (p <= level if not higher else p >= level)
            if fig == "idle-cpu":
                target = "under %g" % level
                met = p is not None and p < level
        else:
            server, _, figure = ref.partition(":")
            r = ratio(p, med.get((server, figure or fig)))
            target = ("%gx " if higher else "at most %gx ") % level + REFERENCE_NAMES[ref]
            if ":" in ref:
                target += " (%s)" % cell(med.get((server, figure)), (server, figure) in runs)
                target += ": %.2fx" % r if r is not None else ": -"
            met = r is not None and (r >= level if higher else r <= level)
        row += [target, "yes" if met else "NO"]
        print("| " + " | ".join(row) + " |")


if __name__ == "__main__":
    main()
