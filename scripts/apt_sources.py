#!/usr/bin/env python3
"""This machine's own apt entries for its Debian release (bookworm,
bookworm-updates, bookworm-security ...), those of Debian's own archive, so
that nothing here ever names an archive itself.

  apt_sources.py [--release CODENAME]   prints them as deb822 stanzas, for
                                        another release by the same archives
  apt_sources.py --archive              the archive of the release itself

scripts/fresh-root gives them to a new root; scripts/setup takes files from
the archive's pool."""

import argparse
import re
import subprocess
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


def debian_suites():
    """(archive, suite) of each source whose Release file says it is Debian's,
    as apt read it at its last update: a vendor's entry may name the same
    suite."""
    targets = subprocess.run(
        ["apt-get", "indextargets", "--format", "$(ORIGIN)|$(REPO_URI)|$(RELEASE)"],
        capture_output=True, text=True, check=True).stdout
    return {(uri.rstrip("/"), suite) for origin, uri, suite in
            (line.split("|") for line in targets.splitlines() if line) if origin == "Debian"}


def release_entries(codename=None):
    """Debian's entries for this machine's release's own suites, for
    `codename`'s suites when given: another release of the same archives."""
    own, debian = release(), debian_suites()
    return [(uris, [s.replace(own, codename or own, 1) for s in suites], components, signed)
            for uris, suites, components, signed in deb_entries()
            if any((u.rstrip("/"), s) in debian and (s == own or s.startswith(own + "-"))
                   for u in uris for s in suites)]


def archive():
    """The archive that holds the release itself (its pool, its packages)."""
    codename = release()
    mirrors = [e[0][0] for e in release_entries() if codename in e[1] and e[0]]
    if not mirrors:
        raise SystemExit(f"apt_sources: no entry of Debian's archive for {codename} that apt has"
                         " read: run apt-get update")
    return mirrors[0].rstrip("/")


def sources_text(entries):
    stanzas = []
    for uris, suites, components, signed in entries:
        stanza = (f"Types: deb\nURIs: {' '.join(uris)}\nSuites: {' '.join(suites)}\n"
                  f"Components: {' '.join(components)}\n")
        if signed:
            stanza += f"Signed-By: {signed}\n"
        stanzas.append(stanza)
    return "\n".join(stanzas)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--release")
    parser.add_argument("--archive", action="store_true")
    args = parser.parse_args()
    print(archive() if args.archive else sources_text(release_entries(args.release)), end="")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
