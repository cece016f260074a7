#!/usr/bin/env python3
"""Mutation testing: how many small faults do the tests catch?

Each mutant is one simple fault in one source line of the module (src/), the program (host/),
the pipeline (pipeline/), the desktop app (gui/) or the Python package (python/):

  relational   a relational operator flipped at its boundary: < <=, > >=, == !=
  constant     an integer literal off by one (n -> n+1)
  swap         the operands of a binary -, / or % exchanged (a - b -> b - a)
  drop         a single-line call, assignment or increment statement replaced by {}
               (in Python: a call or assignment statement replaced by pass)

Sites are found by a small lexer that skips comments, string and character literals and
preprocessor lines, so nothing inside an #include, a #define or a message is touched; Python
files by the standard tokenizer (relational, constant and drop only).
Every candidate site of the selected files is listed in a fixed order (file, line, column,
operator); --seed and --count then draw the sample with Python's seeded RNG, so the same
commit, seed, count and --files give the same mutants on every machine.

The working tree is never written to. The sources of a commit (HEAD unless --rev) are
kept in <work>/tree, synchronised file by file so unchanged files keep their times, and
built once in <work>/build (RelWithDebInfo, no benchmarks). Each mutant overwrites one
file there, the needed targets are rebuilt incrementally, the tests that can see the file
are run, and the file is put back; the next build recompiles it.

Which tests run for a mutated file, in stages that stop at the first failure:

  src/<layer>/...   1. the layer's own test binary
                    2. every other module test binary (the lower layers' tests create the
                       upper layers' procedures through the registry), the C interface test
                       and the module's fuzz replays
                    3. the host's end-to-end tests, which load the built module
                    (src/adaptor headers that the host includes also get the host's unit tests)
  host/...          1. the host's unit tests and its fuzz replay
                    2. the host's end-to-end tests
  pipeline/...      1. the host's unit tests (they link the pipeline) and its fuzz replay
                    2. the host's end-to-end tests
                    3. the desktop app's tests and the Python suite
  gui/...           1. the desktop app's tests
  python/...        1. the Python suite (pytest on the built package, not the installed wheel)
  every file        last: the recorded outputs (Golden.*), which run the program, the Python
                    package and the app

Not run per mutant: Python.InstalledPackage (it builds and installs a wheel; the same suite
runs on the built package instead), Install.* (an install and a rebuild of a C program),
ModuleLayers.* and Code.* (they check #include lines and function lengths, which no mutant
changes).

A run that must fit in minutes: --files narrows the files (--files 'pipeline/*'), --count the
draw, and --minutes stops starting mutants once that much time has gone; the mutants run in
the order drawn (a seeded shuffle), so the ones done are themselves a random sample.

Before the first mutant the unmutated tree is built and the selected tests run once; a
test that fails there is left out of the mutants' runs and named in the report. A mutant
whose tests run longer than --timeout, or in which ctest reports a test timeout, counts
as caught ("timeout"). A mutant that does not compile is "not built" and left out of the
share: share = (killed + timeout) / built.

Runs under nice 10 by default; the machine is shared. Python 3 standard library only.
"""

import argparse
import fnmatch
import io
import json
import keyword
import os
import random
import re
import signal
import subprocess
import sys
import tarfile
import time
import tokenize

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE_DIRS = ("src/", "host/", "pipeline/", "include/", "gui/", "python/")
LAYERS = ("image", "framework", "ops", "flowtrack", "cctrack", "crowd", "assign", "adaptor")
NEVER_RUN = re.compile(r"^(Python\.|Install\.|ModuleLayers\.|PipelineLayers\.|Code\.)")

# ---------------------------------------------------------------------------------------------
# Lexing


class Tok:
    __slots__ = ("kind", "text", "start", "end", "line", "col", "space_before", "space_after")

    def __init__(self, kind, text, start, end, line, col):
        self.kind, self.text, self.start, self.end, self.line, self.col = kind, text, start, end, line, col
        self.space_before = self.space_after = False

    def __repr__(self):
        return f"{self.kind}:{self.text}@{self.line}"


PUNCT = sorted("""<=> <<= >>= ... ->* :: -> ++ -- << >> <= >= == != && || += -= *= /= %= &= |= ^= .*
{ } [ ] ( ) ; : , . ? ~ ! + - * / % ^ & | = < > #""".split(), key=len, reverse=True)
IDENT = re.compile(r"[A-Za-z_][A-Za-z_0-9]*")
PPNUM = re.compile(r"\.?[0-9](?:[eEpP][+-]|[0-9A-Za-z_.']|)*")
STRING_PREFIX = re.compile(r'(?:u8|u|U|L)?R?"|(?:u8|u|U|L)?\'')


def lex(text):
    """Tokens of C++ source without comments, literals' insides or preprocessor lines."""
    toks = []

    def skipped(i, j, line, line_start):
        """The line count and line start after skipping text[i:j]."""
        k = text.rfind("\n", i, j)
        return line + text.count("\n", i, j), (k + 1 if k >= 0 else line_start)

    i, n, line, line_start = 0, len(text), 1, 0
    at_line_start = True
    while i < n:
        c = text[i]
        if c == "\n":
            line += 1
            line_start = i + 1
            at_line_start = True
            i += 1
            continue
        if c in " \t\r\f\v":
            i += 1
            continue
        if text.startswith("//", i):
            j = text.find("\n", i)
            i = n if j < 0 else j
            continue
        if text.startswith("/*", i):
            j = text.find("*/", i + 2)
            line, line_start = skipped(i, n if j < 0 else j + 2, line, line_start)
            i = n if j < 0 else j + 2
            continue
        if c == "#" and at_line_start:
            # A preprocessor line, with its continuations (and comments that span lines).
            j = i
            while j < n:
                if text.startswith("/*", j):
                    k = text.find("*/", j + 2)
                    j = n if k < 0 else k + 2
                    continue
                if text[j] == "\\" and text.startswith("\n", j + 1):
                    j += 2
                    continue
                if text[j] == "\n":
                    break
                j += 1
            line, line_start = skipped(i, j, line, line_start)
            i = j
            continue
        at_line_start = False
        col = i - line_start + 1
        m = STRING_PREFIX.match(text, i)
        if m:
            quote = text[m.end() - 1]
            j = m.end()
            if quote == '"' and "R" in m.group(0):
                d_end = text.find("(", j)
                delim = ")" + text[j:d_end] + '"'
                j = text.find(delim, d_end)
                j = n if j < 0 else j + len(delim)
            else:
                while j < n and text[j] != quote:
                    j += 2 if text[j] == "\\" else 1
                j += 1
            toks.append(Tok("str", text[i:j], i, j, line, col))
            line += text.count("\n", i, j)
            i = j
            continue
        m = IDENT.match(text, i)
        if m:
            toks.append(Tok("id", m.group(0), i, m.end(), line, col))
            i = m.end()
            continue
        m = PPNUM.match(text, i)
        if m:
            toks.append(Tok("num", m.group(0), i, m.end(), line, col))
            i = m.end()
            continue
        for p in PUNCT:
            if text.startswith(p, i):
                toks.append(Tok("op", p, i, i + len(p), line, col))
                i += len(p)
                break
        else:
            toks.append(Tok("op", c, i, i + 1, line, col))
            i += 1
    for t in toks:
        t.space_before = t.start > 0 and text[t.start - 1] in " \t\n"
        t.space_after = t.end < n and text[t.end] in " \t\n"
    return toks


KEYWORDS = set("""alignas alignof asm auto bool break case catch char char8_t char16_t char32_t class
concept const consteval constexpr constinit const_cast continue co_await co_return co_yield decltype
default delete do double dynamic_cast else enum explicit export extern float for friend goto if inline
int long mutable namespace new noexcept operator private protected public register reinterpret_cast
requires return short signed sizeof static static_assert static_cast struct switch template thread_local
throw try typedef typeid typename union unsigned using virtual void volatile wchar_t while""".split())
VALUE_WORDS = {"this", "true", "false", "nullptr"}
CASTS = {"static_cast", "reinterpret_cast", "const_cast", "dynamic_cast"}
OPENERS = {"(": ")", "[": "]", "{": "}"}
ASSIGN = {"=", "+=", "-=", "*=", "/=", "%=", "&=", "|=", "^=", "<<=", ">>="}
# Tokens after which an operand starts at a precedence no higher than that of - and /.
LOW_BEFORE = ASSIGN | {"(", ",", "[", "{", "return", "?", ":", "<", ">", "<=", ">=", "==", "!=",
                       "&&", "||", "<<", ">>", "&", "|", "^"}
RELATIONAL = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
INT_LITERAL = re.compile(r"^(0[xX][0-9a-fA-F']+|[1-9][0-9']*|0)([uU]?[lL]{0,2}[uU]?)$")


def match_forward(toks, i):
    """Index of the token closing the bracket at toks[i], or None."""
    want, depth = OPENERS[toks[i].text], 0
    opener = toks[i].text
    for j in range(i, len(toks)):
        t = toks[j].text
        if toks[j].kind != "op":
            continue
        if t == opener:
            depth += 1
        elif t == want:
            depth -= 1
            if depth == 0:
                return j
    return None


def match_backward(toks, i):
    closer = toks[i].text
    opener = {v: k for k, v in OPENERS.items()}[closer]
    depth = 0
    for j in range(i, -1, -1):
        if toks[j].kind != "op":
            continue
        if toks[j].text == closer:
            depth += 1
        elif toks[j].text == opener:
            depth -= 1
            if depth == 0:
                return j
    return None


def template_close(toks, i):
    """Index of the > closing a template argument list opened at toks[i] (an unspaced <), or None."""
    depth = 0
    for j in range(i, min(len(toks), i + 40)):
        t = toks[j]
        if t.line != toks[i].line or t.text in {";", "{", "}", "&&", "||"}:
            return None
        if t.text == "<":
            depth += 1
        elif t.text == ">":
            depth -= 1
            if depth == 0:
                return j
        elif t.text == ">>":
            depth -= 2
            if depth <= 0:
                return None
    return None


def operand_forward(toks, i):
    """Last index of the postfix expression starting at toks[i], or None if none starts there."""
    if i >= len(toks):
        return None
    t = toks[i]
    if t.text == "(":
        j = match_forward(toks, i)
    elif t.kind == "num" or t.text in VALUE_WORDS:
        j = i
    elif t.kind == "id" and (t.text not in KEYWORDS or t.text in CASTS):
        j = i
        while j + 2 < len(toks) and toks[j + 1].text == "::" and toks[j + 2].kind == "id":
            j += 2
        if j + 1 < len(toks) and toks[j + 1].text == "<" and not toks[j + 1].space_before:
            k = template_close(toks, j + 1)
            if k is None or k + 1 >= len(toks) or toks[k + 1].text not in {"(", "{", "::"}:
                return None
            j = k
            while j + 2 < len(toks) and toks[j + 1].text == "::" and toks[j + 2].kind == "id":
                j += 2
    else:
        return None
    while j is not None and j + 1 < len(toks):
        nxt = toks[j + 1].text
        if nxt in {"(", "["}:
            j = match_forward(toks, j + 1)
        elif nxt in {".", "->"} and j + 2 < len(toks) and toks[j + 2].kind == "id":
            j += 2
        elif nxt in {"++", "--"} and not toks[j + 1].space_before:
            j += 1
        else:
            break
    return j


def operand_backward(toks, i):
    """First index of the postfix expression ending at toks[i], or None."""
    j = i
    while True:
        t = toks[j]
        if t.text in {")", "]"}:
            j = match_backward(toks, j)
            if j is None:
                return None
            if t.text == ")" and j > 0 and (toks[j - 1].kind == "id" or toks[j - 1].text in {")", "]"}
                                            or (toks[j - 1].text == ">" and not toks[j - 1].space_before)):
                j -= 1
                continue
            if t.text == "]":
                j -= 1
                continue
        elif t.text == ">" and not t.space_before:
            depth = 0
            k = j
            while k >= 0 and toks[k].line == t.line:
                if toks[k].text == ">":
                    depth += 1
                elif toks[k].text == "<":
                    depth -= 1
                    if depth == 0:
                        break
                k -= 1
            if k <= 0 or toks[k].line != t.line or toks[k - 1].kind != "id":
                return None
            j = k - 1
            continue
        elif t.kind == "num" or t.text in VALUE_WORDS or (t.kind == "id" and t.text not in KEYWORDS):
            pass
        elif t.text in {"++", "--"}:
            j -= 1
            continue
        else:
            return None
        if j > 0 and toks[j - 1].text in {".", "->", "::"}:
            j -= 2
            if j < 0:
                return None
            continue
        return j


def no_mutate_marks(toks):
    """Token indices in static_assert(...), alignas(...), template <...> headers and [[...]]."""
    marked = set()
    for i, t in enumerate(toks):
        if t.text in {"static_assert", "alignas"} and i + 1 < len(toks) and toks[i + 1].text == "(":
            j = match_forward(toks, i + 1) or i
            marked.update(range(i, j + 1))
        elif t.text == "template" and i + 1 < len(toks) and toks[i + 1].text == "<":
            depth, j = 0, i + 1
            while j < len(toks):
                if toks[j].text == "<":
                    depth += 1
                elif toks[j].text == ">":
                    depth -= 1
                elif toks[j].text == ">>":
                    depth -= 2
                if depth <= 0:
                    break
                j += 1
            marked.update(range(i, j + 1))
        elif t.text == "[" and i + 1 < len(toks) and toks[i + 1].text == "[" and not t.space_after:
            j = match_forward(toks, i) or i
            marked.update(range(i, j + 1))
    return marked


def brace_kinds(toks):
    """For each token index, whether it is directly inside a function body or a block in one."""
    in_code = [False] * len(toks)
    stack = []
    for i, t in enumerate(toks):
        in_code[i] = bool(stack) and stack[-1] == "code"
        if t.text == "{":
            prev = toks[i - 1].text if i else ""
            head = []
            k = i - 1
            while k >= 0 and toks[k].text not in {";", "{", "}"}:
                head.append(toks[k].text)
                k -= 1
            if {"namespace", "class", "struct", "union", "enum"} & set(head) and "(" not in head:
                kind = "decl"
            elif prev in {")", "else", "do", "try", "const", "noexcept", "override", "final", "mutable"}:
                kind = "code"
            elif prev in {";", "{", "}", ":"} and stack and stack[-1] == "code":
                kind = "code"
            else:
                kind = "other"
            stack.append(kind)
        elif t.text == "}" and stack:
            stack.pop()
    return in_code


def chain_end(toks, i, stop):
    """Last index of an lvalue-like chain a.b->c[i]::d starting at i (before stop), or None."""
    if i >= stop or toks[i].kind != "id" or toks[i].text in KEYWORDS:
        return None
    j = i
    while j + 1 < stop:
        nxt = toks[j + 1].text
        if nxt in {".", "->", "::"} and j + 2 < stop and toks[j + 2].kind == "id":
            j += 2
        elif nxt in {"[", "("}:
            k = match_forward(toks, j + 1)
            if k is None or k >= stop:
                return None
            j = k
        else:
            break
    return j


def statement_site(toks, first, last, in_code):
    """A dropable statement toks[first..last] (last is its ';'), as (kind, start, end) or None."""
    i = first
    # Skip an if/for/while header or an else on the same line: the statement is its body.
    while i < last:
        if toks[i].text == "else":
            i += 1
        elif toks[i].text in {"if", "for", "while"} and toks[i + 1].text == "(":
            k = match_forward(toks, i + 1)
            if k is None or k >= last:
                return None
            i = k + 1
        else:
            break
    if i >= last or not in_code[i]:
        return None
    if any(toks[k].text == ";" for k in range(i, last)):
        return None
    head = toks[i]
    if head.text in {"++", "--"}:
        e = chain_end(toks, i + 1, last)
        return ("drop", i, last) if e == last - 1 and not toks[i + 1].text.isupper() else None
    if head.kind != "id" or head.text in KEYWORDS or head.text == "assert":
        return None
    if re.fullmatch(r"[A-Z][A-Z0-9_]+", head.text):
        return None  # a macro
    start = i
    if i > 0 and toks[i - 1].text == "*" and toks[i - 1].line == head.line and i - 1 >= first:
        start = i - 1
    e = chain_end(toks, i, last)
    if e is None:
        return None
    if e == last - 1 and toks[e].text == ")":
        return ("drop", start, last)  # a call whose value is not used
    if e + 1 < last and toks[e + 1].text in ASSIGN:
        return ("drop", start, last)
    if e == last - 2 and toks[e + 1].text in {"++", "--"}:
        return ("drop", start, last)
    return None


def find_sites(path, text):
    toks = lex(text)
    marked = no_mutate_marks(toks)
    in_code = brace_kinds(toks)
    sites = []

    def add(op, a, b, after, line, col):
        before = text[toks[a].start:toks[b].end]
        sites.append({"file": path, "line": line, "col": col, "op": op,
                      "start": toks[a].start, "end": toks[b].end, "before": before, "after": after})

    for i, t in enumerate(toks):
        if i in marked:
            continue
        if t.kind == "op" and t.text in RELATIONAL and t.space_before and t.space_after:
            if i > 0 and toks[i - 1].text == "operator":
                continue
            add("relational", i, i, RELATIONAL[t.text], t.line, t.col)
        elif t.kind == "num":
            m = INT_LITERAL.match(t.text)
            if not m or (i > 0 and toks[i - 1].text == "operator"):
                continue
            digits, suffix = m.group(1).replace("'", ""), m.group(2)
            if digits[:2] in ("0x", "0X"):
                after = digits[:2] + format(int(digits, 16) + 1, "X" if digits[2:].isupper() else "x")
            else:
                after = str(int(digits) + 1)
            add("constant", i, i, after + suffix, t.line, t.col)
        elif t.kind == "op" and t.text in {"-", "/", "%"} and t.space_before and t.space_after and 0 < i:
            prev = toks[i - 1]
            if not (prev.kind in {"id", "num"} or prev.text in {")", "]", "++", "--"}):
                continue
            if prev.kind == "id" and prev.text in KEYWORDS and prev.text not in VALUE_WORDS:
                continue
            a = operand_backward(toks, i - 1)
            b = operand_forward(toks, i + 1)
            if a is None or b is None or a < 1 or b + 1 >= len(toks):
                continue
            if toks[a].line != t.line or toks[b].line != t.line or any(k in marked for k in range(a, b + 1)):
                continue
            before_tok, after_tok = toks[a - 1], toks[b + 1]
            low = before_tok.text in LOW_BEFORE or before_tok.text == "return"
            if t.text != "-" and before_tok.text in {"+", "-"} and before_tok.space_before and before_tok.space_after:
                low = True
            if not low:
                continue
            if t.text == "-" and after_tok.text in {"*", "/", "%"}:
                continue
            left, right = text[toks[a].start:toks[i - 1].end], text[toks[i + 1].start:toks[b].end]
            if left == right or '"' in left or '"' in right:
                continue
            add("swap", a, b, f"{right} {t.text} {left}", t.line, toks[a].col)
    # Statements: one per line, wholly on it.
    by_line = {}
    for i, t in enumerate(toks):
        by_line.setdefault(t.line, []).append(i)
    for line, idx in sorted(by_line.items()):
        first, last = idx[0], idx[-1]
        if toks[last].text != ";" or first in marked:
            continue
        if first > 0 and toks[first - 1].text not in {";", "{", "}", ")", "else", ":"}:
            continue  # the line continues a statement begun above
        s = statement_site(toks, first, last, in_code)
        if s:
            _, a, b = s
            add("drop", a, b, "{}", line, toks[a].col)
    return sites


def find_python_sites(path, text):
    """Relational, constant and drop sites of a Python file, from the standard tokenizer."""
    starts = [0]
    for line in text.splitlines(keepends=True):
        starts.append(starts[-1] + len(line))
    toks = [t for t in tokenize.generate_tokens(io.StringIO(text).readline)
            if t.type not in (tokenize.NL, tokenize.COMMENT)]
    sites = []

    def add(op, tok, after, end=None):
        (line, col), (end_line, end_col) = tok.start, end or tok.end
        a, b = starts[line - 1] + col, starts[end_line - 1] + end_col
        sites.append({"file": path, "line": line, "col": col + 1, "op": op, "start": a, "end": b,
                      "before": text[a:b], "after": after})

    for i, t in enumerate(toks):
        if t.type == tokenize.OP and t.string in RELATIONAL:
            add("relational", t, RELATIONAL[t.string])
        elif t.type == tokenize.NUMBER and re.fullmatch(r"[0-9]+", t.string):
            add("constant", t, str(int(t.string) + 1))
    # Statements alone on their line: a call or an assignment, not a def's docstring or a return.
    line_start = True
    for i, t in enumerate(toks):
        if t.type in (tokenize.NEWLINE, tokenize.INDENT, tokenize.DEDENT):
            line_start = True
            continue
        if not line_start:
            continue
        line_start = False
        if t.type != tokenize.NAME or keyword.iskeyword(t.string):
            continue
        j = i
        while toks[j].type != tokenize.NEWLINE:
            j += 1
        stmt = toks[i:j]
        if stmt[-1].end[0] != t.start[0] or any(x.string == ";" for x in stmt):
            continue
        depth, assigns = 0, False
        for x in stmt:
            depth += x.string in "([{" and x.type == tokenize.OP
            depth -= x.string in ")]}" and x.type == tokenize.OP
            assigns |= depth == 0 and x.type == tokenize.OP and x.string in ASSIGN
        if assigns or stmt[-1].string == ")":
            add("drop", t, "pass", stmt[-1].end)
    return sites


# ---------------------------------------------------------------------------------------------
# Sources, tree and build


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, stdout=subprocess.PIPE, text=True, **kw).stdout


def sources_at(rev):
    """{path: bytes} of every file of the commit."""
    data = subprocess.run(["git", "-C", REPO, "archive", "--format=tar", rev], check=True,
                          stdout=subprocess.PIPE).stdout
    files = {}
    with tarfile.open(fileobj=io.BytesIO(data)) as tar:
        for member in tar:
            if member.isfile():
                files[member.name] = (tar.extractfile(member).read(), member.mode)
    return files


def is_source(path):
    return path.startswith(SOURCE_DIRS) and (path.endswith((".cpp", ".h")) or
                                             (path.startswith("python/") and path.endswith(".py")))


def selected(path, globs):
    return not globs or any(fnmatch.fnmatch(path, g) for g in globs)


def all_sites(files, globs):
    sites = []
    for path in sorted(files):
        if is_source(path) and selected(path, globs):
            text = files[path][0].decode("utf-8", errors="surrogateescape")
            sites.extend(find_python_sites(path, text) if path.endswith(".py") else find_sites(path, text))
    sites.sort(key=lambda s: (s["file"], s["line"], s["col"], s["op"]))
    return sites


def sample(sites, seed, count):
    if count <= 0 or count >= len(sites):
        return list(sites)
    chosen = random.Random(seed).sample(range(len(sites)), count)
    return [sites[k] for k in sorted(chosen)]


class Stamp:
    """Strictly increasing modification times, so that make sees every write as new."""

    def __init__(self):
        self.last = 0

    def touch(self, path):
        ns = max(time.time_ns(), self.last + 10_000_000)
        self.last = ns
        os.utime(path, ns=(ns, ns))


def sync_tree(files, tree, stamp):
    """Makes tree hold exactly the commit's files, rewriting only those that differ."""
    changed = 0
    for path, (data, mode) in files.items():
        dest = os.path.join(tree, path)
        try:
            with open(dest, "rb") as f:
                if f.read() == data:
                    continue
        except FileNotFoundError:
            os.makedirs(os.path.dirname(dest), exist_ok=True)
        with open(dest, "wb") as f:
            f.write(data)
        os.chmod(dest, mode & 0o777)
        stamp.touch(dest)
        changed += 1
    for root, dirs, names in os.walk(tree):
        for name in names:
            rel = os.path.relpath(os.path.join(root, name), tree)
            if rel not in files:
                os.remove(os.path.join(root, name))
                changed += 1
    return changed


# ---------------------------------------------------------------------------------------------
# Tests


def group_of(test):
    """The group a ctest test belongs to, from its name and command."""
    name, cmd = test["name"], [os.path.basename(c) for c in test.get("command", [])]
    exe = cmd[0] if cmd else ""
    if NEVER_RUN.match(name):
        return None
    if exe.startswith("test_") and exe[5:] in LAYERS:
        return exe[5:]
    if exe == "test_c_interface":
        return "c_interface"
    if name.startswith("FuzzReplay."):
        return "fuzz_host" if exe == "fuzz_host_replay" else "fuzz_module"
    for group, exes in GROUP_TARGETS.items():
        if group.startswith("host_") and exe in exes:
            return group
    if name.startswith("HostShow."):
        return "host_e2e"
    if name.startswith("Gui."):
        return "gui"
    if name.startswith("Golden."):
        return "golden"
    return "other"


MODULE_GROUPS = list(LAYERS) + ["c_interface", "fuzz_module"]
GROUP_TARGETS = {
    **{layer: [f"test_{layer}"] for layer in LAYERS},
    "c_interface": ["test_c_interface", "ambrevo_module"],
    "fuzz_module": ["fuzz_procedure_replay", "fuzz_exports_replay", "fuzz_dialogue_replay",
                    "fuzz_c_interface_replay"],
    "fuzz_host": ["fuzz_host_replay"],
    "host_unit": ["test_host_unit", "test_host_arena", "test_host_video_file", "test_host_run_faults"],
    "host_e2e": ["test_host_cli", "test_host_arena_cli", "test_host_batch", "test_host_reading_faults",
                 "test_host_score", "test_host_link", "test_host_faults", "ambrevo", "ambrevo_module",
                 "ambrevo_partial_module"],
    "gui": ["test_gui", "test_gui_walkthrough", "ambrevo", "ambrevo_module"],
    "python": ["ambrevo_python", "ambrevo", "ambrevo_module"],
    "golden": ["ambrevo", "ambrevo_module", "ambrevo_python", "golden_app_run", "crowd_scene_tool"],
}
# Groups run by a command of their own rather than through ctest.
PYTEST = "python"


def host_included_headers(files):
    names = set()
    for path, (data, _) in files.items():
        if path.startswith(("host/", "python/")) and path.endswith((".cpp", ".h")):
            names.update(re.findall(r'#\s*include\s*"([^"]+)"', data.decode("utf-8", "replace")))
    return names


def stages_for(path, host_headers):
    """The test groups that can see a file, nearest first; the recorded outputs last."""
    parts = path.split("/")
    area = {"host": [["host_unit", "fuzz_host"], ["host_e2e"]],
            "pipeline": [["host_unit", "fuzz_host"], ["host_e2e"], ["gui", PYTEST]],
            "include": [["host_unit", "fuzz_host"], ["host_e2e"], ["gui", PYTEST]],
            "gui": [["gui"]],
            "python": [[PYTEST]]}.get(parts[0])
    if area:
        return area + [["golden"]]
    layer = parts[1] if len(parts) > 2 else ""
    first = [layer] if layer in LAYERS else []
    rest = [g for g in MODULE_GROUPS if g not in first]
    last = ["host_e2e", "golden"]
    if layer == "adaptor" and parts[-1] in host_headers:
        last = ["host_unit", "fuzz_host"] + last
    return [s for s in (first, rest, last) if s]


class Tests:
    def __init__(self, build, jobs, tree):
        self.build, self.jobs, self.tree = build, jobs, tree
        self.excluded = set()
        self.groups = {}

    def discover(self):
        out = run(["ctest", "--test-dir", self.build, "--show-only=json-v1"])
        self.groups = {}
        for t in json.loads(out).get("tests", []):
            g = group_of(t)
            if g:
                self.groups.setdefault(g, []).append(t["name"])

    def names(self, groups):
        return sorted({n for g in groups for n in self.groups.get(g, []) if n not in self.excluded})

    @staticmethod
    def regex(names):
        # Whole suites keep the expression short; suites are not shared between groups, and a
        # test that happens to share a suite only makes the run more thorough.
        suites = sorted({re.escape(n.split(".")[0]) for n in names})
        return "^(" + "|".join(suites) + r")\."

    def run(self, groups, timeout, stop_on_failure=True):
        """(result, failed names, seconds): result is passed, failed or timeout."""
        result, failed, seconds = self.run_ctest([g for g in groups if g != PYTEST], timeout, stop_on_failure)
        if PYTEST in groups and PYTEST_NAME not in self.excluded and (result == "passed" or not stop_on_failure):
            more, names, more_seconds = self.run_pytest(max(30.0, timeout - seconds))
            seconds += more_seconds
            failed += names
            if result == "passed" or more == "timeout":
                result = more
        return result, failed, seconds

    def run_pytest(self, timeout):
        """The Python suite on the package as built (build/python), not an installed wheel."""
        env = dict(os.environ, PYTHONPATH=os.path.join(self.build, "python"),
                   AMBREVO_HOST=os.path.join(self.build, "bin", "ambrevo"))
        cmd = ["/usr/bin/python3", "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider",
               os.path.join(self.tree, "tests", "python")]
        t0 = time.monotonic()
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env,
                                cwd=self.build, start_new_session=True)
        try:
            proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.communicate()
            return "timeout", [PYTEST_NAME], time.monotonic() - t0
        seconds = time.monotonic() - t0
        return ("passed", [], seconds) if proc.returncode == 0 else ("failed", [PYTEST_NAME], seconds)

    def run_ctest(self, groups, timeout, stop_on_failure):
        names = self.names(groups)
        if not names:
            return "passed", [], 0.0
        wanted = set(names)
        cmd = ["ctest", "--test-dir", self.build, "-R", self.regex(names), "-j", str(self.jobs),
               "--no-tests=error", "--timeout", str(int(timeout))]
        exclude = sorted(self.excluded) + ["Python.Package", "Install.CProgramAgainstInstalledCopy"]
        cmd += ["-E", "^(" + "|".join(re.escape(n) for n in exclude) + ")$"]
        if stop_on_failure:
            cmd.append("--stop-on-failure")
        t0 = time.monotonic()
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                start_new_session=True)
        try:
            out, _ = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.communicate()
            return "timeout", [], time.monotonic() - t0
        seconds = time.monotonic() - t0
        failed, timed_out = [], False
        for m in re.finditer(r"^\s*\d+ - (\S+) \(([^)]*)\)", out.split("The following tests FAILED:")[-1]
                             if "The following tests FAILED:" in out else "", re.M):
            failed.append(m.group(1))
            timed_out |= "Timeout" in m.group(2)
        if timed_out:
            return "timeout", failed, seconds
        if proc.returncode != 0:
            return "failed", failed or ["(ctest exit %d)" % proc.returncode], seconds
        m = re.search(r"tests passed, \d+ tests failed out of (\d+)", out)
        ran = int(m.group(1)) if m else 0
        if ran < len(wanted):
            # A test binary that cannot even list its tests loses them silently.
            return "failed", ["(%d of %d tests ran)" % (ran, len(wanted))], seconds
        return "passed", [], seconds


PYTEST_NAME = "pytest:tests/python"


def build(build_dir, targets, jobs):
    proc = subprocess.run(["cmake", "--build", build_dir, "-j", str(jobs), "--target", *sorted(set(targets))],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return proc.returncode == 0, proc.stdout


def targets_for(groups):
    return [t for g in groups for t in GROUP_TARGETS.get(g, [])]


# ---------------------------------------------------------------------------------------------


def describe(site):
    return f"{site['file']}:{site['line']} {site['op']}: {site['before']} -> {site['after']}"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seed", type=int, default=1, help="seed of the draw (default 1)")
    ap.add_argument("--count", type=int, default=40, help="mutants to draw; 0 for every site (default 40)")
    ap.add_argument("--files", action="append", default=[], metavar="GLOB",
                    help="only files whose path matches (fnmatch, * crosses /); repeatable")
    ap.add_argument("--list", action="store_true",
                    help="print every candidate site, '*' marking the drawn ones, and stop")
    ap.add_argument("--rev", default="HEAD", help="commit whose sources are mutated (default HEAD)")
    ap.add_argument("--work", default=os.path.join(REPO, "build-mutants"),
                    help="private tree and build directory (default build-mutants/)")
    ap.add_argument("--jobs", type=int, default=1, help="parallel compile and test jobs (default 1)")
    ap.add_argument("--timeout", type=float, default=0,
                    help="seconds a mutant's tests may take (default: 3 times the unmutated run, plus 60)")
    ap.add_argument("--minutes", type=float, default=0,
                    help="start no mutant after this many minutes of mutants (default: no limit)")
    ap.add_argument("--json", metavar="FILE", help="write the results to FILE")
    ap.add_argument("--no-nice", action="store_true", help="do not lower the priority to nice 10")
    args = ap.parse_args()
    # Resolved once: the branch may move while a long run goes on, and the report must name
    # the commit whose sources were mutated.
    args.rev = run(["git", "-C", REPO, "rev-parse", args.rev]).strip()

    files = sources_at(args.rev)
    sites = all_sites(files, args.files)
    drawn = sample(sites, args.seed, args.count)
    if args.list:
        chosen = {(s["file"], s["start"], s["op"]) for s in drawn}
        for s in sites:
            mark = "*" if (s["file"], s["start"], s["op"]) in chosen else " "
            print(f"{mark} {describe(s)}")
        counts = {}
        for s in sites:
            counts[s["op"]] = counts.get(s["op"], 0) + 1
        print(f"{len(sites)} sites in {len({s['file'] for s in sites})} files: "
              + ", ".join(f"{k} {v}" for k, v in sorted(counts.items())) + f"; {len(drawn)} drawn")
        return 0
    if not drawn:
        print("no candidate sites", file=sys.stderr)
        return 1
    if not args.no_nice:
        os.nice(10)

    tree, build_dir = os.path.join(args.work, "tree"), os.path.join(args.work, "build")
    os.makedirs(tree, exist_ok=True)
    stamp = Stamp()
    changed = sync_tree(files, tree, stamp)
    print(f"tree {tree}: {args.rev} ({changed} files written)", flush=True)
    if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
        subprocess.run(["cmake", "-S", tree, "-B", build_dir, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                        "-DAMBREVO_BENCH=OFF"], check=True, stdout=subprocess.DEVNULL)

    host_headers = host_included_headers(files)
    # In the order drawn, so that the mutants done before --minutes ends are a random sample.
    order = random.Random(args.seed).sample(drawn, len(drawn))
    plan = [(s, stages_for(s["file"], host_headers)) for s in order]
    groups_needed = sorted({g for _, stages in plan for st in stages for g in st})
    t0 = time.monotonic()
    ok, log = build(build_dir, targets_for(groups_needed), args.jobs)
    if not ok:
        print(log[-4000:])
        print("the unmutated tree does not build", file=sys.stderr)
        return 1
    tests = Tests(build_dir, args.jobs, tree)
    tests.discover()
    result, failed, base_seconds = tests.run(groups_needed, timeout=3600, stop_on_failure=False)
    if result != "passed":
        tests.excluded.update(n for n in failed if not n.startswith("("))
        print("unmutated tree: left out of the mutants' runs because they fail without a mutant: "
              + ", ".join(failed), flush=True)
    timeout = args.timeout or 3 * base_seconds + 60
    print(f"unmutated build and tests: {time.monotonic() - t0:.0f} s (tests {base_seconds:.0f} s); "
          f"{len(drawn)} of {len(sites)} sites drawn with seed {args.seed}; timeout {timeout:.0f} s",
          flush=True)

    results = []
    started = time.monotonic()
    for n, (site, stages) in enumerate(plan, 1):
        if args.minutes and time.monotonic() - started > 60 * args.minutes:
            print(f"--minutes {args.minutes:g} over: {n - 1} of {len(plan)} mutants done", flush=True)
            break
        path = os.path.join(tree, site["file"])
        original = files[site["file"]][0]
        text = original.decode("utf-8", errors="surrogateescape")
        mutated = text[:site["start"]] + site["after"] + text[site["end"]:]
        m0 = time.monotonic()
        with open(path, "wb") as f:
            f.write(mutated.encode("utf-8", errors="surrogateescape"))
        stamp.touch(path)
        outcome, detail, build_s, test_s = "survived", "", 0.0, 0.0
        try:
            for stage in stages:
                b0 = time.monotonic()
                ok, log = build(build_dir, targets_for(stage), args.jobs)
                build_s += time.monotonic() - b0
                if not ok:
                    outcome = "not built"
                    err = re.search(r"error: (.*)", log)
                    detail = err.group(1)[:120] if err else "build failed"
                    break
                result, failed, secs = tests.run(stage, timeout=max(30.0, timeout - test_s))
                test_s += secs
                if result == "timeout":
                    outcome, detail = "timeout", ", ".join(failed[:3])
                    break
                if result == "failed":
                    outcome, detail = "killed", ", ".join(failed[:3])
                    break
        finally:
            with open(path, "wb") as f:
                f.write(original)
            stamp.touch(path)
        seconds = time.monotonic() - m0
        rec = dict(site, result=outcome, detail=detail, seconds=round(seconds, 1),
                   build_seconds=round(build_s, 1), test_seconds=round(test_s, 1))
        del rec["start"], rec["end"]
        results.append(rec)
        print(f"[{n}/{len(plan)}] {describe(site)}  => {outcome}"
              + (f" ({detail})" if detail else "") + f"  [{seconds:.0f} s: build {build_s:.0f}, tests {test_s:.0f}]",
              flush=True)

    built = [r for r in results if r["result"] != "not built"]
    caught = [r for r in built if r["result"] in ("killed", "timeout")]
    survivors = [r for r in built if r["result"] == "survived"]
    share = len(caught) / len(built) if built else 0.0
    print()
    print(f"caught {len(caught)} of {len(built)} built mutants: {100 * share:.1f}% "
          f"({sum(r['result'] == 'killed' for r in built)} killed, "
          f"{sum(r['result'] == 'timeout' for r in built)} timeout, "
          f"{len(results) - len(built)} not built); seed {args.seed}, {len(sites)} candidate sites, "
          f"{len(results)} of {len(drawn)} drawn mutants run in {(time.monotonic() - started) / 60:.0f} min")
    if survivors:
        print("survivors:")
        for r in sorted(survivors, key=lambda r: (r["file"], r["line"], r["col"])):
            print(f"  {r['file']}:{r['line']} {r['op']}: {r['before']} -> {r['after']}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"rev": args.rev, "seed": args.seed,
                       "count": args.count, "files": args.files, "candidate_sites": len(sites),
                       "built": len(built), "caught": len(caught), "share": round(share, 4),
                       "excluded_tests": sorted(tests.excluded), "mutants": results}, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
