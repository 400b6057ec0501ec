#!/usr/bin/env python3
"""Includes go downward only: every quoted include of a product source must
name its own folder, the platform seam, or a folder that layers.txt allows.
Prints each offending include line and exits 1 when there is one."""
import pathlib
import re
import sys

HERE = pathlib.Path(__file__).resolve().parent
ROOT = pathlib.Path(sys.argv[1]).resolve() if len(sys.argv) > 1 else HERE.parents[1]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
SEAM = "platform/win32.h"


def read_table():
    allowed = {}
    for line in (HERE / "layers.txt").read_text().splitlines():
        line = line.split("#", 1)[0].strip()
        if line:
            folder, _, below = line.partition(":")
            allowed[folder.strip()] = set(below.split())
    return allowed


def violations(allowed):
    for folder in sorted(allowed):
        for source in sorted((ROOT / folder).rglob("*")):
            if source.suffix not in (".cpp", ".h", ".rc"):
                continue
            text = source.read_text(errors="replace").splitlines()
            for number, line in enumerate(text, 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                target = match.group(1)
                # A name beside the including file (a resource script's
                # pieces) is that file's own folder.
                local = source.parent / target
                if local.exists():
                    target = local.resolve().relative_to(ROOT).as_posix()
                top = target.split("/", 1)[0]
                if "/" not in target or target == SEAM or top == folder:
                    continue
                if top not in allowed[folder]:
                    where = source.relative_to(ROOT)
                    yield f"{where}:{number}: {line.strip()}  ({folder} may not include {top}/)"


def main():
    found = list(violations(read_table()))
    for line in found:
        print(line)
    print(f"{len(found)} include(s) against the layers" if found else "layers: all includes go downward")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
