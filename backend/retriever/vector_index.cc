#include "backend/retriever/vector_index.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "backend/storage/database.h"
#include "backend/vectors/vector_rows.h"

namespace vantory::backend {

namespace {

// Eight independent partial sums: the compiler keeps them in one vector register instead of
// waiting on each addition in turn, which is what scanning every vector of a large agent
// needs.
float dot(const float* a, const float* b, std::size_t n) {
  float lanes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    for (std::size_t k = 0; k < 8; ++k) lanes[k] += a[i + k] * b[i + k];
  }
  float sum = 0;
  for (; i < n; ++i) sum += a[i] * b[i];
  for (float lane : lanes) sum += lane;
  return sum;
}

}  // namespace

void VectorIndex::refresh(Database& db, const std::string& agent_id, std::int64_t generation,
                          const std::string& embedder) {
  if (agent_id == agent_id_ && generation == generation_ && embedder == embedder_) return;
  agent_id_ = agent_id;
  generation_ = generation;
  embedder_ = embedder;
  dimension_ = 0;
  matrix_.clear();
  chunk_ids_.clear();
  context_ids_.clear();
  rows_.clear();
  row_of_chunk_.clear();
  Statement st = db.prepare(
      "SELECT c.id, c.context_id, c.hash_id, v.vector, v.dim FROM "
      "chunks c JOIN vectors v "
      "ON v.agent_id = c.agent_id AND v.hash_id = c.hash_id "
      "WHERE c.agent_id = ?1 AND v.embedder = ?2");
  st.bind(1, agent_id).bind(2, embedder);
  std::unordered_map<std::string, std::uint32_t> row_of_hash;
  while (st.step()) {
    std::string_view blob = st.column_blob(3);
    std::int64_t dim = st.column_int(4);
    if (dim <= 0) continue;
    if (dimension_ == 0) dimension_ = static_cast<std::size_t>(dim);
    if (static_cast<std::size_t>(dim) != dimension_) continue;
    auto [it, inserted] = row_of_hash.try_emplace(
        st.column_text(2), static_cast<std::uint32_t>(matrix_.size() / dimension_));
    if (inserted) {
      std::size_t at = matrix_.size();
      matrix_.resize(at + dimension_);
      if (!decode_vector(blob, dimension_, matrix_.data() + at)) {
        matrix_.resize(at);
        row_of_hash.erase(it);
        continue;
      }
    }
    chunk_ids_.push_back(st.column_int(0));
    context_ids_.push_back(st.column_int(1));
    rows_.push_back(it->second);
    row_of_chunk_.emplace(chunk_ids_.back(), it->second);
  }
}

float VectorIndex::similarity(const std::vector<float>& query, std::int64_t chunk_id) const {
  auto it = row_of_chunk_.find(chunk_id);
  if (it == row_of_chunk_.end() || query.size() != dimension_) return 0;
  return dot(matrix_.data() + static_cast<std::size_t>(it->second) * dimension_, query.data(),
             dimension_);
}

std::vector<std::pair<std::int64_t, float>> VectorIndex::nearest(
    const std::vector<float>& query, std::size_t limit,
    const std::unordered_set<std::int64_t>* contexts) const {
  std::vector<std::pair<std::int64_t, float>> best;
  if (query.size() != dimension_ || dimension_ == 0 || limit == 0) return best;
  std::size_t row_count = matrix_.size() / dimension_;
  std::vector<float> similarity(row_count);
  for (std::size_t r = 0; r < row_count; ++r) {
    similarity[r] = dot(matrix_.data() + r * dimension_, query.data(), dimension_);
  }
  best.reserve(chunk_ids_.size());
  for (std::size_t c = 0; c < chunk_ids_.size(); ++c) {
    if (contexts && !contexts->count(context_ids_[c])) continue;
    best.emplace_back(chunk_ids_[c], similarity[rows_[c]]);
  }
  auto better = [](const auto& a, const auto& b) {
    return a.second != b.second ? a.second > b.second : a.first < b.first;
  };
  if (best.size() > limit) {
    std::partial_sort(best.begin(), best.begin() + static_cast<std::ptrdiff_t>(limit), best.end(),
                      better);
    best.resize(limit);
  } else {
    std::sort(best.begin(), best.end(), better);
  }
  return best;
}

}  // namespace vantory::backend
