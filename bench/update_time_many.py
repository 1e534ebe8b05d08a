#!/usr/bin/env python3
"""How long one qdm7-flash takes to update N devices at once, against one alone.

For each N, starts N qdm7-sim devices paced at the link's rate (921600 baud,
11 bits a character both ways), runs one qdm7-flash over all of their ports
with the built-in image, and reads each device's own log for the time from
its first block to its reset acknowledgement (the device logs each request as
the wire delivers it, and each reply once the wire has carried it). Prints per
N: the slowest device's update time and its ratio to one device alone, each
device's ratio to the wire time of that span, and the CPU time of qdm7-flash
(/usr/bin/time) and of the simulators per device update.

  bench/update_time_many.py                 # N = 1, 2, 4, 8; build/release
  bench/update_time_many.py --counts 1,8    # only these

Use an optimised build without sanitizers (the release preset), on a quiet
machine: the load average is printed with the figures.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
from qdm7test import BLOCK, Failure, Sim, built_tools, start, wait  # noqa: E402

BITS_PER_CHARACTER = 11  # start, 8 data, even parity, stop
PROGRAM_REQUEST = BLOCK + 11
PROGRAM_REPLY = 11
QUERY, QUERY_REPLY, RESET, RESET_REPLY = 13, 15, 5, 5
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def fail(message):
    print(f"update_time_many: {message}", file=sys.stderr)
    sys.exit(1)


def cpu_seconds(pid):
    """User and system time of a running process, from /proc."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def wire_seconds(blocks, baud):
    """The wire time of a whole update: every block and its acknowledgement,
    the CRC query and the reset, each with its reply, 11 bits a character."""
    char_s = BITS_PER_CHARACTER / baud
    return ((PROGRAM_REQUEST + PROGRAM_REPLY) * blocks + QUERY + QUERY_REPLY + RESET + RESET_REPLY) * char_s


def update_span(log_path, char_s):
    """From a device's --verbose log: seconds from the start of its first
    block on the wire to the end of its reset acknowledgement."""
    first_block = ack = None
    reset_asked = False
    with open(log_path, errors="replace") as log:
        for line in log:
            found = re.match(r"qdm7-sim\s+([\d.]+) (.*)", line)
            if not found:
                continue
            at, what = float(found.group(1)), found.group(2)
            if first_block is None and what.startswith("request: program"):
                first_block = at - PROGRAM_REQUEST * char_s
            elif what.startswith("request: reset"):
                reset_asked = True
            elif reset_asked and what == "reply of 5 bytes written":
                ack = at
                break
    if first_block is None or ack is None:
        return None
    return ack - first_block


def run_many(args, sim_path, flash_path, count, blocks, work):
    char_s = BITS_PER_CHARACTER / args.baud
    wire = wire_seconds(blocks, args.baud)
    sims, logs = [], []
    try:
        for i in range(count):
            logs.append(open(f"{work}/sim{i}.log", "w"))
            sims.append(Sim(sim_path, ["--baud", str(args.baud), "--verbose"], stderr=logs[-1]))
        command = ["/usr/bin/time", "-f", "%U %S", "-o", f"{work}/time.txt", flash_path]
        for sim in sims:
            command += ["--port", sim.port]
        if count > 1:
            command += ["--log-dir", f"{work}/traces"]
        with open(f"{work}/flash.err", "w") as err:
            status = wait(start(command, stdout=subprocess.DEVNULL, stderr=err, stdin=subprocess.DEVNULL), 600)
        sim_cpu = sum(cpu_seconds(sim.proc.pid) for sim in sims)
        for sim in sims:
            sim.stop()
    finally:
        for sim in sims:
            sim.kill()
        for log in logs:
            log.close()
    if status != 0:
        with open(f"{work}/flash.err") as err:
            fail(f"qdm7-flash over {count} devices ended with {status}:\n{err.read()[-2000:]}")
    spans = [update_span(log.name, char_s) for log in logs]
    if None in spans:
        fail(f"device {spans.index(None)} of {count} logged no whole update")
    with open(f"{work}/time.txt") as timing:
        user, system = (float(value) for value in timing.read().split()[-2:])
    return spans, wire, user + system, sim_cpu


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=os.path.join(here, "..", "build", "release"),
                        help="build tree holding tools/qdm7-sim and tools/qdm7-flash (default: build/release)")
    parser.add_argument("--counts", default="1,2,4,8", help="device counts to run, comma-separated (default 1,2,4,8)")
    parser.add_argument("--baud", type=int, default=921600, help="wire rate of the simulators (default 921600)")
    args = parser.parse_args()
    try:
        counts = [int(text) for text in args.counts.split(",")]
    except ValueError:
        fail(f"--counts takes numbers separated by commas, not {args.counts!r}")
    if not counts or min(counts) < 1 or args.baud <= 0:
        fail("counts must be 1 or more and the baud rate positive")
    try:
        sim_path, flash_path, blocks = built_tools(args.build_dir)
    except Failure as failure:
        fail(str(failure))
    if not os.access("/usr/bin/time", os.X_OK):
        fail("/usr/bin/time is missing: cmake --preset release && cmake --build --preset release")

    print(f"{blocks} blocks a device at {args.baud} baud; load average before: "
          + " ".join(f"{value:.2f}" for value in os.getloadavg()))
    print(f"{'N':>3}  {'slowest s':>9}  {'vs one':>6}  {'wire ratio min-max':>18}  "
          f"{'flash CPU s/device':>18}  {'sims CPU s/device':>17}")
    alone = None
    for count in counts:
        with tempfile.TemporaryDirectory(prefix="qdm7-many-") as work:
            try:
                spans, wire, flash_cpu, sim_cpu = run_many(args, sim_path, flash_path, count, blocks, work)
            except Failure as failure:
                fail(str(failure))
        slowest = max(spans)
        if alone is None and count == 1:
            alone = slowest
        versus = f"{slowest / alone:6.3f}" if alone else "     -"
        ratios = [span / wire for span in spans]
        print(f"{count:>3}  {slowest:9.3f}  {versus}  {min(ratios):8.3f} - {max(ratios):5.3f}   "
              f"{flash_cpu / count:18.3f}  {sim_cpu / count:17.3f}")
    print("load average after: " + " ".join(f"{value:.2f}" for value in os.getloadavg()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
