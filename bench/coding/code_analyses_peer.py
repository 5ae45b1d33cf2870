"""The same two analyses written plainly in Python, timed on the data sets that
bench_code_analyses --dump wrote. The store hands out its lists without copying them.

Usage: code_analyses_peer.py DIR [RUNS]
DIR also holds cpp_medians.json, the C++ figures of the same run, to print the ratios.
"""
import json
import os
import posixpath
import re
import statistics
import sys
import time

CALL = re.compile(r"self\.(\w+)\.(\w+)\s*\(")
CALLABLE = ("function", "method")


def stem(path):
    return posixpath.splitext(posixpath.basename(path))[0]


def dependency_graph(data, paths, depth):
    contexts = data["contexts"]
    imports_of = lambda p: data["imports"].get(p, [])
    results = {}
    for requested in paths:
        normalized = posixpath.normpath(requested)
        basename = posixpath.basename(normalized)
        module = stem(basename)
        imports = [r["module"] for r in imports_of(normalized) if "module" in r]
        importers = data["importers"].get(module, [])
        ctx = next((c for c in contexts if posixpath.normpath(c.get("file_path", "")) == normalized), None)
        calls_to, packages, unused = [], {}, []
        if ctx:
            for chunk in ctx.get("chunks", []):
                calls = chunk.get("calls", [])
                if not calls and chunk.get("type") in CALLABLE:
                    calls = [{"target": f"{a}.{b}", "line": chunk.get("start_line", 0)}
                             for a, b in CALL.findall(chunk.get("content", ""))]
                for call in calls:
                    calls_to.append({"target": call.get("target"), "from": chunk.get("name", "unknown"),
                                     "line": call.get("line", 0), "signature": call.get("signature", ""),
                                     "parameters_passed": call.get("parameters_passed", ""),
                                     "return_used_as": call.get("return_used_as", "")})
        called_by = []
        for other in contexts:
            other_path = other.get("file_path", "")
            if other_path == normalized:
                continue
            for chunk in other.get("chunks", []):
                for call in chunk.get("calls", []):
                    target = call.get("target", "")
                    if target == module or target.startswith(module + "."):
                        called_by.append({"caller": chunk.get("name", "unknown"),
                                          "caller_file": posixpath.basename(other_path),
                                          "line": call.get("line", 0)})
        if ctx:
            for name in ctx.get("external_imports", []):
                packages.setdefault(name, {"version": "unknown", "installed": True})
            callers = [c["caller"] for c in called_by]
            for chunk in ctx.get("chunks", []):
                if chunk.get("type") not in CALLABLE:
                    continue
                name = chunk.get("name", "")
                self_form = "self." + name.split(".")[-1]
                used = any(c.get("target") in (name, self_form)
                           for ch in ctx.get("chunks", []) for c in ch.get("calls", []))
                if not used and name not in callers:
                    unused.append({"function": name, "line": chunk.get("start_line", 0),
                                   "reason": "no_external_callers"})
        transitive = []
        if depth > 1:
            for module_name in imports:
                via = module_name.split(".")[-1]
                match = next((c for c in contexts if stem(c.get("file_path", "")) == via), None)
                if match:
                    transitive += [{"via": via, "module": r["module"]}
                                   for r in imports_of(match["file_path"]) if "module" in r]
        results[requested] = {"imports": imports, "calls_to": calls_to, "called_by": called_by,
                              "external_packages": packages, "unused_functions": unused,
                              "transitive_imports": transitive}
    return {"status": "ok", "results": results}


def circular_dependency_check(data):
    graph = {}
    for ctx in data["contexts"]:
        path = ctx.get("file_path", "")
        graph[stem(path)] = [r["module"].split(".")[0] for r in data["imports"].get(path, [])]
    visited, cycles = set(), []
    for root in graph:
        if root in visited:
            continue
        visited.add(root)
        on_path, path, frames = {root}, [root], [(root, iter(graph.get(root, [])))]
        while frames:
            node, neighbours = frames[-1]
            nxt = next(neighbours, None)
            if nxt is None:
                frames.pop()
                on_path.discard(node)
                path.pop()
            elif nxt not in visited:
                visited.add(nxt)
                on_path.add(nxt)
                path.append(nxt)
                frames.append((nxt, iter(graph.get(nxt, []))))
            elif nxt in on_path:
                cycles.append(path[path.index(nxt):] + [nxt])
    return {"has_circular_deps": bool(cycles), "cycles_found": cycles, "module_count": len(graph)}


def median_ms(runs, operation):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        operation()
        times.append((time.perf_counter() - start) * 1000)
    return statistics.median(times)


def main():
    folder = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    with open(os.path.join(folder, "cpp_medians.json")) as handle:
        cpp = json.load(handle)
    print("files  python dependency_graph ms  python circular_dependency_check ms  cycles"
          "  python/C++ graph  python/C++ check")
    for files in (1000, 5000, 20000):
        with open(os.path.join(folder, f"agent_{files}.json")) as handle:
            data = json.load(handle)
        graph = median_ms(runs, lambda: dependency_graph(data, data["requested"], 2))
        cycles = len(circular_dependency_check(data)["cycles_found"])
        check = median_ms(runs, lambda: circular_dependency_check(data))
        mine = cpp[str(files)]
        if cycles != mine["cycles"]:
            sys.exit(f"the peers disagree on {files} files: {cycles} cycles against {mine['cycles']}")
        print(f"{files:5d}  {graph:27.2f}  {check:35.2f}  {cycles:6d}"
              f"  {graph / mine['dependency_graph_ms']:16.2f}  {check / mine['circular_check_ms']:16.2f}")


if __name__ == "__main__":
    main()
