#!/usr/bin/python3
"""The browser's side of the page tests, run in the QEMU guest (browser.py
boots it): Debian's Chromium, headless, driven by chromedriver, with the
page served on the guest's own 127.0.0.1 and every serial port granted to
it by policy. It does what this machine's side asks, one JSON object a line
on the channel (a virtio port), and answers each with one line:

    {"op": "open", "url": ..., "width": W, "height": H}   load a page
    {"op": "js", "code": ...}          run code in the page; {"value": its result}
    {"op": "wait", "code": ..., "seconds": S}  until code is truthy; {"value"}
    {"op": "click", "id": ...}         click the element with that id
    {"op": "shot"}                     {"png": base64 of a screenshot}
    {"op": "size", "width": W, "height": H}
    {"op": "unplug"} / {"op": "replug"}  the UART's driver unbound / bound
    {"op": "quit"}

A failure is answered {"error": text}. Before the first command it sends
{"op": "ready", "browser_s": seconds Chromium took to start}.
"""
import base64
import fcntl
import json
import os
import struct
import subprocess
import sys
import time
from pathlib import Path

PORT = 8765
ORIGIN = f"http://127.0.0.1:{PORT}"
CHANNEL = "qdm7.web"
TTY = "/dev/ttyS0"
# The UART's ISA Plug and Play device: unbinding it from its driver takes
# ttyS0 away as pulling a USB adapter takes its port (the open port hangs
# up, udev says it is gone); binding it brings a new one.
PNP_DRIVER = "/sys/bus/pnp/drivers/serial"
# The 8250 driver allows no speed above its port's base rate (115200 for a
# legacy UART): raised, as `setserial baud_base` does, so that the page's
# 921600 baud holds (QEMU's UART is told the same base).
BAUD_BASE = 921600
TIOCGSERIAL, TIOCSSERIAL = 0x541E, 0x541F
BAUD_BASE_OFFSET = 28  # struct serial_struct: seven ints, then baud_base
# Without a session bus, a GPU or a network to speak of: Chromium's start
# under TCG is long, so nothing it does not need is started.
CHROMIUM_FLAGS = [
    "--headless=new", "--no-sandbox", "--disable-gpu", "--in-process-gpu",
    "--enable-features=NetworkServiceInProcess2,NetworkServiceInProcess",
    "--disable-features=Translate,OptimizationHints,MediaRouter",
    "--disable-dev-shm-usage", "--disable-extensions", "--no-first-run", "--disable-background-networking",
    "--disable-component-update", "--disable-default-apps", "--disable-sync", "--mute-audio",
    "--disable-breakpad", "--disable-background-timer-throttling", "--disable-renderer-backgrounding",
]


# Calls the condition (a function body) every 50 ms until it is truthy or the
# time is up, and hands its last value back.
WAIT_IN_PAGE = """
const [body, ms, done] = arguments;
const condition = new Function(body);
const until = performance.now() + ms;
(function poll() {
  let value;
  try { value = condition(); } catch (error) { value = false; }
  if (value || performance.now() > until) done(value || false); else setTimeout(poll, 50);
})();
"""


def say(text):
    print(f"{time.monotonic():9.1f} {text}", flush=True)


def channel():
    for port in Path("/sys/class/virtio-ports").glob("*"):
        if (port / "name").read_text().strip() == CHANNEL:
            return os.open(f"/dev/{port.name}", os.O_RDWR)
    raise SystemExit(f"guest_browser: no virtio port named {CHANNEL}")


def raise_baud_base():
    # Not waiting for a carrier the line has none of.
    tty = os.open(TTY, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        serial = bytearray(128)
        fcntl.ioctl(tty, TIOCGSERIAL, serial)
        struct.pack_into("i", serial, BAUD_BASE_OFFSET, BAUD_BASE)
        fcntl.ioctl(tty, TIOCSSERIAL, serial)
    finally:
        os.close(tty)


def tty_device():
    """The device ttyS0 belongs to now: the UART's PnP device, or, once that
    is unbound, the 8250 driver's placeholder (its legacy platform device,
    which takes the port back with no UART behind it)."""
    return os.path.realpath("/sys/class/tty/ttyS0/device")


def wait_for_device(on_uart, uart, timeout=30):
    deadline = time.monotonic() + timeout
    while (tty_device() == uart) != on_uart:
        if time.monotonic() > deadline:
            raise RuntimeError(f"ttyS0 did not {'come back' if on_uart else 'go'} within {timeout} s")
        time.sleep(0.05)


def main():
    root = sys.argv[1]  # the folder served: the pages
    fd = channel()

    def send(message):
        data = (json.dumps(message) + "\n").encode()
        while data:
            data = data[os.write(fd, data):]

    # udev, so that Chromium hears of ports that come and go.
    env = dict(os.environ, SYSTEMD_IGNORE_CHROOT="1")
    subprocess.run(["/lib/systemd/systemd-udevd", "--daemon"], env=env, check=True)
    subprocess.run(["udevadm", "trigger", "--action=add", "--subsystem-match=tty"], env=env, check=True)
    subprocess.run(["udevadm", "settle", "-t", "30"], env=env)
    raise_baud_base()
    uart = tty_device()
    policies = Path("/etc/chromium/policies/managed")
    policies.mkdir(parents=True, exist_ok=True)
    (policies / "qdm7-tests.json").write_text(json.dumps({"SerialAllowAllPortsForUrls": [ORIGIN]}))
    subprocess.Popen([sys.executable, "-m", "http.server", "--bind", "0.0.0.0", str(PORT)], cwd=root,
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    sys.path.append("/usr/lib/python3/dist-packages")
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By

    began = time.monotonic()
    say("starting Chromium")
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in CHROMIUM_FLAGS:
        options.add_argument(flag)
    options.add_argument("--user-data-dir=/tmp/qdm7-chromium")
    # A load returns once the document is parsed; what the page then does is
    # waited for by the commands themselves.
    options.page_load_strategy = "eager"
    browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    browser.set_script_timeout(900)
    send({"op": "ready", "browser_s": round(time.monotonic() - began, 1)})

    pending = b""
    while True:
        data = os.read(fd, 65536)
        if not data:
            time.sleep(0.05)
            continue
        pending += data
        while b"\n" in pending:
            line, pending = pending.split(b"\n", 1)
            if not line.strip():
                continue
            request = json.loads(line)
            op = request["op"]
            say(f"{op} {request.get('url') or request.get('id') or request.get('code', '')[:60]}")
            try:
                if op == "open":
                    browser.set_window_size(request.get("width", 900), request.get("height", 1000))
                    browser.get(request["url"])
                    reply = {}
                elif op == "size":
                    browser.set_window_size(request["width"], request["height"])
                    reply = {}
                elif op == "js":
                    reply = {"value": browser.execute_script(request["code"])}
                elif op == "wait":
                    # Polled in the page: one command to the browser, not one a poll.
                    reply = {"value": browser.execute_async_script(WAIT_IN_PAGE, request["code"],
                                                                   request["seconds"] * 1000)}
                elif op == "click":
                    browser.find_element(By.ID, request["id"]).click()
                    reply = {}
                elif op == "shot":
                    reply = {"png": browser.get_screenshot_as_base64()}
                elif op == "unplug":
                    Path(PNP_DRIVER, "unbind").write_text(os.path.basename(uart))
                    wait_for_device(False, uart)
                    reply = {}
                elif op == "replug":
                    Path(PNP_DRIVER, "bind").write_text(os.path.basename(uart))
                    wait_for_device(True, uart)
                    raise_baud_base()
                    reply = {}
                elif op == "quit":
                    browser.quit()
                    send({})
                    return 0
                else:
                    reply = {"error": f"unknown op {op}"}
            except Exception as error:  # noqa: BLE001 - said to this machine's side
                reply = {"error": f"{type(error).__name__}: {error}"}
            say(f"  {'error ' + reply['error'] if 'error' in reply else 'done'}")
            send(reply)


if __name__ == "__main__":
    sys.exit(main())
