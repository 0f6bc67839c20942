#!/usr/bin/env python3
"""The scale as a real USB device: runs inside the test machine (tests/vm),
where the kernel's own USB and HID stacks enumerate a HID gadget that plays
the scale, and the real probe with the real hidapi talks to it.

Each case sets up the gadgets and the scale's firmware, runs the probe and
compares, byte for byte, what it printed, its exit status, whether it held
the console with the pause, and what the firmware received. Every case runs
--runs times; the report says how many of those passed."""

import argparse
import errno
import os
import select
import shutil
import stat
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
from expected_output import (COMMAND_REPORT, NOT_CONNECTED, PAUSE,  # noqa: E402
                             UNABLE_TO_OPEN, WRITE_DUMP, identity, read_dump)

CONFIGFS = Path("/sys/kernel/config/usb_gadget")
UDCS = ("dummy_udc.0", "dummy_udc.1")
NOBODY = 65534

# A vendor-defined collection with one 64-byte input and one 64-byte output
# report and no report ids, as the scale declares.
REPORT_DESCRIPTOR = bytes.fromhex("0600ff0901a10115002600ff750895400901810209019102c0")

# What the firmware answers (scale_firmware.c makes the same): a status
# byte, the reading, a ramp f0..ff, zeros to 64 bytes.
REPLY = b"\x02OK 0001.250 kg" + bytes(range(0xF0, 0x100))
REPLY += bytes(64 - len(REPLY))


# hidapi hands over a real device's report without a report number, from its
# first byte at index 0, which the probe never shows: the read line holds
# the reply's bytes 2 to 64, then the 00 that never arrived.
FULL = identity() + WRITE_DUMP + read_dump(REPLY)
NO_ANSWER = identity() + WRITE_DUMP + read_dump(b"")


# --- the gadgets -------------------------------------------------------------------

def write(path, value):
    with open(path, "wb" if isinstance(value, bytes) else "w") as f:
        f.write(value)


def nodes_on(udc):
    """The hidraw nodes of what is plugged into one controller, in the order
    hidapi enumerates them."""
    controller = f"dummy_hcd.{UDCS.index(udc)}/"
    devices = sorted(os.path.realpath(f"/sys/class/hidraw/{n}")
                     for n in os.listdir("/sys/class/hidraw"))
    return [Path("/dev") / Path(d).name for d in devices if controller in d]


def wait_for(condition, what, limit=10.0):
    deadline = time.monotonic() + limit
    while not condition():
        if time.monotonic() > deadline:
            raise RuntimeError(f"timed out waiting for {what}")
        time.sleep(0.002)


class Gadget:
    """One USB device, made in configfs, that a host controller of dummy_hcd
    enumerates when it is plugged in."""

    def __init__(self, name, vendor=0x1111, product=0x0004, product_name="Bench Scale",
                 serial="SC-000123", interfaces=1):
        self.name, self.udc = name, None
        self.root = CONFIGFS / name
        self.root.mkdir()
        write(self.root / "idVendor", f"0x{vendor:04x}")
        write(self.root / "idProduct", f"0x{product:04x}")
        write(self.root / "bcdDevice", "0x0100")
        strings = self.root / "strings/0x409"
        strings.mkdir()
        write(strings / "manufacturer", "Example Weighing")
        write(strings / "serialnumber", serial)
        self.name_product(product_name)
        config = self.root / "configs/c.1"
        config.mkdir()
        self.functions = []
        for i in range(interfaces):
            function = self.root / f"functions/hid.{name}{i}"
            function.mkdir()
            write(function / "report_length", "64")
            write(function / "report_desc", REPORT_DESCRIPTOR)
            (config / function.name).symlink_to(function)
            self.functions.append(function)

    def name_product(self, text):
        """Sets the product string; the host reads it when it enumerates."""
        # Bytes, not text: the string must reach the kernel exactly as given.
        write(self.root / "strings/0x409/product", text.encode())
        self.product_name = text

    def gadget_node(self, interface=0):
        """The firmware's end: /dev/hidgN of one interface."""
        minor = (self.functions[interface] / "dev").read_text().split(":")[1].strip()
        return Path(f"/dev/hidg{minor}")

    def hidraw_nodes(self):
        """The host's ends, in the order hidapi enumerates them."""
        return nodes_on(self.udc) if self.udc else []

    def plug(self, udc):
        write(self.root / "UDC", udc)
        self.udc = udc
        wait_for(lambda: len(self.hidraw_nodes()) == len(self.functions)
                 and all(n.exists() for n in self.hidraw_nodes()), f"{self.name} to enumerate")

    def unplug(self):
        if (self.root / "UDC").read_text().strip():
            write(self.root / "UDC", "\n")
        udc, self.udc = self.udc, None
        if udc is not None:
            wait_for(lambda: not nodes_on(udc), f"{self.name} to go")


class Bus:
    """What is plugged into the two host controllers."""

    def __init__(self, gadgets):
        self.gadgets = gadgets
        self.plugged = [None, None]

    def ensure(self, wanted, product):
        """Plugs exactly `wanted` (gadget names per controller, or None), the
        scale's product string being `product`."""
        if self.gadgets["scale"].product_name != product:
            if self.gadgets["scale"].udc is not None:
                self.gadgets["scale"].unplug()
            self.gadgets["scale"].name_product(product)
        for slot, name in enumerate(wanted):
            current = self.plugged[slot]
            if current is not None and (current != name or
                                        self.gadgets[current].udc is None):
                self.gadgets[current].unplug()
                self.plugged[slot] = None
        for slot, name in enumerate(wanted):
            if name is not None and self.plugged[slot] is None:
                self.gadgets[name].plug(UDCS[slot])
                self.plugged[slot] = name

    def forget_unplugged(self):
        """A firmware may have unplugged its gadget by itself."""
        for slot, name in enumerate(self.plugged):
            if name is not None and not (self.gadgets[name].root / "UDC").read_text().strip():
                self.gadgets[name].unplug()
                self.plugged[slot] = None


# --- the cases ---------------------------------------------------------------------

@dataclass
class Case:
    name: str
    plugged: tuple           # gadget names on the two controllers
    out: str                 # what the probe prints, the pause's prompt apart
    status: int
    pauses: bool = True
    firmware: tuple = ()     # the firmware's behaviour; empty: no firmware runs
    received: bytes = b""    # what the firmware must have received
    packaged: bool = False   # the binary from the .deb instead of the build tree's
    user: int = 0
    gate: str = ""           # hold the probe at its first "write" or "poll"
    env: dict = field(default_factory=dict)
    prepare: object = None   # called with the scale before the run; returns
                             # what undoes it after the run
    drain: bool = False      # a late answer is left in the scale: take it
    product: str = "Bench Scale"  # the scale's product string


def remove_node(scale):
    node = scale.hidraw_nodes()[0]
    was = os.stat(node)
    node.unlink()
    return lambda: os.mknod(node, stat.S_IFCHR | stat.S_IMODE(was.st_mode), was.st_rdev)


def grant_nobody(scale):
    # The ACL that logind puts on a node tagged "uaccess" for the seat's user.
    node = str(scale.hidraw_nodes()[0])
    subprocess.run(["setfacl", "-m", f"u:{NOBODY}:rw", node], check=True)
    return lambda: subprocess.run(["setfacl", "-b", node], check=True)


def cases():
    got_command = COMMAND_REPORT[1:]  # the report number stays on the host
    return [
        Case("full exchange", ("scale", None), FULL, 0, firmware=("answer", "0"),
             received=got_command),
        # An answer sent at once cannot tell a probe that waits from one that
        # does not; this one leaves 2 ms after the command arrived, and
        # reaches the host some 2.7 ms after the probe's write: well inside the
        # 10 ms window, and far after a read that did not wait.
        Case("answer a few ms late, inside the window", ("scale", None), FULL, 0,
             firmware=("answer", "2"), received=got_command),
        Case("answer well after the window", ("scale", None), NO_ANSWER, 0,
             firmware=("answer", "50"), received=got_command, drain=True),
        Case("no answer at all", ("scale", None), NO_ANSWER, 0, firmware=("silent",),
             received=got_command),
        Case("unplugged after it received the command", ("scale", None),
             identity() + WRITE_DUMP + "\nUnable to read()\n", 1,
             firmware=("vanish-after-receive", "UDC"), received=got_command, gate="poll"),
        Case("unplugged before the write", ("scale", None),
             identity() + WRITE_DUMP + "Unable to write()\nError: "
             + os.strerror(errno.ENODEV) + "\n", 1,
             firmware=("vanish-on-signal", "UDC"), gate="write"),
        Case("a user who may not open the node", ("scale", None),
             identity() + UNABLE_TO_OPEN, 1, pauses=False, user=NOBODY),
        Case("the same user with the seat's access", ("scale", None), FULL, 0,
             firmware=("answer", "0"), received=got_command, user=NOBODY,
             prepare=grant_nobody),
        Case("UTF-8 product name under a UTF-8 locale", ("scale", None),
             identity(product="Wäge €") + WRITE_DUMP + read_dump(REPLY), 0,
             firmware=("answer", "0"), received=got_command, product="Wäge €"),
        # hidapi converts under the locale; the C locale has no "ä".
        Case("UTF-8 product name under the C locale", ("scale", None),
             identity(product="") + WRITE_DUMP + read_dump(REPLY), 0,
             firmware=("answer", "0"), received=got_command, env={"LC_ALL": "C"},
             product="Wäge €"),
        Case("control characters in the product string", ("scale", None),
             identity(product="?[2J?Scale?X?1m") + WRITE_DUMP + read_dump(REPLY), 0,
             firmware=("answer", "0"), received=got_command,
             product="\x1b[2J\x07Scale\tX\u009b1m"),
        Case("no scale", (None, None), NOT_CONNECTED, 1),
        Case("only another HID device", ("other", None), NOT_CONNECTED, 1),
        Case("the scale beside another HID device", ("other", "scale"), FULL, 0,
             firmware=("answer", "0"), received=got_command),
        Case("the node removed while the device is present", ("scale", None),
             identity() + UNABLE_TO_OPEN, 1, pauses=False, prepare=remove_node),
        Case("a scale with two HID interfaces", ("two", None), FULL, 0,
             firmware=("answer", "0"), received=got_command),
        Case("the packaged binary", ("scale", None), FULL, 0, firmware=("answer", "0"),
             received=got_command, packaged=True),
    ]


def drain(scale):
    """Takes a reply that came after the probe had closed the device (the
    scale keeps it until the host polls again), so the next run starts clean."""
    fd = os.open(scale.hidraw_nodes()[0], os.O_RDONLY | os.O_NONBLOCK)
    try:
        if select.select([fd], [], [], 0.2)[0]:
            os.read(fd, 64)
    finally:
        os.close(fd)


def run_once(case, bus, args, work):
    """One run of a case; a list of what differed (empty when it passed)."""
    bus.ensure(case.plugged, case.product)
    scale = next((bus.gadgets[n] for n in case.plugged if n not in (None, "other")), None)
    undo = case.prepare(scale) if case.prepare else None
    record = work / "received"
    firmware = None
    if case.firmware:
        behaviour = [str(scale.root / "UDC") if w == "UDC" else w for w in case.firmware]
        firmware = subprocess.Popen([args.firmware, str(scale.gadget_node()), str(record),
                                     *behaviour], stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE)
        firmware.stdout.readline()  # "ready"
    probe = args.packaged if case.packaged else args.probe
    command = [probe]
    if case.gate:
        # Held at its write, the probe has the firmware told to unplug;
        # held at its read, it waits for the firmware to have unplugged.
        tell = ["--signal", str(firmware.pid)] if case.gate == "write" else []
        command = [args.gate, case.gate, *tell, "--", *command]
    if case.user:
        command = ["setpriv", f"--reuid={case.user}", f"--regid={case.user}",
                   "--clear-groups", "--", *command]
    env = {"PATH": "/usr/bin:/bin", "LC_ALL": "C.UTF-8", **case.env}
    result = subprocess.run(command, input=b"k", capture_output=True, env=env, timeout=30)
    problems = []
    if firmware:
        try:
            firmware.wait(timeout=10)
        except subprocess.TimeoutExpired:
            firmware.kill()
            firmware.wait()
            problems.append("the firmware did not finish")
        firmware_errors = firmware.stderr.read()
        if firmware.returncode != 0 or firmware_errors:
            problems.append(f"firmware: status {firmware.returncode}, {firmware_errors!r}")
        if record.read_bytes() != case.received:
            problems.append(f"the firmware received {record.read_bytes().hex()}, "
                            f"expected {case.received.hex()}")
    if undo:
        undo()
    bus.forget_unplugged()
    if case.drain:
        drain(scale)
    expected = (case.out + (PAUSE if case.pauses else "")).encode()
    if result.stdout != expected:
        problems.append(f"output\n    expected {expected!r}\n    actual   {result.stdout!r}")
    if result.returncode != case.status:
        problems.append(f"exit status {result.returncode}, expected {case.status}")
    if result.stderr:
        problems.append(f"standard error {result.stderr!r}")
    return problems


# --- the udev rule -------------------------------------------------------------------

def udev_tags(node):
    """The tags that udev's rules give a device node, evaluated by udev
    itself against the device as the kernel reports it."""
    shown = subprocess.run(["udevadm", "test", "--action=add", f"/sys/class/hidraw/{node.name}"],
                           capture_output=True, text=True, check=True).stdout
    # TAGS keeps every tag a device ever had (udev's database remembers
    # them); CURRENT_TAGS is what the rules give it now.
    tags = next((line.split("=", 1)[1] for line in shown.splitlines()
                 if line.startswith("CURRENT_TAGS=")), "")
    return set(filter(None, tags.split(":")))


def check_rule(bus, args):
    bus.ensure(("scale", "other"), "Bench Scale")
    scale = bus.gadgets["scale"].hidraw_nodes()[0]
    other = bus.gadgets["other"].hidraw_nodes()[0]
    problems = []
    installed = Path("/run/udev/rules.d") / Path(args.rule).name
    installed.unlink(missing_ok=True)
    if "uaccess" in udev_tags(scale):
        problems.append("the scale is tagged uaccess without the rule")
    installed.parent.mkdir(parents=True, exist_ok=True)
    shutil.copy(args.rule, installed)
    if "uaccess" not in udev_tags(scale):
        problems.append("the rule does not tag the scale for uaccess")
    if "uaccess" in udev_tags(other):
        problems.append("the rule tags another HID device")
    mode = os.stat(scale)
    if stat.S_IMODE(mode.st_mode) != 0o600 or mode.st_uid != 0:
        problems.append(f"the node's mode became {stat.S_IMODE(mode.st_mode):o}")
    installed.unlink()
    return problems


# --- running -----------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--probe", required=True)
    parser.add_argument("--packaged", required=True, help="the probe unpacked from the .deb")
    parser.add_argument("--rule", required=True, help="the udev rule unpacked from the .deb")
    parser.add_argument("--firmware", required=True)
    parser.add_argument("--gate", required=True)
    parser.add_argument("--runs", type=int, default=20)
    args = parser.parse_args()
    work = Path("/tmp/usb_bench")
    work.mkdir(exist_ok=True)
    started = time.monotonic()

    subprocess.run(["mount", "-t", "configfs", "configfs", "/sys/kernel/config"], check=True)
    table = cases()
    # f_hid serves at most four functions at a time: the scale's other
    # product strings are the one gadget renamed.
    gadgets = {
        "scale": Gadget("scale"),
        "two": Gadget("two", interfaces=2),
        "other": Gadget("other", product=0x0005, product_name="Other Device", serial="OD-1"),
    }
    bus = Bus(gadgets)
    bus.ensure(("scale", None), "Bench Scale")
    with open("/proc/uptime") as uptime:
        booted = float(uptime.read().split()[0])
    print(f"scale ready: {time.monotonic() - started:.1f} s after the bench started, "
          f"{booted:.1f} s after the guest's kernel did (guest time)", flush=True)

    failed = 0
    for case in [*table, "udev"]:
        name = "the packaged udev rule" if case == "udev" else case.name
        passed, first, began = 0, None, time.monotonic()
        for _ in range(args.runs):
            try:
                problems = (check_rule(bus, args) if case == "udev"
                            else run_once(case, bus, args, work))
            except (RuntimeError, OSError, subprocess.SubprocessError) as error:
                problems = [f"the bench failed: {error}"]
                bus.forget_unplugged()
            passed += not problems
            first = first or problems
        failed += passed < args.runs
        print(f"{'ok  ' if passed == args.runs else 'FAIL'} {name}: {passed}/{args.runs} "
              f"passed ({time.monotonic() - began:.1f} s guest time)", flush=True)
        for problem in first or []:
            print("     " + problem)
    print(f"usb_bench: {len(table) + 1 - failed} of {len(table) + 1} cases passed "
          f"{args.runs} times out of {args.runs}; {time.monotonic() - started:.0f} s guest time")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
