#!/usr/bin/env python3
"""Checks what users get, as CPack makes it from a build folder, by what it
means to them.

  packages.py deb BUILD WORK PRESET
      the .deb, for this machine or for another architecture: its Depends
      (installable from this release's archive), files and architecture
      label (the binary's own), the udev rule line by line and the AppStream
      modalias (the scale's ids), lintian; the binary's hardening and
      libraries; and the same .deb from a second build
  packages.py zip BUILD WORK PRESET OBJDUMP
      the Windows zip: its files, licences and size (which no unstripped
      build meets), CRLF in the texts; the exe's PE properties, imports and
      manifest; and the same zip from a second build. Leaves the zip
      unpacked in WORK/unpacked for the Wine cases

The second build is made from PRESET, the one users make the package with,
from an export of the source (a copy without git) at another path, later,
with another umask, time zone and locale; the package must come out the
same, byte for byte."""

import os, re, shutil, subprocess, sys
from pathlib import Path

TOP = Path(__file__).resolve().parent.parent
RULE, METAINFO = ("usr/lib/udev/rules.d/70-scale-probe.rules",
                  "usr/share/metainfo/org.example.scale_probe.metainfo.xml")
DEB_FILES = sorted(["usr/bin/scale-probe", RULE, METAINFO,
                    "usr/lib/nagios/plugins/check_scale_probe",
                    "usr/lib/scale-probe/scale-probe-metrics",
                    "usr/lib/systemd/system/scale-probe-metrics.service",
                    "usr/lib/systemd/system/scale-probe-metrics.timer",
                    "usr/share/doc/scale-probe/README.md", "usr/share/doc/scale-probe/changelog.gz",
                    "usr/share/doc/scale-probe/copyright", "usr/share/man/man1/scale-probe.1.gz",
                    "usr/share/doc/scale-probe/examples/scales.yml"])
ZIP_FILES = ["LICENSE.txt", "README.txt", "hidapi-LICENSE-bsd.txt", "hidapi-LICENSE-gpl3.txt",
             "hidapi-LICENSE-orig.txt", "hidapi-LICENSE.txt", "hidapi.dll", "scale-probe.exe"]
# The scale's ids, which every line of the rule must match on (a line that
# does not applies to every device node there is), and what the rule gives:
# the node to the user at the seat and to plugdev, nothing to others.
SCALE = {("SUBSYSTEM", "==", "hidraw"), ("ATTRS{idVendor}", "==", "1111"),
         ("ATTRS{idProduct}", "==", "0004")}
GIVES = {("TAG", "+=", "uaccess"), ("GROUP", "=", "plugdev"), ("MODE", "=", "0660")}
passed, failed = [], []


def expect(what, ok, detail=""):
    print(("ok   " if ok else "FAIL ") + what + (f"\n     {detail}" if detail and not ok else ""))
    (passed if ok else failed).append(what)


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, check=True, **options).stdout


# One match or assignment of a rule: a key with its attribute, an operator,
# blanks or none around it, a quoted value, then a comma or the line's end.
RULE_TOKEN = re.compile(r'\s*([A-Z_]+(?:\{[^}]*\})?)\s*(==|!=|\+=|-=|:=|=)\s*"([^"\\]*)"\s*(?:,|$)')


def rule_lines(text):
    """Each line of a udev rule as its set of (key, operator, value); None
    for a line that holds anything else, which udev might read otherwise."""
    for line in text.replace("\\\n", "").splitlines():
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        tokens, at = set(), 0
        while at < len(line) and (token := RULE_TOKEN.match(line, at)):
            tokens.add(token.groups())
            at = token.end()
        yield tokens if at == len(line) else None


def make_package(build, work, pattern):
    run("cpack", "--config", str(build / "CPackConfig.cmake"), "-B", str(work / "package"))
    return next((work / "package").glob(pattern))


def check_again(package, work, preset):
    """The package from a second build, of an export of the source (no git)
    elsewhere, must be the same, byte for byte; diffoscope, Debian's tool
    for this, names the members that are not. Users build with the release
    preset, whatever their compiler: it must not turn warnings into errors."""
    source, other = work / "elsewhere", work / "again"
    shutil.copytree(TOP, source, symlinks=True, ignore=shutil.ignore_patterns("build", ".git"))
    run("sh", "-c", 'umask 0077 && cmake --preset "$1" -B "$2" -DBUILD_TESTING=OFF >/dev/null && '
        'cmake --build "$2" --target package', "sh", preset, str(other),
        cwd=source, env={**os.environ, "TZ": "XYZ-13", "LC_ALL": "C",
                         "GIT_CEILING_DIRECTORIES": str(work)})  # no git above it either
    if preset == "release":
        expect("the release preset turns no warning into an error",
               "-Werror" not in (other / "build.ninja").read_text())
    second = next(other.glob(package.name))
    same = package.read_bytes() == second.read_bytes()
    differ = "" if same else subprocess.run(["diffoscope", "--text", "-", package, second],
                                            capture_output=True, text=True).stdout[:3000]
    expect(f"a second build gives the same {package.suffix}, byte for byte", same, differ)


def check_deb(build, work, preset):
    deb = make_package(build, work, "scale-probe_*.deb")
    named = sorted(re.sub(r"\([^)]*\)|,", " ", run("dpkg-deb", "-f", str(deb), "Depends")).split())
    # As the archive alone has them: nothing installed here may satisfy a
    # version (a backport, a local build of hidapi). apt asks dpkg, in the
    # status file's folder, for the machine's architectures.
    (work / "dpkg").mkdir()
    (work / "dpkg/status").touch()
    for arch in Path("/var/lib/dpkg").glob("arch"):
        shutil.copy(arch, work / "dpkg")
    installs = subprocess.run(["apt-get", "-s", "-q", "-o", f"Dir::State::status={work}/dpkg/status",
                               "install", deb.resolve()], capture_output=True, text=True)
    expect("depends on the C library and the shared hidapi, in versions this release's archive "
           "has", named == ["libc6", "libhidapi-hidraw0"] and installs.returncode == 0,
           f"{named}\n{installs.stdout[-800:]}{installs.stderr[-800:]}")
    listing = [line.split() for line in run("dpkg-deb", "-c", str(deb)).splitlines()]
    files = sorted(entry[-1][2:] for entry in listing if not entry[0].startswith("d"))
    expect("holds the binary, the rule, the plugin, the metrics units, the manual page, the docs, "
           "the playbook and the metadata",
           files == DEB_FILES, str(files))
    run("dpkg-deb", "-x", str(deb), str(work / "root"))
    lines = list(rule_lines((work / "root" / RULE).read_text()))
    modaliases = re.findall(r"<modalias>(.*?)</modalias>",
                            (work / "root" / METAINFO).read_text())
    expect("the udev rule gives the scale, and only the scale, to the user at the seat and to "
           "plugdev; the AppStream metadata offers the package for the scale",
           None not in lines and all(SCALE <= line for line in lines)
           and set().union(*lines) == SCALE | GIVES
           and modaliases == ["usb:v1111p0004d*"], f"{lines}\n{modaliases}")
    checkers = [("the AppStream metadata is valid",
                 ["appstreamcli", "validate", "--no-net", work / "root" / METAINFO]),
                ("lintian finds no errors and no warnings",
                 ["lintian", "--fail-on", "error,warning", deb])]
    # systemd warns of what it does not know, and still ends with 0. The
    # writer is named where the package was unpacked.
    units = [work / unit.name for unit in (work / "root/usr/lib/systemd/system").iterdir()]
    for unit in units:
        unit.write_text((work / "root/usr/lib/systemd/system" / unit.name).read_text().replace(
            "/usr/lib/scale-probe/", f"{work}/root/usr/lib/scale-probe/"))
    checkers.append(("systemd finds nothing wrong with the metrics service and timer",
                     ["systemd-analyze", "verify", "--man=no", *units]))
    for what, checker in checkers:
        checked = subprocess.run(checker, capture_output=True, text=True)
        expect(what, checked.returncode == 0 and not (checker[0] == "systemd-analyze"
                                                      and checked.stderr),
               checked.stdout + checked.stderr)

    header, segments, dynamic, symbols = (run("readelf", "-W", flag, work / "root" / "usr/bin/scale-probe")
                                          for flag in ("-h", "-l", "-d", "--dyn-syms"))
    # What Debian calls the binary's machine, by its header.
    arch = {"Advanced Micro Devices X86-64": "amd64", "AArch64": "arm64",
            "ARM": "armhf" if "hard-float" in header else "armel"}.get(
                re.search(r"Machine:\s+(.*)", header).group(1))
    expect("labelled with the binary's own architecture",
           deb.name.endswith(f"_{arch}.deb") and run("dpkg-deb", "-f", str(deb),
                                                     "Architecture").strip() == arch, deb.name)
    # lintian's hardening tags see PIE and RELRO; binding now and the stack
    # are left to these.
    stack = re.search(r"GNU_STACK(?:\s+\S+){5}\s+(\S+)", segments)
    expect("binds all symbols at start, a stack that does not execute",
           re.search(r"\bNOW\b", dynamic) and stack and "E" not in stack.group(1))
    expect("the stack protector and fortified calls",
           "__stack_chk_fail" in symbols and re.search(r"__(?!stack)\w+_chk\b", symbols))
    check_again(deb, work, preset)


def check_zip(build, work, preset, objdump):
    package = make_package(build, work, "scale-probe-*-win32.zip")
    shutil.unpack_archive(package, work)
    (work / package.stem).rename(work / "unpacked")
    names = sorted(path.name for path in (work / "unpacked").iterdir())
    expect("holds the exe, the DLL, the README and both licences", names == ZIP_FILES,
           str(names))
    ours = [(work / "unpacked" / name).read_bytes() for name in ("README.txt", "LICENSE.txt")]
    expect("its README and licence end each line in CRLF, for any Windows editor",
           all(b"\n" not in text.replace(b"\r\n", b"") for text in ours))
    expect(f"is {package.stat().st_size / 1024:.0f} KiB, at most 150",
           package.stat().st_size <= 150 * 1024)

    exe = work / "unpacked/scale-probe.exe"
    headers, raw = run(objdump, "-p", str(exe)), exe.read_bytes()
    flags = headers.split("DllCharacteristics", 1)[-1].split("SizeOfStackReserve", 1)[0]
    expect("a 32-bit console program, with ASLR and DEP", "pei-i386" in headers
           and re.search(r"^Subsystem\s+00000003", headers, re.M) and "DYNAMIC_BASE" in flags
           and "NX_COMPAT" in flags)
    imports = {name.lower() for name in re.findall(r"DLL Name: (\S+)", headers)}
    # Windows' own C runtime and kernel, and nothing of a compiler's runtime.
    expect("imports hidapi.dll, KERNEL32 and msvcrt alone",
           imports == {"hidapi.dll", "kernel32.dll", "msvcrt.dll"}, str(imports))
    manifest = (build / "scale-probe.manifest").read_bytes()
    expect("embeds its manifest, which asks for no elevation",
           manifest in raw and b'level="asInvoker" uiAccess="false"' in manifest)
    check_again(package, work, preset)


def main():
    group, build, work, preset, *objdump = sys.argv[1:]
    shutil.rmtree(work, ignore_errors=True)
    Path(work).mkdir(parents=True)
    (check_deb if group == "deb" else check_zip)(Path(build), Path(work), preset, *objdump)
    print(f"packages: {len(passed)} passed, {len(failed)} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
