#!/usr/bin/env python3
"""This machine's own apt entries for its Debian release (bookworm,
bookworm-updates, bookworm-security ...), the ones the release's keyring can
verify, so that nothing here ever names an archive itself.

  apt_sources.py [--type deb|deb-src]   prints them as deb822 stanzas

scripts/fresh-root gives them to a new root; scripts/setup turns them into
source entries for a private apt configuration."""

import argparse
import re
from pathlib import Path

APT = Path("/etc/apt")


def release():
    """The machine's release codename."""
    fields = dict(line.rstrip("\n").split("=", 1) for line in open("/etc/os-release")
                  if "=" in line)
    return fields["VERSION_CODENAME"].strip('"')


def deb_entries():
    """The enabled binary entries: (uris, suites, components, signed-by), from
    both the deb822 and the one-line formats."""
    entries = []
    for path in sorted((APT / "sources.list.d").glob("*.sources")):
        for stanza in re.split(r"\n\s*\n", path.read_text()):
            fields = {}
            for line in stanza.splitlines():
                match = re.match(r"([A-Za-z-]+):\s*(.*)", line)
                if match and not line.startswith("#"):
                    fields[match.group(1).lower()] = match.group(2).split()
            if "deb" in fields.get("types", []) and fields.get("enabled", ["yes"]) != ["no"]:
                entries.append((fields.get("uris", []), fields.get("suites", []),
                                fields.get("components", []),
                                " ".join(fields.get("signed-by", []))))
    for path in [APT / "sources.list", *sorted((APT / "sources.list.d").glob("*.list"))]:
        if not path.exists():
            continue
        for line in path.read_text().splitlines():
            match = re.match(r"\s*deb\s+(\[[^]]*\]\s+)?(\S+)\s+(\S+)\s+(.*)", line)
            if match:
                options = match.group(1) or ""
                signed = re.search(r"signed-by=(\S+?)\]?(\s|$)", options)
                entries.append(([match.group(2)], [match.group(3)], match.group(4).split(),
                                signed.group(1) if signed else ""))
    return entries


def release_entries(codename):
    """The entries of this release's own suites."""
    return [e for e in deb_entries()
            if any(s == codename or s.startswith(codename + "-") for s in e[1])]


def sources_text(entries, kind="deb"):
    stanzas = []
    for uris, suites, components, signed in entries:
        stanza = (f"Types: {kind}\nURIs: {' '.join(uris)}\nSuites: {' '.join(suites)}\n"
                  f"Components: {' '.join(components)}\n")
        if signed:
            stanza += f"Signed-By: {signed}\n"
        stanzas.append(stanza)
    return "\n".join(stanzas)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--type", choices=["deb", "deb-src"], default="deb")
    args = parser.parse_args()
    print(sources_text(release_entries(release()), args.type), end="")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
