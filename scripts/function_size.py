#!/usr/bin/env python3
"""Lists the C++ functions longer than a limit, counted as clang-tidy's readability-function-size
counts them: from the line of the opening brace to the line of the closing one. A lambda counts
with the function it is written in. Exits 1 when there is any, so that it can run as a test.

    scripts/function_size.py [--max 60] FOLDER_OR_FILE...
"""
import pathlib
import re
import sys

SCOPES = re.compile(r"\b(namespace|class|struct|union|enum)\b[^(]*$|extern\s+\"C\"\s*$")


def code_only(text):
    """The text with comments, string and character literals blanked, line breaks kept."""
    out, i, n = [], 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            i = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append("".join(ch for ch in text[i:j] if ch == "\n"))
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            out.append(c + c)
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def long_functions(path, limit):
    text = code_only(path.read_text(encoding="utf-8", errors="replace"))
    stack = []  # (kind, line of the opening brace, header)
    header, line = "", 1
    for c in text:
        if c == "\n":
            line += 1
        if c == "{":
            inside_function = any(kind == "function" for kind, _, _ in stack)
            head = " ".join(header.split())
            if inside_function:
                kind = "block"
            elif SCOPES.search(head):
                kind = "scope"
            elif "(" in head and not head.endswith("="):
                kind = "function"
            else:
                kind = "block"
            stack.append((kind, line, head))
            header = ""
        elif c == "}":
            if stack:
                kind, start, head = stack.pop()
                if kind == "function" and line - start > limit:
                    yield start, line - start, head[-80:]
            header = ""
        elif c == ";":
            header = ""
        else:
            header += c


def main(argv):
    limit = 60
    if len(argv) > 1 and argv[0] == "--max":
        limit, argv = int(argv[1]), argv[2:]
    files = []
    for given in argv:
        p = pathlib.Path(given)
        files += sorted(f for f in p.rglob("*") if f.suffix in (".cpp", ".h")) if p.is_dir() else [p]
    found = 0
    for f in files:
        for start, length, head in long_functions(f, limit):
            print(f"{f}:{start}: {length} lines (at most {limit}): {head}")
            found += 1
    print(f"{len(files)} files, {found} functions longer than {limit} lines")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
