// The keyword index's ranking function, vantory_bm25(chunk_fts, weights...): Okapi BM25 with
// a weight for each column (k1 1.2, b 0.75), the same score as SQLite's bm25() to the last
// bit, except that each row's length in tokens is read once and kept by the KeywordVocabulary,
// not looked up again for every row each query matches. That lookup (a statement run per
// matched row) was three quarters of a keyword query's time; a query of common words matches
// thousands of rows, and the rows of one code base's common words recur from question to
// question.
//
// Thread safety: as its connection's; the kept lengths are the vocabulary's, used by the
// thread that searches.
#pragma once

namespace vantory::backend {

class Database;
class KeywordVocabulary;

// Makes vantory_bm25 known to `db`'s connection, keeping row lengths in `vocabulary` (which
// must outlive the connection's queries). Throws RuntimeError when the connection has no
// full-text search.
void register_keyword_rank(Database& db, KeywordVocabulary& vocabulary);

}  // namespace vantory::backend
