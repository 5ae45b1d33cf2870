"""The lexical peer: plain Okapi BM25 (k1 = 1.2, b = 0.75) over units, identifiers split at
underscores and case changes (each part and the whole identifier are terms)."""

import math
import re
from collections import Counter, defaultdict

WORD = re.compile(r"[A-Za-z0-9]+")
PART = re.compile(r"[A-Z]+(?=[A-Z][a-z])|[A-Z]?[a-z]+|[A-Z]+|[0-9]+")


def terms(text):
    out = []
    for word in WORD.findall(text):
        parts = PART.findall(word)
        out.extend(p.lower() for p in parts)
        if len(parts) > 1:
            out.append(word.lower())
    return out


class BM25:
    def __init__(self, units, k1=1.2, b=0.75):
        """units: (file, start_line, end_line, text) tuples."""
        self.k1, self.b = k1, b
        self.places = []
        self.lengths = []
        self.postings = defaultdict(list)
        for doc, (path, start, end, text) in enumerate(units):
            counts = Counter(terms(text))
            self.places.append((path, start, end))
            self.lengths.append(sum(counts.values()))
            for term, tf in counts.items():
                self.postings[term].append((doc, tf))
        n = len(self.places)
        self.average = sum(self.lengths) / max(n, 1)
        self.idf = {t: math.log(1 + (n - len(p) + 0.5) / (len(p) + 0.5))
                    for t, p in self.postings.items()}

    def search(self, query, depth=10):
        scores = defaultdict(float)
        for term in set(terms(query)):
            idf = self.idf.get(term)
            if idf is None:
                continue
            for doc, tf in self.postings[term]:
                norm = self.k1 * (1 - self.b + self.b * self.lengths[doc] / self.average)
                scores[doc] += idf * tf * (self.k1 + 1) / (tf + norm)
        best = sorted(scores.items(), key=lambda item: (-item[1], item[0]))[:depth]
        return [self.places[doc] for doc, _ in best]
