#!/usr/bin/python3
"""Checks that the committed artwork is what tools/make-artwork.py draws:
draws it afresh into a temporary folder and compares the decoded pixels of
every image (and of every size in the icon) with artwork/."""

import os
import subprocess
import sys
import tempfile

from PIL import Image

here = os.path.dirname(os.path.abspath(__file__))
committed = os.path.join(here, "..", "artwork")
names = ["faceplate.png", "badge.png", "platter.png", "auralith.ico"]
expected_sizes = {"faceplate.png": (1458, 1023), "badge.png": (128, 128), "platter.png": (1024, 1024)}


def frames(path):
    image = Image.open(path)
    if path.endswith(".ico"):
        return {size: image.ico.getimage(size).convert("RGBA").tobytes() for size in sorted(image.ico.sizes())}
    return {image.size: image.convert("RGBA").tobytes()}


passed = failed = 0
with tempfile.TemporaryDirectory() as fresh:
    subprocess.run([sys.executable, os.path.join(here, "make-artwork.py"), fresh], check=True)
    for name in names:
        want = frames(os.path.join(fresh, name))
        have = frames(os.path.join(committed, name))
        ok = want == have and (name not in expected_sizes or list(have) == [expected_sizes[name]])
        print(("ok     " if ok else "DIFFERS ") + name)
        passed += ok
        failed += not ok
print("%d passed, %d failed" % (passed, failed))
sys.exit(1 if failed else 0)
