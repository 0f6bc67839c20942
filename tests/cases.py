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
  cases.py machine --native DIR --probe EXE --fake-dir D --zip DIR --bridge DLL --work W
      inside the test machine, the scale as a USB gadget: the Linux package
      (its probe with the real hidapi, its udev rule under udevd); then under
      Wine, the table for the Windows exe (CRLF, the command processor's
      pause), and in Wine's console device text in any script and the zip's
      exe with its real DLL through Wine's HID stack
  cases.py fleet --probe P --fake-dir D --plugin CHECK --work W
      many stations over real SSH, an sshd on the loopback for each, with
      throwaway keys: the monitoring plugin, the Ansible playbook, and the
      metrics timer's writer read by Debian's node_exporter
  cases.py builders --work W
      what builders' machines hold: apt's mirror lists"""

import argparse, contextlib, fcntl, getpass, grp, gzip, json, os, pty, re, select, shutil
import signal, socket, subprocess, struct, sys, tempfile, termios, threading, time, urllib.request
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
    ("no reply in time, a short write", dict(write=0), DONE + read_dump(), 0, "read"),
    ("first match wins, absent device text", dict(devices=[
        ("1111", "0005", "NEAR", ""), (*SCALE[:2], "FIRST", None), (*SCALE[:2], "SECOND", "")]),
     identity("FIRST", "(null)") + WRITE_DUMP + read_dump(), 0, "read"),
    ("hostile and non-ASCII device text",
     dict(devices=[(*SCALE[:2], "\x1b[2J\x07S\r\nX\x7f\x9b31m", "Wäge € \U0001F600")]),
     identity("?[2J?S??X??31m", "Wäge € \U0001F600") + WRITE_DUMP + read_dump(), 0, "read"),
    # Last: the Windows console shows it too.
    ("device text in any script", dict(devices=[
        (*SCALE[:2], "SN-é\xa0Скале\x1b[2J\x07", "Wäge 中文 ÉØ \u202eabc\u200b\ufe0f")]),
     identity("SN-é\xa0Скале?[2J?", "Wäge 中文 ÉØ ?abc??") + WRITE_DUMP + read_dump(), 0, "read"),
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


ran, failures = [], {}  # the rows begun, each with what failed in it


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
        # Until the probe has the terminal in its own mode.
        wait_for(lambda: not termios.tcgetattr(slave)[3] & termios.ICANON, timeout=10)
        check(name, "prompt shown", read_until(master, prompt).endswith(prompt), True)
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
    """The README shows the demo's output as what the probe prints, and
    names presets to build with: they must be so."""
    ran.append("scripts/demo: a full exchange, the reply inside the window, as the README shows")
    # No input at all: its end ends the wait for a key. hidapi hands a report
    # over without a report number, so the read line shows it from its
    # second byte.
    result = subprocess.run([TOP / "scripts/demo"], stdin=subprocess.DEVNULL, capture_output=True,
                            env={"PATH": os.environ["PATH"], "SCALE_PROBE": args.probe})
    readme, presets = (TOP / "README.md").read_text(), {preset["name"] for preset in json.loads(
        (TOP / "CMakePresets.json").read_text())["configurePresets"]}
    check(ran[-1], "output, exit status, the README's sample, presets it names that do not exist",
          (result.stdout.decode(), result.returncode,
           re.search(r"answering:\n\n```\n(.*?)```", readme, re.S).group(1),
           sorted(set(re.findall(r"--preset\s+([\w-]+)", readme)) - presets)),
          (DONE + read_dump(SCALE_REPORT) + PAUSE, 0, DONE + read_dump(SCALE_REPORT) + PAUSE, []))


# The kernel's UTF-8 text, and how each locale shows it: "?" for what it
# cannot spell or what is unsafe (ESC, a bidirectional override, and in an
# 8-bit locale a C1 byte, as KOI8-R spells "─", a no-break space and "÷" and
# TCVN "Ớ", or a C0 byte, as TCVN spells "Ú"). SHIFT_JISX0213 holds "か" back
# until its state is ended.
SERIAL, PRODUCT = "SC-äÚ\x1b[2J", "Wäge\xa0€ Scale ─÷\u202eỚか"
LOCALES = [("C.UTF-8", "SC-äÚ?[2J".encode(), "Wäge\xa0€ Scale ─÷?Ớか".encode()),
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
    for name, _, _ in LOCALES[1:]:
        language, charset = name.split(".")
        subprocess.run(["localedef", "-i", language, "-f", charset, work / name],
                       capture_output=True)
    for name, serial, product in LOCALES:
        ran.append(f"device text under {name}")
        env = {"PATH": os.environ["PATH"], "LC_ALL": name, "LOCPATH": f"{work}:/usr/lib/locale"}
        result = subprocess.run(
            ["umockdev-run", "-d", "scale.umockdev", "-i", f"/dev/hidraw0={TOP}/demo/scale.ioctl",
             "--", args.probe], stdin=subprocess.DEVNULL, capture_output=True, cwd=work, env=env,
            timeout=60)
        # A locale that could not be built would leave the C locale in force.
        charmap = subprocess.run(["locale", "charmap"], capture_output=True, text=True, env=env)
        check(ran[-1], "identity, exit status, the locale's charset",
              (result.stdout.split(b"\n")[:3], result.returncode, charmap.stdout.strip()),
              (identity().encode().split(b"\n")[:1] + [b"  serial_number: " + serial,
                                                       b"  Product:      " + product], 0,
               name.split(".")[1]))


class Scale:
    """The scale as real USB hardware: a configfs HID gadget on the kernel's
    dummy host controller, which usbhid enumerates as a plugged-in device,
    its serial number and product name USB string descriptors, its report
    descriptor the demo's. A thread plays its side through its /dev/hidgN:
    it keeps each output report, and sends its report every 5 ms, as scales
    that stream their reading do."""

    DESCRIPTOR = bytes.fromhex((TOP / "demo/scale.ioctl").read_text().split()[-1])[4:]

    def __init__(self):
        self.gadget, self.received = Path("/sys/kernel/config/usb_gadget/scale"), []
        for folder in ("", "strings/0x409", "functions/hid.0", "configs/c.1"):
            (self.gadget / folder).mkdir()
        for name, value in (("idVendor", "0x" + SCALE[0]), ("idProduct", "0x" + SCALE[1]),
                            ("strings/0x409/serialnumber", SCALE[2]),
                            ("strings/0x409/product", SCALE[3]),
                            ("functions/hid.0/report_length", "64")):
            (self.gadget / name).write_text(value)
        (self.gadget / "functions/hid.0/report_desc").write_bytes(self.DESCRIPTOR)
        (self.gadget / "configs/c.1/hid.0").symlink_to(self.gadget / "functions/hid.0")
        (self.gadget / "UDC").write_text(os.listdir("/sys/class/udc")[0])
        hidg = Path("/sys/dev/char", (self.gadget / "functions/hid.0/dev").read_text().strip())
        self.hidg = os.open(Path("/dev", hidg.resolve().name), os.O_RDWR | os.O_NONBLOCK)
        # Enumerated, and udev done with the node: its database entry is there.
        self.node, self.udev = wait_for(lambda: [
            (Path("/dev", node.name), udev) for node in Path("/sys/class/hidraw").iterdir()
            if (udev := Path(f"/run/udev/data/c{(node / 'dev').read_text().strip()}")).exists()])
        self.stop = os.pipe()
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        """Until the test unplugs the scale."""
        with contextlib.suppress(OSError):  # unplugged
            while self.stop[0] not in (readable := select.select([self.hidg, self.stop[0]], [],
                                                                 [], 0.005)[0]):
                if self.hidg in readable:
                    self.received.append(os.read(self.hidg, 64))
                with contextlib.suppress(BlockingIOError):  # the host has not polled yet
                    os.write(self.hidg, SCALE_REPORT)

    def held(self):
        """Whether a process holds the scale's hidraw node open."""
        for fd in Path("/proc").glob("[0-9]*/fd/*"):
            with contextlib.suppress(OSError):  # gone meanwhile
                if os.readlink(fd) == str(self.node):
                    return True
        return False

    def unplug(self):
        """A real disconnect; then takes the gadget apart."""
        os.write(self.stop[1], b"x")
        (self.gadget / "UDC").write_text("\n")
        wait_for(lambda: not self.udev.exists())
        for fd in (self.hidg, *self.stop):
            os.close(fd)
        (self.gadget / "configs/c.1/hid.0").unlink()
        for folder in ("configs/c.1", "functions/hid.0", "strings/0x409", ""):
            (self.gadget / folder).rmdir()


def wait_for(what, timeout=30):
    """What what() gives once it is true; fails when that takes too long."""
    deadline = time.monotonic() + timeout
    while not (got := what()) and time.monotonic() < deadline:
        time.sleep(0.02)
    assert got, f"gave up waiting on {what}"
    return got[0] if isinstance(got, list) else got


def run_console(name, platform, out, status, cwd=None):
    """The exe as a double click starts it: in a console, here Wine's on a
    pseudo-terminal, read back as a screen. It must wait at the prompt until
    a key is typed there."""
    import pyte  # pylint: disable=import-outside-toplevel  # python3-pyte, for this group alone

    ran.append(name)
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("4H", 24, 200, 0, 0))
    probe = subprocess.Popen(platform.command, stdin=slave, stdout=slave, stderr=slave, cwd=cwd,
                             env=platform.env, start_new_session=True)
    os.close(slave)
    screen = pyte.Screen(200, 24)
    stream, shown = pyte.ByteStream(screen), lambda: "\n".join(
        line.rstrip() for line in screen.display).rstrip()
    deadline = time.monotonic() + 120
    with contextlib.suppress(OSError):  # the console closed
        while not shown().endswith(platform.pause.rstrip()) and time.monotonic() < deadline:
            if select.select([master], [], [], 0.1)[0]:
                stream.feed(os.read(master, 65536))
    waiting = probe.poll() is None
    os.write(master, b"k")
    check(name, "the screen, waiting at the prompt, exit status",
          (shown(), waiting, probe.wait(timeout=60)),
          ("\n".join(line.rstrip() for line in (out + platform.pause).split("\n")), True, status))
    os.close(master)


# Who runs what of the package, and its status. udev, given the package's
# rule, must have left the node to plugdev, mode 0660, tagged for the user
# at the seat.
USER = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
LINUX = [("a full exchange, by a user in plugdev, neither root nor at the seat",
          USER[:-1] + [f"--groups={grp.getgrnam('plugdev').gr_gid}"], "usr/bin/scale-probe", 0),
         ("the plugin, for a user outside plugdev: the node's rights and the fix", USER,
          "usr/lib/nagios/plugins/check_scale_probe", 2)]


def run_machine(args, work):
    """Linux first, then Windows: one new prefix, made before any case; one
    Wine server with its descriptors on /dev/null serves every case, so that
    no service of Wine's outlives a case holding its output pipe."""
    run_linux(work / "deb", next(Path(args.native).glob("scale-probe_*.deb")))
    # No Mono or Gecko: nothing here needs .NET or a browser engine.
    env = {"WINEPREFIX": str(work), "WINEDEBUG": "-all", "HOME": str(work),
           "WINEDLLOVERRIDES": "mscoree,mshtml="}
    quiet = {"env": {"PATH": os.environ["PATH"], **env}, "stdin": subprocess.DEVNULL,
             "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    # Wine's HID bus without SDL (Debian has no i386 SDL2, and its failed
    # start keeps the bus from starting), set before the prefix is made so
    # that the bus starts with it.
    (work / "system.reg").write_text("WINE REGISTRY Version 2\n[System\\\\CurrentControlSet\\\\"
                                     'Services\\\\WineBus]\n"Enable SDL"=dword:0\n')
    subprocess.run(["wineserver", "--persistent"], check=True, **quiet)
    try:
        subprocess.run(["wine", "cmd", "/c", "exit"], timeout=600, check=True, **quiet)
        exe = shutil.copy(args.probe, shutil.copytree(args.fake_dir, work / "exe"))
        platform = Platform(["wine", exe], env, windows=True)
        run_table(args, work, platform)
        # The table's last case in the console: device text as itself.
        platform.env["FAKE_HIDAPI_SCRIPT"] = f"{len(TABLE) - 1}.script"
        run_console("Windows console: device text in any script", platform, TABLE[-1][2], 0,
                    cwd=work)
        # The scale plugged in only now, since a plugged-in scale costs the
        # machine's one processor time while Wine's bus polls it. The bus
        # learns of it from udev and opens it. Beside the zip, as shipped, a
        # stand-in for the cfgmgr32 functions that Wine lacks.
        scale = Scale()
        wait_for(scale.held)
        shutil.copy(args.bridge, shutil.copytree(args.zip, work / "zip"))
        platform = Platform(["wine", work / "zip/scale-probe.exe"],
                            {**env, "WINEDLLOVERRIDES": "cfgmgr32=n,b"}, windows=True)
        run_console("Windows console: the zip's exe and DLL through Wine's HID stack", platform,
                    DONE + read_dump(SCALE_REPORT), 0)
        check(ran[-1], "the scale received the command", COMMAND[1:] in scale.received, True)
    finally:
        subprocess.run(["wineserver", "--kill"], **quiet)


def run_linux(root, deb):
    """The package's probe and plugin, and its udev rule under udevd, each
    case with a scale of its own, unplugged after it."""
    subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
    Path("/run/udev/rules.d").mkdir(parents=True)
    shutil.copy(next(root.glob("usr/lib/udev/rules.d/*.rules")), "/run/udev/rules.d")
    subprocess.run(["/usr/lib/systemd/systemd-udevd", "--daemon"], check=True)
    for name, user, program, status in LINUX:
        ran.append("Linux: " + name)
        scale = Scale()
        out = DONE + read_dump(SCALE_REPORT) + PAUSE if status == 0 else (
            f"SCALE CRITICAL - unable to open device: {scale.node} is root:plugdev, mode 0660, "
            "and nobody may not open it: add nobody to plugdev (usermod -aG plugdev nobody) and "
            "restart the agent\n" + identity() + UNABLE_TO_OPEN)
        given = (grp.getgrgid(scale.node.stat().st_gid).gr_name, scale.node.stat().st_mode & 0o777,
                 ":uaccess:" in subprocess.run(["udevadm", "info", "-q", "property", scale.node],
                                               capture_output=True, text=True).stdout)
        result = subprocess.run([*user, root / program], capture_output=True,
                                stdin=subprocess.DEVNULL, env=Platform([], {}).env, timeout=120)
        check(ran[-1], "output, standard error, exit status, what the scale received; the node's "
              "group, mode, tag", (result.stdout, result.stderr, result.returncode, scale.received,
                                   *given),
              (out.encode(), b"", status, [COMMAND[1:]] if status == 0 else [], "plugdev", 0o660,
               True))
        scale.unplug()


# --- many stations over SSH --------------------------------------------------------

# name, the station's probe (a script for the stand-in hidapi, a shell script
# in the probe's place, or None: none), the plugin's status and first line;
# and the message that the playbook fails with, where the plugin has none.
# The answering scale's serial number holds what the plugin's line and the
# metrics' labels must each spell their own way.
NO_PLUGIN, HOSTILE = "/nonexistent/check_scale_probe", 'SC-"1\\2|3'
STATIONS = [
    ("answers", dict(read=REPLY, devices=[(*SCALE[:2], HOSTILE, SCALE[3])]), 0,
     'SCALE OK - the scale SC-"1\\2?3 answered'),
    ("silent", {}, 1, f"SCALE WARNING - the scale {SCALE[2]} took the command but sent no reply "
     "within 10 ms"),
    ("no-scale", dict(devices=[]), 2, "SCALE CRITICAL - " + NOT_CONNECTED.strip()),
    ("write-fails", dict(write=-1, error="Gone"), 2,
     "SCALE CRITICAL - Unable to write() Error: Gone"),
    ("library-fails", dict(init=-1), 3, "SCALE UNKNOWN - the HID library failed to start"),
    ("crashes", "kill -SEGV $$", 3, "SCALE UNKNOWN - the probe was ended by signal SEGV"),
    ("hangs", "sleep 600 & sleep 600", 3, "SCALE UNKNOWN - the probe did not end within 2 s"),
    ("no-probe", None, 3, "SCALE UNKNOWN - scale-probe is not installed: no {probe}"),
    ("no-plugin", {}, None, f"no status line from {NO_PLUGIN}: ")]
# None of this user's own ssh settings.
SSH = ["-F", "/dev/null", "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
       "-o", "LogLevel=ERROR", "-o", "BatchMode=yes"]


def free_port():
    with socket.socket() as free:
        free.bind(("127.0.0.1", 0))
        return free.getsockname()[1]


def scrape(port):
    with contextlib.suppress(OSError):  # not listening yet
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=10) as answer:
            return answer.read().decode()


def station(args, home, probe):
    """A station: the environment its SSH sessions get, which names its probe
    (and marks every process of the station), and its own sshd. Returns the
    environment, the port and the sshd."""
    (home / "bin").mkdir(parents=True)
    if isinstance(probe, dict):
        (home / "bin/scale-probe").symlink_to(args.probe)
        (home / "script").write_text(Platform([], {}).script(**probe))
    elif probe:
        (home / "bin/scale-probe").write_text(f"#!/bin/sh\n{probe}\n")
        (home / "bin/scale-probe").chmod(0o755)
    env = {"PATH": "/usr/bin:/bin", "LD_LIBRARY_PATH": args.fake_dir, "LC_ALL": "C",
           "FAKE_HIDAPI_SCRIPT": str(home / "script"), "SCALE_PROBE": str(home / "bin/scale-probe")}
    port = free_port()
    options = ["ListenAddress=127.0.0.1", f"AuthorizedKeysFile={home.parent}/id.pub",
               "StrictModes=no", "UsePAM=no", f"PidFile={home}/sshd.pid",
               "Subsystem=sftp internal-sftp", "SetEnv=" + " ".join(f"{k}={v}" for k, v in env.items()),
               # Only root's sshd can hand a terminal (Ansible asks for one) to a user.
               f"PermitTTY={'yes' if os.getuid() == 0 else 'no'}"]
    return env, port, subprocess.Popen(
        ["/usr/sbin/sshd", "-D", "-e", "-f", "/dev/null", "-p", str(port), "-h",
         home.parent / "host", *(f"-o{option}" for option in options)],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=open(home / "sshd.log", "w"))


def left(env):
    """The processes of a station that are still there."""
    marker, found = f"SCALE_PROBE={env['SCALE_PROBE']}".encode(), []
    for environ in Path("/proc").glob("[0-9]*/environ"):
        with contextlib.suppress(OSError):  # gone meanwhile, or not this user's
            if marker in environ.read_bytes().split(b"\0"):
                found.append(environ.parent.name)
    return found


def check_metrics(env, port, folder, plugin, probe, status):
    """The metrics timer's writer, as node_exporter then serves its file."""
    began, found = time.time(), [] if "init" in probe else probe.get("devices", [SCALE])
    writer = subprocess.run([TOP / "packaging/linux/scale-probe-metrics.sh", folder], text=True,
                            env={**env, "CHECK_SCALE_PROBE": plugin}, capture_output=True)
    lines = sorted(line for line in wait_for(lambda: scrape(port)).splitlines()
                   if line.startswith(("scale_probe_", "node_textfile_scrape_error")))
    check(ran[-1], "the writer's status and standard error, the metrics, when it ran",
          (writer.returncode, writer.stderr, [line for line in lines if "timestamp" not in line],
           [began - 1 <= float(line.split()[1]) <= time.time() + 1 for line in lines
            if "timestamp" in line]),
          (0, "", ["node_textfile_scrape_error 0"] + [
              f'scale_probe_info{{product="{SCALE[3]}",serial="{label}"}} 1' for label in (
                  serial.replace("\\", "\\\\").replace('"', '\\"') for _, _, serial, _ in found)]
           + [f"scale_probe_status {status}", f"scale_probe_up {int(status == 0)}"], [True]))


def run_fleet(args, work):
    """The package's monitoring plugin through check_by_ssh, and its playbook
    under --check with Ansible's default settings (none of this user's), at
    stations that each run the probe in their own way; every input is held
    open, as NRPE and check_by_ssh leave the plugin's. At the stations whose
    probe runs, the metrics timer's writer, into the folder that Debian's
    node_exporter reads, scraped from it over HTTP: the metrics, label values
    escaped, no error of node_exporter's. Nothing of a station may outlive
    its checks."""
    for key in ("host", "id"):
        subprocess.run(["ssh-keygen", "-qN", "", "-t", "ed25519", "-f", work / key], check=True)
    if os.getuid() == 0:  # sshd's privilege separation, which the ssh service makes
        Path("/run/sshd").mkdir(mode=0o755, exist_ok=True)
    user = getpass.getuser()
    stations = {name: station(args, work / name, probe) for name, probe, *_ in STATIONS}
    (work / "ansible.cfg").touch()
    (work / "stations").write_text("".join(
        f"{name} ansible_host=127.0.0.1 ansible_port={port}\n"
        for name, (_, port, _) in stations.items()).replace(
        "no-plugin ", f"no-plugin check_scale_probe={NO_PLUGIN} ") + "[all:vars]\n" + "".join(
        f"{key}={value}\n" for key, value in (
            ("ansible_user", user), ("ansible_ssh_private_key_file", work / "id"),
            ("ansible_ssh_common_args", " ".join(SSH)), ("ansible_remote_tmp", work / "tmp"),
            ("ansible_python_interpreter", "/usr/bin/python3"),
            ("check_scale_probe", args.plugin), ("scale_probe_timeout", 2))))
    held, holding = os.pipe()
    ends = {"stdin": held, "capture_output": True, "text": True, "timeout": 120}
    (work / "prom").mkdir()
    exporter = subprocess.Popen(
        ["prometheus-node-exporter", f"--web.listen-address=127.0.0.1:{(port := free_port())}",
         "--collector.disable-defaults", "--collector.textfile",
         f"--collector.textfile.directory={work}/prom"], stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL, stderr=open(work / "node_exporter.log", "w"))
    # SSH's control sockets in a short path: a Unix socket's must stay under
    # 108 bytes, however deep the checkout. Removed when the group ends.
    sockets = tempfile.TemporaryDirectory()
    try:
        playbook = subprocess.run(
            ["ansible-playbook", "--check", "-i", work / "stations",
             TOP / "packaging/linux/scales.yml"], **ends,
            env={"PATH": os.environ["PATH"], "HOME": str(work), "LC_ALL": "C.UTF-8",
                 "ANSIBLE_CONFIG": str(work / "ansible.cfg"), "ANSIBLE_NOCOLOR": "1",
                 "ANSIBLE_SSH_CONTROL_PATH_DIR": sockets.name})
        (work / "playbook.log").write_text(playbook.stdout + playbook.stderr)
        for name, probe, status, line in STATIONS:
            ran.append(f"{name}: the plugin through check_by_ssh, the playbook, the metrics")
            env, at, _ = stations[name]
            line = line.format(probe=env["SCALE_PROBE"])
            if status is not None:  # check_by_ssh fails on any standard error
                remote = subprocess.run(
                    ["/usr/lib/nagios/plugins/check_by_ssh", "-H", "127.0.0.1", "-p", str(at),
                     "-l", user, "-i", str(work / "id"), *SSH, "-C", f"{args.plugin} -t 2"], **ends)
                check(ran[-1], "status and first line through check_by_ssh",
                      (remote.returncode, remote.stdout.split("\n")[0]), (status, line))
            recap = re.search(rf"^{name}\s+: .*unreachable=(\d+)\s+failed=(\d+)", playbook.stdout,
                              re.M)
            said = re.search(rf'^(?:ok|fatal): \[{name}\](?:: FAILED!)? => {{[^}}]*"msg": "(.*)"',
                             playbook.stdout, re.M)
            check(ran[-1], "the playbook's unreachable and failed, and its message begins so",
                  (recap and recap.groups(), said and json.loads(f'"{said[1]}"')[:len(line)]),
                  (("0", str(int(status != 0))), line))
            if isinstance(probe, dict) and status is not None:
                check_metrics(env, port, work / "prom", args.plugin, probe, status)
        ran.append("hangs: the plugin ended by TERM, and all that it started")
        env = stations["hangs"][0]
        plugin = subprocess.Popen([args.plugin], env=env, stdin=held, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True)
        wait_for(lambda: len(left(env)) >= 5)  # the plugin, timeout, the probe, its two sleeps
        plugin.terminate()
        check(ran[-1], "output and standard error, status", (plugin.communicate(timeout=10),
                                                             plugin.returncode),
              (("SCALE UNKNOWN - the plugin was ended by signal TERM\n", ""), 3))
    finally:
        os.close(holding)
        for _, _, process in [*stations.values(), (0, 0, exporter)]:
            process.terminate()
    check(ran[-1], "nothing of any station left running",
          {name: left(env) for name, (env, _, _) in stations.items() if left(env)}, {})


# --- what builders' machines hold -----------------------------------------------------

def run_builders(args, work):
    """The archives of a mirror list, plain or gzip'd, in apt's order and
    only those that may serve the pool."""
    ran.append("a mirror list, plain and gzip'd: by priority, none that cannot serve the pool")
    sys.path.insert(0, str(TOP / "scripts"))
    from apt_sources import mirrors  # pylint: disable=import-outside-toplevel
    listed = ("file:/srv/local/\tpriority:1 type:index\n# http://old.example.org/\n\n"
              "http://partial.example.org/\tpriority:2 arch:amd64 type:deb\n"
              "http://last.example.org/\nhttp://first.example.org/\tpriority:3\n")
    (work / "list").write_text(listed)
    (work / "list.gz").write_bytes(gzip.compress(listed.encode()))
    check(ran[-1], "mirrors", [mirrors(f"mirror+file:{work}/list"),
                               mirrors(f"mirror+file://{work}/list.gz")],
          [["http://first.example.org/", "http://last.example.org/"]] * 2)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("group",
                        choices=["table", "terminal", "demo", "locales", "machine", "fleet",
                                 "builders"])
    for option in "--probe --fake-dir --wrapper --zip --native --bridge --plugin --work".split():
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
