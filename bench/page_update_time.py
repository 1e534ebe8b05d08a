#!/usr/bin/env python3
"""How close a whole update from the page comes to the wire's own limit.

A full update of the built-in image from qdm7-update.html, in Chromium in
the QEMU guest of the page's tests (tests/web/browser.py), against qdm7-sim
paced at 921600 baud: the total time, the wire-time limit (characters sent
and received x 11 / baud), their ratio, and the time per block, as
bench/update_time.py gives them for qdm7-flash.

  bench/page_update_time.py [--build-dir build/web]

Needs the web preset built (cmake --preset web && cmake --build --preset web).
The test command runs the same benchmark with the page's browser tests.
"""
import argparse
import os
import re
import subprocess
import sys

here = os.path.dirname(os.path.abspath(__file__))
parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
parser.add_argument("--build-dir", default=os.path.join(here, "..", "build", "web"))
args = parser.parse_args()
build = os.path.abspath(args.build_dir)
try:
    with open(os.path.join(build, "host-tools.txt")) as f:
        sim = re.search(r"^qdm7-sim=(.*)$", f.read(), re.M).group(1)
except (OSError, AttributeError):
    sys.exit(f"page_update_time: {build} is no web build: cmake --preset web && cmake --build --preset web")
sys.exit(subprocess.call([
    sys.executable, os.path.join(here, "..", "tests", "web", "browser.py"), "--bench-only", "--root", build,
    "--page", os.path.join(build, "web", "qdm7-update.html"),
    "--short-page", os.path.join(build, "tests", "web", "qdm7-update-short.html"),
    "--image", os.path.join(build, "resources", "firmware_image.bin"),
    "--short-image", os.path.join(build, "tests", "web", "short_image.bin"),
    "--sim", sim, "--shots", os.path.join(build, "web-shots")]))
