#!/usr/bin/env python3
"""End-to-end cases: the real probe, its output compared byte for byte, its
exit status, and whether it waited for a key.

  cases.py table --probe P --fake-dir D --work W [--wrapper W]
      the table of cases against the scripted stand-in for hidapi, which logs
      every call: their order, what each was given, and the two waits
  cases.py terminal --probe P --fake-dir D --work W
      the pause on a terminal: one key press, and Ctrl-C at the prompt
  cases.py umockdev --probe P --work W
      the real hidapi against the demo's emulated scale and variants of it
  cases.py wine --probe EXE --fake-dir D --real EXE --work W
      the table for the Windows exe under Wine (CRLF, the command
      processor's pause), then the zip's exe with its real DLL, which cannot
      start under Wine: the real library's failing start"""

import argparse
import fcntl
import os
import pty
import select
import shutil
import signal
import subprocess
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


# --- the real hidapi, an emulated kernel device ------------------------------------

def run_umockdev(args, work):
    demo = TOP / "demo"
    description = (demo / "scale.umockdev").read_text()
    answers = (demo / "answers.script").read_bytes()
    # What the demo's scale sends. hidapi hands a report over without a report
    # number, so the read line shows the reply from its second byte.
    reply = b"\x02OK 0001.250 kg" + bytes(range(0xF0, 0x100))
    cases = [("a full exchange, the reply inside the window (scripts/demo)", None, None,
              DONE + read_dump(reply) + PAUSE, 0),
             ("the reply after the window", description, answers.replace(b"\nr 2 ", b"\nr 40 "),
              DONE + read_dump() + PAUSE, 0),
             ("only another device", description.replace("0004", "0005"), answers,
              NOT_CONNECTED + PAUSE, 1),
             ("a node that cannot be opened", description.replace("N: hidraw0\n", ""), None,
              identity() + UNABLE_TO_OPEN, 1)]
    for name, sysfs, script, out, status in cases:
        ran.append(name)
        (work / "sysfs").write_text(sysfs or "")
        (work / "script").write_bytes(script or b"")
        node = ["-i", f"/dev/hidraw0={demo}/scale.ioctl", "-s", f"/dev/hidraw0={work}/script"]
        command = [TOP / "scripts/demo"] if sysfs is None else [
            "umockdev-run", "-d", work / "sysfs", *(node if script else []), "--", args.probe]
        # No input at all: its end ends the wait for a key.
        result = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True,
                                env={"PATH": os.environ["PATH"], "SCALE_PROBE": args.probe})
        check(name, "output, exit status", (result.stdout.decode(), result.returncode),
              (out, status))


# --- Windows ------------------------------------------------------------------------

def run_wine(args, work):
    """One new prefix, made before any case; one Wine server with its
    descriptors on /dev/null serves every case, so that no service of Wine's
    outlives a case holding its output pipe."""
    env = {"WINEPREFIX": str(work), "WINEDEBUG": "-all", "HOME": str(work)}
    quiet = {"env": {"PATH": os.environ["PATH"], **env}, "stdin": subprocess.DEVNULL,
             "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    subprocess.run(["wineserver", "--persistent"], check=True, **quiet)
    try:
        subprocess.run(["wine", "cmd", "/c", "exit"], timeout=600, check=True, **quiet)
        (work / "exe").mkdir()
        shutil.copy(Path(args.fake_dir) / "hidapi.dll", work / "exe")
        exe = shutil.copy(args.probe, work / "exe")
        run_table(args, work, Platform(["wine", exe], env, windows=True))
        ran.append("the zip's exe with its real DLL")
        real = subprocess.run(["wine", args.real], stdin=subprocess.DEVNULL,
                              capture_output=True, env=quiet["env"], timeout=120)
        check(ran[-1], "a silent failing start, status -1",
              (real.stdout, real.returncode), (b"", 255))
    finally:
        subprocess.run(["wineserver", "--kill"], **quiet)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("group", choices=["table", "terminal", "umockdev", "wine"])
    for option in ("--probe", "--fake-dir", "--wrapper", "--real", "--work"):
        parser.add_argument(option)
    args = parser.parse_args()
    work = Path(args.work)
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    {"table": run_table, "terminal": run_terminal, "umockdev": run_umockdev,
     "wine": run_wine}[args.group](args, work)
    for name in ran:
        print(("FAIL " if name in failures else "ok   ") + name
              + "".join(f"\n     {failure}" for failure in failures.get(name, [])))
    print(f"{args.group}: {len(ran) - len(failures)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
