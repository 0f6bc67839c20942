#!/usr/bin/env python3
"""Checks what users get: the packages as CPack makes them, each built afresh
into the work folder and unpacked there, and the demo.

  deb      the .deb's fields and contents; unpacks it for the groups below
           and for the USB bench
  lintian  Debian's own checks of the .deb: no errors, no warnings
  install  the .deb installed as a user installs it, with apt on a fresh
           Debian root, run there, then purged
  zip      the Windows zip's contents and size; unpacks it for the Wine cases
           and the PE checks
  demo     scripts/demo shows a full exchange"""

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
from expected_output import NOT_CONNECTED, PAUSE, WRITE_DUMP, identity, read_dump  # noqa: E402

checks = Checklist("packages")
expect = checks.expect

DEB_FILES = ["usr/bin/scale-probe", "usr/lib/udev/rules.d/70-scale-probe.rules",
             "usr/share/man/man1/scale-probe.1.gz", "usr/share/doc/scale-probe/README.md",
             "usr/share/doc/scale-probe/copyright", "usr/share/doc/scale-probe/changelog.gz"]
ZIP_LIMIT = 150 * 1024


def make_package(build, work, generator, pattern):
    """Builds one package afresh with CPack; its path, or None."""
    out = work / "package"
    subprocess.run(["cpack", "-G", generator, "--config", str(build / "CPackConfig.cmake"),
                    "-B", str(out)], check=True, capture_output=True)
    made = list(out.glob(pattern))
    expect(f"one {pattern}", len(made) == 1, str(list(out.iterdir())))
    return made[0] if len(made) == 1 else None


def the_deb(args):
    """The .deb that the deb group made."""
    return next(Path(args.deb_work).glob("package/scale-probe_*_amd64.deb"))


def check_deb(args, work):
    deb = make_package(Path(args.build), work, "DEB", "scale-probe_*_amd64.deb")
    if deb is None:
        return
    fields = subprocess.run(["dpkg-deb", "-f", str(deb)], capture_output=True, text=True,
                            check=True).stdout
    depends = re.search(r"^Depends: (.*)$", fields, re.M)
    named = sorted(re.findall(r"([a-z0-9.+-]+)(?: \([^)]*\))?", depends.group(1))
                   if depends else [])
    expect("depends on the C library and the shared hidapi, nothing else",
           named == ["libc6", "libhidapi-hidraw0"], fields)
    listed = subprocess.run(["dpkg-deb", "-c", str(deb)], capture_output=True, text=True,
                            check=True).stdout
    files = sorted(line.split()[-1].lstrip("./") for line in listed.splitlines()
                   if not line.startswith("d"))
    expect("holds the binary, the rule, the manual page and the docs", files == sorted(DEB_FILES),
           str(files))
    subprocess.run(["dpkg-deb", "-x", str(deb), str(work / "root")], check=True)


def check_lintian(args, work):
    result = subprocess.run(["lintian", "--fail-on", "error,warning", "--tag-display-limit", "0",
                             str(the_deb(args))], capture_output=True, text=True)
    tags = [line for line in result.stdout.splitlines() if re.match(r"[EW]: ", line)]
    expect("lintian finds no errors and no warnings", result.returncode == 0 and not tags,
           result.stdout + result.stderr)


def check_install(args, work):
    deb = the_deb(args)
    root = work / "root"
    fresh_root = str(TOP / "scripts/fresh-root")
    subprocess.run([fresh_root, "make", str(root), "--cache", args.root_cache], check=True)

    def inside(*command, **options):
        return subprocess.run([fresh_root, "run", str(root), "--", *command],
                              capture_output=True, **options)

    shutil.copy(deb, root / "tmp")
    for step in (["apt-get", "-q", "update"],
                 ["apt-get", "-q", "-y", "install", f"/tmp/{deb.name}"]):
        done = inside(*step)
        expect(" ".join(step[:1] + step[-2:]), done.returncode == 0,
               (done.stdout + done.stderr).decode(errors="replace")[-2000:])
    ran = inside("scale-probe", stdin=subprocess.DEVNULL)
    expect("the installed probe runs: no scale, status 1",
           (ran.returncode, ran.stdout, ran.stderr) == (1, (NOT_CONNECTED + PAUSE).encode(), b""),
           repr(ran))
    for path in ["usr/bin/scale-probe", "usr/lib/udev/rules.d/70-scale-probe.rules",
                 "usr/share/man/man1/scale-probe.1.gz"]:
        expect(f"installed /{path}", (root / path).is_file())
    purged = inside("apt-get", "-q", "-y", "purge", "scale-probe")
    expect("apt-get purge", purged.returncode == 0, purged.stderr.decode(errors="replace"))
    left = [p for p in DEB_FILES + ["usr/share/doc/scale-probe"] if (root / p).exists()]
    left += [str(p) for p in (root / "var/lib/dpkg/info").glob("scale-probe.*")]
    status = inside("dpkg-query", "-W", "-f=${Status}", "scale-probe")
    expect("nothing of it is left after the purge",
           not left and b"installed" not in status.stdout, f"{left} {status.stdout!r}")
    shutil.rmtree(root)


def check_zip(args, work):
    package = make_package(Path(args.build), work, "ZIP", "scale-probe-*-win32.zip")
    if package is None:
        return
    with zipfile.ZipFile(package) as archive:
        names = {Path(name).name for name in archive.namelist()}
        archive.extractall(work / "unpacked")
    for name in ["scale-probe.exe", "hidapi.dll", "hidapi-LICENSE.txt", "README.txt"]:
        expect(f"holds {name}", name in names, str(sorted(names)))
    size = package.stat().st_size
    expect(f"the zip is {size / 1024:.0f} KiB, at most {ZIP_LIMIT // 1024}", size <= ZIP_LIMIT)
    for binary in [*(work / "unpacked").rglob("*.exe"), *(work / "unpacked").rglob("*.dll")]:
        symbols = subprocess.run([args.objdump, "-t", str(binary)], capture_output=True,
                                 text=True).stdout
        expect(f"{binary.name} is stripped", "no symbols" in symbols, symbols[:300])


def unescape_script_data(data):
    """Undoes umockdev's script escaping: ^X is byte X - 64, ^` is ^."""
    out, i = bytearray(), 0
    while i < len(data):
        if data[i] == ord("^"):
            out.append(ord("^") if data[i + 1] == ord("`") else data[i + 1] - 64)
            i += 2
        else:
            out.append(data[i])
            i += 1
    return bytes(out)


def check_demo(args, work):
    script = (HERE / "emulated_scale/answers.script").read_bytes()
    reply = next(unescape_script_data(line.split(b" ", 2)[2]) for line in script.splitlines()
                 if line.startswith(b"r "))
    expected = identity() + WRITE_DUMP + read_dump(reply) + PAUSE
    result = subprocess.run([str(TOP / "scripts/demo")], input=b"k", capture_output=True,
                            timeout=300)
    expect("the demo shows a full exchange",
           result.returncode == 0 and result.stdout.decode().endswith(expected),
           repr(result.stdout[-600:]))


GROUPS = {"deb": check_deb, "lintian": check_lintian, "install": check_install,
          "zip": check_zip, "demo": check_demo}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("group", choices=GROUPS)
    parser.add_argument("--build", help="the build folder whose packages to make")
    parser.add_argument("--work", required=True)
    parser.add_argument("--deb-work", help="lintian, install: the deb group's work folder")
    parser.add_argument("--root-cache", help="install: where fresh roots are cached")
    parser.add_argument("--objdump", help="zip: objdump for the Windows binaries")
    args = parser.parse_args()
    work = Path(args.work)
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    checks.group = args.group
    GROUPS[args.group](args, work)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
