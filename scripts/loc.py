#!/usr/bin/env python3
"""Counts the lines that are neither blank nor comments: the module, host and Python package
against the tests, so the share the project keeps (tests at a quarter to a third of the code)
can be checked on any commit."""
import pathlib
import subprocess
import sys

CODE = ("src/", "host/", "pipeline/", "include/", "gui/", "python/")
TESTS = ("tests/",)
C_LIKE = {".c", ".cpp", ".h", ".hpp", ".cc"}
HASH = {".py", ".sh", ".cmake", ".txt", ".supp"}


def counted(path: pathlib.Path) -> int:
    text = path.read_text(encoding="utf-8", errors="replace")
    n = 0
    if path.suffix in C_LIKE:
        in_block = False
        for line in text.splitlines():
            s = line.strip()
            if in_block:
                if "*/" not in s:
                    continue
                s = s.split("*/", 1)[1].strip()
                in_block = False
            if s.startswith("/*"):
                if "*/" not in s:
                    in_block = True
                    continue
                s = s.split("*/", 1)[1].strip()
            if s and not s.startswith("//"):
                n += 1
    else:
        for line in text.splitlines():
            s = line.strip()
            if s and not s.startswith("#"):
                n += 1
    return n


def main() -> int:
    files = subprocess.run(["git", "ls-files"], capture_output=True, text=True, check=True).stdout.split()
    totals = {"code": 0, "tests": 0}
    per_file = []
    for name in files:
        p = pathlib.Path(name)
        if p.suffix not in C_LIKE | HASH or not p.is_file():
            continue
        kind = "tests" if name.startswith(TESTS) else "code" if name.startswith(CODE) else None
        if kind is None:
            continue
        c = counted(p)
        totals[kind] += c
        per_file.append((c, name))
    if "-v" in sys.argv:
        for c, name in sorted(per_file):
            print(f"{c:6d} {name}")
    share = 100.0 * totals["tests"] / max(totals["code"], 1)
    print(f"code {totals['code']}  tests {totals['tests']}  tests/code {share:.1f}%")
    return 0


if __name__ == "__main__":
    sys.exit(main())
