#!/usr/bin/env python3
"""Where the Windows programs run: Wine, on this machine when its kernel
runs 32-bit programs, else in a QEMU guest that boots the installed kernel
(which does) over this machine's own root file system.

    winehost.py mode [--name]        which, and why, in one line
    winehost.py up [--share DIR]...  boots the guest (if it is the guest) and
                                     starts the suite's Wine: prefix, server,
                                     X display
    winehost.py down                 ends both
    winehost.py run -- COMMAND...    COMMAND where Wine runs, its output and
                                     exit status passed through
    winehost.py wine PROGRAM ARGS... a Windows program under the suite's Wine
    winehost.py session [--shell]    the suite's Wine (made if need be): its
                                     prefix and display

QDM7_WINE=direct or QDM7_WINE=guest forces either way; unset (or auto), a
start of Wine's 32-bit loader decides.

The guest: QEMU (TCG) boots /boot/vmlinuz-* from an initramfs made here
(guest.py) that mounts this machine's root over virtio-9p, read-only under
a tmpfs layer, each shared folder (the source tree, and any --share) writable
at its own path, and runs this file's agent there, chrooted. A broker on
this machine (this file's serve) owns QEMU and the agent's virtio-serial
channel and takes commands from any number of clients on a Unix socket, so
that one guest serves a whole test suite. A client that goes away has its
command killed. Nothing is compiled in the guest: builds happen here, and
the guest runs what they made.
"""
import argparse
import base64
import fcntl
import hashlib
import json
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
SOURCE = HERE.parent.parent
sys.dont_write_bytecode = True  # nothing written into the source tree

WINE32_LOADER = "/usr/lib/wine/wine"
CHANNEL = "qdm7.agent"
# Set by the agent for every command it runs, and by run where Wine runs
# here: a command so marked is not sent on again.
HERE_MARK = "QDM7_WINE_HERE"
# virtio, 9p over virtio, and overlayfs, with what modules.dep adds.
GUEST_MODULES = ["virtio_pci", "virtio_console", "9pnet_virtio", "9p", "overlay"]
# Wine with its services and an X server, two programs at a time: 6 GiB is
# ample. Two virtual CPUs on TCG's threads use both of this machine's cores.
GUEST_MEMORY_MB = 6144
GUEST_CPUS = 2
BOOT_S = 180
# A guest that no client has used for this long ends by itself (a test run
# that was killed before its clean-up).
IDLE_S = 1800
# Wine's server stays this long after its last program: long enough to
# span a suite, short enough not to linger after one that was killed.
SERVER_PERSIST_S = 900
WINE_ENV = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}


class HostError(Exception):
    """A failure to say to the person running the command, as it stands."""


# --- Where Wine runs -----------------------------------------------------------------------------

def decide():
    """("direct" or "guest", why), by QDM7_WINE or by trying."""
    if os.environ.get(HERE_MARK) == "1":
        return "direct", "inside the Wine guest"
    forced = os.environ.get("QDM7_WINE", "auto").strip().lower()
    if forced in ("direct", "guest"):
        return forced, f"forced by QDM7_WINE={forced}"
    if forced not in ("", "auto"):
        raise HostError(f"QDM7_WINE={forced!r}: use direct, guest or auto")
    try:
        tried = subprocess.run([WINE32_LOADER, "--version"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, timeout=60)
        if tried.returncode == 0:
            return "direct", "this kernel runs 32-bit programs"
        why = tried.stderr.decode(errors="replace").strip().splitlines()[-1:] or [f"exit {tried.returncode}"]
    except OSError as error:
        if not os.path.exists(WINE32_LOADER):
            raise HostError(f"no {WINE32_LOADER}: install wine32 (bash scripts/install-deps.sh)")
        why = [error.strerror or str(error)]
    return "guest", f"this kernel runs no 32-bit programs ({WINE32_LOADER}: {why[0]})"


def mode_line(mode, why):
    where = "directly on this machine" if mode == "direct" else "in a QEMU guest"
    return f"Windows programs run under Wine {where}: {why} (QDM7_WINE=direct|guest forces either)"


# --- The suite's Wine: one prefix, one server, one X display ------------------------------------

def suite_prefix():
    """The prefix every Windows test shares: the caller's WINEPREFIX, or one
    per user in the temporary folder (in the guest, its own tmpfs: a prefix
    on 9p does not work)."""
    return os.environ.get("WINEPREFIX") or os.path.join(os.environ.get("TMPDIR") or "/tmp",
                                                        f"qdm7-wine-{os.getuid()}")


def wine_env(prefix, display=None):
    env = dict(os.environ, WINEPREFIX=prefix, **WINE_ENV)
    for name in ("DISPLAY", "WAYLAND_DISPLAY"):
        env.pop(name, None)
    if display:
        env["DISPLAY"] = display
    return env


def _quietly(command, env, timeout):
    """Runs a Wine tool whose server or services outlive it: none of our
    descriptors go with it."""
    try:
        return subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=timeout, close_fds=True).returncode
    except subprocess.TimeoutExpired:
        return f"a time-out of {timeout} s"


def _alive(pid):
    try:
        os.kill(pid, 0)
    except (ProcessLookupError, TypeError):
        return False
    except PermissionError:
        return True
    # A zombie is not alive.
    try:
        return Path(f"/proc/{pid}/stat").read_text().split(")")[-1].split()[0] != "Z"
    except OSError:
        return False


class Session:
    """The suite's Wine, as session() made or found it."""

    def __init__(self, prefix, display):
        self.prefix, self.display = prefix, display
        self.env = wine_env(prefix, display)

    def dosdevice(self, name):
        return os.path.join(self.prefix, "dosdevices", name)


def _start_display(state):
    read_end, write_end = os.pipe()
    log = open(state + ".xvfb.log", "wb")
    # Not -terminate: a console program's brief connection would end it.
    # It ends with the session (end_session), or with the guest; one left by
    # a killed run is found and used again.
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "800x600x24",
                             "-nolisten", "tcp"], stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                            pass_fds=(write_end,), start_new_session=True)
    os.close(write_end)
    number = b""
    deadline = time.monotonic() + 60
    while not number.endswith(b"\n"):
        ready, _, _ = select.select([read_end], [], [], max(0, deadline - time.monotonic()))
        chunk = os.read(read_end, 16) if ready else b""
        if not chunk:
            xvfb.kill()
            raise HostError(f"Xvfb did not start: {Path(state + '.xvfb.log').read_text(errors='replace')[-500:]}")
        number += chunk
    os.close(read_end)
    return xvfb.pid, ":" + number.decode().strip()


def session():
    """The suite's Wine, made if need be: the prefix (booted once), an X
    display, and the prefix's server started on it with its services
    (which map com1 for a /dev/ttyS0), persistent so that each program pays
    only a warm start. Safe to call from parallel tests."""
    prefix = suite_prefix()
    os.makedirs(os.path.dirname(prefix), exist_ok=True)
    state = prefix + ".session"
    with open(prefix + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            known = json.loads(Path(state).read_text())
            if _alive(known["xvfb"]) and os.path.exists(os.path.join(prefix, "system.reg")):
                return Session(prefix, known["display"])
        except (OSError, ValueError, KeyError):
            pass
        if not os.path.exists(os.path.join(prefix, "system.reg")):
            shutil.rmtree(prefix, ignore_errors=True)
            status = _quietly(["wineboot", "-i"], wine_env(prefix), 600)
            if status != 0:
                raise HostError(f"making the Wine prefix {prefix}: wineboot -i ended with {status}")
        # The boot's own server, or one left from a session whose display has
        # gone, would keep its old display and refuse a persistent one.
        _quietly(["wineserver", "-k"], wine_env(prefix), 60)
        _quietly(["wineserver", "-w"], wine_env(prefix), 60)
        xvfb, display = _start_display(state)
        env = wine_env(prefix, display)
        _quietly(["wineserver", f"-p{SERVER_PERSIST_S}"], env, 60)
        status = _quietly(["wine", "cmd", "/c", "exit"], env, 300)
        if status != 0:
            os.kill(xvfb, signal.SIGTERM)
            raise HostError(f"starting Wine's services in {prefix}: wine cmd /c exit ended with {status}")
        Path(state).write_text(json.dumps({"display": display, "xvfb": xvfb}))
        return Session(prefix, display)


def end_session():
    """Ends the suite's server, its programs and its display; the prefix stays."""
    prefix = suite_prefix()
    state = prefix + ".session"
    with open(prefix + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        _quietly(["wineserver", "-k"], wine_env(prefix), 60)
        _quietly(["wineserver", "-w"], wine_env(prefix), 60)
        try:
            os.kill(json.loads(Path(state).read_text())["xvfb"], signal.SIGTERM)
        except (OSError, ValueError, KeyError):
            pass
        try:
            os.unlink(state)
        except FileNotFoundError:
            pass


# --- Messages: one JSON object a line ------------------------------------------------------------

def encode(message):
    return (json.dumps(message, separators=(",", ":")) + "\n").encode()


def chunk_message(ident, stream, data):
    return {"id": ident, stream: base64.b64encode(data).decode()}


class Lines:
    """Splits a byte stream into JSON messages."""

    def __init__(self):
        self.pending = b""

    def feed(self, data):
        self.pending += data
        *lines, self.pending = self.pending.split(b"\n")
        return [json.loads(line) for line in lines if line.strip()]


# --- The guest's side: the agent -------------------------------------------------------------------

def _channel_device():
    for port in Path("/sys/class/virtio-ports").glob("*"):
        try:
            if (port / "name").read_text().strip() == CHANNEL:
                return f"/dev/{port.name}"
        except OSError:
            continue
    raise HostError(f"no virtio port named {CHANNEL}")


def agent():
    """Runs the broker's commands, each in a session of its own, streaming
    their output back; after each ends, the shared folders are synced so
    that this machine sees what the command wrote."""
    fd = os.open(_channel_device(), os.O_RDWR)
    sending = threading.Lock()
    running = {}

    def send(message):
        data = encode(message)
        with sending:
            while data:
                data = data[os.write(fd, data):]

    def pump(ident, stream, pipe):
        for data in iter(lambda: os.read(pipe.fileno(), 65536), b""):
            send(chunk_message(ident, stream, data))

    def run(ident, request):
        env = dict(request.get("env") or {}, **{HERE_MARK: "1"})
        try:
            proc = subprocess.Popen(request["argv"], cwd=request.get("cwd") or "/", env=env,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    start_new_session=True)
        except OSError as error:
            send(chunk_message(ident, "err", f"winehost: cannot start {request['argv'][0]} in the guest: "
                                             f"{error}\n".encode()))
            send({"id": ident, "exit": 127})
            return
        running[ident] = proc
        pumps = [threading.Thread(target=pump, args=(ident, name, pipe), daemon=True)
                 for name, pipe in (("out", proc.stdout), ("err", proc.stderr))]
        for thread in pumps:
            thread.start()
        status = proc.wait()
        # A daemon the command started may hold its pipes: what came so far.
        for thread in pumps:
            thread.join(2)
        running.pop(ident, None)
        os.sync()
        send({"id": ident, "exit": status if status >= 0 else 128 - status})

    lines = Lines()
    while True:
        data = os.read(fd, 65536)
        if not data:
            # No broker connected yet.
            time.sleep(0.1)
            continue
        for message in lines.feed(data):
            op = message.get("op")
            if op == "hello":
                send({"op": "ready", "kernel": os.uname().release})
            elif op == "run":
                threading.Thread(target=run, args=(message["id"], message), daemon=True).start()
            elif op == "signal":
                proc = running.get(message["id"])
                if proc:
                    try:
                        os.killpg(proc.pid, message.get("signal", signal.SIGKILL))
                    except OSError:
                        pass
            elif op == "poweroff":
                for proc in list(running.values()):
                    try:
                        os.killpg(proc.pid, signal.SIGKILL)
                    except OSError:
                        pass
                os.sync()
                send({"op": "bye"})
                return 0


# --- This machine's side: the broker ---------------------------------------------------------------

def state_dir():
    """Sockets and logs of the guest that serves this source tree, outside it
    (a socket path must be short)."""
    tag = hashlib.sha1(str(SOURCE).encode()).hexdigest()[:10]
    return Path(os.environ.get("TMPDIR") or "/tmp") / f"qdm7-winehost-{os.getuid()}-{tag}"


INIT = r"""#!/bin/busybox sh
# PID 1 of the Wine guest: mounts this machine's root read-only under a tmpfs
# layer, the shared folders writable at their own paths, and the file
# systems Wine needs, then runs the agent chrooted there. A failure is said
# on the console ("@@guest fatal") and the guest powers off, which ends QEMU.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
dmesg -n 1
fail() { echo "@@guest fatal $*"; sync; poweroff -f; }
for module in $(cat /etc/guest/modules); do
  insmod "/lib/modules/$module.ko" || fail "cannot load $module"
done
@ROOT_MOUNT@
# After those: a shared folder may lie below /tmp.
while read -r tag path; do
  mkdir -p "/new$path" && mount -t 9p -o "$nine" "$tag" "/new$path" || fail "cannot mount $path"
done </etc/guest/shares
hostname qdm7-wine-guest
echo "@@guest up"
chroot /new /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
  LANG=C.UTF-8 /usr/bin/python3 -B "$(cat /etc/guest/agent)" agent
echo "@@guest agent ended with status $?"
sync
poweroff -f
"""


class Broker:
    """QEMU, the agent's channel, and the clients' socket."""

    def __init__(self, state, shares, idle_s):
        self.state, self.shares, self.idle_s = state, shares, idle_s
        self.lock = threading.Lock()
        self.clients = {}          # command id -> client socket
        self.connected = 0
        self.last_use = time.monotonic()
        self.next_id = 0
        self.ready = threading.Event()
        self.kernel = None
        self.failure = None
        self.ended = threading.Event()
        self.channel = None
        self.qemu = None
        self.started = time.monotonic()
        self.booted_s = None

    def boot(self):
        import guest  # noqa: E402 (beside this file)
        kernel, module_dir = guest.find_kernel()
        initramfs = self.state / "initramfs.cpio"
        share_lines = "".join(f"share{n} {path}\n" for n, path in enumerate(self.shares))
        guest.build_initramfs(initramfs, module_dir, GUEST_MODULES, {
            "init": (INIT.replace("@ROOT_MOUNT@\n", guest.ROOT_MOUNT_SH).encode(), 0o755),
            "etc/guest/shares": (share_lines.encode(), 0o644),
            "etc/guest/agent": (str(Path(__file__).resolve()).encode(), 0o644),
        }, "etc/guest/modules")
        # One serial port, the console: the kernel's other legacy ttyS
        # devices, with no UART behind them, would open, and Wine would list
        # them as COM ports that fail at first use.
        command = guest.qemu_command(kernel, initramfs, GUEST_MEMORY_MB, GUEST_CPUS,
                                     "console=ttyS0 8250.nr_uarts=1 quiet panic=-1")
        command += ["-serial", "stdio",
                    *guest.ROOT_SHARE]
        for n, path in enumerate(self.shares):
            command += ["-virtfs", f"local,path={path},mount_tag=share{n},security_model=none,multidevs=remap"]
        sock = self.state / "agent.sock"
        command += ["-chardev", f"socket,id=agent,path={sock},server=on,wait=off",
                    "-device", "virtio-serial-pci", "-device", f"virtserialport,chardev=agent,name={CHANNEL}"]
        console = open(self.state / "console.log", "wb")
        self.qemu = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=console, stderr=console)
        deadline = time.monotonic() + 30
        while True:
            self.channel = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                self.channel.connect(str(sock))
                break
            except (FileNotFoundError, ConnectionRefusedError):
                self.channel.close()
                if self.qemu.poll() is not None or time.monotonic() > deadline:
                    raise HostError(f"QEMU did not start (status {self.qemu.poll()}):\n{self.console_tail()}")
                time.sleep(0.05)
        threading.Thread(target=self.read_channel, daemon=True).start()
        threading.Thread(target=self.greet, daemon=True).start()
        threading.Thread(target=self.watch_qemu, daemon=True).start()

    def console_tail(self, lines=30):
        try:
            text = (self.state / "console.log").read_text(errors="replace")
        except OSError:
            return ""
        return "\n".join(text.splitlines()[-lines:])

    def greet(self):
        # Until the agent answers: it may not have opened its side yet.
        while not self.ready.is_set() and not self.ended.is_set():
            try:
                self.channel.sendall(encode({"op": "hello"}))
            except OSError:
                return
            self.ready.wait(1)

    def watch_qemu(self):
        status = self.qemu.wait()
        with self.lock:
            if not self.failure:
                self.failure = f"QEMU ended (status {status}):\n{self.console_tail()}"
            waiting = list(self.clients.values())
            self.clients.clear()
        for client in waiting:
            self.tell(client, chunk_message(0, "err", f"winehost: the guest ended: {self.failure}\n".encode()))
            self.tell(client, {"exit": 125})
        self.ended.set()

    def read_channel(self):
        lines = Lines()
        while True:
            try:
                data = self.channel.recv(65536)
            except OSError:
                data = b""
            if not data:
                return
            for message in lines.feed(data):
                if message.get("op") == "ready":
                    self.kernel = message.get("kernel")
                    self.booted_s = time.monotonic() - self.started
                    self.ready.set()
                    continue
                with self.lock:
                    client = self.clients.get(message.get("id"))
                    if "exit" in message:
                        self.clients.pop(message.get("id"), None)
                if client:
                    self.tell(client, message)

    @staticmethod
    def tell(client, message):
        try:
            client.sendall(encode(message))
        except OSError:
            pass

    def send(self, message):
        with self.lock:
            self.channel.sendall(encode(message))

    def serve_client(self, client):
        lines = Lines()
        ident = None
        try:
            while True:
                data = client.recv(65536)
                if not data:
                    break
                for message in lines.feed(data):
                    op = message.get("op")
                    if op == "status":
                        self.tell(client, {"ready": self.ready.is_set(), "kernel": self.kernel,
                                           "failure": self.failure, "booted_s": self.booted_s,
                                           "pid": os.getpid()})
                    elif op == "stop":
                        self.poweroff()
                        self.tell(client, {"stopped": True})
                    elif op == "run" and ident is None:
                        with self.lock:
                            self.next_id += 1
                            ident = self.next_id
                            self.clients[ident] = client
                        message["id"] = ident
                        self.send(message)
                    elif op == "signal" and ident is not None:
                        self.send({"op": "signal", "id": ident, "signal": message.get("signal", 15)})
        except OSError:
            pass
        finally:
            with self.lock:
                gone = self.clients.pop(ident, None) if ident is not None else None
                self.connected -= 1
                self.last_use = time.monotonic()
            if gone is not None:
                # The client went away before its command ended.
                try:
                    self.send({"op": "signal", "id": ident, "signal": signal.SIGKILL})
                except OSError:
                    pass
            client.close()

    def poweroff(self):
        if self.qemu and self.qemu.poll() is None:
            try:
                self.send({"op": "poweroff"})
                self.qemu.wait(30)
            except (OSError, subprocess.TimeoutExpired):
                self.qemu.kill()
                self.qemu.wait()
        self.ended.set()

    def run(self):
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        path = self.state / "broker.sock"
        try:
            path.unlink()
        except FileNotFoundError:
            pass
        listener.bind(str(path))
        listener.listen(16)
        signal.signal(signal.SIGTERM, lambda *_: self.ended.set())
        try:
            self.boot()
            while not self.ended.is_set():
                ready, _, _ = select.select([listener], [], [], 1)
                if ready:
                    client, _ = listener.accept()
                    with self.lock:
                        self.connected += 1
                    threading.Thread(target=self.serve_client, args=(client,), daemon=True).start()
                with self.lock:
                    idle = self.connected == 0 and time.monotonic() - self.last_use > self.idle_s
                if idle:
                    break
        except Exception as error:  # noqa: BLE001 - said in the log, then the socket goes
            self.failure = str(error)
            print(f"winehost: {error}", file=sys.stderr)
        finally:
            listener.close()
            try:
                path.unlink()
            except FileNotFoundError:
                pass
            self.poweroff()


# --- Clients -------------------------------------------------------------------------------------

def _connect(state):
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        sock.connect(str(state / "broker.sock"))
        return sock
    except OSError:
        sock.close()
        return None


def _ask(state, message, timeout=30):
    sock = _connect(state)
    if sock is None:
        return None
    with sock:
        sock.settimeout(timeout)
        sock.sendall(encode(message))
        lines = Lines()
        while True:
            try:
                data = sock.recv(65536)
            except OSError:
                return None
            if not data:
                return None
            replies = lines.feed(data)
            if replies:
                return replies[0]


def _tail(path, size=3000):
    try:
        return path.read_text(errors="replace")[-size:]
    except OSError:
        return ""


def guest_status(state=None):
    return _ask(state or state_dir(), {"op": "status"})


def start_guest(shares=(), idle_s=IDLE_S, fresh=False, say=None):
    """A guest for this source tree, booted if none is up (fresh: always a
    new one); returns its status. Its broker outlives this process."""
    state = state_dir()
    state.mkdir(parents=True, exist_ok=True)
    with open(state / "start.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        status = guest_status(state)
        if status and fresh:
            _ask(state, {"op": "stop"}, 60)
            status = None
        if status and not status.get("failure"):
            return status
        wanted = [str(SOURCE)] + [os.path.realpath(path) for path in shares]
        folders = []
        for path in wanted:
            if not any(path == f or path.startswith(f + "/") for f in folders):
                folders = [f for f in folders if not f.startswith(path + "/")] + [path]
        log = open(state / "broker.log", "wb")
        broker = subprocess.Popen([sys.executable, "-B", str(Path(__file__).resolve()), "serve",
                                   "--idle", str(idle_s), *[x for f in folders for x in ("--share", f)]],
                                  stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True,
                                  close_fds=True)
        deadline = time.monotonic() + BOOT_S
        while True:
            status = guest_status(state)
            if status and status.get("failure"):
                raise HostError(f"the Wine guest failed to start: {status['failure']}")
            if status and status.get("ready"):
                if say:
                    say(f"winehost: guest up in {status['booted_s']:.1f} s (kernel {status['kernel']}), "
                        f"sharing {', '.join(folders)}")
                return status
            if broker.poll() is not None:
                raise HostError(f"the Wine guest failed to start (broker status {broker.returncode}):\n"
                                + _tail(state / "broker.log") + _tail(state / "console.log"))
            if time.monotonic() > deadline:
                broker.kill()
                raise HostError(f"the Wine guest did not come up within {BOOT_S} s:\n" + _tail(state / "console.log"))
            time.sleep(0.2)


def stop_guest():
    state = state_dir()
    reply = _ask(state, {"op": "stop"}, 60)
    return reply is not None


def forward(argv, idle_s=5):
    """Runs argv in the guest (booting one that lasts while it is used, if
    none is up); relays its output; returns its exit status."""
    state = state_dir()
    sock = _connect(state)
    if sock is None:
        start_guest(idle_s=idle_s, say=lambda text: print(text, file=sys.stderr))
        sock = _connect(state)
        if sock is None:
            raise HostError("the Wine guest's broker does not answer")
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY")}
    sock.sendall(encode({"op": "run", "argv": argv, "cwd": os.getcwd(), "env": env}))

    def relay_signal(number, _frame):
        try:
            sock.sendall(encode({"op": "signal", "signal": number}))
        except OSError:
            pass

    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, relay_signal)
    lines = Lines()
    outputs = {"out": sys.stdout.buffer, "err": sys.stderr.buffer}
    while True:
        try:
            data = sock.recv(65536)
        except InterruptedError:
            continue
        if not data:
            print("winehost: the Wine guest went away", file=sys.stderr)
            return 125
        for message in lines.feed(data):
            for stream, target in outputs.items():
                if stream in message:
                    target.write(base64.b64decode(message[stream]))
                    target.flush()
            if "exit" in message:
                return message["exit"]


def run_where_wine_runs(argv):
    """Runs argv here when Wine runs here, else in the guest."""
    mode, _ = decide()
    if mode == "direct":
        os.environ[HERE_MARK] = "1"
        try:
            os.execvp(argv[0], argv)
        except OSError as error:
            raise HostError(f"cannot run {argv[0]}: {error.strerror}")
    return forward(argv)


# --- Command line --------------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="verb", required=True)
    mode = sub.add_parser("mode", help="which, and why, in one line")
    mode.add_argument("--name", action="store_true", help="only which: direct or guest")
    up = sub.add_parser("up", help="the guest (if Wine runs there) and the suite's Wine")
    up.add_argument("--share", action="append", default=[], help="another folder the guest may write in")
    sub.add_parser("down", help="ends the suite's Wine and the guest")
    run = sub.add_parser("run", help="a command where Wine runs")
    run.add_argument("command", nargs=argparse.REMAINDER)
    wine = sub.add_parser("wine", help="a Windows program under the suite's Wine")
    wine.add_argument("command", nargs=argparse.REMAINDER)
    shown = sub.add_parser("session", help="the suite's Wine: prefix and display")
    shown.add_argument("--shell", action="store_true", help="as shell assignments")
    serve = sub.add_parser("serve", help=argparse.SUPPRESS)
    serve.add_argument("--share", action="append", default=[])
    serve.add_argument("--idle", type=float, default=IDLE_S)
    sub.add_parser("agent", help=argparse.SUPPRESS)
    args = parser.parse_args()
    command = getattr(args, "command", None)
    if command and command[0] == "--":
        command = command[1:]

    try:
        if args.verb == "mode":
            print(decide()[0] if args.name else mode_line(*decide()))
            return 0
        if args.verb == "up":
            mode, why = decide()
            print(mode_line(mode, why))
            if mode == "guest":
                start_guest(args.share, fresh=True, say=print)
                sys.stdout.flush()
                return forward([sys.executable, "-B", str(Path(__file__).resolve()), "session"], idle_s=IDLE_S)
            found = session()
            print(f"winehost: Wine prefix {found.prefix}, display {found.display}")
            return 0
        if args.verb == "down":
            if decide()[0] == "guest":
                print("winehost: guest stopped" if stop_guest() else "winehost: no guest was up")
            else:
                end_session()
                print("winehost: Wine's server and display ended")
            return 0
        if args.verb in ("run", "wine"):
            if not command:
                parser.error(f"{args.verb}: nothing to run")
            if args.verb == "wine":
                if decide()[0] == "guest":
                    return forward([sys.executable, "-B", str(Path(__file__).resolve()), "wine", *command])
                found = session()
                os.environ.update(found.env)
                command = ["wine", *command]
            return run_where_wine_runs(command)
        if args.verb == "session":
            found = session()
            if args.shell:
                print(f"export WINEPREFIX='{found.prefix}' DISPLAY='{found.display}'")
            else:
                print(f"winehost: Wine prefix {found.prefix}, display {found.display}")
            return 0
        if args.verb == "serve":
            state = state_dir()
            Broker(state, [str(Path(p)) for p in args.share], args.idle).run()
            return 0
        if args.verb == "agent":
            return agent()
    except HostError as error:
        print(f"winehost: {error}", file=sys.stderr)
        return 1
    return 2


if __name__ == "__main__":
    sys.exit(main())
