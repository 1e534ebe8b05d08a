#!/usr/bin/env python3
"""qdm7-flash through a real USB serial driver: cases run on the rig (rig.py).

    usb_test.py CASE --flash QDM7_FLASH --sim QDM7_SIM --image IMAGE

IMAGE is the raw image that QDM7_FLASH was built with. Each case boots its
own guest; every process and temporary folder is gone when it ends, also on
a failure, SIGINT or SIGTERM.
"""
import argparse
import sys
import time

from rig import ADAPTER_SERIAL, run_rig
# rig.py puts tests/e2e on the import path.
from e2e import check, check_dump, check_trace

UPDATE = "qdm7-flash --port /dev/ttyUSB0 --deadline 120"
IDENTITY = ("0403", "6001", ADAPTER_SERIAL)


def update(rig, image):
    """A whole update in the guest; checks its exit and trace. Returns its
    seconds and a note on blocks sent again.

    The adapter is unpaced, so a host busy with other work can stall QEMU
    for more than the 20 ms of silence after which the device drops a
    partly received request; the block is then sent again after the
    updater's 10 s time-out. Each time-out must be such a dropped request:
    any other is a reply lost on the way to qdm7-flash."""
    dropped_before = rig.sim.dropped_requests()
    started = time.monotonic()
    result = rig.run(UPDATE, 180)
    seconds = time.monotonic() - started
    check(result.status == 0, f"the update ended with {result.status}, expected 0\n{result}")
    lines = result.out.splitlines()
    timed_out = [line for line in lines if line.startswith("PROG ADDR") and line.endswith("- SENT - TIMEOUT")]
    check_trace("\n".join(line for line in lines if line not in timed_out), image)
    dropped = rig.sim.dropped_requests() - dropped_before
    check(len(timed_out) <= dropped, f"{len(timed_out)} blocks timed out, but the device dropped only {dropped} "
          "partly received requests: a reply was lost on the way to qdm7-flash")
    note = f" ({len(timed_out)} sent again: a host stall cut a request)" if timed_out else ""
    return seconds, note


def finish(rig, image):
    """Stops the simulator; its flash must be the padded image."""
    check(rig.sim.stop() == 0, f"qdm7-sim did not end cleanly:\n{rig.sim.log()[-2000:]}")
    check_dump(rig.sim.dump_path, image)


def case_update(rig, image):
    """A whole update of the built-in image through ftdi_sio."""
    rig.wait_in_guest("[ -e /dev/ttyUSB0 ]", 30)
    seconds, note = update(rig, image)
    finish(rig, image)
    print(f"update through ftdi_sio took {seconds:.1f} s{note}")


def case_replug(rig, image):
    """The adapter pulled in the middle of programming and plugged back two
    seconds later, as the guest kernel sees it: the port goes, the device
    stops receiving, and the port comes back with the same USB identity and
    carries a whole update."""
    rig.wait_in_guest("[ -e /dev/ttyUSB0 ]", 30)
    before = rig.usb_identity()
    check(before == IDENTITY, f"ttyUSB0 is {before}, expected {IDENTITY}")
    running = rig.start_command(UPDATE)
    rig.wait_blocks(3, 60)
    pulled = time.monotonic()
    rig.unplug()
    rig.wait_in_guest("[ ! -e /dev/ttyUSB0 ] && [ ! -e /sys/class/tty/ttyUSB0 ]", 10)
    gone = time.monotonic() - pulled
    blocks = rig.sim.blocks()
    time.sleep(1)
    check(rig.sim.blocks() == blocks, "the device kept receiving blocks with the adapter pulled")
    # Ended before the replug (unless it has given up by itself): the old
    # port stays in use while a program holds it open, and the adapter would
    # come back under another name.
    first = running.interrupt(30)
    time.sleep(max(0.0, 2 - (time.monotonic() - pulled)))
    plugged = time.monotonic()
    rig.replug()
    rig.wait_in_guest("[ -e /dev/ttyUSB0 ]", 10)
    back = time.monotonic() - plugged
    after = rig.usb_identity()
    check(after == before, f"after the replug ttyUSB0 is {after}, before it was {before}")
    seconds, note = update(rig, image)
    finish(rig, image)
    print(f"pulled after {blocks} blocks: ttyUSB0 gone in {gone:.1f} s (the update ended with {first.status}); "
          f"plugged back after {plugged - pulled:.1f} s: back in {back:.1f} s as {':'.join(after)}; "
          f"update then took {seconds:.1f} s{note}")


CASES = {"update": case_update, "replug": case_replug}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("case", choices=sorted(CASES))
    parser.add_argument("--flash", required=True, help="a qdm7-flash without sanitizers")
    parser.add_argument("--sim", required=True, help="the host's qdm7-sim")
    parser.add_argument("--image", required=True, help="the raw image that qdm7-flash carries")
    args = parser.parse_args()
    try:
        with open(args.image, "rb") as file:
            image = file.read()
    except OSError as error:
        print(f"FAIL: cannot read the image {args.image}: {error.strerror}", file=sys.stderr)
        return 1
    started = time.monotonic()
    status = run_rig(args.flash, args.sim, lambda rig: CASES[args.case](rig, image) or 0)
    if status == 0:
        print(f"PASS: usb.{args.case} in {time.monotonic() - started:.1f} s")
    return status

if __name__ == "__main__":
    sys.exit(main())
