"""A QEMU guest that boots this machine's installed kernel from an initramfs
made here: what the USB rig (tests/usb/rig.py) and the Wine guest
(winehost.py) share.

    kernel, module_dir = find_kernel()
    build_initramfs("initramfs.cpio", module_dir, modules=["9p", "overlay"],
                    files={"init": (init_bytes, 0o755)}, module_list="etc/modules")
    subprocess.Popen(qemu_command(kernel, "initramfs.cpio", memory_mb=256, cpus=1,
                                  append="console=ttyS0 panic=-1") + [...devices...])

The initramfs holds a static busybox (/bin/busybox), /dev/console, the
caller's files, programs with every library they load, and the modules in
dependency order as /lib/modules/NAME.ko, their names one a line in
module_list for the guest's init to insmod in that order.
"""
import gzip
import lzma
import os
import re
import shutil
import stat
import subprocess
from pathlib import Path


class GuestError(Exception):
    """What stands in the way of booting a guest, said for a person."""


def _version_key(release):
    return [int(part) if part.isdigit() else part for part in re.split(r"(\d+)", release)]


def find_kernel(boot="/boot", modules="/lib/modules"):
    """The newest /boot/vmlinuz-RELEASE whose modules are installed."""
    found = []
    for image in Path(boot).glob("vmlinuz-*"):
        release = image.name[len("vmlinuz-"):]
        if (Path(modules) / release / "modules.dep").is_file() and os.access(image, os.R_OK):
            found.append(release)
    if not found:
        raise GuestError(f"no kernel to boot: no readable {boot}/vmlinuz-RELEASE with "
                         f"{modules}/RELEASE/modules.dep (install linux-image-amd64: bash scripts/install-deps.sh)")
    release = max(found, key=_version_key)
    return Path(boot) / f"vmlinuz-{release}", Path(modules) / release


def module_load_order(module_dir, names):
    """Module files for names, each after the modules it depends on."""
    deps = {}
    for line in (Path(module_dir) / "modules.dep").read_text().splitlines():
        path, _, needs = line.partition(":")
        deps[path] = needs.split()
    by_name = {}
    for path in deps:
        base = os.path.basename(path).split(".ko")[0]
        by_name[base.replace("-", "_")] = path
    order = []

    def add(path):
        if path in order:
            return
        # modules.dep lists what a module needs with the first to load last.
        for need in reversed(deps.get(path, [])):
            add(need)
        order.append(path)

    for name in names:
        path = by_name.get(name.replace("-", "_"))
        if path is None:
            raise GuestError(f"kernel module {name} not found in {module_dir}/modules.dep")
        add(path)
    return order


def module_bytes(path):
    data = Path(path).read_bytes()
    name = Path(path).name
    if name.endswith(".ko.xz"):
        return lzma.decompress(data)
    if name.endswith(".ko.gz"):
        return gzip.decompress(data)
    if name.endswith(".ko"):
        return data
    raise GuestError(f"cannot unpack kernel module {path} (only .ko, .ko.xz and .ko.gz)")


def shared_libraries(program):
    """The files the dynamic loader maps for program, as ldd lists them."""
    listing = subprocess.run(["ldd", str(program)], capture_output=True, text=True)
    if listing.returncode != 0:
        # A static program: "not a dynamic executable".
        return []
    paths = []
    for line in listing.stdout.splitlines():
        if "=> not found" in line:
            raise GuestError(f"{program} needs a library that is not installed: {line.strip()}")
        match = re.search(r"(?:=>\s*)?(/\S+)\s+\(0x", line)
        if match:
            paths.append(match.group(1))
    return paths


class Cpio:
    """An initramfs archive (newc format) written entry by entry."""

    def __init__(self, path):
        self.file = open(path, "wb")
        self.inode = 0
        self.names = set()

    def _entry(self, name, mode, data=b"", rdev=(0, 0)):
        self.inode += 1
        encoded = name.encode() + b"\0"
        fields = [self.inode, mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1], len(encoded), 0]
        header = b"070701" + b"".join(b"%08x" % value for value in fields)
        self.file.write(header + encoded + bytes(-(len(header) + len(encoded)) % 4))
        self.file.write(data + bytes(-len(data) % 4))

    def directory(self, name):
        parts = name.strip("/").split("/")
        for depth in range(1, len(parts) + 1):
            path = "/".join(parts[:depth])
            if path not in self.names:
                self.names.add(path)
                self._entry(path, stat.S_IFDIR | 0o755)

    def file_entry(self, name, data, mode=0o755):
        name = name.strip("/")
        if name in self.names:
            return
        if "/" in name:
            self.directory(os.path.dirname(name))
        self.names.add(name)
        self._entry(name, stat.S_IFREG | mode, data)

    def char_device(self, name, major, minor):
        self.directory(os.path.dirname(name.strip("/")))
        self.names.add(name.strip("/"))
        self._entry(name.strip("/"), stat.S_IFCHR | 0o600, rdev=(major, minor))

    def close(self):
        self._entry("TRAILER!!!", 0)
        self.file.close()


def build_initramfs(path, module_dir, modules, files, module_list, programs=(),
                    folders=("bin", "proc", "sys", "dev", "tmp")):
    """Writes the initramfs: busybox, /dev/console, files ({name: (bytes,
    mode)}), programs (installed in /bin, with their libraries), and modules
    with what they need, in load order, listed in module_list."""
    busybox = Path("/bin/busybox")
    if not busybox.is_file():
        raise GuestError("no /bin/busybox (install busybox-static: bash scripts/install-deps.sh)")
    archive = Cpio(path)
    try:
        for folder in (*folders, "lib/modules"):
            archive.directory(folder)
        # The kernel opens the initial console before init can mount devtmpfs.
        archive.char_device("dev/console", 5, 1)
        for name, (data, mode) in files.items():
            archive.file_entry(name, data, mode)
        for program, name in [(busybox, "bin/busybox")] + [(Path(p), f"bin/{Path(p).name}") for p in programs]:
            archive.file_entry(name, Path(program).read_bytes())
            for library in shared_libraries(program):
                archive.file_entry(library, Path(library).read_bytes())
        names = []
        for relative in module_load_order(module_dir, modules):
            name = os.path.basename(relative).split(".ko")[0]
            archive.file_entry(f"lib/modules/{name}.ko", module_bytes(Path(module_dir) / relative), 0o644)
            names.append(name)
        archive.file_entry(module_list, ("\n".join(names) + "\n").encode(), 0o644)
    finally:
        archive.close()


# This machine's root for a guest that runs what is installed here: QEMU's
# options that share it (read-only, as hostroot), and the lines of the
# guest's init (busybox sh, with /proc, /sys and /dev mounted, the 9p and
# overlay modules loaded and fail() defined) that mount it at /new under a
# tmpfs layer, with /proc, /sys, /dev and pseudo-terminals, and /tmp, /run
# and /dev/shm of the guest's own (Unix sockets do not work on 9p). Then:
# chroot /new ...
ROOT_SHARE = ["-virtfs", "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap"]
ROOT_MOUNT_SH = r"""# cache=loose: without it Wine's one pread of a program's section is cut at
# the 9p message size and the rest reads as zeros. multidevs=remap: the root
# spans several file systems ("could not load ntdll.so" without it).
nine="trans=virtio,version=9p2000.L,cache=loose,msize=262144"
mkdir -p /lower /layer /new
mount -t 9p -o "$nine,ro" hostroot /lower || fail "cannot mount this machine's root"
mount -t tmpfs -o mode=0755 layer /layer || fail "no tmpfs"
mkdir -p /layer/upper /layer/work
mount -t overlay -o lowerdir=/lower,upperdir=/layer/upper,workdir=/layer/work overlay /new || fail "no overlay"
mount -t proc proc /new/proc
mount -t sysfs sysfs /new/sys
mount -t devtmpfs devtmpfs /new/dev
mkdir -p /new/dev/pts /new/dev/shm
mount -t devpts -o ptmxmode=0666 devpts /new/dev/pts || fail "no devpts"
for dir in /tmp /run /dev/shm; do mount -t tmpfs -o mode=1777 tmpfs "/new$dir"; done
"""


def qemu_command(kernel, initramfs, memory_mb, cpus, append):
    """QEMU booting kernel with initramfs under TCG, no display, no network,
    no devices but the caller's; ends (-no-reboot) when the guest powers off.

    TCG, not KVM: a guest kernel stalls under this machine's KVM. The qemu64
    CPU, not max: with max the guest kernel oopses at the first 32-bit page
    fault."""
    qemu = shutil.which("qemu-system-x86_64")
    if not qemu:
        raise GuestError("no qemu-system-x86_64 (install qemu-system-x86: bash scripts/install-deps.sh)")
    accel = "tcg,thread=multi" if cpus > 1 else "tcg"
    return [qemu, "-accel", accel, "-cpu", "qemu64", "-m", str(memory_mb), "-smp", str(cpus),
            "-nographic", "-nodefaults", "-no-user-config", "-no-reboot",
            "-kernel", str(kernel), "-initrd", str(initramfs), "-append", append]
