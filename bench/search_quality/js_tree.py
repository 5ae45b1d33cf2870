"""JavaScript trees for the search-quality benchmark: functions documented by a /** ... */
comment, cut by a small parser (comments, strings and templates masked, braces matched)."""

import os
import re

from questions import first_sentence

SKIPPED_DIRS = {"test", "tests", "__tests__", "spec", "fixtures", "docs", "man"}
KEYWORDS = {"if", "for", "while", "switch", "catch", "function", "return", "with", "else",
            "do", "try", "typeof", "new", "await", "yield", "super", "constructor"}

# A function's head, found in the masked text: declarations, methods, named function
# expressions and arrows with a block body. The name is the last group that matched.
HEAD = re.compile(
    r"(?m)^[ \t]*(?:export\s+(?:default\s+)?)?(?:async\s+)?function\s*\*?\s*([A-Za-z_$][\w$]*)\s*\("
    r"|^[ \t]*(?:static\s+)?(?:async\s+)?(?:get\s+|set\s+)?\*?([A-Za-z_$][\w$]*)\s*\("
    r"|^[ \t]*(?:(?:export\s+)?(?:const|let|var)\s+)?(?:[\w$]+\.)*([A-Za-z_$][\w$]*)\s*[=:]\s*"
    r"(?:async\s+)?(?:function\b[^(]*\(|\(|[A-Za-z_$][\w$]*\s*=>)")


def source_files(root):
    found = []
    for folder, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if not d.startswith("."))
        for name in files:
            if name.endswith((".js", ".mjs", ".cjs")) and not name.endswith(".min.js"):
                found.append(os.path.relpath(os.path.join(folder, name), root))
    return sorted(found)


def is_question_file(path):
    parts = path.split(os.sep)
    return not any(p in SKIPPED_DIRS for p in parts[:-1]) and ".test." not in parts[-1]


def mask(text):
    """text with the insides of comments, strings and template literals turned to spaces
    (newlines kept), so braces and heads are found in code only. Regular-expression literals
    are not recognised: a brace inside one may throw a function's end off."""
    out = list(text)
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
        elif c in "'\"`":
            j = i + 1
            while j < n and text[j] != c and (c == "`" or text[j] != "\n"):
                j += 2 if text[j] == "\\" else 1
            j = min(j + 1, n)
            for k in range(i + 1, j - 1):
                if out[k] != "\n":
                    out[k] = " "
            i = j
            continue
        else:
            i += 1
            continue
        for k in range(i, j):
            if out[k] != "\n":
                out[k] = " "
        i = j
    return "".join(out)


def _functions(text):
    """(name, head offset, body end offset) of every function with a block body."""
    masked = mask(text)
    found = []
    for match in HEAD.finditer(masked):
        name = next(g for g in reversed(match.groups()) if g)
        if name in KEYWORDS:
            continue
        # The body opens at the first brace after the parameters' closing parenthesis.
        depth, i = 0, match.end() - 1
        if masked[i] == "(":
            depth = 0
            while i < len(masked):
                depth += {"(": 1, ")": -1}.get(masked[i], 0)
                if depth == 0:
                    break
                i += 1
        head_rest = re.match(r"\)?\s*(?::\s*[\w$<>\[\]|. ]+)?\s*(=>)?\s*\{", masked[i:i + 200])
        if not head_rest:
            continue
        i += head_rest.end() - 1
        depth = 0
        for j in range(i, len(masked)):
            depth += {"{": 1, "}": -1}.get(masked[j], 0)
            if depth == 0:
                found.append((name, match.start(), j + 1))
                break
    return found


def _line_of(text, offset):
    return text.count("\n", 0, offset) + 1


def documented_functions(root, path):
    with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
        text = f.read()
    found = []
    for name, head, end in _functions(text):
        if name.startswith("_"):
            continue
        before = text[:head].rstrip()
        if not before.endswith("*/"):
            continue
        start = before.rfind("/**")
        if start < 0 or "*/" in before[start:-2]:
            continue
        body = before[start + 3:-2]
        description = []
        for line in body.split("\n"):
            line = re.sub(r"^\s*\*?\s?", "", line)
            if line.startswith("@"):
                break
            description.append(line)
        question = first_sentence("\n".join(description))
        if question is None:
            continue
        found.append({"file": path, "name": name, "start_line": _line_of(text, head),
                      "end_line": _line_of(text, end), "question": question,
                      "doc": [start, len(before)]})
    return found


def blank(text, places):
    """text with the comments at places (offsets) turned to spaces, newlines kept."""
    out = list(text)
    for start, stop in places:
        for k in range(start, stop):
            if out[k] != "\n":
                out[k] = " "
    return "".join(out)


def units(root, path):
    """The peer's units of one file: every function with a block body."""
    try:
        with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
            text = f.read()
    except OSError:
        return []
    return [(name, _line_of(text, head), _line_of(text, end), text[head:end])
            for name, head, end in _functions(text)]
