#!/usr/bin/env python3
"""End-to-end cases: the real probe, its output compared byte for byte, its
exit status, and whether it waited for a key.

  cases.py table --probe P --fake-dir D --work W [--wrapper W]
      the table of cases against the scripted stand-in for hidapi, which logs
      every call: their order, what each was given, and the two waits
  cases.py terminal --probe P --fake-dir D --work W
      the pause on a terminal: one key press, and Ctrl-C at the prompt
  cases.py demo --probe P --work W
      scripts/demo: the real hidapi against the demo's emulated scale
  cases.py locales --probe P --work W
      the real hidapi again, the scale's text in UTF-8 as the kernel gives
      it, shown under locales that spell it each their own way
  cases.py machine --native P --probe EXE --fake-dir D --zip DIR --bridge DLL --work W
      inside the test machine: the Linux probe with the real hidapi on the
      kernel's HID stack, a scale on uhid; then under Wine, the table for the
      Windows exe (CRLF, the command processor's pause) and the zip's exe with
      its real DLL through Wine's HID stack to the same kind of scale"""

import argparse
import fcntl
import glob
import os
import pty
import select
import shutil
import signal
import subprocess
import struct
import sys
import termios
import time
from pathlib import Path

TOP = Path(__file__).resolve().parent.parent
COMMAND = bytes.fromhex("00434d443e06000012200052445a8e") + bytes(50)
NOT_CONNECTED = "The scale was not connected or buse\n"
UNABLE_TO_OPEN = "unable to open device\n"
PAUSE = "Press any key to continue . . . \n"
WRITE_DUMP = "Data write (bytes in hex):\n   " + "".join(f"{b:02x} " for b in COMMAND[1:15])


def identity(serial="SC-000123", product="Bench Scale"):
    return f"  Vid & Pid: 0x1111 0x0004\n  serial_number: {serial}\n  Product:      {product}\n\n"


# What the emulated scales send: a status byte, then the reading.
SCALE_REPORT = (b"\x02OK 0001.250 kg" + bytes(range(0xF0, 0x100))).ljust(64, b"\0")


def read_dump(buffer=b""):
    """Bytes 1 to 64 of what the read put into the zeroed buffer."""
    shown = (buffer + bytes(65))[1:65]
    return "\nData read (bytes in hex):\n   " + "".join(f"{b:02x} " for b in shown) + "\n"


# --- the table ---------------------------------------------------------------------

OPENED = "hid_init hid_enumerate hid_free_enumeration hid_open hid_set_nonblocking hid_write"
PATHS = {  # the calls of each way a run ends, and whether it waits for a key
    "start fails": ("hid_init", False),
    "missing": ("hid_init hid_enumerate hid_free_enumeration hid_exit", True),
    "open fails": ("hid_init hid_enumerate hid_free_enumeration hid_open hid_exit", False),
    "write fails": (OPENED + " hid_error hid_close hid_exit", True),
    "read": (OPENED + " hid_read hid_close hid_exit", True)}
SCALE = ("1111", "0004", "SC-000123", "Bench Scale")
REPLY = bytes([0xEE]) + bytes(range(1, 65))
DONE = identity() + WRITE_DUMP
# name, what the stand-in does (beyond a scale that is there and answers
# nothing), the output, the status, the path
TABLE = [
    ("library start fails", dict(init=-1), "", 255, "start fails"),
    ("no devices at all", dict(devices=[]), NOT_CONNECTED, 1, "missing"),
    ("only near misses", dict(devices=[("1111", "0005", "a", "b"), ("2222", "0004", "a", "b"),
                                       ("0004", "1111", "a", "b")]), NOT_CONNECTED, 1, "missing"),
    ("open fails", dict(open_fails=1), identity() + UNABLE_TO_OPEN, 1, "open fails"),
    ("write fails, hostile error text", dict(write=-1, error="Gone\x1b]0;x\x07\n"),
     DONE + "Unable to write()\nError: Gone?]0;x??\n", 1, "write fails"),
    ("read fails", dict(read=-1), DONE + "\nUnable to read()\n", 1, "read"),
    ("exchange completes, arguments ignored",
     dict(read=REPLY, args=["--help", "/dev/hidraw9"]), DONE + read_dump(REPLY), 0, "read"),
    ("no reply in time", {}, DONE + read_dump(), 0, "read"),
    ("short reply, short write", dict(write=0, read=bytes([0xAA, 1, 2, 3, 4])),
     DONE + read_dump(bytes([0xAA, 1, 2, 3, 4])), 0, "read"),
    ("first match wins, absent device text", dict(devices=[
        ("1111", "0005", "NEAR", ""), (*SCALE[:2], "FIRST", None), (*SCALE[:2], "SECOND", "")]),
     identity("FIRST", "(null)") + WRITE_DUMP + read_dump(), 0, "read"),
    ("hostile and non-ASCII device text",
     dict(devices=[(*SCALE[:2], "\x1b[2J\x07S\r\nX\x7f\x9b31m", "Wäge € \U0001F600")]),
     identity("?[2J?S??X??31m", "Wäge € \U0001F600") + WRITE_DUMP + read_dump(), 0, "read"),
    # Last: the Windows console shows it too.
    ("device text in any script", dict(devices=[
        (*SCALE[:2], "SN-é\xa0Скале\x1b[2J\x07", "Wäge 中文 ÉØ \u202eabc\u200b")]),
     identity("SN-é\xa0Скале?[2J?", "Wäge 中文 ÉØ ?abc?") + WRITE_DUMP + read_dump(), 0, "read"),
]


class Platform:
    """How the probe is run: natively, the loader finding the stand-in first;
    or under Wine, with the stand-in DLL beside the exe, which Windows loads
    first. Wine's text mode writes CRLF, its narrow text is in the ANSI code
    page (1252 here), its wchar_t is UTF-16 and its pause is cmd's own."""

    def __init__(self, command, env, windows=False):
        # Small and fixed, so that the user's locale and paths change nothing;
        # sanitizer settings pass through.
        self.env = {"PATH": os.environ["PATH"], "LC_ALL": "C.UTF-8", **env, **{
            k: v for k, v in os.environ.items() if k.endswith("SAN_OPTIONS")}}
        self.command, self.windows = command, windows
        self.pause = "Press any key to continue... " if windows else PAUSE

    def expected(self, text):
        return text.replace("\n", "\r\n").encode("cp1252", "replace") if self.windows \
            else text.encode()

    def text(self, text):
        """-1 for none, or a count and the wchar_t units in hex."""
        raw = memoryview((text or "").encode("utf-16-le" if self.windows else "utf-32-le"))
        units = raw.cast("H" if self.windows else "I")
        return "-1" if text is None else " ".join([str(len(units)), *(f"{u:x}" for u in units)])

    def script(self, init=0, open_fails=0, write=65, read=b"", error=None, devices=(SCALE,)):
        """The stand-in's script, its numbers in their order; a read of -1 fails."""
        read = "-1" if read == -1 else f"{len(read)} {read.hex(' ')}"
        words = [init, open_fails, write, read, self.text(error), len(devices)] + [
            f"{vid} {pid} {self.text(serial)} {self.text(product)}"
            for vid, pid, serial, product in devices]
        return " ".join(map(str, words)) + "\n"


def native(args):
    return Platform([*(args.wrapper or "").split(), args.probe], {"LD_LIBRARY_PATH": args.fake_dir})


ran, failures = [], {}


def check(name, what, actual, expected):
    if actual != expected:
        failures.setdefault(name, []).append(f"{what}: {actual!r}, not {expected!r}")


def check_calls(name, log, path, devices):
    calls = [line.split(" ") for line in log.read_text().splitlines()]
    check(name, "hidapi calls", " ".join(c[1] for c in calls), PATHS[path][0])
    given = {"hid_enumerate": ["0000", "0000"], "hid_open": ["1111", "0004", "null"],
             "hid_free_enumeration": ["list" if devices else "null"],
             "hid_set_nonblocking": ["1"], "hid_write": ["65", COMMAND.hex()],
             "hid_read": ["65", "00" * 65]}
    at = {}
    for stamp, call, *args in calls:
        at[call] = int(stamp)
        check(name, f"{call} given", args, given.get(call, []))
    # The stand-in answers at once, so each gap is the probe's own wait.
    for before, after in (("hid_set_nonblocking", "hid_write"), ("hid_write", "hid_read")):
        if after in at:
            check(name, f"{after} at least 10 ms later", at[after] - at[before] >= 10000, True)


def run_table(args, work, platform=None):
    """Each case with a key waiting on a pipe: a probe that pauses takes it,
    one that must not pause leaves it there."""
    platform = platform or native(args)
    for i, (name, script, out, status, path) in enumerate(TABLE):
        script = dict(script)
        args = script.pop("args", [])
        ran.append(name)
        (work / f"{i}.script").write_text(platform.script(**script))
        env = {**platform.env, "FAKE_HIDAPI_SCRIPT": f"{i}.script", "FAKE_HIDAPI_LOG": f"{i}.log"}
        keys, feed = os.pipe()
        os.write(feed, b"kX")
        os.close(feed)
        result = subprocess.run(platform.command + args, stdin=keys, capture_output=True,
                                cwd=work, env=env, timeout=120)
        left = os.read(keys, 8)  # what the probe left; the writer is gone
        os.close(keys)
        pauses = PATHS[path][1]
        check(name, "output, exit status, standard error, whether it took the key",
              (result.stdout, result.returncode, result.stderr, left != b"kX"),
              (platform.expected(out + (platform.pause if pauses else "")), status, b"", pauses))
        check_calls(name, work / f"{i}.log", path, script.get("devices", [SCALE]))


# --- the pause on a terminal -------------------------------------------------------

def read_until(fd, wanted, timeout=5):
    got, deadline = b"", time.monotonic() + timeout
    while wanted not in got and time.monotonic() < deadline:
        if select.select([fd], [], [], 0.05)[0]:
            got += os.read(fd, 4096)
    return got


def run_terminal(args, work):
    prompt = PAUSE.rstrip("\n").encode()
    for name, key, status in (("one key press ends the wait", b"\x1b[A", 1),
                              ("Ctrl-C at the prompt", b"\x03", -signal.SIGINT)):
        ran.append(name)
        master, slave = pty.openpty()
        before = termios.tcgetattr(slave)
        # No script: no scale. The probe's terminal is its controlling one.
        process = subprocess.Popen(
            [args.probe], stdin=slave, stdout=slave, stderr=slave, start_new_session=True,
            env=native(args).env, preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY))
        deadline = time.monotonic() + 10
        while termios.tcgetattr(slave)[3] & termios.ICANON and time.monotonic() < deadline:
            time.sleep(0.01)  # until the probe has the terminal in its own mode
        check(name, "prompt shown, then the terminal taken",
              read_until(master, prompt).endswith(prompt), True)
        os.write(master, key)
        check(name, "exit status", process.wait(timeout=5), status)
        check(name, "terminal settings restored", termios.tcgetattr(slave), before)
        if status == 1:  # an arrow: three bytes, one key, no echo
            left = int.from_bytes(fcntl.ioctl(slave, termios.FIONREAD, b"\0" * 4), sys.byteorder)
            check(name, "the line ended, the key neither echoed nor left over",
                  (read_until(master, b"\n"), left), (b"\r\n", 0))
        os.close(master)
        os.close(slave)


# --- the real hidapi: the demo, and the kernel's HID stack ------------------------------

def run_demo(args, work):
    ran.append("scripts/demo: a full exchange, the reply inside the window")
    # No input at all: its end ends the wait for a key. hidapi hands a report
    # over without a report number, so the read line shows it from its
    # second byte.
    result = subprocess.run([TOP / "scripts/demo"], stdin=subprocess.DEVNULL, capture_output=True,
                            env={"PATH": os.environ["PATH"], "SCALE_PROBE": args.probe})
    check(ran[-1], "output, exit status", (result.stdout.decode(), result.returncode),
          (DONE + read_dump(SCALE_REPORT) + PAUSE, 0))


# The kernel's UTF-8 text, and how each locale shows it: "?" for what it
# cannot spell or what is unsafe (ESC, a bidirectional override, and in an
# 8-bit locale a C1 byte, as KOI8-R spells "─", a no-break space and "÷" and
# TCVN "Ớ", or a C0 byte, as TCVN spells "Ú"). SHIFT_JISX0213 holds "か" back
# until its state is ended.
SERIAL, PRODUCT = "SC-äÚ\x1b[2J", "Wäge\xa0€ Scale ─÷\u202eỚか"
LOCALES = [("C", b"SC-???[2J", b"W?ge?? Scale ?????"),
           ("C.UTF-8", "SC-äÚ?[2J".encode(), "Wäge\xa0€ Scale ─÷?Ớか".encode()),
           ("en_US.ISO-8859-1", b"SC-\xe4\xda?[2J", b"W\xe4ge\xa0? Scale ?\xf7???"),
           ("ja_JP.EUC-JP", b"SC-\x8f\xab\xa3\x8f\xaa\xe2?[2J",
            b"W\x8f\xab\xa3ge?? Scale \xa8\xa1\xa1\xe0??\xa4\xab"),
           ("ru_RU.KOI8-R", b"SC-???[2J", b"W?ge?? Scale ?????"),
           ("vi_VN.TCVN5712-1", b"SC-???[2J", b"W?ge\xa0? Scale ?????"),
           ("ja_JP.SHIFT_JISX0213", b"SC-\x85\x79\x85\x6f?[2J",
            b"W\x85\x79ge\x85\x41\x85\x40 Scale \x84\x9f\x81\x80??\x82\xa9")]


def run_locales(args, work):
    """No script for the node: the command goes nowhere and the read finds
    nothing, so that only the text is at stake. The locales are built from
    Debian's sources into the work folder; C.UTF-8 is the C library's own."""
    device = (TOP / "demo/scale.umockdev").read_text()
    device = device.replace("product=Bench Scale", "product=" + PRODUCT)
    device = device.replace("HID_UNIQ=SC-000123", "HID_UNIQ=" + SERIAL)
    (work / "scale.umockdev").write_text(device)
    for name, _, _ in LOCALES[2:]:
        language, charset = name.split(".")
        subprocess.run(["localedef", "-i", language, "-f", charset, work / name],
                       capture_output=True)
    for name, serial, product in LOCALES:
        ran.append(f"device text under {name}")
        result = subprocess.run(
            ["umockdev-run", "-d", "scale.umockdev", "-i", f"/dev/hidraw0={TOP}/demo/scale.ioctl",
             "--", args.probe], stdin=subprocess.DEVNULL, capture_output=True, cwd=work,
            env={"PATH": os.environ["PATH"], "LC_ALL": name, "LOCPATH": f"{work}:/usr/lib/locale"},
            timeout=60)
        check(ran[-1], "identity, exit status", (result.stdout.split(b"\n")[:3], result.returncode),
              (identity().encode().split(b"\n")[:1] + [b"  serial_number: " + serial,
                                                       b"  Product:      " + product], 0))


class KernelScale:
    """The scale as a real kernel HID device, through uhid: on the USB bus,
    named and numbered like the table's scale, with a vendor page of one
    64-byte input and one 64-byte output report. While it serves, it keeps
    each output report it gets and answers it with its report ("answer"),
    or unplugs itself ("unplug"); or also sends its report every 5 ms from
    when it was opened ("stream"), as scales that stream their reading do.
    Closing its uhid file unplugs it."""

    # The demo's scale's, which its ioctl file gives last, after its size.
    DESCRIPTOR = bytes.fromhex((TOP / "demo/scale.ioctl").read_text().split()[-1])[4:]
    REPORT = struct.pack("<IH", 12, 64) + SCALE_REPORT  # UHID_INPUT2

    def __init__(self, product=int(SCALE[1], 16), does="answer"):
        self.stream, self.received, self.opened = does == "stream", [], False
        # What answers the command: the report, or UHID_DESTROY (6 bytes at least).
        self.answer = struct.pack("<IH", 1, 0) if does == "unplug" else self.REPORT
        self.uhid = os.open("/dev/uhid", os.O_RDWR)
        os.write(self.uhid, struct.pack(  # UHID_CREATE2: name, phys, uniq, ..., BUS_USB
            "<I128s64s64sHHIIII", 11, SCALE[3].encode(), b"", SCALE[2].encode(),
            len(self.DESCRIPTOR), 3, int(SCALE[0], 16), product, 0, 0) + self.DESCRIPTOR)
        # A kernel worker makes the node, soon.
        self.serve(lambda: glob.glob("/dev/hidraw*"), time.monotonic() + 10)
        assert glob.glob("/dev/hidraw*"), "uhid made no hidraw node: is hid-generic loaded?"

    def serve(self, done, deadline):
        """Serves until done() or the deadline, on the monotonic clock."""
        while not done() and time.monotonic() < deadline:
            if select.select([self.uhid], [], [], 0.005)[0]:
                event = os.read(self.uhid, 4376)
                kind = struct.unpack_from("<I", event)[0]
                self.opened |= kind == 4  # UHID_OPEN: someone opened the hidraw node
                if kind == 6:  # UHID_OUTPUT
                    self.received.append(event[4:4 + struct.unpack_from("<H", event, 4100)[0]])
                    os.write(self.uhid, self.answer)
            if self.opened and self.stream:
                os.write(self.uhid, self.REPORT)


# name, the product id, what the scale does, who runs the probe, the output,
# the status
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
KERNEL = [("a full exchange", 0x0004, "answer", [], DONE + read_dump(SCALE_REPORT) + PAUSE, 0),
          ("only another product", 0x0005, "answer", [], NOT_CONNECTED + PAUSE, 1),
          ("unplugged when the command arrives", 0x0004, "unplug", [],
           DONE + "\nUnable to read()\n" + PAUSE, 1),
          # No udev here: the node is root's, mode 0600, as without the rule.
          ("an ordinary user", 0x0004, "answer", NOBODY, identity() + UNABLE_TO_OPEN, 1)]


def run_real(name, scale, platform, out, status):
    """The probe with the real hidapi, the scale on uhid serving meanwhile."""
    ran.append(name)
    probe = subprocess.Popen(platform.command, stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=platform.env)
    scale.serve(lambda: probe.poll() is not None, time.monotonic() + 120)
    check(name, "output, standard error, exit status, what the scale received",
          (*probe.communicate(timeout=1), probe.returncode, scale.received),
          (platform.expected(out), b"", status, [COMMAND] if WRITE_DUMP in out else []))


# --- Windows ------------------------------------------------------------------------

def run_machine(args, work):
    """The kernel's cases, then Windows: one new prefix, made before any
    case; one Wine server with its descriptors on /dev/null serves every
    case, so that no service of Wine's outlives a case holding its output
    pipe. Wine's bus drops a hidraw node that appears while it runs, so the
    scale is there before Wine starts."""
    for name, product, does, user, out, status in KERNEL:
        scale = KernelScale(product, does)
        run_real("Linux: " + name, scale, Platform([*user, args.native], {}), out, status)
        os.close(scale.uhid)
    env = {"WINEPREFIX": str(work), "WINEDEBUG": "-all", "HOME": str(work)}
    quiet = {"env": {"PATH": os.environ["PATH"], **env}, "stdin": subprocess.DEVNULL,
             "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    scale = KernelScale(does="stream")
    # Wine's HID bus without SDL (Debian has no i386 SDL2, and its failed
    # start keeps the bus from starting) and without udevd (the machine has
    # none: the bus then scans /dev itself), set before the prefix is made so
    # that the bus starts with them.
    (work / "system.reg").write_text("\n".join([
        "WINE REGISTRY Version 2", r"[System\\CurrentControlSet\\Services\\WineBus]",
        '"DisableUdevd"=dword:1', '"Enable SDL"=dword:0', ""]))
    subprocess.run(["wineserver", "--persistent"], check=True, **quiet)
    try:
        subprocess.run(["wine", "cmd", "/c", "exit"], timeout=600, check=True, **quiet)
        exe = shutil.copy(args.probe, shutil.copytree(args.fake_dir, work / "exe"))
        run_table(args, work, Platform(["wine", exe], env, windows=True))
        # The zip as shipped, and beside its exe a stand-in for the cfgmgr32
        # functions that Wine lacks.
        name = "Windows: the zip's exe and DLL through Wine's HID stack"
        scale.serve(lambda: scale.opened, time.monotonic() + 120)
        check(name, "Wine's HID bus opened the scale", scale.opened, True)
        shutil.copy(args.bridge, shutil.copytree(args.zip, work / "zip"))
        platform = Platform(["wine", work / "zip/scale-probe.exe"],
                            {**env, "WINEDLLOVERRIDES": "cfgmgr32=n,b"}, windows=True)
        run_real(name, scale, platform, DONE + read_dump(SCALE_REPORT) + platform.pause, 0)
    finally:
        subprocess.run(["wineserver", "--kill"], **quiet)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("group", choices=["table", "terminal", "demo", "locales", "machine"])
    for option in "--probe --fake-dir --wrapper --zip --native --bridge --work".split():
        parser.add_argument(option)
    args = parser.parse_args()
    work = Path(args.work)
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    globals()["run_" + args.group](args, work)
    for name in ran:
        print(("FAIL " if name in failures else "ok   ") + name
              + "".join(f"\n     {failure}" for failure in failures.get(name, [])))
    print(f"{args.group}: {len(ran) - len(failures)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
