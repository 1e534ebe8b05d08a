"""What the Python tests and the bench scripts share: the virtual QDM7 as a
child process (Sim), pseudo-terminals (Pty) and the small stand-in devices
the shell tests serve on them (peers), the CRC and padding of images, the
updater's trace lines, child processes with a time limit, and the suite's
Wine.

Everything started here ends with the script that started it, also when the
script is killed outright, and a Sim or Pty is always closed when its block
ends.

    python3 qdm7test.py peer echo|ack-then-stall|ack-then-gone

serves a peer on a new pseudo-terminal (see peer) for a shell script.
"""
import ctypes
import os
import pty
import re
import select
import signal
import subprocess
import sys
import time
import tty

sys.dont_write_bytecode = True  # nothing written into the source tree, also when run as a script
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "resources"))
# CRC-16/MODBUS as the build computes it for the version resource: Python,
# apart from the programs' own.
from image_facts import crc16_modbus as crc16  # noqa: E402,F401
import winehost  # noqa: E402 (beside this file)

BLOCK = 16384
FLASH_BASE = 0x08008000


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Scoped:
    """A context manager for what start() sets up and close() takes down:
    closed at the end of the block, and also when start() fails."""

    def start(self):
        pass

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()
        return False


def die_with_parent():
    """For preexec_fn: PR_SET_PDEATHSIG, so that if the test is killed outright
    (a CTest time-out), what it started goes with it."""
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)


# --- Images and frames ---------------------------------------------------------------------

def sealed(body):
    """A frame: the body and its CRC, low byte first."""
    crc = crc16(body)
    return bytes(body) + bytes([crc & 0xFF, crc >> 8])


def padded(data):
    """The image zero-padded to whole blocks, as the updater sends it."""
    blocks = max(1, (len(data) + BLOCK - 1) // BLOCK)
    return data + bytes(blocks * BLOCK - len(data))


# --- The updater's trace ---------------------------------------------------------------------

def c_hex(value):
    """printf's %#x: a bare 0 for zero, 0x before anything else."""
    return f"{value:#x}" if value else "0"


def program_line(block, ending="- OK"):
    """The trace line of one block sent, and how its acknowledgement went."""
    return (f"PROG ADDR {FLASH_BASE + block * BLOCK:#x}, LEN {BLOCK:#x}, FROM {c_hex(block * BLOCK)}... "
            f"- SENT - {ending}")


def verifying_line(image_size):
    return f"Verifying address {FLASH_BASE:#x}, image size {image_size:#x} bytes"


def image_blocks(flash):
    """The count of blocks of the image a qdm7-flash carries, as its --version says."""
    out = subprocess.run([flash, "--version"], capture_output=True, text=True).stdout
    found = re.search(r"padded to (\d+) \((\d+) blocks\)", out)
    check(found, f"cannot read the image size from {flash} --version: {out!r}")
    return int(found.group(2))


def resumed_at(trace):
    """The block a resumed update's programming began at, 0 when none."""
    found = re.findall(r"^RESUMING AT BLOCK (\d+),", trace, re.M)
    return int(found[-1]) if found else 0


def check_trace(trace, image, first_block=0):
    """One update's trace: the programming lines in order, one per block
    from first_block, then the verification with the same CRC on both
    sides, and the reset."""
    blocks = len(padded(image)) // BLOCK
    lines = trace.splitlines()
    programming = [line for line in lines if line.startswith("PROG ADDR")]
    expected = [program_line(block) for block in range(first_block, blocks)]
    check(programming == expected,
          f"expected {blocks} programming lines in order, got {len(programming)}; first differences: "
          + str([(a, b) for a, b in zip(programming, expected) if a != b][:3]))
    local = crc16(padded(image))
    order = [verifying_line(len(padded(image))), f"Remote CRC {local:#x}", f"Local  CRC {local:#x}",
             "CRCs match", "Resetting target"]
    at = lines.index(expected[-1])
    for text in order:
        check(text in lines[at:], f"missing after the last block, in order: {text!r}")
        at = lines.index(text, at)
    print(f"trace: {blocks} programming lines, CRC {local:#06x} on both sides, CRCs match")


def check_dump(dump_path, image):
    """The device's flash, as qdm7-sim --dump wrote it, is the padded image."""
    with open(dump_path, "rb") as file:
        dump = file.read()
    check(dump == padded(image),
          f"device flash ({len(dump)} bytes) differs from the padded image ({len(padded(image))} bytes)")
    print(f"dump: {len(dump)} bytes equal the padded image")


# --- Programs ---------------------------------------------------------------------------------

def text_of(output):
    """A program's output as text, Wine's \\r\\n made \\n."""
    return output.decode(errors="replace").replace("\r\n", "\n")


def start(command, **options):
    """A child process (subprocess.Popen's options) that ends with this script."""
    return subprocess.Popen(command, preexec_fn=die_with_parent, **options)


def run(command, timeout, env=None):
    """Runs a program to its end, with no standard input; returns (status,
    stdout, stderr, seconds). A program still running at the time-out is
    killed and the test fails."""
    began = time.monotonic()
    proc = start(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        raise Failure(f"{os.path.basename(command[0])} still running after {timeout} s\n"
                      + text_of(out)[-2000:] + text_of(err)[-2000:])
    return proc.returncode, text_of(out), text_of(err), time.monotonic() - began


def wait(proc, timeout, what=None):
    """Waits for a child to end, timeout seconds at most; its exit status.
    One still running then is killed and the test fails, saying what (by
    default, that the program is still running)."""
    try:
        return proc.wait(timeout)
    except subprocess.TimeoutExpired:
        reap(proc)
        raise Failure(what or f"{os.path.basename(str(proc.args[0]))} still running after {timeout} s")


def reap(proc, grace=0):
    """Ends a child process that still runs, and waits for it: killed at
    once, or once grace seconds have passed (for one already asked to end)."""
    try:
        proc.wait(grace)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def built_tools(build_dir):
    """qdm7-sim and qdm7-flash of a build tree, and the count of blocks of
    the image that qdm7-flash carries; a Failure when either is missing."""
    sim = os.path.join(build_dir, "tools", "qdm7-sim", "qdm7-sim")
    flash = os.path.join(build_dir, "tools", "qdm7-flash", "qdm7-flash")
    for path in (sim, flash):
        check(os.access(path, os.X_OK), f"{path} is missing: cmake --preset release && cmake --build --preset release")
    return sim, flash, image_blocks(flash)


# --- Pseudo-terminals -------------------------------------------------------------------------

class Pty(Scoped):
    """A new pseudo-terminal: the device's side (device, a descriptor) and
    the port's path. With keep_port its port side stays open too (port), so
    the device side never sees a hang-up when a program closes the port;
    raw makes the line raw at once. Use as a context manager."""

    def __init__(self, raw=True, keep_port=True):
        self.device, port = pty.openpty()
        self.path = os.ttyname(port)
        self.port = port
        if not keep_port:
            self.close_port()
        if raw:
            self.make_raw()

    def make_raw(self):
        tty.setraw(self.device)

    def close_port(self):
        if self.port is not None:
            os.close(self.port)
            self.port = None

    def close(self):
        self.close_port()
        if self.device is not None:
            os.close(self.device)
            self.device = None


def peer(kind):
    """A stand-in device on a new pseudo-terminal, for a shell test: prints
    READY and the port's path, then serves until killed. echo sends back
    what it reads; ack-then-stall and ack-then-gone acknowledge the first
    request (the contact query), then ack-then-stall reads nothing more and
    ack-then-gone takes one more read (the start of the first block) and ends,
    its side of the terminal closing with it."""
    kinds = ("echo", "ack-then-stall", "ack-then-gone")
    check(kind in kinds, f"no peer {kind!r}: one of {', '.join(kinds)}")
    line = Pty()
    print("READY", line.path, flush=True)
    if kind == "echo":
        while True:
            select.select([line.device], [], [])
            os.write(line.device, os.read(line.device, 4096))
    select.select([line.device], [], [])
    os.read(line.device, 64)
    os.write(line.device, sealed(bytes([4, 0xF3])))
    if kind == "ack-then-gone":
        select.select([line.device], [], [])
        os.read(line.device, 4096)
        return
    while True:
        time.sleep(1)


# --- The virtual QDM7 -------------------------------------------------------------------------

class Sim(Scoped):
    """qdm7-sim as a child process, used as a context manager: started, its
    READY line waited for (ready_s at most), stopped at the end of the block.

        with Sim(path, ["--baud", "0"]) as sim:
            ... sim.port ...
            check(sim.stop() == 0, ...)     # its STATS line is then in sim.stats
    """

    def __init__(self, path, args=(), prefix=(), stderr=subprocess.PIPE, ready_s=10, new_session=False):
        try:
            self.proc = start([*prefix, path, *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=stderr, start_new_session=new_session)
        except OSError as error:
            raise Failure(f"cannot start qdm7-sim {path}: {error}")
        self.port = None
        self.stats = {}
        self.output = ""
        self.errors = ""
        try:
            self.port = self._wait_ready(ready_s)
        except BaseException:
            self.kill()
            raise

    def _wait_ready(self, ready_s):
        deadline = time.monotonic() + ready_s
        line = b""
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            check(left > 0, f"qdm7-sim printed no READY line within {ready_s} s")
            if select.select([self.proc.stdout], [], [], left)[0]:
                byte = os.read(self.proc.stdout.fileno(), 1)
                if byte == b"":
                    errors = self.proc.stderr.read().decode(errors="replace").strip() if self.proc.stderr else ""
                    raise Failure(f"qdm7-sim ended before it was ready (exit {self.proc.wait()}): {errors}")
                line += byte
        fields = line.decode(errors="replace").split()
        check(len(fields) == 2 and fields[0] == "READY", f"unexpected ready line {line!r}")
        return fields[1]

    def stop(self, how=signal.SIGTERM, timeout=10):
        """Asks it to end (it then writes its dump), waits, returns its exit
        status; its STATS line is parsed into self.stats."""
        if self.proc.poll() is None:
            self.proc.send_signal(how)
        try:
            out, err = self.proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise Failure(f"qdm7-sim did not end within {timeout} s of {signal.Signals(how).name}")
        self.output += out.decode(errors="replace")
        self.errors += err.decode(errors="replace") if err else ""
        for line in self.output.splitlines():
            if line.startswith("STATS "):
                self.stats = dict(item.split("=", 1) for item in line.split()[1:])
        return self.proc.returncode

    def kill(self):
        reap(self.proc)
        for stream in (self.proc.stdout, self.proc.stderr):
            if stream:
                stream.close()

    close = kill


# --- Wine ---------------------------------------------------------------------------------------

def wine_env():
    """The environment of a Windows program run through scripts/wine-run.sh:
    quiet, without the Mono and Gecko installers, in the suite's prefix."""
    env = dict(os.environ, **winehost.WINE_ENV)
    env.pop("WAYLAND_DISPLAY", None)
    env.pop("DISPLAY", None)
    return env


class SuiteWine(Scoped):
    """The suite's Wine (winehost.session: one prefix, its server and an X
    display, shared by every Windows test), for a test that maps COM ports:
    the ports it claims are cleared of what an earlier run left and taken
    away at its end. Run where Wine runs (winehost.py run). Use as a
    context manager."""

    def __init__(self):
        found = winehost.session()
        self.prefix, self.display, self.env = found.prefix, found.display, found.env
        self.claimed = []

    def dosdevice(self, name):
        return os.path.join(self.prefix, "dosdevices", name)

    def claim(self, name):
        """The path of the link for a DOS device (com3), cleared for this test."""
        path = self.dosdevice(name)
        self.claimed.append(path)
        if os.path.lexists(path):
            os.unlink(path)
        return path

    def close(self):
        for path in self.claimed:
            if os.path.lexists(path):
                os.unlink(path)
        self.claimed = []


def main(argv):
    if len(argv) == 2 and argv[0] == "peer":
        try:
            peer(argv[1])
        except Failure as failure:
            print(f"qdm7test: {failure}", file=sys.stderr)
            return 64
        return 0
    print("usage: qdm7test.py peer echo|ack-then-stall|ack-then-gone", file=sys.stderr)
    return 64


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
