#include "backend/retriever/vector_index.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string_view>
#include <unordered_map>

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
    if (!held_ && !too_large_ && searches_ > 0) load(db);
    ++searches_;
    return;
  }
  agent_id_ = agent_id;
  generation_ = generation;
  embedder_ = embedder;
  searches_ = 1;
  too_large_ = false;
  forget();
}

void VectorIndex::forget() {
  held_ = false;
  dimension_ = 0;
  sparse_ = true;
  row_count_ = 0;
  matrix_ = {};
  row_start_ = {};
  component_ = {};
  value_ = {};
  chunk_ids_ = {};
  context_ids_ = {};
  rows_ = {};
  row_of_chunk_ = {};
}

// Three scans in the order the rows are stored, joined in memory: the agent's vectors, then
// which file each of its chunks is in, then which vector each chunk has. Joined in SQL, every
// chunk cost a seek into the chunk rows (their bodies are stored inline) and two into the
// vectors: a second search of /usr/include's 359,000 chunks waited 3.5 s on them.
void VectorIndex::load(Database& db) {
  // Hash ids looked up as the views the rows give, without a string made for each.
  struct ViewHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view v) const { return std::hash<std::string_view>()(v); }
  };
  std::unordered_map<std::string, std::uint32_t, ViewHash, std::equal_to<>> row_of_hash;
  std::int64_t chunk_count = 0;
  {
    Statement st = db.prepare("SELECT COUNT(*) FROM chunks WHERE agent_id = ?1");
    st.bind(1, agent_id_);
    if (st.step()) chunk_count = st.column_int(0);
  }
  row_of_hash.reserve(static_cast<std::size_t>(chunk_count));
  {
    Statement st = db.prepare(
        "SELECT hash_id, vector, dim FROM vectors WHERE agent_id = ?1 AND embedder = ?2");
    st.bind(1, agent_id_).bind(2, embedder_);
    std::uint64_t count = 0;
    std::uint64_t widest = 0;
    std::vector<float> row;
    row_start_.push_back(0);
    while (st.step()) {
      std::int64_t dim = st.column_int(2);
      widest = std::max(widest, static_cast<std::uint64_t>(std::max<std::int64_t>(dim, 0)));
      if (++count * widest * sizeof(float) > kMaxHeldBytes) {
        forget();
        too_large_ = true;
        return;  // read in pieces at every search
      }
      if (dim <= 0) continue;
      if (dimension_ == 0) {
        dimension_ = static_cast<std::size_t>(dim);
        row.resize(dimension_);
        // Component indexes are 16 bits.
        if (dimension_ > 0xffff) make_dense();
      }
      if (static_cast<std::size_t>(dim) != dimension_) continue;
      if (!decode_vector(st.column_blob(1), dimension_, row.data())) continue;
      if (row_of_hash.try_emplace(std::string(st.column_blob(0)),
                                  static_cast<std::uint32_t>(row_count_))
              .second) {
        hold_row(row.data());
      }
    }
  }
  std::unordered_map<std::int64_t, std::int64_t> context_of_chunk;
  context_of_chunk.reserve(static_cast<std::size_t>(chunk_count));
  {
    Statement st = db.prepare(
        "SELECT c.id, x.id FROM contexts x JOIN chunks c ON c.context_id = x.id "
        "WHERE x.agent_id = ?1");
    st.bind(1, agent_id_);
    while (st.step()) context_of_chunk.emplace(st.column_int(0), st.column_int(1));
  }
  Statement st = db.prepare("SELECT id, hash_id FROM chunks WHERE agent_id = ?1");
  st.bind(1, agent_id_);
  chunk_ids_.reserve(static_cast<std::size_t>(chunk_count));
  context_ids_.reserve(static_cast<std::size_t>(chunk_count));
  rows_.reserve(static_cast<std::size_t>(chunk_count));
  row_of_chunk_.reserve(static_cast<std::size_t>(chunk_count));
  while (st.step()) {
    if (st.is_null(1)) continue;
    auto row = row_of_hash.find(st.column_blob(1));
    auto context = context_of_chunk.find(st.column_int(0));
    if (row == row_of_hash.end() || context == context_of_chunk.end()) continue;
    chunk_ids_.push_back(st.column_int(0));
    context_ids_.push_back(context->second);
    rows_.push_back(row->second);
    row_of_chunk_.emplace(chunk_ids_.back(), row->second);
  }
  held_ = true;
}

void VectorIndex::hold_row(const float* row) {
  ++row_count_;
  if (!sparse_) {
    matrix_.insert(matrix_.end(), row, row + dimension_);
    return;
  }
  for (std::size_t i = 0; i < dimension_; ++i) {
    if (row[i] == 0.0f) continue;
    component_.push_back(static_cast<std::uint16_t>(i));
    value_.push_back(row[i]);
  }
  row_start_.push_back(static_cast<std::uint32_t>(value_.size()));
  // A component costs 6 bytes held sparse, 4 dense: once the rows (enough of them to judge)
  // take three quarters of their dense size, dense pays.
  if (row_count_ >= 256 && value_.size() * 6 > row_count_ * dimension_ * 3) make_dense();
}

void VectorIndex::make_dense() {
  if (!sparse_) return;
  std::size_t rows = row_start_.empty() ? 0 : row_start_.size() - 1;
  matrix_.assign(rows * dimension_, 0.0f);
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::uint32_t k = row_start_[r]; k < row_start_[r + 1]; ++k) {
      matrix_[r * dimension_ + component_[k]] = value_[k];
    }
  }
  sparse_ = false;
  row_start_ = {};
  component_ = {};
  value_ = {};
}

float VectorIndex::held_dot(std::size_t r, const float* query) const {
  if (!sparse_) return dot(matrix_.data() + r * dimension_, query, dimension_);
  const std::uint16_t* component = component_.data() + row_start_[r];
  const float* value = value_.data() + row_start_[r];
  return sparse_dot(
      dimension_, row_start_[r + 1] - row_start_[r], [&](std::size_t k) { return component[k]; },
      [&](std::size_t k) { return value[k] * query[component[k]]; });
}

float VectorIndex::similarity(Database& db, const std::vector<float>& query,
                              std::int64_t chunk_id) {
  if (held_) {
    auto it = row_of_chunk_.find(chunk_id);
    if (it == row_of_chunk_.end() || query.size() != dimension_) return 0;
    return held_dot(it->second, query.data());
  }
  Statement st = db.prepare(
      "SELECT v.vector, v.dim FROM chunks c JOIN vectors v ON v.agent_id = c.agent_id AND "
      "v.hash_id = c.hash_id WHERE c.id = ?1 AND c.agent_id = ?2 AND v.embedder = ?3");
  st.bind(1, chunk_id).bind(2, agent_id_).bind(3, embedder_);
  std::vector<float> row(query.size());
  if (!st.step() || static_cast<std::size_t>(st.column_int(1)) != query.size() ||
      !decode_vector(st.column_blob(0), row.size(), row.data())) {
    return 0;
  }
  return dot(row.data(), query.data(), row.size());
}

// Only chunks with a positive similarity are answered: the retriever stops at the first
// other one, and a query that shares nothing with most chunks would otherwise tie them all,
// which the reading path would then look up one by one.
std::vector<std::pair<std::int64_t, float>> VectorIndex::nearest(
    Database& db, const std::vector<float>& query, std::size_t limit,
    const std::unordered_set<std::int64_t>* contexts) {
  if (limit == 0 || query.empty()) return {};
  return held_ ? nearest_held(query, limit, contexts) : nearest_read(db, query, limit, contexts);
}

std::vector<std::pair<std::int64_t, float>> VectorIndex::nearest_held(
    const std::vector<float>& query, std::size_t limit,
    const std::unordered_set<std::int64_t>* contexts) const {
  if (query.size() != dimension_ || dimension_ == 0) return {};
  std::vector<float> similarity(row_count_);
  std::vector<std::size_t> nonzero;
  for (std::size_t i = 0; i < dimension_; ++i) {
    if (query[i] != 0.0f) nonzero.push_back(i);
  }
  if (!sparse_ && nonzero.size() * 4 < dimension_) {
    // Dense rows, a question of a few components: those alone.
    for (std::size_t r = 0; r < row_count_; ++r) {
      const float* row = matrix_.data() + r * dimension_;
      similarity[r] = sparse_dot(
          dimension_, nonzero.size(), [&](std::size_t k) { return nonzero[k]; },
          [&](std::size_t k) { return row[nonzero[k]] * query[nonzero[k]]; });
    }
  } else {
    for (std::size_t r = 0; r < row_count_; ++r) similarity[r] = held_dot(r, query.data());
  }
  std::vector<std::pair<std::int64_t, float>> found;
  found.reserve(chunk_ids_.size());
  for (std::size_t c = 0; c < chunk_ids_.size(); ++c) {
    if (contexts && !contexts->count(context_ids_[c])) continue;
    if (similarity[rows_[c]] <= 0) continue;
    found.emplace_back(chunk_ids_[c], similarity[rows_[c]]);
  }
  return best_of(std::move(found), limit);
}

std::vector<std::pair<std::int64_t, float>> VectorIndex::nearest_read(
    Database& db, const std::vector<float>& query, std::size_t limit,
    const std::unordered_set<std::int64_t>* contexts) {
  std::vector<float> row(query.size());
  std::vector<std::pair<std::int64_t, float>> found;
  if (contexts) {
    // A few files: their chunks' vectors, one per chunk.
    Json ids = Json::array();
    for (std::int64_t id : *contexts) ids.push_back(id);
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
  // Every vector once, in the order of the table; then the chunks of the best. A vector
  // belongs to one chunk at least, so the chunks ranked first all hold one of the `limit`
  // best vectors (or one as similar as the last of them).
  std::vector<std::pair<std::int64_t, float>> vectors;  // (vector row, similarity)
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
  if (vectors.size() > limit) {
    auto nth = vectors.begin() + static_cast<std::ptrdiff_t>(limit - 1);
    std::nth_element(vectors.begin(), nth, vectors.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    float least = nth->second;
    std::erase_if(vectors, [least](const auto& v) { return v.second < least; });
  }
  for (const auto& [vector_row, similarity] : vectors) {
    Statement chunks = db.prepare(
        "SELECT c.id FROM vectors v JOIN chunks c ON c.agent_id = v.agent_id AND "
        "c.hash_id = v.hash_id WHERE v.id = ?1");
    chunks.bind(1, vector_row);
    while (chunks.step()) found.emplace_back(chunks.column_int(0), similarity);
  }
  return best_of(std::move(found), limit);
}

}  // namespace vantory::backend
