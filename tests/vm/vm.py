#!/usr/bin/env python3
"""A small virtual machine for the tests: Debian's own kernel, booted under
qemu, with the host's root file system read-only over 9p as its userland.

  vm.py fetch               downloads Debian's kernel package into the cache
  vm.py run [...] -- CMD    boots, runs CMD inside as root, powers off and
                            ends with CMD's exit status

Inside, CMD sees the host's files at their own paths and the folders named
with --writable writable. /tmp shows the host's files too (a checkout may
live there), but what is written there stays in the guest; /run and /dev/shm
are the guest's own. The
kernel loads what the tests need: the 9p transport, the USB and HID stacks
with dummy_hcd (two emulated USB controllers, each with its gadget side) and
the HID gadget function. It runs 32-bit programs itself, whatever the host's
kernel does.

Everything about a run is kept in --work: the console (console.log), the
command and its output. The cache is $SCALE_PROBE_CACHE, or
~/.cache/scale-probe, outside any source tree."""

import argparse
import getpass
import lzma
import os
import re
import resource
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
CACHE = Path(os.environ.get("SCALE_PROBE_CACHE") or Path.home() / ".cache/scale-probe") / "kernel"

# Drivers to load, in dependency order after modules.dep; options follow.
MODULES = [
    ("kernel/drivers/virtio/virtio_pci.ko", ""),
    ("kernel/net/9p/9pnet_virtio.ko", ""),
    ("kernel/fs/9p/9p.ko", ""),
    ("kernel/drivers/usb/gadget/udc/dummy_hcd.ko", "num=2"),
    ("kernel/drivers/usb/gadget/function/usb_f_hid.ko", ""),
    ("kernel/drivers/hid/usbhid/usbhid.ko", ""),
    ("kernel/drivers/hid/hid-generic.ko", ""),
    ("kernel/fs/overlayfs/overlay.ko", ""),
]

# Quiet, and nothing the tests do not need: no mitigations (nothing hostile
# runs), no probing for hardware that is not there.
KERNEL_ARGS = ("console=ttyS0 quiet loglevel=3 cryptomgr.notests panic=-1 mitigations=off tsc=reliable "
               "no_timer_check i8042.noaux i8042.nokbd i8042.nopnp 8250.nr_uarts=1 "
               "random.trust_cpu=on")


# --- fetching the kernel ---------------------------------------------------------

def apt_field(package, field):
    shown = subprocess.run(["apt-cache", "show", "--no-all-versions", package],
                           capture_output=True, text=True, check=True).stdout
    match = re.search(rf"^{field}: (.*)$", shown, re.M)
    if match is None:
        sys.exit(f"vm: apt knows no {field} of {package}")
    return match.group(1)


def installed_kernel():
    """The fetched kernel: (vmlinux, modules folder), or None."""
    current = CACHE / "current"
    if not current.exists():
        return None
    folder = CACHE / current.read_text().strip()
    modules = next((folder / "lib/modules").glob("*"), None)
    if not (folder / "vmlinux").exists() or modules is None:
        return None
    return folder / "vmlinux", modules


def decompress_kernel(vmlinuz, vmlinux):
    """Debian compresses its kernel with xz; qemu boots the ELF inside directly
    (PVH), which spares the guest's slow self-extraction under emulation."""
    data = vmlinuz.read_bytes()
    start = data.find(b"\xfd7zXZ\x00")
    if start < 0:
        sys.exit(f"vm: no xz stream in {vmlinuz}")
    elf = lzma.LZMADecompressor(format=lzma.FORMAT_XZ).decompress(data[start:])
    if not elf.startswith(b"\x7fELF"):
        sys.exit(f"vm: {vmlinuz} does not hold an ELF kernel")
    vmlinux.write_bytes(elf)


def fetch():
    # linux-image-amd64 names the current kernel package of the release.
    depends = apt_field("linux-image-amd64", "Depends")
    match = re.match(r"(linux-image-[^ ,]+) \(= ([^)]+)\)", depends)
    if match is None:
        sys.exit(f"vm: cannot read the kernel package from {depends!r}")
    package, version = match.groups()
    name = f"{package}_{version}"
    if (CACHE / "current").exists() and (CACHE / "current").read_text().strip() == name \
            and installed_kernel():
        print(f"vm: kernel {name} already in {CACHE}")
        return 0
    CACHE.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=CACHE) as scratch:
        scratch = Path(scratch)
        subprocess.run(["apt-get", "-q", "-o", f"APT::Sandbox::User={getpass.getuser()}",
                        "download", f"{package}={version}"], cwd=scratch,
                       check=True, stdout=subprocess.DEVNULL)
        deb = next(scratch.glob("*.deb"))
        unpacked = scratch / "unpacked"
        subprocess.run(["dpkg-deb", "-x", str(deb), str(unpacked)], check=True)
        folder = scratch / name
        (folder / "lib/modules").mkdir(parents=True)
        decompress_kernel(next((unpacked / "boot").glob("vmlinuz-*")), folder / "vmlinux")
        modules = next((unpacked / "lib/modules").glob("*"))
        modules.rename(folder / "lib/modules" / modules.name)
        # The package leaves this to its maintainer script.
        subprocess.run(["depmod", "-b", str(folder), modules.name], check=True)
        shutil.rmtree(CACHE / name, ignore_errors=True)
        folder.rename(CACHE / name)
    for old in CACHE.iterdir():
        if old.is_dir() and old.name != name:
            shutil.rmtree(old)
    (CACHE / "current").write_text(name + "\n")
    print(f"vm: kernel {name} in {CACHE}")
    return 0


# --- the initramfs ------------------------------------------------------------------

def module_order(modules):
    """The wanted modules and their dependencies, each after what it needs."""
    needs = {}
    for line in (modules / "modules.dep").read_text().splitlines():
        module, _, deps = line.partition(":")
        needs[module] = deps.split()
    order = []

    def add(module):
        if module not in order:
            for dep in reversed(needs[module]):
                add(dep)
            order.append(module)

    for module, _ in MODULES:
        add(module)
    options = dict(MODULES)
    return [(m, options.get(m, "")) for m in order]


def cpio(entries):
    """An uncompressed newc archive: the kernel unpacks it faster than any
    compressed one can be decompressed under emulation."""
    out = bytearray()
    for ino, (name, mode, data) in enumerate(entries + [("TRAILER!!!", 0, b"")], 1):
        encoded = name.encode() + b"\0"
        header = (b"070701" + b"".join(b"%08X" % v for v in (
            ino, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(encoded), 0)))
        out += header + encoded
        out += b"\0" * (-len(out) % 4) + data
        out += b"\0" * (-len(out) % 4)
    return bytes(out)


def initramfs(modules, writable, control):
    directory, program, regular = 0o40755, 0o100755, 0o100644
    entries = [(d, directory, b"") for d in
               ("bin", "dev", "etc", "host", "modules", "proc", "scratch", "sys")]
    entries += [("init", program, (HERE / "guest_init.sh").read_bytes()),
                ("bin/busybox", program, Path("/bin/busybox").read_bytes())]
    order = module_order(modules)
    for module, _ in order:
        entries.append((f"modules/{Path(module).name}", regular, (modules / module).read_bytes()))
    listed = "".join(f"{Path(m).name} {o}\n" for m, o in order)
    entries += [("etc/modules", regular, listed.encode()),
                ("etc/writable", regular,
                 "".join(f"w{i} {p}\n" for i, p in enumerate(writable)).encode()),
                ("etc/control", regular, f"{control}\n".encode())]
    return cpio(entries)


# --- running a command inside -------------------------------------------------------

def kvm_usable():
    """KVM where the host offers it for real: the device, and a CPU that
    exposes virtualisation to this machine."""
    if not os.access("/dev/kvm", os.R_OK | os.W_OK):
        return False
    flags = Path("/proc/cpuinfo").read_text()
    return re.search(r"^flags\s*:.*\b(vmx|svm)\b", flags, re.M) is not None


def run(args, command):
    kernel = installed_kernel()
    if kernel is None:
        sys.exit(f"vm: no kernel in {CACHE}: run scripts/setup --test")
    vmlinux, modules = kernel
    work = Path(args.work).resolve()
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    writable = [str(Path(w).resolve()) for w in args.writable] + [str(work)]
    for folder in writable:
        Path(folder).mkdir(parents=True, exist_ok=True)
    (work / "initramfs").write_bytes(initramfs(modules, writable, work))

    env = {"PATH": "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin", "HOME": "/tmp",
           "LANG": "C.UTF-8"}
    env.update(dict(e.split("=", 1) for e in args.env))
    (work / "command.sh").write_text(
        f"cd {shlex.quote(os.getcwd())} || exit 125\n"
        f"exec env -i {' '.join(shlex.quote(f'{k}={v}') for k, v in env.items())} "
        f"{' '.join(shlex.quote(c) for c in command)}\n")

    # Under emulation the guest's clock runs by its instruction count (a
    # 500 MHz machine): host load then cannot stretch a guest's millisecond,
    # and its timers fire exactly. Idle time still passes in real time, so a
    # wait for the host's files does not jump the clock ahead.
    timing = [] if kvm_usable() else ["-icount", "shift=1"]
    accel = "kvm" if not timing else "tcg,tb-size=64"
    qemu = ["qemu-system-x86_64", "-accel", accel, *timing, "-m", str(args.memory), "-smp", "1",
            "-nodefaults", "-nographic", "-no-reboot", "-no-user-config",
            "-chardev", f"file,id=console,path={work / 'console.log'}",
            "-serial", "chardev:console", "-monitor", "none",
            "-kernel", str(vmlinux), "-initrd", str(work / "initramfs"),
            "-append", KERNEL_ARGS,
            "-fsdev", "local,id=root,path=/,security_model=none,readonly=on,multidevs=remap",
            "-device", "virtio-9p-pci,fsdev=root,mount_tag=root"]
    for i, folder in enumerate(writable):
        qemu += ["-fsdev", f"local,id=w{i},path={folder},security_model=none,multidevs=remap",
                 "-device", f"virtio-9p-pci,fsdev=w{i},mount_tag=w{i}"]

    launched = time.monotonic()
    process = subprocess.Popen(qemu, stdin=subprocess.DEVNULL)
    output, printed, started, reported = work / "output", 0, None, set()
    while True:
        finished = process.poll() is not None
        if started is None and (work / "started").exists():
            started = time.monotonic() - launched
        if output.exists():
            # Pass the command's output on as it comes, line by line.
            text = output.read_bytes()[printed:]
            complete = text[:text.rfind(b"\n") + 1] if not finished else text
            if complete:
                sys.stdout.write(complete.decode(errors="replace"))
                sys.stdout.flush()
                printed += len(complete)
                for mark in args.report_when:
                    if mark not in reported and mark.encode() in complete:
                        reported.add(mark)
                        print(f"vm: {mark!r} {time.monotonic() - launched:.1f} s after launch")
        if finished:
            break
        if time.monotonic() - launched > args.timeout:
            process.kill()
            process.wait()
            print(f"vm: the guest did not finish within {args.timeout} s")
            break
        time.sleep(0.05)
    elapsed = time.monotonic() - launched
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss // 1024
    print(f"vm: {'kvm' if not timing else 'tcg with exact guest time'}, {args.memory} MB; "
          f"command started "
          f"{started if started is None else round(started, 1)} s after launch; "
          f"whole run {elapsed:.1f} s; qemu peak memory {peak} MB")
    status = work / "status"
    if not status.exists():
        print(f"vm: no exit status from the guest; its console is {work / 'console.log'}:")
        print("".join(open(work / "console.log", errors="replace").readlines()[-30:]))
        return 1
    code = int(status.read_text())
    if code != 0:
        print(f"vm: the command failed ({code}); the guest's console is {work / 'console.log'}")
    return code


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="action", required=True)
    sub.add_parser("fetch")
    ran = sub.add_parser("run")
    ran.add_argument("--work", required=True, help="folder for the run's files")
    ran.add_argument("--writable", action="append", default=[])
    ran.add_argument("--memory", type=int, default=512, help="guest memory, MB")
    ran.add_argument("--timeout", type=float, default=600)
    ran.add_argument("--env", action="append", default=[], help="NAME=VALUE for CMD")
    ran.add_argument("--report-when", action="append", default=[],
                     help="print the time since launch when output shows this text")
    ran.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    if args.action == "fetch":
        return fetch()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("run needs a command after --")
    return run(args, command)


if __name__ == "__main__":
    sys.exit(main())
