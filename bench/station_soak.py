#!/usr/bin/env python3
"""A factory's week in minutes: one qdm7-flash --watch --report F
--skip-if-current over SLOTS ports, fed by simulated units that come and go,
stopped once with Ctrl-C and once with SIGKILL and started again on the same
report file; then every unit's record checked against what the unit was.

Each slot is a link in a folder that QDM7_PORT_GLOB names, served by a
qdm7-sim paced at 921600 baud. The tools carry a short image (--blocks,
built once into build/soak-N), so a unit takes a fraction of a second. Each
unit's kind is drawn from --seed and said in the run's log (soak.log in the
work folder, which is kept and named at the end):

  good         updated from erased flash: completed
  late         off for 1-8 contact queries (qdm7-sim --power-on-after-queries): completed
  power_cut    power and port gone halfway through a block, back on the same port
               with its flash 0.2-1 s later: completed
  pulled       the same, its cable put back 1-2 s later: completed
  moved        cut so, put back on the slot's other port: the first port's run ends
               in deadline, the unit on the other port is a unit of its own: completed
  never_back   cut so and never back: deadline
  erase        cut so, back with a flash that erases a 2-block sector on its first
               write (the resumed attempt fails its CRC): completed
  current      already holds the image: completed, 0 blocks written
  bad          a bit flipped in each block it programs: failed
  echo         a paced loopback: error, told as an echo

Checks (each a line of the table; exit 1 when one fails): every unit that
came has exactly one record, right for its kind, none twice, none torn but
the one line a kill tore; no false completion (each completed unit's flash,
from qdm7-sim --dump, is the image); after Ctrl-C no record cut and every
port free; after SIGKILL the torn last line skipped and the next run's
records on lines of their own; a unit in flight at a stop updated by the
next run; memory, descriptors and threads of the last run. Figures: units
per hour against the wire time of the same mix, and the time from a unit's
coming to its update's start.

  bench/station_soak.py                       # 1000 units, 16 slots (a few minutes)
  bench/station_soak.py --units 100 --seed 7  # the short form the test suite runs
"""
import argparse
import fcntl
import os
import random
import signal
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
from qdm7test import Failure, Sim, padded, reap, start  # noqa: E402
from station_common import parse_report, process_figures, short_image_tools, utc_seconds  # noqa: E402
from update_time_many import BITS_PER_CHARACTER, PROGRAM_REPLY, PROGRAM_REQUEST  # noqa: E402

QUERY_EXCHANGE, RESET_EXCHANGE = 13 + 15, 5 + 5
GAP_S = 0.5            # from a unit's going to the next one's coming on its slot
SECTOR = 2 * 16384     # the erase kind's flash sector
RSS_BOUND_KIB = 1024   # growth allowed from unit 50 of the last run to its end
TIOCGEXCL = 0x80045440
KINDS = [("good", 40), ("late", 10), ("power_cut", 8), ("pulled", 8), ("moved", 3), ("never_back", 3),
         ("erase", 6), ("current", 10), ("bad", 9), ("echo", 3)]
EXPECTED = {"good": "completed", "late": "completed", "power_cut": "completed", "pulled": "completed",
            "erase": "completed", "current": "completed", "moved_back": "completed", "moved": "deadline",
            "never_back": "deadline", "bad": "failed", "echo": "error"}


class Unit:
    """One unit's coming on one port, and the record it got."""

    def __init__(self, number, kind, port, came):
        self.number, self.kind, self.port, self.came = number, kind, port, came
        self.records = []
        self.run_at_coming = None  # which station run was up when it came
        self.gone_at_stop = False  # its port was away for good when a stop cut its run
        self.returning = False     # its port is away, and the feed brings it back
        self.dump_ok = None
        self.wire_s = 0.0
        self.feed_s = 0.0          # the feed's own waits on its account
        self.recorded = threading.Event()


class Soak:
    def __init__(self, args, sim_path, flash_path, image, work):
        self.args, self.sim_path, self.flash_path, self.work = args, sim_path, flash_path, work
        self.image = padded(open(image, "rb").read())
        self.blocks = len(self.image) // 16384
        self.char_s = BITS_PER_CHARACTER / args.baud
        self.folder = f"{work}/ports"
        os.mkdir(self.folder)
        with open(f"{work}/current.bin", "wb") as current:
            current.write(self.image)
        self.report = f"{work}/report.jsonl"
        self.lock = threading.Lock()
        self.log_file = open(f"{work}/soak.log", "w")
        self.units, self.at_port = [], {}  # every unit; the unit now on each port
        self.left = args.units
        self.records, self.torn, self.stray = [], [], []
        self.offset, self.pending = 0, b""
        self.station, self.run_number, self.runs = None, 0, []
        self.run_records = 0
        self.samples = {}
        self.stop_checks = []
        self.errors = []
        self.done = threading.Event()      # the feed has ended
        self.finished = threading.Event()  # the last station has ended
        self.tail_lock = threading.Lock()
        self.sample_at = 50 if args.units >= 500 else 20

    # --- the log -------------------------------------------------------------
    def say(self, text):
        with self.lock:
            self.log_file.write(f"{time.time():.3f} {text}\n")
            self.log_file.flush()

    # --- the station ---------------------------------------------------------
    def start_station(self):
        self.run_number += 1
        env = dict(os.environ, QDM7_PORT_GLOB=f"{self.folder}/s*[ab]")  # not the simulators' .lock files
        err = open(f"{self.work}/flash-{self.run_number}.err", "w")
        command = [self.flash_path, "--watch", "--report", self.report, "--skip-if-current",
                   "--deadline", str(self.args.deadline)]
        with self.lock:
            self.station = start(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err, env=env)
            self.run_records = 0
            self.runs.append({"number": self.run_number, "started": time.time()})
        self.say(f"station run {self.run_number} started, pid {self.station.pid}")

    def stop_station(self, how):
        """Stops the station with SIGINT or SIGKILL; returns its exit status."""
        proc = self.station
        proc.send_signal(how)
        try:
            status = proc.wait(10)
        except subprocess.TimeoutExpired:
            reap(proc)
            status = None
        # What the station wrote before it ended is still in the terminals'
        # buffers: a unit may yet take the half block that cuts its power.
        time.sleep(1.0)
        self.tail()
        with self.lock:
            for unit in self.units:
                # A unit whose port is away for good at the stop is cut: no run will take it again.
                if not unit.records and not unit.returning and not os.path.exists(unit.port):
                    unit.gone_at_stop = True
                    unit.recorded.set()
        self.say(f"{signal.Signals(how).name} to the station (run {self.run_number}): ended with {status}")
        return status

    # --- the records, as they come --------------------------------------------
    def tail(self):
        with self.tail_lock:
            self.tail_locked()

    def tail_locked(self):
        try:
            with open(self.report, "rb") as report:
                report.seek(self.offset)
                data = report.read()
        except FileNotFoundError:
            return
        self.offset += len(data)
        data = self.pending + data
        cut = data.rfind(b"\n") + 1
        self.pending = data[cut:]
        records, torn = parse_report(data[:cut])
        for number, text in torn:
            self.say(f"report: a torn line, skipped: {text[:100]!r}")
            self.torn.append(text)
        for record in records:
            self.take(record)

    def take(self, record):
        with self.lock:
            record["_run"] = self.run_number
            self.records.append(record)
            self.run_records += 1
            unit = self.at_port.get(record["port"])
            if unit is None or unit.records:
                self.stray.append(record)
            else:
                unit.records.append(record)
                unit.recorded.set()
            count = self.run_records
            final = self.run_number == 3
        self.say(f"record: {record['port']} {record['result']} blocks={record.get('blocks')} "
                 f"{record.get('error', '')}" + (f" (unit {unit.number}, {unit.kind})" if unit else " (no unit!)"))
        if final and count == self.sample_at:
            self.sample(f"after unit {self.sample_at} of the last run")

    def sample(self, when):
        try:
            self.samples[when] = process_figures(self.station.pid)
            self.say(f"station {when}: {self.samples[when]}")
        except OSError as error:
            self.errors.append(f"cannot read the station's figures {when}: {error}")

    # --- the units -----------------------------------------------------------
    def draw(self, number):
        rng = random.Random(self.args.seed * 1000003 + number)
        kind = rng.choices([k for k, _ in KINDS], [w for _, w in KINDS])[0]
        return kind, rng

    def take_number(self):
        with self.lock:
            if self.left == 0:
                return None
            self.left -= 1
            return self.args.units - self.left

    def come(self, number, kind, port, sim_args, detail):
        sim = Sim(self.sim_path, ["--baud", str(self.args.baud), "--link", port, *sim_args], ready_s=30)
        with self.lock:
            unit = Unit(number, kind, port, time.time())
            unit.run_at_coming = self.run_number
            self.units.append(unit)
            self.at_port[port] = unit
        self.say(f"unit {number} came on {port}: {kind} {detail}")
        return sim, unit

    def wait_record(self, unit):
        """Waits for the unit's record (or its cut at a stop); True when it came."""
        limit = time.monotonic() + self.args.deadline * 4 + 60
        while not unit.recorded.wait(0.05):
            if time.monotonic() > limit:
                self.errors.append(f"unit {unit.number} ({unit.kind}) on {unit.port}: no record in time")
                return False
        return bool(unit.records)

    def leave(self, unit, sim, dump):
        """The unit goes once its record is written, as the operator takes it
        away; its flash checked when its record says completed."""
        sim.stop()
        if unit.records and unit.records[0]["result"] == "completed":
            flash = open(dump, "rb").read()
            unit.dump_ok = flash[:len(self.image)] == self.image
            if not unit.dump_ok:
                self.say(f"unit {unit.number}: FALSE COMPLETION: its flash is not the image")
        if os.path.exists(dump):
            os.unlink(dump)
        with self.lock:
            if self.at_port.get(unit.port) is unit:
                del self.at_port[unit.port]

    def update_wire(self, blocks, queries):
        return ((PROGRAM_REQUEST + PROGRAM_REPLY) * blocks + QUERY_EXCHANGE * queries + RESET_EXCHANGE) * self.char_s

    def slot(self, n):
        names = [f"{self.folder}/s{n:02d}a", f"{self.folder}/s{n:02d}b"]
        which = 0
        verify_queries = 2 * self.blocks + 1  # --skip-if-current's check before writing
        while not self.done.is_set():
            number = self.take_number()
            if number is None:
                return
            kind, rng = self.draw(number)
            port = names[which]
            dump = f"{self.work}/unit-{number}.bin"
            full = self.update_wire(self.blocks, 2 + verify_queries)
            try:
                if kind in ("good", "late", "current", "bad", "echo"):
                    args, detail = ["--dump", dump], ""
                    if kind == "late":
                        count = rng.randint(1, 8)
                        args += ["--power-on-after-queries", str(count)]
                        detail = f"(off for {count} queries)"
                    elif kind == "current":
                        args += ["--flash-from", f"{self.work}/current.bin"]
                    elif kind == "bad":
                        args += ["--fault", "flip"]  # every block: bad also when updated again
                    elif kind == "echo":
                        args = ["--echo"]
                    sim, unit = self.come(number, kind, port, args, detail)
                    unit.wire_s = {"current": self.update_wire(0, 1 + verify_queries),
                                   "echo": 13 * 2 * self.char_s}.get(kind, full)  # told at its contact
                    self.wait_record(unit)
                    self.leave(unit, sim, dump)
                else:
                    self.cut_unit(number, kind, rng, names, which, dump, full)
                    if kind == "moved":
                        which = 1 - which
            except (Failure, OSError, subprocess.TimeoutExpired) as error:
                self.errors.append(f"slot {n}: {error}")
                return
            time.sleep(GAP_S)

    def cut_unit(self, number, kind, rng, names, which, dump, full):
        """A unit whose power and port go halfway through a block; back or not, as its kind says."""
        cut_at = rng.randint(2 if kind == "erase" else 1, self.blocks)
        pause = {"power_cut": rng.uniform(0.3, 1.0), "pulled": rng.uniform(1.0, 2.0),
                 "erase": rng.uniform(0.3, 1.0), "moved": rng.uniform(0.3, 1.0)}.get(kind, 0)
        port = names[which]
        detail = f"(cut in block {cut_at}" + (f", back after {pause:.1f} s" if kind != "never_back" else
                                              ", never back") + (" on the other port)" if kind == "moved" else ")")
        sim, unit = self.come(number, kind, port, ["--power-off-in-block", str(cut_at), "--dump", dump], detail)
        unit.returning = kind in ("power_cut", "pulled", "erase")
        unit.wire_s = self.update_wire(cut_at - 0.5, 1 + (2 * self.blocks + 1))
        sim.proc.wait(self.args.deadline * 4 + 60)  # the power goes
        sim.stop()
        if sim.stats.get("power_lost") != "1":
            self.errors.append(f"unit {number}: its simulator ended without its power cut: {sim.stats}")
        if kind in ("never_back", "moved"):
            unit.feed_s = self.args.deadline
            back_port = names[1 - which] if kind == "moved" else None
            if back_port:
                time.sleep(pause)
                os.replace(dump, f"{dump}.kept")
                back_sim, back = self.come(number, "moved_back", back_port,
                                           ["--flash-from", f"{dump}.kept", "--dump", dump],
                                           f"(unit {number} put back on {back_port})")
                back.wire_s = self.update_wire(self.blocks - cut_at + 1, 3 + 2 * self.blocks)
                self.wait_record(back)
                self.leave(back, back_sim, dump)
                os.unlink(f"{dump}.kept")
            self.wait_record(unit)
            self.leave(unit, sim, dump)
            return
        time.sleep(pause)
        unit.feed_s = pause
        os.replace(dump, f"{dump}.kept")
        args = ["--flash-from", f"{dump}.kept", "--dump", dump]
        if kind == "erase":
            args += ["--erase-sector-on-first-write", str(SECTOR)]
        back_sim = Sim(self.sim_path, ["--baud", str(self.args.baud), "--link", port, *args], ready_s=30)
        self.say(f"unit {number} back on {port}")
        unit.wire_s += self.update_wire(self.blocks - cut_at + 1, 3) + (full if kind == "erase" else 0)
        self.wait_record(unit)
        self.leave(unit, back_sim, dump)
        os.unlink(f"{dump}.kept")


def ports_free(folder):
    """Each port in the folder: (path, held) where held says its exclusive
    flag is still set or another process holds its lock."""
    found = []
    for name in sorted(os.listdir(folder)):
        path = f"{folder}/{name}"
        if name.endswith(".lock"):
            continue
        try:
            fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        except OSError:
            continue  # gone meanwhile
        try:
            held = []
            flag = bytearray(4)
            fcntl.ioctl(fd, TIOCGEXCL, flag)
            if int.from_bytes(flag, sys.byteorder):
                held.append("exclusive flag set")
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                fcntl.flock(fd, fcntl.LOCK_UN)
            except OSError:
                held.append("locked")
            found.append((path, held))
        finally:
            os.close(fd)
    return found


def controller(soak, stops):
    """Sends the stops when their unit has come, and starts the station again."""
    for at, how in stops:
        while len(soak.units) < at and not soak.done.is_set():
            time.sleep(0.05)
        if soak.done.is_set():
            return
        time.sleep(random.Random(soak.args.seed + at).uniform(0, 1.0))
        status = soak.stop_station(how)
        with soak.lock:  # those the next run is to update again
            in_flight = [u for u in soak.at_port.values() if not u.records and os.path.exists(u.port)]
        soak.say(f"{len(in_flight)} units left on their ports without a record by the stop")
        with open(soak.report, "rb") as report:
            data = report.read()
        check = {"how": signal.Signals(how).name, "status": status, "in_flight": in_flight}
        if how == signal.SIGINT:
            check["whole"] = data.endswith(b"\n") or not data
            check["held"] = [(p, h) for p, h in ports_free(soak.folder) if h]
            soak.say(f"after Ctrl-C: exit {status}, report ends whole: {check['whole']}, ports held: {check['held']}")
        else:
            if data and not data.endswith(b"\n"):
                soak.say("after SIGKILL: the report's last line is torn by the kill")
            else:
                # A kill in the middle of a write leaves the start of a line: made here, as it would be.
                fragment = b'{"port": "' + soak.folder.encode() + b'/s00a", "result": "comp'
                with open(soak.report, "ab") as report:
                    report.write(fragment)
                soak.say("after SIGKILL: the start of a record appended, as a kill in its write leaves it")
            check["held"] = [(p, h) for p, h in ports_free(soak.folder) if h]
            soak.say(f"after SIGKILL: ports still marked held: {check['held']} (the flag outlives a killed holder)")
        soak.stop_checks.append(check)
        # The operator takes away the units that ended before starting it again:
        # one left on its port would be a new unit to the next run.
        limit = time.monotonic() + 10
        while time.monotonic() < limit:
            with soak.lock:
                if not any(u.records for u in soak.at_port.values()):
                    break
            time.sleep(0.05)
        time.sleep(0.5)
        soak.start_station()
    # A child started here ends with the thread that started it (die_with_parent): stay until the end.
    soak.finished.wait()


def run(args):
    sim_path, flash_path, image = short_image_tools(args.blocks)
    work = tempfile.mkdtemp(prefix="qdm7-soak-", dir=os.environ.get("TMPDIR"))
    soak = Soak(args, sim_path, flash_path, image, work)
    rng = random.Random(args.seed)
    stops = [(max(2, int(args.units * rng.uniform(0.2, 0.35))), signal.SIGINT),
             (max(3, int(args.units * rng.uniform(0.45, 0.6))), signal.SIGKILL)]
    load_before = os.getloadavg()
    soak.say(f"{args.units} units over {args.slots} slots, {soak.blocks} blocks at {args.baud} baud, seed "
             f"{args.seed}; Ctrl-C at unit {stops[0][0]}, SIGKILL at unit {stops[1][0]}")
    soak.start_station()
    time.sleep(1.0)
    soak.sample("idle at the start")
    began = time.time()
    threads = [threading.Thread(target=soak.slot, args=(n,), daemon=True) for n in range(args.slots)]
    control = threading.Thread(target=controller, args=(soak, stops), daemon=True)
    for thread in [*threads, control]:
        thread.start()
    limit = time.monotonic() + 120 + args.units * 3
    while any(t.is_alive() for t in threads) and time.monotonic() < limit:
        soak.tail()
        time.sleep(0.05)
    if any(t.is_alive() for t in threads):
        soak.errors.append("the feed did not end in time")
    soak.tail()
    ended = time.time()
    soak.sample("after the last unit")
    time.sleep(1.5)
    soak.sample("idle at the end")
    soak.done.set()
    soak.station.send_signal(signal.SIGINT)
    try:
        final_status = soak.station.wait(10)
    except subprocess.TimeoutExpired:
        reap(soak.station)
        final_status = None
    soak.finished.set()
    control.join(30)
    soak.tail()
    if soak.pending:
        soak.say(f"report: a torn last line, skipped: {soak.pending[:100]!r}")
        soak.torn.append(soak.pending.decode(errors="replace"))
    return soak, began, ended, final_status, load_before, stops


def report_table(soak, began, ended, final_status, load_before, args):
    rows, failed = [], []

    def row(name, ok, figure):
        rows.append((name, "ok" if ok else "FAIL", figure))
        if not ok:
            failed.append(name)

    units = soak.units
    twice = [u for u in units if len(u.records) > 1]
    missing = [u for u in units if not u.records and not u.gone_at_stop]
    wrong = []
    for u in units:
        for record in u.records:
            expected = EXPECTED[u.kind]
            good = record["result"] == expected
            if u.kind == "current":
                good = good and record.get("blocks") == 0
            if good and u.kind == "echo":
                good = "sends back" in record.get("error", "")
            if not good:
                wrong.append((u, record))
    by_kind = {}
    for u in units:
        by_kind.setdefault(u.kind, []).append(u)
    row("units came / records", len(soak.stray) == 0 and not missing and not twice,
        f"{len(units)} units, {len(soak.records)} records, {len(missing)} without one, {len(twice)} twice, "
        f"{len(soak.stray)} with no unit, {sum(u.gone_at_stop for u in units)} cut by a stop with the port away")
    for kind in sorted(by_kind):
        group = by_kind[kind]
        results = {}
        for u in group:
            for record in u.records:
                results[record["result"]] = results.get(record["result"], 0) + 1
        bad = [r for u, r in wrong if u.kind == kind]
        row(f"  {kind} -> {EXPECTED[kind]}", not bad,
            f"{len(group)} units: " + ", ".join(f"{n} {r}" for r, n in sorted(results.items()))
            + (f"; e.g. {bad[0].get('result')}: {bad[0].get('error', '')[:70]}" if bad else ""))
    not_good = [u for u in units if EXPECTED[u.kind] != "completed"
                and any(r["result"] == "completed" for r in u.records)]
    false = [u for u in units if u.dump_ok is False]
    completed = sum(1 for u in units for r in u.records if r["result"] == "completed")
    row("false completions", not false and not not_good,
        f"{len(false)} of {completed} completed units' flash differs from the image; "
        f"{len(not_good)} bad units completed")
    torn_ok = len(soak.torn) <= 1
    row("torn lines", torn_ok, f"{len(soak.torn)} (the kill's one said and skipped)"
        if torn_ok else f"{len(soak.torn)}: {soak.torn[:3]}")
    for check in soak.stop_checks:
        flight = check["in_flight"]
        # One the next run took may lose its port for good and be cut by the
        # stop after: taken again all the same.
        again = [u for u in flight if u.records or u.gone_at_stop]
        if check["how"] == "SIGINT":
            row("Ctrl-C: exit 130, no record cut, ports free",
                check["status"] == 130 and check["whole"] and not check["held"],
                f"exit {check['status']}, last line whole: {check['whole']}, ports held: {len(check['held'])}")
        else:
            # The torn line stays a line of its own: the next record must not be glued to it.
            joined = [t for t in soak.torn if t.count("{") > 1]
            row("SIGKILL: torn line skipped, next run on a new line",
                check["status"] == -9 and not joined and len(soak.torn) == 1,
                f"exit {check['status']}, torn lines {len(soak.torn)}, "
                f"{'a record glued to the torn line' if joined else 'next record on its own line'}")
        row(f"  {check['how']}: units in flight updated again", len(again) == len(flight),
            f"{len(again)} of {len(flight)} taken again by the next run")
    span = ended - began
    rate = len(units) / span * 3600
    wire = sum(u.wire_s for u in units)
    fed = sum(u.wire_s + u.feed_s + GAP_S for u in units)
    ideal = args.slots * 3600 * len(units) / wire
    ideal_fed = args.slots * 3600 * len(units) / fed
    row("units per hour", True, f"{rate:.0f}/h in {span:.0f} s; wire time of the mix: {ideal:.0f}/h "
        f"({rate / ideal:.2f}); with the feed's own waits: {ideal_fed:.0f}/h ({rate / ideal_fed:.2f})")
    mid, last, start_idle, end_idle = (soak.samples.get(k) for k in (
        f"after unit {soak.sample_at} of the last run", "after the last unit", "idle at the start", "idle at the end"))
    if mid and last:
        growth = last["rss_kib"] - mid["rss_kib"]
        row(f"memory after unit {soak.sample_at} / last (bound +{RSS_BOUND_KIB} KiB)", growth <= RSS_BOUND_KIB,
            f"{mid['rss_kib'] / 1024:.1f} MiB -> {last['rss_kib'] / 1024:.1f} MiB ({growth:+d} KiB); "
            f"fds {mid['fds']} -> {last['fds']}")
    else:
        row(f"memory after unit {soak.sample_at} / last", False, f"not sampled: {soak.samples}")
    if start_idle and end_idle:
        row("idle: descriptors and threads as at the start",
            end_idle["fds"] == start_idle["fds"] and end_idle["threads"] == start_idle["threads"],
            f"fds {start_idle['fds']} -> {end_idle['fds']}, threads {start_idle['threads']} -> "
            f"{end_idle['threads']}, RSS {start_idle['rss_kib'] / 1024:.1f} -> {end_idle['rss_kib'] / 1024:.1f} MiB")
    waits = []
    for u in units:
        for r in u.records:
            if u.kind != "moved_back" and u.run_at_coming == r["_run"]:
                waits.append(utc_seconds(r["started"]) - u.came)
    if waits:
        row("coming to update start", True, f"median {statistics.median(waits):.2f} s, worst {max(waits):.2f} s "
            f"({len(waits)} units taken by the run they came in)")
    row("final Ctrl-C", final_status == 130, f"exit {final_status}")
    row("feed", not soak.errors, "; ".join(soak.errors[:3]) or "no errors")
    width = max(len(r[0]) for r in rows)
    for name, verdict, figure in rows:
        print(f"{name:<{width}}  {verdict:<4}  {figure}")
    print(f"load average before: {' '.join(f'{v:.2f}' for v in load_before)}, after: "
          + " ".join(f"{v:.2f}" for v in os.getloadavg()))
    return failed


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--units", type=int, default=1000, help="units to feed in all (default 1000)")
    parser.add_argument("--slots", type=int, default=16, help="ports of the station (default 16)")
    parser.add_argument("--blocks", type=int, default=3, choices=range(1, 5), help="blocks of the image (1-4)")
    parser.add_argument("--seed", type=int, default=1, help="draws the units' kinds and the stops (default 1)")
    parser.add_argument("--baud", type=int, default=921600, help="wire rate of the simulators (default 921600)")
    parser.add_argument("--deadline", type=float, default=10, help="the station's --deadline per unit (default 10)")
    args = parser.parse_args()
    if args.units < 10 or args.slots < 1:
        parser.error("at least 10 units and 1 slot")
    soak, began, ended, final_status, load_before, stops = run(args)
    print(f"station soak: {args.units} units, {args.slots} slots, {soak.blocks} blocks at {args.baud} baud, "
          f"seed {args.seed}; Ctrl-C at unit {stops[0][0]}, SIGKILL at unit {stops[1][0]}")
    failed = report_table(soak, began, ended, final_status, load_before, args)
    print(f"the run's log, the station's standard error and the report: {soak.work}")
    if failed:
        print(f"station_soak: {len(failed)} checks failed: {', '.join(failed)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
