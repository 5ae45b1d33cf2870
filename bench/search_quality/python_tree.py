"""Python trees for the search-quality benchmark: documented functions, blanked docstrings and
the units the BM25 peer ranks, all cut by Python's own ast."""

import ast
import os

from questions import first_sentence

# Folders whose code is not a question's answer: tests, their data, installed packages.
SKIPPED_DIRS = {"site-packages", "dist-packages", "__pycache__", "test", "tests", "idle_test"}


def source_files(root):
    """Every .py file below root, relative paths, sorted; installed packages left out."""
    found = []
    for folder, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if d not in ("site-packages", "dist-packages",
                                                       "__pycache__") and not d.startswith("."))
        for name in files:
            if name.endswith(".py"):
                found.append(os.path.relpath(os.path.join(folder, name), root))
    return sorted(found)


def is_question_file(path):
    """Whether a file may hold a question's function: no tests, test data or tooling."""
    parts = path.split(os.sep)
    if any(p in SKIPPED_DIRS or p.startswith("test_") for p in parts[:-1]):
        return False
    return not (parts[-1].startswith("test_") or parts[-1] in ("conftest.py", "__main__.py"))


def _public_functions(tree):
    """(node, qualified name) of the public functions and the methods of public classes."""
    def walk(body, prefix):
        for node in body:
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                if not node.name.startswith("_"):
                    yield node, prefix + node.name
            elif isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
                yield from walk(node.body, prefix + node.name + ".")
    yield from walk(tree.body, "")


def _docstring_node(node):
    if node.body and isinstance(node.body[0], ast.Expr):
        value = node.body[0].value
        if isinstance(value, ast.Constant) and isinstance(value.value, str):
            return value
    return None


def documented_functions(root, path):
    """Candidates of one file: dicts with name, lines, question and the docstring's place."""
    with open(os.path.join(root, path), encoding="utf-8") as f:
        text = f.read()
    try:
        tree = ast.parse(text)
    except SyntaxError:
        return []
    lines = text.split("\n")
    found = []
    for node, name in _public_functions(tree):
        doc = _docstring_node(node)
        if doc is None:
            continue
        question = first_sentence(ast.get_docstring(node) or "")
        if question is None:
            continue
        # Only triple-quoted literals are blanked: their text may become spaces and newlines.
        opening = lines[doc.lineno - 1][doc.col_offset:]
        quote = opening.lstrip("rRuU")[:3]
        if quote not in ('"""', "'''"):
            continue
        first = node.decorator_list[0].lineno if node.decorator_list else node.lineno
        found.append({"file": path, "name": name, "start_line": first,
                      "end_line": node.end_lineno, "question": question,
                      "doc": [doc.lineno, doc.col_offset, doc.end_lineno, doc.end_col_offset]})
    return found


def blank(text, places):
    """text with the docstrings at places (ast positions, columns in UTF-8 bytes) emptied to
    white space, every line keeping its number."""
    lines = text.encode("utf-8").split(b"\n")
    for first, col, last, end_col in places:
        head = lines[first - 1][col:]
        start, stop = col + len(head) - len(head.lstrip(b"rRuU")) + 3, end_col - 3
        for number in range(first, last + 1):
            line = lines[number - 1]
            a = start if number == first else 0
            b = stop if number == last else len(line)
            lines[number - 1] = line[:a] + b" " * (b - a) + line[b:]
    return b"\n".join(lines).decode("utf-8")


def units(root, path):
    """The peer's units of one file: every function and class, a class standing for its own
    lines (header, attributes) without the bodies of the functions and classes it holds."""
    try:
        with open(os.path.join(root, path), encoding="utf-8") as f:
            text = f.read()
        tree = ast.parse(text)
    except (SyntaxError, UnicodeDecodeError, ValueError):
        return []
    lines = text.split("\n")
    found = []
    for node in ast.walk(tree):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            first = node.decorator_list[0].lineno if node.decorator_list else node.lineno
            found.append((node.name, first, node.end_lineno,
                          "\n".join(lines[first - 1:node.end_lineno])))
        elif isinstance(node, ast.ClassDef):
            inner = [n for n in node.body
                     if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef))]
            taken = set()
            for n in inner:
                start = n.decorator_list[0].lineno if n.decorator_list else n.lineno
                taken.update(range(start, n.end_lineno + 1))
            own = [lines[i - 1] for i in range(node.lineno, node.end_lineno + 1) if i not in taken]
            last = min((n.decorator_list[0].lineno if n.decorator_list else n.lineno)
                       for n in inner) - 1 if inner else node.end_lineno
            found.append((node.name, node.lineno, max(last, node.lineno), "\n".join(own)))
    return found
