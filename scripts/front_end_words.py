#!/usr/bin/env python3
"""Lists the string literals of C++ and Python sources that hold a forbidden word.

    scripts/front_end_words.py WORDS FOLDER...

WORDS has one word a line as `HOW<tab>WHAT<tab>WORD`: HOW is `whole` (the literal is the
word), `word` (the word stands in it as a whole word) or `part` (anywhere in it); WHAT names
the kind of word in the listing. Comments, C++ character literals and Python docstrings (a
triple-quoted string that starts its line) are not looked at; C++ literals that only white
space parts are one, as the compiler joins them. Prints `file:line: WHAT 'WORD'` for each
hit and exits 1 when there is one."""
import pathlib
import re
import sys

CPP = re.compile(r'//[^\n]*|/\*.*?\*/|R"([^(]*)\((.*?)\)\1"|"((?:[^"\\\n]|\\.)*)"|\'(?:[^\'\\\n]|\\.)*\'', re.S)
PYTHON = re.compile(r'#[^\n]*|("""|\'\'\'|"|\')((?:\\.|(?!\1).)*?)\1', re.S)


def cpp_literals(text):
    """(line, text) of each literal, adjacent ones joined."""
    out, last_end = [], None
    for m in CPP.finditer(text):
        body = m.group(2) if m.group(2) is not None else m.group(3)
        if body is None:  # a comment or a character literal
            last_end = None
            continue
        if last_end is not None and not text[last_end:m.start()].strip():
            out[-1] = (out[-1][0], out[-1][1] + body)
        else:
            out.append((text.count("\n", 0, m.start()) + 1, body))
        last_end = m.end()
    return out


def python_literals(text):
    out = []
    for m in PYTHON.finditer(text):
        if m.group(1) is None:
            continue
        start_of_line = text.rfind("\n", 0, m.start()) + 1
        if len(m.group(1)) == 3 and not text[start_of_line:m.start()].strip():
            continue  # a docstring
        out.append((text.count("\n", 0, m.start()) + 1, m.group(2)))
    return out


def found(how, word, literal):
    if how == "whole":
        return literal == word
    if how == "word":
        return re.search(r"(?<![A-Za-z0-9_])" + re.escape(word) + r"(?![A-Za-z0-9_])", literal) is not None
    return word in literal


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    words = [line.rstrip("\n").split("\t", 2) for line in open(sys.argv[1], encoding="utf-8") if line.strip()]
    hits = 0
    for folder in sys.argv[2:]:
        for path in sorted(pathlib.Path(folder).rglob("*")):
            if path.suffix not in (".cpp", ".h", ".py"):
                continue
            text = path.read_text(encoding="utf-8", errors="replace")
            literals = python_literals(text) if path.suffix == ".py" else cpp_literals(text)
            for line, literal in literals:
                for how, what, word in words:
                    if found(how, word, literal):
                        print(f"{path}:{line}: {what} '{word}'")
                        hits += 1
    return 1 if hits else 0


if __name__ == "__main__":
    sys.exit(main())
