#!/usr/bin/env python3
"""Releases and what the Windows programs say about themselves.

Cases:
  refusals      scripts/release.sh refuses each bad input with one line
  version-info  the development build's programs: version resource as
                Windows reads it (under Wine), 0.0.0, "development build"
  reproducible  two releases of one small image from two copies of the
                sources at different paths give the same bytes; the files,
                image.txt, the version resource and qdm7-flash --version
"""

import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
here = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(here, "..", "..", "resources"), os.path.join(here, "..", "support")]
import image_facts  # noqa: E402
from qdm7test import BLOCK, Failure, check, run, wine_env  # noqa: E402

VERSION = "2.7.13"
SAMPLE_NOTE = "sample image (not a release)"


def image_summary(image):
    """As the build describes the image (resources/image_facts.py); the CRC
    is checked against the programs' own in the reproducible case."""
    facts = image_facts.image_facts(image)
    return ("%d bytes, padded to %d (%d blocks)" % (facts["length"], facts["padded"], facts["blocks"]),
            facts["crc"])


def wine(args, *command):
    """A Windows program under Wine, in the build's shared prefix, no display."""
    status, out, err, _ = run(["bash", args.wine_run, *command], 600, wine_env())
    return status, out, err


def version_info(args, exe):
    """The version resource of exe as Wine's GetFileVersionInfo reads it."""
    status, out, err = wine(args, args.driver, "version-info:Z:" + exe)
    check(status == 0, "reading the version resource of %s: %s" % (exe, err.strip()))
    info = {}
    for line in out.splitlines():
        kind, _, rest = line.partition(" ")
        if kind == "value":
            key, _, value = rest.partition(" ")
            info[key] = value.replace("\\\\", "\\")
        elif kind in ("file-version", "product-version", "flags", "translation"):
            info[kind] = rest
    return info


def check_version_info(args, exe, version, image, sample):
    info = version_info(args, exe)
    development = version == "0.0.0"
    summary, crc = image_summary(image)
    wanted = {
        "file-version": version + ".0", "product-version": version + ".0",
        "flags": "0x2" if development else "0",  # VS_FF_PRERELEASE
        "translation": "0809 1200",
        "ProductName": "QDM7 Firmware Update Tool",
        "FileVersion": version, "ProductVersion": version,
        "Comments": "Firmware image: %s, CRC 0x%04x%s"
                    % (summary, crc, "; " + SAMPLE_NOTE if sample else ""),
    }
    for key, value in wanted.items():
        check(info.get(key) == value, "%s: %s is %r, not %r" % (exe, key, info.get(key), value))
    description = info.get("FileDescription", "")
    check(description.startswith("QDM7 firmware updater") and
          description.endswith(" (development build)") == development,
          "%s: description %r" % (exe, description))
    print("%s: %s %s; %s" % (os.path.basename(exe), info["FileVersion"], description,
                             info["Comments"]))


# --- the cases ----------------------------------------------------------------

def case_refusals(args):
    work = fresh(os.path.join(args.work, "refusals"))
    files = {name: os.path.join(work, name) for name in ("good", "empty", "sample", "cut", "full")}
    with open(files["good"], "wb") as f:
        f.write(os.urandom(5000))
    open(files["empty"], "wb").close()
    # The sample as the build makes it, and one cut short and padded to blocks.
    mkimage = os.path.join(args.source, "tools", "mkimage", "mkimage.py")
    subprocess.run([sys.executable, mkimage, files["sample"]], check=True)
    subprocess.run([sys.executable, mkimage, "--length", "20000", files["cut"]], check=True)
    with open(files["cut"], "ab") as f:
        f.write(bytes(2 * BLOCK - 20000))
    os.makedirs(files["full"])
    open(os.path.join(files["full"], "old.exe"), "w").close()
    good, out = files["good"], os.path.join(work, "out")

    for what, (image, version, out_dir), message in [
        ("missing image", [os.path.join(work, "absent"), "1.0.0", out], "no such image file"),
        ("empty image", [files["empty"], "1.0.0", out], "image file is empty"),
        ("sample image", [files["sample"], "1.0.0", out], "is the generated sample image"),
        ("sample, cut and padded", [files["cut"], "1.0.0", out], "is the generated sample image"),
        ("two numbers", [good, "1.2", out], "is not X.Y.Z"),
        ("a v in front", [good, "v1.2.3", out], "is not X.Y.Z"),
        ("above 16 bits", [good, "1.2.65536", out], "is not X.Y.Z"),
        ("development version", [good, "0.0.0", out], "marks development builds"),
        ("output folder not empty", [good, "1.0.0", files["full"]], "output folder is not empty"),
    ]:
        status, stdout, err, _ = run(["bash", args.script, "--image", image, "--version", version,
                                      "--out", out_dir], 600)
        check(status == 1 and stdout == "", "%s: exit %d\n%s%s" % (what, status, stdout, err))
        check(err.count("\n") == 1 and err.startswith("release: ") and message in err,
              "%s: %r" % (what, err))
        print("%-24s %s" % (what + ":", err.strip()))
    check(not os.path.exists(out), "a refused release made its output folder")
    check(os.listdir(files["full"]) == ["old.exe"], "a refused release touched a full folder")


def case_version_info(args):
    with open(args.image, "rb") as f:
        image = f.read()
    for exe in (args.update, args.flash):
        check_version_info(args, exe, "0.0.0", image, args.sample_image)


def case_reproducible(args):
    work = fresh(os.path.join(args.work, "reproducible"))
    image_path = os.path.join(work, "release.bin")
    # Not the sample: bytes of a hash chain, 40000 of them (three blocks).
    image = b"".join(hashlib.sha256(b"QDM7 %d" % i).digest() for i in range(1250))
    with open(image_path, "wb") as f:
        f.write(image)

    sums = []
    started = time.monotonic()
    for n, folder in enumerate(("first/qdm7", "second-copy/at/another/path/src")):
        source = os.path.join(work, folder)
        copy_sources(args.source, source)
        temp = fresh(os.path.join(work, "tmp%d" % n))
        out = os.path.join(work, "out%d" % n)
        # Another locale and time zone for the second run.
        env = dict(os.environ, TMPDIR=temp, TZ="UTC" if n == 0 else "Pacific/Auckland",
                   LC_ALL="C" if n == 0 else "C.UTF-8")
        began = time.monotonic()
        status, stdout, err, _ = run(["bash", os.path.join(source, "scripts", "release.sh"),
                                      "--image", image_path, "--version", VERSION, "--out", out], 600, env)
        check(status == 0, "release %d failed (%d):\n%s%s" % (n, status, stdout[-3000:], err[-3000:]))
        print("release %d from %s: %.1f s" % (n, source, time.monotonic() - began))
        check(os.listdir(temp) == [], "release %d left its build folder: %s" % (n, os.listdir(temp)))
        with open(os.path.join(out, "SHA256SUMS")) as f:
            sums.append(f.read())
    print("both releases: %.1f s" % (time.monotonic() - started))
    print(sums[0], end="")
    check(sums[0] == sums[1], "the two releases differ:\n%s\n%s" % (sums[0], sums[1]))

    out = os.path.join(work, "out0")
    names = sorted(os.listdir(out))
    check(names == sorted(["qdm7-update-%s.exe" % VERSION, "qdm7-flash-%s.exe" % VERSION,
                           "image.txt", "SHA256SUMS"]), "the release holds %s" % names)
    status, _, err, _ = run(["sh", "-c", 'cd "$0" && sha256sum -c --strict SHA256SUMS', out], 600)
    check(status == 0, "sha256sum -c: %s" % err)
    summary, crc = image_summary(image)
    with open(os.path.join(out, "image.txt")) as f:
        account = f.read()
    for line in ("length: %d bytes" % len(image), "padded length: %d bytes" % (3 * BLOCK),
                 "blocks: 3 of 16384 bytes", "CRC-16: 0x%04x " % crc,
                 "SHA-256: %s " % hashlib.sha256(image).hexdigest()):
        check(line in account, "image.txt lacks %r:\n%s" % (line, account))
    check(VERSION in account.splitlines()[0], "image.txt names no version:\n%s" % account)

    update = os.path.join(out, "qdm7-update-%s.exe" % VERSION)
    flash = os.path.join(out, "qdm7-flash-%s.exe" % VERSION)
    for exe, subsystem in ((update, "Windows GUI"), (flash, "Windows CUI")):
        status, dump, _, _ = run([args.objdump, "-p", exe], 600)
        check(status == 0 and re.search(r"^Magic\s+010b\s+\(PE32\)", dump, re.M) and
              re.search(r"^Subsystem\s+0000000[23]\s+\(%s\)" % subsystem, dump, re.M) and
              re.search(r"^Time/Date\s+Thu Jan  1 00:00:00 1970", dump, re.M),
              "%s: not a PE32 %s program without a time stamp" % (exe, subsystem))
        check_version_info(args, exe, VERSION, image, False)

    # The console program with a release image: as today, without a sample note.
    status, stdout, err = wine(args, flash, "--version")
    wanted = ("qdm7-flash %s\nimage: %s, flash base 0x8008000, CRC 0x%04x\nimage: SHA-256 %s\n"
              % (VERSION, summary, crc, hashlib.sha256(image).hexdigest()))
    check(status == 0 and stdout == wanted, "--version: %d %r, wanted %r" % (status, stdout, wanted))
    check(SAMPLE_NOTE not in err, "a sample note on standard error: %r" % err)
    shutil.rmtree(work)


def copy_sources(source, target):
    """The source tree without its build folders, Git data or byte-code."""
    top = os.path.realpath(source)

    def ignore(folder, names):
        skip = {"__pycache__"} | ({"build", ".git"} if os.path.realpath(folder) == top else set())
        return [name for name in names if name in skip]

    shutil.copytree(source, target, symlinks=True, ignore=ignore)


def fresh(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


CASES = {"refusals": case_refusals, "version-info": case_version_info,
         "reproducible": case_reproducible}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--source", help="the source tree")
    parser.add_argument("--work", required=True, help="a folder of the test's own")
    parser.add_argument("--driver", help="qdm7-dialog-driver.exe, which reads version resources")
    parser.add_argument("--wine-run", help="scripts/wine-run.sh")
    parser.add_argument("--objdump", default="i686-w64-mingw32-objdump")
    parser.add_argument("--update", help="the build's qdm7-update.exe")
    parser.add_argument("--flash", help="the build's qdm7-flash.exe")
    parser.add_argument("--image", help="the image the build embeds")
    parser.add_argument("--sample-image", type=int, choices=(0, 1), default=0)
    parser.add_argument("case", choices=sorted(CASES))
    args = parser.parse_args()
    for name in ("source", "work", "driver", "wine_run", "update", "flash", "image"):
        if getattr(args, name):
            setattr(args, name, os.path.abspath(getattr(args, name)))
    if args.source:
        args.script = os.path.join(args.source, "scripts", "release.sh")
    try:
        CASES[args.case](args)
    except Failure as failure:
        print("FAILED: %s" % failure)
        return 1
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
