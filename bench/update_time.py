#!/usr/bin/env python3
"""How close a whole update comes to the wire's own limit.

Runs qdm7-flash against qdm7-sim paced at the link's rate (921600 baud, 11
bits a character both ways) with the built-in image, and prints the total
time, the wire-time limit (characters sent and received x 11 / baud), their
ratio, and the time per block, with where the rest of the time goes.

  bench/update_time.py                      # the full image, build/release
  bench/update_time.py --blocks 5           # a short run: the first 5 blocks

A short run stops qdm7-flash (Ctrl-C) once the given number of blocks has
been acknowledged and measures up to that moment. Use an optimised build
without sanitizers (the release preset) for figures worth quoting.
"""
import argparse
import os
import select
import signal
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
from qdm7test import BLOCK, Failure, Sim, built_tools, reap, start, wait  # noqa: E402

PROGRAM_OVERHEAD = 11      # request header and CRC around a block
PROGRAM_REPLY = 11         # the device's acknowledgement of a block
BITS_PER_CHARACTER = 11    # start, 8 data, even parity, stop


def fail(message):
    print(f"update_time: {message}", file=sys.stderr)
    sys.exit(1)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=os.path.join(here, "..", "build", "release"),
                        help="build tree holding tools/qdm7-sim and tools/qdm7-flash (default: build/release)")
    parser.add_argument("--blocks", type=int, default=0, help="stop after this many blocks (default: all)")
    parser.add_argument("--baud", type=int, default=921600, help="wire rate of the simulator (default 921600)")
    parser.add_argument("--program-ms", type=int, default=0, help="the device's programming time per block")
    parser.add_argument("--max-ratio", type=float, default=0,
                        help="exit 2 when the programming ratio is above this (0: only report)")
    args = parser.parse_args()
    if args.baud <= 0:
        fail("--baud must be positive: an unpaced wire has no time limit to compare with")
    try:
        sim_path, flash_path, total_blocks = built_tools(args.build_dir)
    except Failure as failure:
        fail(str(failure))
    blocks = total_blocks if args.blocks <= 0 else min(args.blocks, total_blocks)
    if blocks < 2:
        fail("time per block needs at least 2 blocks")
    short = blocks < total_blocks
    char_s = BITS_PER_CHARACTER / args.baud

    try:
        sim = Sim(sim_path, ["--baud", str(args.baud), "--program-ms", str(args.program_ms)],
                  stderr=subprocess.DEVNULL)
    except Failure as failure:
        fail(f"qdm7-sim did not start: {failure}")
    flash = None
    try:
        began = time.monotonic()
        flash = start([flash_path, "--port", sim.port], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        # Each block's trace line is flushed when it is sent and again when
        # it is acknowledged, so arrival times of the trace are event times.
        acks = []
        contacts = 0
        timeouts = 0
        rx_bytes = 0
        pending = b""
        fd = flash.stdout.fileno()
        while True:
            readable, _, _ = select.select([fd], [], [], 120)
            if not readable:
                fail("qdm7-flash printed nothing for 120 s")
            data = os.read(fd, 65536)
            now = time.monotonic() - began
            if not data:
                break
            pending += data
            while b"\n" in pending or b" - SENT - " in pending:
                found = [(at, len(mark)) for mark in (b"\n", b" - SENT - ") for at in [pending.find(mark)] if at >= 0]
                cut = min(at + length for at, length in found)
                piece, pending = pending[:cut].decode(errors="replace"), pending[cut:]
                if piece.startswith("CONTACTING"):
                    contacts += 1
                elif piece.startswith("RX:"):
                    rx_bytes += len(piece.split()) - 1
                elif piece.startswith("TIMEOUT"):
                    timeouts += 1
                elif piece.startswith("- OK"):
                    acks.append(now)
                if os.environ.get("UT_DEBUG"):
                    print(f"{now:8.3f} {piece.strip()[:40]}")
            if short and len(acks) >= blocks:
                flash.send_signal(signal.SIGINT)
                break
        status = wait(flash, 30)
        end = time.monotonic() - began
        sim.stop()
    except Failure as failure:
        fail(str(failure))
    finally:
        if flash:
            reap(flash)
        sim.kill()

    if len(acks) < blocks:
        fail(f"only {len(acks)} of {blocks} blocks were acknowledged (qdm7-flash exit {status})")
    if not short and status != 0:
        fail(f"qdm7-flash ended with {status}")
    stats = {key: int(float(value)) for key, value in sim.stats.items()}

    if short:
        # Up to the last acknowledgement: the contact phase and the blocks.
        total = acks[blocks - 1]
        sent = contacts * 13 + blocks * (BLOCK + PROGRAM_OVERHEAD)
        received = rx_bytes + blocks * PROGRAM_REPLY
    else:
        total = end
        sent, received = stats["rx_bytes"], stats["tx_bytes"]
    wire = (sent + received) * char_s
    # From one acknowledgement to the next is one whole block: sending,
    # programming, the acknowledgement and the updater's read and tick.
    per_block = (acks[blocks - 1] - acks[0]) / (blocks - 1)
    block_wire = (BLOCK + PROGRAM_OVERHEAD + PROGRAM_REPLY) * char_s

    print(f"blocks            {blocks} of {total_blocks}{' (short run)' if short else ''}")
    print(f"total seconds     {total:.3f}")
    print(f"wire-time limit   {wire:.3f} s  ({sent} characters sent + {received} received) x 11 / {args.baud}")
    print(f"ratio             {total / wire:.3f}")
    print(f"time per block    {per_block * 1000:.1f} ms  (wire {block_wire * 1000:.1f} ms, "
          f"ratio {per_block / block_wire:.3f})")
    print(f"  to the 1st ack  {acks[0]:.3f} s  (start-up, {contacts} contact queries, block 1)")
    print(f"  blocks 2-{blocks:<7} {acks[blocks - 1] - acks[0]:.3f} s")
    if timeouts or stats.get("dropped_partial") or stats.get("bad_crc"):
        print(f"  anomalies       {timeouts} time-outs; the device dropped {stats.get('dropped_partial')} partial "
              f"requests and saw {stats.get('bad_crc')} with a bad CRC")
    if not short:
        print(f"  after the last  {end - acks[-1]:.3f} s  (verification, reset, exit)")
    if args.max_ratio and per_block / block_wire > args.max_ratio:
        print(f"update_time: programming ratio above {args.max_ratio}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
