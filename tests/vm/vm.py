#!/usr/bin/env python3
"""A small virtual machine for the Windows cases: Debian's own kernel under
qemu, which runs 32-bit programs (Wine's) whatever the host's kernel does,
with the host's root file system read-only over 9p as its userland.

  vm.py --work W [--memory MB] [--timeout S] -- CMD
      boots, runs CMD inside as root, powers off and ends with CMD's status

Inside, CMD sees the host's files at their own paths, W writable, /run and
/dev/shm in guest memory, and /tmp with the guest's writes kept there too. W keeps the guest's console (console.log), the
command and its output. The kernel is Debian's, which scripts/setup --test
unpacks into ~/.cache/scale-probe."""

import argparse
import os
import shlex
import shutil
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
CACHE = Path.home() / ".cache/scale-probe/kernel"
MODULES = ["virtio_pci", "9pnet_virtio", "9p", "overlay"]
KERNEL_ARGS = ("console=ttyS0 quiet loglevel=3 panic=-1 mitigations=off tsc=reliable "
               "no_timer_check i8042.noaux i8042.nokbd i8042.nopnp 8250.nr_uarts=1")


def initramfs(work):
    """busybox, our init, the modules it loads (after what each needs) and
    the folder to mount writable, as a newc archive."""
    kernel = next(CACHE.glob("*/vmlinuz"), None)
    if kernel is None:
        sys.exit(f"vm: no kernel in {CACHE}: run scripts/setup --test")
    modules = next(kernel.parent.glob("lib/modules/*"))
    needs = dict(line.split(":") for line in (modules / "modules.dep").read_text().splitlines())
    order = []
    for wanted in MODULES:
        module = next(m for m in needs if Path(m).name.split(".")[0] == wanted)
        order += [m for m in [*reversed(needs[module].split()), module] if m not in order]
    files = [("init", 0o100755, (HERE / "guest_init.sh").read_bytes()),
             ("bin/busybox", 0o100755, Path("/bin/busybox").read_bytes()),
             ("etc/modules", 0o100644, "".join(f"/{m}\n" for m in order).encode()),
             ("etc/work", 0o100644, f"{work}\n".encode())]
    files += [(m, 0o100644, (modules / m).read_bytes()) for m in order]
    folders = {str(p) for name, _, _ in files for p in Path(name).parents if str(p) != "."}
    entries = [(d, 0o40755, b"") for d in sorted(folders | {"dev", "host", "proc", "sys"})]
    archive = bytearray()
    for ino, (name, mode, data) in enumerate(entries + files + [("TRAILER!!!", 0, b"")], 1):
        name = name.encode() + b"\0"
        archive += b"070701" + b"".join(b"%08X" % v for v in (
            ino, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(name), 0)) + name
        archive += b"\0" * (-len(archive) % 4) + data + b"\0" * (-len(data) % 4)
    (work / "initramfs").write_bytes(archive)
    return kernel


def run(args, command):
    work = Path(args.work).resolve()
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    kernel = initramfs(work)
    env = {"PATH": "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin", "HOME": "/tmp",
           "LANG": "C.UTF-8"}
    (work / "command.sh").write_text(
        f"cd {shlex.quote(os.getcwd())} || exit 125\nexec env -i "
        + " ".join(shlex.quote(c) for c in [f"{k}={v}" for k, v in env.items()] + command) + "\n")
    qemu = ["qemu-system-x86_64", "-accel", "tcg", "-m", str(args.memory), "-smp", "1",
            "-nodefaults", "-nographic", "-no-reboot", "-no-user-config", "-monitor", "none",
            "-chardev", f"file,id=console,path={work / 'console.log'}", "-serial",
            "chardev:console", "-kernel", str(kernel), "-initrd", str(work / "initramfs"),
            "-append", KERNEL_ARGS]
    for tag, path, mode in (("root", "/", ",readonly=on"), ("work", work, "")):
        qemu += ["-fsdev", f"local,id={tag},path={path},security_model=none,multidevs=remap{mode}",
                 "-device", f"virtio-9p-pci,fsdev={tag},mount_tag={tag}"]
    began = time.monotonic()
    try:
        subprocess.run(qemu, stdin=subprocess.DEVNULL, timeout=args.timeout)
    except subprocess.TimeoutExpired:
        print(f"vm: the guest did not finish within {args.timeout} s")
    output, status = work / "output", work / "status"
    sys.stdout.write(output.read_text(errors="replace") if output.exists() else "")
    print(f"vm: {time.monotonic() - began:.0f} s in the machine; its console is "
          f"{work / 'console.log'}")
    return int(status.read_text()) if status.exists() else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--work", required=True, help="the folder for the run's files")
    parser.add_argument("--memory", type=int, default=1536, help="guest memory, MB")
    parser.add_argument("--timeout", type=float, default=600)
    split = sys.argv.index("--") if "--" in sys.argv else len(sys.argv)
    return run(parser.parse_args(sys.argv[1:split]), sys.argv[split + 1:])


if __name__ == "__main__":
    sys.exit(main())
