#!/usr/bin/env python3
"""End-to-end runs of the updater against the virtual QDM7 on a pseudo-terminal.

Each case starts qdm7-sim (and qdm7-flash, natively or under Wine), checks
what came out, and ends every process it started, also when a check fails:
the simulator is told to die with this script, and everything is stopped in
a finally block.
"""
import argparse
import ctypes
import os
import re
import select
import signal
import subprocess
import sys
import tempfile
import time

BLOCK = 16384
FLASH_BASE = 0x08008000
WIRE_BITS = 11

libc = ctypes.CDLL(None, use_errno=True)


def die_with_parent():
    # PR_SET_PDEATHSIG: if this script is killed outright (a CTest time-out),
    # what it started goes with it.
    libc.prctl(1, signal.SIGTERM)


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def crc16(data, crc=0xFFFF):
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def sealed(body):
    crc = crc16(body)
    return bytes(body) + bytes([crc & 0xFF, crc >> 8])


def padded(data):
    blocks = max(1, (len(data) + BLOCK - 1) // BLOCK)
    return data + bytes(blocks * BLOCK - len(data))


class Sim:
    """qdm7-sim as a child process: started, waited for, stopped."""

    def __init__(self, path, args):
        self.proc = subprocess.Popen([path] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     preexec_fn=die_with_parent)
        self.port = None
        self.stats = {}
        self.output = ""
        self.errors = ""
        deadline = time.monotonic() + 10
        line = b""
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            check(left > 0, "qdm7-sim printed no READY line within 10 s")
            ready, _, _ = select.select([self.proc.stdout], [], [], left)
            if ready:
                byte = os.read(self.proc.stdout.fileno(), 1)
                if byte == b"":
                    raise Failure("qdm7-sim ended before it was ready: "
                                  + self.proc.stderr.read().decode(errors="replace"))
                line += byte
        fields = line.decode().split()
        check(len(fields) == 2 and fields[0] == "READY", f"unexpected ready line {line!r}")
        self.port = fields[1]

    def stop(self):
        """SIGTERM, then the exit status; the STATS line is parsed."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            out, err = self.proc.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            out, err = self.proc.communicate()
            raise Failure("qdm7-sim did not end within 10 s of SIGTERM")
        self.output += out.decode(errors="replace")
        self.errors += err.decode(errors="replace")
        for line in self.output.splitlines():
            if line.startswith("STATS "):
                self.stats = dict(item.split("=", 1) for item in line.split()[1:])
        return self.proc.returncode

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def run(command, timeout, env=None):
    """Runs a program to its end; returns (status, stdout, stderr, seconds)."""
    start = time.monotonic()
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                            preexec_fn=die_with_parent)
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        raise Failure(f"{os.path.basename(command[0])} still running after {timeout} s\n"
                      + out.decode(errors="replace")[-2000:] + err.decode(errors="replace")[-2000:])
    seconds = time.monotonic() - start
    normal = lambda b: b.decode(errors="replace").replace("\r\n", "\n")
    return proc.returncode, normal(out), normal(err), seconds


def program_line(block, ending):
    address = FLASH_BASE + block * BLOCK
    offset = block * BLOCK
    start = f"{offset:#x}" if offset else "0"
    return f"PROG ADDR {address:#x}, LEN {BLOCK:#x}, FROM {start}... - SENT - {ending}"


def check_trace(trace, image):
    """The programming lines in order, one per block, then the verification."""
    blocks = len(padded(image)) // BLOCK
    lines = trace.splitlines()
    programming = [line for line in lines if line.startswith("PROG ADDR")]
    expected = [program_line(block, "- OK") for block in range(blocks)]
    check(programming == expected,
          f"expected {blocks} programming lines in order, got {len(programming)}; first differences: "
          + str([(a, b) for a, b in zip(programming, expected) if a != b][:3]))
    local = crc16(padded(image))
    order = [f"Verifying address {FLASH_BASE:#x}, image size {len(padded(image)):#x} bytes",
             f"Remote CRC {local:#x}", f"Local  CRC {local:#x}", "CRCs match", "Resetting target"]
    at = lines.index(expected[-1])
    for text in order:
        check(text in lines[at:], f"missing after the last block, in order: {text!r}")
        at = lines.index(text, at)
    print(f"trace: {blocks} programming lines, CRC {local:#06x} on both sides, CRCs match")


def check_dump(dump_path, image):
    with open(dump_path, "rb") as file:
        dump = file.read()
    check(dump == padded(image),
          f"device flash ({len(dump)} bytes) differs from the padded image ({len(padded(image))} bytes)")
    print(f"dump: {len(dump)} bytes equal the padded image")


def flash_command(args, port):
    return [args.flash, "--port", port]


def update_against_sim(args, work, sim_options, expected_status=0):
    """Runs qdm7-flash against an unpaced qdm7-sim that dumps its flash to
    work/flash.bin; checks the exit status and that the sim ended cleanly.
    Returns the trace, standard error and the run's seconds."""
    sim = Sim(args.sim, ["--baud", "0", *sim_options, "--dump", f"{work}/flash.bin"])
    try:
        status, out, err, seconds = run(flash_command(args, sim.port), 300)
        check(status == expected_status,
              f"qdm7-flash ended with {status}, expected {expected_status}\n{err[-2000:]}")
        check(sim.stop() == 0, "qdm7-sim did not end cleanly")
        return out, err, seconds
    finally:
        sim.kill()


def case_update(args, work):
    """A whole update, unpaced, with the built-in image."""
    out, _, seconds = update_against_sim(args, work, [])
    check_trace(out, args.image_bytes)
    check_dump(f"{work}/flash.bin", args.image_bytes)
    print(f"update took {seconds:.1f} s")


def case_power_on(args, work):
    """The device answers only a second after the first contact query."""
    out, _, _ = update_against_sim(args, work, ["--power-on-after", "1000"])
    lines = out.splitlines()
    check("REMOTE DEVICE LINK ESTABLISHED" in lines, "the link was never established")
    contacts = lines[:lines.index("REMOTE DEVICE LINK ESTABLISHED")].count("CONTACTING...")
    # Each contact attempt takes at least 100 ms of sleep: a second of
    # silence means several of them.
    check(contacts >= 4, f"the contact query went out {contacts} times before the link; expected it repeated")
    check_trace(out, args.image_bytes)
    check_dump(f"{work}/flash.bin", args.image_bytes)
    print(f"contact query sent {contacts} times before the device answered")


def case_flipped_bit(args, work):
    """A bit flips in flash after the first block: verification must fail."""
    out, err, _ = update_against_sim(args, work, ["--fault", "flip:on=program,count=1"], expected_status=2)
    check("CRC FAIL" in out.splitlines(), "no CRC FAIL in the trace")
    check("FAILED" in err, "no FAILED on standard error")
    check("Resetting target" not in out, "a device that failed verification was reset")
    with open(f"{work}/flash.bin", "rb") as file:
        dump = file.read()
    image = padded(args.image_bytes)
    check(len(dump) == len(image), "the whole image should have been programmed")
    flipped = sum(bin(a ^ b).count("1") for a, b in zip(dump, image))
    check(flipped == 1, f"{flipped} bits differ in flash, expected the one flipped")
    print("exit 2, CRC FAIL, one flipped bit in flash")


def case_dropped_ack(args, work):
    """The second block's acknowledgement is lost: resent after 10 s."""
    out, _, seconds = update_against_sim(args, work, ["--fault", "drop:on=program,every=2,count=1"])
    lines = out.splitlines()
    lost = program_line(1, "TIMEOUT")
    check(lost in lines, f"no line {lost!r} in the trace")
    resent = lines[lines.index(lost) + 1]
    check(resent == program_line(1, "- OK"), f"the block after the time-out was not resent: {resent!r}")
    check(seconds >= 10, f"the update took {seconds:.1f} s; the resend should wait 10 s")
    timeouts = sum(1 for line in lines if "TIMEOUT" in line)
    check(timeouts == 1, f"{timeouts} time-outs, expected 1")
    without_timeout = "\n".join(line for line in lines if line != lost)
    check_trace(without_timeout, args.image_bytes)
    check_dump(f"{work}/flash.bin", args.image_bytes)
    print(f"one TIMEOUT, block 1 resent, completed in {seconds:.1f} s")


def case_wine(args, work):
    """The Windows build under Wine, the simulator mapped as COM port 7."""
    check(os.path.exists(args.sim), f"no native qdm7-sim at {args.sim}: build the native preset first "
          "(cmake --preset native && cmake --build --preset native), or set QDM7_HOST_TOOLS_DIR")
    env = dict(os.environ, WINEPREFIX=f"{work}/wine", WINEDEBUG="-all")
    sim = None
    try:
        # A throwaway prefix of our own: made first, so the COM link can go in it.
        status, _, err, _ = run([args.wine_run, "cmd", "/c", "exit"], 300, env)
        check(status == 0, f"making the Wine prefix failed: {err[-2000:]}")
        sim = Sim(args.sim, ["--baud", "0", "--link", f"{work}/wine/dosdevices/com7",
                             "--dump", f"{work}/flash.bin"])
        status, out, err, _ = run([args.wine_run, args.flash, "--list"], 120, env)
        check(status == 0, f"qdm7-flash.exe --list ended with {status}: {err[-2000:]}")
        check("\\\\.\\com7" in out.lower().splitlines(), f"COM7 not among the listed ports: {out!r}")
        status, out, err, seconds = run([args.wine_run, args.flash, "--port", "\\\\.\\com7"], 300, env)
        check(status == 0, f"qdm7-flash.exe ended with {status}\n{err[-2000:]}")
        check_trace(out, args.image_bytes)
        check(sim.stop() == 0, "qdm7-sim did not end cleanly")
        check(not os.path.lexists(f"{work}/wine/dosdevices/com7"), "qdm7-sim left its COM link behind")
        check_dump(f"{work}/flash.bin", args.image_bytes)
        print(f"update under Wine took {seconds:.1f} s")
    finally:
        if sim:
            sim.kill()
        subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


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
    sim = Sim(args.sim, ["--link", link, "--dump", f"{work}/flash.bin"])
    try:
        check(os.readlink(link) == sim.port, "the link does not point at the printed port")
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
        start = time.monotonic()
        client.send(program(FLASH_BASE + BLOCK, data))
        reply = client.read(2.0)
        took = time.monotonic() - start
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
    finally:
        sim.kill()


def case_sim_power_and_reset(args, work):
    """Silence until power-on; --exit-after-reset ends once the ack is read."""
    sim = Sim(args.sim, ["--baud", "0", "--power-on-after", "400", "--exit-after-reset"])
    try:
        client = Client(sim.port)
        start = time.monotonic()
        client.send(query(FLASH_BASE, 4))
        check(client.read(0.25) == b"", "the device answered before power-on")
        while time.monotonic() - start < 0.45:
            time.sleep(0.01)
        client.send(query(FLASH_BASE, 4))
        check(valid(client.read()), "no answer after power-on")
        client.send(sealed(bytes([4, 0xF3, 3])))
        reply = client.read()
        check(reply == bytes.fromhex("04f30334f0"), f"bad reset acknowledgement {reply.hex()}")
        sim.proc.wait(timeout=5)
        check(sim.stop() == 0, "qdm7-sim ended with an error after the reset")
        client.close()
        print("silent before power-on, answered after, ended after the reset")
    finally:
        sim.kill()


def case_sim_device(args, work):
    """--device serves an existing terminal, exclusively; a second is refused."""
    import pty
    import tty
    master, slave = pty.openpty()
    path = os.ttyname(slave)
    os.close(slave)
    sim = Sim(args.sim, ["--device", path])
    try:
        check(sim.port == path, f"serving {sim.port}, not {path}")
        tty.setraw(master)
        os.write(master, query(FLASH_BASE, 4))
        reply = b""
        end = time.monotonic() + 2
        while len(reply) < 15 and time.monotonic() < end:
            if select.select([master], [], [], 0.1)[0]:
                reply += os.read(master, 100)
        check(valid(reply) and len(reply) == 15, f"bad contact reply on the device: {reply.hex()}")
        second = subprocess.run([args.sim, "--device", path], capture_output=True, text=True, timeout=10,
                                preexec_fn=die_with_parent)
        check(second.returncode == 1 and "in use" in second.stderr,
              f"a second simulator on the same device: exit {second.returncode}, {second.stderr!r}")
        check(sim.stop() == 0, "qdm7-sim did not end cleanly")
        missing = subprocess.run([args.sim, "--device", f"{work}/no-such-tty"], capture_output=True, text=True,
                                 timeout=10, preexec_fn=die_with_parent)
        check(missing.returncode == 1 and "cannot open" in missing.stderr, f"missing device: {missing.stderr!r}")
        with open(f"{work}/precious", "w") as file:
            file.write("keep")
        clash = subprocess.run([args.sim, "--link", f"{work}/precious"], capture_output=True, text=True,
                               timeout=10, preexec_fn=die_with_parent)
        check(clash.returncode == 1 and open(f"{work}/precious").read() == "keep",
              f"--link over a regular file: exit {clash.returncode}, {clash.stderr!r}")
        print("served an existing terminal; a second user, a missing device and a file at --link refused")
    finally:
        sim.kill()
        os.close(master)


CASES = {
    "update": case_update,
    "power-on": case_power_on,
    "flipped-bit": case_flipped_bit,
    "dropped-ack": case_dropped_ack,
    "wine": case_wine,
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
