#!/usr/bin/env python3
"""This machine's own apt entries for its Debian release (bookworm,
bookworm-updates, bookworm-security ...), those of Debian's own archive, so
that nothing here ever names an archive itself.

  apt_sources.py [--release CODENAME]   prints them as deb822 stanzas, for
                                        another release by the same archives
  apt_sources.py --archive              the archive of the release itself

An entry may name its archive through a mirror list, as Debian's cloud
images do (mirror+file:///etc/apt/mirrors/debian.list): the archive is then
the list's first, as apt tries it first. scripts/fresh-root gives the
entries to a new root; scripts/setup takes files from the archive's pool."""

import argparse
import re
import subprocess
import urllib.request
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


def same_uri(uri):
    """A URI as apt's own lists spell it too: an entry's mirror+file:///x is
    mirror+file:/x/ to apt-get indextargets."""
    return re.sub(r"^([\w+.-]+):/*", r"\1:/", uri).rstrip("/")


def resolved(uri):
    """The archive that a URI names: itself, or its mirror list's first."""
    if not uri.startswith(("mirror+", "mirror:")):
        return uri
    inner = uri.removeprefix("mirror+") if uri.startswith("mirror+") else "http" + uri[6:]
    if inner.startswith("file:"):
        listed = Path(re.sub(r"^file:/*", "/", inner)).read_text()
    else:
        with urllib.request.urlopen(inner, timeout=60) as answer:
            listed = answer.read().decode()
    mirrors = [line.split()[0] for line in listed.splitlines()
               if line.strip() and not line.lstrip().startswith("#")]
    if not mirrors:
        raise SystemExit(f"apt_sources: the mirror list of {uri} names no mirror")
    return mirrors[0]


def debian_suites():
    """(archive, suite) of each source whose Release file says it is Debian's,
    as apt read it at its last update: a vendor's entry may name the same
    suite."""
    targets = subprocess.run(
        ["apt-get", "indextargets", "--format", "$(ORIGIN)|$(REPO_URI)|$(RELEASE)"],
        capture_output=True, text=True, check=True).stdout
    return {(same_uri(uri), suite) for origin, uri, suite in
            (line.split("|") for line in targets.splitlines() if line) if origin == "Debian"}


def release_entries(codename=None):
    """Debian's entries for this machine's release's own suites, for
    `codename`'s suites when given: another release of the same archives."""
    own, debian = release(), debian_suites()
    return [(uris, [s.replace(own, codename or own, 1) for s in suites], components, signed)
            for uris, suites, components, signed in deb_entries()
            if any((same_uri(u), s) in debian and (s == own or s.startswith(own + "-"))
                   for u in uris for s in suites)]


def archive():
    """The archive that holds the release itself (its pool, its packages)."""
    codename = release()
    mirrors = [e[0][0] for e in release_entries() if codename in e[1] and e[0]]
    if not mirrors:
        raise SystemExit(f"apt_sources: no entry of Debian's archive for {codename} that apt has"
                         " read: run apt-get update")
    return resolved(mirrors[0]).rstrip("/")


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
