#!/usr/bin/env python3
"""qdm7-flash through a real USB serial driver: cases run on the rig (rig.py).

    usb_test.py CASE --flash QDM7_FLASH --sim QDM7_SIM --image IMAGE

IMAGE is the raw image that QDM7_FLASH was built with. CASE is one case, or
"all": every case in one guest boot, one after the other, each finding the
one adapter on ttyUSB0 as after the boot. Every process and temporary
folder is gone when it ends, also on a failure, SIGINT or SIGTERM.
"""
import argparse
import os
import re
import signal
import sys
import time

import json

from rig import ADAPTER_ID, ADAPTER_SERIAL, EMULATOR_CRASHED, LINE_ID, run_rig
# rig.py puts tests/support on the import path.
from qdm7test import BLOCK, Failure, check, check_dump, check_trace, padded, resumed_at

UPDATE = "qdm7-flash --port /dev/ttyUSB0 --deadline 120"
IDENTITY = ("0403", "6001", ADAPTER_SERIAL)
# QEMU's FTDI adapter as --list shows it; the ttyS ports' paths are shorter.
LISTED = f"/dev/ttyUSB0  0403:6001  QEMU  QEMU USB SERIAL  {ADAPTER_SERIAL}"
WAITING = "lost the port /dev/ttyUSB0 (the device went away); waiting for the device with USB serial number " \
    f"{ADAPTER_SERIAL} to come back"


def update(rig, image, command=UPDATE):
    """A whole update in the guest; checks its exit and trace. Returns its
    seconds and a note on blocks sent again."""
    dropped_before = rig.sim.dropped_requests()
    started = time.monotonic()
    result = rig.run(command, 180)
    seconds = time.monotonic() - started
    check(result.status == 0, f"the update ended with {result.status}, expected 0\n{result}")
    return seconds, check_attempt(rig, result.out.splitlines(), image, dropped_before)


def check_attempt(rig, lines, image, dropped_before):
    """The trace lines of one whole attempt; returns a note on blocks sent again.

    The adapter is unpaced, so a host busy with other work can stall QEMU
    for more than the 20 ms of silence after which the device drops a
    partly received request; the block is then sent again after the
    updater's 10 s time-out. Each time-out must be such a dropped request
    (counted from dropped_before): any other is a reply lost on the way to
    qdm7-flash."""
    timed_out = [line for line in lines if line.startswith("PROG ADDR") and line.endswith("- SENT - TIMEOUT")]
    check_trace("\n".join(line for line in lines if line not in timed_out), image, resumed_at("\n".join(lines)))
    dropped = rig.sim.dropped_requests() - dropped_before
    check(len(timed_out) <= dropped, f"{len(timed_out)} blocks timed out, but the device dropped only {dropped} "
          "partly received requests: a reply was lost on the way to qdm7-flash")
    return f" ({len(timed_out)} sent again: a host stall cut a request)" if timed_out else ""


def finish(rig, image):
    """Stops the simulator; its flash must be the padded image."""
    check(rig.sim.stop() == 0, f"qdm7-sim did not end cleanly:\n{rig.sim.log()[-2000:]}")
    check_dump(rig.sim.dump_path, image)


def case_update(rig, image):
    """The port listed with its USB identity; a whole update of the built-in
    image through ftdi_sio, by path and then chosen by that identity; a
    selection that matches nothing lists the ports there are, one that
    matches two adapters updates both; a serial number chooses one."""
    rig.wait_in_guest("[ -e /dev/ttyUSB0 ]", 30)
    listed = rig.run("qdm7-flash --list", 30)
    check(listed.status == 0 and LISTED in listed.out.splitlines(),
          f"--list did not show the line {LISTED!r}:\n{listed}")
    seconds, note = update(rig, image)
    blocks = rig.sim.blocks()
    by_identity, _ = update(rig, image, f"qdm7-flash --port usb:0403:6001 --deadline 120")
    check(rig.sim.blocks() - blocks == len(padded(image)) // BLOCK, "the usb: update did not program every block")
    wrong = rig.run("qdm7-flash --port usb:0403:6002", 30)
    check(wrong.status == 1 and "no port matches usb:0403:6002; the USB serial ports found:" in wrong.err
          and f"  {LISTED}" in wrong.err.splitlines(), f"a selection matching nothing:\n{wrong}")
    # A second adapter of the same make with a silent line behind it (QEMU
    # attaches an adapter only once its line is open, which a null one never is).
    rig.qmp("chardev-add", id="spare", backend={"type": "ringbuf", "data": {"size": 4096}})
    rig.qmp("device_add", driver="usb-serial", id="spare", chardev="spare", serial="QDM7-0002")
    rig.wait_in_guest("[ -e /dev/ttyUSB1 ]", 10)
    # Matching both, the selection means both: each port its own update.
    several = rig.run("qdm7-flash --port usb:0403:6001 --deadline 1", 30)
    check(several.status == 5 and "usb:0403:6001 is /dev/ttyUSB0, /dev/ttyUSB1" in several.err
          and all(re.search(rf"^{port}\s+deadline\s", several.err, re.M) for port in ("/dev/ttyUSB0", "/dev/ttyUSB1")),
          f"a selection matching two adapters:\n{several}")
    chosen = rig.run("qdm7-flash --port usb:0403:6001:QDM7-0002 --deadline 1", 30)
    check(chosen.status == 3 and "usb:0403:6001:QDM7-0002 is /dev/ttyUSB1" in chosen.err,
          f"the second adapter chosen by its serial number:\n{chosen}")
    # Held by another program (a second qdm7-flash, contacting while the
    # simulator is paused): named, with its process number.
    os.kill(rig.sim.proc.pid, signal.SIGSTOP)
    try:
        holder = rig.start_command("echo $$ >/tmp/holder.pid; exec qdm7-flash --port /dev/ttyUSB0 --deadline 60")
        rig.wait_in_guest("[ -s /tmp/holder.pid ] && ls -l /proc/$(cat /tmp/holder.pid)/fd | grep -q ttyUSB0", 10)
        held = rig.run("cat /tmp/holder.pid; qdm7-flash --port /dev/ttyUSB0", 30)
        holder.interrupt(10)
    finally:
        os.kill(rig.sim.proc.pid, signal.SIGCONT)
    holder_pid = held.out.splitlines()[0].strip() if held.out else "?"
    check(held.status == 1 and re.search(rf"^qdm7-flash: /dev/ttyUSB0 is in use by qdm7-flash \(pid {holder_pid}\)",
                                         held.err, re.M), f"a port held by another program:\n{held}")
    rig.unplug("spare")
    print(f"listed as {LISTED!r}; update through ftdi_sio took {seconds:.1f} s{note}, "
          f"chosen as usb:0403:6001 {by_identity:.1f} s")


def pull(rig, running, after_blocks):
    """Pulls the adapter once the device has taken after_blocks more blocks;
    checks that the port went and the device stopped receiving. Returns the
    time it was pulled."""
    rig.wait_blocks(rig.sim.blocks() + after_blocks, 60)
    pulled = time.monotonic()
    rig.unplug()
    rig.wait_in_guest("[ ! -e /dev/ttyUSB0 ] && [ ! -e /sys/class/tty/ttyUSB0 ]", 10)
    blocks = rig.sim.blocks()
    time.sleep(1)
    check(rig.sim.blocks() == blocks, "the device kept receiving blocks with the adapter pulled")
    if running.ended():
        raise Failure(f"the update ended when the port went:\n{running.wait(10)}")
    return pulled


def case_replug(rig, image):
    """The adapter pulled in the middle of programming and plugged back two
    seconds later, while another program still holds the old port so that
    the adapter returns as ttyUSB1: the update finds the device by its
    serial number, starts again and completes. (A device not plugged back
    before the deadline is the port run's, tested in-process and on a
    pseudo-terminal.)"""
    rig.wait_in_guest("[ -e /dev/ttyUSB0 ]", 30)
    before = rig.usb_identity()
    check(before == IDENTITY, f"ttyUSB0 is {before}, expected {IDENTITY}")

    # Holds the port without reading, through the hang-up, as a program
    # that has not noticed would.
    holder = rig.start_command("trap '' HUP; exec 3</dev/ttyUSB0; sleep 600")
    running = rig.start_command(UPDATE)
    pulled = pull(rig, running, 3)
    time.sleep(max(0.0, 2 - (time.monotonic() - pulled)))
    queries = rig.sim.queries()
    dropped_before = rig.sim.dropped_requests()
    plugged = time.monotonic()
    rig.replug()
    rig.wait_queries(queries + 1, 30)
    restarted = time.monotonic() - plugged
    result = running.wait(180)
    holder.signal("KILL")
    check(result.status == 0, f"the update did not complete after the replug\n{result}")
    # The device kept its flash through the pull: the update resumes.
    check(result.err.count(WAITING) == 1 and "the port is back as /dev/ttyUSB1; resuming the update after the"
          in result.err,
          f"the wait and the port found again were not said as expected:\n{result.err}")
    lines = result.out.splitlines()
    last = max(i for i, line in enumerate(lines) if line.startswith(" . Opening serial port"))
    check(lines[last] == " . Opening serial port /dev/ttyUSB1 at 921600 baud", f"reopened as {lines[last]!r}")
    note = check_attempt(rig, lines[last:], image, dropped_before)
    print(f"plugged back after {plugged - pulled:.1f} s: the update found it by serial number as ttyUSB1 and its "
          f"first contact query came {restarted:.1f} s after the replug; completed{note}")


def case_watch(rig, image):
    """One --watch run: the adapter plugged at the start is pulled in the
    middle of its update while another program holds its port, comes back
    as ttyUSB1, and its update there completes; that port is not taken for
    a new unit. Pulled, and a second adapter with another serial number
    plugged in its place, that one is updated too; a record for each."""
    rig.wait_in_guest("[ -e /dev/ttyUSB0 ]", 30)
    dropped_before = rig.sim.dropped_requests()
    holder = rig.start_command("trap '' HUP; exec 3</dev/ttyUSB0; sleep 600")
    running = rig.start_command("qdm7-flash --watch --port usb:0403:6001 --count 2 --deadline 120 "
                                "--report /tmp/station.jsonl")
    pulled = pull(rig, running, 3)
    time.sleep(max(0.0, 2 - (time.monotonic() - pulled)))
    rig.replug()
    rig.wait_in_guest("[ -s /tmp/station.jsonl ]", 120)
    first_blocks = rig.sim.blocks()
    time.sleep(1)  # still plugged, on ttyUSB1: not to be updated again
    check(rig.sim.blocks() == first_blocks, "the updated adapter was taken again on the port it came back on")
    rig.unplug()
    holder.signal("KILL")
    rig.wait_in_guest("[ ! -e /dev/ttyUSB0 ] && [ ! -e /dev/ttyUSB1 ]", 10)
    rig.qmp("device_add", driver="usb-serial", id="second", chardev=LINE_ID, serial="QDM7-0002")
    result = running.wait(180)
    check(result.status == 0 and "2 units: 2 completed, 0 failed" in result.err and result.out == ""
          and "the port is back as /dev/ttyUSB1" in result.err, f"the watch over two adapters:\n{result}")
    report = rig.run("cat /tmp/station.jsonl", 30)
    records = [json.loads(line) for line in report.out.splitlines()]
    got = [(record.get("usb_serial"), record["result"]) for record in records]
    check(got == [(ADAPTER_SERIAL, "completed"), ("QDM7-0002", "completed")], f"the records: {report.out}")
    check(records[0]["run_id"] == records[1]["run_id"], f"two run ids in one run: {report.out}")
    # As in check_attempt: a time-out only where a host stall cut a request.
    resent = sum(record["timeouts"] for record in records)
    dropped = rig.sim.dropped_requests() - dropped_before
    check(resent <= dropped, f"{resent} blocks timed out, but the device dropped only {dropped} partly received "
          "requests: a reply was lost on the way")
    print(f"one --watch run: {ADAPTER_SERIAL} pulled mid-update, back as ttyUSB1 and completed in "
          f"{records[0]['seconds']:.1f} s; then QDM7-0002 on {records[1]['port']} in {records[1]['seconds']:.1f} s")


CASES = {"update": case_update, "replug": case_replug, "watch": case_watch}


def as_after_boot(rig):
    """The one adapter on ttyUSB0 again, as a case finds it after the boot:
    pulled (with whatever else a case plugged) and plugged back."""
    for device in ("second", ADAPTER_ID):
        if rig.has_device(device):
            rig.unplug(device)
    rig.wait_in_guest("! ls /dev/ttyUSB* >/dev/null 2>&1", 10)
    rig.replug()
    rig.wait_in_guest("[ -e /dev/ttyUSB0 ]", 10)


def run_cases(rig, image, names):
    """The cases in order in one boot, then the simulator's flash checked."""
    for i, name in enumerate(names):
        if i > 0:
            as_after_boot(rig)
        started = time.monotonic()
        CASES[name](rig, image)
        print(f"usb.{name} passed in {time.monotonic() - started:.1f} s")
    finish(rig, image)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("case", choices=sorted([*CASES, "all"]))
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
    names = list(CASES) if args.case == "all" else [args.case]
    status = run_rig(args.flash, args.sim, lambda rig: run_cases(rig, image, names) or 0)
    if status == EMULATOR_CRASHED:
        # Said above with QEMU's signal; one more boot tells a rare emulator
        # crash from a fault of ours, which would fail again.
        print("QEMU was killed by a signal: booting the rig once more", file=sys.stderr)
        status = run_rig(args.flash, args.sim, lambda rig: run_cases(rig, image, names) or 0)
        status = 1 if status == EMULATOR_CRASHED else status
    if status == 0:
        print(f"PASS: usb.{args.case} in {time.monotonic() - started:.1f} s")
    return status

if __name__ == "__main__":
    sys.exit(main())
