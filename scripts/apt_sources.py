#!/usr/bin/env python3
"""This machine's own apt entries for its Debian release (bookworm,
bookworm-updates, bookworm-security ...), those of Debian's own archive, so
that nothing here ever names an archive itself.

  apt_sources.py [--release CODENAME]   prints them as deb822 stanzas, for
                                        another release by the same archives
  apt_sources.py --archive              the archives of the release itself,
                                        best first

An entry may name its archive through a mirror list, as Debian's cloud
images do (mirror+file:///etc/apt/mirrors/debian.list): its mirrors are then
taken in the order apt tries them, lowest priority first, leaving out those
whose restrictions keep them from serving a source file of the pool (a
type:index mirror, say); --archive prints each, best first.
scripts/fresh-root gives the entries to a new root; scripts/setup takes
files from the archive's pool."""

import argparse
import bz2
import gzip
import lzma
import re
import subprocess
import urllib.error
import urllib.request
from pathlib import Path

APT = Path("/etc/apt")


def release():
    """The machine's release codename."""
    fields = dict(line.rstrip("\n").split("=", 1) for line in open("/etc/os-release")
                  if "=" in line)
    return fields["VERSION_CODENAME"].strip('"')


def deb_entries():
    """The enabled binary entries: (uris, suites, components, signed-by,
    architectures), from both the deb822 and the one-line formats."""
    entries = []
    for path in sorted((APT / "sources.list.d").glob("*.sources")):
        # A field's value may go on in lines that begin with a blank.
        text = re.sub(r"^#.*\n", "", path.read_text(), flags=re.M)
        for stanza in re.split(r"\n\s*\n", text):
            fields = {name.lower(): value for name, value in
                      re.findall(r"^([\w-]+):(.*(?:\n[ \t].*)*)", stanza, re.M)}
            words = {name: value.split() for name, value in fields.items()}
            if "deb" in words.get("types", []) and words.get("enabled", ["yes"]) != ["no"]:
                # A key given in place keeps its lines.
                entries.append((words.get("uris", []), words.get("suites", []),
                                words.get("components", []), fields.get("signed-by", "").strip(),
                                words.get("architectures", [])))
    for path in [APT / "sources.list", *sorted((APT / "sources.list.d").glob("*.list"))]:
        if not path.exists():
            continue
        for line in path.read_text().splitlines():
            match = re.match(r"\s*deb\s+(?:\[([^]]*)\]\s+)?(\S+)\s+(\S+)\s+([^#]*)", line)
            if match:
                options = dict(re.findall(r"([\w-]+)=(\S+)", match.group(1) or ""))
                entries.append(([match.group(2)], [match.group(3)], match.group(4).split(),
                                options.get("signed-by", ""),
                                options.get("arch", "").split(",") if "arch" in options else []))
    return entries


def same_uri(uri):
    """A URI as apt's own lists spell it too: an entry's mirror+file:///x is
    mirror+file:/x/ to apt-get indextargets."""
    return re.sub(r"^([\w+.-]+):/*", r"\1:/", uri).rstrip("/")


def mirrors(uri):
    """The archives that a URI names: itself, or its mirror list's mirrors
    that may serve a source file of the pool (restricted to other types,
    architectures or components, they may not), in the order apt tries them:
    by priority, lowest first, those without one last."""
    if not uri.startswith(("mirror+", "mirror:")):
        return [uri]
    inner = uri.removeprefix("mirror+") if uri.startswith("mirror+") else "http" + uri[6:]
    opener = {".gz": gzip.decompress, ".xz": lzma.decompress, ".bz2": bz2.decompress}.get(
        Path(inner).suffix, bytes)
    try:
        if inner.startswith("file:"):
            listed = Path(re.sub(r"^file:/*", "/", inner)).read_bytes()
        else:
            with urllib.request.urlopen(inner, timeout=60) as answer:
                listed = answer.read()
        listed = opener(listed).decode()
    except (OSError, EOFError, lzma.LZMAError, UnicodeDecodeError, urllib.error.URLError) as error:
        raise SystemExit(f"apt_sources: the mirror list of {uri} cannot be read: {error}")
    found = []
    for line in listed.splitlines():
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        mirror, *metadata = line.split()
        limits = {}
        for key, value in (item.split(":", 1) for item in metadata if ":" in item):
            limits.setdefault(key, []).append(value)
        if all(wanted in limits.get(key, [wanted]) for key, wanted in
               (("type", "dsc"), ("arch", "source"), ("component", "main"))):
            found.append((int(limits.get("priority", [2**31])[0]), mirror))
    return [mirror for _, mirror in sorted(found, key=lambda ranked: ranked[0])]


def resolved(uri):
    """The archive that apt would try first for a URI."""
    found = mirrors(uri)
    if not found:
        raise SystemExit(f"apt_sources: the mirror list of {uri} names no mirror for the pool")
    return found[0]


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
    return [(uris, [s.replace(own, codename or own, 1) for s in suites], *rest)
            for uris, suites, *rest in deb_entries()
            if any((same_uri(u), s) in debian and (s == own or s.startswith(own + "-"))
                   for u in uris for s in suites)]


def archives():
    """The archives that hold the release itself (its pool, its packages),
    best first."""
    codename = release()
    found = [m for uris, suites, *_ in release_entries() if codename in suites
             for uri in uris for m in mirrors(uri)]
    if not found:
        raise SystemExit(f"apt_sources: apt has read no entry for {codename} whose Release file "
                         "says Origin: Debian (run apt-get update if it has not; a mirror that "
                         "relabels Debian's archive is not taken for it)")
    return [archive.rstrip("/") for archive in dict.fromkeys(found)]


def sources_text(entries):
    stanzas = []
    for uris, suites, components, signed, architectures in entries:
        stanza = (f"Types: deb\nURIs: {' '.join(uris)}\nSuites: {' '.join(suites)}\n"
                  f"Components: {' '.join(components)}\n")
        if signed:
            stanza += f"Signed-By: {signed}\n"
        if architectures:
            stanza += f"Architectures: {' '.join(architectures)}\n"
        stanzas.append(stanza)
    return "\n".join(stanzas)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--release")
    parser.add_argument("--archive", action="store_true")
    args = parser.parse_args()
    print("\n".join(archives()) if args.archive else sources_text(release_entries(args.release)))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
