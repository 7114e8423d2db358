#!/usr/bin/env python3
"""Checks that the Italian catalog covers every text the code marks for
translation, and holds nothing the code no longer uses.

lupdate scans the QML documents, the Backend and the core pieces it shares
with the command line into a scratch copy of
i18n/tessaro_it.ts. A text of the code that the catalog lacks comes back as
a new unfinished message; a catalog message that the code no longer carries
comes back vanished (the build's own update_translations would delete it).
Either one fails the test, listed by context and source text.

usage: tst_translation_sources.py LUPDATE SOURCE_DIR
"""

import os
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    lupdate, source_dir = sys.argv[1], os.path.abspath(sys.argv[2])
    src = os.path.join(source_dir, "src")
    catalog = os.path.join(source_dir, "i18n", "tessaro_it.ts")

    with tempfile.TemporaryDirectory(prefix="tessaro-lupdate-") as scratch:
        refreshed = os.path.join(scratch, "tessaro_it.ts")
        shutil.copyfile(catalog, refreshed)
        run = subprocess.run(
            [lupdate, "-silent", "-locations", "none", "-I", src,
             os.path.join(src, "qml"), os.path.join(src, "backend"),
             os.path.join(src, "core"),
             "-ts", refreshed],
            capture_output=True, text=True, timeout=120)
        # lupdate reports texts it cannot extract (for example tr() on a
        # variable) only as warnings: show them with any failure.
        sys.stderr.write(run.stdout + run.stderr)
        if run.returncode != 0:
            print(f"FAIL: lupdate exited with {run.returncode}")
            return 1
        root = ElementTree.parse(refreshed).getroot()

    if root.get("language") != "it":
        print(f"FAIL: the refreshed catalog declares language {root.get('language')!r}")
        return 1

    faults = []
    count = 0
    for context in root.iter("context"):
        name = context.findtext("name")
        for message in context.iter("message"):
            count += 1
            source = message.findtext("source")
            kind = message.find("translation").get("type")
            if kind == "unfinished":
                faults.append(f"no Italian text for {name}: {source!r}")
            elif kind in ("vanished", "obsolete"):
                faults.append(f"not in the code any more: {name}: {source!r}")

    for fault in faults:
        print("FAIL:", fault)
    if faults:
        return 1
    print(f"PASS: {count} translated texts, all in the Italian catalog")
    return 0


if __name__ == "__main__":
    sys.exit(main())
