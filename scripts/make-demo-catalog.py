#!/usr/bin/env python3
"""Makes a demo catalog folder for Tessaro: real FAT32 card images, zipped,
with product icons and boot files at product and image level.

    make-demo-catalog.py OUTDIR

OUTDIR receives images.json, icons/*.png and builds/*.zip; serve it over HTTP
and point --manifest at images.json. Needs mkfs.fat and mtools."""
import hashlib
import json
import os
import random
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib

MiB = 1024 * 1024
CARD_SIZE = 64 * MiB          # the whole card image
PARTITION_START = 2048        # in 512-byte sectors, as card makers do


def png(path, colour, accent):
    """A 96 x 96 icon: a rounded tile in colour with an accent stripe."""
    size = 96
    raw = bytearray()
    for y in range(size):
        raw.append(0)
        for x in range(size):
            cx, cy = min(max(x, 16), size - 17), min(max(y, 16), size - 17)
            if (x - cx) ** 2 + (y - cy) ** 2 > 16 * 16:
                raw.extend((0, 0, 0, 0))
            elif 40 <= y < 56:
                raw.extend(accent + (255,))
            else:
                raw.extend(colour + (255,))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(bytes(raw), 9)))
        f.write(chunk(b"IEND", b""))


def card_image(path, label, payload_size, seed):
    """An MBR card with one FAT32 partition holding a few files."""
    sectors = CARD_SIZE // 512
    with open(path, "wb") as f:
        f.truncate(CARD_SIZE)
        mbr = bytearray(512)
        entry = struct.pack("<B3sB3sII", 0x80, b"\0\0\0", 0x0C, b"\0\0\0",
                            PARTITION_START, sectors - PARTITION_START)
        mbr[446:462] = entry
        mbr[510:512] = b"\x55\xaa"
        f.write(mbr)
    blocks = (sectors - PARTITION_START) // 2  # mkfs.fat counts 1 KiB blocks
    subprocess.run(["mkfs.fat", "-F", "32", "-s", "1", "-n", label, "--offset", str(PARTITION_START),
                    path, str(blocks)], check=True, stdout=subprocess.DEVNULL)
    target = "%s@@%d" % (path, PARTITION_START * 512)
    rng = random.Random(seed)
    with tempfile.TemporaryDirectory() as tmp:
        kernel = os.path.join(tmp, "KERNEL.BIN")
        with open(kernel, "wb") as k:
            k.write(rng.randbytes(payload_size))
        notes = os.path.join(tmp, "README.TXT")
        with open(notes, "w") as n:
            n.write("Demo card image %s\r\n" % label)
        env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
        subprocess.run(["mcopy", "-i", target, kernel, notes, "::"], check=True, env=env)


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(MiB), b""):
            h.update(block)
    return h.hexdigest()


def build(outdir, name, label, payload_size, seed):
    os.makedirs(os.path.join(outdir, "builds"), exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        image = os.path.join(tmp, name + ".img")
        card_image(image, label, payload_size, seed)
        archive = os.path.join(outdir, "builds", name + ".zip")
        with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
            z.write(image, name + ".img")
        return {
            "url": "builds/%s.zip" % name,
            "size": os.path.getsize(archive),
            "sha256": sha256(archive),
            "extractSize": os.path.getsize(image),
            "extractSha256": sha256(image),
        }


def main(outdir):
    os.makedirs(os.path.join(outdir, "icons"), exist_ok=True)
    png(os.path.join(outdir, "icons", "alpha.png"), (0x1f, 0x6f, 0xb4), (0xe9, 0xc4, 0x6a))
    png(os.path.join(outdir, "icons", "beta.png"), (0xe7, 0x6f, 0x51), (0x26, 0x46, 0x53))

    # Incompressible payloads keep the archives a few MiB large, so the
    # download is long enough to show its speed and time left.
    alpha_stable = build(outdir, "alpha-2.1", "ALPHA21", 12 * MiB, 1)
    alpha_beta = build(outdir, "alpha-2.2-rc1", "ALPHA22", 10 * MiB, 2)
    beta_stable = build(outdir, "beta-1.0", "BETA10", 8 * MiB, 3)
    beta_lab = build(outdir, "beta-lab", "BETALAB", 4 * MiB, 4)

    catalog = {
        "schemaVersion": 1,
        "minTessaroVersion": "0.1",
        "devices": [
            {"id": "board-s", "name": "Board S"},
            {"id": "board-m", "name": "Board M"},
            {"id": "board-x", "name": "Board X"},
        ],
        "products": [
            {
                "id": "alpha",
                "name": "Alpha",
                "icon": "icons/alpha.png",
                "bootFiles": {"PRODUCT.TXT": "alpha\n", "CONFIG.TXT": "mode=standard\nlog=warn\n"},
                "images": [
                    dict(id="stable", name="Stable", version="2.1",
                         description="Recommended for every board", devices=["board-s", "board-m"], **alpha_stable),
                    dict(id="preview", name="Preview", version="2.2-rc1",
                         description="Release candidate", devices=["board-m", "board-x"],
                         bootFiles={"PRODUCT.TXT": "alpha\n", "CONFIG.TXT": "mode=preview\nlog=debug\n"},
                         **alpha_beta),
                ],
            },
            {
                "id": "beta",
                "name": "Beta",
                "icon": "icons/beta.png",
                "bootFiles": {"PRODUCT.TXT": "beta\n"},
                "images": [
                    dict(id="stable", name="Stable", version="1.0", devices=["board-s", "board-x"], **beta_stable),
                    dict(id="lab", name="Lab tools", version="0.9", description="No product set-up",
                         devices=["board-x"], bootFiles={}, **beta_lab),
                ],
            },
        ],
    }
    with open(os.path.join(outdir, "images.json"), "w") as f:
        json.dump(catalog, f, indent=2)
        f.write("\n")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
