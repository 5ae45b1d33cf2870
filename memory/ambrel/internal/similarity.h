// Cosine similarities of one query vector against many stored vectors.
//
// Each score equals RemoteEmbeddingClient::cosine_similarity(query, vector) bit for bit: the
// dot product is summed in double precision in element order, exactly as vector_dot sums it,
// and divided by the product of the two norms. Speed comes from scoring several vectors side
// by side (independent sums), never from reordering one sum.
//
// Thread safety: a QueryScorer is immutable once built; score() may run on many threads.
#pragma once

#include <span>

#include "memory/ambrel/vector_map.h"
#include "memory/embedding/python_vector.h"

namespace vantory {

class QueryScorer {
 public:
  explicit QueryScorer(PythonVector query);

  // scores[i] = cosine similarity of the query and *vectors[i]: 0.0 when either norm is 0,
  // else dot / (query norm * vector norm); 0.0 for a vector of another length than the
  // query's (said on standard error as cosine_similarity says it).
  void score(std::span<const StoredVector* const> vectors, std::span<double> scores) const;

 private:
  PythonVector query_;
  double norm_;
};

}  // namespace vantory
