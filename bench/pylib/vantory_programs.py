"""Drives vantory's programs the way a user or an agent does, for the benchmarks: the command
line in a new process, and vantory-mcp as a client over standard input and output."""

import json
import os
import resource
import subprocess
import time


class Vantory:
    """The programs of one build over one code memory, run from the indexed tree's folder."""

    def __init__(self, build, tree, work):
        self.bin = os.path.join(build, "bin")
        self.tree = tree
        self.flags = ["--coding-root", os.path.join(work, "coding"),
                      "--data-root", os.path.join(work, "data")]
        self.coding_root = os.path.join(work, "coding")

    def cli(self, *args):
        """Runs `vantory args` in a new process: (answer of --json, wall seconds, user cpu
        seconds, peak RSS in MB)."""
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.monotonic()
        done = subprocess.run([os.path.join(self.bin, "vantory"), *self.flags, "--json", *args],
                              cwd=self.tree, capture_output=True, text=True)
        wall = time.monotonic() - start
        if done.returncode != 0:
            raise RuntimeError("vantory %s failed: %s" % (args[0], done.stderr.strip()[-500:]))
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        # ru_maxrss of children is the largest child so far; each run is measured in its own
        # process by /usr/bin/time where a peak must be exact.
        return (json.loads(done.stdout), wall, after.ru_utime - before.ru_utime,
                after.ru_maxrss / 1024.0)

    def timed_cli(self, *args):
        """Like cli, with the peak RSS of this process alone from /usr/bin/time -v."""
        start = time.monotonic()
        done = subprocess.run(["/usr/bin/time", "-v", os.path.join(self.bin, "vantory"),
                               *self.flags, "--json", *args],
                              cwd=self.tree, capture_output=True, text=True)
        wall = time.monotonic() - start
        if done.returncode != 0:
            raise RuntimeError("vantory %s failed: %s" % (args[0], done.stderr.strip()[-500:]))
        report = parse_time_report(done.stderr)
        return json.loads(done.stdout), wall, report["user"], report["rss_mb"]

    def database_bytes(self):
        total = 0
        for folder, _, files in os.walk(self.coding_root):
            total += sum(os.path.getsize(os.path.join(folder, f)) for f in files)
        return total

    def server(self):
        return McpClient([os.path.join(self.bin, "vantory-mcp"), *self.flags,
                          "--root", self.tree], self.tree)


def parse_time_report(text):
    """User cpu seconds, system seconds and peak RSS (MB) from /usr/bin/time -v's report."""
    out = {"user": 0.0, "system": 0.0, "rss_mb": 0.0}
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("User time (seconds):"):
            out["user"] = float(line.split(":")[1])
        elif line.startswith("System time (seconds):"):
            out["system"] = float(line.split(":")[1])
        elif line.startswith("Maximum resident set size (kbytes):"):
            out["rss_mb"] = int(line.split(":")[1]) / 1024.0
    return out


class McpClient:
    """One vantory-mcp process; call() answers a tool's structured answer."""

    def __init__(self, command, cwd):
        self.process = subprocess.Popen(command, cwd=cwd, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                        text=True, bufsize=1)
        self.next_id = 0
        self._request("initialize", {"protocolVersion": "2025-06-18", "capabilities": {},
                                     "clientInfo": {"name": "bench", "version": "1"}})
        self._send({"jsonrpc": "2.0", "method": "notifications/initialized"})

    def _send(self, message):
        self.process.stdin.write(json.dumps(message) + "\n")
        self.process.stdin.flush()

    def _request(self, method, params, notified=None):
        self.next_id += 1
        self._send({"jsonrpc": "2.0", "id": self.next_id, "method": method, "params": params})
        while True:
            line = self.process.stdout.readline()
            if not line:
                raise RuntimeError("vantory-mcp ended while answering " + method)
            message = json.loads(line)
            if "id" not in message and notified is not None:
                notified(message)
            elif message.get("id") == self.next_id:
                if "error" in message:
                    raise RuntimeError("%s: %s" % (method, message["error"]))
                return message["result"]

    def call(self, tool, arguments, progress=None):
        """The tool's answer; progress, when given, is handed each progress notification."""
        params = {"name": tool, "arguments": arguments}
        if progress is not None:
            params["_meta"] = {"progressToken": "bench"}
        result = self._request("tools/call", params, progress)
        if result.get("isError"):
            raise RuntimeError("%s: %s" % (tool, result["content"][0]["text"]))
        if "structuredContent" in result:
            return result["structuredContent"]
        return json.loads(result["content"][0]["text"])

    def close(self, timeout=60):
        self.process.stdin.close()
        self.process.wait(timeout=timeout)


def ranked_places(answer, tree):
    """(file relative to tree, start line, end line) of a search_codebase answer, best first."""
    places = []
    for result in answer.get("results", []):
        chunk = result.get("chunk", {})
        path = result.get("file_path") or chunk.get("file_path", "")
        if os.path.isabs(path):
            path = os.path.relpath(path, tree)
        places.append((os.path.normpath(path), int(chunk.get("start_line", 0)),
                       int(chunk.get("end_line", chunk.get("start_line", 0)))))
    return places
