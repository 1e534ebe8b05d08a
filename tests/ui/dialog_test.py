#!/usr/bin/env python3
"""The dialog program, run for real.

Each case runs the Windows program under the suite's Wine (one prefix, its
server and a virtual X display, shared by the Windows tests: winehost.py),
with the virtual QDM7 (qdm7-sim) on a pseudo-terminal that the prefix maps as
a COM port. It runs where Wine runs (winehost.py run). The dialog is worked the
way a user would work it, through the window system: the driver program
(dialog_driver.cpp) reads its texts, selects the port, presses the button and
watches the status field. Everything a case starts is ended when it ends.

Usage: dialog_test.py --exe ... --driver ... --sim ... --image ... --work DIR CASE
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from qdm7test import (BLOCK, FLASH_BASE, Failure, Pty, Scoped, Sim, SuiteWine, check, padded,  # noqa: E402
                      program_line, reap, run, start, verifying_line, wait)

CAPTION = "QDM7 Firmware Update Tool"
# As the window shows them: two double-quote characters on each side of the
# button's name.
INSTRUCTIONS = [
    "NOTE: The QDM7 must already be plugged into the computer USB port. If not, close this "
    "window, connect to the QDM7 and restart this installer. \n\nChoose the COM port "
    "corresponding to the QDM7.\n\nPress the \"\"Update Firmware\"\" button when ready.",
    "The QDM7 should then be power-cycled in order to start the firmware update process. it "
    "is important that this is done AFTER the \"\"Update Firmware\"\" button is pressed. To "
    "cycle the power, unplug any power adapter.",
    "Then turn the unit off and on using the power button on the side.",
]
FATAL_OPEN_TEXT = re.compile(
    r"\n\nAn Error has occurred as follows:\n"
    r"          Unable to open serial port\. In use already, or not present\n"
    r"Error number ([1-9][0-9]*) reported\n(.+)"
    r"\n\n The program will now abort\n\n\n", re.DOTALL)

# Window styles the template asks for.
WS_POPUP, WS_VISIBLE, WS_CAPTION, WS_SYSMENU = 0x80000000, 0x10000000, 0x00C00000, 0x00080000
WS_GROUP, WS_TABSTOP = 0x00020000, 0x00010000
DS_MODALFRAME, DS_SETFONT, WS_EX_APPWINDOW = 0x80, 0x40, 0x00040000
CBS_DROPDOWN, CBS_SORT, CBS_HASSTRINGS = 0x2, 0x100, 0x200
BS_DEFPUSHBUTTON, ES_AUTOHSCROLL, ES_READONLY, WS_BORDER = 0x1, 0x80, 0x800, 0x00800000

WINE_START_S = 60          # a Wine program start, generously
UPDATE_S = 120             # one whole update of the built-in image


def unescape(text):
    """Undoes the driver's escaping (\\n, \\r, \\\\, \\xNN)."""
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            if n == "n":
                out.append("\n")
            elif n == "r":
                out.append("\r")
            elif n == "x":
                out.append(chr(int(text[i + 2:i + 4], 16)))
                i += 2
            else:
                out.append(n)
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def port_name(n):
    return "\\\\.\\com%d" % n


class Session(Scoped):
    """The suite's Wine and display, the program and the ports this case maps."""

    def __init__(self, args, name):
        self.args = args
        self.name = name
        self.dir = os.path.join(args.work, "runs", name)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        self.log = open(os.path.join(self.dir, "log.txt"), "w")
        self.processes = []
        self.sims = []
        self.ptys = []
        self.wine = None
        self.program = None
        self.trace_path = os.path.join(self.dir, "trace.txt")
        self.env = None

    # --- set-up and clean-up ---------------------------------------------

    def note(self, text):
        self.log.write(text.rstrip("\n") + "\n")
        self.log.flush()

    def spawn(self, command, **options):
        options.setdefault("stdin", subprocess.DEVNULL)
        options.setdefault("stdout", self.log)
        options.setdefault("stderr", self.log)
        process = start(command, **options)
        self.processes.append(process)
        return process

    def start(self):
        self.wine = SuiteWine()
        self.env, self.display = self.wine.env, self.wine.display
        # This case's ports, cleared of what a killed run left.
        for n in (3, 5):
            self.wine.claim("com%d" % n)
        self.note("prefix %s on %s, com ports: %s" % (self.wine.prefix, self.display, self.mapped_ports()))

    def close(self):
        for sim in self.sims:
            sim.kill()
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
                reap(process, grace=10)
        for line in self.ptys:
            line.close()
        if self.wine is not None:
            self.wine.close()
        self.log.close()

    # --- ports ---------------------------------------------------------------

    def dosdevice(self, n):
        return self.wine.dosdevice("com%d" % n)

    def mapped_ports(self):
        """The ports a program of this prefix can open now, in probe order."""
        found = []
        for n in range(1, 999):
            path = self.dosdevice(n)
            if not os.path.islink(path):
                continue
            try:
                os.close(os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY))
            except OSError:
                continue
            found.append(n)
        return found

    def map_plain_pty(self, n):
        """A pseudo-terminal with nothing behind it: a port, but no device."""
        line = Pty(raw=False, keep_port=False)
        self.ptys.append(line)
        os.symlink(line.path, self.dosdevice(n))

    def start_device(self, n, *options):
        """The virtual QDM7 on a pseudo-terminal mapped as comN, unpaced."""
        sim = self.args.sim
        check(os.access(sim, os.X_OK), "no simulator at %s (the build makes it: target qdm7-host-tools)" % sim)
        self.dump_path = os.path.join(self.dir, "flash.bin")
        self.device = Sim(sim, ["--link", self.dosdevice(n), "--baud", "0", "--dump", self.dump_path, *options],
                          stderr=self.log, ready_s=20)
        self.sims.append(self.device)
        self.note("device on com%d: READY %s" % (n, self.device.port))
        return self.device

    def stop_device(self):
        """Ends the device cleanly (it then writes its flash dump)."""
        code = self.device.stop(signal.SIGINT, timeout=20)
        self.note("device: %s" % self.device.output.strip())
        check(code == 0, "simulator exit code %d" % code)
        with open(self.dump_path, "rb") as dump:
            return dump.read()

    # --- the program and the driver --------------------------------------

    def start_program(self):
        self.trace_file = open(self.trace_path, "wb")
        self.program = self.spawn(["wine", self.args.exe], env=self.env, stdout=self.trace_file)

    def wait_program(self):
        code = wait(self.program, WINE_START_S)
        self.trace_file.close()
        return code

    def trace(self):
        with open(self.trace_path, "rb") as f:
            return f.read().decode("latin-1").replace("\r\n", "\n")

    def drive(self, *commands, timeout=UPDATE_S):
        status, out, err, _ = run(["wine", self.args.driver, *commands], timeout + WINE_START_S, self.env)
        self.note(out)
        self.note(err)
        check(status == 0, "driver %s failed: %s" % (" ".join(commands), err.strip()))
        return out

    def screenshot(self, name):
        """The dialog as it looks now, cut from the virtual screen."""
        rect = [int(v) for v in self.drive("wait-window:1000", "dump")
                .split("\nrect ", 1)[1].split("\n", 1)[0].split()]
        width, height = rect[2] - rect[0], rect[3] - rect[1]
        path = os.path.join(self.args.work, name + ".png")
        subprocess.run(["import", "-display", self.display, "-window", "root",
                        "-crop", "%dx%d+%d+%d" % (width, height, rect[0], rect[1]), "+repage",
                        path], check=True, stdout=self.log, stderr=self.log)
        check(os.path.getsize(path) > 0, "empty screenshot")
        self.note("screenshot %s" % path)


def parse_dump(out):
    """The driver's dump as a dictionary of its parts."""
    view = {"controls": [], "items": []}
    for line in out.splitlines():
        kind, _, rest = line.partition(" ")
        if kind == "caption":
            view["caption"] = unescape(rest)
        elif kind == "class":
            view["class"] = rest
        elif kind == "style":
            view["style"], view["ex_style"] = (int(v, 16) for v in rest.split())
        elif kind == "client":
            view["client"] = tuple(int(v) for v in rest.split())
        elif kind == "control":
            fields = (rest.split(" ", 8) + [""])[:9]
            ident, cls, style, ex_style, text = fields[0], fields[1], fields[2], fields[3], fields[8]
            view["controls"].append((int(ident), cls.lower(), int(style, 16),
                                     int(ex_style, 16), unescape(text)))
            view.setdefault("boxes", []).append(tuple(int(v) for v in fields[4:8]))
        elif kind == "item":
            view["items"].append(unescape(rest.split(" ", 1)[1]))
        elif kind == "selected":
            view["selected"] = int(rest)
    return view


def statuses(out):
    return [unescape(line[len("status "):]) for line in out.splitlines()
            if line.startswith("status ")]


def padded_image(args):
    with open(args.image, "rb") as f:
        return padded(f.read())


def has_styles(style, wanted):
    return style & wanted == wanted


def passes_through(seen, wanted):
    """True when seen holds texts matching each pattern of wanted, in order."""
    position = 0
    for pattern in wanted:
        while position < len(seen) and not re.fullmatch(pattern, seen[position]):
            position += 1
        if position == len(seen):
            return False
        position += 1
    return True


def check_update_trace(trace, image_size, runs=1):
    """The trace lines of complete update runs, in order."""
    blocks = image_size // BLOCK
    lines = trace.split("\n")
    check(lines[0] == "Running on windows version: a00", "first trace line: %r" % lines[0])
    check("\nFlash Image Base 0x8008000\nFlash Image Size %#x bytes\n" % image_size in trace,
          "image lines missing from the trace")
    opening = " . Opening serial port \\\\.\\com3 at 921600 baud"
    check(lines.count(opening) >= runs, "opening line missing")
    check(trace.count("REMOTE DEVICE LINK ESTABLISHED\n") >= runs, "link line missing")
    for n in range(blocks):
        line = program_line(n)
        check(trace.count(line + "\n") >= runs, "missing or garbled: %r" % line)
    check(trace.count(verifying_line(image_size) + "\n") >= runs, "verifying line")
    check(trace.count("CRCs match\n") == runs, "CRCs match line")
    check(trace.count("Resetting target\n") == runs, "resetting line")
    check(re.search(r"Remote CRC (0x[0-9a-f]+)\nLocal  CRC \1\nCRCs match\n", trace),
          "CRC lines")


# The template's layout in dialog units: the client area, then each control
# in tab order (x, y, width, height; the port list's height is that of its
# drop-down, so it is not compared).
DIALOG_UNITS = (347, 185)
CONTROL_UNITS = [(109, 133, 56, None), (173, 133, 100, 14), (109, 156, 100, 14),
                 (13, 7, 314, 57), (13, 66, 301, 27), (12, 94, 295, 17)]


def check_layout(view):
    """Every position and size is the template's, in one pair of dialog base
    units (as the dialog manager converts them: units * base / 4 or / 8)."""
    base_x = round(view["client"][0] * 4 / DIALOG_UNITS[0])
    base_y = round(view["client"][1] * 8 / DIALOG_UNITS[1])

    def near(pixels, units, base, divisor):
        return units is None or abs(pixels - units * base / divisor) <= 1

    check(near(view["client"][1], DIALOG_UNITS[1], base_y, 8), "client size %s" % (view["client"],))
    for box, units in zip(view["boxes"], CONTROL_UNITS):
        fits = (near(box[0], units[0], base_x, 4) and near(box[1], units[1], base_y, 8) and
                near(box[2], units[2], base_x, 4) and near(box[3], units[3], base_y, 8))
        check(fits, "control at %s px, template %s units (base units %d, %d)"
              % (box, units, base_x, base_y))


def open_dialog(s):
    """Waits for the dialog and returns what it shows."""
    return parse_dump(s.drive("wait-window:%d" % (WINE_START_S * 1000), "dump"))


def select_port(view, n):
    """The driver command that selects comN in the list the dialog shows."""
    check(port_name(n) in view["items"], "com%d not listed: %s" % (n, view["items"]))
    return "select:%d" % view["items"].index(port_name(n))


def full_update_statuses(seen):
    return passes_through(seen, [r"Contacting Device\.\.\.", r"programming 0x8008000",
                                 r"programming 0x[0-9a-f]+", r"Verifying\.\.\.",
                                 r"Programming Completed"])


# --- the cases ----------------------------------------------------------------

def case_imports(args):
    """One PE32 GUI program for i386 that needs only system DLLs."""
    objdump = args.objdump or "i686-w64-mingw32-objdump"
    out = subprocess.run([objdump, "-p", args.exe], check=True, capture_output=True,
                         text=True).stdout
    check("file format pei-i386" in out, "not an i386 PE file")
    check(re.search(r"^Magic\s+010b\s+\(PE32\)", out, re.M), "not PE32")
    check(re.search(r"^Subsystem\s+00000002\s+\(Windows GUI\)", out, re.M), "not a GUI program")
    dlls = [d.upper() for d in re.findall(r"DLL Name: (\S+)", out)]
    check(dlls, "no imports found")
    system = {"KERNEL32.DLL", "USER32.DLL", "GDI32.DLL", "MSVCRT.DLL", "ADVAPI32.DLL",
              "SHELL32.DLL", "COMCTL32.DLL", "NTDLL.DLL"}
    check(set(dlls) <= system, "imports beyond the system DLLs: %s" % sorted(set(dlls) - system))
    with open(args.exe, "rb") as f:
        program = f.read()
    check(b'<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' in program,
          "manifest missing")
    print("imports:", ", ".join(dlls))


def case_startup(args):
    """What the user sees first, and a clean close."""
    with Session(args, "startup") as s:
        # Wine maps this machine's own serial ports too (com1 for /dev/ttyS0);
        # they are listed like any other.
        s.map_plain_pty(3)
        s.map_plain_pty(5)
        expected = [port_name(n) for n in s.mapped_ports()]
        check(port_name(3) in expected and port_name(5) in expected, "mapping failed")
        s.start_program()
        view = parse_dump(s.drive("wait-window:%d" % (WINE_START_S * 1000), "dump"))
        check(view["caption"] == CAPTION, "caption %r" % view["caption"])
        check(view["class"].upper() == "PCF", "window class %r" % view["class"])
        check(has_styles(view["style"], WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU |
                         DS_MODALFRAME | DS_SETFONT), "dialog style %#x" % view["style"])
        check(has_styles(view["ex_style"], WS_EX_APPWINDOW), "dialog ex style")

        controls = view["controls"]
        check([c[0] for c in controls] == [3, 4, 5, -1, -1, -1],
              "controls in tab order: %s" % [c[0] for c in controls])
        combo, button, status = controls[0], controls[1], controls[2]
        check(combo[1] == "combobox" and has_styles(combo[2], CBS_DROPDOWN | CBS_HASSTRINGS |
              WS_TABSTOP) and not combo[2] & CBS_SORT, "port list %s" % (combo,))
        check(button[1] == "button" and has_styles(button[2], BS_DEFPUSHBUTTON | WS_TABSTOP)
              and button[4] == "Update Firmware", "button %s" % (button,))
        check(status[1] == "edit" and has_styles(status[2], ES_READONLY | ES_AUTOHSCROLL |
              WS_TABSTOP) and not status[2] & WS_BORDER, "status field %s" % (status,))
        check(status[4] == " - Idle - ", "status %r" % status[4])
        texts = [c[4] for c in controls[3:]]
        for shown, wanted in zip(texts, INSTRUCTIONS):
            check(shown == wanted, "instruction text %r, wanted %r" % (shown, wanted))
        check(all(c[1] == "static" and has_styles(c[2], WS_GROUP) for c in controls[3:]),
              "instruction styles")

        check_layout(view)
        check(view["items"] == expected, "port list %s, wanted %s" % (view["items"], expected))
        check(view["selected"] == 0, "selection %d" % view["selected"])
        s.screenshot("dialog-idle")

        s.drive("close", "wait-gone:10000")
        code = s.wait_program()
        check(code == 0, "exit code %d after close" % code)
        # A program built with the generated sample image says so, once.
        image_lines = ("Running on windows version: a00\n\nFlash Image Base 0x8008000\n"
                       "Flash Image Size %#x bytes\n" % len(padded_image(args)))
        sample_line = "Firmware image: sample image (not a release)\n"
        trace = s.trace()
        check(trace.startswith(image_lines + (sample_line if args.sample_image else "")),
              "trace %r" % trace[:200])
        check(trace.count(sample_line) == (1 if args.sample_image else 0), "sample image line")


def case_update(args):
    """The main road: one whole update of the built-in image."""
    image = padded_image(args)
    with Session(args, "update") as s:
        s.start_device(3)
        s.start_program()
        view = open_dialog(s)
        out = s.drive(select_port(view, 3), "click",
                      "wait-status:%d:Programming Completed" % (UPDATE_S * 1000))
        seen = statuses(out)
        check(full_update_statuses(seen), "statuses seen: %s" % seen)
        # Each of these is replaced within the timer message that sets it.
        check("Program Verified OK" not in seen and "Programming Completed OK" not in seen,
              "a passing status stayed up: %s" % seen)
        s.screenshot("dialog-completed")
        s.drive("close", "wait-gone:10000")
        check(s.wait_program() == 0, "exit code after close")
        flash = s.stop_device()
        check(flash == image, "flash (%d bytes) differs from the padded image (%d bytes)"
              % (len(flash), len(image)))
        check_update_trace(s.trace(), len(image))


def case_power_cycle(args):
    """Button first, then the device comes up a second later."""
    image = padded_image(args)
    with Session(args, "power_cycle") as s:
        s.start_device(3, "--power-on-after", "1000")
        s.start_program()
        out = s.drive(select_port(open_dialog(s), 3), "click",
                      "wait-status:%d:Programming Completed" % (UPDATE_S * 1000))
        seen = statuses(out)
        check(passes_through(seen, [r"Contacting Device\.\.\.", r"Establishing Link\.\.\.",
                                    r"programming 0x8008000", r"Programming Completed"]),
              "statuses seen: %s" % seen)
        s.drive("close", "wait-gone:10000")
        check(s.wait_program() == 0, "exit code after close")
        check(s.stop_device() == image, "flash differs from the padded image")
        trace = s.trace()
        contacts = trace.split("REMOTE DEVICE LINK ESTABLISHED")[0].count("CONTACTING...\n")
        check(contacts >= 3, "only %d contact queries while the device was off" % contacts)
        check_update_trace(trace, len(image))


def case_press_again(args):
    """A press during an update restarts it; a press after completion runs
    it all again."""
    image = padded_image(args)
    with Session(args, "press_again") as s:
        # Slow enough programming that the second press lands mid-update.
        s.start_device(3, "--program-ms", "30")
        s.start_program()
        fourth_block = "programming %#x" % (FLASH_BASE + 3 * BLOCK)
        out = s.drive(select_port(open_dialog(s), 3), "click",
                      "wait-status:%d:%s" % (UPDATE_S * 1000, fourth_block), "click",
                      "wait-status:%d:Programming Completed" % (UPDATE_S * 1000))
        seen = statuses(out)
        restart = seen.index(fourth_block)
        check("Verifying..." not in seen[:restart], "verified before the restart")
        check(full_update_statuses(seen[restart:]), "after the second press: %s" % seen[restart:])

        out = s.drive("wait-window:1000", "click", "wait-status:%d:Contacting Device..." %
                      (UPDATE_S * 1000), "wait-status:%d:Programming Completed" % (UPDATE_S * 1000))
        check(full_update_statuses(statuses(out)), "third run: %s" % statuses(out))
        s.drive("close", "wait-gone:10000")
        check(s.wait_program() == 0, "exit code after close")
        check(s.stop_device() == image, "flash differs from the padded image")

        trace = s.trace()
        first_verify = trace.index("Verifying address")
        check(trace[:first_verify].count(" . Opening serial port") == 2, "port not reopened")
        check(trace[:first_verify].count("PROG ADDR 0x8008000,") == 2,
              "the update did not start again from the first block")
        check(trace.count(" . Opening serial port") == 3, "three opens")
        check_update_trace(trace, len(image), runs=2)


def case_flipped_bit(args):
    """A bit flipped in flash: FAILED, nothing more until a second press,
    which runs the update again."""
    image = padded_image(args)
    with Session(args, "flipped_bit") as s:
        s.start_device(3, "--fault", "flip:count=1")
        s.start_program()
        out = s.drive(select_port(open_dialog(s), 3), "click",
                      "wait-status:%d:FAILED" % (UPDATE_S * 1000), "watch-status:2000")
        seen = statuses(out)
        check(seen[-1] == "FAILED" and "Programming Completed" not in seen,
              "statuses seen: %s" % seen)

        out = s.drive("wait-window:1000", "click",
                      "wait-status:%d:Programming Completed" % (UPDATE_S * 1000))
        check(full_update_statuses(statuses(out)), "second run: %s" % statuses(out))
        s.drive("close", "wait-gone:10000")
        check(s.wait_program() == 0, "exit code after close")
        check(s.stop_device() == image, "flash differs from the padded image")

        trace = s.trace()
        failed_run, _, second_run = trace.partition("CRC FAIL\n")
        check(second_run, "no CRC FAIL in the trace")
        check("Resetting target" not in failed_run, "reset after a failed verification")
        # While failed, the timer ticks on but nothing is sent or traced.
        check(second_run.startswith(" . Opening serial port"),
              "trace after the failure: %r" % second_run[:200])
        check_update_trace(trace, len(image))


def expect_fatal_open(s, commands):
    """Press the button; the program must end through the fatal error."""
    out = s.drive("wait-window:1000", *commands, "click", "wait-box:%d" % (WINE_START_S * 1000))
    boxes = [unescape(line[4:]) for line in out.splitlines() if line.startswith("box ")]
    check(len(boxes) == 1, "message box texts: %s" % boxes)
    match = FATAL_OPEN_TEXT.fullmatch(boxes[0])
    check(match and match.group(2).strip(), "fatal text %r" % boxes[0])
    check("box-owner dialog" in out, "the box is not owned by the dialog")
    s.drive("wait-box:1000", "ok")
    code = s.wait_program()
    check(code == 1, "exit code %d after a fatal error" % code)
    return boxes[0]


def case_fatal_no_ports(args):
    """With no port to open, the press ends the program."""
    with Session(args, "fatal_no_ports") as s:
        s.start_program()
        view = open_dialog(s)
        if view["items"]:
            # Ports that Wine found on this machine (com1 for /dev/ttyS0) stay
            # openable even without their dosdevices link, so the list cannot
            # be emptied here. Nothing selected is the same case for the
            # program: the empty path, as when the user types into the box.
            print("note: Wine lists this machine's own ports %s; pressing with nothing "
                  "selected instead of an empty list" % view["items"])
            commands = ["select:-1"]
        else:
            check(view["selected"] == -1, "selection %d in an empty list" % view["selected"])
            commands = []
        expect_fatal_open(s, commands)
        check(" . Opening serial port  at 921600 baud\n" in s.trace(), "opening line")


def case_fatal_port_vanished(args):
    """A port listed at start-up but gone when the button is pressed. (Under
    Wine a port held by another program still opens, so a vanished port is
    the way to reach the same failure.)"""
    with Session(args, "fatal_port_vanished") as s:
        s.map_plain_pty(3)
        s.start_program()
        select = select_port(open_dialog(s), 3)
        os.unlink(s.dosdevice(3))
        text = expect_fatal_open(s, [select])
        print(text)
        check(" . Opening serial port \\\\.\\com3 at 921600 baud\n" in s.trace(), "opening line")


CASES = {name[len("case_"):]: f for name, f in globals().items() if name.startswith("case_")}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--driver", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--image", required=True)
    parser.add_argument("--objdump", default="")
    parser.add_argument("--sample-image", type=int, choices=(0, 1), default=0,
                        help="1: the program carries the generated sample image")
    parser.add_argument("--work", required=True)
    parser.add_argument("case", choices=sorted(CASES))
    args = parser.parse_args()
    # Wine wants absolute paths (WINEPREFIX in particular).
    for name in ("exe", "driver", "sim", "image", "work"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    # A stop from CTest (time-out) or the user still cleans up.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("stopped"))
    try:
        CASES[args.case](args)
    except Failure as failure:
        print("FAILED: %s (log: %s)" % (failure, os.path.join(args.work, "runs", args.case)))
        return 1
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
