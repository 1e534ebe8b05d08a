"""What the station benches share: the times of the --report records, the
report file read line by line (a torn line said and skipped, never taken as
a record), what /proc says of a running qdm7-flash, and a build of the tools
carrying a short image, so that a unit's update takes a fraction of a second.
"""
import datetime
import json
import os
import subprocess

here = os.path.dirname(os.path.abspath(__file__))
source = os.path.normpath(os.path.join(here, ".."))
SHORT_BLOCK = 16384


def utc_seconds(text):
    """A record's "started" or "ended" as seconds since the epoch."""
    return datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%f%z").timestamp()


def parse_report(data):
    """The records of a report file's bytes, and its torn lines: (line number,
    text) of each line that is no whole JSON object, the last one's even
    without its newline. A line is only ever a record or torn."""
    records, torn = [], []
    lines = data.split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    for number, line in enumerate(lines, 1):
        try:
            record = json.loads(line)
            if not isinstance(record, dict):
                raise ValueError("not an object")
            records.append(record)
        except ValueError:
            torn.append((number, line.decode(errors="replace")))
    return records, torn


def read_report(path, say=print):
    """The records of a report file; a torn line is said and skipped."""
    with open(path, "rb") as report:
        records, torn = parse_report(report.read())
    for number, text in torn:
        say(f"{path}:{number}: a torn line, not a record: {text[:80]!r}")
    return records, torn


def process_figures(pid):
    """Resident memory (KiB), open descriptors and threads of a running process."""
    figures = {}
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            key, _, value = line.partition(":")
            if key == "VmRSS":
                figures["rss_kib"] = int(value.split()[0])
            elif key == "Threads":
                figures["threads"] = int(value)
    figures["fds"] = len(os.listdir(f"/proc/{pid}/fd"))
    return figures


def short_image_tools(blocks, build_root=None):
    """qdm7-sim and a qdm7-flash carrying the sample image cut to the given
    blocks (the last one partly padded), built optimised without sanitizers
    in build/soak-N (the first time takes about a minute on two cores; then
    only what changed). Returns (sim, flash, image path)."""
    build = os.path.join(build_root or os.path.join(source, "build"), f"soak-{blocks}")
    os.makedirs(build, exist_ok=True)
    image = os.path.join(build, "image.bin")
    length = (blocks - 1) * SHORT_BLOCK + SHORT_BLOCK * 2 // 5  # a part block last: padding is sent too
    if not os.path.exists(image) or os.path.getsize(image) != length:
        subprocess.run(["python3", os.path.join(source, "tools", "mkimage", "mkimage.py"), image,
                        "--length", str(length)], check=True)
    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        subprocess.run(["cmake", "-S", source, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                        "-DQDM7_SANITIZE=OFF", "-DQDM7_BUILD_TESTS=OFF", "-DCMAKE_COMPILE_WARNING_AS_ERROR=ON",
                        f"-DQDM7_FIRMWARE_IMAGE={image}"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "-j2", "--target", "qdm7-flash", "qdm7-sim"], check=True,
                   stdout=subprocess.DEVNULL)
    return (os.path.join(build, "tools", "qdm7-sim", "qdm7-sim"),
            os.path.join(build, "tools", "qdm7-flash", "qdm7-flash"), image)
