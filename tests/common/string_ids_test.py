#!/usr/bin/env python3
"""The text-name generator refuses every table whose names could point at a wrong text, and names
the real English table without a problem. Usage: string_ids_test.py <StringIds.py> <en.txt>"""
import os
import subprocess
import sys
import tempfile

HEAD = "@base 1000\n@name English\n"

# (what, table body, text expected in the error output; None: must succeed)
CASES = [
    ("named entry", "#= Title\n1\tWelcome\n", None),
    ("name before a comment", "#= Title\n# note\n1\tWelcome\n", "not followed by an entry"),
    ("name before a blank line", "#= Title\n\n1\tWelcome\n", "not followed by an entry"),
    ("name at the end", "1\tWelcome\n#= Title\n", "not followed by an entry"),
    ("two names on one entry", "#= Title\n#= Heading\n1\tWelcome\n", "followed by another name"),
    ("one offset named twice", "#= Title\n1\tWelcome\n#= Heading\n1\tWelcome again\n", "named twice"),
    ("one name for two offsets", "#= Title\n1\tWelcome\n#= Title\n2\tHello\n", "already names offset 1"),
    ("name that is no identifier", "#= 2Title\n1\tWelcome\n", "is not a name"),
    ("name in lower case", "#= title\n1\tWelcome\n", "is not a name"),
]


def run(script, table, out):
    return subprocess.run([sys.executable, script, table, out], capture_output=True, text=True)


def main():
    script, english = sys.argv[1], sys.argv[2]
    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        table, out = os.path.join(tmp, "en.txt"), os.path.join(tmp, "StringIds.h")
        for what, body, expected in CASES:
            with open(table, "w", encoding="utf-8") as f:
                f.write(HEAD + body)
            if os.path.exists(out):
                os.remove(out)
            r = run(script, table, out)
            if expected is None:
                if r.returncode != 0 or "inline constexpr int Title = 1;" not in open(out).read():
                    failures.append(f"{what}: exit {r.returncode} {r.stderr.strip()}")
            elif r.returncode != 1 or expected not in r.stderr or os.path.exists(out):
                failures.append(f"{what}: exit {r.returncode}, wanted '{expected}' in: {r.stderr.strip()}")
        r = run(script, english, out)
        if r.returncode != 0:
            failures.append(f"en.txt: {r.stderr.strip()}")
    for f in failures:
        print(f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
