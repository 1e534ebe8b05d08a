#!/usr/bin/env python3
"""Units per hour of a production station (qdm7-flash --watch) against the
wire's own limit.

Feeds a station of SLOTS ports with simulated units: each slot is a link in
a folder that QDM7_PORT_GLOB names, served by a qdm7-sim paced at the link's
rate (921600 baud, 11 bits a character both ways) that ends once its reset is
acknowledged, taking its link away; a second after a unit has gone, the
slot gets the next. One qdm7-flash --watch --count UNITS updates them all.
Prints the units per hour from the first unit's coming to the last one's
record, beside two ideals: the wire time of an update alone on every slot,
and the wire time plus the feed's second between units; then how long a
unit waited to be taken, and how long its update took, against its wire time.

  bench/station_rate.py                    # 8 slots, 24 units (about 70 s); build/release
  bench/station_rate.py --units 8 --slots 4

Use an optimised build without sanitizers (the release preset), on a quiet
machine: the load average is printed with the figures.
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "tests", "support"))
sys.path.insert(0, here)
from qdm7test import Failure, Sim, built_tools, reap, start, wait  # noqa: E402
from station_common import read_report, utc_seconds  # noqa: E402
from update_time_many import wire_seconds  # noqa: E402

GAP_S = 1.0  # from a unit's going to the next one's coming on its slot


def fail(message):
    print(f"station_rate: {message}", file=sys.stderr)
    sys.exit(1)


class Feed:
    """The units: each slot's next one a second after its last has gone,
    until units have come in all."""

    def __init__(self, sim_path, folder, slots, units, baud):
        self.sim_path, self.folder, self.baud = sim_path, folder, baud
        self.left = units
        self.came = []  # (slot's link, wall time it was ready)
        self.errors = []
        self.lock = threading.Lock()
        self.threads = [threading.Thread(target=self.slot, args=(n,), daemon=True) for n in range(slots)]

    def take(self):
        with self.lock:
            if self.left == 0:
                return False
            self.left -= 1
            return True

    def slot(self, n):
        link = f"{self.folder}/slot-{n}"
        while self.take():
            try:
                with Sim(self.sim_path, ["--baud", str(self.baud), "--link", link, "--exit-after-reset"]) as unit:
                    with self.lock:
                        self.came.append((link, time.time()))
                    unit.proc.wait(600)
                    if unit.stop() != 0:
                        self.errors.append(f"a unit on {link} did not end cleanly")
            except (Failure, subprocess.TimeoutExpired) as error:
                self.errors.append(f"{link}: {error}")
                return
            time.sleep(GAP_S)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=os.path.join(here, "..", "build", "release"),
                        help="build tree holding tools/qdm7-sim and tools/qdm7-flash (default: build/release)")
    parser.add_argument("--slots", type=int, default=8, help="ports of the station (default 8)")
    parser.add_argument("--units", type=int, default=24, help="units to update in all (default 24)")
    parser.add_argument("--baud", type=int, default=921600, help="wire rate of the simulators (default 921600)")
    args = parser.parse_args()
    if args.slots < 1 or args.units < 1 or args.baud <= 0:
        fail("slots and units must be 1 or more and the baud rate positive")
    try:
        sim_path, flash_path, blocks = built_tools(args.build_dir)
    except Failure as failure:
        fail(str(failure))
    wire = wire_seconds(blocks, args.baud)
    print(f"{args.slots} slots, {args.units} units of {blocks} blocks at {args.baud} baud; load average before: "
          + " ".join(f"{value:.2f}" for value in os.getloadavg()))

    with tempfile.TemporaryDirectory(prefix="qdm7-station-") as work:
        os.mkdir(f"{work}/ports")
        env = dict(os.environ, QDM7_PORT_GLOB=f"{work}/ports/slot-*[0-9]")  # not the simulators' .lock files
        command = ["/usr/bin/time", "-f", "%U %S", "-o", f"{work}/time.txt", flash_path, "--watch",
                   "--count", str(args.units), "--report", f"{work}/report.jsonl"]
        with open(f"{work}/flash.err", "w") as err:
            flash = start(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err, env=env)
        feed = Feed(sim_path, f"{work}/ports", args.slots, args.units, args.baud)
        try:
            for thread in feed.threads:
                thread.start()
            status = wait(flash, 60 + args.units * (wire + 10) / args.slots * 2)
        finally:
            reap(flash)
            for thread in feed.threads:
                thread.join(30)
        with open(f"{work}/flash.err") as err:
            said = err.read()
        if status != 0 or feed.errors:
            fail(f"qdm7-flash ended with {status}; {feed.errors}\n{said[-2000:]}")
        records, torn = read_report(f"{work}/report.jsonl")
        if torn:
            fail(f"{len(torn)} torn lines in the report")
        with open(f"{work}/time.txt") as timing:
            cpu = sum(float(value) for value in timing.read().split()[-2:])

    if len(records) != args.units or any(record["result"] != "completed" for record in records):
        fail(f"expected {args.units} completed records, got {[record['result'] for record in records]}")
    first_came = min(at for _, at in feed.came)
    last_ended = max(utc_seconds(record["ended"]) for record in records)
    span = last_ended - first_came
    rate = args.units / span * 3600
    ideal_wire = args.slots * 3600 / wire
    ideal_fed = args.slots * 3600 / (wire + GAP_S)
    # Each unit's coming against the start of its update: matched in order per slot.
    waits = []
    for link in {link for link, _ in feed.came}:
        came = sorted(at for slot, at in feed.came if slot == link)
        began = sorted(utc_seconds(record["started"]) for record in records if record["port"] == link)
        waits += [b - c for c, b in zip(came, began)]
    seconds = [record["seconds"] for record in records]
    print(f"units per hour: {rate:.0f}  (in {span:.1f} s)")
    print(f"ideal of the wire time ({wire:.2f} s a unit, {args.slots} slots): {ideal_wire:.0f}/h; "
          f"with the feed's {GAP_S:.0f} s between units: {ideal_fed:.0f}/h; station at {rate / ideal_fed:.3f} of it")
    print(f"a unit waited {statistics.mean(waits):.2f} s on average ({max(waits):.2f} s at most) to be taken; "
          f"its update took {statistics.mean(seconds):.2f} s on average, {statistics.mean(seconds) / wire:.3f} "
          f"of its wire time")
    print(f"qdm7-flash CPU: {cpu / args.units:.3f} s a unit; load average after: "
          + " ".join(f"{value:.2f}" for value in os.getloadavg()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
