"""Peers of the vector store benchmarks, run on the files the benchmark program wrote.

Usage:
  peers.py semantic VECTORS QUERY N ROUNDS   numpy (M @ q with precomputed norms, then the
                                             top 5) and FAISS IndexFlatIP on one thread
  peers.py keyword ENTRIES QUERY ROUNDS      a plain Python implementation of the keyword
                                             scoring, top 5
  peers.py load FILE ROUNDS                  json.load of a vectors file
Prints one JSON object: per peer, the median wall and processor milliseconds.
"""
import json
import statistics
import sys
import time

DIM = 768


def median_ms(work, rounds):
    """Medians of wall and processor milliseconds, each on its own."""
    wall, cpu = [], []
    for _ in range(rounds):
        start, start_cpu = time.perf_counter(), time.process_time()
        work()
        wall.append((time.perf_counter() - start) * 1000)
        cpu.append((time.process_time() - start_cpu) * 1000)
    return [statistics.median(wall), statistics.median(cpu)]


def semantic(vectors_path, query_path, n, rounds):
    import faiss
    import numpy as np

    matrix = np.fromfile(vectors_path, dtype=np.float32).reshape(n, DIM)
    query = np.fromfile(query_path, dtype=np.float32)
    norms = np.linalg.norm(matrix, axis=1)
    query_norm = np.linalg.norm(query)

    def numpy_search():
        scores = (matrix @ query) / (norms * query_norm)
        top = np.argpartition(-scores, 5)[:5]
        return top[np.argsort(-scores[top], kind="stable")]

    faiss.omp_set_num_threads(1)
    index = faiss.IndexFlatIP(DIM)
    index.add(matrix / norms[:, None])
    unit_query = (query / query_norm)[None, :]
    return {"numpy": median_ms(numpy_search, rounds),
            "faiss": median_ms(lambda: index.search(unit_query, 5), rounds)}


STOPWORDS = set("""a an the is are was were be been being have has had do does did will would
could should may might must shall can need to of in for on with at by from as into through
during before after and but if or because until while about against up down out off over under
i me my we our you your he him his she her it its they them their what which who whom this that
these those am how when where why all each few more most other some such no nor not only own
same so than too very just user agent memory loves like likes""".split())


def keyword_search(query, memories, top_k=5):
    words = query.lower().split()
    query_words = [w for w in words if w not in STOPWORDS and len(w) > 2]
    if not query_words:
        query_words = [w for w in words if len(w) > 2]
    if not query_words:
        return []
    results = []
    for mem in memories:
        content = (mem.get("lossless_restatement") or mem.get("content", "")).lower()
        keywords = [k.lower() for k in mem.get("keywords", [])]
        persons = [p.lower() for p in mem.get("persons", [])]
        topic = mem.get("topic", "").lower()
        score = 0.0
        matched = 0
        if len(query_words) > 1 and " ".join(query_words) in content:
            score += 2.0
        for word in query_words:
            word_score = 0.0
            if word in content:
                word_score += 0.3 + 0.05 * len(word)
                matched += 1
            for kw in keywords:
                if word in kw or kw in word:
                    word_score += 0.6
                    break
            if word in topic:
                word_score += 0.4
            for person in persons:
                if word in person:
                    word_score += 0.5
                    break
            score += word_score
        score *= 0.5 + matched / len(query_words)
        score *= 1 + mem.get("importance", 0.5)
        if score > 0.3 and matched > 0:
            result = dict(mem)
            result["keyword_score"] = round(score, 3)
            results.append(result)
    results.sort(key=lambda r: r["keyword_score"], reverse=True)
    return results[:top_k]


def keyword(entries_path, query, rounds):
    with open(entries_path, encoding="utf-8") as f:
        memories = json.load(f)
    return {"python": median_ms(lambda: keyword_search(query, memories), rounds)}


def load(path, rounds):
    def read():
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    return {"json.load": median_ms(read, rounds)}


def main():
    mode, args = sys.argv[1], sys.argv[2:]
    if mode == "semantic":
        result = semantic(args[0], args[1], int(args[2]), int(args[3]))
    elif mode == "keyword":
        result = keyword(args[0], args[1], int(args[2]))
    else:
        result = load(args[0], int(args[1]))
    print(json.dumps(result))


main()
