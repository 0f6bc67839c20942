#!/usr/bin/env python3
"""Writes src/default_ignorable.h, the characters that Unicode defines as
shown as nothing (Default_Ignorable_Code_Point), from Unicode's own data, so
that a new Unicode version is one command:

  scripts/default_ignorable.py [DerivedCoreProperties.txt]

The data file is Debian's unicode-data package's by default."""

import re
import sys
from pathlib import Path

source = Path(sys.argv[1] if len(sys.argv) > 1
              else "/usr/share/unicode/DerivedCoreProperties.txt")
data = source.read_text()
version = re.match(r"# DerivedCoreProperties-([\d.]+)\.txt", data)
ranges = []
for first, last in re.findall(r"^([0-9A-F]+)(?:\.\.([0-9A-F]+))?\s*;\s*Default_Ignorable_Code_Point\b",
                              data, re.M):
    first, last = int(first, 16), int(last or first, 16)
    if ranges and ranges[-1][1] + 1 == first:
        ranges[-1][1] = last
    else:
        ranges.append([first, last])

# Another file would give a table that is wrong, or empty and not C++.
if not version or not ranges:
    sys.exit(f"default_ignorable.py: {source} is not Unicode's DerivedCoreProperties.txt: "
             "it lists no Default_Ignorable_Code_Point")
version = version.group(1)
lines = "".join(f"    {{0x{first:04X}, 0x{last:04X}}},\n" for first, last in ranges)
(Path(__file__).resolve().parent.parent / "src/default_ignorable.h").write_text(f"""\
#pragma once

// The characters that Unicode defines as shown as nothing
// (Default_Ignorable_Code_Point): renderers draw nothing for them. Made by
// scripts/default_ignorable.py from DerivedCoreProperties.txt of Unicode
// {version}; not to be edited by hand.

struct code_point_range {{
  char32_t first, last;
}};

// clang-format off
constexpr code_point_range default_ignorable[] = {{
{lines}}};
// clang-format on
""")
print(f"default_ignorable.py: {len(ranges)} ranges, Unicode {version}")
