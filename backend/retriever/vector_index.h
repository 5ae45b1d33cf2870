// VectorIndex: an agent's chunk vectors held in memory for similarity search, reloaded from
// the database only when the agent's data changed (its generation moved on) or the embedder
// differs. Similarity is the dot product of unit vectors (cosine).
//
// Thread safety: none; owned by one retriever.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace vantory::backend {

class Database;

class VectorIndex {
 public:
  // Loads the vectors of `agent_id`'s chunks made by `embedder` unless what is held is
  // already that agent's data at `generation`.
  void refresh(Database& db, const std::string& agent_id, std::int64_t generation,
               const std::string& embedder);

  // The `limit` chunks most similar to `query` (chunk id, cosine), best first; only chunks of
  // the contexts in `contexts` when it is given. Vectors of another length are not compared.
  std::vector<std::pair<std::int64_t, float>> nearest(
      const std::vector<float>& query, std::size_t limit,
      const std::unordered_set<std::int64_t>* contexts) const;

  // Cosine of `query` with the vector of chunk `chunk_id`; 0 when the chunk has none.
  float similarity(const std::vector<float>& query, std::int64_t chunk_id) const;

 private:
  std::string agent_id_;
  std::string embedder_;
  std::int64_t generation_ = -1;
  std::size_t dimension_ = 0;
  std::vector<float> matrix_;              // one row per distinct vector
  std::vector<std::int64_t> chunk_ids_;    // per chunk
  std::vector<std::int64_t> context_ids_;  // per chunk
  std::vector<std::uint32_t> rows_;        // per chunk: its row of matrix_
  std::unordered_map<std::int64_t, std::uint32_t> row_of_chunk_;
};

}  // namespace vantory::backend
