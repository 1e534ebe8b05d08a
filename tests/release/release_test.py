#!/usr/bin/env python3
"""Releases and what the Windows programs say about themselves.

Cases:
  refusals      scripts/release.sh refuses each bad input with one line
  inputs        an ELF file, Intel HEX and a raw image of one firmware give
                the same raw image to build in; a gap is filled and said; an
                image as long as the flash is taken
  version-info  the development build's programs: version resource as
                Windows reads it (under Wine), 0.0.0, "development build"
  reproducible  two releases of one small image from two copies of the
                sources at different paths, one from the raw image and one
                from its ELF file, give the same programs and package; the
                files, image.txt, the version resource and qdm7-flash --version
  signed-package
                a release of a one-block image signed with a throwaway
                certificate verifies with osslsigncode; its Debian package
                installs in a scratch root, passes dpkg --verify, runs,
                shows its man page and removes without a trace
"""

import argparse
import base64
import hashlib
import os
import re
import shutil
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
here = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(here, "..", "..", "resources"), os.path.join(here, "..", "support"),
                os.path.join(here, "..", "..", "tools", "mkimage")]
import image_facts  # noqa: E402
from qdm7test import BLOCK, FLASH_BASE, Failure, check, run, wine_env  # noqa: E402

VERSION = "2.7.13"
SAMPLE_NOTE = "sample image (not a release)"
USB_ID = "0483:5740"


def release_image():
    """Not the sample: the sample's vector table, then bytes of a hash chain
    (40392 bytes, three blocks)."""
    import mkimage
    return mkimage.vector_table() + b"".join(
        hashlib.sha256(b"QDM7 %d" % i).digest() for i in range(1250))


def firmware_files(work, image, sections=None):
    """image as a firmware build gives it: (raw, ELF, Intel HEX) paths, the
    ELF linked by binutils for Arm with image's bytes at 0x08008000 (or
    sections: (address, bytes[, name]), each loaded where it lies), the HEX
    made from it by objcopy."""
    sections = sections or [(FLASH_BASE, image)]
    raw, elf, hex_ = (os.path.join(work, "firmware" + ext) for ext in (".bin", ".elf", ".hex"))
    with open(raw, "wb") as f:
        f.write(image)
    source, starts = [], []
    for n, (address, data, *name) in enumerate(sections):
        name = name[0] if name else ".part%d" % n
        with open(os.path.join(work, "part%d.bin" % n), "wb") as f:
            f.write(data)
        source.append('.section %s,"a"\n.incbin "part%d.bin"\n' % (name, n))
        starts.append("--section-start=%s=%#x" % (name, address))
    with open(os.path.join(work, "firmware.s"), "w") as f:
        f.write("".join(source))
    obj = os.path.join(work, "firmware.o")
    for command in (["arm-none-eabi-as", "-I", work, "-o", obj, os.path.join(work, "firmware.s")],
                    ["arm-none-eabi-ld", "-e", "0", "-o", elf, *starts, obj],
                    ["arm-none-eabi-objcopy", "-O", "ihex", elf, hex_]):
        status, _, err, _ = run(command, 60)
        check(status == 0, "%s: %s" % (command[0], err.strip()))
    return raw, elf, hex_


def device_flash_size(source):
    """DEVICE_FLASH_SIZE as device/qdm7_device.h has it: the flash that an
    image must fit, from 0x08008000."""
    with open(os.path.join(source, "device", "qdm7_device.h")) as f:
        factors = re.search(r"DEVICE_FLASH_SIZE = ([0-9u* ]+);", f.read()).group(1)
    size = 1
    for factor in re.findall(r"\d+", factors):
        size *= int(factor)
    return size


def certificate(work, name, expired=False):
    """A throwaway self-signed code-signing certificate and its key (PEM);
    expired: valid for one day of 2020 only."""
    key, cert = os.path.join(work, name + ".key"), os.path.join(work, name + ".pem")
    subject = ["-subj", "/CN=QDM7 throwaway signer %s" % name, "-newkey", "rsa:2048", "-nodes", "-keyout", key]
    if not expired:
        commands = [["openssl", "req", "-x509", *subject, "-out", cert, "-days", "2",
                     "-addext", "extendedKeyUsage=codeSigning"]]
    else:
        ca = fresh(os.path.join(work, name + ".ca"))
        open(os.path.join(ca, "index.txt"), "w").close()
        with open(os.path.join(ca, "serial"), "w") as f:
            f.write("01\n")
        with open(os.path.join(ca, "ca.cnf"), "w") as f:
            f.write("[ca]\ndefault_ca = throwaway\n[throwaway]\ndatabase = %s/index.txt\n"
                    "new_certs_dir = %s\nserial = %s/serial\ndefault_md = sha256\n"
                    "policy = any\nx509_extensions = signing\n[any]\ncommonName = supplied\n"
                    "[signing]\nextendedKeyUsage = codeSigning\n" % (ca, ca, ca))
        request = os.path.join(ca, "request.pem")
        commands = [["openssl", "req", "-new", *subject, "-out", request],
                    ["openssl", "ca", "-batch", "-selfsign", "-config", os.path.join(ca, "ca.cnf"),
                     "-keyfile", key, "-in", request, "-out", cert, "-notext",
                     "-startdate", "20200101000000Z", "-enddate", "20200102000000Z"]]
    for command in commands:
        status, _, err, _ = run(command, 60)
        check(status == 0, "%s: %s" % (" ".join(command[:2]), err.strip()))
    return cert, key


def release(args, source, image, out, *options, env=None):
    """scripts/release.sh of source; its stdout. A Failure when it fails."""
    began = time.monotonic()
    status, stdout, err, _ = run(["bash", os.path.join(source, "scripts", "release.sh"), "--image", image,
                                  "--version", VERSION, "--out", out, *options], 900, env)
    check(status == 0, "release from %s failed (%d):\n%s%s" % (image, status, stdout[-3000:], err[-3000:]))
    print("release of %s from %s: %.1f s" % (os.path.basename(image), source, time.monotonic() - began))
    return stdout


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
    files = {name: os.path.join(work, name) for name in ("good", "empty", "sample", "cut", "full", "zeros")}
    with open(files["good"], "wb") as f:
        f.write(release_image())
    with open(files["zeros"], "wb") as f:
        f.write(bytes(5000))
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
    # The bricking mistakes: an image linked for the flash's start, an ELF
    # file cut short (a raw image beginning 7f 45 4c 46 if flashed), HEX
    # content below the application base.
    image = release_image()
    low = bytearray(image)
    low[4:8] = (0x080001c5).to_bytes(4, "little")
    files["low"] = firmware_files(fresh(os.path.join(work, "linked-low")), bytes(low))[0]
    _, elf, _ = firmware_files(fresh(os.path.join(work, "elf")), image)
    files["cut elf"] = elf + ".cut"
    with open(elf, "rb") as f, open(files["cut elf"], "wb") as cut:
        cut.write(f.read(20000))
    files["below"] = firmware_files(fresh(os.path.join(work, "hex-below")), image,
                                    [(FLASH_BASE - 0x100, bytes(0x100)), (FLASH_BASE, image)])[2]
    # The linker-script slip of .data > RAM without AT> FLASH: its bytes at
    # their SRAM address, 400 MB above the flash. And an image one byte
    # longer than the flash, raw and as HEX.
    _, files["sram elf"], files["sram hex"] = firmware_files(
        fresh(os.path.join(work, "sram")), image, [(FLASH_BASE, image, ".text"), (0x20000000, bytes(64), ".data")])
    flash_size = device_flash_size(args.source)
    long_image = image + bytes(flash_size + 1 - len(image))
    files["too long"], _, files["past the end"] = firmware_files(fresh(os.path.join(work, "too-long")), long_image)
    cert, key = certificate(work, "signer")
    _, other_key = certificate(work, "other")
    old_cert, old_key = certificate(work, "old", expired=True)

    for what, (image, version, out_dir, *extra), message in [
        ("missing image", [os.path.join(work, "absent"), "1.0.0", out], "no such image file"),
        ("empty image", [files["empty"], "1.0.0", out], "image file is empty"),
        ("sample image", [files["sample"], "1.0.0", out], "is the generated sample image"),
        ("sample, cut and padded", [files["cut"], "1.0.0", out], "is the generated sample image"),
        ("two numbers", [good, "1.2", out], "is not X.Y.Z"),
        ("a v in front", [good, "v1.2.3", out], "is not X.Y.Z"),
        ("above 16 bits", [good, "1.2.65536", out], "is not X.Y.Z"),
        ("development version", [good, "0.0.0", out], "marks development builds"),
        ("output folder not empty", [good, "1.0.0", files["full"]], "output folder is not empty"),
        ("no vector table", [files["zeros"], "1.0.0", out], "does not point into SRAM"),
        ("linked for 0x08000000", [files["low"], "1.0.0", out],
         "the reset handler 0x080001c5 lies below the image: linked for 0x08000000?"),
        ("ELF cut short", [files["cut elf"], "1.0.0", out], "begins as an ELF file (7f 45 4c 46) but cannot"),
        ("HEX below the base", [files["below"], "1.0.0", out], "content at 0x08007f00 lies below"),
        ("ELF .data in SRAM", [files["sram elf"], "1.0.0", out],
         "section .data loads at 0x20000000 (SRAM): missing AT> FLASH?"),
        ("HEX of it", [files["sram hex"], "1.0.0", out],
         "content at 0x20000000 lies in SRAM, outside the flash (0x08008000 to 0x%08x)"
         % (FLASH_BASE + flash_size - 1)),
        ("longer than the flash", [files["too long"], "1.0.0", out],
         "is %d bytes long, more than the %d bytes of the device's flash" % (flash_size + 1, flash_size)),
        ("HEX past the flash", [files["past the end"], "1.0.0", out],
         "content ends at 0x%08x, past the end of the flash" % (FLASH_BASE + flash_size + 1)),
        ("USB id not VID:PID", [good, "1.0.0", out, "--usb-id", "483:5740"], "is not VID:PID"),
        ("key of another", [good, "1.0.0", out, "--sign-cert", cert, "--sign-key", other_key],
         "does not belong to the certificate"),
        ("expired certificate", [good, "1.0.0", out, "--sign-cert", old_cert, "--sign-key", old_key],
         "expired on Jan  2"),
    ]:
        status, stdout, err, _ = run(["bash", args.script, "--image", image, "--version", version,
                                      "--out", out_dir, *extra], 600)
        check(status == 1 and stdout == "", "%s: exit %d\n%s%s" % (what, status, stdout, err))
        check(err.count("\n") == 1 and err.startswith("release: ") and message in err,
              "%s: %r" % (what, err))
        print("%-24s %s" % (what + ":", err.strip()))
        check(not os.path.exists(out), "%s: the refused release made its output folder" % what)
    check(os.listdir(files["full"]) == ["old.exe"], "a refused release touched a full folder")


def case_inputs(args):
    work = fresh(os.path.join(args.work, "inputs"))
    image = release_image()
    script = os.path.join(args.source, "resources", "image_input.py")

    def staged(path, *options):
        status, out, err, _ = run([sys.executable, script, path, "--out", path + ".staged",
                                   "--account", path + ".txt", *options], 60)
        check(status == 0, "%s: %d %s" % (path, status, err))
        with open(path + ".staged", "rb") as f, open(path + ".txt") as account:
            return f.read(), out, account.read()

    for path in firmware_files(work, image):
        raw, _, account = staged(path)
        check(raw == image, "%s gives another image (%d bytes)" % (path, len(raw)))
        print("%s: the same %d bytes; %s" % (os.path.basename(path), len(raw), account.splitlines()[0]))
    # Two pieces 4 KiB apart: the gap is erased flash, and said.
    gapped = fresh(os.path.join(work, "gap"))
    split = firmware_files(gapped, image, [(FLASH_BASE, image[:0x1000]), (FLASH_BASE + 0x2000, image[0x1000:])])
    raw, out, account = staged(split[2])
    wanted = image[:0x1000] + b"\xff" * 0x1000 + image[0x1000:]
    check(raw == wanted, "the gap is not filled with 0xff")
    line = "gap filled with 0xff (erased flash): 4096 bytes at 0x08009000"
    check(line in out and line in account, "the gap is not said: %r %r" % (out, account))
    # One that fills the flash to its last byte is taken (one byte more is a
    # refusal).
    full = image + bytes(device_flash_size(args.source) - len(image))
    raw, _, account = staged(firmware_files(fresh(os.path.join(work, "full")), full)[2])
    check(raw == full and "loaded content: 0x08008000 to 0x%08x" % (FLASH_BASE + len(full) - 1) in account,
          "an image that fills the flash: %d bytes, %r" % (len(raw), account))
    # As the version resource names it, one block as one.
    summary = image_facts.summary(image_facts.image_facts(image[:10000]))
    check(summary.startswith("10000 bytes, padded to 16384 (1 block), CRC 0x"), "summary %r" % summary)
    # Built in all the same when told, and image.txt says so.
    low = bytearray(image)
    low[4:8] = (0x080001c5).to_bytes(4, "little")
    raw, _, account = staged(firmware_files(fresh(os.path.join(work, "low")), bytes(low))[0], "--no-vector-check")
    check(raw == low and "vector table: not checked" in account, "--no-vector-check: %r" % account)
    print(out.strip())


def case_version_info(args):
    with open(args.image, "rb") as f:
        image = f.read()
    for exe in (args.update, args.flash):
        check_version_info(args, exe, "0.0.0", image, args.sample_image)


def case_reproducible(args):
    work = fresh(os.path.join(args.work, "reproducible"))
    image = release_image()
    # The raw image the first time, its ELF file the second.
    inputs = firmware_files(work, image)[:2]

    sums = []
    started = time.monotonic()
    for n, folder in enumerate(("first/qdm7", "second-copy/at/another/path/src")):
        source = os.path.join(work, folder)
        copy_sources(args.source, source)
        temp = fresh(os.path.join(work, "tmp%d" % n))
        # Another locale and time zone for the second run.
        env = dict(os.environ, TMPDIR=temp, TZ="UTC" if n == 0 else "Pacific/Auckland",
                   LC_ALL="C" if n == 0 else "C.UTF-8")
        out = os.path.join(work, "out%d" % n)
        release(args, source, inputs[n], out, env=env)
        check(os.listdir(temp) == [], "release %d left its build folder: %s" % (n, os.listdir(temp)))
        with open(os.path.join(out, "SHA256SUMS")) as f:
            # image.txt names the input's kind: not the same.
            sums.append("".join(line for line in f.readlines() if not line.endswith(" image.txt\n")))
    print("both releases: %.1f s" % (time.monotonic() - started))
    print(sums[0], end="")
    check(sums[0] == sums[1], "the two releases differ:\n%s\n%s" % (sums[0], sums[1]))

    out = os.path.join(work, "out0")
    names = sorted(os.listdir(out))
    check(names == sorted(["qdm7-update-%s.exe" % VERSION, "qdm7-flash-%s.exe" % VERSION, "qdm7-update.html",
                           "qdm7-flash_%s_amd64.deb" % VERSION, "image.txt", "SHA256SUMS"]),
          "the release holds %s" % names)
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
    # The page's module (base64 inside it) names this release's image.
    with open(os.path.join(out, "qdm7-update.html")) as f:
        module = re.search(r"data:application/octet-stream;base64,([A-Za-z0-9+/=]+)", f.read())
    check(module and hashlib.sha256(image).hexdigest().encode() in base64.b64decode(module.group(1)),
          "qdm7-update.html does not carry the release's image facts")

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


def case_signed_package(args):
    work = fresh(os.path.join(args.work, "signed-package"))
    # One block: the page and --version count it as one.
    image = release_image()[:10000]
    _, _, hex_ = firmware_files(work, image)
    cert, key = certificate(work, "signer")
    out = os.path.join(work, "out")
    release(args, args.source, hex_, out, "--sign-cert", cert, "--sign-key", key, "--usb-id", USB_ID)
    status, _, err, _ = run(["sh", "-c", 'cd "$0" && sha256sum -c --strict SHA256SUMS', out], 600)
    check(status == 0, "sha256sum -c: %s" % err)
    for name in ("qdm7-update-%s.exe" % VERSION, "qdm7-flash-%s.exe" % VERSION):
        signed, unsigned = os.path.join(out, name), os.path.join(out, "unsigned", name)
        modes = [oct(os.stat(path).st_mode & 0o777) for path in (signed, unsigned)]
        check(modes == ["0o755", "0o755"], "%s: signed and unsigned modes %s" % (name, modes))
        status, said, err, _ = run(["osslsigncode", "verify", "-CAfile", cert, "-in", signed], 120)
        check(status == 0 and "Signature verification: ok" in said,
              "%s does not verify (%d):\n%s%s" % (name, status, said[-2000:], err[-2000:]))
        status, _, _, _ = run(["osslsigncode", "verify", "-CAfile", cert, "-in", unsigned], 120)
        check(status != 0, "unsigned/%s verifies as signed" % name)
        print("%s: signed by the throwaway certificate, verified; unsigned/ kept" % name)

    # Installed into a scratch root: dpkg's own database there knows none of
    # the system's libraries, so their Depends are not checked.
    deb = os.path.join(out, "qdm7-flash_%s_amd64.deb" % VERSION)
    root = fresh(os.path.join(work, "root"))
    for folder in ("var/lib/dpkg/info", "var/lib/dpkg/updates", "var/log"):
        os.makedirs(os.path.join(root, folder))
    open(os.path.join(root, "var/lib/dpkg/status"), "w").close()
    dpkg = ["dpkg", "--root=" + root, "--log=/dev/null", "--force-not-root"]
    status, _, err, _ = run([*dpkg, "--force-depends", "--install", deb], 120)
    check(status == 0, "dpkg --install: %s" % err)
    # The package's own digests of every file it installs (dpkg makes its
    # own at unpack for a package without them, from the files as unpacked).
    status, listed, err, _ = run(["dpkg-deb", "--info", deb, "md5sums"], 60)
    installed = {os.path.relpath(os.path.join(folder, name), root): os.path.join(folder, name)
                 for folder, _, names in os.walk(root) for name in names
                 if not os.path.relpath(folder, root).startswith("var")}
    digests = {}
    for path, file in installed.items():
        with open(file, "rb") as f:
            digests[path] = hashlib.md5(f.read()).hexdigest()
    check(status == 0 and sorted(listed.splitlines()) == sorted("%s  %s" % (digests[path], path) for path in digests),
          "DEBIAN/md5sums (%d): %r, the files: %s" % (status, listed or err, digests))
    # Every file as the package has it; a changed one is named.
    status, said, err, _ = run([*dpkg, "--verify", "qdm7-flash"], 60)
    check(status == 0 and said == "" and err == "", "dpkg --verify: %d %r %r" % (status, said, err))
    guide = os.path.join(root, "usr/share/doc/qdm7-flash/troubleshooting.md")
    with open(guide, "a") as f:
        f.write("changed\n")
    status, said, err, _ = run([*dpkg, "--verify", "qdm7-flash"], 60)
    check(re.fullmatch(r"\?\?5\?{6} +/usr/share/doc/qdm7-flash/troubleshooting.md\n", said) is not None,
          "dpkg --verify of a changed file: %d %r %r" % (status, said, err))
    print("dpkg --verify: every file checks; a changed one is named: %s" % said.strip())
    flash = os.path.join(root, "usr/bin/qdm7-flash")
    status, said, err, _ = run([flash, "--version"], 60)
    check(status == 0 and said.startswith("qdm7-flash %s\nimage: " % VERSION) and "(1 block)" in said,
          "installed --version: %r" % said)
    status, page, err, _ = run(["man", "-l", os.path.join(root, "usr/share/man/man1/qdm7-flash.1.gz")],
                               60, dict(os.environ, MANPAGER="cat", MANWIDTH="80"))
    check(status == 0 and "qdm7-flash - update the firmware of a QDM7" in page and "--port PATH" in page,
          "man -l: %d %s" % (status, err or page[:500]))
    sections = re.findall(r"^([A-Z][A-Z ]+)$", page, re.M)
    check(sections == ["NAME", "SYNOPSIS", "DESCRIPTION", "FIRMWARE IMAGE", "EXIT STATUS", "ENVIRONMENT",
                       "SEE ALSO"], "the page's sections: %s" % sections)
    # The image's lines unadjusted, not spread over the line.
    firmware = page[page.index("\nFIRMWARE IMAGE\n"):page.index("\nEXIT STATUS\n")]
    check(re.search(r"\S  +\S", firmware) is None and "(1 block)" in firmware and
          re.search(r"SHA-256\s+%s\n" % hashlib.sha256(image).hexdigest(), firmware),
          "the page's image:%s" % firmware)
    for piece in ("\n       130    interrupted", "\n       QDM7_PORT_GLOB\n",
                  "/usr/share/doc/qdm7-flash/troubleshooting.md"):
        check(piece in page[page.index("\nEXIT STATUS\n"):], "the page lacks %r:\n%s" % (piece, page))
    with open(os.path.join(root, "usr/lib/udev/rules.d/60-qdm7.rules")) as f:
        rule = f.read()
    check('ATTRS{idVendor}=="0483", ATTRS{idProduct}=="5740", TAG+="uaccess", ENV{ID_MM_DEVICE_IGNORE}="1"'
          in rule, "the udev rule: %s" % rule)
    check(os.path.isfile(os.path.join(root, "usr/share/doc/qdm7-flash/troubleshooting.md")), "no guide")
    print("installed: %s; man page of %d lines; udev rule for %s" % (said.splitlines()[0],
                                                                     page.count("\n"), USB_ID))
    status, _, err, _ = run([*dpkg, "--purge", "qdm7-flash"], 120)
    check(status == 0, "dpkg --purge: %s" % err)
    left = [os.path.relpath(os.path.join(folder, name), root) for folder, _, names in os.walk(root)
            for name in names if not os.path.relpath(folder, root).startswith("var")]
    check(left == [], "removing the package left %s" % left)
    print("removed: nothing left outside dpkg's database")
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


CASES = {"refusals": case_refusals, "inputs": case_inputs, "version-info": case_version_info,
         "reproducible": case_reproducible, "signed-package": case_signed_package}


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
