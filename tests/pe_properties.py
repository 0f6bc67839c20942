#!/usr/bin/env python3
"""Checks that the built exe is fit for a bare Windows PC: a 32-bit console
program that needs no DLL beyond hidapi.dll and Windows' own, with ASLR and
DEP, a manifest that asks for no elevation, and a version resource."""

import argparse
import re
import subprocess
import sys
from pathlib import Path

from checklist import Checklist

# Beside hidapi.dll, the exe needs the C runtime and the kernel that every
# Windows has, and nothing of a compiler's runtime.
WINDOWS_DLLS = {"kernel32.dll", "msvcrt.dll"}

SUPPORTED_OS = {
    "Windows 7": "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
    "Windows 8": "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
    "Windows 8.1": "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
    "Windows 10 and 11": "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--objdump", required=True)
    parser.add_argument("exe")
    args = parser.parse_args()

    headers = subprocess.run([args.objdump, "-p", args.exe], capture_output=True,
                             text=True, check=True).stdout
    raw = Path(args.exe).read_bytes()
    checks = Checklist("pe_properties")
    expect = checks.expect

    expect("PE32 for i386", "file format pei-i386" in headers
           and re.search(r"^Magic\s+010b", headers, re.M) is not None)
    expect("console subsystem", re.search(r"^Subsystem\s+00000003", headers, re.M) is not None)
    dll_flags = headers.split("DllCharacteristics", 1)[-1].split("SizeOfStackReserve", 1)[0]
    expect("ASLR (DYNAMIC_BASE)", "DYNAMIC_BASE" in dll_flags)
    expect("DEP (NX_COMPAT)", "NX_COMPAT" in dll_flags)

    imports = {name.lower() for name in re.findall(r"DLL Name: (\S+)", headers)}
    expect("imports hidapi.dll", "hidapi.dll" in imports)
    others = imports - {"hidapi.dll"}
    expect(f"imports only KERNEL32 and msvcrt besides it ({', '.join(sorted(others))})",
           others == WINDOWS_DLLS)

    manifest = re.search(rb"<assembly.*?</assembly>", raw, re.S)
    manifest = manifest.group(0).decode() if manifest else ""
    expect("embedded manifest", bool(manifest))
    expect("runs as the invoking user",
           re.search(r'<requestedExecutionLevel\s+level="asInvoker"\s+uiAccess="false"\s*/>',
                     manifest) is not None)
    for system, guid in SUPPORTED_OS.items():
        expect(f"declares {system}", f'<supportedOS Id="{guid}"/>' in manifest)

    def version_string(key):
        # VERSIONINFO strings are UTF-16: the key, padding, then the value.
        found = re.search(re.escape(key.encode("utf-16-le")) + rb"(?:\x00\x00)+((?:[^\x00]\x00)+)",
                          raw)
        return found.group(1).decode("utf-16-le") if found else None

    expect("version resource names the product", version_string("ProductName") == "scale-probe")
    expect("version resource has a version",
           re.fullmatch(r"\d+\.\d+\.\d+", version_string("ProductVersion") or "") is not None)
    expect("version resource has a description", bool(version_string("FileDescription")))

    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
