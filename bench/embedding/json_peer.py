"""Peer for the embedding cache benchmark: Python's json module on the same cache file.

Usage: json_peer.py FILE
Loads FILE into lists of floats and writes it back once; prints
"load <wall seconds> <cpu seconds>" and "save <wall seconds> <cpu seconds>".
"""
import json
import sys
import time


def timed(work):
    wall, cpu = time.perf_counter(), time.process_time()
    result = work()
    return result, time.perf_counter() - wall, time.process_time() - cpu


def load(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def save(path, data):
    with open(path, "w", encoding="utf-8") as f:
        json.dump(data, f)


path = sys.argv[1]
data, load_wall, load_cpu = timed(lambda: load(path))
_, save_wall, save_cpu = timed(lambda: save(path + ".peer", data))
print("load", load_wall, load_cpu)
print("save", save_wall, save_cpu)
