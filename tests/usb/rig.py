#!/usr/bin/env python3
"""A real USB serial adapter without hardware.

A QEMU guest (TCG) boots the installed kernel with an initramfs made here:
busybox, the USB serial modules, the qdm7-flash to test and the libraries it
needs. QEMU's emulated FTDI adapter (usb-serial on qemu-xhci) is driven in
the guest by the real ftdi_sio driver as /dev/ttyUSB0; its other end is the
host pseudo-terminal that qdm7-sim serves. The host drives the guest through
a command channel (the guest's ttyS1) and reads results from its console
(ttyS0), and unplugs and replugs the adapter through QEMU's QMP monitor.

    with Rig(flash="build/release/tools/qdm7-flash/qdm7-flash",
             sim="build/native/tools/qdm7-sim/qdm7-sim") as rig:
        rig.wait_in_guest("[ -e /dev/ttyUSB0 ]", 10)
        result = rig.run("qdm7-flash --port /dev/ttyUSB0", timeout=300)
        result.status, result.out, result.err       # exit, stdout, stderr

    running = rig.start_command("qdm7-flash --port /dev/ttyUSB0")
    rig.wait_blocks(10, 60)      # the simulator has answered 10 blocks
    rig.wait_queries(5, 60)      # ... has taken 5 queries (contact or CRC)
    rig.unplug()                 # returns once QEMU has removed the adapter
    rig.replug()                 # same line, same serial number
    running.signal("INT")        # as Ctrl-C would, to its process group
    running.wait(60)             # its Result (running.interrupt(60): both,
                                 # unless it has ended by itself)
    rig.usb_identity()           # ("0403", "6001", "QDM7-0001") of ttyUSB0
    rig.sim.stop(); rig.sim.stats; rig.sim.dump_path

Run alone: python3 tests/usb/rig.py --flash F --sim S [-- GUEST COMMAND]
boots the guest, runs the command (default: the port's USB identity) and
prints its results.
"""
import argparse
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, str(HERE.parent / "support"))
import guest  # noqa: E402
import qdm7test  # noqa: E402
from qdm7test import Failure, Scoped, check, reap, start  # noqa: E402

# run_rig's status when QEMU itself was killed by a signal (a crash of the
# emulator, seen once on a device_del amid traffic), not a failure of ours.
EMULATOR_CRASHED = 75


class EmulatorCrash(Failure):
    pass

# The USB serial stack, loaded in this order (with anything modules.dep adds).
MODULES = ["usb-common", "usbcore", "xhci-hcd", "xhci-pci", "usbserial", "ftdi_sio"]
ADAPTER_ID = "qdm7usb"
LINE_ID = "qdm7line"
ADAPTER_SERIAL = "QDM7-0001"
# The guest's lines on its console (see guest/run).
MARKER = re.compile(r"@@rig (\d+) (out|err|exit) ?(.*)$")
READY = re.compile(r"@@rig ready (\S+)")
FATAL = re.compile(r"@@rig fatal .*")
# qdm7-sim --verbose logs one line per reply; sub-command 1 answers a block.
BLOCK_REPLY = re.compile(r"reply of \d+ bytes \(sub-command 0x1\)")


class Interrupted(Exception):
    """SIGTERM, raised in the main thread so that cleanup runs."""


def raise_on_sigterm():
    """Makes SIGTERM end the main thread as Ctrl-C does, so that cleanup runs."""
    def interrupt(signum, frame):
        raise Interrupted(f"signal {signum}")
    signal.signal(signal.SIGTERM, interrupt)


# --- Kernel and initramfs -----------------------------------------------------------------

def build_initramfs(path, module_dir, programs):
    """busybox, the USB serial modules, the guest's init and agent, and
    programs (installed in /bin) with every library they load."""
    files = {"init": ((HERE / "guest" / "init").read_bytes(), 0o755)}
    for script in ("agent", "run"):
        files[f"etc/rig/{script}"] = ((HERE / "guest" / script).read_bytes(), 0o644)
    try:
        guest.build_initramfs(path, module_dir, MODULES, files, "etc/rig/modules", programs)
    except guest.GuestError as error:
        raise Failure(str(error))


# --- The processes ---------------------------------------------------------------------------

def _sweep_stale_work():
    """Removes what rigs killed outright (SIGKILL, a CTest time-out) left:
    folders whose owner process is gone."""
    for folder in Path(tempfile.gettempdir()).glob("qdm7-usb-*-*"):
        owner = folder.name.split("-")[2]
        if owner.isdigit() and not Path(f"/proc/{owner}").exists():
            shutil.rmtree(folder, ignore_errors=True)


class Sim(qdm7test.Sim):
    """qdm7-sim on a new pty, in a session of its own, its log in a file
    that wait_blocks reads."""

    def __init__(self, path, args, work):
        self.log_path = work / "sim.log"
        self.dump_path = work / "flash.bin"
        self.stopping = False
        try:
            with open(self.log_path, "wb") as log:
                super().__init__(path, ["--verbose", "--dump", str(self.dump_path), *args], stderr=log,
                                 new_session=True)
        except Failure as failure:
            raise Failure(f"{failure}\n{self.log()[-2000:]}")

    def log(self):
        return self.log_path.read_text(errors="replace")

    def blocks(self):
        """Program requests answered so far."""
        return len(BLOCK_REPLY.findall(self.log()))

    def queries(self):
        """Query requests (contact or CRC) taken so far."""
        return self.log().count("request: query")

    def dropped_requests(self):
        """Partly received requests dropped so far, after 20 ms of silence."""
        return self.log().count("partial request dropped")

    def stop(self):
        """SIGTERM; returns the exit status, with the STATS line parsed."""
        self.stopping = True
        return super().stop()


class Result:
    """A guest command's exit status, standard output and standard error."""

    def __init__(self, status, out, err):
        self.status, self.out, self.err = status, out, err

    def __repr__(self):
        return f"exit {self.status}\n--- stdout\n{self.out}\n--- stderr\n{self.err}"


class Command:
    """A command running in the guest (from Rig.start)."""

    def __init__(self, rig, ident, text):
        self.rig, self.ident, self.text = rig, ident, text
        self.result = None

    def wait(self, timeout):
        """Its Result once it has ended; a Failure after timeout seconds."""
        if self.result is None:
            self.rig._wait(lambda: self.ident in self.rig._exits, timeout, f"guest command {self.text!r} to end")
            with self.rig._lock:
                lines = self.rig._lines.pop(self.ident, {})
                status = self.rig._exits.pop(self.ident)
            self.result = Result(status, "\n".join(lines.get("out", [])), "\n".join(lines.get("err", [])))
        return self.result

    def ended(self):
        with self.rig._lock:
            return self.result is not None or self.ident in self.rig._exits

    def signal(self, name="INT"):
        """Sends signal name to the command and whatever it started, as
        Ctrl-C does to a terminal's foreground; False if it had ended."""
        pid = f"/tmp/rig/{self.ident}.pid"
        result = self.rig.run(f"i=0; until [ -f {pid} ]; do i=$((i+1)); [ $i -ge 100 ] && exit 1; sleep 0.1; done; "
                              f"kill -{name} -$(cat {pid})", 30)
        if result.status == 0:
            return True
        # No such process group: it has just ended, and its results are on their way.
        try:
            self.wait(10)
        except Failure:
            raise Failure(f"could not signal {self.text!r} in the guest: {result}")
        return False

    def interrupt(self, timeout):
        """Ends the command with SIGINT unless it has ended; its Result."""
        if not self.ended():
            self.signal("INT")
        return self.wait(timeout)


class Rig(Scoped):
    """The guest with the adapter plugged in, qdm7-sim at its other end.

    flash: the qdm7-flash to test (installed as /bin/qdm7-flash in the guest);
    sim: the host's qdm7-sim; sim_args: its options (--baud 0 for speed).
    Every wait takes a timeout and fails the test when it passes.
    """

    def __init__(self, flash, sim, sim_args=("--baud", "0"), boot_timeout=120, log=print):
        self.flash, self.sim_path, self.sim_args = flash, sim, list(sim_args)
        self.boot_timeout, self.say = boot_timeout, log
        self.work = None
        self.sim = self.qemu = self._qmp = self._channel = None
        self.console = []             # every console line, for the failure report
        self._lines, self._exits = {}, {}
        self._events, self._replies = [], []
        self._lock = threading.Condition()
        self._next = 0
        self._qemu_ended = False
        self._kernel = self._fatal = None
        self.boot_seconds = None

    # Start and stop

    def __exit__(self, kind, value, trace):
        if kind is not None and not issubclass(kind, (KeyboardInterrupt, Interrupted)):
            self.say(self.report())
        return super().__exit__(kind, value, trace)

    def start(self):
        for name, path in (("qdm7-flash", self.flash), ("qdm7-sim", self.sim_path)):
            check(os.path.isfile(path) and os.access(path, os.X_OK), f"no {name} program at {path}")
        _sweep_stale_work()
        self.work = Path(tempfile.mkdtemp(prefix=f"qdm7-usb-{os.getpid()}-"))
        for sock in ("qmp.sock", "cmd.sock"):
            check(len(str(self.work / sock)) < 100, f"temporary folder {self.work} too deep for a socket path")
        initramfs = self.work / "initramfs.cpio"
        try:
            kernel, module_dir = guest.find_kernel()
            build_initramfs(initramfs, module_dir, [self.flash])
            qemu = guest.qemu_command(kernel, initramfs, memory_mb=256, cpus=1, append="console=ttyS0 panic=-1")
        except guest.GuestError as error:
            raise Failure(str(error))
        self.sim = Sim(self.sim_path, self.sim_args, self.work)
        started = time.monotonic()
        # A session of its own: a Ctrl-C on the terminal reaches only this
        # script, which then stops its children in order.
        self.qemu = start([
            *qemu,
            "-serial", "stdio",
            "-chardev", f"socket,id=rigcmd,path={self.work}/cmd.sock,server=on,wait=off",
            "-serial", "chardev:rigcmd",
            "-qmp", f"unix:{self.work}/qmp.sock,server=on,wait=off",
            "-device", "qemu-xhci,id=xhci",
            "-chardev", f"serial,id={LINE_ID},path={self.sim.port}",
            "-device", self._adapter_options(),
        ], start_new_session=True, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        threading.Thread(target=self._read_console, daemon=True).start()
        self._qmp = self._connect("qmp.sock")
        threading.Thread(target=self._read_qmp, daemon=True).start()
        check("QMP" in self._qmp_reply("the greeting", 10), "QEMU's monitor sent no greeting")
        self.qmp("qmp_capabilities")
        self._channel = self._connect("cmd.sock")
        self._wait(lambda: self._kernel, self.boot_timeout, "the guest to come up")
        self.boot_seconds = time.monotonic() - started
        self.say(f"rig: guest up in {self.boot_seconds:.1f} s (kernel {self._kernel})")

    def close(self):
        """Ends QEMU and the simulator and removes the temporary folder; safe to repeat."""
        # A second Ctrl-C must not cut the cleanup short (signals reach the main thread only).
        held = (signal.SIGINT, signal.SIGTERM) if threading.current_thread() is threading.main_thread() else ()
        previous = [signal.signal(number, signal.SIG_IGN) for number in held]
        try:
            if self.qemu and self.qemu.poll() is None:
                if self._qmp:
                    try:
                        self.qmp("quit")
                    except OSError:
                        pass
                reap(self.qemu, grace=5)
            for sock in (self._qmp, self._channel):
                if sock:
                    sock.close()
            if self.sim:
                self.sim.kill()
            if self.work:
                shutil.rmtree(self.work, ignore_errors=True)
        finally:
            for number, handler in zip(held, previous):
                signal.signal(number, handler)

    def report(self):
        """For a failure: the console's last lines, and the simulator's log
        without its routine reply lines, then its last lines."""
        console = "\n".join(self.console[-60:])
        sim = self.sim.log().splitlines() if self.sim and self.sim.log_path.exists() else []
        unusual = [line for line in sim if " reply of " not in line]
        return (f"--- guest console (last lines)\n{console}\n"
                f"--- qdm7-sim log, all but the replies\n" + "\n".join(unusual[-40:]) + "\n"
                f"--- qdm7-sim log (last lines)\n" + "\n".join(sim[-12:]))

    # Guest commands

    def start_command(self, text):
        """Starts a shell command in the guest (in /tmp, no standard input)."""
        check("\n" not in text, "a guest command is one line")
        with self._lock:
            self._next += 1
            ident = str(self._next)
        self._channel.sendall(f"{ident} {text}\n".encode())
        return Command(self, ident, text)

    def run(self, text, timeout):
        """Runs a shell command in the guest to its end; returns its Result."""
        return self.start_command(text).wait(timeout)

    def wait_in_guest(self, condition, timeout):
        """Waits until a shell condition holds in the guest, polled every 0.1 s."""
        ticks = int(timeout * 10)
        result = self.run(f"i=0; until {condition}; do i=$((i+1)); [ $i -ge {ticks} ] && exit 1; "
                          f"sleep 0.1; done", timeout + 30)
        check(result.status == 0, f"in the guest, {condition!r} did not hold within {timeout} s")

    def usb_identity(self, tty="ttyUSB0"):
        """(idVendor, idProduct, serial) of the USB device behind a guest tty."""
        result = self.run(f"d=$(readlink -f /sys/class/tty/{tty}/device/../..) && "
                          "cat $d/idVendor $d/idProduct $d/serial", 30)
        check(result.status == 0, f"no USB identity for {tty} in the guest's sysfs: {result}")
        return tuple(result.out.split())

    # The adapter

    def _adapter_options(self):
        return f"usb-serial,id={ADAPTER_ID},chardev={LINE_ID},serial={ADAPTER_SERIAL}"

    def unplug(self, device=ADAPTER_ID, timeout=10):
        """Pulls the adapter (or another device plugged by its id) out;
        returns once QEMU has removed it."""
        with self._lock:
            self._events.clear()
        self.qmp("device_del", id=device)
        self._wait(lambda: any(e.get("event") == "DEVICE_DELETED" and e.get("data", {}).get("device") == device
                               for e in self._events), timeout, f"QEMU to remove {device}")

    def has_device(self, device):
        """Whether a device of that id is plugged in."""
        return any(entry.get("name") == device for entry in self.qmp("qom-list", path="/machine/peripheral"))

    def replug(self):
        """Plugs the adapter back in, on the same simulator line and serial number."""
        self.qmp("device_add", driver="usb-serial", id=ADAPTER_ID, chardev=LINE_ID, serial=ADAPTER_SERIAL)

    def wait_blocks(self, count, timeout):
        """Waits until the simulator has answered count program requests."""
        self._wait(lambda: self.sim.blocks() >= count, timeout,
                   lambda: f"the simulator to answer {count} program requests (it answered {self.sim.blocks()})",
                   poll=0.05)

    def wait_queries(self, count, timeout):
        """Waits until the simulator has taken count queries (contact or CRC)."""
        self._wait(lambda: self.sim.queries() >= count, timeout,
                   lambda: f"the simulator to take {count} queries (it took {self.sim.queries()})", poll=0.05)

    # QMP, the console and the sockets

    def qmp(self, command, **arguments):
        """Runs a QMP command; its return value, or a Failure with QEMU's error."""
        message = {"execute": command}
        if arguments:
            message["arguments"] = arguments
        self._qmp.sendall(json.dumps(message).encode() + b"\n")
        if command == "quit":
            return None
        reply = self._qmp_reply(command, 10)
        check("error" not in reply, f"QEMU refused {command}: {reply.get('error')}")
        return reply.get("return")

    def _qmp_reply(self, command, timeout):
        self._wait(lambda: self._replies, timeout, f"QEMU's monitor to answer {command}")
        with self._lock:
            return self._replies.pop(0)

    def _read_qmp(self):
        # Replies come in the order of the commands; events come at any time.
        try:
            for line in self._qmp.makefile("rb"):
                message = json.loads(line)
                with self._lock:
                    (self._events if "event" in message else self._replies).append(message)
                    self._lock.notify_all()
        except OSError:
            pass  # QEMU ended or the rig closed the socket

    def _connect(self, name):
        path = str(self.work / name)
        deadline = time.monotonic() + 30
        while True:
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                sock.connect(path)
                return sock
            except (FileNotFoundError, ConnectionRefusedError):
                sock.close()
                if self.qemu.poll() is not None:
                    raise Failure(f"QEMU ended at start (status {self.qemu.returncode}):\n{self.report()}")
                if time.monotonic() > deadline:
                    raise Failure(f"QEMU opened no {name} within 30 s")
                time.sleep(0.05)

    def _read_console(self):
        for raw in iter(self.qemu.stdout.readline, b""):
            line = raw.decode(errors="replace").rstrip("\r\n")
            match, ready, fatal = MARKER.search(line), READY.search(line), FATAL.search(line)
            with self._lock:
                self.console.append(line)
                if match:
                    ident, kind, text = match.groups()
                    if kind == "exit":
                        self._exits[ident] = int(text)
                    else:
                        self._lines.setdefault(ident, {}).setdefault(kind, []).append(text)
                elif ready:
                    self._kernel = ready.group(1)
                elif fatal and not self._fatal:
                    self._fatal = fatal.group(0)
                self._lock.notify_all()
        with self._lock:
            self._qemu_ended = True
            self._lock.notify_all()

    def _wait(self, ready, timeout, waiting_for, poll=0.5):
        """Waits until ready() holds; a Failure after timeout seconds, or as
        soon as the guest, QEMU or the simulator fails. waiting_for (a text,
        or a function giving one) says what for."""
        deadline = time.monotonic() + timeout
        what = waiting_for if callable(waiting_for) else lambda: waiting_for
        with self._lock:
            while not ready():
                if self._fatal:
                    raise Failure(f"the guest failed ({self._fatal}) while waiting for {what()}")
                if self._qemu_ended:
                    # Its status tells a crash (a negative signal number) from a guest that halted.
                    self._lock.release()
                    try:
                        status = self.qemu.wait(5)
                    except subprocess.TimeoutExpired:
                        status = "still running"
                    finally:
                        self._lock.acquire()
                    crashed = EmulatorCrash if isinstance(status, int) and status < 0 else Failure
                    raise crashed(f"QEMU ended (status {status}) while waiting for {what()}")
                if self.sim and not self.sim.stopping and self.sim.proc.poll() is not None:
                    raise Failure(f"qdm7-sim ended with status {self.sim.proc.returncode} while waiting for {what()}")
                left = deadline - time.monotonic()
                if left <= 0:
                    raise Failure(f"waited {timeout:g} s for {what()}")
                self._lock.wait(min(left, poll))


def run_rig(flash, sim, body):
    """Boots the rig, runs body(rig) and ends the rig; an exit status for a
    script: body's, 1 on a Failure, 130 on Ctrl-C or SIGTERM."""
    raise_on_sigterm()
    try:
        with Rig(flash, sim) as rig:
            return body(rig)
    except Failure as failure:
        print(f"FAIL: {failure}", file=sys.stderr)
        return EMULATOR_CRASHED if isinstance(failure, EmulatorCrash) else 1
    except (KeyboardInterrupt, Interrupted):
        print("interrupted; QEMU and qdm7-sim stopped", file=sys.stderr)
        return 130


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--flash", required=True, help="the qdm7-flash to install in the guest")
    parser.add_argument("--sim", required=True, help="the host's qdm7-sim")
    parser.add_argument("--timeout", type=float, default=600, help="seconds the command may take (600)")
    parser.add_argument("command", nargs=argparse.REMAINDER, help="a shell command for the guest")
    args = parser.parse_args()
    command = " ".join(args.command[1:] if args.command[:1] == ["--"] else args.command)

    def body(rig):
        rig.wait_in_guest("[ -e /dev/ttyUSB0 ]", 30)
        if not command:
            print("/dev/ttyUSB0: %s:%s serial %s" % rig.usb_identity())
            return 0
        result = rig.run(command, args.timeout)
        print(result)
        return result.status

    return run_rig(args.flash, args.sim, body)


if __name__ == "__main__":
    sys.exit(main())
