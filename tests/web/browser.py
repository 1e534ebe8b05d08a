#!/usr/bin/env python3
"""The page qdm7-update.html in a real browser against the virtual QDM7.

A QEMU guest (TCG) boots this machine's kernel over this machine's root
(tests/support/guest.py makes its initramfs) and runs Debian's Chromium
there, headless (guest_browser.py drives it). The guest's one UART, ttyS0,
is QEMU's emulated 16550 on a socket; on this machine's side the socket is
joined to qdm7-sim's pseudo-terminal (or sends back what it is sent, for
the echo case). So the page reaches the device as a user's would: Web
Serial, the browser's serial service, the kernel's 8250 driver, a UART.

    browser.py --page PAGE --short-page PAGE --short-image RAW --image RAW --sim QDM7_SIM
               --shots DIR [--bench-only]

The cases, in one guest and one browser: a full update of a short image
(flash equal, status texts in order), a second one without reloading whose
device answers only after some contact queries, a port pulled mid-update
and put back (resumed, flash equal), an update cancelled while the device
stays off, an echoing port (stopped at the first block, its cause named), a
narrow window, a page Web Serial is not offered
to, and the benchmark: a full update of the built-in image timed against
the wire limit. Screenshots go to DIR.
"""
import argparse
import base64
import json
import os
import re
import select
import shlex
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import tty
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, str(HERE.parent / "support"))
import guest  # noqa: E402
from qdm7test import BLOCK, Failure, Scoped, Sim, check, check_dump, padded, reap, start  # noqa: E402

MODULES = ["virtio_pci", "virtio_console", "9pnet_virtio", "9p", "overlay"]
CHANNEL = "qdm7.web"
MEMORY_MB = 3072
CPUS = 2
BOOT_S = 120
BROWSER_S = 300
ORIGIN = "http://127.0.0.1:8765"
# An address of the guest's own that is not this computer's loopback: a page
# from it is not a secure context, so the browser offers it no Web Serial.
UNTRUSTED = "http://10.0.9.1:8765"
BAUD = 921600
BITS_PER_CHARACTER = 11
ECHO_TEXT = "the port sends back what it is sent: a loopback, or a device that is not a QDM7"

INIT = r"""#!/bin/busybox sh
# PID 1 of the browser guest: this machine's root read-only under a tmpfs
# layer, then the browser's side of the tests, chrooted there. Its output
# goes to the virtio console (hvc0): no UART carries a console, so that the
# page's port is the only one.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for module in $(cat /etc/guest/modules); do
  insmod "/lib/modules/$module.ko" || { echo "@@guest fatal cannot load $module"; poweroff -f; }
done
i=0; until [ -e /dev/hvc0 ] || [ $i -ge 50 ]; do sleep 0.1; i=$((i+1)); done
exec </dev/null >/dev/hvc0 2>&1
fail() { echo "@@guest fatal $*"; sync; poweroff -f; }
@ROOT_MOUNT@
# A checkout below /tmp: the guest's /tmp is its own, so this machine's
# folders there are put back at the same paths.
for path in @HOST_TMP@; do
  mkdir -p "/new$path" && mount -o bind "/lower$path" "/new$path" || fail "cannot mount $path"
done
ip link set lo up
ip addr add 10.0.9.1/32 dev lo
echo "@@guest up"
chroot /new /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
  LANG=C.UTF-8 /usr/bin/python3 -B @SCRIPT@ @ROOT@
echo "@@guest browser ended with status $?"
sync
poweroff -f
"""


class Line:
    """This machine's end of the guest's UART: bytes from the guest go to the
    peer (qdm7-sim's pseudo-terminal), or back to the guest (echo), or
    nowhere; the peer's go to the guest."""

    def __init__(self, sock):
        self.sock = sock
        self.lock = threading.Lock()
        self.peer = None
        self.echo = False
        self.to_guest = 0
        wake_read, self.wake = os.pipe()
        self.wake_read = wake_read
        threading.Thread(target=self.relay, daemon=True).start()

    def attach(self, path=None, echo=False):
        """Joins the line to the pseudo-terminal at path, or makes it echo."""
        with self.lock:
            if self.peer is not None:
                os.close(self.peer)
            self.peer = None
            if path:
                self.peer = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
                tty.setraw(self.peer)
            self.echo = echo
        os.write(self.wake, b"x")

    def relay(self):
        while True:
            with self.lock:
                peer = self.peer
            watched = [self.sock, self.wake_read] + ([peer] if peer is not None else [])
            try:
                ready, _, _ = select.select(watched, [], [])
            except (OSError, ValueError):
                continue  # the peer was closed meanwhile
            if self.wake_read in ready:
                os.read(self.wake_read, 64)
            with self.lock:
                if peer is not self.peer:
                    continue
                if self.sock in ready:
                    data = self.sock.recv(65536)
                    if not data:
                        return
                    if self.echo:
                        self.sock.sendall(data)
                    elif peer is not None:
                        write_all(peer, data)
                if peer is not None and peer in ready:
                    try:
                        data = os.read(peer, 65536)
                    except OSError:
                        data = b""
                    if data:
                        self.sock.sendall(data)


def write_all(fd, data):
    while data:
        try:
            data = data[os.write(fd, data):]
        except BlockingIOError:
            select.select([], [fd], [])


class Guest(Scoped):
    """The browser guest: QEMU, its channel to guest_browser.py, and the
    UART's line."""

    def __init__(self, root, say=print):
        self.root, self.say = root, say
        self.work = self.qemu = self.channel = self.line = None
        self.pending = b""

    def start(self):
        self.work = Path(tempfile.mkdtemp(prefix="qdm7-web-"))
        check(len(str(self.work / "chan.sock")) < 100, f"temporary folder {self.work} too deep for a socket path")
        init = (INIT.replace("@ROOT_MOUNT@\n", guest.ROOT_MOUNT_SH).replace("@SCRIPT@", str(HERE / "guest_browser.py"))
                .replace("@ROOT@", str(self.root))
                .replace("@HOST_TMP@", " ".join(shlex.quote(str(folder)) for folder in (HERE, Path(self.root))
                                                if Path(folder).is_relative_to("/tmp"))))
        try:
            kernel, module_dir = guest.find_kernel()
            guest.build_initramfs(self.work / "initramfs.cpio", module_dir, MODULES,
                                  {"init": (init.encode(), 0o755)}, "etc/guest/modules")
            command = guest.qemu_command(kernel, self.work / "initramfs.cpio", MEMORY_MB, CPUS,
                                         "8250.nr_uarts=1 quiet panic=-1")
        except guest.GuestError as error:
            raise Failure(str(error))
        command += [
            *guest.ROOT_SHARE,
            "-device", "virtio-serial-pci",
            "-chardev", f"file,id=console,path={self.work}/console.log", "-device", "virtconsole,chardev=console",
            "-chardev", f"socket,id=chan,path={self.work}/chan.sock,server=on,wait=off",
            "-device", f"virtserialport,chardev=chan,name={CHANNEL}",
            # The page's port. Its base rate matches the one the guest sets,
            # so that 921600 baud is a divisor of 1.
            "-chardev", f"socket,id=uart,path={self.work}/uart.sock,server=on,wait=off",
            "-device", f"isa-serial,chardev=uart,index=0,baudbase={BAUD}",
        ]
        began = time.monotonic()
        self.qemu = start(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.channel = self.connect("chan.sock")
        self.line = Line(self.connect("uart.sock"))
        ready = self.receive(BOOT_S + BROWSER_S)
        check(ready.get("op") == "ready", f"the guest's browser did not start: {ready}")
        self.say(f"browser: guest and Chromium up in {time.monotonic() - began:.1f} s "
                 f"(Chromium {ready['browser_s']} s of it)")

    def connect(self, name):
        deadline = time.monotonic() + 30
        while True:
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                sock.connect(str(self.work / name))
                return sock
            except (FileNotFoundError, ConnectionRefusedError):
                sock.close()
                check(self.qemu.poll() is None and time.monotonic() < deadline,
                      f"QEMU opened no {name} (status {self.qemu.poll()})")
                time.sleep(0.05)

    def console(self, lines=40):
        try:
            text = (self.work / "console.log").read_text(errors="replace")
        except OSError:
            return ""
        return "\n".join(text.splitlines()[-lines:])

    def receive(self, timeout):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            if left <= 0 or self.qemu.poll() is not None:
                raise Failure(f"no answer from the guest's browser within {timeout} s "
                              f"(QEMU {'ended' if self.qemu.poll() is not None else 'running'}):\n{self.console()}")
            if select.select([self.channel], [], [], min(left, 1))[0]:
                data = self.channel.recv(65536)
                check(data, f"the guest's channel closed:\n{self.console()}")
                self.pending += data
        line, self.pending = self.pending.split(b"\n", 1)
        return json.loads(line)

    def ask(self, op, timeout=60, **arguments):
        self.channel.sendall((json.dumps({"op": op, **arguments}) + "\n").encode())
        reply = self.receive(timeout + 30)
        check("error" not in reply, f"the browser could not {op}: {reply.get('error')}")
        return reply

    def js(self, code):
        return self.ask("js", code=code)["value"]

    def wait(self, code, timeout, what):
        value = self.ask("wait", timeout=timeout, code=code, seconds=timeout)["value"]
        if not value:
            raise Failure(f"{what}: not within {timeout} s; the page says {self.page_state()}")
        return value

    def page_state(self):
        return self.js("return {state: qdm7Page.state, statuses: qdm7Page.statuses.slice(-5), "
                       "result: qdm7Page.result, cause: qdm7Page.cause, "
                       "trace: qdm7Page.trace.slice(-600)};")

    def shot(self, path):
        Path(path).write_bytes(base64.b64decode(self.ask("shot")["png"]))

    def close(self):
        if self.qemu and self.qemu.poll() is None:
            try:
                self.channel.sendall(b'{"op": "quit"}\n')
                self.qemu.wait(30)
            except (OSError, subprocess.TimeoutExpired):
                pass
        if self.qemu:
            reap(self.qemu, grace=5)
        if self.work:
            shutil.rmtree(self.work, ignore_errors=True)


# --- The cases ------------------------------------------------------------------------------

def expected_statuses(image):
    blocks = len(padded(image)) // BLOCK
    return (["Contacting Device...", "Establishing Link..."]
            + [f"programming {0x08008000 + block * BLOCK:#x}" for block in range(blocks)]
            + ["Verifying...", "Program Verified OK", "Resetting target...", "Programming Completed OK",
               "Programming Completed"])


class Device(Scoped):
    """qdm7-sim on the guest's UART for one case, its flash dumped when it ends."""

    def __init__(self, browser_guest, sim_path, args=()):
        self.guest = browser_guest
        self.dump = Path(tempfile.mkdtemp(prefix="qdm7-web-flash-")) / "flash.bin"
        self.sim = Sim(sim_path, ["--dump", str(self.dump), *args], stderr=subprocess.DEVNULL)
        browser_guest.line.attach(self.sim.port)

    def stop(self):
        self.guest.line.attach(None)
        check(self.sim.stop() == 0, "qdm7-sim did not end cleanly")
        return self.sim.stats

    def close(self):
        self.guest.line.attach(None)
        self.sim.kill()
        shutil.rmtree(self.dump.parent, ignore_errors=True)


def update(browser_guest, timeout):
    """Presses "Update Firmware" and waits for the update to end; the page's record of it."""
    ended = browser_guest.js("return qdm7Page.updates;")
    browser_guest.ask("click", id="update-button")
    browser_guest.wait(f"return qdm7Page.updates > {ended} && qdm7Page.state === 'done';", timeout,
                       "the update to end")
    return browser_guest.js("return {result: qdm7Page.result, cause: qdm7Page.cause, statuses: qdm7Page.statuses, "
                            "times: qdm7Page.statusTimes, trace: qdm7Page.trace};")


def distinct(statuses):
    """The status texts without the repeats of a request resent (the reset
    frame goes again every 100 ms until it is acknowledged)."""
    return [text for n, text in enumerate(statuses) if n == 0 or statuses[n - 1] != text]


def check_completed(record, image, what):
    check(record["result"] == "Programming Completed", f"{what}: ended {record['result']!r}: {record['cause']}")
    check(distinct(record["statuses"]) == expected_statuses(image),
          f"{what}: status texts {record['statuses']} are not, in order, {expected_statuses(image)}")


def case_full_update(g, args, shots, image):
    with Device(g, args.sim) as device:
        ended = g.js("return qdm7Page.updates;")
        g.ask("click", id="update-button")
        g.wait("return qdm7Page.statuses.filter(s => s.startsWith('programming')).length >= 3;", 60,
               "programming to reach the third block")
        g.shot(shots / "programming.png")
        g.wait(f"return qdm7Page.updates > {ended} && qdm7Page.state === 'done';", 120, "the update to end")
        record = g.js("return {result: qdm7Page.result, cause: qdm7Page.cause, statuses: qdm7Page.statuses};")
        g.shot(shots / "completed.png")
        check_completed(record, image, "the full update")
        device.stop()
        check_dump(device.dump, image)


def case_late_device(g, args, image):
    # The page as the last case left it: a second update without reloading.
    # Counted, not timed, so that a loaded machine still sees several queries.
    with Device(g, args.sim, ["--power-on-after-queries", "5"]) as device:
        record = update(g, 120)
        check_completed(record, image, "the update of a late device")
        contacts = record["trace"].count("CONTACTING...")
        check(contacts >= 6, f"the device answered after {contacts} contact queries, not after the 6th")
        print(f"late device: answered after {contacts} contact queries")
        device.stop()
        check_dump(device.dump, image)


def case_pulled_port(g, args, shots, image):
    with Device(g, args.sim, ["--program-ms", "150"]) as device:
        ended = g.js("return qdm7Page.updates;")
        g.ask("click", id="update-button")
        g.wait("return document.getElementById('progress').value >= 2;", 60, "two blocks to be acknowledged")
        g.ask("unplug")
        g.wait("return qdm7Page.state === 'waiting';", 60, "the page to wait for the lost port")
        g.shot(shots / "waiting.png")
        time.sleep(1)
        g.ask("replug")
        g.wait(f"return qdm7Page.updates > {ended} && qdm7Page.state === 'done';", 120, "the resumed update to end")
        record = g.js("return {result: qdm7Page.result, cause: qdm7Page.cause, statuses: qdm7Page.statuses, "
                      "trace: qdm7Page.trace};")
        check(record["result"] == "Programming Completed", f"the resumed update ended {record['result']!r}: "
                                                          f"{record['cause']}")
        check("PORT LOST" in record["trace"], "no PORT LOST in the trace")
        resumed = re.findall(r"^RESUMING AT BLOCK (\d+),", record["trace"], re.M)
        check(resumed and int(resumed[-1]) >= 2, f"the update did not resume after the kept blocks: {resumed}")
        print(f"pulled port: resumed at block {resumed[-1]}")
        device.stop()
        check_dump(device.dump, image)


def case_cancel(g, args):
    # A device that stays off: told to power-cycle, then the user gives up.
    with Device(g, args.sim, ["--power-on-after", "600000"]):
        ended = g.js("return qdm7Page.updates;")
        g.ask("click", id="update-button")
        g.wait("return document.getElementById('hint').textContent.startsWith('waiting for the device to power on');",
               60, "the page to ask for a power cycle")
        g.ask("click", id="cancel-button")
        g.wait(f"return qdm7Page.updates > {ended} && qdm7Page.state === 'done';", 60, "the cancelled update to end")
        record = g.js("return [qdm7Page.result, qdm7Page.cause];")
    check(record[0] == "FAILED" and record[1].startswith("cancelled"), f"a cancelled update ended {record}")


def case_echo(g, shots):
    g.line.attach(echo=True)
    try:
        record = update(g, 120)
    finally:
        g.line.attach(None)
    check(record["result"] == "FAILED", f"an echoing port ended {record['result']!r}")
    check(record["cause"] == ECHO_TEXT, f"an echoing port's cause is {record['cause']!r}")
    # Told by the contact query it sent back: no block sent.
    sent = re.findall(r"^PROG ADDR (0x[0-9a-f]+),", record["trace"], re.M)
    check(not sent and "\nECHO\n" in record["trace"],
          f"an echo was not told at the contact query (blocks sent {sent})")
    print("echo: told at the contact query, no block sent")
    g.shot(shots / "echo.png")
    g.ask("size", width=360, height=1100)
    g.js("window.scrollTo(0, document.body.scrollHeight);")
    g.shot(shots / "narrow.png")
    g.ask("size", width=900, height=1000)


def case_no_serial(g, shots, page_path):
    g.ask("open", url=f"{UNTRUSTED}/{page_path}", timeout=120)
    g.wait("return window.qdm7Page && qdm7Page.state !== 'loading';", 120, "the page to start")
    state = g.js("return [qdm7Page.state, document.getElementById('no-serial').hidden, "
                 "document.getElementById('controls').hidden];")
    check(state == ["no-serial", False, True], f"a page without Web Serial shows {state}")
    g.shot(shots / "no-serial.png")


def bench(g, args, image):
    """A full update of the built-in image, timed against the wire limit."""
    g.ask("open", url=f"{ORIGIN}/{args.page_path}", timeout=180)
    g.wait("return window.qdm7Page && qdm7Page.state === 'idle';", 180, "the page of the built-in image to start")
    with Device(g, args.sim) as device:
        record = update(g, 600)
        check_completed(record, image, "the full update of the built-in image")
        stats = device.stop()
        check_dump(device.dump, image)
    times = dict(zip(record["statuses"], record["times"]))
    total = record["times"][-1] / 1000
    blocks = len(padded(image)) // BLOCK
    sent, received = int(stats["rx_bytes"]), int(stats["tx_bytes"])
    char_s = BITS_PER_CHARACTER / BAUD
    wire = (sent + received) * char_s
    first = times[f"programming {0x08008000 + BLOCK:#x}"] / 1000
    last = times["Verifying..."] / 1000
    per_block = (last - first) / (blocks - 1)
    block_wire = (BLOCK + 11 + 11) * char_s
    print(f"bench: blocks            {blocks}")
    print(f"bench: total seconds     {total:.3f}  (from the press to \"Programming Completed\")")
    print(f"bench: wire-time limit   {wire:.3f} s  ({sent} characters sent + {received} received) x 11 / {BAUD}")
    print(f"bench: ratio             {total / wire:.3f}")
    print(f"bench: time per block    {per_block * 1000:.1f} ms  (wire {block_wire * 1000:.1f} ms, "
          f"ratio {per_block / block_wire:.3f})")
    print(f"bench:   to the 1st ack  {first:.3f} s")
    print(f"bench:   after the last  {total - last:.3f} s  (verification, reset)")
    resends = record["trace"].count("TIMEOUT")
    if resends or int(stats.get("dropped_partial", 0)) or int(stats.get("bad_crc", 0)):
        # A block the device dropped for a pause of more than 20 ms inside it
        # (the guest's UART stalled) costs a 10 s time-out: not the page's pace.
        print(f"bench:   anomalies       {resends} time-outs; the device dropped {stats.get('dropped_partial')} "
              f"partial requests and saw {stats.get('bad_crc')} with a bad CRC")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--root", required=True, help="the folder the guest serves (holds both pages)")
    parser.add_argument("--page", required=True, help="the page with the built-in image")
    parser.add_argument("--short-page", required=True, help="the same page with a short image")
    parser.add_argument("--image", required=True, help="the built-in raw image")
    parser.add_argument("--short-image", required=True, help="the short raw image")
    parser.add_argument("--sim", required=True, help="qdm7-sim")
    parser.add_argument("--shots", required=True, help="where the screenshots go")
    parser.add_argument("--bench-only", action="store_true", help="only the benchmark")
    args = parser.parse_args()
    root = Path(args.root).resolve()
    args.page_path = str(Path(args.page).resolve().relative_to(root))
    short_path = str(Path(args.short_page).resolve().relative_to(root))
    image = Path(args.image).read_bytes()
    short = Path(args.short_image).read_bytes()
    shots = Path(args.shots)
    shots.mkdir(parents=True, exist_ok=True)
    began = time.monotonic()
    failed = []

    def case(name, run, *case_args):
        started = time.monotonic()
        try:
            run(*case_args)
            print(f"ok   {name} ({time.monotonic() - started:.1f} s)", flush=True)
        except Failure as failure:
            failed.append(name)
            print(f"FAIL {name}: {failure}", flush=True)

    try:
        with Guest(root) as g:
            if not args.bench_only:
                started = time.monotonic()
                g.ask("open", url=f"{ORIGIN}/{short_path}", timeout=180)
                g.wait("return window.qdm7Page && qdm7Page.state === 'idle';", 180, "the page to start")
                marks = g.js("return [qdm7Page.scriptIn, qdm7Page.engineIn, qdm7Page.startedIn];")
                print(f"browser: the page loaded and started in {time.monotonic() - started:.1f} s (its script ran "
                      f"at {marks[0] / 1000:.1f} s, the engine was ready at {marks[1] / 1000:.1f} s, the ports "
                      f"listed at {marks[2] / 1000:.1f} s)", flush=True)
                ports = g.js("return document.getElementById('port-list').options.length;")
                check(ports == 1, f"the page lists {ports} ports, not the guest's one UART")
                g.shot(shots / "idle.png")
                case("a full update of a short image", case_full_update, g, args, shots, short)
                case("a second update, of a device that answers late", case_late_device, g, args, short)
                case("a port pulled mid-update and put back", case_pulled_port, g, args, shots, short)
                case("an update cancelled while the device stays off", case_cancel, g, args)
                case("an echoing port", case_echo, g, shots)
                case("a page without Web Serial", case_no_serial, g, shots, short_path)
            case("the benchmark: a full update of the built-in image", bench, g, args, image)
    except Failure as failure:
        print(f"FAIL browser: {failure}", flush=True)
        return 1
    print(f"browser: {time.monotonic() - began:.1f} s in all; screenshots in {shots}")
    if failed:
        print(f"browser: {len(failed)} failed: {', '.join(failed)}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
