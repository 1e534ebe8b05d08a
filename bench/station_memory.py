#!/usr/bin/env python3
"""What a production station (qdm7-flash --watch) holds as units go by: its
resident memory, open descriptors and threads, read from /proc after every
STEP records, over UNITS simulated units fed as station_rate.py feeds them
(unpaced by default, so that hundreds of units take a minute or two). Once
the last record is in and the station is idle it is read once more, then
Ctrl-C ends the station: exit 130, and every line of its report a whole
record.

  bench/station_memory.py                       # 8 slots, 200 units; build/release
  bench/station_memory.py --units 400 --step 50

Prints a line per reading and the growth a unit from the reading after
--from units to the last (POSIX only: it reads /proc).
"""
import argparse
import json
import os
import signal
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "tests", "support"))
sys.path.insert(0, here)
from qdm7test import Failure, built_tools, reap, start, wait  # noqa: E402
from station_common import process_figures  # noqa: E402
from station_rate import Feed  # noqa: E402


def fail(message):
    print(f"station_memory: {message}", file=sys.stderr)
    sys.exit(1)


def reading(pid):
    """(resident KiB, open files, threads) of the station."""
    figures = process_figures(pid)
    return figures["rss_kib"], figures["fds"], figures["threads"]


def lines_in(path):
    try:
        with open(path, "rb") as report:
            return report.read().count(b"\n")
    except FileNotFoundError:
        return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=os.path.join(here, "..", "build", "release"),
                        help="build tree holding tools/qdm7-sim and tools/qdm7-flash (default: build/release)")
    parser.add_argument("--slots", type=int, default=8, help="ports of the station (default 8)")
    parser.add_argument("--units", type=int, default=200, help="units to update in all (default 200)")
    parser.add_argument("--step", type=int, default=25, help="records between readings (default 25)")
    parser.add_argument("--from", dest="base", type=int, default=50,
                        help="the reading the growth is counted from (default after 50 units)")
    parser.add_argument("--baud", type=int, default=0, help="wire rate of the simulators (default 0: unpaced)")
    args = parser.parse_args()
    if args.slots < 1 or args.units <= args.base or args.step < 1 or args.baud < 0:
        fail("slots and step must be 1 or more, units more than --from, the baud rate 0 or more")
    try:
        sim_path, flash_path, blocks = built_tools(args.build_dir)
    except Failure as failure:
        fail(str(failure))
    print(f"{args.slots} slots, {args.units} units of {blocks} blocks, {flash_path}")

    with tempfile.TemporaryDirectory(prefix="qdm7-memory-") as work:
        os.mkdir(f"{work}/ports")
        report = f"{work}/report.jsonl"
        env = dict(os.environ, QDM7_PORT_GLOB=f"{work}/ports/slot-*[0-9]")
        with open(f"{work}/flash.err", "w") as err:
            flash = start([flash_path, "--watch", "--report", report], stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=err, env=env)
        feed = Feed(sim_path, f"{work}/ports", args.slots, args.units, args.baud)
        readings = []  # (records, rss KiB, descriptors, threads)
        try:
            for thread in feed.threads:
                thread.start()
            time.sleep(0.5)
            readings.append((0, *reading(flash.pid)))  # before any unit
            deadline = time.monotonic() + 120 + args.units * 30 / args.slots
            next_at = args.step
            while True:
                done = lines_in(report)
                if done >= next_at:
                    readings.append((done, *reading(flash.pid)))
                    next_at = (done // args.step + 1) * args.step
                if done >= args.units or flash.poll() is not None or time.monotonic() > deadline:
                    break
                time.sleep(0.05)
            for thread in feed.threads:
                thread.join(30)
            if flash.poll() is None and done >= args.units:
                time.sleep(1.0)  # every unit's thread ended, the station idle
                readings.append(("idle", *reading(flash.pid)))
                flash.send_signal(signal.SIGINT)
            status = wait(flash, 10)
        finally:
            reap(flash)
        with open(f"{work}/flash.err") as err:
            said = err.read()
        with open(report) as lines:
            records = [json.loads(line) for line in lines]
    if status != 130 or feed.errors or len(records) != args.units:
        fail(f"qdm7-flash ended with {status}, {len(records)} records of {args.units}; {feed.errors}\n"
             f"{said[-2000:]}")
    print("records  rss_kib  fds  threads")
    for done, rss, fds, threads in readings:
        print(f"{done!s:>7}  {rss:7d}  {fds:3d}  {threads:7d}")
    base = next((r for r in readings if r[0] != "idle" and r[0] >= args.base), None)
    peak = max(readings, key=lambda r: r[3])
    last = [r for r in readings if r[0] != "idle"][-1]
    idle = readings[-1]
    if base is not None and last[0] > base[0]:
        print(f"growth from {base[0]} to {last[0]} records: {(last[1] - base[1]) / (last[0] - base[0]):.1f} KiB a "
              f"unit; idle after the last: {idle[1]} KiB, {idle[2]} descriptors, {idle[3]} threads; most threads "
              f"at once: {peak[3]}")
    failed = [r["result"] for r in records if r["result"] != "completed"]
    print(f"Ctrl-C: exit {status}, {len(records)} whole records" + (f", not completed: {failed}" if failed else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
