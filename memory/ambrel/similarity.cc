#include "memory/ambrel/internal/similarity.h"

#include <algorithm>
#include <cstddef>

#include "memory/embedding/remote_embedding_client.h"

namespace vantory {

namespace {

constexpr int kLanes = 8;

// The dot products of `q` with kLanes vectors of at least `n` elements, each summed in
// element order: the lanes are independent sums, so the processor overlaps them while every
// single sum keeps the rounding of vector_dot.
void dot_lanes(const float* q, const float* const* v, std::size_t n, double* out) {
  double sum[kLanes] = {};
  for (std::size_t i = 0; i < n; ++i) {
    double x = q[i];
    for (int k = 0; k < kLanes; ++k) sum[k] += x * static_cast<double>(v[k][i]);
  }
  for (int k = 0; k < kLanes; ++k) out[k] = sum[k];
}

double dot_one(const float* q, const float* v, std::size_t n) {
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) sum += static_cast<double>(q[i]) * static_cast<double>(v[i]);
  return sum;
}

}  // namespace

QueryScorer::QueryScorer(PythonVector query)
    : query_(std::move(query)), norm_(vector_norm(query_)) {}

void QueryScorer::score(std::span<const StoredVector* const> vectors,
                        std::span<double> scores) const {
  const std::size_t n = query_.size();
  const float* q = query_.data().data();
  if (norm_ == 0) {
    std::fill(scores.begin(), scores.end(), 0.0);
    return;
  }
  // Lanes run over vectors of the query's own length (the usual case); any other vector, or
  // one with norm 0, is scored on its own.
  const float* lane[kLanes];
  std::size_t lane_at[kLanes];
  int filled = 0;
  double dots[kLanes];
  auto finish = [&](std::size_t at, double dot) {
    scores[at] = dot / (norm_ * vectors[at]->norm());
  };
  for (std::size_t i = 0; i < vectors.size(); ++i) {
    const StoredVector& v = *vectors[i];
    if (v.norm() == 0) {
      scores[i] = 0.0;
    } else if (v.size() != n) {
      scores[i] = RemoteEmbeddingClient::cosine_similarity(query_, v.vector());
    } else {
      lane[filled] = v.vector().data().data();
      lane_at[filled] = i;
      if (++filled == kLanes) {
        dot_lanes(q, lane, n, dots);
        for (int k = 0; k < kLanes; ++k) finish(lane_at[k], dots[k]);
        filled = 0;
      }
    }
  }
  for (int k = 0; k < filled; ++k) finish(lane_at[k], dot_one(q, lane[k], n));
}

}  // namespace vantory
