#!/usr/bin/env python3
"""Checks what users get, as CPack makes it from a build folder.

  packages.py deb --build B --work W
      the .deb: its Depends and files, the udev rule, lintian; the binary's
      hardening and libraries; and the same .deb from a second build
  packages.py zip --build B --work W --objdump O
      the Windows zip: its files, licence and size, stripped binaries; the
      exe's PE properties and imports; and the same zip from a second build.
      Leaves the zip unpacked in W/unpacked for the Wine cases

The second build is made in another folder, later, with another umask, time
zone and locale; the package must come out the same, byte for byte."""

import argparse
import os
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

TOP = Path(__file__).resolve().parent.parent
DEB_FILES = ["usr/bin/scale-probe", "usr/lib/udev/rules.d/70-scale-probe.rules",
             "usr/share/doc/scale-probe/README.md", "usr/share/doc/scale-probe/changelog.gz",
             "usr/share/doc/scale-probe/copyright", "usr/share/man/man1/scale-probe.1.gz"]
ZIP_FILES = ["README.txt", "hidapi-LICENSE-bsd.txt", "hidapi-LICENSE-gpl3.txt",
             "hidapi-LICENSE-orig.txt", "hidapi-LICENSE.txt", "hidapi.dll", "scale-probe.exe"]
# The scale, by its ids, handed to the user at the seat; no mode for all.
RULE = {("SUBSYSTEM", "==", "hidraw"), ("ATTRS{idVendor}", "==", "1111"),
        ("ATTRS{idProduct}", "==", "0004"), ("TAG", "+=", "uaccess")}
# Windows' own C runtime and kernel, and nothing of a compiler's runtime.
PE_IMPORTS = {"hidapi.dll", "kernel32.dll", "msvcrt.dll"}
passed, failed = [], []


def expect(what, ok, detail=""):
    print(("ok   " if ok else "FAIL ") + what + (f"\n     {detail}" if detail and not ok else ""))
    (passed if ok else failed).append(what)


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, check=True, **options).stdout


def make_package(build, work, pattern):
    run("cpack", "--config", str(build / "CPackConfig.cmake"), "-B", str(work / "package"))
    return next((work / "package").glob(pattern))


def check_again(package, work, preset, *options):
    """The package from a second build must be the same, byte for byte;
    diffoscope, Debian's tool for this, names the members that are not."""
    other = work / "again"
    env = {**os.environ, "TZ": "XYZ-13", "LC_ALL": "C"}
    run("sh", "-c", 'umask 0077 && cmake --preset "$1" -B "$2" "$@" >/dev/null && '
        'cmake --build "$2" --target package', "sh", preset, str(other), *options,
        cwd=TOP, env=env)
    second = next(other.glob(package.name))
    same = package.read_bytes() == second.read_bytes()
    differ = "" if same else subprocess.run(["diffoscope", "--no-progress", "--text", "-",
                                             str(package), str(second)],
                                            capture_output=True, text=True).stdout[:3000]
    expect(f"a second build gives the same {package.suffix}, byte for byte", same, differ)


def check_deb(args, work):
    deb = make_package(Path(args.build), work, "scale-probe_*_amd64.deb")
    depends = re.search(r"^Depends: (.*)$", run("dpkg-deb", "-f", str(deb)), re.M)
    named = sorted(re.findall(r"([a-z0-9.+-]+)(?: \([^)]*\))?", depends.group(1) if depends else ""))
    expect("depends on the C library and the shared hidapi", named == ["libc6", "libhidapi-hidraw0"],
           str(named))
    listing = [line.split() for line in run("dpkg-deb", "-c", str(deb)).splitlines()]
    files = sorted(entry[-1][2:] for entry in listing if not entry[0].startswith("d"))
    expect("holds the binary, the rule, the manual page and the docs", files == DEB_FILES, str(files))
    writable = [entry[-1] for entry in listing if entry[0][-2] == "w"]
    expect("nothing in it is writable by all", not writable, str(writable))
    run("dpkg-deb", "-x", str(deb), str(work / "root"))
    rule = (work / "root" / DEB_FILES[1]).read_text()
    pairs = {tuple(m) for m in re.findall(r'([\w{}]+)(==|\+=|=)"([^"]*)"', re.sub(r"#.*", "", rule))}
    expect("the udev rule tags the scale for uaccess, and only that", pairs == RULE, str(pairs))
    lintian = subprocess.run(["lintian", "--fail-on", "error,warning", str(deb)],
                             capture_output=True, text=True)
    expect("lintian finds no errors and no warnings", lintian.returncode == 0, lintian.stdout)

    binary = str(work / "root" / DEB_FILES[0])
    header, segments, dynamic, symbols = (run("readelf", "-W", flag, binary)
                                          for flag in ("-h", "-l", "-d", "--dyn-syms"))
    needed = sorted(re.findall(r"\(NEEDED\)\s+Shared library: \[(.*)\]", dynamic))
    expect("loads only libc and hidapi", needed == ["libc.so.6", "libhidapi-hidraw.so.0"],
           str(needed))
    expect("a position-independent executable", "DYN" in header and "PIE" in dynamic)
    expect("full RELRO", "GNU_RELRO" in segments and re.search(r"\bNOW\b", dynamic) is not None)
    stack = re.search(r"GNU_STACK(?:\s+\S+){5}\s+(\S+)", segments)
    expect("a non-executable stack", stack is not None and "E" not in stack.group(1))
    expect("the stack protector and fortified calls",
           "__stack_chk_fail" in symbols and re.search(r"__(?!stack)\w+_chk\b", symbols))
    check_again(deb, work, "release")


def check_zip(args, work):
    package = make_package(Path(args.build), work, "scale-probe-*-win32.zip")
    with zipfile.ZipFile(package) as archive:
        names = sorted(Path(name).name for name in archive.namelist())
        archive.extractall(work)
    (work / package.stem).rename(work / "unpacked")
    expect("holds the exe, the DLL, the README and hidapi's licence", names == ZIP_FILES, str(names))
    expect(f"is {package.stat().st_size / 1024:.0f} KiB, at most 150",
           package.stat().st_size <= 150 * 1024)
    for binary in ("scale-probe.exe", "hidapi.dll"):
        symbols = run(args.objdump, "-t", str(work / "unpacked" / binary))
        expect(f"{binary} is stripped", "no symbols" in symbols)

    exe = work / "unpacked/scale-probe.exe"
    headers, raw = run(args.objdump, "-p", str(exe)), exe.read_bytes()
    expect("a 32-bit console program", "pei-i386" in headers and
           re.search(r"^Subsystem\s+00000003", headers, re.M) is not None)
    flags = headers.split("DllCharacteristics", 1)[-1].split("SizeOfStackReserve", 1)[0]
    expect("ASLR and DEP", "DYNAMIC_BASE" in flags and "NX_COMPAT" in flags)
    imports = {name.lower() for name in re.findall(r"DLL Name: (\S+)", headers)}
    expect("imports hidapi.dll, KERNEL32 and msvcrt alone", imports == PE_IMPORTS, str(imports))
    manifest = (Path(args.build) / "scale-probe.manifest").read_bytes()
    expect("embeds its manifest, which asks for no elevation",
           manifest in raw and b'level="asInvoker" uiAccess="false"' in manifest)
    expect("a version resource names the product",
           re.search("ProductName".encode("utf-16-le") + rb"(?:\0\0)+" +
                     "scale-probe".encode("utf-16-le"), raw) is not None)
    check_again(package, work, "win32", "-DBUILD_TESTING=OFF")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("group", choices=["deb", "zip"])
    parser.add_argument("--build", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--objdump", help="zip: objdump for the Windows binaries")
    args = parser.parse_args()
    work = Path(args.work)
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    (check_deb if args.group == "deb" else check_zip)(args, work)
    print(f"packages: {len(passed)} passed, {len(failed)} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
