"""Indexing at scale, beside universal-ctags on the same trees in the same run: a full
`vantory index`, an unchanged re-scan, a re-index after 1% of the files changed, database size
over source size, peak RSS; cold and warm searches over /usr/include; optionally a generated tree
of a gigabyte or more, whose throughput is followed across the run.
Usage: run.py BUILD WORK [--json FILE] [--trees DIR...] [--scale-gb N]"""

import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "pylib"))

from vantory_programs import McpClient, Vantory, parse_time_report  # noqa: E402

# The folders the indexer leaves out, left out of ctags's walk too.
SKIPPED = ["build", "dist", "target", "_build", "node_modules", "bower_components", "vendor",
           "__pycache__", "site-packages", "dist-packages", "__pypackages__", ".git", ".hg",
           ".svn"]
COMMENT = {".py": "# edited\n", ".h": "/* edited */\n", ".hpp": "// edited\n",
           ".c": "/* edited */\n", ".cc": "// edited\n", ".js": "// edited\n"}
QUERIES = ["compute sha256 digest", "open a file descriptor for reading",
           "allocate aligned memory", "parse command line options",
           "compare two strings ignoring case", "lock a mutex", "create a network socket",
           "read directory entries", "convert a string to an integer", "format a time as text",
           "insert into a hash table", "compress a buffer", "match a regular expression",
           "send data over a socket", "read an environment variable",
           "install a signal handler", "map a file into memory", "random number generator",
           "sort an array", "start a new thread"]


def timed(command, cwd=None):
    """Runs command under /usr/bin/time -v: wall, user and system seconds, peak RSS in MB."""
    start = time.monotonic()
    done = subprocess.run(["/usr/bin/time", "-v", *command], cwd=cwd, capture_output=True,
                          text=True)
    wall = time.monotonic() - start
    if done.returncode != 0:
        raise RuntimeError("%s failed: %s" % (command[0], done.stderr[-500:]))
    report = parse_time_report(done.stderr)
    return {"wall_s": wall, "user_s": report["user"], "system_s": report["system"],
            "rss_mb": report["rss_mb"], "stdout": done.stdout}


def ctags(tree, work):
    """One `ctags -R` over the tree (its tags file written to work)."""
    tags = os.path.join(work, "tags")
    exclude = ["--exclude=" + name for name in SKIPPED]
    run = timed(["ctags", "-R", *exclude, "-f", tags, "."], cwd=tree)
    run.pop("stdout")
    os.remove(tags)
    return run


def index(vantory):
    run = timed([os.path.join(vantory.bin, "vantory"), *vantory.flags, "--json", "index", "."],
                cwd=vantory.tree)
    answer = json.loads(run.pop("stdout"))
    run["answer"] = {k: v for k, v in answer.items() if isinstance(v, (int, float))}
    return run


def touch_one_percent(vantory, seed):
    """Appends a comment line to 1% of the indexed files (those it knows how to comment)."""
    listing, _, _, _ = vantory.cli("index", ".", "--dry-run")
    paths = sorted(p for p in listing["paths"] if os.path.splitext(p)[1] in COMMENT)
    chosen = random.Random(seed).sample(paths, max(1, len(listing["paths"]) // 100))
    for path in chosen:
        full = path if os.path.isabs(path) else os.path.join(vantory.tree, path)
        with open(full, "a") as f:
            f.write("\n" + COMMENT[os.path.splitext(path)[1]])
    return len(chosen), listing


def warm_searches(vantory, repeats=3):
    server = vantory.server()
    # A new server reads the vectors from the database at its first search and loads them
    # into memory at its second: both are timed apart from the warm ones.
    first = []
    for query in ("warm up", "warm up again"):
        start = time.monotonic()
        server.call("search_codebase", {"query": query, "top_k": 10})
        first.append(time.monotonic() - start)
    latencies = []
    for _ in range(repeats):
        for query in QUERIES:
            start = time.monotonic()
            server.call("search_codebase", {"query": query, "top_k": 10})
            latencies.append(time.monotonic() - start)
    server.close()
    latencies.sort()
    return {"p50_ms": 1000 * latencies[len(latencies) // 2],
            "p95_ms": 1000 * latencies[int(len(latencies) * 0.95)], "calls": len(latencies),
            "first_s": first[0], "second_s": first[1]}


def measure_tree(build, source, work, seed, searches):
    name = os.path.basename(source.rstrip("/")) or "root"
    tree = os.path.join(work, name)
    shutil.rmtree(tree, ignore_errors=True)
    shutil.copytree(source, tree, symlinks=True, ignore_dangling_symlinks=True,
                    ignore=shutil.ignore_patterns("site-packages", "dist-packages", "__pycache__"))
    # ctags and a full index from an empty store take turns, three times, and the fastest run
    # of each is kept: both sides meet the same moments of a machine whose speed varies. The
    # store of the last index is the one measured further.
    store = os.path.join(work, name + "-store")
    ctags_runs, index_runs = [], []
    for _ in range(3):
        ctags_runs.append(ctags(tree, work))
        shutil.rmtree(store, ignore_errors=True)
        vantory = Vantory(build, tree, store)
        index_runs.append(index(vantory))
    out = {"tree": source, "ctags": min(ctags_runs, key=lambda r: r["wall_s"]),
           "index": min(index_runs, key=lambda r: r["wall_s"])}
    listing = vantory.cli("index", ".", "--dry-run")[0]
    out["files"], out["source_mb"] = listing["files"], listing["total_bytes"] / 1e6
    out["database_mb"] = vantory.database_bytes() / 1e6
    out["rescan"] = index(vantory)
    changed, _ = touch_one_percent(vantory, seed)
    out["changed_files"] = changed
    out["reindex_changed"] = index(vantory)
    if searches:
        command = [os.path.join(vantory.bin, "vantory"), *vantory.flags, "--json", "search",
                   "--top-k", "10", QUERIES[0]]
        cold = timed(command, cwd=tree)
        cold.pop("stdout")
        out["cold_search"] = cold
        out["warm_search"] = warm_searches(vantory)
    shutil.rmtree(tree, ignore_errors=True)
    shutil.rmtree(os.path.join(work, name + "-store"), ignore_errors=True)
    return out


def generate(source, target, gigabytes):
    """Copies of source under renamed folders until the copies hold `gigabytes` of files."""
    size = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(source) for f in fs
               if os.path.isfile(os.path.join(d, f)))
    copies = max(1, int(gigabytes * 1e9 / max(size, 1)) + 1)
    for i in range(copies):
        shutil.copytree(source, os.path.join(target, "fork%03d" % i), symlinks=True,
                        ignore_dangling_symlinks=True)
    return copies, copies * size


def scale_run(build, work, gigabytes, source="/usr/include"):
    tree = tempfile.mkdtemp(prefix="vantory-scale-", dir=work)
    try:
        copies, size = generate(source, tree, gigabytes)
        vantory = Vantory(build, tree, os.path.join(work, "scale-store"))
        server = vantory.server()
        progress = []
        start = time.monotonic()

        def note(message):
            params = message.get("params", {})
            progress.append((time.monotonic() - start, params.get("progress", 0),
                             params.get("total", 0)))

        answer = server.call("index_directory", {"directory": tree}, progress=note)
        wall = time.monotonic() - start
        with open("/proc/%d/status" % server.process.pid) as f:
            peak = next(int(line.split()[1]) / 1024.0 for line in f
                        if line.startswith("VmHWM:"))
        # Whatever the server still does when it ends (checkpointing the log, say) is timed on
        # its own.
        closing = time.monotonic()
        server.close(timeout=1800)
        close_s = time.monotonic() - closing
        # A search in a new process over the large store: what opening it costs grows with it.
        cold = timed([os.path.join(vantory.bin, "vantory"), *vantory.flags, "--json", "search",
                      "--top-k", "10", QUERIES[0]], cwd=tree)
        cold.pop("stdout")
        total = progress[-1][2] if progress else 0
        tenths = []
        previous = (0.0, 0)
        for k in range(1, 11):
            mark = next((p for p in progress if p[2] and p[1] * 10 >= k * p[2]), None)
            if mark is None:
                break
            seconds, done = mark[0] - previous[0], mark[1] - previous[1]
            tenths.append(done / seconds if seconds > 0 else 0.0)
            previous = (mark[0], mark[1])
        return {"copies": copies, "source_gb": size / 1e9, "files": total, "wall_s": wall,
                "close_s": close_s, "cold_search": cold,
                "files_per_s_by_tenth": tenths, "peak_rss_mb": peak,
                "database_mb": vantory.database_bytes() / 1e6,
                "answer": {k: v for k, v in answer.items() if isinstance(v, (int, float))}}
    finally:
        shutil.rmtree(tree, ignore_errors=True)
        shutil.rmtree(os.path.join(work, "scale-store"), ignore_errors=True)


def print_tree(r):
    c, i = r["ctags"], r["index"]
    print("%s: %d files, %.1f MB of source" % (r["tree"], r["files"], r["source_mb"]))
    print("  %-28s %8s %8s %8s %9s" % ("", "wall s", "user s", "RSS MB", "vs ctags"))
    print("  %-28s %8.2f %8.2f %8.0f %9s" % ("ctags -R", c["wall_s"], c["user_s"], c["rss_mb"],
                                             "1"))
    for label, key in (("vantory index (full)", "index"), ("unchanged re-scan", "rescan"),
                       ("re-index, %d files changed" % r["changed_files"], "reindex_changed")):
        run = r[key]
        print("  %-28s %8.2f %8.2f %8.0f %8.1fx" % (label, run["wall_s"], run["user_s"],
                                                    run["rss_mb"], run["wall_s"] / c["wall_s"]))
    print("  database %.1f MB = %.2fx the source" % (r["database_mb"],
                                                     r["database_mb"] / r["source_mb"]))
    if "cold_search" in r:
        print("  cold search (new process): %.2f s wall, %.0f MB RSS; warm p50 %.1f ms, p95 %.1f "
              "ms (vantory-mcp, %d calls)" % (r["cold_search"]["wall_s"],
                                              r["cold_search"]["rss_mb"],
                                              r["warm_search"]["p50_ms"],
                                              r["warm_search"]["p95_ms"],
                                              r["warm_search"]["calls"]))
        print("  a new vantory-mcp: first search %.2f s, second %.2f s (it loads the vectors)"
              % (r["warm_search"]["first_s"], r["warm_search"]["second_s"]))
    print()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("build")
    parser.add_argument("work")
    parser.add_argument("--json", default=None)
    # The Lib folder of the python3 on the path (with its tests where it has them).
    stdlib = os.path.realpath(sysconfig.get_paths()["stdlib"])
    parser.add_argument("--trees", nargs="*", default=[stdlib, "/usr/include"])
    parser.add_argument("--scale-gb", type=float, default=0.0,
                        help="also index a generated tree of this many GB (long)")
    parser.add_argument("--scale-source", default="/usr/include",
                        help="the tree whose copies make the generated one")
    parser.add_argument("--seed", type=int, default=15)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    results = {"trees": []}
    for tree in args.trees:
        result = measure_tree(build, tree, args.work, args.seed,
                              searches=tree.rstrip("/").startswith("/usr/include"))
        results["trees"].append(result)
        print_tree(result)
    if args.scale_gb > 0:
        r = scale_run(build, args.work, args.scale_gb, args.scale_source)
        results["scale"] = r
        print("generated tree: %d copies of %s, %.2f GB, %d files: %.0f s, peak RSS %.0f MB, "
              "database %.0f MB" % (r["copies"], args.scale_source, r["source_gb"], r["files"],
                                    r["wall_s"], r["peak_rss_mb"], r["database_mb"]))
        print("  server exit after the answer: %.0f s" % r["close_s"])
        print("  files/s by tenth of the run: " +
              " ".join("%.0f" % x for x in r["files_per_s_by_tenth"]))
        print("  cold search (new process): %.2f s wall, %.0f MB RSS"
              % (r["cold_search"]["wall_s"], r["cold_search"]["rss_mb"]))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
