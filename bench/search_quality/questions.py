"""Questions and their scoring, shared by every tree of the search-quality benchmark."""

import random
import re

MIN_WORDS, MAX_WORDS = 6, 30
PER_FILE = 2


def first_sentence(doc):
    """The first sentence of a documentation text's first paragraph, white space folded, or
    None when it is not a question of 6 to 30 words."""
    paragraph = re.split(r"\n\s*\n", doc.strip(), maxsplit=1)[0]
    text = " ".join(paragraph.split())
    match = re.match(r"(.+?[.!?])(\s|$)", text)
    sentence = match.group(1) if match else text
    words = sentence.split()
    # Examples and signatures (">>> f(x)", "{ ... }") are not questions a person asks.
    if not sentence[:1].isalpha() or not MIN_WORDS <= len(words) <= MAX_WORDS:
        return None
    return sentence


def choose(candidates_by_file, count, seed):
    """At most PER_FILE candidates a file, count in all, drawn with a fixed seed."""
    rng = random.Random(seed)
    files = sorted(candidates_by_file)
    rng.shuffle(files)
    chosen = []
    for path in files:
        pool = sorted(candidates_by_file[path], key=lambda c: c["start_line"])
        chosen.extend(rng.sample(pool, min(PER_FILE, len(pool))))
        if len(chosen) >= count:
            break
    return chosen[:count]


def score(question, ranked, depth=10):
    """Ranks (1-based, None when missing from the first depth) of the first result in the
    question's file and of the first one overlapping its function. ranked holds
    (file, start_line, end_line) triples, best first."""
    file_rank = function_rank = None
    for rank, (path, start, end) in enumerate(ranked[:depth], 1):
        if path != question["file"]:
            continue
        file_rank = file_rank or rank
        if start <= question["end_line"] and end >= question["start_line"]:
            function_rank = rank
            break
    return file_rank, function_rank


def summary(ranks):
    """MRR@10 and recall@1/5/10 of a list of ranks (None = not found)."""
    n = max(len(ranks), 1)
    out = {"mrr@10": sum(1.0 / r for r in ranks if r) / n}
    for k in (1, 5, 10):
        out["recall@%d" % k] = sum(1 for r in ranks if r and r <= k) / n
    return out


def percentile(values, p):
    ordered = sorted(values)
    if not ordered:
        return 0.0
    index = min(len(ordered) - 1, max(0, round(p / 100.0 * (len(ordered) - 1))))
    return ordered[index]
