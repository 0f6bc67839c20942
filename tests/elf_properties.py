#!/usr/bin/env python3
"""Checks the Linux binary from the built files: that it loads only the C
library and hidapi (no C++ runtime), and its hardening: PIE, full RELRO, a
non-executable stack, the stack protector and fortified libc calls in the
binary itself, and from the recorded compile commands the flags that leave
no mark in it."""

import argparse
import json
import re
import subprocess
import sys

from checklist import Checklist


def readelf(*args):
    return subprocess.run(["readelf", "-W", *args], capture_output=True, text=True,
                          check=True).stdout


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--compile-commands", required=True)
    parser.add_argument("binary")
    args = parser.parse_args()

    checks = Checklist("elf_properties")
    expect = checks.expect

    header = readelf("-h", args.binary)
    segments = readelf("-l", args.binary)
    dynamic = readelf("-d", args.binary)
    symbols = readelf("--dyn-syms", args.binary)

    needed = sorted(re.findall(r"\(NEEDED\)\s+Shared library: \[(.*)\]", dynamic))
    expect(f"loads only libc and hidapi ({', '.join(needed)})",
           needed == ["libc.so.6", "libhidapi-hidraw.so.0"])
    expect("position-independent executable", re.search(r"Type:\s+DYN", header) is not None
           and re.search(r"FLAGS_1.*\bPIE\b", dynamic) is not None)
    expect("RELRO segment", "GNU_RELRO" in segments)
    expect("bound now (full RELRO)", re.search(r"\(FLAGS\).*\bBIND_NOW\b", dynamic) is not None
           or re.search(r"FLAGS_1.*\bNOW\b", dynamic) is not None)
    stack = re.search(r"GNU_STACK(?:\s+\S+){5}\s+(\S+)", segments)
    expect("non-executable stack", stack is not None and "E" not in stack.group(1))
    expect("stack protector in use", "__stack_chk_fail" in symbols)
    expect("fortified libc calls", re.search(r"\b__\w+_chk\b", symbols.replace(
        "__stack_chk_fail", "")) is not None)

    own = [c for c in json.load(open(args.compile_commands))
           if "/src/" in c["file"] and c["file"].endswith(".cpp")]
    expect("compile commands for the probe's sources", bool(own))
    for flag in ["-fstack-protector-strong", "-D_FORTIFY_SOURCE=2", "-D_GLIBCXX_ASSERTIONS"]:
        expect(f"{flag} on every source",
               bool(own) and all(flag in c["command"].split() for c in own))

    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
