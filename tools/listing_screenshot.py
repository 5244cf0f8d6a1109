#!/usr/bin/env python3
"""Takes docs/listing-utf8.png: headless Chromium showing the listing of a folder
whose names are written in several scripts, served by the console program; and
beside it listing-phone-light.png and listing-phone-dark.png, the same listing
390 pixels wide as on a phone, in light colours and with --force-dark-mode.

usage: tools/listing_screenshot.py [PROGRAM [OUTPUT]]
       (defaults: build/pellorwick docs/listing-utf8.png; run from the source tree)

Needs /usr/bin/chromium, and fonts for the scripts shown (CJK: fonts-wqy-microhei).
"""
import os
import subprocess
import sys
import tempfile
import time

PORT = 18088
NAMES = {
    'Café menu.pdf': 48213, 'Ελληνικά κείμενα.txt': 2048, 'Русский текст.md': 713, '日本語のファイル.txt': 1200,
    'ñandú-ñandú-ñandú-ñandú.txt': 99, 'Zürich 2024.jpg': 2480000, 'naïve notes.md': 5120, 'Übersicht.zip': 0,
    'back\\slash.txt': 12, 'emoji 😀 party.svg': 3300,
}


def main():
    program = sys.argv[1] if len(sys.argv) > 1 else 'build/pellorwick'
    output = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else 'docs/listing-utf8.png')
    with tempfile.TemporaryDirectory() as root:
        folder = os.path.join(root, 'shared')
        os.makedirs(os.path.join(folder, 'Größere Dateien'))
        when = time.mktime((2024, 5, 17, 9, 30, 0, 0, 0, -1))
        for name, size in NAMES.items():
            path = os.path.join(folder, name)
            if name.endswith('.zip'):
                subprocess.run(['python3', '-c', 'import sys, zipfile; zipfile.ZipFile(sys.argv[1], "w").writestr('
                                '"lisez-moi.txt", "bonjour")', path], check=True)
            else:
                with open(path, 'wb') as f:
                    f.truncate(size)
            os.utime(path, (when, when))
            when += 86400 * 3 + 3671
        with open(os.path.join(folder, b'latin-\xe9t\xe9.txt'.decode('utf-8', 'surrogateescape')), 'wb') as f:
            f.write(b'named in Latin-1')
        server = subprocess.Popen([program, '--console', '--root', root, '--port', str(PORT)],
                                  stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
        try:
            time.sleep(1)
            phone = os.path.join(os.path.dirname(output), 'listing-phone-%s.png')
            for shot, size, extra in ((output, '860,460', []), (phone % 'light', '390,700', []),
                                      (phone % 'dark', '390,700', ['--force-dark-mode'])):
                profile = tempfile.mkdtemp()
                subprocess.run(['/usr/bin/chromium', '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic',
                                '--no-first-run', '--disable-background-networking', '--disable-component-update',
                                '--disable-sync', '--hide-scrollbars', '--user-data-dir=' + profile,
                                '--window-size=' + size, '--screenshot=' + shot] + extra +
                               ['http://127.0.0.1:%d/shared/?O=dN' % PORT],
                               check=True, stderr=subprocess.DEVNULL)
                subprocess.run(['rm', '-rf', profile])
                print('wrote', shot)
        finally:
            server.terminate()
            server.wait()


if __name__ == '__main__':
    main()
