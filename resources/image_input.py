#!/usr/bin/env python3
"""Turns a firmware build's output into the raw image the programs carry,
refusing one that would not run where the device places it.

    image_input.py INPUT --out RAW [--account TEXT] [--no-vector-check]

INPUT is a raw image, an ELF file or Intel HEX, told apart by content: an
ELF file begins 7f 45 4c 46, Intel HEX with ':' (a raw image cannot: its
first byte is the low byte of a stack pointer, which is word-aligned). ELF
and HEX are read with pyelftools and intelhex (Debian's python3-pyelftools
and python3-intelhex); their content must lie in the device's application
flash (2 MiB from 0x08008000) and start at its base; a gap inside is filled
with 0xff, the erased value of flash, and said. Content elsewhere (an ELF
section that loads in SRAM, say) is refused with its address, and so is any
image longer than that flash.

Every image then has its vector table checked: the initial stack pointer
must point into SRAM and the reset handler must be a Thumb address inside
the image as placed at the base. --no-vector-check skips that check.

Writes RAW, and with --account the lines about the input that image.txt
carries. A refusal is one line on standard error and exit status 1; RAW is
then not written.
"""

import argparse
import hashlib
import importlib
import io
import os
import struct
import sys

sys.dont_write_bytecode = True  # nothing written into the source tree
from image_facts import write  # noqa: E402 (beside this file)

# As engine/image.h and device/qdm7_device.h have them: where the device
# places the image (after its 32 KiB loader), and the length of the flash
# from there (DEVICE_FLASH_SIZE).
FLASH_BASE = 0x08008000
FLASH_SIZE = 2 * 1024 * 1024
FLASH_END = FLASH_BASE + FLASH_SIZE
FLASH_START = 0x08000000
SRAM_FIRST, SRAM_LAST = 0x20000000, 0x3FFFFFFF
ELF_MAGIC = b"\x7fELF"
ERASED = 0xFF


class Refusal(Exception):
    pass


def debian_module(name, package):
    """A module from a Debian package. A python3 of another origin first on
    PATH does not look where Debian installs them, so look there too."""
    try:
        return importlib.import_module(name)
    except ImportError:
        sys.path.append("/usr/lib/python3/dist-packages")
        try:
            return importlib.import_module(name)
        except ImportError:
            raise Refusal("reading this file needs %s: run scripts/install-deps.sh as root" % package)


def kind_of(data):
    if data.startswith(ELF_MAGIC):
        return "ELF"
    if data.startswith(b":"):
        return "Intel HEX"
    return "raw"


def counted(number, noun):
    return "%d %s%s" % (number, noun, "" if number == 1 else "s")


def elf_content(data):
    """The bytes an ELF file loads, at their load addresses: an IntelHex, and
    the pieces (name, first address, end) it was made of."""
    elffile = debian_module("elftools.elf.elffile", "python3-pyelftools")
    intelhex = debian_module("intelhex", "python3-intelhex")
    try:
        elf = elffile.ELFFile(io.BytesIO(data))
        if elf["e_type"] != "ET_EXEC":
            raise Refusal("is an ELF %s, not a linked program" % {
                "ET_REL": "object file", "ET_DYN": "shared object"}.get(elf["e_type"], elf["e_type"]))
        if elf["e_machine"] != "EM_ARM":
            raise Refusal("is an ELF program for %s, not for Arm" % elf["e_machine"])
        loads = [s for s in elf.iter_segments() if s["p_type"] == "PT_LOAD" and s["p_filesz"] > 0]
        # The sections that take room in flash, each at its load address (as
        # objcopy -O binary places them: initialised data goes to flash and is
        # copied to SRAM at start); without section headers, the segments.
        pieces = []
        for section in elf.iter_sections():
            if section["sh_flags"] & 2 and section["sh_type"] != "SHT_NOBITS" and section["sh_size"]:
                for segment in loads:
                    if segment.section_in_segment(section):
                        address = segment["p_paddr"] + section["sh_offset"] - segment["p_offset"]
                        pieces.append(("section " + section.name, address, section.data()))
                        break
        if elf.num_sections() == 0:
            pieces = [("segment %d" % n, s["p_paddr"], s.data()[: s["p_filesz"]]) for n, s in enumerate(loads)]
    except Refusal:
        raise
    except Exception as error:  # pyelftools reports damage with several types
        raise Refusal("begins as an ELF file (7f 45 4c 46) but cannot be read as one (%s); "
                      "it is not built in as a raw image" % error)
    content = intelhex.IntelHex()
    for _, address, piece in pieces:
        content.puts(address, piece)
    return content, [(name, address, address + len(piece)) for name, address, piece in pieces]


def hex_content(data):
    """The bytes of Intel HEX: an IntelHex, and its runs of bytes as pieces
    (None, first address, end)."""
    intelhex = debian_module("intelhex", "python3-intelhex")
    content = intelhex.IntelHex()
    try:
        content.loadhex(io.StringIO(data.decode("ascii")))
    except (UnicodeDecodeError, intelhex.IntelHexError) as error:
        raise Refusal("begins as Intel HEX (':') but cannot be read as it (%s)" % str(error).strip())
    return content, [(None, start, end) for start, end in content.segments()]


def misplaced(name, first, end):
    """Why a piece of content (an ELF section or segment by name, else a run
    of HEX) from first to end cannot be programmed, or None. Checked before
    anything is laid out: content far from the flash would otherwise make a
    gap of hundreds of megabytes."""
    # "section .text loads at 0x08000000," or "content at 0x08000000 lies"
    where = "%s loads at 0x%08x," % (name, first) if name else "content at 0x%08x lies" % first
    flash = "the flash (0x%08x to 0x%08x)" % (FLASH_BASE, FLASH_END - 1)
    if SRAM_FIRST <= first <= SRAM_LAST:
        # The linker-script slip: initialised data placed in SRAM with no
        # load address in flash (> RAM without AT> FLASH), so that nothing
        # would copy it there at start.
        if name:
            return "%s loads at 0x%08x (SRAM): missing AT> FLASH?" % (name, first)
        return "%s in SRAM, outside %s: made from an ELF file without AT> FLASH?" % (where, flash)
    if FLASH_START <= first < FLASH_BASE:
        hint = ": linked for 0x%08x?" % FLASH_START if first == FLASH_START else ""
        return "%s below the application base 0x%08x and would overwrite the loader%s" % (
            where, FLASH_BASE, hint)
    if not FLASH_BASE <= first < FLASH_END:
        return "%s outside %s" % (where, flash)
    if end > FLASH_END:
        return "%s ends at 0x%08x, past the end of %s: the image would be %d bytes long, more than " \
               "the %d bytes of the device's flash" % (name or "content", end, flash, end - FLASH_BASE, FLASH_SIZE)
    return None


def placed(content, pieces):
    """The raw image of content, which must lie in the flash and start at
    FLASH_BASE; and a note on each gap filled."""
    if len(content) == 0:
        raise Refusal("holds no loadable content")
    for name, first, end in sorted(pieces, key=lambda piece: piece[1]):
        reason = misplaced(name, first, end)
        if reason:
            raise Refusal(reason)
    first = content.minaddr()
    if first > FLASH_BASE:
        raise Refusal("content starts at 0x%08x, not at the application base 0x%08x, where "
                      "the device expects the vector table" % (first, FLASH_BASE))
    segments = content.segments()
    gaps = ["%s at 0x%08x" % (counted(start - previous_end, "byte"), previous_end)
            for (_, previous_end), (start, _) in zip(segments, segments[1:])]
    content.padding = ERASED
    return content.tobinstr(start=FLASH_BASE), gaps


def check_vectors(image):
    """The reason image would not start as placed at FLASH_BASE, or None."""
    if len(image) < 8:
        return "is %s long, too short for a vector table" % counted(len(image), "byte")
    stack, reset = struct.unpack_from("<II", image)
    if not SRAM_FIRST <= stack <= SRAM_LAST:
        looks = "; it begins 7f 45 4c 46: it looks like an ELF file" if image.startswith(ELF_MAGIC) else ""
        return ("the initial stack pointer 0x%08x does not point into SRAM (0x%08x to 0x%08x)%s"
                % (stack, SRAM_FIRST, SRAM_LAST, looks))
    if not reset & 1:
        return "the reset handler 0x%08x is not a Thumb address (odd)" % reset
    if reset < FLASH_BASE:
        hint = ": linked for 0x%08x?" % FLASH_START if FLASH_START <= reset else " at 0x%08x" % FLASH_BASE
        return "the reset handler 0x%08x lies below the image%s" % (reset, hint)
    if reset >= FLASH_BASE + len(image):
        return ("the reset handler 0x%08x lies beyond the image (0x%08x to 0x%08x)"
                % (reset, FLASH_BASE, FLASH_BASE + len(image) - 1))
    return None


def convert(data, vector_check=True):
    """The raw image of data and the account lines about it; Refusal for an
    input that must not be built in."""
    kind = kind_of(data)
    lines = ["input: %s, SHA-256 %s" % (kind, hashlib.sha256(data).hexdigest())]
    if kind == "raw":
        image = data
    else:
        image, gaps = placed(*(elf_content(data) if kind == "ELF" else hex_content(data)))
        lines.append("loaded content: 0x%08x to 0x%08x" % (FLASH_BASE, FLASH_BASE + len(image) - 1))
        lines += ["gap filled with 0x%02x (erased flash): %s" % (ERASED, gap) for gap in gaps]
    if len(image) > FLASH_SIZE:
        raise Refusal("is %d bytes long, more than the %d bytes of the device's flash (0x%08x to 0x%08x)"
                      % (len(image), FLASH_SIZE, FLASH_BASE, FLASH_END - 1))
    if vector_check:
        reason = check_vectors(image)
        if reason:
            raise Refusal(reason)
        stack, reset = struct.unpack_from("<II", image)
        lines.append("vector table: initial stack pointer 0x%08x, reset handler 0x%08x" % (stack, reset))
    else:
        lines.append("vector table: not checked (vector check turned off)")
    return image, lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("input", help="the firmware: raw image, ELF file or Intel HEX")
    parser.add_argument("--out", required=True, help="the raw image to write")
    parser.add_argument("--account", help="where to write the lines about the input for image.txt")
    parser.add_argument("--no-vector-check", action="store_true",
                        help="build in an image whose vector table does not pass the check")
    args = parser.parse_args()
    name = args.input
    try:
        try:
            with open(args.input, "rb") as f:
                data = f.read()
        except OSError as error:
            raise Refusal("Firmware image not found" if isinstance(error, FileNotFoundError)
                          else "cannot be read (%s)" % error.strerror)
        if not data:
            raise Refusal("Firmware image is empty: a program built with it would program "
                          "one block of zeros over the device's firmware")
        image, lines = convert(data, not args.no_vector_check)
    except Refusal as refusal:
        print("%s: %s" % (name, refusal), file=sys.stderr)
        return 1
    for line in lines:
        if line.startswith("gap"):
            print("%s: %s" % (name, line))
    write(args.out, image)
    if args.account:
        write(args.account, "".join(line + "\n" for line in lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
