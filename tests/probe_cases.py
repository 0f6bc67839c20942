#!/usr/bin/env python3
"""End-to-end cases for scale-probe.

Every case runs the real binary and compares, byte for byte, what it prints
and its exit status, and whether it held the console with the pause. The
groups:
  scripted    against the scripted stand-in for hidapi, which also records
              every call, so the order of releases and the waits are checked
  pause       the wait for a key itself, on a pipe and on a terminal
  real-start  the Windows exe with the real hidapi DLL, which cannot start
              under Wine
  windows     the three groups above for the Windows exe, in one Wine session
The real hidapi against a real kernel device is tests/usb_bench's work."""

import argparse
import fcntl
import os
import pty
import select
import shutil
import subprocess
import sys
import termios
import time
from dataclasses import dataclass, field
from pathlib import Path

from expected_output import (COMMAND_REPORT, NOT_CONNECTED, PAUSE, UNABLE_TO_OPEN,
                             WRITE_DUMP, identity, read_dump)


# --- how the probe is started ----------------------------------------------

class Native:
    """The Linux binary; the loader swaps in the stand-in library."""
    pause_text = PAUSE
    wchar_bits = 32
    terminal = True
    posix_locale = True

    def __init__(self, probe, fake_dir, wrapper=None):
        self.probe = probe
        self.fake_dir = fake_dir
        self.wrapper = wrapper.split() if wrapper else []
        self.env = {}

    def use_fake(self, work):
        self.env["LD_LIBRARY_PATH"] = self.fake_dir

    def command(self, extra_args=()):
        return [*self.wrapper, self.probe, *extra_args]

    def path(self, path):
        return str(path)

    def expected(self, text):
        return text.encode()


def wine_env(prefix):
    """What Wine needs: its prefix, and quiet."""
    return {"WINEPREFIX": str(prefix), "WINEDEBUG": "-all",
            "HOME": os.environ.get("HOME", "/root")}


class Wine:
    """The Windows exe under Wine. The stand-in DLL is swapped in the Windows
    way: a DLL beside the exe is found first."""
    pause_text = "Press any key to continue... "  # Wine's cmd, input not a console
    wchar_bits = 16
    terminal = False
    posix_locale = False

    def __init__(self, probe, fake_dir, prefix):
        self.probe = probe
        self.fake_dir = fake_dir
        self.env = wine_env(prefix)

    def use_fake(self, work):
        beside = work / "exe"
        beside.mkdir(exist_ok=True)
        shutil.copy(self.probe, beside)
        shutil.copy(Path(self.fake_dir) / "hidapi.dll", beside)
        self.probe = str(beside / Path(self.probe).name)

    def command(self, extra_args=()):
        return ["wine", self.probe, *extra_args]

    def path(self, path):
        return "Z:" + str(path).replace("/", "\\")

    def expected(self, text):
        # Text mode turns each line end into CRLF; without a console, narrow
        # text is in the ANSI code page, which Wine makes 1252 here.
        return text.replace("\n", "\r\n").encode("cp1252", errors="replace")


def base_env(platform, **extra):
    """A small, fixed environment, so that the user's locale and library
    paths cannot change what a case sees; sanitizer settings pass through."""
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LC_ALL": "C.UTF-8"}
    env.update({k: v for k, v in os.environ.items() if k.endswith("SAN_OPTIONS")})
    env.update(platform.env)
    env.update(extra)
    return env


# --- comparing ---------------------------------------------------------------

failures = {}


def check(name, what, actual, expected):
    if actual != expected:
        failures.setdefault(name, []).append(
            f"{what}\n    expected {expected!r}\n    actual   {actual!r}")


def report(group, names):
    failed = [name for name in names if name in failures]
    for name in names:
        print(("FAIL " if name in failures else "ok   ") + name)
        for failure in failures.get(name, []):
            print("     " + failure)
    print(f"{group}: {len(names) - len(failed)} passed, {len(failed)} failed", flush=True)
    return 1 if failed else 0


def check_run(name, platform, result, out, status, pauses):
    expected = platform.expected(out + (platform.pause_text if pauses else ""))
    check(name, "output", result.stdout, expected)
    check(name, "exit status", result.returncode, status)
    check(name, "standard error", result.stderr, b"")


# --- scripted library ----------------------------------------------------------

def units(text, bits):
    """A device string as the stand-in's script spells it: wchar_t units in
    hex, "-" when empty, "null" for a null pointer. A list is taken as raw
    units, for values no Python string holds."""
    if text is None:
        return "null"
    if isinstance(text, list):
        values = text
    elif bits == 16:
        raw = text.encode("utf-16-le")
        values = [int.from_bytes(raw[i:i + 2], "little") for i in range(0, len(raw), 2)]
    else:
        values = [ord(c) for c in text]
    return ",".join(f"{v:x}" for v in values) or "-"


def device(vid, pid, serial="SC-000123", product="Bench Scale"):
    return ("device", vid, pid, serial, product)


SCALE = device(0x1111, 0x0004)
ENDS_OPENED = ["hid_set_nonblocking", "hid_write", "hid_read", "hid_close", "hid_exit"]
FOUND = ["hid_init", "hid_enumerate", "hid_free_enumeration", "hid_open"]
EXCHANGE = FOUND + ENDS_OPENED
REPLY = bytes([0xEE]) + bytes(range(1, 65))


@dataclass
class Scripted:
    name: str
    script: list
    out: str
    status: int
    pauses: bool
    calls: list
    env: dict = field(default_factory=dict)
    args: tuple = ()
    posix_locale: bool = False  # depends on the C library taking LC_ALL


def scripted_cases(platform):
    bits = platform.wchar_bits
    hostile = "\x1b[2J\x07Scale\r\nInjected\x7f\x9b31m\x85"
    harmless = "?[2J?Scale??Injected??31m?"
    cases = [
        Scripted("library start fails", ["init -1"], "", 255, False, ["hid_init"]),
        Scripted("no devices at all", [], NOT_CONNECTED, 1, True,
                 ["hid_init", "hid_enumerate", "hid_free_enumeration", "hid_exit"]),
        Scripted("only near misses",
                 [device(0x1111, 0x0005), device(0x2222, 0x0004), device(0x0004, 0x1111)],
                 NOT_CONNECTED, 1, True,
                 ["hid_init", "hid_enumerate", "hid_free_enumeration", "hid_exit"]),
        Scripted("open fails", [SCALE, "open fail"], identity() + UNABLE_TO_OPEN, 1,
                 False, FOUND + ["hid_exit"]),
        Scripted("write fails with error text",
                 [SCALE, "write -1", ("error", "Device unplugged")],
                 identity() + WRITE_DUMP + "Unable to write()\nError: Device unplugged\n",
                 1, True, FOUND + ["hid_set_nonblocking", "hid_write", "hid_error",
                                   "hid_close", "hid_exit"]),
        Scripted("write fails without error text", [SCALE, "write -1", ("error", None)],
                 identity() + WRITE_DUMP + "Unable to write()\nError: (null)\n", 1, True,
                 FOUND + ["hid_set_nonblocking", "hid_write", "hid_error",
                          "hid_close", "hid_exit"]),
        Scripted("write fails with hostile error text",
                 [SCALE, "write -1", ("error", "Gone\x1b]0;pwned\x07\n")],
                 identity() + WRITE_DUMP + "Unable to write()\nError: Gone?]0;pwned??\n",
                 1, True, FOUND + ["hid_set_nonblocking", "hid_write", "hid_error",
                                   "hid_close", "hid_exit"]),
        Scripted("read fails", [SCALE, "read -1"],
                 identity() + WRITE_DUMP + "\nUnable to read()\n", 1, True, EXCHANGE),
        Scripted("exchange completes", [SCALE, "read 65 " + REPLY.hex(" ")],
                 identity() + WRITE_DUMP + read_dump(REPLY), 0, True, EXCHANGE),
        Scripted("arguments are ignored", [SCALE, "read 65 " + REPLY.hex(" ")],
                 identity() + WRITE_DUMP + read_dump(REPLY), 0, True, EXCHANGE,
                 args=("--help", "-v", "/dev/hidraw9")),
        Scripted("nothing arrived in time", [SCALE, "read 0"],
                 identity() + WRITE_DUMP + read_dump(), 0, True, EXCHANGE),
        Scripted("short reply", [SCALE, "write 0", "read 5 aa 01 02 03 04"],
                 identity() + WRITE_DUMP + read_dump(bytes([0xAA, 1, 2, 3, 4])), 0, True,
                 EXCHANGE),
        Scripted("first match wins",
                 [device(0x1111, 0x0005, "NEAR"), device(0x1111, 0x0004, "FIRST"),
                  device(0x1111, 0x0004, "SECOND")],
                 identity(serial="FIRST") + WRITE_DUMP + read_dump(), 0, True, EXCHANGE),
        Scripted("null device strings", [device(0x1111, 0x0004, None, None)],
                 identity("(null)", "(null)") + WRITE_DUMP + read_dump(), 0, True,
                 EXCHANGE),
        Scripted("empty device strings", [device(0x1111, 0x0004, "", "")],
                 identity("", "") + WRITE_DUMP + read_dump(), 0, True, EXCHANGE),
        Scripted("hostile device strings", [device(0x1111, 0x0004, hostile, hostile)],
                 identity(harmless, harmless) + WRITE_DUMP + read_dump(), 0, True, EXCHANGE),
        Scripted("non-ASCII under a UTF-8 locale", [device(0x1111, 0x0004, "Nº 7", "Wäge €")],
                 identity("Nº 7", "Wäge €") + WRITE_DUMP + read_dump(), 0, True, EXCHANGE),
        # The tag character is one that glibc's ASCII conversion would drop.
        Scripted("non-ASCII under the C locale",
                 [device(0x1111, 0x0004, "Nº 7\U000E0041", "Wäge €")],
                 identity("N? 7?", "W?ge ?") + WRITE_DUMP + read_dump(), 0, True, EXCHANGE,
                 env={"LC_ALL": "C"}, posix_locale=True),
        Scripted("characters beyond the BMP", [device(0x1111, 0x0004, "a\U0001F600b", "Scale")],
                 identity("a\U0001F600b", "Scale") + WRITE_DUMP + read_dump(), 0, True,
                 EXCHANGE),
        Scripted("malformed wide characters",
                 [device(0x1111, 0x0004, [0xD800, 0x41], [0xDC00, 0x42, 0xD83D])],
                 identity("?A", "?B?") + WRITE_DUMP + read_dump(), 0, True, EXCHANGE),
    ]
    if bits == 32:
        cases.append(Scripted(
            "wide characters beyond Unicode", [device(0x1111, 0x0004, [0x110000, 0x43],
                                                      [0x7FFFFFFF, 0x44])],
            identity("?C", "?D") + WRITE_DUMP + read_dump(), 0, True, EXCHANGE))
    return [c for c in cases if platform.posix_locale or not c.posix_locale]


def write_script(path, lines, bits):
    text = []
    for line in lines:
        if isinstance(line, str):
            text.append(line)
        elif line[0] == "device":
            _, vid, pid, serial, product = line
            text.append(f"device {vid:04x} {pid:04x} {units(serial, bits)} "
                        f"{units(product, bits)}")
        else:
            text.append(f"{line[0]} {units(line[1], bits)}")
    path.write_text("\n".join(text) + "\n")


def read_log(path):
    calls = []
    for line in path.read_text().splitlines():
        stamp, name, *args = line.split(" ")
        calls.append((int(stamp), name, args))
    return calls


def check_calls(name, calls, expected_names):
    """The order of every call, then what each call was given."""
    check(name, "hidapi calls", [c[1] for c in calls], expected_names)
    at = {}
    for stamp, call, args in calls:
        at[call] = stamp
        if call == "hid_enumerate":
            check(name, "enumeration filter", args, ["0000", "0000"])
        elif call == "hid_open":
            check(name, "open by the ids with a null serial", args, ["1111", "0004", "null"])
        elif call == "hid_set_nonblocking":
            check(name, "non-blocking mode", args, ["handle", "1"])
        elif call == "hid_write":
            check(name, "command report", args, ["handle", "65", COMMAND_REPORT.hex()])
        elif call == "hid_read":
            check(name, "read into a zeroed buffer", args, ["handle", "65", "00" * 65])
        elif call in ("hid_close", "hid_error"):
            check(name, f"{call} on the open handle", args, ["handle"])
    # The stand-in answers at once, so the gap between two calls bounds the
    # program's own wait from above; both waits must be at least 10 ms.
    if "hid_write" in at:
        waited = at["hid_write"] - at["hid_set_nonblocking"]
        check(name, f"wait before the write ({waited} us) is at least 10 ms",
              waited >= 10000, True)
    if "hid_read" in at:
        waited = at["hid_read"] - at["hid_write"]
        check(name, f"wait before the read ({waited} us) is at least 10 ms",
              waited >= 10000, True)


def run_scripted(platform, work):
    platform.use_fake(work)
    names = []
    for i, case in enumerate(scripted_cases(platform)):
        names.append(case.name)
        script, log = work / f"case{i}.script", work / f"case{i}.log"
        write_script(script, case.script, platform.wchar_bits)
        env = base_env(platform, FAKE_HIDAPI_SCRIPT=platform.path(script),
                       FAKE_HIDAPI_LOG=platform.path(log), **case.env)
        result = subprocess.run(platform.command(case.args), input=b"k", env=env,
                                capture_output=True, timeout=120)
        check_run(case.name, platform, result, case.out, case.status, case.pauses)
        check_calls(case.name, read_log(log), case.calls)
    return report("scripted", names)


# --- the pause ---------------------------------------------------------------------

def read_until(fd, wanted, timeout=10):
    got, deadline = b"", time.monotonic() + timeout
    while wanted not in got and time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.1)
        if ready:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            got += chunk
    return got


def still_waiting(process):
    time.sleep(0.3)
    return process.poll() is None


def run_pause(platform, work):
    platform.use_fake(work)
    prompt = platform.pause_text.rstrip("\n").encode()
    names = []

    def scripted_env(name, lines):
        script = work / f"{name}.script"
        write_script(script, lines, platform.wchar_bits)
        return base_env(platform, FAKE_HIDAPI_SCRIPT=platform.path(script))

    for name, lines, status in [("waits for a key when the scale is missing", [], 1),
                                ("waits for a key after an exchange", [SCALE], 0)]:
        names.append(name)
        process = subprocess.Popen(platform.command(), stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, env=scripted_env("wait", lines))
        shown = read_until(process.stdout.fileno(), prompt)
        check(name, "prompt shown", prompt in shown, True)
        check(name, "still waiting after the prompt", still_waiting(process), True)
        process.stdin.write(b"k")
        process.stdin.close()
        check(name, "exit status after the key", process.wait(timeout=10), status)
        check(name, "after the key", process.stdout.read(),
              platform.expected(platform.pause_text[len(prompt):]))

    for name, lines, status in [("no pause when the library fails to start",
                                 ["init -1"], 255),
                                ("no pause when the open fails", [SCALE, "open fail"], 1)]:
        names.append(name)
        process = subprocess.Popen(platform.command(), stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, env=scripted_env("nowait", lines))
        try:
            code = process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            code = "still waiting"
        check(name, "ends by itself", code, status)
        check(name, "no prompt", prompt in process.stdout.read(), False)
        process.stdin.close()

    name = "end of input ends the wait"
    names.append(name)
    result = subprocess.run(platform.command(), stdin=subprocess.DEVNULL,
                            capture_output=True, env=scripted_env("eof", []), timeout=10)
    check(name, "output", result.stdout, platform.expected(NOT_CONNECTED + platform.pause_text))

    if not platform.terminal:
        return report("pause", names)
    name = "one key on a terminal, settings restored"
    names.append(name)
    master, slave = pty.openpty()
    before = termios.tcgetattr(slave)
    process = subprocess.Popen(platform.command(), stdin=slave, stdout=slave, stderr=slave,
                               env=scripted_env("tty", []))
    shown = read_until(master, prompt)
    check(name, "prompt shown", prompt in shown, True)
    check(name, "still waiting after the prompt", still_waiting(process), True)
    os.write(master, b"\x1b[A")  # an arrow key: one press, three bytes, no Enter
    try:
        code = process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        code = "still waiting"
    check(name, "ends on one key press", code, 1)
    check(name, "key not echoed, line ended",
          read_until(master, b"\n", timeout=2).replace(b"\r", b""), b"\n")
    check(name, "terminal settings restored", termios.tcgetattr(slave), before)
    pending = fcntl.ioctl(slave, termios.FIONREAD, b"\0\0\0\0")
    check(name, "nothing of the key left over", int.from_bytes(pending, sys.byteorder), 0)
    os.close(master)
    os.close(slave)
    return report("pause", names)


def run_real_start(platform, work):
    """hidapi's Windows backend cannot start under Wine, whose cfgmgr32 lacks
    functions that it needs: that exercises the real failing start. The exe
    and the DLL are the ones unpacked from the zip, on their own: the exe
    must load its DLL and nothing else."""
    name = "the real library fails to start (the zip's exe and DLL)"
    result = subprocess.run(platform.command(), input=b"k", env=base_env(platform),
                            capture_output=True, timeout=60)
    check_run(name, platform, result, "", 255, False)
    return report("real-start", [name])


def run_windows(args, work):
    """The Windows groups in one Wine session. The prefix is made new, and
    checked, before any case runs; one Wine server, with its descriptors on
    /dev/null, serves every case, so that no service of Wine's is started by
    a case and left holding that case's output pipe."""
    prefix = Path(args.wine_prefix)
    shutil.rmtree(prefix, ignore_errors=True)
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), **wine_env(prefix)}
    quiet = {"env": env, "stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL,
             "stderr": subprocess.DEVNULL}
    began = time.monotonic()
    prefix.mkdir(parents=True)  # the server starts only in an existing prefix
    subprocess.run(["wineserver", "--persistent"], check=True, **quiet)
    try:
        made = subprocess.run(["wine", "cmd", "/c", "exit"], timeout=600, **quiet)
        kernel32 = prefix / "drive_c/windows/system32/kernel32.dll"
        if made.returncode != 0 or not kernel32.is_file():
            print(f"wine: the new prefix is broken (status {made.returncode}, "
                  f"kernel32.dll {'present' if kernel32.is_file() else 'missing'})")
            return 1
        print(f"wine: prefix made and checked in {time.monotonic() - began:.0f} s", flush=True)
        statuses = []
        for group, probe in (("scripted", args.probe), ("pause", args.probe),
                             ("real-start", args.real)):
            folder = work / group
            folder.mkdir()
            statuses.append(GROUPS[group](Wine(probe, args.fake_dir, prefix), folder))
    finally:
        subprocess.run(["wineserver", "--kill"], **quiet)
    print(f"wine: {time.monotonic() - began:.0f} s in all")
    return max(statuses)


GROUPS = {"scripted": run_scripted, "pause": run_pause, "real-start": run_real_start}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("group", choices=[*GROUPS, "windows"])
    parser.add_argument("--probe", required=True)
    parser.add_argument("--fake-dir", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--wrapper", help="a command to run the probe under (valgrind)")
    parser.add_argument("--wine-prefix", help="windows: where to make Wine's prefix")
    parser.add_argument("--real", help="windows: the exe unpacked from the zip")
    args = parser.parse_args()
    work = Path(args.work)
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    if args.group == "windows":
        return run_windows(args, work)
    return GROUPS[args.group](Native(args.probe, args.fake_dir, args.wrapper), work)


if __name__ == "__main__":
    sys.exit(main())
