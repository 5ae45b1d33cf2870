// VectorIndex: similarity search over an agent's chunk vectors. Similarity is the dot product
// of unit vectors (cosine).
//
// The first search after the agent's data changed (its generation moved on) or the embedder
// differs reads the vectors in pieces from the database, one row at a time, through a small
// page cache, and keeps none of them: a new process answers its first search without loading
// every vector. A second search of the same data loads them into memory (when they fit
// kMaxHeldBytes; when they do not, it is not tried again for that data) and later searches scan
// that copy. Both compute each similarity with the same arithmetic over the same floats, and
// look up the chunks of the best vectors alike, so a search answers the same whichever way it
// runs. A search limited to some files reads their vectors from the database either way.
// Vectors that are mostly zeros (the local embedder's) are held as their non-zero components
// alone, by component, so that a search multiplies only the components its question has.
//
// Thread safety: none; owned by one core.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace vantory::backend {

class Database;

class VectorIndex {
 public:
  // The most memory held vectors may take.
  static constexpr std::size_t kMaxHeldBytes = std::size_t{1} << 30;

  // Notes that the searches to come are of `agent_id`'s vectors made by `embedder` at
  // `generation`; loads them into memory when this data was searched before and they fit.
  void refresh(Database& db, const std::string& agent_id, std::int64_t generation,
               const std::string& embedder);

  // The `limit` chunks most similar to `query` (chunk id, cosine), best first, ties by chunk
  // id; only chunks of the contexts in `contexts` when it is given. Vectors of another length
  // than the query's are not compared.
  std::vector<std::pair<std::int64_t, float>> nearest(
      Database& db, const std::vector<float>& query, std::size_t limit,
      const std::unordered_set<std::int64_t>* contexts);

  // Cosine of `query` with the vector of chunk `chunk_id`; 0 when the chunk has none.
  float similarity(Database& db, const std::vector<float>& query, std::int64_t chunk_id);

  // True when the vectors are held in memory (for tests).
  bool holds_vectors() const { return held_; }

 private:
  void load(Database& db);
  // Holds nothing: the next search reads the vectors from the database.
  void forget();
  // Holds `row` (dimension_ floats) as the next row.
  void hold_row(const float* row);
  // The held rows from now on dense.
  void make_dense();
  // dot(row r, query), as the function that reads vectors computes it.
  float held_dot(std::size_t r, const float* query) const;
  // (vector id, similarity) of every vector more similar than 0 to `query`, from the held
  // rows or read from the database.
  std::vector<std::pair<std::int64_t, float>> similar_held(const std::vector<float>& query) const;
  std::vector<std::pair<std::int64_t, float>> similar_read(Database& db,
                                                           const std::vector<float>& query);
  // The `limit` best chunks holding the best of `vectors`, best first.
  std::vector<std::pair<std::int64_t, float>> chunks_of_best(
      Database& db, std::vector<std::pair<std::int64_t, float>> vectors, std::size_t limit);
  std::vector<std::pair<std::int64_t, float>> nearest_in_files(
      Database& db, const std::vector<float>& query, std::size_t limit,
      const std::unordered_set<std::int64_t>& contexts);

  std::string agent_id_;
  std::string embedder_;
  std::int64_t generation_ = -1;
  bool held_ = false;
  // The data cannot be held (it does not fit kMaxHeldBytes, or its rows came out of id
  // order): read at every search.
  bool unholdable_ = false;
  int searches_ = 0;  // of this data since it was noted
  std::size_t dimension_ = 0;
  // One row per distinct vector: dense rows in `matrix_`, or, while `sparse_`, by component:
  // the rows (ascending) that have component c non-zero, and their values, in columns_[c], so
  // that a search reads only the components its question has.
  struct Column {
    std::vector<std::uint32_t> rows;
    std::vector<float> values;
  };
  bool sparse_ = true;
  std::size_t row_count_ = 0;
  std::vector<float> matrix_;
  std::vector<Column> columns_;
  std::size_t held_values_ = 0;  // in all columns
  std::vector<std::int64_t> vector_ids_;  // per row: its id in the vectors table, ascending
};

}  // namespace vantory::backend
