#!/usr/bin/env python3
"""Checks what users get: the packages as CPack makes them, the udev rule and
the demo. Each package is built afresh into the work folder, unpacked, and
its program run."""

import argparse
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
TOP = HERE.parent
sys.path.insert(0, str(HERE))
from checklist import Checklist  # noqa: E402
from probe_cases import (NOT_CONNECTED, WRITE_DUMP, identity, read_dump,  # noqa: E402
                         scripted_reply, wine_env)

checks = Checklist("packages")
expect = checks.expect


def make_package(build, work, generator, pattern):
    """Builds one package afresh with CPack; its path, or None."""
    out = work / "package"
    subprocess.run(["cpack", "-G", generator, "--config", str(build / "CPackConfig.cmake"),
                    "-B", str(out)], check=True, capture_output=True)
    made = list(out.glob(pattern))
    expect(f"one {pattern}", len(made) == 1, str(list(out.iterdir())))
    return made[0] if len(made) == 1 else None


def check_deb(args, work):
    deb = make_package(Path(args.build), work, "DEB", "scale-probe_*_amd64.deb")
    if deb is None:
        return
    fields = subprocess.run(["dpkg-deb", "-f", str(deb)], capture_output=True, text=True,
                            check=True).stdout
    depends = re.search(r"^Depends: (.*)$", fields, re.M)
    expect("depends on the shared hidapi library",
           depends is not None and "libhidapi-hidraw0" in depends.group(1), fields)
    root = work / "root"
    subprocess.run(["dpkg-deb", "-x", str(deb), str(root)], check=True)
    for path in ["usr/bin/scale-probe", "usr/lib/udev/rules.d/70-scale-probe.rules",
                 "usr/share/doc/scale-probe/README.md", "usr/share/doc/scale-probe/copyright"]:
        expect(f"holds /{path}", (root / path).is_file())
    # The packaged binary against an emulated machine with no HID devices.
    empty = work / "empty.umockdev"
    empty.write_text("")
    result = subprocess.run(["umockdev-run", "-d", str(empty), "--",
                             str(root / "usr/bin/scale-probe")],
                            input=b"k", capture_output=True, timeout=30)
    expect("the packaged binary runs", (result.returncode, result.stdout) ==
           (1, (NOT_CONNECTED + "Press any key to continue . . . \n").encode()),
           repr(result))


def check_udev_rule(args, work):
    rule = (TOP / "packaging/linux/70-scale-probe.rules").read_text()
    lines = [line for line in rule.splitlines() if line.strip() and not line.startswith("#")]
    expect("one rule", len(lines) == 1, repr(lines))
    keys = {}
    for part in lines[0].split(","):
        key, op, value = re.match(r'\s*([A-Z]+(?:\{\w+\})?)\s*(==|\+=|=)\s*"([^"]*)"', part).groups()
        keys[key] = (op, value)
    expect("matches hidraw nodes", keys.get("SUBSYSTEM") == ("==", "hidraw"))
    expect("matches the USB parent's vendor", keys.get("ATTRS{idVendor}") == ("==", "1111"))
    expect("matches the USB parent's product", keys.get("ATTRS{idProduct}") == ("==", "0004"))
    expect("grants the seat's user access", keys.get("TAG") == ("+=", "uaccess"))
    expect("sets no mode, owner or group", not {"MODE", "OWNER", "GROUP"} & set(keys))


def check_zip(args, work):
    package = make_package(Path(args.build), work, "ZIP", "scale-probe-*-win32.zip")
    if package is None:
        return
    with zipfile.ZipFile(package) as archive:
        names = {Path(name).name for name in archive.namelist()}
        archive.extractall(work / "unpacked")
    for name in ["scale-probe.exe", "hidapi.dll", "hidapi-LICENSE.txt", "README.txt"]:
        expect(f"holds {name}", name in names, str(sorted(names)))
    # Unpacked on its own, the exe loads its DLL and nothing else; under Wine
    # the real library then fails to start.
    exe = next((work / "unpacked").rglob("scale-probe.exe"), None)
    env = {"PATH": "/usr/bin:/bin", **wine_env(args.wine_prefix, args.wine_preload)}
    result = subprocess.run(["wine", str(exe)], input=b"k", capture_output=True,
                            env=env, timeout=60)
    expect("the unpacked exe starts and loads its DLL",
           (result.returncode, result.stdout) == (255, b""), repr(result))


def check_demo(args, work):
    reply = scripted_reply("answers.script")
    expected = identity() + WRITE_DUMP + read_dump(reply) + "Press any key to continue . . . \n"
    result = subprocess.run([str(TOP / "scripts/demo")], input=b"k", capture_output=True,
                            timeout=300)
    expect("the demo shows a full exchange",
           result.returncode == 0 and result.stdout.decode().endswith(expected),
           repr(result.stdout[-600:]))


GROUPS = {"deb": check_deb, "udev-rule": check_udev_rule, "zip": check_zip,
          "demo": check_demo}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("group", choices=GROUPS)
    parser.add_argument("--build", help="the build folder whose packages to check")
    parser.add_argument("--work", required=True)
    parser.add_argument("--wine-prefix")
    parser.add_argument("--wine-preload")
    args = parser.parse_args()
    work = Path(args.work)
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    checks.group = args.group
    GROUPS[args.group](args, work)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
