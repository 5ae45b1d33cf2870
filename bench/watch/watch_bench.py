"""How fast `vantory watch` keeps an index current, beside re-running `vantory index`.

A git repository is made of the Python files of the installed standard library (the first
`--files` of them), with one branch that changes 500 of them and one that changes 50. Measured:
the time from saving an edit to the watch's line for it (the edit is then searchable), and the
time from a `git checkout` of each branch to the watch's last line for it. The peer is what a
person does without the watch: `vantory index .` after the same checkout (a full rescan that
re-indexes the changed files). Usage: watch_bench.py VANTORY_BIN [--files N]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time


def run(argv, cwd, env):
    subprocess.run(argv, cwd=cwd, env=env, check=True, stdout=subprocess.DEVNULL)


def git(repo, *args):
    run(["git", "-c", "user.name=bench", "-c", "user.email=bench@localhost", *args], repo,
        os.environ)


def make_repo(repo, count):
    lib = os.path.realpath(sysconfig.get_paths()["stdlib"])
    files = []
    for top, folders, names in os.walk(lib):
        folders[:] = sorted(f for f in folders if f not in ("site-packages", "dist-packages",
                                                              "__pycache__"))
        files += [os.path.join(top, n) for n in sorted(names) if n.endswith(".py")]
    files = files[:count]
    for source in files:
        target = os.path.join(repo, os.path.relpath(source, lib))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(source, "rb") as f, open(target, "wb") as out:
            out.write(f.read())
    git(repo, "init", "-q", "-b", "main")
    git(repo, "add", "-A")
    git(repo, "commit", "-q", "-m", "base")
    relative = sorted(os.path.relpath(f, lib) for f in files)
    for branch, changed in (("five-hundred", 500), ("fifty", 50)):
        git(repo, "checkout", "-q", "-b", branch, "main")
        for i, path in enumerate(relative[:changed]):
            with open(os.path.join(repo, path), "a") as out:
                out.write(f"\n\ndef bench_{branch.replace('-', '_')}_{i}():\n    return {i}\n")
        git(repo, "commit", "-q", "-am", branch)
    git(repo, "checkout", "-q", "main")
    return len(files)


class Watch:
    def __init__(self, vantory, repo, env):
        self.process = subprocess.Popen([vantory, "watch", ".", "--json"], cwd=repo, env=env,
                                        stdout=subprocess.PIPE, text=True)
        self.first = self.report()

    def report(self):
        line = self.process.stdout.readline()
        if not line:
            sys.exit("vantory watch ended early")
        return json.loads(line)

    def until(self, key, total):
        """Reads reports until their `key` counts add up to `total`; answers the seconds."""
        seen = 0
        while seen < total:
            seen += self.report()[key]
        return time.monotonic()

    def stop(self):
        self.process.terminate()
        self.process.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("vantory")
    parser.add_argument("--files", type=int, default=1000)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        repo = os.path.join(scratch, "repo")
        os.makedirs(repo)
        count = make_repo(repo, args.files)
        env = dict(os.environ, VANTORY_CODING_ROOT=os.path.join(scratch, "coding"),
                   REMOTE_EMBEDDING_URL="", VANTORY_AGENT_ID="bench")
        start = time.monotonic()
        run([args.vantory, "index", "."], repo, env)
        full = time.monotonic() - start

        watch = Watch(args.vantory, repo, env)
        edits = []
        target = os.path.join(repo, sorted(os.listdir(repo))[0])
        while not target.endswith(".py"):
            target = os.path.join(target, sorted(os.listdir(target))[0])
        for i in range(5):
            with open(target, "a") as out:
                out.write(f"\n\ndef bench_edit_{i}():\n    return {i}\n")
            saved = time.monotonic()
            edits.append(watch.until("updated", 1) - saved)
        checkouts = {}
        for branch, changed in (("five-hundred", 500), ("fifty", 50)):
            for to in (branch, "main"):
                start = time.monotonic()
                git(repo, "checkout", "-q", to)
                checkouts.setdefault(changed, []).append(watch.until("updated", changed) - start)
        watch.stop()

        rescans = []
        for to in ("five-hundred", "main"):
            git(repo, "checkout", "-q", to)
            start = time.monotonic()
            run([args.vantory, "index", "."], repo, env)
            rescans.append(time.monotonic() - start)

    def ms(values):
        return statistics.median(values) * 1000

    print(f"tree: {count} Python files of {sysconfig.get_paths()['stdlib']}")
    print(f"full index: {full * 1000:.0f} ms ({full * 1000 / count:.1f} ms a file)")
    print(f"edit saved -> indexed by watch (debounce 200 ms included): median {ms(edits):.0f} ms "
          f"of {len(edits)}")
    for changed, times in sorted(checkouts.items()):
        print(f"checkout of {changed} changed files -> indexed by watch: median {ms(times):.0f} ms "
              f"({ms(times) / changed:.1f} ms a file)")
    print(f"peer: vantory index . after a 500-file checkout: median {ms(rescans):.0f} ms")
    print(f"ratio watch/index-rescan (500 files): {ms(checkouts[500]) / ms(rescans):.2f}  "
          f"watch 500/50 files: {ms(checkouts[500]) / ms(checkouts[50]):.1f}")


if __name__ == "__main__":
    main()
