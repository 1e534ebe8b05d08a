#!/usr/bin/env python3
"""Writes the sample QDM7 firmware image that the build embeds when no
release image is given.

The bytes are the same on every machine and every run: a Cortex-M vector
table (initial stack pointer at the top of SRAM, then Thumb handler addresses
inside the image's flash range) followed by pseudo-random content from a
fixed-seed xorshift generator, so that a dropped, repeated or misplaced block
always changes the image CRC. Nothing in it is meant to run.

With --is-sample FILE it tells whether FILE is that sample instead: the
exit status is 0 when it is (at any length, also cut short or padded: any
file that begins as the sample does), 1 when it is not, 2 when FILE cannot
be read.
"""

import argparse
import os
import struct
import sys

FLASH_BASE = 0x08008000
# The length of the present release: 96 full blocks and 760 bytes.
DEFAULT_LENGTH = 1573624
INITIAL_SP = 0x20020000          # top of 128 KiB of SRAM
CORE_VECTORS = 16                # stack pointer, reset and the core exceptions
IRQ_VECTORS = 82
RESERVED = {7, 8, 9, 10, 13}     # core slots that Cortex-M leaves reserved
CODE_START = 0x200               # handlers start after the table, aligned
SEED = 0x51D7C0DE
MIN_LENGTH = CODE_START + 0x200


def xorshift32(state):
    while True:
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        yield state


def vector_table():
    """Stack pointer, then Thumb (odd) handler addresses or zero."""
    entries = [INITIAL_SP]
    reset = FLASH_BASE + CODE_START
    default_handler = reset + 0x100
    for slot in range(1, CORE_VECTORS + IRQ_VECTORS):
        if slot in RESERVED:
            entries.append(0)
        elif slot == 1:
            entries.append(reset | 1)
        elif slot < CORE_VECTORS:
            entries.append((reset + 0x20 + 4 * slot) | 1)
        else:
            entries.append(default_handler | 1)
    return struct.pack("<%dI" % len(entries), *entries)


def make_image(length):
    table = vector_table()
    if length < MIN_LENGTH:
        raise ValueError("image length %d is too short for the vector table and its handlers" % length)
    body = bytearray(length)
    body[: len(table)] = table
    words = xorshift32(SEED)
    for offset in range(CODE_START, length - length % 4, 4):
        body[offset:offset + 4] = struct.pack("<I", next(words))
    tail = next(words).to_bytes(4, "little")
    body[length - length % 4:] = tail[: length % 4]
    return bytes(body)


def is_sample(data):
    """True when data begins as every sample image does, whatever its length
    and whatever follows (a sample cut short or padded, say): a sample is the
    start of any longer one, and its first MIN_LENGTH bytes hold 512 bytes of
    the pseudo-random content after the vector table."""
    return data[:MIN_LENGTH] == make_image(MIN_LENGTH)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("output", nargs="?", help="file to write")
    parser.add_argument("--length", type=int, default=DEFAULT_LENGTH,
                        help="image length in bytes (default %(default)s)")
    parser.add_argument("--is-sample", metavar="FILE",
                        help="exit 0 if FILE is the sample image, 1 if not")
    args = parser.parse_args()
    if args.is_sample is not None:
        try:
            with open(args.is_sample, "rb") as f:
                return 0 if is_sample(f.read(MIN_LENGTH)) else 1
        except OSError as error:
            print("mkimage: %s" % error, file=sys.stderr)
            return 2
    if args.output is None:
        parser.error("give the output file, or --is-sample FILE")
    try:
        image = make_image(args.length)
    except ValueError as error:
        print("mkimage: %s" % error, file=sys.stderr)
        return 1
    # Write beside the target and rename, so a failed run leaves no half image.
    partial = args.output + ".partial"
    with open(partial, "wb") as out:
        out.write(image)
    os.replace(partial, args.output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
