#!/usr/bin/env python3
"""Many stations at once, over real SSH: an sshd on the loopback for each
station, with throwaway keys, whose sessions run the probe against the
scripted stand-in for hidapi, each in its own way. The package's playbook
runs against them with Ansible's default settings, and its monitoring plugin
directly and through check_by_ssh, its own input left open; everything must
end, with the right statuses and lines, and leave no probe behind.

  fleet.py --probe P --fake-dir D --plugin CHECK --work W"""

import argparse
import getpass
import os
import re
import shutil
import socket
import subprocess
import sys
from pathlib import Path

from cases import NOT_CONNECTED, REPLY, SCALE, Platform

TOP = Path(__file__).resolve().parent.parent
# name, what the stand-in does, the plugin's status and first line, and
# whether Ansible counts the station as failed
STATIONS = [
    ("answers", dict(read=REPLY), 0, f"SCALE OK - the scale {SCALE[2]} answered", False),
    ("no-scale", dict(devices=[]), 2, "SCALE CRITICAL - " + NOT_CONNECTED.strip(), True),
    ("library-fails", dict(init=-1), 3, "SCALE UNKNOWN - the HID library failed to start", True),
]
failures = []


def check(what, actual, expected):
    ok = actual == expected
    print(("ok   " if ok else "FAIL ") + what + ("" if ok else f"\n     {actual!r}, not {expected!r}"))
    if not ok:
        failures.append(what)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def station(work, name, script, key):
    """A station: its stand-in's script, the probe on its PATH and an sshd
    whose sessions see them. Returns (the environment, the port, sshd)."""
    home = work / name
    (home / "bin").mkdir(parents=True)
    (home / "bin/scale-probe").symlink_to(ARGS.probe)
    (home / "script").write_text(Platform([], {}).script(**script))
    env = {"PATH": f"{home}/bin:/usr/bin:/bin", "LD_LIBRARY_PATH": ARGS.fake_dir,
           "FAKE_HIDAPI_SCRIPT": str(home / "script"), "LC_ALL": "C"}
    port = free_port()
    sshd = subprocess.Popen(
        ["/usr/sbin/sshd", "-D", "-e", "-f", "/dev/null", "-p", str(port), "-h", key,
         "-o", "ListenAddress=127.0.0.1", "-o", f"AuthorizedKeysFile={work}/id.pub",
         "-o", "StrictModes=no", "-o", "UsePAM=no", "-o", f"PidFile={home}/sshd.pid",
         "-o", "Subsystem=sftp internal-sftp",
         "-o", "SetEnv=" + " ".join(f"{k}={v}" for k, v in env.items())],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=open(home / "sshd.log", "w"))
    return env, port, sshd


def main():
    work = Path(ARGS.work)
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    for key in ("host", "id"):
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", work / key],
                       check=True)
    if os.getuid() == 0:  # sshd's privilege separation, which the ssh service makes
        Path("/run/sshd").mkdir(mode=0o755, exist_ok=True)
    # Not this user's own ssh settings.
    user, ssh = getpass.getuser(), ["-F", "/dev/null", "-o", "StrictHostKeyChecking=no", "-o",
                                    "UserKnownHostsFile=/dev/null", "-o", "BatchMode=yes", "-o", "LogLevel=ERROR"]
    stations = {name: station(work, name, script, str(work / "host"))
                for name, script, *_ in STATIONS}
    # Their inputs stay open, as NRPE and check_by_ssh leave them: a pipe
    # whose other end is held here.
    held, holding = os.pipe()
    ends = {"stdin": held, "capture_output": True, "text": True, "timeout": 120}
    try:
        for name, _, status, line, _ in STATIONS:
            env, port, _ = stations[name]
            plugin = subprocess.run([ARGS.plugin], env=env, **ends)
            check(f"{name}: the plugin, in the C locale: status, first line",
                  (plugin.returncode, plugin.stdout.split("\n")[0]), (status, line))
            remote = subprocess.run(["/usr/lib/nagios/plugins/check_by_ssh", "-H", "127.0.0.1",
                                     "-p", str(port), "-l", user, "-i", str(work / "id"),
                                     *ssh, "-C", ARGS.plugin], **ends)
            check(f"{name}: the plugin through check_by_ssh: status, first line",
                  (remote.returncode, remote.stdout.split("\n")[0]), (status, line))
        missing = subprocess.run([ARGS.plugin], env={"PATH": "/usr/bin:/bin"}, **ends)
        check("no probe installed: the plugin's status, first line",
              (missing.returncode, missing.stdout.split("\n")[0]),
              (3, "SCALE UNKNOWN - scale-probe is not installed, or not on PATH"))

        # The playbook, with Ansible's default settings (not this user's).
        (work / "ansible.cfg").touch()
        (work / "stations").write_text("".join(
            f"{name} ansible_host=127.0.0.1 ansible_port={port}\n"
            for name, (_, port, _) in stations.items()) + "[all:vars]\n" + "".join(
            f"{key}={value}\n" for key, value in (
                ("ansible_user", user), ("ansible_ssh_private_key_file", work / "id"),
                ("ansible_ssh_common_args", " ".join(ssh)), ("ansible_remote_tmp", work / "tmp"),
                ("ansible_python_interpreter", "/usr/bin/python3"))))
        playbook = subprocess.run(
            ["ansible-playbook", "-i", work / "stations", TOP / "packaging/linux/scales.yml",
             "-e", f"check_scale_probe={ARGS.plugin}"], **ends,
            env={"PATH": os.environ["PATH"], "HOME": str(work), "ANSIBLE_CONFIG": str(work / "ansible.cfg"),
                 "ANSIBLE_LOCAL_TEMP": str(work / "local"), "ANSIBLE_NOCOLOR": "1", "LC_ALL": "C.UTF-8"})
        (work / "playbook.log").write_text(playbook.stdout + playbook.stderr)
        recap = dict(re.findall(r"^(\S+)\s+: (ok=.*\S)", playbook.stdout, re.M))
        for name, _, _, line, failed in STATIONS:
            counts = dict(re.findall(r"(\w+)=(\d+)", recap.get(name, "")))
            said = re.search(rf'^(?:ok|fatal): \[{name}\](?:: FAILED!)? => {{[^}}]*"msg": "([^"]*)"',
                             playbook.stdout, re.M)
            check(f"{name}: the playbook: failed, unreachable, what it said",
                  (counts.get("failed"), counts.get("unreachable"), said and said.group(1)),
                  (str(int(failed)), "0", line))
        check("the playbook's status: some stations failed", playbook.returncode, 2)
    except subprocess.TimeoutExpired as hung:
        check("everything ended", hung.cmd, None)
    finally:
        os.close(holding)
        for _, _, sshd in stations.values():
            sshd.terminate()
            sshd.wait()
    left = [exe for exe in Path("/proc").glob("[0-9]*/exe")
            if os.path.realpath(exe) == os.path.realpath(ARGS.probe)]
    check("no probe left running", left, [])
    print(f"fleet: {len(failures)} failed; the playbook's output is in {work}/playbook.log")
    return 1 if failures else 0


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    for option in "--probe --fake-dir --plugin --work".split():
        parser.add_argument(option, required=True)
    ARGS = parser.parse_args()
    sys.exit(main())
