"""Search quality of vantory's code search against a plain BM25 peer, on trees whose
documented functions lost their documentation: the first sentence of each is the question, and
the function's lines the answer. Usage: run.py BUILD WORK [--json FILE] [--count N] [--seed S]
[--python-lib DIR] [--js-tree DIR]"""

import argparse
import json
import os
import shutil
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "pylib"))

import js_tree  # noqa: E402
import python_tree  # noqa: E402
from bm25 import BM25  # noqa: E402
from questions import choose, percentile, score, summary  # noqa: E402
from vantory_programs import Vantory, ranked_places  # noqa: E402

# Folders the indexer leaves out are left out of the copy, so both sides see the same files;
# a node_modules folder is renamed to stay in.
DROPPED = {"site-packages", "dist-packages", "__pycache__", "build", "dist", "target", "_build",
           "vendor", "bower_components", "__pypackages__"}
MAX_FILE = 1 << 20


def copy_tree(source, target):
    for folder, dirs, files in os.walk(source):
        dirs[:] = sorted(d for d in dirs if d not in DROPPED and not d.startswith("."))
        relative = os.path.relpath(folder, source)
        relative = os.sep.join("packages" if p == "node_modules" else p
                               for p in relative.split(os.sep))
        os.makedirs(os.path.join(target, relative), exist_ok=True)
        for name in files:
            path = os.path.join(folder, name)
            if name.startswith(".") or not os.path.isfile(path) or os.path.getsize(path) > MAX_FILE:
                continue
            shutil.copyfile(path, os.path.join(target, relative, name))


def build_questions(kind, tree, count, seed):
    """Chooses the questions and blanks their documentation in tree (the copy)."""
    candidates = {}
    for path in kind.source_files(tree):
        if kind.is_question_file(path):
            try:
                found = kind.documented_functions(tree, path)
            except (UnicodeDecodeError, ValueError):
                continue
            if found:
                candidates[path] = found
    chosen = choose(candidates, count, seed)
    by_file = {}
    for question in chosen:
        by_file.setdefault(question["file"], []).append(question["doc"])
    for path, places in by_file.items():
        full = os.path.join(tree, path)
        with open(full, encoding="utf-8", errors="surrogateescape") as f:
            text = f.read()
        with open(full, "w", encoding="utf-8", errors="surrogateescape") as f:
            f.write(kind.blank(text, places))
    return chosen


def run_peer(kind, tree, questions):
    start = time.monotonic()
    units = []
    for path in kind.source_files(tree):
        units.extend((path, a, b, text) for _, a, b, text in kind.units(tree, path))
    peer = BM25(units)
    built = time.monotonic() - start
    ranks, latencies = [], []
    for question in questions:
        t = time.monotonic()
        ranked = peer.search(question["question"])
        latencies.append(time.monotonic() - t)
        ranks.append(score(question, ranked))
    return ranks, {"units": len(units), "index_s": built,
                   "p50_ms": 1000 * percentile(latencies, 50)}


def run_vantory(build, tree, work, questions):
    vantory = Vantory(build, tree, work)
    indexed, index_wall, index_user, _ = vantory.cli("index", ".")
    database = vantory.database_bytes()
    # One cold search: a new process over the store just written.
    _, cold_wall, _, cold_rss = vantory.timed_cli("search", "--top-k", "10",
                                                  questions[0]["question"])
    server = vantory.server()
    server.call("search_codebase", {"query": questions[-1]["question"], "top_k": 10})
    ranks, latencies = [], []
    for question in questions:
        t = time.monotonic()
        answer = server.call("search_codebase", {"query": question["question"], "top_k": 10})
        latencies.append(time.monotonic() - t)
        ranks.append(score(question, ranked_places(answer, tree)))
    server.close()
    return ranks, {"index_s": index_wall, "index_user_s": index_user,
                   "indexed": {k: v for k, v in indexed.items() if isinstance(v, (int, float))},
                   "database_mb": database / 1e6, "cold_search_s": cold_wall,
                   "cold_search_rss_mb": cold_rss,
                   "p50_ms": 1000 * percentile(latencies, 50),
                   "p95_ms": 1000 * percentile(latencies, 95)}


def measure(name, kind, source, args):
    tree = os.path.join(args.work, name)
    shutil.rmtree(tree, ignore_errors=True)
    copy_tree(source, tree)
    questions = build_questions(kind, tree, args.count, args.seed)
    peer_ranks, peer_run = run_peer(kind, tree, questions)
    # A store left by an earlier run would be re-scanned, not indexed: start from none.
    store = os.path.join(args.work, name + "-store")
    shutil.rmtree(store, ignore_errors=True)
    vantory_ranks, vantory_run = run_vantory(args.build, tree, store, questions)
    out = {"tree": source, "questions": len(questions), "seed": args.seed}
    for side, ranks, run in (("vantory", vantory_ranks, vantory_run),
                             ("bm25", peer_ranks, peer_run)):
        out[side] = {"function": summary([f for _, f in ranks]),
                     "file": summary([f for f, _ in ranks]), **run}
    out["ratio_function_mrr"] = (out["vantory"]["function"]["mrr@10"]
                                 / max(out["bm25"]["function"]["mrr@10"], 1e-9))
    out["misses"] = [{"question": q["question"], "file": q["file"], "name": q["name"],
                      "vantory": v, "bm25": p, "vantory_file": vf, "bm25_file": pf}
                     for q, (vf, v), (pf, p) in zip(questions, vantory_ranks, peer_ranks)]
    return out


def print_table(name, result):
    print("%s: %s, %d questions (seed %d)" % (name, result["tree"], result["questions"],
                                              result["seed"]))
    header = "%-8s %-9s %7s %7s %7s %7s" % ("side", "level", "MRR@10", "R@1", "R@5", "R@10")
    print(header)
    for side in ("vantory", "bm25"):
        for level in ("function", "file"):
            s = result[side][level]
            print("%-8s %-9s %7.3f %7.3f %7.3f %7.3f" % (side, level, s["mrr@10"], s["recall@1"],
                                                          s["recall@5"], s["recall@10"]))
    v, p = result["vantory"], result["bm25"]
    print("function MRR@10 ratio vantory/bm25: %.2f" % result["ratio_function_mrr"])
    print("vantory: index %.1f s wall (%.1f s user), database %.1f MB; search p50 %.1f ms, "
          "p95 %.1f ms warm (vantory-mcp); cold CLI search %.2f s, %.0f MB RSS"
          % (v["index_s"], v["index_user_s"], v["database_mb"], v["p50_ms"], v["p95_ms"],
             v["cold_search_s"], v["cold_search_rss_mb"]))
    print("bm25: %d units, built in %.1f s (Python), search p50 %.1f ms"
          % (p["units"], p["index_s"], p["p50_ms"]))
    print()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("build")
    parser.add_argument("work")
    parser.add_argument("--json", default=None)
    parser.add_argument("--count", type=int, default=150)
    parser.add_argument("--seed", type=int, default=13)
    parser.add_argument("--python-lib", default="/usr/lib/python3.11")
    parser.add_argument("--js-tree", default="/usr/lib/node_modules/npm")
    parser.add_argument("--only", choices=("python", "javascript"), default=None)
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    results = {}
    trees = [("python", python_tree, args.python_lib), ("javascript", js_tree, args.js_tree)]
    for name, kind, source in trees:
        if args.only not in (None, name) or not os.path.isdir(source):
            continue
        results[name] = measure(name, kind, source, args)
        print_table(name, results[name])
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
