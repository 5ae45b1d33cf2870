#include "backend/retriever/vector_index.h"

#include <algorithm>
#include <cstring>

#include "backend/storage/database.h"
#include "backend/vectors/vector_rows.h"
#include "common/json_text.h"

namespace vantory::backend {

namespace {

// Eight independent partial sums: the compiler keeps them in one vector register instead of
// waiting on each addition in turn, which is what scanning every vector of a large agent
// needs. Held and read vectors go through this one function, so both give the same floats.
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

// dot(a, b, n) where one of a and b is zero outside the `count` components `at(k)`
// (ascending), whose product `product(k)` is: the same partial sums, in the same order, over
// those components alone. A left-out product is a zero (the vectors are finite), and adding a
// zero to a partial sum (never -0.0, as each starts at +0.0) leaves it as it was, so the
// floats are dot's. The local embedder's vectors have a few dozen non-zero components out of
// 256, its questions a handful.
template <typename At, typename Product>
float sparse_dot(std::size_t n, std::size_t count, At at, Product product) {
  float lanes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  const std::size_t blocks_end = n - n % 8;
  float sum = 0;
  for (std::size_t k = 0; k < count; ++k) {
    std::size_t i = at(k);
    if (i < blocks_end) {
      lanes[i % 8] += product(k);
    } else {
      sum += product(k);
    }
  }
  for (float lane : lanes) sum += lane;
  return sum;
}

bool better(const std::pair<std::int64_t, float>& a, const std::pair<std::int64_t, float>& b) {
  return a.second != b.second ? a.second > b.second : a.first < b.first;
}

// While it lives, `db`'s page cache holds at most `pages` pages; then it is as it was. A scan
// that reads every vector once has no use for more: through the full cache it would grow the
// process by the size of the vectors (tens of MB on a large agent) and push out the pages the
// rest of the search reads again, and each page would be a fresh allocation.
class SmallPageCache {
 public:
  SmallPageCache(Database& db, std::int64_t pages) : db_(db) {
    Statement st = db_.prepare("PRAGMA cache_size");
    if (st.step()) before_ = st.column_int(0);
    set(pages);
  }
  ~SmallPageCache() {
    try {
      set(before_);
    } catch (...) {  // the pragma reads no page; nothing to undo
    }
  }
  SmallPageCache(const SmallPageCache&) = delete;
  SmallPageCache& operator=(const SmallPageCache&) = delete;

 private:
  void set(std::int64_t pages) {
    db_.exec(("PRAGMA cache_size=" + std::to_string(pages)).c_str());
  }
  Database& db_;
  std::int64_t before_ = -2000;  // SQLite's default, 2 MB
};

// The best `limit` of `found`, best first.
std::vector<std::pair<std::int64_t, float>> best_of(
    std::vector<std::pair<std::int64_t, float>> found, std::size_t limit) {
  if (found.size() > limit) {
    std::partial_sort(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(limit),
                      found.end(), better);
    found.resize(limit);
  } else {
    std::sort(found.begin(), found.end(), better);
  }
  return found;
}

}  // namespace

void VectorIndex::refresh(Database& db, const std::string& agent_id, std::int64_t generation,
                          const std::string& embedder) {
  if (agent_id == agent_id_ && generation == generation_ && embedder == embedder_) {
    if (!held_ && !unholdable_ && searches_ > 0) load(db);
    ++searches_;
    return;
  }
  agent_id_ = agent_id;
  generation_ = generation;
  embedder_ = embedder;
  searches_ = 1;
  unholdable_ = false;
  forget();
}

void VectorIndex::forget() {
  held_ = false;
  dimension_ = 0;
  sparse_ = true;
  row_count_ = 0;
  matrix_ = {};
  columns_ = {};
  held_values_ = 0;
  vector_ids_ = {};
}

// One scan of the agent's vectors in the order they are stored, as the first search reads
// them; which chunks hold a vector is looked up only for the few a search answers. Joining
// every chunk to its vector and its file up front cost a second search of /usr/include's
// 359,000 chunks a second, and the maps it built held more memory than the vectors.
void VectorIndex::load(Database& db) {
  Statement st = db.prepare(
      "SELECT id, vector, dim FROM vectors WHERE agent_id = ?1 AND embedder = ?2");
  st.bind(1, agent_id_).bind(2, embedder_);
  std::uint64_t count = 0;
  std::uint64_t widest = 0;
  std::vector<float> row;
  while (st.step()) {
    std::int64_t dim = st.column_int(2);
    widest = std::max(widest, static_cast<std::uint64_t>(std::max<std::int64_t>(dim, 0)));
    if (++count * widest * sizeof(float) > kMaxHeldBytes) {
      forget();
      unholdable_ = true;
      return;  // read in pieces at every search
    }
    if (dim <= 0) continue;
    if (dimension_ == 0) {
      dimension_ = static_cast<std::size_t>(dim);
      row.resize(dimension_);
      // So many components would each be a column: held dense.
      if (dimension_ > 0xffff) {
        make_dense();
      } else {
        columns_.resize(dimension_);
      }
    }
    if (static_cast<std::size_t>(dim) != dimension_) continue;
    if (!decode_vector(st.column_blob(1), dimension_, row.data())) continue;
    std::int64_t id = st.column_int(0);
    // The rows come in id order; should they not, the lookup by id would fail, so the copy is
    // not kept.
    if (!vector_ids_.empty() && id <= vector_ids_.back()) {
      forget();
      unholdable_ = true;
      return;
    }
    vector_ids_.push_back(id);
    hold_row(row.data());
  }
  for (Column& column : columns_) {  // no room left to grow into
    column.rows.shrink_to_fit();
    column.values.shrink_to_fit();
  }
  held_ = true;
}

void VectorIndex::hold_row(const float* row) {
  const auto r = static_cast<std::uint32_t>(row_count_++);
  if (!sparse_) {
    matrix_.insert(matrix_.end(), row, row + dimension_);
    return;
  }
  for (std::size_t i = 0; i < dimension_; ++i) {
    if (row[i] == 0.0f) continue;
    columns_[i].rows.push_back(r);
    columns_[i].values.push_back(row[i]);
    ++held_values_;
  }
  // A component costs 8 bytes held sparse (its row and its value), 4 dense: once the rows
  // (enough of them to judge) have half their components non-zero, dense costs no more.
  if (row_count_ >= 256 && held_values_ * 2 > row_count_ * dimension_) make_dense();
}

void VectorIndex::make_dense() {
  if (!sparse_) return;
  matrix_.assign(row_count_ * dimension_, 0.0f);
  for (std::size_t c = 0; c < columns_.size(); ++c) {
    const Column& column = columns_[c];
    for (std::size_t k = 0; k < column.rows.size(); ++k) {
      matrix_[column.rows[k] * dimension_ + c] = column.values[k];
    }
  }
  sparse_ = false;
  columns_ = {};
  held_values_ = 0;
}

float VectorIndex::held_dot(std::size_t r, const float* query) const {
  if (!sparse_) return dot(matrix_.data() + r * dimension_, query, dimension_);
  // The row's components that the query has, ascending: each found in its column.
  std::vector<std::pair<std::size_t, float>> terms;
  const auto row = static_cast<std::uint32_t>(r);
  for (std::size_t c = 0; c < dimension_; ++c) {
    if (query[c] == 0.0f) continue;
    const Column& column = columns_[c];
    auto it = std::lower_bound(column.rows.begin(), column.rows.end(), row);
    if (it != column.rows.end() && *it == row) {
      terms.emplace_back(c, column.values[static_cast<std::size_t>(it - column.rows.begin())] *
                                query[c]);
    }
  }
  return sparse_dot(
      dimension_, terms.size(), [&](std::size_t k) { return terms[k].first; },
      [&](std::size_t k) { return terms[k].second; });
}

float VectorIndex::similarity(Database& db, const std::vector<float>& query,
                              std::int64_t chunk_id) {
  Statement st = db.prepare(
      "SELECT v.id, v.vector, v.dim FROM chunks c JOIN vectors v ON v.agent_id = c.agent_id "
      "AND v.hash_id = c.hash_id WHERE c.id = ?1 AND c.agent_id = ?2 AND v.embedder = ?3");
  st.bind(1, chunk_id).bind(2, agent_id_).bind(3, embedder_);
  if (!st.step() || static_cast<std::size_t>(st.column_int(2)) != query.size()) return 0;
  if (held_) {
    auto it = std::lower_bound(vector_ids_.begin(), vector_ids_.end(), st.column_int(0));
    if (it == vector_ids_.end() || *it != st.column_int(0)) return 0;
    return held_dot(static_cast<std::size_t>(it - vector_ids_.begin()), query.data());
  }
  std::vector<float> row(query.size());
  if (!decode_vector(st.column_blob(1), row.size(), row.data())) return 0;
  return dot(row.data(), query.data(), row.size());
}

// Only chunks with a positive similarity are answered: the retriever stops at the first
// other one, and a query that shares nothing with most chunks would otherwise tie them all,
// which would then be looked up one by one.
std::vector<std::pair<std::int64_t, float>> VectorIndex::nearest(
    Database& db, const std::vector<float>& query, std::size_t limit,
    const std::unordered_set<std::int64_t>* contexts) {
  if (limit == 0 || query.empty()) return {};
  if (contexts) return nearest_in_files(db, query, limit, *contexts);
  return chunks_of_best(db, held_ ? similar_held(query) : similar_read(db, query), limit);
}

std::vector<std::pair<std::int64_t, float>> VectorIndex::similar_held(
    const std::vector<float>& query) const {
  if (query.size() != dimension_ || dimension_ == 0) return {};
  std::vector<std::size_t> nonzero;
  for (std::size_t i = 0; i < dimension_; ++i) {
    if (query[i] != 0.0f) nonzero.push_back(i);
  }
  std::vector<std::pair<std::int64_t, float>> vectors;
  if (sparse_) {
    // sparse_dot of every row at once, column by column: the components past the last block
    // of 8 summed first, then each block lane's partial sums, added in lane order, so every
    // row's float is held_dot's. A component the question lacks adds nothing, as there.
    const std::size_t blocks_end = dimension_ - dimension_ % 8;
    std::vector<float> sum(row_count_, 0.0f);
    std::vector<float> lane(row_count_, 0.0f);
    std::vector<std::uint8_t> in_lane(row_count_, 0);
    std::vector<std::uint32_t> lane_rows;
    auto add_column = [&](std::size_t c, std::vector<float>& into, std::uint8_t mark) {
      const Column& column = columns_[c];
      for (std::size_t k = 0; k < column.rows.size(); ++k) {
        std::uint32_t r = column.rows[k];
        into[r] += column.values[k] * query[c];
        if (in_lane[r] != mark) {
          in_lane[r] = mark;
          lane_rows.push_back(r);
        }
      }
    };
    for (std::size_t c : nonzero) {
      if (c >= blocks_end) add_column(c, sum, 9);
    }
    for (std::uint8_t j = 0; j < 8; ++j) {
      lane_rows.clear();
      for (std::size_t c : nonzero) {
        if (c < blocks_end && c % 8 == j) add_column(c, lane, static_cast<std::uint8_t>(j + 1));
      }
      for (std::uint32_t r : lane_rows) {
        sum[r] += lane[r];
        lane[r] = 0.0f;
      }
    }
    for (std::size_t r = 0; r < row_count_; ++r) {
      if (sum[r] > 0) vectors.emplace_back(vector_ids_[r], sum[r]);
    }
    return vectors;
  }
  // Dense rows, a question of a few components: those alone.
  bool few = nonzero.size() * 4 < dimension_;
  for (std::size_t r = 0; r < row_count_; ++r) {
    float similarity;
    if (few) {
      const float* row = matrix_.data() + r * dimension_;
      similarity = sparse_dot(
          dimension_, nonzero.size(), [&](std::size_t k) { return nonzero[k]; },
          [&](std::size_t k) { return row[nonzero[k]] * query[nonzero[k]]; });
    } else {
      similarity = held_dot(r, query.data());
    }
    if (similarity > 0) vectors.emplace_back(vector_ids_[r], similarity);
  }
  return vectors;
}

std::vector<std::pair<std::int64_t, float>> VectorIndex::similar_read(
    Database& db, const std::vector<float>& query) {
  std::vector<float> row(query.size());
  std::vector<std::pair<std::int64_t, float>> vectors;
  SmallPageCache small_cache(db, 256);
  Statement st = db.prepare(
      "SELECT id, vector, dim FROM vectors WHERE agent_id = ?1 AND embedder = ?2");
  st.bind(1, agent_id_).bind(2, embedder_);
  while (st.step()) {
    if (static_cast<std::size_t>(st.column_int(2)) != row.size()) continue;
    if (!decode_vector(st.column_blob(1), row.size(), row.data())) continue;
    float similarity = dot(row.data(), query.data(), row.size());
    if (similarity > 0) vectors.emplace_back(st.column_int(0), similarity);
  }
  return vectors;
}

// A vector belongs to one chunk at least, so the chunks ranked first all hold one of the
// `limit` best vectors (or one as similar as the last of them).
std::vector<std::pair<std::int64_t, float>> VectorIndex::chunks_of_best(
    Database& db, std::vector<std::pair<std::int64_t, float>> vectors, std::size_t limit) {
  if (vectors.size() > limit) {
    auto nth = vectors.begin() + static_cast<std::ptrdiff_t>(limit - 1);
    std::nth_element(vectors.begin(), nth, vectors.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    float least = nth->second;
    std::erase_if(vectors, [least](const auto& v) { return v.second < least; });
  }
  std::vector<std::pair<std::int64_t, float>> found;
  for (const auto& [vector_id, similarity] : vectors) {
    // The chunks with the vector's hash id that hold their bodies, then the copies' chunks
    // that read those (which the index by hash id leaves out).
    Statement chunks = db.prepare(
        "SELECT c.id FROM vectors v JOIN chunks c ON c.agent_id = v.agent_id AND "
        "c.hash_id = v.hash_id AND c.body_of IS NULL WHERE v.id = ?1");
    chunks.bind(1, vector_id);
    std::size_t first = found.size();
    while (chunks.step()) found.emplace_back(chunks.column_int(0), similarity);
    for (std::size_t i = first, owners = found.size(); i < owners; ++i) {
      Statement copies = db.prepare("SELECT id FROM chunks WHERE body_of = ?1");
      copies.bind(1, found[i].first);
      while (copies.step()) found.emplace_back(copies.column_int(0), similarity);
    }
  }
  return best_of(std::move(found), limit);
}

// A few files: their chunks' vectors, one per chunk, read from the database whether or not
// the vectors are held.
std::vector<std::pair<std::int64_t, float>> VectorIndex::nearest_in_files(
    Database& db, const std::vector<float>& query, std::size_t limit,
    const std::unordered_set<std::int64_t>& contexts) {
  std::vector<float> row(query.size());
  std::vector<std::pair<std::int64_t, float>> found;
  Json ids = Json::array();
  for (std::int64_t id : contexts) ids.push_back(id);
  Statement st = db.prepare(
      "SELECT c.id, v.vector, v.dim FROM chunks c JOIN vectors v ON v.agent_id = c.agent_id "
      "AND v.hash_id = c.hash_id WHERE c.agent_id = ?1 AND v.embedder = ?2 AND "
      "c.context_id IN (SELECT value FROM json_each(?3))");
  st.bind(1, agent_id_).bind(2, embedder_).bind(3, dump_json(ids));
  while (st.step()) {
    if (static_cast<std::size_t>(st.column_int(2)) != row.size()) continue;
    if (!decode_vector(st.column_blob(1), row.size(), row.data())) continue;
    float similarity = dot(row.data(), query.data(), row.size());
    if (similarity > 0) found.emplace_back(st.column_int(0), similarity);
  }
  return best_of(std::move(found), limit);
}

}  // namespace vantory::backend
