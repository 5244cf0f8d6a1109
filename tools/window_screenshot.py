#!/usr/bin/env python3
"""Takes docs/window.png and docs/window-tray-menu.png: the window program on a
private Xvfb display, started from its Start button, with a few requests served
so the counters move; then its tray icon right-clicked so that its menu opens.
The window's QR code, shown while it serves where other devices reach it, must
decode (zbarimg) to an address of the server.

usage: tools/window_screenshot.py [PROGRAM [DOCS_DIR [ROOT]]]
       (defaults: build/pellorwick docs examples/webhome; run from the source tree)

Needs Xvfb, libXtst (for the clicks) and trayer (a notification area on the bare
display); no other tools. The pictures are read from Xvfb's frame-buffer file
(XWD format) and written as PNG with zlib.
"""
import ctypes
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import zlib

SCREEN_W, SCREEN_H = 960, 560
TRAY_H = 24  # trayer's height at the bottom right; the icon sits at its right end
WIN_W, WIN_H = 454, 300
QR_W = 200  # the panel of the QR code, to the right of the window while it serves
MARGIN = 8
DISPLAY = ":87"
PORT = 18087
START_BUTTON = (180 + 259 // 2, 210 + 12)  # centre of the Start/Stop button, window coordinates


def read_xwd(path):
    with open(path, "rb") as f:
        data = f.read()
    fields = struct.unpack(">25I", data[:100])
    (header_size, _version, _fmt, _depth, width, height, _xoff, byte_order, _unit, _bit_order, _pad,
     bpp, bytes_per_line, _vclass, red_mask, green_mask, blue_mask, _bits_rgb, _cmap, ncolors) = fields[:20]
    if bpp != 32:
        sys.exit("expected a 32-bit frame buffer, got %d bits per pixel" % bpp)
    offset = header_size + ncolors * 12
    order = "<" if byte_order == 0 else ">"

    def shift(mask):
        return (mask & -mask).bit_length() - 1

    rs, gs, bs = shift(red_mask), shift(green_mask), shift(blue_mask)
    rows = []
    for y in range(height):
        line = data[offset + y * bytes_per_line: offset + y * bytes_per_line + width * 4]
        pixels = struct.unpack(order + "%dI" % width, line)
        rows.append(bytes(b for p in pixels
                          for b in ((p & red_mask) >> rs, (p & green_mask) >> gs, (p & blue_mask) >> bs)))
    return width, height, rows


def write_png(path, rows, x, y, w, h):
    raw = b"".join(b"\0" + row[x * 3:(x + w) * 3] for row in rows[y:y + h])

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
           + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))
    with open(path, "wb") as f:
        f.write(png)


def click(x, y, button=1):
    xlib = ctypes.CDLL("libX11.so.6")
    xtst = ctypes.CDLL("libXtst.so.6")
    xlib.XOpenDisplay.restype = ctypes.c_void_p
    xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
    xlib.XFlush.argtypes = [ctypes.c_void_p]
    xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]
    xtst.XTestFakeMotionEvent.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_ulong]
    xtst.XTestFakeButtonEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
    dpy = xlib.XOpenDisplay(DISPLAY.encode())
    if not dpy:
        sys.exit("cannot open display " + DISPLAY)
    xtst.XTestFakeMotionEvent(dpy, -1, x, y, 0)
    xlib.XFlush(dpy)
    time.sleep(0.3)
    xtst.XTestFakeButtonEvent(dpy, button, 1, 0)
    xtst.XTestFakeButtonEvent(dpy, button, 0, 0)
    if button == 1:
        xtst.XTestFakeMotionEvent(dpy, -1, 0, 0, 0)  # keep the pointer out of the picture
    xlib.XFlush(dpy)
    xlib.XCloseDisplay(dpy)


def fetch(path):
    with socket.create_connection(("127.0.0.1", PORT), timeout=5) as s:
        s.sendall(("GET %s HTTP/1.0\r\n\r\n" % path).encode())
        while s.recv(65536):
            pass


def main():
    program = sys.argv[1] if len(sys.argv) > 1 else "build/pellorwick"
    docs = sys.argv[2] if len(sys.argv) > 2 else "docs"
    root = sys.argv[3] if len(sys.argv) > 3 else "examples/webhome"
    fbdir = tempfile.mkdtemp()
    xvfb = subprocess.Popen(["Xvfb", DISPLAY, "-screen", "0", "%dx%dx24" % (SCREEN_W, SCREEN_H),
                             "-fbdir", fbdir, "-nolisten", "tcp"], stderr=subprocess.DEVNULL)
    prog = tray = None
    try:
        time.sleep(1.5)
        env = dict(os.environ, DISPLAY=DISPLAY, QT_QPA_PLATFORM="xcb")
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)  # the icon goes to trayer, not to a session bus
        tray = subprocess.Popen(["trayer", "--edge", "bottom", "--align", "right", "--widthtype", "request",
                                 "--height", str(TRAY_H), "--SetDockType", "true", "--transparent", "false",
                                 "--tint", "0x3c3c3c"], env=env, stderr=subprocess.DEVNULL)
        time.sleep(1)
        prog = subprocess.Popen([program, "--root", root, "--port", str(PORT)], env=env)
        time.sleep(3)
        wx, wy = (SCREEN_W - WIN_W) // 2, (SCREEN_H - WIN_H) // 2
        click(wx + START_BUTTON[0], wy + START_BUTTON[1])
        time.sleep(1)
        for path in ("/", "/?help", "/", "/?rc=folder"):
            try:
                fetch(path)
            except OSError as e:
                sys.exit("the window did not start the server: %s" % e)
        time.sleep(2.5)  # two ticks of the counters
        _, _, rows = read_xwd(os.path.join(fbdir, "Xvfb_screen0"))
        output = os.path.join(docs, "window.png")
        write_png(output, rows, wx - MARGIN, wy - MARGIN, WIN_W + QR_W + 2 * MARGIN, WIN_H + 2 * MARGIN)
        print("wrote", output)
        if shutil.which("zbarimg"):
            code = subprocess.run(["zbarimg", "--raw", "-q", output], capture_output=True, text=True).stdout.strip()
            if not code.startswith("http://") or not code.endswith(":%d/" % PORT):
                sys.exit("the QR code in the window reads %r, not an address of the server" % code)
            print("its QR code reads", code)

        click(SCREEN_W - TRAY_H // 2, SCREEN_H - TRAY_H // 2, button=3)
        time.sleep(1.5)
        _, _, rows = read_xwd(os.path.join(fbdir, "Xvfb_screen0"))
        output = os.path.join(docs, "window-tray-menu.png")
        x0, y0 = wx - MARGIN, wy - MARGIN
        write_png(output, rows, x0, y0, SCREEN_W - x0, SCREEN_H - y0)
        print("wrote", output)
    finally:
        for p in (prog, tray):
            if p:
                p.terminate()
                p.wait()
        xvfb.terminate()
        xvfb.wait()
        shutil.rmtree(fbdir, ignore_errors=True)


if __name__ == "__main__":
    main()
