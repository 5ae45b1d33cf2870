// HybridRetriever: the backend's CodingHybridRetriever. A query is answered by BM25 over the
// keyword index fused with the cosine similarity of the chunk vectors. The index weighs a
// chunk's name most, then the words of its file's path, its summary, and its content and the
// sub-words of the identifiers in its content least: agents ask for units and modules by what
// they are called. The query's words also match by their stems.
//
// Scores: the keyword score is the chunk's BM25 relative to the best hit of the query (0 to
// 1); the vector score is the cosine similarity (negative counts as 0); the fused score is
// kKeywordWeight * keyword + (1 - kKeywordWeight) * vector, plus kCoverageWeight times the
// weighed share of the query's words that the unit holds (question_coverage.h), plus
// kNameWeight times the share of a named unit's name that the query holds (name_match.h),
// plus kFileWeight times how much of the query the unit's file holds,
// times the share that tests, fixtures, generated and data files, anonymous blocks and
// declarations keep (result_priors.h) unless the query asks for tests. Candidates are the
// best hits of each kind, and the units that bear the name of one of the best in other files
// (namesakes.h), which score at least kNamesakeFactor of its score (a declaration 0.9 of
// that). Once a file has a result, its further units weigh less (result_spread.h).
//
// It is an adapter over its BackendCore (database, embedder, vector index).
//
// Thread safety: as its core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "backend/core/backend_core.h"
#include "coding/coding_hybrid_retriever.h"

namespace vantory::backend {

inline constexpr double kKeywordWeight = 0.7;
// What a unit whose whole name the query holds gains: a question that says what a unit does
// uses the words of its name, and its callers are named for something else.
inline constexpr double kNameWeight = 0.3;
// What a unit that holds every word of the query gains: one whose name holds a word or two
// must not outrank one that holds most of the question.
inline constexpr double kCoverageWeight = 0.3;
// What a unit gains by the share of the query its file holds, among the words of all its units
// and its path, times BM25's length norm of the file's words (k1 1.2, b 0.75): a question
// about a unit tends to use the words of the module it lives in (its other functions, its
// comments), and a module that holds most words somewhere is no better for it.
inline constexpr double kFileWeight = 0.3;

// The best units, in the order of their scores, that lend part of their score to the units
// bearing their name in other files, and that part: a variant or copy that its own text does
// not document comes after the one that is, above units that hold fewer of the words.
inline constexpr std::size_t kNamesakeSeeds = 5;
inline constexpr double kNamesakeFactor = 0.8;

class HybridRetriever : public CodingHybridRetriever {
 public:
  explicit HybridRetriever(std::shared_ptr<BackendCore> core) : core_(std::move(core)) {}

  // {"results": [{"chunk": chunk record (with "file_path"), "score", "keyword_score",
  //  "vector_score", "file_path"}], "query", "total_results", "search_type": "hybrid",
  //  "embedder"}, best first, at most `top_k` (none for top_k <= 0). `file_paths_filter` is
  // null or a JSON array of paths: files, or directories whose files count; compared
  // normalised (TypeError for anything else). Counts the search and the tokens it served.
  Json search(const std::string& agent_id, const std::string& query, std::int64_t top_k,
              const Json& file_paths_filter) override;

 private:
  std::shared_ptr<BackendCore> core_;
};

}  // namespace vantory::backend
