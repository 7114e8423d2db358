#!/usr/bin/env python3
"""Checks what `cmake --install` puts on a system: the program starts from
there, the desktop entry and the AppStream file name each other, the program,
the icon and the release, and the logo is in the hicolor theme at every
standard size, scaled, with its transparent corners kept. (scripts/package
runs desktop-file-validate and appstreamcli on the package's files.)

usage: tst_install.py CMAKE BUILD_DIR
"""

import configparser
import os
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree
import zlib

ICON_SIZES = (16, 22, 24, 32, 48, 64, 128, 256, 512)


def png_rgba(path):
    """Width, height and RGBA rows of an 8-bit RGBA PNG (as the build writes)."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG file")
    pos, idat, header = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    width, height, depth, colour, _, _, interlace = header
    if (depth, colour, interlace) != (8, 6, 0):
        raise ValueError(f"not 8-bit RGBA without interlacing: {header}")
    raw, stride, rows, prev = zlib.decompress(idat), width * 4, [], bytearray(width * 4)
    for y in range(height):
        line = raw[y * (stride + 1):(y + 1) * (stride + 1)]
        kind, row = line[0], bytearray(line[1:])
        for i in range(stride):
            a = row[i - 4] if i >= 4 else 0
            b = prev[i]
            c = prev[i - 4] if i >= 4 else 0
            if kind == 1:
                row[i] = (row[i] + a) & 0xFF
            elif kind == 2:
                row[i] = (row[i] + b) & 0xFF
            elif kind == 3:
                row[i] = (row[i] + (a + b) // 2) & 0xFF
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                row[i] = (row[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
        rows.append(row)
        prev = row
    return width, height, rows


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, timeout=120, **kwargs)


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    cmake, build = sys.argv[1], sys.argv[2]
    faults = []
    with tempfile.TemporaryDirectory(prefix="tessaro-install-") as root:
        done = run([cmake, "--install", build, "--prefix", "/usr"], env=dict(os.environ, DESTDIR=root))
        if done.returncode != 0:
            print(f"FAIL: cmake --install: {done.stdout}{done.stderr}")
            return 1
        usr = os.path.join(root, "usr")

        # QGuiApplication needs a platform even to print the version.
        version = run([os.path.join(usr, "bin", "tessaro"), "--version"],
                      env=dict(os.environ, QT_QPA_PLATFORM="offscreen")).stdout.strip()
        if version != "Tessaro 0.1.0":
            faults.append(f"the installed tessaro --version prints {version!r}")

        apps = os.listdir(os.path.join(usr, "share", "applications"))
        metainfos = os.listdir(os.path.join(usr, "share", "metainfo"))
        if len(apps) != 1 or len(metainfos) != 1:
            print(f"FAIL: one desktop entry and one metainfo file expected: {apps} {metainfos}")
            return 1
        desktop_path = os.path.join(usr, "share", "applications", apps[0])
        metainfo_path = os.path.join(usr, "share", "metainfo", metainfos[0])
        entry = configparser.ConfigParser(interpolation=None)
        entry.optionxform = str
        entry.read(desktop_path, encoding="utf-8")
        entry = entry["Desktop Entry"]
        if not os.access(os.path.join(usr, "bin", entry["Exec"].split()[0]), os.X_OK):
            faults.append(f"Exec={entry['Exec']} is not an installed program")
        if entry["Categories"] != "System;Utility;":
            faults.append(f"Categories={entry['Categories']}")

        component = ElementTree.parse(metainfo_path).getroot()
        app_id = component.findtext("id")
        if apps[0] != app_id + ".desktop" or metainfos[0] != app_id + ".metainfo.xml":
            faults.append(f"{apps[0]} and {metainfos[0]} are not named after {app_id}")
        if component.findtext("launchable") != apps[0]:
            faults.append(f"the launchable {component.findtext('launchable')} is not {apps[0]}")
        releases = [r.get("version") for r in component.iter("release")]
        if releases[:1] != version.split()[-1:]:
            faults.append(f"the latest release is {releases[:1]}, the program is {version}")

        for size in ICON_SIZES:
            icon = os.path.join(usr, "share", "icons", "hicolor", f"{size}x{size}", "apps", entry["Icon"] + ".png")
            try:
                width, height, rows = png_rgba(icon)
            except (OSError, ValueError) as error:
                faults.append(f"{size} px icon: {error}")
                continue
            corner_alpha, centre_alpha = rows[0][3], rows[size // 2][(size // 2) * 4 + 3]
            if (width, height) != (size, size) or corner_alpha != 0 or centre_alpha != 255:
                faults.append(f"{size} px icon is {width}x{height}, corner alpha {corner_alpha}, "
                              f"centre alpha {centre_alpha}")

    for fault in faults:
        print(f"FAIL: {fault}")
    if not faults:
        print(f"PASS: the installed tree of {app_id}, with {len(ICON_SIZES)} icon sizes")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
