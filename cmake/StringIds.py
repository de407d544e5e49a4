#!/usr/bin/env python3
"""Writes salvex/StringIds.h from the names given to entries of the English string table.

A line "#= Name" in en.txt names the entry on the next line. The other languages carry no names:
they share the offsets, so their files stay as translators know them. Fails (exit 1, one line per
problem) when a name is not followed by an entry, when an entry or a name is named twice, or when a
name is not an identifier, so that a wrong or ambiguous name stops the build instead of showing the
wrong text.

Usage: StringIds.py <en.txt> <out.h>
"""
import re
import sys

NAME = re.compile(r"[A-Z][A-Za-z0-9]*\Z")
ENTRY = re.compile(r"(\d+)\t(.*)\Z")


def collect(path):
    """Returns ([(name, offset, text)], [problem])."""
    names, problems = [], []
    pending = None  # (name, line number) waiting for its entry
    by_name, by_offset = {}, {}
    with open(path, encoding="utf-8-sig") as f:
        lines = f.read().splitlines()
    for number, line in enumerate(lines, 1):
        where = f"{path}:{number}"
        if line.startswith("#="):
            name = line[2:].strip()
            if pending:
                problems.append(f"{path}:{pending[1]}: name '{pending[0]}' is followed by another name")
            if not NAME.match(name):
                problems.append(f"{where}: '{name}' is not a name (a capital letter, then letters and digits)")
                pending = None
                continue
            pending = (name, number)
            continue
        if pending is None:
            continue
        name, named_at = pending
        pending = None
        entry = ENTRY.match(line)
        if not entry:
            problems.append(f"{path}:{named_at}: name '{name}' is not followed by an entry line")
            continue
        offset = int(entry.group(1))
        if name in by_name:
            problems.append(f"{path}:{named_at}: name '{name}' already names offset {by_name[name]}")
            continue
        if offset in by_offset:
            problems.append(f"{path}:{named_at}: offset {offset} is named twice "
                            f"('{by_offset[offset]}' and '{name}')")
            continue
        by_name[name] = offset
        by_offset[offset] = name
        names.append((name, offset, entry.group(2)))
    if pending:
        problems.append(f"{path}:{pending[1]}: name '{pending[0]}' is not followed by an entry line")
    return names, problems


def header(names):
    out = ["// Generated from src/common/strings/en.txt by cmake/StringIds.py; do not edit.",
           "#pragma once", "", "namespace salvex::txt {", ""]
    for name, offset, text in sorted(names, key=lambda n: n[1]):
        # The text in quotes, as written in the table: a comment never ends in a backslash.
        out.append(f"inline constexpr int {name} = {offset};  // \"{text}\"")
    out += ["", "}  // namespace salvex::txt", ""]
    return "\n".join(out)


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    names, problems = collect(argv[1])
    for p in problems:
        sys.stderr.write(f"{p}\n")
    if problems:
        return 1
    text = header(names)
    try:
        with open(argv[2], encoding="utf-8") as f:
            if f.read() == text:
                return 0  # unchanged: keep the time stamp so nothing recompiles
    except OSError:
        pass
    with open(argv[2], "w", encoding="utf-8") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
