#!/usr/bin/env python3
"""End-to-end runs of the updater against the virtual QDM7 on a pseudo-terminal.

Each case starts qdm7-sim (and qdm7-flash, natively or under Wine), checks
what came out, and ends every process it started, also when a check fails:
each is told to die with this script, and stopped when its case ends.
"""
import argparse
import fcntl
import grp
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from qdm7test import (BLOCK, FLASH_BASE, Failure, Pty, Sim, SuiteWine, check, check_dump, check_trace,  # noqa: E402
                      crc16, padded, reap, resumed_at, run, sealed, start, wait)

WIRE_BITS = 11
TIOCGEXCL = 0x80045440  # Linux: is the terminal in exclusive mode


def flash_command(args, port):
    return [args.flash, "--port", port]


def update_against_sim(args, work, sim_options, expected_status=0):
    """Runs qdm7-flash against an unpaced qdm7-sim that dumps its flash to
    work/flash.bin; checks the exit status and that the sim ended cleanly.
    Returns the trace, standard error, the run's seconds and the sim's STATS."""
    with Sim(args.sim, ["--baud", "0", *sim_options, "--dump", f"{work}/flash.bin"]) as sim:
        status, out, err, seconds = run(flash_command(args, sim.port), 300)
        check(status == expected_status,
              f"qdm7-flash ended with {status}, expected {expected_status}\n{err[-2000:]}")
        check(sim.stop() == 0, "qdm7-sim did not end cleanly")
        return out, err, seconds, sim.stats


def case_update(args, work):
    """A whole update, unpaced, with the built-in image."""
    out, _, seconds, _ = update_against_sim(args, work, [])
    check_trace(out, args.image_bytes)
    check_dump(f"{work}/flash.bin", args.image_bytes)
    print(f"update took {seconds:.1f} s")


WAITING_FOR_POWER = "waiting for the device to power on: switch it off and on now"
ECHO_TEXT = "the port sends back what it is sent: a loopback, or a device that is not a QDM7"


def case_terminal(args, work):
    """On a 50-column terminal: the wait for power-on said plainly, a resend
    shown in the progress line, nothing wider than the terminal; meanwhile
    the trace reaches its file line by line."""
    with Sim(args.sim, ["--baud", "0", "--power-on-after", "2500",
                        "--fault", "drop:on=program,every=2,count=1"]) as sim:
        with Pty(raw=False) as terminal:
            master = terminal.device
            fcntl.ioctl(terminal.port, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 50, 0, 0))
            problems = []
            with open(f"{work}/trace.txt", "wb") as trace:
                proc = start(flash_command(args, sim.port), stdout=trace, stderr=terminal.port)
            terminal.close_port()
            shown = b""
            began = time.monotonic()
            linked = False
            traced_early = False  # a contact query was in the trace file before the link
            while True:
                if not linked:
                    with open(f"{work}/trace.txt") as file:
                        trace_now = file.read()
                    linked = "REMOTE DEVICE" in trace_now
                    traced_early |= not linked and "CONTACTING...\n" in trace_now
                if select.select([master], [], [], 0.1)[0]:
                    try:
                        shown += os.read(master, 65536)
                    except OSError:
                        break
                elif proc.poll() is not None:
                    break
                check(time.monotonic() - began < 120, "qdm7-flash still running after 120 s")
            status = proc.wait()
            check(status == 0, f"qdm7-flash ended with {status}: {shown[-2000:]!r}")
            text = shown.decode(errors="replace")
            if not traced_early:
                problems.append("no contact query reached the trace file before the link")
            if WAITING_FOR_POWER not in re.sub(r"\s+", " ", text):  # broken to fit the width
                problems.append("the wait for power-on was not said")
            if not re.search(r"resending in \d+ s", text) or "1 resend" not in text:
                problems.append("the progress line never showed the wait for a resend and its count")
            wide = [piece for piece in re.split(r"[\r\n]", text) if len(piece) > 49]
            if wide:
                problems.append(f"{len(wide)} pieces wider than 49 columns, e.g. {wide[0]!r}")
            with open(f"{work}/trace.txt") as file:
                out = file.read()
            check_trace("\n".join(line for line in out.splitlines() if "TIMEOUT" not in line), args.image_bytes)
            check(not problems, "; ".join(problems))
            check(sim.stop() == 0, "qdm7-sim did not end cleanly")
            print("power-on wait, resend and progress all within 50 columns; trace written as it came")


def wait_for_text(path, text, count, limit):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        with open(path, errors="replace") as file:
            if file.read().count(text) >= count:
                return True
        time.sleep(0.05)
    return False


def start_flash(command, work, env=None):
    """qdm7-flash started with its trace in work/trace.txt and its standard
    error in work/err.txt."""
    with open(f"{work}/trace.txt", "wb") as trace, open(f"{work}/err.txt", "wb") as err:
        return start(command, stdout=trace, stderr=err, env=env)


def read_text(path):
    with open(path, errors="replace") as file:
        return file.read().replace("\r\n", "\n")


def case_port_lost(args, work):
    """The device goes away while contacting and while programming: with
    --no-reconnect the run ends at once with exit 4, naming the port."""
    for phase, sim_options in (("contacting", ["--power-on-after", "600000"]), ("programming", [])):
        with Sim(args.sim, sim_options) as sim:
            proc = start_flash(flash_command(args, sim.port) + ["--no-reconnect"], work)
            try:
                if phase == "programming":
                    check(wait_for_text(f"{work}/trace.txt", "PROG ADDR", 2, 30), "programming never began")
                else:
                    time.sleep(1.0)
                sim.proc.kill()
                sim.proc.wait()
                lost_at = time.monotonic()
                status = wait(proc, 15, f"qdm7-flash still running 15 s after the device went away while {phase}")
                took = time.monotonic() - lost_at
            finally:
                reap(proc)
            with open(f"{work}/err.txt") as file:
                err_text = file.read()
            check(status == 4, f"exit {status} after the device went away while {phase}, expected 4:\n{err_text}")
            check(f"lost the port {sim.port}" in err_text, f"the port lost was not named:\n{err_text}")
            check(took < 3, f"qdm7-flash took {took:.1f} s to notice")
            print(f"device gone while {phase}: exit 4 after {took:.2f} s")


LOST_WAITING = "(the device went away); waiting for it to come back"
# Said once the port is back, whether the update resumes or starts again.
RESTARTING = "the port is back as"


def update_across_restart(command, link, args, work, env=None):
    """qdm7-sim stopped in the middle of programming and a new one started a
    second later on the same link: the run says once that it waits, reopens
    the link and updates the new device from the start. Returns the seconds
    from the new device's start to the port's reopening."""
    proc = None
    try:
        with Sim(args.sim, ["--baud", "0", "--link", link]) as first:
            proc = start_flash(command, work, env)
            check(wait_for_text(f"{work}/trace.txt", "PROG ADDR", 3, 60),
                  f"programming never began:\n{read_text(f'{work}/trace.txt')[-1000:]}"
                  f"\n{read_text(f'{work}/err.txt')[-1000:]}")
            check(first.stop() == 0, "the first qdm7-sim did not end cleanly")
        check(wait_for_text(f"{work}/err.txt", LOST_WAITING, 1, 10),
              f"qdm7-flash did not say that it waits for the port:\n{read_text(f'{work}/err.txt')}")
        time.sleep(1)
        with Sim(args.sim, ["--baud", "0", "--link", link, "--dump", f"{work}/flash.bin"]) as second:
            back = time.monotonic()
            wait_for_text(f"{work}/trace.txt", " . Opening serial port", 2, 10)
            reopened = time.monotonic() - back
            status = wait(proc, 120)
            check(second.stop() == 0, "the second qdm7-sim did not end cleanly")
    finally:
        if proc:
            reap(proc)
    err, out = read_text(f"{work}/err.txt"), read_text(f"{work}/trace.txt")
    check(status == 0, f"qdm7-flash ended with {status} after the device came back:\n{err[-2000:]}")
    check(err.count(LOST_WAITING) == 1 and err.count(RESTARTING) == 1,
          f"expected the wait and the restart said once each:\n{err}")
    lines = out.splitlines()
    check(sum(line.endswith("PORT LOST") for line in lines) == 1, "no PORT LOST line, or several, in the trace")
    opened = [i for i, line in enumerate(lines) if line.startswith(" . Opening serial port")]
    check(len(opened) == 2, f"the port was opened {len(opened)} times, expected twice")
    check_trace("\n".join(lines[opened[1]:]), args.image_bytes)
    check_dump(f"{work}/flash.bin", args.image_bytes)
    return reopened


def case_reconnect(args, work):
    """The device goes away and comes back on the same path: the update
    starts again and completes. One that does not come back: the deadline
    ends the wait with exit 3, and Ctrl-C within a second with 130, each
    naming the lost port."""
    link = f"{work}/qdm7"
    took = update_across_restart([args.flash, "--port", link, "--deadline", "120"], link, args, work)
    print(f"device back after 1 s: port reopened {took:.2f} s later, the update restarted and completed")
    for stop in ("deadline", "ctrl-c"):
        with Sim(args.sim, ["--link", link, "--power-on-after", "600000"]) as sim:
            extra = ["--deadline", "3"] if stop == "deadline" else []
            proc = start_flash([args.flash, "--port", link, *extra], work)
            try:
                check(wait_for_text(f"{work}/trace.txt", "CONTACTING", 1, 10), "no contact query")
                check(sim.stop() == 0, "qdm7-sim did not end cleanly")
                check(wait_for_text(f"{work}/err.txt", LOST_WAITING, 1, 10), "the wait was not said")
                asked = time.monotonic()
                if stop == "ctrl-c":
                    proc.send_signal(signal.SIGINT)
                status = wait(proc, 15)
                took = time.monotonic() - asked
            finally:
                reap(proc)
        err = read_text(f"{work}/err.txt")
        expected = (3, f"deadline of 3 s passed while waiting for the lost port {link}") if stop == "deadline" \
            else (130, f"interrupted while waiting for the lost port {link}")
        check((status, True) == (expected[0], expected[1] in err),
              f"{stop} while waiting: exit {status}, expected {expected[0]} and {expected[1]!r}:\n{err}")
        check(stop == "deadline" or took < 1, f"Ctrl-C took {took:.2f} s to end the wait")
        print(f"{stop} while waiting for the port: exit {status} after {took:.2f} s")


def case_unprivileged_reopen(args, work):
    """As an ordinary user, two runs one after the other against one running
    simulator: the first must leave the port free for the second."""
    prefix = []
    sim_path, flash_path = args.sim, args.flash
    if os.geteuid() == 0:
        # nobody must be able to reach the programs: copies in a folder of its own.
        os.chmod(work, 0o755)
        os.makedirs(f"{work}/bin", mode=0o755)
        sim_path, flash_path = f"{work}/bin/qdm7-sim", f"{work}/bin/qdm7-flash"
        for source, copy in ((args.sim, sim_path), (args.flash, flash_path)):
            shutil.copy(source, copy)
            os.chmod(copy, 0o755)
        prefix = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--pdeathsig=TERM"]
    with Sim(sim_path, ["--baud", "0"], prefix) as sim:
        for attempt in (1, 2):
            status, _, err, seconds = run([*prefix, flash_path, "--port", sim.port, "--deadline", "120"], 150)
            check(status == 0, f"run {attempt} as an ordinary user ended with {status}:\n{err[-2000:]}")
            print(f"run {attempt} as {'nobody' if prefix else 'this user'} completed in {seconds:.1f} s")
        check(sim.stop() == 0, "qdm7-sim did not end cleanly")


def case_wine(args, work):
    """The Windows build under Wine, the simulator mapped as COM port 7: the
    port listed, an update by its name COM7, two ports (7 and 8) updated by
    one run at once, the ports a station watches, and an update across the
    device's restart."""
    check(os.path.exists(args.sim), f"no native qdm7-sim at {args.sim}: the build makes it "
          "(target qdm7-host-tools in a cross build)")
    # The suite's prefix (this case runs where Wine runs): its ports 7 and 8
    # are ours for the case.
    with SuiteWine() as wine, \
            Sim(args.sim, ["--baud", "0", "--link", wine.claim("com7"), "--dump", f"{work}/flash.bin"]) as sim, \
            Sim(args.sim, ["--baud", "0", "--link", wine.claim("com8"), "--dump", f"{work}/flash8.bin"]) as sim8:
        env = wine.env
        report = os.path.join(wine.prefix, "drive_c", "qdm7-e2e-report.jsonl")
        if os.path.exists(report):
            os.unlink(report)
        status, out, err, _ = run([args.wine_run, args.flash, "--list"], 120, env)
        check(status == 0, f"qdm7-flash.exe --list ended with {status}: {err[-2000:]}")
        check("\\\\.\\com7" in out.lower().splitlines(), f"COM7 not among the listed ports: {out!r}")
        status, out, err, seconds = run([args.wine_run, args.flash, "--port", "COM7"], 300, env)
        check(status == 0, f"qdm7-flash.exe ended with {status}\n{err[-2000:]}")
        check(" . Opening serial port \\\\.\\com7 at 921600 baud" in out, f"COM7 not opened as \\\\.\\com7:\n{out[:500]}")
        check_trace(out, args.image_bytes)
        status, out, _, _ = run([args.wine_run, args.flash, "--doctor", "--port", "COM7", "--port", "com250"], 120, env)
        check(status == 1 and "\n\\\\.\\com7\n" in out and "\n\\\\.\\com250\n  not there: no such port\n" in out
              and "\n1 thing in the way\n" in out, f"--doctor on COM7 and com250: exit {status}\n{out}")
        status, _, err, two_s = run([args.wine_run, args.flash, "--port", "\\\\.\\com7", "--port", "\\\\.\\com8",
                                     "--report", "C:\\qdm7-e2e-report.jsonl"], 300, env)
        check(status == 0, f"qdm7-flash.exe over two ports ended with {status}\n{err[-2000:]}")
        read_report(report, ["\\\\.\\com7", "\\\\.\\com8"])
        os.unlink(report)
        watch_named_ports(args, env, report)
        check(sim.stop() == 0 and sim8.stop() == 0, "qdm7-sim did not end cleanly")
        check(not os.path.lexists(wine.dosdevice("com7")), "qdm7-sim left its COM link behind")
        check_dump(f"{work}/flash.bin", args.image_bytes)
        check_dump(f"{work}/flash8.bin", args.image_bytes)
        print(f"update under Wine took {seconds:.1f} s; two COM ports at once {two_s:.1f} s")
        took = update_across_restart([args.wine_run, args.flash, "--port", "\\\\.\\com7", "--deadline", "120"],
                                     wine.dosdevice("com7"), args, work, env)
        print(f"device gone under Wine and back after 1 s: port reopened {took:.2f} s later, update completed")


def watch_named_ports(args, env, report):
    """A station under Wine with units on COM7 and COM8 watches only what it
    is told to, and says so: COM8 alone by QDM7_PORT_GLOB (--list too),
    COM7 alone by name; a usb: selection, which this build cannot match,
    is refused as an update refuses it."""
    glob = dict(env, QDM7_PORT_GLOB="\\\\.\\COM8")
    status, out, err, _ = run([args.wine_run, args.flash, "--list"], 120, glob)
    check(status == 0 and out.split() == ["\\\\.\\com8"], f"--list with QDM7_PORT_GLOB: exit {status}: {out!r}")
    watched = {}
    for selection, given, expected in ((glob, [], "\\\\.\\COM8"), (env, ["--port", "COM7"], "\\\\.\\com7")):
        status, _, err, seconds = run([args.wine_run, args.flash, "--watch", *given, "--count", "1",
                                       "--report", "C:\\qdm7-e2e-report.jsonl"], 120, selection)
        unit = expected.lower()
        check(status == 0 and f"watching {expected} for units" in err, f"--watch {given}: exit {status}\n{err}")
        check([record["port"] for record in report_records(report)] == [unit],
              f"--watch {given} took other ports: {report_records(report)}")
        os.unlink(report)
        watched[unit] = seconds
    status, _, err, _ = run([args.wine_run, args.flash, "--watch", "--port", "usb:0483:5740"], 60, env)
    check(status == 1 and "no port matches usb:0483:5740: this build cannot read the USB identity of ports"
          in " ".join(err.split()), f"--watch --port usb: under Wine: exit {status}\n{err}")
    print("under Wine, watched " + " and ".join(f"{unit} alone ({took:.1f} s)" for unit, took in watched.items())
          + "; a usb: selection refused")


# --- The --report file --------------------------------------------------------------------------

RECORD_FIELDS = {"port", "result", "started", "ended", "seconds", "blocks", "timeouts", "image_length", "version"}
ISO_UTC = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")


def report_records(path):
    """The --report file's records in order, each a whole, well-formed line."""
    import json
    with open(path, "rb") as file:
        text = file.read().decode()
    check(text == "" or text.endswith("\n"), f"the report ends inside a line: {text[-200:]!r}")
    records = []
    for line in text.splitlines():
        record = json.loads(line)
        check(RECORD_FIELDS <= record.keys(), f"a record lacks {RECORD_FIELDS - record.keys()}: {line}")
        check(ISO_UTC.match(record["started"]) and ISO_UTC.match(record["ended"]), f"times not UTC ISO 8601: {line}")
        records.append(record)
    return records


def read_report(path, ports):
    """The --report file: exactly one well-formed record per port, by port."""
    records = {}
    for record in report_records(path):
        check(record["port"] not in records, f"two records for {record['port']}")
        records[record["port"]] = record
    check(set(records) == set(ports), f"records for {sorted(records)}, expected {sorted(ports)}")
    return records


def case_why(args, work):
    """Each failure names its cause and its fix: a port another process holds
    (its program and pid, also in the several-ports record), a port that
    sends back what it is sent (told at the contact query, no block
    written), a port of a group this user is not in, and bytes that never
    form a reply while contacting."""
    holder_code = ("import fcntl, os, sys, time; fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY); "
                   "fcntl.flock(fd, fcntl.LOCK_EX); print('held', flush=True); time.sleep(60)")
    with Pty(keep_port=False) as line:
        holder = start([sys.executable, "-c", holder_code, line.path], stdout=subprocess.PIPE)
        try:
            check(holder.stdout.readline().strip() == b"held", "the holder did not take the port")
            status, _, err, _ = run([args.flash, "--port", line.path], 30)
            said = f"{line.path} is in use by python3 (pid {holder.pid}); close it, or choose another port"
            check(status == 1 and f"qdm7-flash: {said}\n" in err, f"held port: exit {status}\n{err}")
            status, _, err, _ = run([args.flash, "--port", line.path, "--port", f"{work}/none",
                                     "--report", f"{work}/held.jsonl"], 30)
            record = read_report(f"{work}/held.jsonl", [line.path, f"{work}/none"])[line.path]
            check(status == 5 and record["result"] == "error" and record["error"] == said, f"held: {record}")
        finally:
            reap(holder)
    print("held port: named its holder, alone and in the report")

    with Pty() as line:
        got = bytearray()
        done = threading.Event()

        def echo():
            while not done.is_set():
                if select.select([line.device], [], [], 0.1)[0]:
                    data = os.read(line.device, 65536)
                    got.extend(data)
                    os.write(line.device, data)

        echoing = threading.Thread(target=echo, daemon=True)
        echoing.start()
        status, out, err, _ = run([args.flash, "--port", line.path], 60)
        check(status == 1 and ECHO_TEXT in err, f"echo: exit {status}\n{err}")
        check(out.count("PROG ADDR") == 0 and out.endswith("CONTACTING...\nRX: 04 f3 02 08 00 80 00 00 00 00 04 e0 dd\nECHO\n"),
              f"echo: {out.count('PROG ADDR')} blocks sent, {len(got)} bytes written\n{out}")
        written = len(got)
        # --verify names it too, at the contact query it got back.
        status, out, err, seconds = run([args.flash, "--verify", "--port", line.path], 60)
        done.set()
        echoing.join(5)
        check(status == 1 and f"{line.path}: {ECHO_TEXT}; port closed, nothing written" in " ".join(err.split())
              and out.endswith("CONTACTING...\nECHO\n"), f"--verify on an echo: exit {status}\n{err}\n{out}")
    print(f"echoing port: the update told at the contact query ({written} bytes written), "
          f"--verify at the contact query ({seconds:.2f} s)")

    with Pty() as line:
        os.chown(line.path, 0, grp.getgrnam("dialout").gr_gid)
        os.chmod(line.path, 0o660)
        copy = f"{work}/qdm7-flash"
        shutil.copy(args.flash, copy)
        os.chmod(work, 0o755)
        status, _, err, _ = run(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", copy,
                                 "--port", line.path], 30)
        check(status == 1 and f"no permission to open {line.path}: it belongs to group dialout (mode 660) and "
              "nobody is not in that group; add the user with: sudo usermod -aG dialout nobody, then log out "
              "and in again" in " ".join(err.split()), f"permission: exit {status}\n{err}")
    print("a port of another group: said whose, and how to join it")

    with Pty() as line:
        done = threading.Event()

        def talk():
            while not done.is_set():
                os.write(line.device, b"firmware talking\r\n")
                while select.select([line.device], [], [], 0.05)[0]:
                    os.read(line.device, 4096)

        talking = threading.Thread(target=talk, daemon=True)
        talking.start()
        status, _, err, _ = run([args.flash, "--port", line.path, "--deadline", "2"], 30)
        done.set()
        talking.join(5)
        check(status == 3 and re.search(r"\d+ bytes so far; bytes come but none is a reply: the device is not in "
                                        r"its loader", " ".join(err.split())), f"stray bytes: exit {status}\n{err}")
    print("bytes without a reply: said, with the way into the loader")


def interrupt(proc, limit=10):
    """Ctrl-C to proc: its exit status and the seconds it took to end."""
    proc.send_signal(signal.SIGINT)
    sent = time.monotonic()
    status = wait(proc, limit)
    return status, time.monotonic() - sent


def check_port_free(port):
    """Nobody holds the port: no lock on it, not in exclusive mode."""
    fd = os.open(port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        exclusive = struct.unpack("i", fcntl.ioctl(fd, TIOCGEXCL, bytes(4)))[0]
    except OSError as error:
        raise Failure(f"{port} still held after the exit: {error}")
    finally:
        os.close(fd)
    check(exclusive == 0, f"{port} left in exclusive mode")


def case_resume(args, work):
    """The cable pulled after block 60 and the device back on the same path:
    one that kept its flash gets only the blocks after those it acknowledged;
    one that erases a whole flash sector on its first write after power-up
    loses blocks before that point, and the update still completes, by one
    whole attempt after the resumed one. The second device's count of
    program requests says what was sent again."""
    link, trace, kept = f"{work}/qdm7", f"{work}/trace.txt", f"{work}/kept.bin"
    blocks = len(padded(args.image_bytes)) // BLOCK
    for erasing in (False, True):
        proc = None
        try:
            with Sim(args.sim, ["--baud", "0", "--program-ms", "20", "--link", link, "--dump", kept]) as first:
                proc = start_flash([args.flash, "--port", link, "--deadline", "200"], work)
                check(wait_for_text(trace, "- OK", 61, 60), f"block 61 never acknowledged:\n{read_text(trace)[-1000:]}")
                check(first.stop() == 0, "the first qdm7-sim did not end cleanly")
            check(wait_for_text(f"{work}/err.txt", LOST_WAITING, 1, 10), "the wait was not said")
            acknowledged = read_text(trace).count("- OK")
            # A sector that the acknowledged blocks end inside, not on its boundary.
            sector = BLOCK * ((acknowledged & -acknowledged) * 2)
            extra = ["--erase-sector-on-first-write", str(sector)] if erasing else []
            with Sim(args.sim, ["--baud", "0", "--link", link, "--flash-from", kept, "--dump", f"{work}/flash.bin",
                                *extra]) as second:
                status = wait(proc, 120)
                check(second.stop() == 0, "the second qdm7-sim did not end cleanly")
        finally:
            if proc:
                reap(proc)
        out, err = read_text(trace), read_text(f"{work}/err.txt")
        check(status == 0, f"exit {status} after the device came back:\n{err[-2000:]}")
        check(f"resuming the update after the {acknowledged} blocks the device acknowledged" in err,
              f"the resume was not said:\n{err}")
        check(f"(%d blocks)\n" % acknowledged in out and resumed_at(out) == acknowledged,
              f"no resume check of {acknowledged} blocks, or programming not resumed after them:\n{out[-3000:]}")
        sent_again = int(second.stats["blocks"])
        if erasing:
            check("RESUMED AT BLOCK %d: PROGRAMMING THE WHOLE IMAGE AGAIN" % acknowledged in out
                  and sent_again == blocks - acknowledged + blocks, f"{sent_again} blocks sent to the second device")
        else:
            check(sent_again == blocks - acknowledged and sent_again < 40,
                  f"{sent_again} blocks sent again after {acknowledged} acknowledged")
        check_dump(f"{work}/flash.bin", args.image_bytes)
        print(f"cable pulled after {acknowledged} blocks, " + (
            f"device erasing {sector // BLOCK}-block sectors: resumed, failed, {sent_again} blocks in all, completed"
            if erasing else f"flash kept: {sent_again} blocks sent again, completed"))


def wait_until(condition, limit, what):
    end = time.monotonic() + limit
    while not condition():
        check(time.monotonic() < end, what)
        time.sleep(0.05)


def case_watch(args, work):
    """A station watching two ports by name, Ctrl-C while both paced units
    are programming: the signal reaches every unit's thread, exit 130 within
    a second, neither recorded, both ports free. (What a watch and several
    ports at once start, say and record is tested in-process,
    tests/flash/station_test.cpp and watch_test.cpp.)"""
    units = [f"{work}/unit-{n}" for n in (1, 2)]
    command = [args.flash, "--watch", "--port", units[0], "--port", units[1], "--report", f"{work}/report.jsonl",
               "--log-dir", f"{work}/logs"]
    programming = lambda: os.path.isdir(f"{work}/logs") and len(os.listdir(f"{work}/logs")) == 2 and all(
        "- OK" in read_text(f"{work}/logs/{name}") for name in os.listdir(f"{work}/logs"))
    with Sim(args.sim, ["--link", units[0]]), Sim(args.sim, ["--link", units[1]]):
        with open(f"{work}/err.txt", "wb") as err:
            proc = start(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        try:
            wait_until(programming, 60, f"the units were not programmed:\n{read_text(f'{work}/err.txt')}")
            status, took = interrupt(proc)
        finally:
            reap(proc)
        err = read_text(f"{work}/err.txt")
        check(status == 130 and took < 1.0, f"exit {status} {took:.2f} s after Ctrl-C\n{err}")
        check(f"watching {units[0]}, {units[1]} for units" in err, f"the ports named were not watched:\n{err}")
        check(read_text(f"{work}/report.jsonl") == "", "a unit cut short was recorded")
        for unit in units:
            check_port_free(unit)
    print(f"Ctrl-C amid two watched units: exit 130 {took:.2f} s later, no record, both ports free")


# --- The simulator on its own, with a hand-made client ---------------------------------------

class Client:
    def __init__(self, path):
        import termios
        import tty
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        termios.tcflush(self.fd, termios.TCIOFLUSH)

    def send(self, frame):
        os.write(self.fd, frame)

    def read(self, total=0.5, gap=0.03):
        """Like the updater's read: ends after a gap between bytes, or at total."""
        data = b""
        end = time.monotonic() + total
        while time.monotonic() < end:
            ready, _, _ = select.select([self.fd], [], [], gap if data else end - time.monotonic())
            if not ready:
                if data:
                    break
                continue
            data += os.read(self.fd, 65536)
        return data

    def close(self):
        os.close(self.fd)


def query(address, length):
    return sealed(bytes([4, 0xF3, 2]) + address.to_bytes(4, "big") + length.to_bytes(4, "big"))


def program(address, data):
    return sealed(bytes([4, 0xF3, 1]) + address.to_bytes(4, "big") + len(data).to_bytes(2, "big") + data)


def valid(reply):
    return len(reply) >= 4 and crc16(reply[:-2]) == reply[-2] + 256 * reply[-1]


def case_sim_protocol(args, work):
    """The protocol, bad input, reopening, pacing, and a clean end."""
    link = f"{work}/com3"
    with Sim(args.sim, ["--link", link, "--dump", f"{work}/flash.bin"]) as sim:
        check(os.readlink(link) == sim.port, "the link does not point at the printed port")
        status, _, err, _ = run([args.sim, "--link", link], 10)
        check(status == 1 and "served by a running qdm7-sim" in err,
              f"a second simulator on the same link: exit {status}, {err!r}")
        check(os.readlink(link) == sim.port, "a second simulator took the link over")
        client = Client(link)
        reply = client.read(0.2) or None
        check(reply is None, f"the device spoke unasked: {reply!r}")
        client.send(query(FLASH_BASE, 4))
        reply = client.read()
        check(valid(reply) and len(reply) == 15, f"bad contact reply {reply.hex()}")

        # Garbage, then half a request and a pause longer than the line's
        # idle time: the half request is dropped and a good query answered.
        client.send(bytes(range(256)) + program(FLASH_BASE, bytes(100))[:40])
        time.sleep(0.1)
        client.send(query(FLASH_BASE, 4))
        reply = client.read()
        check(valid(reply) and len(reply) == 15, f"no answer after a dropped partial request: {reply.hex()}")

        # One block at 921600 baud: 16395 characters take 196 ms on the wire.
        data = bytes((i * 7 + (i >> 8)) & 0xFF for i in range(BLOCK))
        began = time.monotonic()
        client.send(program(FLASH_BASE + BLOCK, data))
        reply = client.read(2.0)
        took = time.monotonic() - began
        check(valid(reply) and len(reply) == 11, f"bad program reply {reply.hex()}")
        wire = (BLOCK + 11 + 11) * WIRE_BITS / 921600
        check(took >= wire * 0.95, f"the block was acknowledged after {took * 1000:.0f} ms, "
              f"faster than the wire's {wire * 1000:.0f} ms")

        # Closing and reopening the port, as the updater does between runs.
        client.close()
        client = Client(link)
        client.send(query(FLASH_BASE + BLOCK, BLOCK))
        reply = client.read()
        check(valid(reply) and reply[11] * 256 + reply[12] == crc16(data),
              f"CRC reply {reply.hex()} does not carry the block's CRC {crc16(data):#x}")
        client.close()

        check(sim.stop() == 0, "qdm7-sim did not end cleanly on SIGTERM")
        check(not os.path.lexists(link), "the link is still there after the end")
        check(int(sim.stats.get("dropped_partial", 0)) >= 1, f"no partial request dropped: {sim.stats}")
        with open(f"{work}/flash.bin", "rb") as file:
            check(file.read() == b"\xff" * BLOCK + data, "the dump is not erased flash then the block")
        print(f"protocol, bad input and pacing fine ({took * 1000:.0f} ms for one block); stats {sim.stats}")


def case_sim_power_and_reset(args, work):
    """Silence until power-on; --exit-after-reset ends once the ack is read."""
    with Sim(args.sim, ["--baud", "0", "--power-on-after", "400", "--exit-after-reset", "--verbose"]) as sim:
        client = Client(sim.port)
        began = time.monotonic()
        client.send(query(FLASH_BASE, 4))
        check(client.read(0.25) == b"", "the device answered before power-on")
        while time.monotonic() - began < 0.45:
            time.sleep(0.01)
        client.send(query(FLASH_BASE, 4))
        check(valid(client.read()), "no answer after power-on")
        client.send(sealed(bytes([4, 0xF3, 3])))
        reply = client.read()
        check(reply == bytes.fromhex("04f30334f0"), f"bad reset acknowledgement {reply.hex()}")
        wait(sim.proc, 5, "qdm7-sim still running 5 s after the reset")
        check(sim.stop() == 0, "qdm7-sim ended with an error after the reset")
        client.close()
        logged = [line for line in sim.errors.splitlines() if "request" in line]
        check(any("query" in line for line in logged) and any("reset" in line for line in logged),
              f"--verbose did not log the requests: {sim.errors!r}")
        print("silent before power-on, answered after, ended after the reset")


def case_sim_device(args, work):
    """--device serves an existing terminal, exclusively; a second is refused."""
    with Pty(raw=False, keep_port=False) as line, Sim(args.sim, ["--device", line.path]) as sim:
        path, master = line.path, line.device
        check(sim.port == path, f"serving {sim.port}, not {path}")
        line.make_raw()
        os.write(master, query(FLASH_BASE, 4))
        reply = b""
        end = time.monotonic() + 2
        while len(reply) < 15 and time.monotonic() < end:
            if select.select([master], [], [], 0.1)[0]:
                reply += os.read(master, 100)
        check(valid(reply) and len(reply) == 15, f"bad contact reply on the device: {reply.hex()}")
        status, _, err, _ = run([args.sim, "--device", path], 10)
        check(status == 1 and "in use" in err, f"a second simulator on the same device: exit {status}, {err!r}")
        check(sim.stop() == 0, "qdm7-sim did not end cleanly")
        # Given back as found: not left open to root alone.
        probe = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        exclusive = struct.unpack("i", fcntl.ioctl(probe, TIOCGEXCL, bytes(4)))[0]
        os.close(probe)
        check(exclusive == 0, "qdm7-sim left the device in exclusive mode")
        status, _, err, _ = run([args.sim, "--device", f"{work}/no-such-tty"], 10)
        check(status == 1 and "cannot open" in err, f"missing device: {err!r}")
        # A dump that cannot be written is refused before serving, not after the update.
        status, out, err, _ = run([args.sim, "--dump", f"{work}/no-such-folder/flash.bin"], 5)
        check(status == 1 and "cannot write" in err and "READY" not in out,
              f"--dump into a missing folder: exit {status}, {err!r}")
        with open(f"{work}/precious", "w") as file:
            file.write("keep")
        status, _, err, _ = run([args.sim, "--link", f"{work}/precious"], 10)
        check(status == 1 and open(f"{work}/precious").read() == "keep",
              f"--link over a regular file: exit {status}, {err!r}")
        print("served an existing terminal and gave it back; a second user, a missing device and a file at "
              "--link refused")


CASES = {
    "update": case_update,
    "watch": case_watch,
    "terminal": case_terminal,
    "port-lost": case_port_lost,
    "reconnect": case_reconnect,
    "unprivileged-reopen": case_unprivileged_reopen,
    "wine": case_wine,
    "why": case_why,
    "resume": case_resume,
    "sim-protocol": case_sim_protocol,
    "sim-power-and-reset": case_sim_power_and_reset,
    "sim-device": case_sim_device,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("case", choices=sorted(CASES))
    parser.add_argument("--sim", required=True, help="the native qdm7-sim")
    parser.add_argument("--flash", help="qdm7-flash (or qdm7-flash.exe for the wine case)")
    parser.add_argument("--image", help="the raw built-in image, as staged by the build")
    parser.add_argument("--wine-run", help="scripts/wine-run.sh")
    args = parser.parse_args()
    if args.image:
        with open(args.image, "rb") as file:
            args.image_bytes = file.read()
    with tempfile.TemporaryDirectory(prefix=f"qdm7-e2e-{args.case}-") as work:
        try:
            CASES[args.case](args, work)
        except Failure as failure:
            print(f"FAIL: {failure}", file=sys.stderr)
            return 1
    print(f"PASS: {args.case}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
